// The outgoing track converted for a crossfade into a track of another format: what the mixer
// reads is what converting the whole tail at once gives, whatever the read sizes; formats the
// converter refuses leave the source as it is; the outgoing decoder is closed exactly once.
#include "playback/FadeOutConversion.h"
#include "support/FakeFadeOutSource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// A tail of the given format, read in blocks of 64 frames.
std::unique_ptr<TFadeOutSource> Tail(Bytes pcm, const TPcmFormat &format, int *closes) {
    return std::make_unique<support::FakeFadeOutSource>(std::move(pcm), format.BitsPerSample,
                                                        format.Channels, format.SampleRate, closes);
}

// A sweep of the format's whole range, so every byte of a sample matters.
Bytes Sweep(const TPcmFormat &format, int frames) {
    Bytes pcm;
    for (int frame = 0; frame < frames; ++frame)
        for (int channel = 0; channel < format.Channels; ++channel) {
            const double fraction = 0.9 * std::sin(0.001 * frame * frame + channel);
            const std::int64_t value = pcmformat::SampleFor(fraction, format.BitsPerSample);
            for (int byte = 0; byte < format.BitsPerSample / 8; ++byte)
                pcm.push_back(
                    static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * byte)));
        }
    return pcm;
}

Bytes ConvertedAtOnce(const TPcmFormat &from, const TPcmFormat &to, const Bytes &pcm) {
    TFormatConverter converter(from, to);
    Bytes out;
    converter.Convert(pcm, out);
    converter.Finish(out);
    return out;
}

struct Pair {
    TPcmFormat From, To;
};

class EveryPair : public ::testing::TestWithParam<Pair> {};

TEST_P(EveryPair, DeliversTheWholeTailConvertedInWholeFramesWhateverTheReadSizes) {
    const auto [from, to] = GetParam();
    const Bytes tail = Sweep(from, 3001);
    const Bytes expected = ConvertedAtOnce(from, to, tail);
    ASSERT_EQ(static_cast<std::int64_t>(expected.size()),
              TResampler::OutputFramesFor(3001, from.SampleRate, to.SampleRate) * to.FrameBytes());
    for (const int askFrames : {1, 7, 100, 4096}) {
        int closes = 0;
        auto source = ConvertFadeOut(Tail(tail, from, &closes), to);
        EXPECT_EQ(FormatOf(*source), to);
        EXPECT_EQ(source->RemainingMs, 5000);
        EXPECT_GE(source->BlockBytes, to.FrameBytes());
        Bytes got;
        Bytes block(static_cast<std::size_t>(askFrames * to.FrameBytes()) + 3);
        for (int bytes;
             (bytes = source->GetData(block.data(), static_cast<int>(block.size()))) > 0;) {
            EXPECT_EQ(bytes % to.FrameBytes(), 0);
            EXPECT_LE(bytes, static_cast<int>(block.size()));
            got.insert(got.end(), block.begin(), block.begin() + bytes);
        }
        EXPECT_EQ(got, expected) << "reading " << askFrames << " frames at a time";
        EXPECT_EQ(source->GetData(block.data(), static_cast<int>(block.size())), 0);
        EXPECT_EQ(closes, 0);
        source->Close();
        EXPECT_EQ(closes, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(FadeOutConversion, EveryPair,
                         ::testing::Values(Pair{{16, 2, 44100}, {24, 2, 48000}},
                                           Pair{{8, 1, 22050}, {16, 2, 44100}},
                                           Pair{{24, 2, 48000}, {16, 1, 48000}},
                                           Pair{{32, 1, 96000}, {8, 2, 44100}},
                                           Pair{{16, 2, 8000}, {16, 2, 11025}}));

TEST(FadeOutConversion, ASourceOfTheSameOrAnUnconvertibleFormatStaysAsItIs) {
    int closes = 0;
    const TPcmFormat stereo{16, 2, 44100};
    for (const TPcmFormat &from :
         {stereo, TPcmFormat{16, 3, 44100}, TPcmFormat{12, 2, 44100}, TPcmFormat{16, 2, 768000}}) {
        auto source = Tail(Bytes(600), from, &closes);
        const TFadeOutSource *before = source.get();
        auto after =
            ConvertFadeOut(std::move(source), from == stereo ? stereo : TPcmFormat{16, 2, 8000});
        EXPECT_EQ(after.get(), before);
    }
    EXPECT_EQ(ConvertFadeOut(nullptr, stereo), nullptr);
    EXPECT_EQ(closes, 0);
}

// The mixer reads the converted tail as it would read a track of the incoming format, and lets
// the outgoing decoder go exactly once.
TEST(FadeOutConversion, TheMixerMixesTheConvertedTailAsATailOfTheIncomingFormat) {
    const TPcmFormat from{8, 1, 22050}, to{16, 2, 44100};
    const Bytes tail = Sweep(from, 2000);
    const Bytes converted = ConvertedAtOnce(from, to, tail);
    const Bytes incoming = Sweep(to, 6000);

    const auto mix = [&](std::unique_ptr<TFadeOutSource> source) {
        TCrossfadeState state;
        state.HoldSource(std::move(source));
        state.Armed = true;
        Bytes out = incoming;
        for (std::size_t at = 0; at < out.size(); at += 441 * 4)
            state.MixingStep(out.data() + at,
                             static_cast<int>(std::min<std::size_t>(441 * 4, out.size() - at) / 4),
                             16, 2, 44100, 1000);
        state.ReleaseSource();
        return out;
    };
    int closes = 0, plainCloses = 0;
    auto wrapped = ConvertFadeOut(Tail(tail, from, &closes), to);
    auto plain = Tail(converted, to, &plainCloses);
    plain->BlockBytes = wrapped->BlockBytes;
    const Bytes mixed = mix(std::move(wrapped));
    EXPECT_EQ(mixed, mix(std::move(plain)));
    EXPECT_NE(mixed, incoming);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(plainCloses, 1);
}

} // namespace
