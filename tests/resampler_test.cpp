// The resampler against the same windowed-sinc sum evaluated directly in double precision, for a
// sine and for an impulse, at the rate pairs real libraries mix and at pairs that take the
// interpolated table; its output length, and blocks of any size against one block.
#include "ResamplerReference.h"
#include "sound/Resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

using bench::ReferenceOutput;

std::vector<float> ResampleMono(int from, int to, const std::vector<double> &input,
                                std::size_t block) {
    TResampler resampler(from, to, 1);
    std::vector<float> samples(input.begin(), input.end());
    std::vector<float> output;
    for (std::size_t start = 0; start < samples.size(); start += block)
        resampler.Push(
            std::span<const float>(samples).subspan(start, std::min(block, samples.size() - start)),
            output);
    resampler.Finish(output);
    return output;
}

double LargestDifference(const std::vector<float> &actual, const std::vector<double> &expected) {
    double largest = 0.0;
    for (std::size_t i = 0; i < actual.size(); ++i)
        largest = std::max(largest, std::fabs(actual[i] - expected[i]));
    return largest;
}

struct TPairCase {
    int From;
    int To;
    double Tolerance; // float coefficients and sums; more where rows are interpolated
};

class ResamplerReference : public ::testing::TestWithParam<TPairCase> {};

TEST_P(ResamplerReference, SineMatchesTheDirectSum) {
    const TPairCase pair = GetParam();
    std::vector<double> input(3000);
    for (std::size_t k = 0; k < input.size(); ++k)
        input[k] = 0.8 * std::sin(2.0 * kPi * 997.0 * static_cast<double>(k) / pair.From + 0.3);
    const TResamplerDesign design = ResamplerDesignFor(pair.From, pair.To);
    const std::vector<float> actual = ResampleMono(pair.From, pair.To, input, 441);
    const std::int64_t outputs = TResampler::OutputFramesFor(3000, pair.From, pair.To);
    ASSERT_EQ(static_cast<std::int64_t>(actual.size()), outputs);
    EXPECT_LT(LargestDifference(actual, ReferenceOutput(design, input, 0, outputs)),
              pair.Tolerance);
}

TEST_P(ResamplerReference, ImpulseGivesTheKernelAtEveryPhase) {
    const TPairCase pair = GetParam();
    std::vector<double> input(700, 0.0);
    input[350] = 1.0;
    const TResamplerDesign design = ResamplerDesignFor(pair.From, pair.To);
    const std::vector<float> actual = ResampleMono(pair.From, pair.To, input, 64);
    const std::int64_t outputs = TResampler::OutputFramesFor(700, pair.From, pair.To);
    ASSERT_EQ(static_cast<std::int64_t>(actual.size()), outputs);
    const std::vector<double> expected = ReferenceOutput(design, input, 0, outputs);
    EXPECT_LT(LargestDifference(actual, expected), pair.Tolerance);
    // The kernel's main lobe, whose peak is 2 x the cutoff, is there: not silence.
    double peak = 0.0;
    for (const float value : actual)
        peak = std::max(peak, std::fabs(static_cast<double>(value)));
    EXPECT_GT(peak, design.Cutoff);
}

INSTANTIATE_TEST_SUITE_P(
    RatePairs, ResamplerReference,
    ::testing::Values(TPairCase{44100, 48000, 2e-6}, TPairCase{48000, 44100, 2e-6},
                      TPairCase{96000, 44100, 2e-6}, TPairCase{22050, 48000, 2e-6},
                      // More phases than one table row each: interpolated.
                      TPairCase{44100, 44117, 2e-5}, TPairCase{48000, 11017, 2e-5},
                      // The largest step down taken.
                      TPairCase{192000, 8000, 2e-6}));

TEST(Resampler, DesignKeepsTheBandAndTapsForThePair) {
    const TResamplerDesign up = ResamplerDesignFor(44100, 48000);
    const TResamplerDesign down = ResamplerDesignFor(96000, 44100);
    // The cutoff lies between 0.45 and 0.5 of the lower rate, in cycles per input sample.
    EXPECT_GT(up.Cutoff, 0.45);
    EXPECT_LT(up.Cutoff, 0.5);
    EXPECT_GT(down.Cutoff * 96000, 0.45 * 44100);
    EXPECT_LT(down.Cutoff * 96000, 0.5 * 44100);
    // Going down, the same transition in input samples is narrower: more taps.
    EXPECT_GT(down.Taps, 2 * up.Taps - 16);
    EXPECT_EQ(up.Taps % 16, 0);
    EXPECT_EQ(down.Taps % 16, 0);
    EXPECT_EQ(up.Kernel(up.Taps / 2.0), 0.0);
}

TEST(Resampler, OutputLengthCountsTheInstantsBeforeTheInputsEnd) {
    EXPECT_EQ(TResampler::OutputFramesFor(0, 44100, 48000), 0);
    EXPECT_EQ(TResampler::OutputFramesFor(1, 44100, 48000), 2); // 147 / 160 < 1
    EXPECT_EQ(TResampler::OutputFramesFor(147, 44100, 48000), 160);
    EXPECT_EQ(TResampler::OutputFramesFor(148, 44100, 48000), 162); // 161 * 147 / 160 < 148
    EXPECT_EQ(TResampler::OutputFramesFor(320, 96000, 44100), 147);
    EXPECT_EQ(TResampler::OutputFramesFor(321, 96000, 44100), 148);
    EXPECT_EQ(TResampler::OutputFramesFor(44100, 22050, 48000), 96000);
}

