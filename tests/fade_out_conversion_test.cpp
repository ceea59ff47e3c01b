// The outgoing track converted for a crossfade into a track of another format: what the mixer
// reads is what converting the whole tail at once gives, whatever the read sizes; formats the
// converter refuses leave the source as it is; the outgoing decoder is closed exactly once. A
// tail primed with the track's frames before it starts as the whole track's conversion goes on,
// and a narrowed tail is dithered. The track's last frames are kept for that in fixed room.
#include "ResamplerReference.h"
#include "sound/FadeOutConversion.h"
#include "support/FakeFadeOutSource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// A tail of the given format, read in blocks of 64 frames.
std::unique_ptr<TFadeOutSource> Tail(Bytes pcm, const TPcmFormat &format, int *closes) {
    return std::make_unique<support::FakeFadeOutSource>(std::move(pcm), format.BitsPerSample,
                                                        format.Channels, format.SampleRate, closes);
}

// PCM of the width from fractions of full scale, one function of the frame per channel.
template <class Wave> Bytes PcmOf(const TPcmFormat &format, int frames, Wave wave) {
    Bytes pcm;
    for (int frame = 0; frame < frames; ++frame)
        for (int channel = 0; channel < format.Channels; ++channel) {
            const std::int64_t value =
                pcmformat::SampleFor(wave(frame, channel), format.BitsPerSample);
            for (int byte = 0; byte < format.BitsPerSample / 8; ++byte)
                pcm.push_back(
                    static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * byte)));
        }
    return pcm;
}

// A sweep of the format's whole range, so every byte of a sample matters.
Bytes Sweep(const TPcmFormat &format, int frames) {
    return PcmOf(format, frames, [](int frame, int channel) {
        return 0.9 * std::sin(0.001 * frame * frame + channel);
    });
}

// One channel of PCM as fractions of full scale.
std::vector<double> Fractions(const Bytes &pcm, const TPcmFormat &format, int channel) {
    const int width = format.BitsPerSample / 8;
    std::vector<double> values;
    for (std::size_t at = static_cast<std::size_t>(channel * width); at < pcm.size();
         at += static_cast<std::size_t>(format.FrameBytes()))
        values.push_back(pcmformat::FractionOf(pcm::ReadSample(&pcm[at], format.BitsPerSample),
                                               format.BitsPerSample));
    return values;
}

// With dither, as the fade converts: the same for any blocks, so the reference of its reads.
Bytes ConvertedAtOnce(const TPcmFormat &from, const TPcmFormat &to, const Bytes &pcm,
                      bool dither = true) {
    TFormatConverter converter(from, to);
    converter.SetDither(dither);
    Bytes out;
    converter.Convert(pcm, out);
    converter.Finish(out);
    return out;
}

// Everything the source delivers, asked for in reads of this many bytes.
Bytes Drain(TFadeOutSource &source, std::size_t readBytes) {
    Bytes got;
    Bytes block(readBytes);
    for (int bytes; (bytes = source.GetData(block.data(), static_cast<int>(block.size()))) > 0;) {
        EXPECT_EQ(bytes % FormatOf(source).FrameBytes(), 0);
        EXPECT_LE(bytes, static_cast<int>(block.size()));
        got.insert(got.end(), block.begin(), block.begin() + bytes);
    }
    return got;
}

struct Pair {
    TPcmFormat From, To;
};

std::string NameOf(const TPcmFormat &format) {
    return std::to_string(format.SampleRate) + "Hz" + std::to_string(format.Channels) + "ch" +
           std::to_string(format.BitsPerSample) + "bit";
}

template <class Case> std::string PairName(const ::testing::TestParamInfo<Case> &info) {
    return NameOf(info.param.From) + "_to_" + NameOf(info.param.To);
}

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
        Bytes block(static_cast<std::size_t>(askFrames * to.FrameBytes()) + 3);
        EXPECT_EQ(Drain(*source, block.size()), expected)
            << "reading " << askFrames << " frames at a time";
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

// ---- the start of the tail ----

// A track's end in 32-bit samples, whose conversion the float path carries nearly exactly:
// tones of one amplitude together 0.9 at most, phases apart between channels.
struct StartCase {
    TPcmFormat From, To;
    std::vector<double> TonesHz;
};

class TailStart : public ::testing::TestWithParam<StartCase> {};

