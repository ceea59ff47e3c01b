// The format converter: every width and channel pair against samples worked out here with whole
// numbers only, a few values by hand, the resampled path against a double reference, streaming in
// blocks of any size, output lengths, and the formats it refuses.
#include "sound/FormatConverter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

constexpr int kWidths[] = {8, 16, 24, 32};

std::int64_t Lowest(int bits) {
    return -(std::int64_t{1} << (bits - 1));
}
std::int64_t Highest(int bits) {
    return (std::int64_t{1} << (bits - 1)) - 1;
}

// Signed value times 2^shift, shift of either sign, rounded half away from zero in integers.
std::int64_t ScaleRounded(std::int64_t value, int shift) {
    if (shift >= 0)
        return value * (std::int64_t{1} << shift);
    const std::int64_t half = std::int64_t{1} << (-shift - 1);
    const std::int64_t magnitude = ((value < 0 ? -value : value) + half) >> -shift;
    return value < 0 ? -magnitude : magnitude;
}

// A signed sample (8-bit as signed too) in another width; a sum of two channels is halved.
std::int64_t Expected(std::int64_t value, int from, int to, bool isSumOfTwo) {
    const std::int64_t scaled = ScaleRounded(value, to - from - (isSumOfTwo ? 1 : 0));
    return std::min(scaled, Highest(to));
}

void Put(std::vector<std::uint8_t> &bytes, std::int64_t value, int bits) {
    if (bits == 8)
        value += 128;
    for (int byte = 0; byte < bits / 8; ++byte)
        bytes.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * byte)));
}

// Extremes, their neighbours, the steps around zero and random values of the width.
std::vector<std::int64_t> Samples(int bits, std::mt19937 &random) {
    std::vector<std::int64_t> samples = {
        Lowest(bits), Lowest(bits) + 1,  -129,         -128, -127, -2, -1, 0, 1, 2, 127, 128,
        129,          Highest(bits) - 1, Highest(bits)};
    std::erase_if(samples, [&](std::int64_t s) { return s < Lowest(bits) || s > Highest(bits); });
    std::uniform_int_distribution<std::int64_t> any(Lowest(bits), Highest(bits));
    for (int i = 0; i < 200; ++i)
        samples.push_back(any(random));
    return samples;
}

std::vector<std::uint8_t> ConvertAll(const TPcmFormat &from, const TPcmFormat &to,
                                     const std::vector<std::uint8_t> &input) {
    auto converter = TFormatConverter::Create(from, to);
    std::vector<std::uint8_t> output;
    if (!converter)
        return output;
    converter->Convert(input, output);
    converter->Finish(output);
    return output;
}

TEST(FormatConverter, EveryWidthAndChannelPairIsSampleExact) {
    std::mt19937 random(18);
    for (const int from : kWidths) {
        for (const int to : kWidths) {
            for (const auto &[inChannels, outChannels] :
                 {std::pair{1, 1}, {1, 2}, {2, 1}, {2, 2}}) {
                // Frames of two channels pair each sample with another one of the list.
                const std::vector<std::int64_t> samples = Samples(from, random);
                std::vector<std::uint8_t> input, expected;
                for (std::size_t i = 0; i < samples.size(); ++i) {
                    const std::int64_t first = samples[i];
                    const std::int64_t second = samples[(i * 7 + 3) % samples.size()];
                    Put(input, first, from);
                    if (inChannels == 2)
                        Put(input, second, from);
                    if (inChannels == 2 && outChannels == 1) {
                        Put(expected, Expected(first + second, from, to, true), to);
                        continue;
                    }
                    Put(expected, Expected(first, from, to, false), to);
                    if (outChannels == 2)
                        Put(expected, Expected(inChannels == 2 ? second : first, from, to, false),
                            to);
                }
                const std::vector<std::uint8_t> actual =
                    ConvertAll({from, inChannels, 44100}, {to, outChannels, 44100}, input);
                EXPECT_EQ(actual, expected) << from << " bits " << inChannels << " ch to " << to
                                            << " bits " << outChannels << " ch";
            }
        }
    }
}

