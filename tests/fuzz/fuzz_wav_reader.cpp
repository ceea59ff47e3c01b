// The WAV reader on arbitrary files: no read outside the file, and every layout it accepts is
// one the WAV plug-in can play safely.
#include "../../tools/wav/WavFile.h"
#include "FuzzInput.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    wav::MemorySource source({data, size});
    const auto layout = wav::ReadLayout(source);
    if (!layout)
        return 0;
    const wav::WavFormat &format = layout->Format;
    FUZZ_CHECK(format.Bits == 8 || format.Bits == 16 || format.Bits == 24 || format.Bits == 32);
    FUZZ_CHECK(format.Channels >= 1 && format.Channels <= 8);
    FUZZ_CHECK(format.Rate > 0);
    FUZZ_CHECK(layout->DataOffset <= size);
    FUZZ_CHECK(layout->DataBytes <= size - layout->DataOffset);
    FUZZ_CHECK(layout->DataBytes % format.FrameBytes() == 0);
    FUZZ_CHECK(layout->LengthMs() >= 0);

    // What the reader accepts it also writes back: the canonical file has the same samples.
    std::vector<std::uint8_t> pcm(data + layout->DataOffset,
                                  data + layout->DataOffset + layout->DataBytes);
    const auto file = wav::MakeFile(format, pcm);
    wav::MemorySource again(file);
    const auto reread = wav::ReadLayout(again);
    FUZZ_CHECK(reread && reread->Format == format && reread->DataBytes == layout->DataBytes);
    FUZZ_CHECK(std::equal(pcm.begin(), pcm.end(), file.begin() + reread->DataOffset));
    return 0;
}