// Against the ideal, the same filter over the whole track in double precision: primed with the
// track's frames before the tail, its first 2 ms are as exact as the rest; from silence they ring.
TEST_P(TailStart, APrimedTailMatchesTheWholeTracksConversionFromItsFirstFrame) {
    const StartCase c = GetParam();
    const int rate = c.From.SampleRate;
    const int primerFrames = FadeOutPrimerFrames(c.From, c.To);
    ASSERT_GT(primerFrames, 0);
    // The tail begins where an output instant meets an input frame.
    const int step = rate / std::gcd(rate, c.To.SampleRate);
    const int before = (primerFrames / step + 1) * step;
    const Bytes track = PcmOf(c.From, before + rate / 50, [&](int frame, int channel) {
        double value = 0.0;
        for (std::size_t t = 0; t < c.TonesHz.size(); ++t)
            value += 0.9 / static_cast<double>(c.TonesHz.size()) *
                     std::sin(6.283185307179586 * c.TonesHz[t] * frame / rate +
                              0.7 * static_cast<double>(t + 1) * (channel + 1));
        return value;
    });
    const auto split = track.begin() + static_cast<long>(before) * c.From.FrameBytes();
    const Bytes earlier(track.begin(), split), tail(split, track.end());
    const std::int64_t firstOutput = static_cast<std::int64_t>(before) * c.To.SampleRate / rate;
    const auto startFrames = static_cast<std::size_t>(c.To.SampleRate / 500);

    const auto startError = [&](const Bytes &primer) {
        int closes = 0;
        auto source = ConvertFadeOut(Tail(tail, c.From, &closes), c.To, primer);
        const Bytes converted = Drain(*source, 4096);
        source->Close();
        double largest = 0.0;
        for (int channel = 0; channel < c.To.Channels; ++channel) {
            const std::vector<double> ideal = bench::ReferenceOutput(
                ResamplerDesignFor(rate, c.To.SampleRate),
                Fractions(track, c.From, std::min(channel, c.From.Channels - 1)), firstOutput,
                static_cast<std::int64_t>(startFrames));
            const std::vector<double> got = Fractions(converted, c.To, channel);
            for (std::size_t n = 0; n < startFrames; ++n)
                largest = std::max(largest, std::fabs(got[n] - ideal[n]));
        }
        return largest;
    };
    // Images and aliases 90 dB below the signal's peak.
    EXPECT_LT(startError(earlier), 0.9 * std::pow(10.0, -90.0 / 20.0));
    EXPECT_GT(startError({}), 1e-3) << "without its primer the tail rings";
}

INSTANTIATE_TEST_SUITE_P(
    FadeOutConversion, TailStart,
    ::testing::Values(StartCase{{32, 1, 22050}, {32, 2, 48000}, {441.0, 3100.0, 7900.0}},
                      StartCase{{32, 2, 96000}, {32, 2, 44100}, {997.0, 6300.0, 18500.0, 30000.0}},
                      StartCase{{32, 2, 48000}, {32, 2, 44100}, {997.0, 6300.0, 18500.0}},
                      // Nothing the lower rate carries: the tail should start in silence.
                      StartCase{
                          {32, 1, 192000}, {32, 1, 8000}, {4500.0, 9000.0, 20000.0, 50000.0}}),
    PairName<StartCase>);

// ---- dither where the tail is narrowed ----

// A second of a 1 kHz sine, 1.3 steps of the narrower width. Rounded plainly, its error follows
// the wave: harmonics of 1 kHz. The fade's conversion dithers: the harmonics sink into a steady
// noise floor no larger than the dither's own, and the tone keeps its level.
class NarrowedTail : public ::testing::TestWithParam<Pair> {};

// Amplitudes in output steps at 1 kHz and its harmonics, over a whole number of periods.
std::vector<double> HarmonicSteps(const Bytes &pcm, const TPcmFormat &format) {
    const std::vector<double> wave = Fractions(pcm, format, 0);
    const std::size_t first = static_cast<std::size_t>(format.SampleRate / 10);
    const std::size_t count = static_cast<std::size_t>(format.SampleRate);
    std::vector<double> steps;
    for (int harmonic = 1; harmonic <= 7; ++harmonic) {
        double c = 0.0, s = 0.0;
        for (std::size_t n = first; n < first + count; ++n) {
            const double phase =
                6.283185307179586 * 1000.0 * harmonic * static_cast<double>(n) / format.SampleRate;
            c += wave[n] * std::cos(phase);
            s += wave[n] * std::sin(phase);
        }
        steps.push_back(2.0 * std::hypot(c, s) / static_cast<double>(count) *
                        pcmformat::FullScale(format.BitsPerSample));
    }
    return steps;
}