TEST(FormatConverter, ValuesWorkedOutByHand) {
    // 16 to 8 bits: 32767 / 256 = 127.996 rounds to 128, held at 127, stored 255; the lowest
    // stays the lowest; -128 / 256 = -0.5 goes away from zero to -1, stored 127.
    EXPECT_EQ(
        ConvertAll({16, 1, 8000}, {8, 1, 8000}, {0xFF, 0x7F, 0x00, 0x80, 0x80, 0xFF, 0x7F, 0x00}),
        (std::vector<std::uint8_t>{255, 0, 127, 128}));
    // 8 to 16 bits: 255 is 127 / 128 of full scale, 32512; 0 is the lowest, -32768.
    EXPECT_EQ(ConvertAll({8, 1, 8000}, {16, 1, 8000}, {255, 0}),
              (std::vector<std::uint8_t>{0x00, 0x7F, 0x00, 0x80}));
    // 24 to 16 bits: -129 / 256 = -0.504 gives -1 (FF FF); 383 / 256 = 1.496 gives 1.
    EXPECT_EQ(ConvertAll({24, 1, 8000}, {16, 1, 8000}, {0x7F, 0xFF, 0xFF, 0x7F, 0x01, 0x00}),
              (std::vector<std::uint8_t>{0xFF, 0xFF, 0x01, 0x00}));
    // Stereo 16 bits to mono: (3 + 4) / 2 = 3.5 gives 4; (-3 + -4) / 2 gives -4.
    EXPECT_EQ(ConvertAll({16, 2, 8000}, {16, 1, 8000}, {3, 0, 4, 0, 0xFD, 0xFF, 0xFC, 0xFF}),
              (std::vector<std::uint8_t>{4, 0, 0xFC, 0xFF}));
    // Mono 8 bits to stereo 32 bits: 129 is 1 / 128 of full scale, 2^24 on both sides.
    EXPECT_EQ(ConvertAll({8, 1, 8000}, {32, 2, 8000}, {129}),
              (std::vector<std::uint8_t>{0, 0, 0, 1, 0, 0, 0, 1}));
}

// The whole converter at another rate: 16-bit stereo averaged to mono, resampled, written as
// 32 bits, against the direct sum of the design's kernel in double precision.
TEST(FormatConverter, ResampledPathMatchesTheDirectSum) {
    const TPcmFormat from{16, 2, 44100};
    const TPcmFormat to{32, 1, 48000};
    std::vector<std::uint8_t> input;
    std::vector<double> mono;
    for (int k = 0; k < 2000; ++k) {
        const auto left = static_cast<std::int64_t>(std::lround(20000 * std::sin(k * 0.05)));
        const auto right = static_cast<std::int64_t>(std::lround(-9000 * std::cos(k * 0.11)));
        Put(input, left, 16);
        Put(input, right, 16);
        mono.push_back((left + right) / 65536.0);
    }
    const std::vector<std::uint8_t> output = ConvertAll(from, to, input);
    const auto converter = TFormatConverter::Create(from, to);
    ASSERT_EQ(static_cast<std::int64_t>(output.size()), 4 * converter->OutputFramesFor(2000));

    const TResamplerDesign design = ResamplerDesignFor(44100, 48000);
    double largest = 0.0;
    for (std::size_t n = 0; n < output.size() / 4; ++n) {
        const double instant = n * 44100.0 / 48000.0;
        double expected = 0.0;
        for (std::size_t k = 0; k < mono.size(); ++k)
            expected += mono[k] * design.Kernel(instant - static_cast<double>(k));
        const std::int32_t sample = static_cast<std::int32_t>(
            output[4 * n] | (output[4 * n + 1] << 8) | (output[4 * n + 2] << 16) |
            (static_cast<std::uint32_t>(output[4 * n + 3]) << 24));
        largest = std::max(largest, std::fabs(sample / 2147483648.0 - expected));
    }
    EXPECT_LT(largest, 2e-6);
}