TEST(Resampler, BlocksOfAnySizeGiveTheOutputOfOneBlock) {
    std::mt19937 random(18);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    for (const auto &[from, to] :
         {std::pair{44100, 48000}, {96000, 44100}, {22050, 48000}, {44100, 44117}}) {
        std::vector<float> input(2 * 5000);
        for (float &value : input)
            value = sample(random);
        TResampler whole(from, to, 2);
        std::vector<float> expected;
        whole.Push(input, expected);
        whole.Finish(expected);

        TResampler pieces(from, to, 2);
        std::vector<float> actual;
        std::uniform_int_distribution<std::size_t> frames(0, 700);
        for (std::size_t start = 0; start < input.size();) {
            const std::size_t count = std::min(2 * frames(random), input.size() - start);
            pieces.Push(std::span<const float>(input).subspan(start, count), actual);
            start += count;
        }
        pieces.Finish(actual);
        EXPECT_EQ(actual, expected) << from << " to " << to;
        EXPECT_EQ(static_cast<std::int64_t>(expected.size()),
                  2 * TResampler::OutputFramesFor(5000, from, to));
    }
}

TEST(Resampler, PushAfterFinishAndSecondFinishAddNothing) {
    TResampler resampler(48000, 44100, 1);
    std::vector<float> output;
    const std::vector<float> input(480, 0.25f);
    resampler.Push(input, output);
    resampler.Finish(output);
    const std::size_t total = output.size();
    EXPECT_EQ(static_cast<std::int64_t>(total), TResampler::OutputFramesFor(480, 48000, 44100));
    resampler.Push(input, output);
    resampler.Finish(output);
    EXPECT_EQ(output.size(), total);
}

// Primed with the input before it, a stream that starts where an output instant meets an input
// frame gives what the whole input gives from there on, its first frame included; a primer
// reaches only as far back as the kernel, and a late one changes nothing.
TEST(Resampler, APrimedStartContinuesTheWholeInput) {
    for (const auto &[from, to] :
         {std::pair{22050, 48000}, {96000, 44100}, {48000, 44100}, {192000, 8000}}) {
        TResampler probe(from, to, 2);
        const int primerFrames = probe.PrimerFrames();
        EXPECT_EQ(primerFrames, TResampler::PrimerFramesFor(from, to));
        EXPECT_LE(primerFrames, TResampler::MaxPrimerFrames());
        const int step = from / std::gcd(from, to);
        const int before = (primerFrames / step + 2) * step;
        std::mt19937 random(5);
        std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
        std::vector<float> input(2 * static_cast<std::size_t>(before + 3000));
        for (float &value : input)
            value = sample(random);
        const auto earlier =
            std::span<const float>(input).first(2 * static_cast<std::size_t>(before));
        const auto tail = std::span<const float>(input).subspan(earlier.size());

        TResampler whole(from, to, 2);
        std::vector<float> expected;
        whole.Push(input, expected);
        whole.Finish(expected);
        expected.erase(expected.begin(),
                       expected.begin() + 2 * static_cast<std::ptrdiff_t>(before) * to / from);

        TResampler primed(from, to, 2);
        primed.Prime(earlier);
        std::vector<float> actual;
        primed.Push(tail, actual);
        primed.Prime(earlier.first(200)); // too late
        primed.Finish(actual);
        EXPECT_EQ(actual, expected) << from << " to " << to;

        TResampler justEnough(from, to, 2);
        justEnough.Prime(earlier.last(2 * static_cast<std::size_t>(primerFrames)));
        std::vector<float> fromTheKernelsReach;
        justEnough.Push(tail, fromTheKernelsReach);
        justEnough.Finish(fromTheKernelsReach);
        EXPECT_EQ(fromTheKernelsReach, expected) << from << " to " << to;

        TResampler unprimed(from, to, 2);
        std::vector<float> fromSilence;
        unprimed.Push(tail, fromSilence);
        unprimed.Finish(fromSilence);
        EXPECT_NE(fromSilence, expected) << "the primer makes a difference";
    }
}

TEST(Resampler, RefusesRatesItCannotServe) {
    EXPECT_FALSE(TResampler::Supports(0, 44100));
    EXPECT_FALSE(TResampler::Supports(44100, -1));
    EXPECT_FALSE(TResampler::Supports(192001, 8000)); // beyond 24 times down
    EXPECT_TRUE(TResampler::Supports(192000, 8000));
    EXPECT_TRUE(TResampler::Supports(8000, 768000));
    EXPECT_FALSE(TResampler::Supports(7999, 768000)); // beyond 96 times up
    EXPECT_FALSE(TResampler::Supports(1, 768000));
    EXPECT_THROW(TResampler(192001, 8000, 1), std::invalid_argument);
    EXPECT_THROW(TResampler(44100, 48000, 3), std::invalid_argument);
    EXPECT_THROW(TResampler(44100, 48000, 0), std::invalid_argument);
}

} // namespace