TEST_P(NarrowedTail, IsDitheredSoThatItsDistortionBecomesNoise) {
    const auto [from, to] = GetParam();
    const double amplitude = 1.3 / pcmformat::FullScale(to.BitsPerSample);
    const Bytes quiet = PcmOf(from, from.SampleRate * 6 / 5, [&](int frame, int) {
        return amplitude * std::sin(6.283185307179586 * 1000.0 * frame / from.SampleRate + 0.4);
    });
    int closes = 0;
    auto source = ConvertFadeOut(Tail(quiet, from, &closes), to);
    const Bytes faded = Drain(*source, 4096);
    source->Close();
    const std::vector<double> dithered = HarmonicSteps(faded, to);
    const std::vector<double> rounded = HarmonicSteps(ConvertedAtOnce(from, to, quiet, false), to);

    const double worstRounded = *std::max_element(rounded.begin() + 1, rounded.end());
    const double worstDithered = *std::max_element(dithered.begin() + 1, dithered.end());
    // Rounded, the worst harmonic is 18 dB below the tone; dithered, what a second of the noise
    // leaves at a harmonic's frequency, some 45 dB below.
    EXPECT_GT(worstRounded, 1.3 * std::pow(10.0, -25.0 / 20.0)) << "plain rounding distorts";
    EXPECT_LT(worstDithered, 1.3 * std::pow(10.0, -36.0 / 20.0));
    EXPECT_NEAR(dithered[0], 1.3, 0.05);

    // The noise: triangular dither of one step and the rounding after it, half a step RMS.
    const std::vector<double> wave = Fractions(faded, to, 0);
    double power = 0.0;
    const std::size_t first = static_cast<std::size_t>(to.SampleRate / 10);
    for (std::size_t n = first; n < first + static_cast<std::size_t>(to.SampleRate); ++n) {
        const double rest = wave[n] * pcmformat::FullScale(to.BitsPerSample) -
                            1.3 * std::sin(6.283185307179586 * 1000.0 * n / to.SampleRate + 0.4);
        power += rest * rest;
    }
    EXPECT_NEAR(std::sqrt(power / to.SampleRate), 0.5, 0.05);
}

INSTANTIATE_TEST_SUITE_P(FadeOutConversion, NarrowedTail,
                         ::testing::Values(Pair{{24, 1, 44100}, {16, 1, 44100}},
                                           Pair{{16, 2, 44100}, {8, 2, 44100}},
                                           Pair{{24, 2, 48000}, {16, 2, 44100}}),
                         PairName<Pair>);

// ---- the track's last frames ----

// Kept block by block in fixed room: the newest, oldest first, whatever the blocks' sizes; none
// after a seek or a new start.
TEST(RecentFrames, KeepsTheNewestFramesOldestFirstInFixedRoom) {
    const int frameBytes = 6;
    const auto room = static_cast<std::size_t>(TResampler::MaxPrimerFrames() * frameBytes);
    TRecentFrames recent;
    recent.Reset(frameBytes);
    EXPECT_TRUE(recent.Frames().empty());
    Bytes played;
    for (const std::size_t frames : {1u, 100u, 3000u, 7u, 1u, 1479u, 2u}) {
        const std::size_t start = played.size();
        for (std::size_t i = 0; i < frames * frameBytes; ++i)
            played.push_back(static_cast<std::uint8_t>((start + i) * 7 + 1));
        recent.Keep(played.data() + start, static_cast<int>(frames * frameBytes));
        const std::size_t kept = std::min(played.size(), room);
        EXPECT_EQ(Bytes(recent.Frames().begin(), recent.Frames().end()),
                  Bytes(played.end() - static_cast<long>(kept), played.end()))
            << "after a block of " << frames << " frames";
    }
    recent.Clear();
    EXPECT_TRUE(recent.Frames().empty());
    const Bytes after = {1, 2, 3, 4, 5, 6};
    recent.Keep(after.data(), 6);
    EXPECT_EQ(Bytes(recent.Frames().begin(), recent.Frames().end()), after);
    recent.Reset(4);
    EXPECT_TRUE(recent.Frames().empty());
}

} // namespace