TEST(FormatConverter, BlocksOfAnySizeGiveTheOutputOfOneBlock) {
    std::mt19937 random(1818);
    const std::pair<TPcmFormat, TPcmFormat> pairs[] = {
        {{16, 2, 44100}, {16, 2, 48000}}, {{24, 2, 48000}, {16, 2, 44100}},
        {{16, 1, 22050}, {24, 2, 48000}}, {{32, 2, 96000}, {8, 1, 44100}},
        {{8, 2, 44100}, {32, 2, 44100}},  {{24, 1, 48000}, {16, 2, 48000}},
    };
    for (const auto &[from, to] : pairs) {
        std::vector<std::uint8_t> input(static_cast<std::size_t>(from.FrameBytes()) * 3001 + 1);
        for (std::uint8_t &byte : input)
            byte = static_cast<std::uint8_t>(random());
        const std::vector<std::uint8_t> expected = ConvertAll(from, to, input);
        ASSERT_EQ(static_cast<std::int64_t>(expected.size()),
                  to.FrameBytes() * TFormatConverter(from, to).OutputFramesFor(3001));

        // Pieces of any length, frames cut anywhere, single bytes and empty blocks among them.
        auto converter = TFormatConverter::Create(from, to);
        std::vector<std::uint8_t> actual;
        std::uniform_int_distribution<std::size_t> length(0, 900);
        for (std::size_t start = 0; start < input.size();) {
            const std::size_t count =
                std::min(random() % 4 == 0 ? random() % 2 : length(random), input.size() - start);
            const std::size_t before = actual.size();
            const int frames = converter->Convert(
                std::span<const std::uint8_t>(input).subspan(start, count), actual);
            EXPECT_EQ(actual.size() - before, static_cast<std::size_t>(frames) * to.FrameBytes());
            start += count;
        }
        converter->Finish(actual);
        EXPECT_EQ(actual, expected);
        EXPECT_EQ(converter->Finish(actual), 0);
        EXPECT_EQ(actual, expected);
    }
}

TEST(FormatConverter, OneChannelToTwoCopiesAfterResampling) {
    std::vector<std::uint8_t> input;
    for (int k = 0; k < 1000; ++k)
        Put(input, static_cast<std::int64_t>(std::lround(30000 * std::sin(k * 0.3))), 16);
    const std::vector<std::uint8_t> output = ConvertAll({16, 1, 22050}, {16, 2, 48000}, input);
    ASSERT_EQ(output.size(), 4u * TResampler::OutputFramesFor(1000, 22050, 48000));
    int differing = 0;
    bool anySound = false;
    for (std::size_t i = 0; i < output.size(); i += 4) {
        differing += output[i] != output[i + 2] || output[i + 1] != output[i + 3];
        anySound = anySound || output[i] != 0 || output[i + 1] != 0;
    }
    EXPECT_EQ(differing, 0);
    EXPECT_TRUE(anySound);
}

TEST(FormatConverter, RefusesWhatItCannotConvert) {
    const TPcmFormat cd{16, 2, 44100};
    const TPcmFormat refused[] = {
        {16, 3, 44100}, {16, 6, 44100},  {16, 8, 48000},  {16, 0, 44100},
        {12, 2, 44100}, {20, 2, 44100},  {0, 2, 44100},   {64, 2, 44100},
        {16, 2, 0},     {16, 2, -44100}, {16, 2, 768001},
    };
    for (const TPcmFormat &other : refused) {
        EXPECT_FALSE(TFormatConverter::CanConvert(cd, other))
            << other.BitsPerSample << "/" << other.Channels;
        EXPECT_FALSE(TFormatConverter::CanConvert(other, cd))
            << other.BitsPerSample << "/" << other.Channels;
        EXPECT_FALSE(TFormatConverter::Create(cd, other));
        EXPECT_FALSE(TFormatConverter::Create(other, cd));
    }
    EXPECT_THROW(TFormatConverter({16, 6, 44100}, cd), std::invalid_argument);
    // Six channels stay refused even where nothing else would change.
    EXPECT_FALSE(TFormatConverter::CanConvert({16, 6, 44100}, {16, 6, 44100}));
    // More than 24 times down in rate.
    EXPECT_FALSE(TFormatConverter::CanConvert({16, 2, 768000}, {16, 2, 8000}));
    EXPECT_TRUE(TFormatConverter::CanConvert({16, 2, 192000}, {16, 2, 8000}));
    EXPECT_TRUE(TFormatConverter::CanConvert(cd, {24, 1, 96000}));
    EXPECT_TRUE(TFormatConverter::CanConvert(cd, cd));
}

TEST(FormatConverter, SampleForHoldsFullScaleAndRoundsHalvesAway) {
    EXPECT_EQ(pcmformat::SampleFor(1.0, 16), 32767);
    EXPECT_EQ(pcmformat::SampleFor(1.7, 24), 8388607);
    EXPECT_EQ(pcmformat::SampleFor(-1.3, 32), -2147483648LL);
    EXPECT_EQ(pcmformat::SampleFor(-1.0, 8), 0);
    EXPECT_EQ(pcmformat::SampleFor(2.5 / 32768, 16), 3);
    EXPECT_EQ(pcmformat::SampleFor(-2.5 / 32768, 16), -3);
    EXPECT_EQ(pcmformat::SampleFor(2.4999 / 32768, 16), 2);
    EXPECT_EQ(pcmformat::SampleFor(std::nan(""), 16), 0);
    EXPECT_EQ(pcmformat::SampleFor(std::nan(""), 8), 128);
    EXPECT_EQ(pcmformat::FractionOf(0, 8), -1.0);
    EXPECT_EQ(pcmformat::FractionOf(-8388608, 24), -1.0);
}

} // namespace

