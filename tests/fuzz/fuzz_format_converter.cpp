// The format converter fed random formats on both sides (refused ones among them), with or
// without dither, primed with any bytes, and input in blocks of any size, frames cut anywhere:
// no read or write outside the buffers, no undefined arithmetic, each call appends the whole
// frames it reports, never more than the input so far can give, and after the end exactly the
// length promised.
#include "../../src/sound/FormatConverter.h"
#include "FuzzInput.h"

#include <algorithm>
#include <vector>

namespace {

constexpr int kWidths[] = {8, 16, 24, 32, 0, 12, 40};
constexpr int kRates[] = {8000, 11025, 22050, 32000, 44100, 48000, 88200, 96000, 192000, 768000};

TPcmFormat TakeFormat(FuzzInput &input) {
    TPcmFormat format;
    format.BitsPerSample = kWidths[input.TakeInRange(0, 15) % 7 < 4 ? input.TakeInRange(0, 3)
                                                                    : input.TakeInRange(4, 6)];
    format.Channels =
        input.TakeInRange(0, 7) < 6 ? input.TakeInRange(1, 2) : input.TakeInRange(0, 9);
    switch (input.TakeInRange(0, 7)) {
    case 0:
        format.SampleRate = input.TakeInRange(-1, 0);
        break;
    case 1:
    case 2:
        format.SampleRate = input.TakeInRange(1, 800000);
        break;
    default:
        format.SampleRate = kRates[input.TakeInRange(0, 9)];
    }
    return format;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput input(data, size);
    const TPcmFormat from = TakeFormat(input);
    const TPcmFormat to = TakeFormat(input);
    auto converter = TFormatConverter::Create(from, to);
    FUZZ_CHECK(static_cast<bool>(converter) == TFormatConverter::CanConvert(from, to));
    if (!converter)
        return 0;
    converter->SetDither(input.TakeInRange(0, 1) == 1);
    // What came before the first block, of any length, frames cut anywhere: it adds no output.
    converter->Prime(input.TakeBytes(static_cast<std::size_t>(input.TakeInRange(0, 16384))));
    FUZZ_CHECK(converter->PrimerFrames() <= TResampler::MaxPrimerFrames());

    std::vector<std::uint8_t> output;
    std::int64_t inputBytes = 0;
    std::int64_t outputFrames = 0;
    // Output frames are what costs time; a budget keeps each input quick at any rate pair.
    const std::int64_t outputBudget = 1 << 18;
    for (int block = 0; block < 64 && !input.Empty(); ++block) {
        const std::int64_t framesLeft =
            (outputBudget - converter->OutputFramesFor(inputBytes / from.FrameBytes())) *
            from.SampleRate / to.SampleRate;
        if (framesLeft < 1)
            break;
        const auto bytes = input.TakeBytes(static_cast<std::size_t>(
            std::min<std::int64_t>(input.TakeInRange(0, 4096), framesLeft * from.FrameBytes())));
        const std::size_t before = output.size();
        const int frames = converter->Convert(bytes, output);
        inputBytes += static_cast<std::int64_t>(bytes.size());
        outputFrames += frames;
        FUZZ_CHECK(frames >= 0);
        FUZZ_CHECK(output.size() - before == static_cast<std::size_t>(frames) * to.FrameBytes());
        const std::int64_t wholeFrames = inputBytes / from.FrameBytes();
        FUZZ_CHECK(outputFrames <= converter->OutputFramesFor(wholeFrames));
        if (from.SampleRate == to.SampleRate)
            FUZZ_CHECK(outputFrames == wholeFrames);
    }
    outputFrames += converter->Finish(output);
    FUZZ_CHECK(static_cast<std::int64_t>(output.size()) == outputFrames * to.FrameBytes());
    FUZZ_CHECK(outputFrames == converter->OutputFramesFor(inputBytes / from.FrameBytes()));
    FUZZ_CHECK(converter->Finish(output) == 0);
    return 0;
}