namespace {

std::vector<std::uint8_t> ConvertWithDither(const TPcmFormat &from, const TPcmFormat &to,
                                            const std::vector<std::uint8_t> &input,
                                            std::size_t block) {
    TFormatConverter converter(from, to);
    converter.SetDither(true);
    std::vector<std::uint8_t> output;
    for (std::size_t start = 0; start < input.size(); start += block)
        converter.Convert(std::span<const std::uint8_t>(input).subspan(
                              start, std::min(block, input.size() - start)),
                          output);
    converter.Finish(output);
    return output;
}

std::vector<std::int64_t> Samples16(const std::vector<std::uint8_t> &bytes) {
    std::vector<std::int64_t> samples;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        samples.push_back(static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8)));
    return samples;
}

// A steady level of a quarter of a 16-bit step, held in 24 bits.
std::vector<std::uint8_t> QuarterStep(int frames) {
    std::vector<std::uint8_t> input;
    for (int i = 0; i < frames; ++i)
        Put(input, 64, 24);
    return input;
}

TEST(FormatConverterDither, IsOffAtFirstAndOnlyWhereValuesAreRounded) {
    TFormatConverter narrowing({24, 2, 44100}, {16, 2, 44100});
    EXPECT_FALSE(narrowing.Dithers());
    narrowing.SetDither(true);
    EXPECT_TRUE(narrowing.Dithers());
    TFormatConverter widening({16, 2, 44100}, {24, 2, 44100});
    widening.SetDither(true);
    EXPECT_FALSE(widening.Dithers());
    TFormatConverter averaging({16, 2, 44100}, {16, 1, 44100});
    averaging.SetDither(true);
    EXPECT_TRUE(averaging.Dithers());
    TFormatConverter resampling({16, 2, 44100}, {24, 2, 48000});
    resampling.SetDither(true);
    EXPECT_TRUE(resampling.Dithers());

    // Widening with dither asked for stays exact.
    std::mt19937 random(7);
    std::vector<std::uint8_t> input;
    for (const std::int64_t sample : Samples(16, random))
        Put(input, sample, 16);
    EXPECT_EQ(ConvertWithDither({16, 1, 8000}, {24, 1, 8000}, input, 100),
              ConvertAll({16, 1, 8000}, {24, 1, 8000}, input));
}

TEST(FormatConverterDither, KeepsALevelBelowOneStepOnAverage) {
    const std::vector<std::uint8_t> input = QuarterStep(20000);
    // Rounded plainly, a quarter step is silence.
    for (const std::int64_t sample : Samples16(ConvertAll({24, 1, 44100}, {16, 1, 44100}, input)))
        ASSERT_EQ(sample, 0);
    // Dithered, each sample lies within one step of it, and their mean is the quarter step.
    const std::vector<std::int64_t> dithered =
        Samples16(ConvertWithDither({24, 1, 44100}, {16, 1, 44100}, input, 4096));
    ASSERT_EQ(dithered.size(), 20000u);
    double sum = 0.0;
    for (const std::int64_t sample : dithered) {
        ASSERT_GE(sample, -1);
        ASSERT_LE(sample, 1);
        sum += static_cast<double>(sample);
    }
    EXPECT_NEAR(sum / 20000.0, 0.25, 0.02);
}

TEST(FormatConverterDither, SameOutputForAnyBlocksAndEveryRun) {
    std::mt19937 random(99);
    std::vector<std::uint8_t> input;
    for (const std::int64_t sample : Samples(24, random)) {
        Put(input, sample, 24);
        Put(input, -sample / 3, 24);
    }
    const TPcmFormat from{24, 2, 48000};
    const TPcmFormat to{16, 2, 44100};
    const std::vector<std::uint8_t> whole = ConvertWithDither(from, to, input, input.size());
    EXPECT_EQ(ConvertWithDither(from, to, input, 7), whole);
    EXPECT_EQ(ConvertWithDither(from, to, input, 1000), whole);
    EXPECT_NE(ConvertAll(from, to, input), whole);
}

} // namespace
