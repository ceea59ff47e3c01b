// The crossfade mixer on buffers: gain curves, sample arithmetic of every width, the fade's
// progress, and when the outgoing decoder is let go.
#include "sound/CrossfadeMixer.h"
#include "support/FakeFadeOutSource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

using FakeSource = support::FakeFadeOutSource;

std::vector<std::uint8_t> Pcm16(const std::vector<std::int16_t> &samples) {
    std::vector<std::uint8_t> bytes(samples.size() * 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        pcm::WriteSample(&bytes[i * 2], 16, samples[i]);
    return bytes;
}

std::vector<std::int64_t> Samples(const std::vector<std::uint8_t> &bytes, int bits) {
    std::vector<std::int64_t> values;
    for (std::size_t i = 0; i + bits / 8 <= bytes.size(); i += bits / 8)
        values.push_back(pcm::ReadSample(&bytes[i], bits));
    return values;
}

// Mixing at this rate moves p by exactly 1/1024 per frame, so expected values stay exact.
constexpr int kRate = 1024;
constexpr double kStep = 1.0 / kRate;

// A fade whose first frame at kRate mixes at p; frame k then mixes at p - k * kStep.
void FadeFrom(TCrossfadeState &state, double p) {
    state.FadeSecondsIn = state.FadeSecondsOut = 1.0;
    state.FadeTarget = 0.0;
    state.FadePosition = p + kStep;
    state.FadeComplement = 1.0 - state.FadePosition;
}

std::int64_t Mixed(double p, std::int64_t newValue, std::int64_t oldValue) {
    return static_cast<std::int64_t>((1.0 - p) * newValue + p * oldValue);
}

TEST(GainCurve, LinearAndLogarithmicMeetAtTheEnds) {
    EXPECT_EQ(TCrossfadeState::GainOf(0.5, false), 0.5);
    EXPECT_NEAR(TCrossfadeState::GainOf(0.5, true), 0.2596, 1e-4);
    EXPECT_EQ(TCrossfadeState::GainOf(0.5, true), -std::log10(0.55));
    for (bool logCurve : {false, true}) {
        EXPECT_EQ(TCrossfadeState::GainOf(0.0, logCurve), 0.0);
        EXPECT_EQ(TCrossfadeState::GainOf(1.0, logCurve), 1.0);
        for (double x = 0.0; x <= 1.0; x += 1.0 / 1024)
            EXPECT_LE(TCrossfadeState::GainOf(x, logCurve) +
                          TCrossfadeState::GainOf(1 - x, logCurve),
                      1.0 + 1e-12);
    }
}

TEST(MixBlock, EightBitSamplesMixAroundTheirMidpoint) {
    int closes = 0;
    TCrossfadeState state;
    state.HoldSource(
        std::make_unique<FakeSource>(std::vector<std::uint8_t>(64, 56), 8, 1, kRate, &closes));
    FadeFrom(state, 0.5);
    std::vector<std::uint8_t> block(4, 200);
    state.MixBlock(block.data(), 4, 8, 1, kRate);
    EXPECT_EQ(block[0], 128); // 72 * 0.5 + (-72) * 0.5 = 0
    for (int k = 1; k < 4; ++k)
        EXPECT_EQ(block[k], Mixed(0.5 - k * kStep, 72, -72) + 128);
}

TEST(MixBlock, TwentyFourBitResultsAreStoredInTwosComplement) {
    int closes = 0;
    TCrossfadeState state;
    std::vector<std::uint8_t> old(3 * 64);
    for (std::size_t i = 0; i < old.size(); i += 3)
        pcm::WriteSample(&old[i], 24, -1);
    state.HoldSource(std::make_unique<FakeSource>(old, 24, 1, kRate, &closes));
    FadeFrom(state, 0.5);
    std::vector<std::uint8_t> block(6);
    pcm::WriteSample(&block[0], 24, -1);
    pcm::WriteSample(&block[3], 24, 0x7FFFFF);
    state.MixBlock(block.data(), 2, 24, 1, kRate);
    EXPECT_EQ(block[0], 0xFF);
    EXPECT_EQ(block[1], 0xFF);
    EXPECT_EQ(block[2], 0xFF);
    EXPECT_EQ(pcm::ReadSample(&block[3], 24), 4202495); // (0.5 + 1/1024) * 8388607 - (0.5 - 1/1024)
}

TEST(MixBlock, TruncatesTowardZeroWithoutClipping) {
    int closes = 0;
    TCrossfadeState state;
    std::vector<std::uint8_t> old(4 * 64, 0);
    pcm::WriteSample(&old[4], 32, 0x7FFFFFFF);
    state.HoldSource(std::make_unique<FakeSource>(old, 32, 1, kRate, &closes));
    FadeFrom(state, 0.5);
    std::vector<std::uint8_t> block(12);
    pcm::WriteSample(&block[0], 32, 3);
    pcm::WriteSample(&block[4], 32, 0x7FFFFFFF);
    pcm::WriteSample(&block[8], 32, -3);
    state.MixBlock(block.data(), 3, 32, 1, kRate);
    EXPECT_EQ(Samples(block, 32), (std::vector<std::int64_t>{1, 0x7FFFFFFF, -1}));
}

TEST(MixingStep, StartsTheFadeFromTheShorterOfRemainderAndFadeTime) {
    int closes = 0;
    TCrossfadeState state;
    auto source = std::make_unique<FakeSource>(Pcm16(std::vector<std::int16_t>(4000, 0)), 16, 2,
                                               44100, &closes);
    source->RemainingMs = 3000;
    state.HoldSource(std::move(source));
    state.Armed = true;
    std::vector<std::uint8_t> block(4 * 10, 0);
    state.MixingStep(block.data(), 10, 16, 2, 44100, 5000);
    EXPECT_TRUE(state.Started);
    EXPECT_EQ(state.FadeSecondsIn, 3.0);
    EXPECT_EQ(state.StepDown, 1.0 / 3.0 / 44100);

    TCrossfadeState full;
    full.HoldSource(std::make_unique<FakeSource>(Pcm16(std::vector<std::int16_t>(4000, 0)), 16, 2,
                                                 44100, &closes));
    full.Armed = true;
    full.MixingStep(block.data(), 10, 16, 2, 44100, 5000);
    EXPECT_EQ(full.StepDown, 1.0 / 220500);
    EXPECT_NEAR(full.FadePosition, 1.0 - 10.0 / 220500, 1e-12); // ten frames moved
}

// A seek past the end leaves less than nothing of the outgoing track; a fade time of 0 or
// below (from a hand-edited settings file) is no fade either.
TEST(MixingStep, AFadeOfZeroOrLessIsNoneAndLetsTheSourceGo) {
    for (const auto &[remainingMs, fadeTimeMs] :
         {std::pair{-500, 5000}, std::pair{0, 5000}, std::pair{3000, -2000}, std::pair{3000, 0},
          std::pair{3000, INT32_MIN}}) {
        int closes = 0;
        TCrossfadeState state;
        auto source = std::make_unique<FakeSource>(Pcm16(std::vector<std::int16_t>(400, 1000)), 16,
                                                   2, 44100, &closes);
        source->RemainingMs = remainingMs;
        state.HoldSource(std::move(source));
        state.Armed = true;
        std::vector<std::uint8_t> block = Pcm16(std::vector<std::int16_t>(20, -300));
        const auto before = block;
        state.MixingStep(block.data(), 10, 16, 2, 44100, fadeTimeMs);
        EXPECT_EQ(block, before) << remainingMs << " " << fadeTimeMs;
        EXPECT_EQ(closes, 1);
        EXPECT_FALSE(state.Source);
        EXPECT_FALSE(state.Armed);
    }
}

TEST(MixingStep, WithoutASourceDisarmsAndLeavesTheBlockAlone) {
    TCrossfadeState state;
    state.Armed = state.Started = true;
    std::vector<std::uint8_t> block = Pcm16({100, -100, 200, -200});
    const auto before = block;
    state.MixingStep(block.data(), 2, 16, 2, 44100, 5000);
    EXPECT_FALSE(state.Armed);
    EXPECT_FALSE(state.Started);
    EXPECT_EQ(block, before);
}

TEST(MixBlock, AnOutgoingDecoderThatEndsEarlyLeavesTheRestUnmixed) {
    int closes = 0;
    TCrossfadeState state;
    // Ten stereo frames of old sound, then the decoder ends.
    state.HoldSource(std::make_unique<FakeSource>(Pcm16(std::vector<std::int16_t>(20, 1000)), 16, 2,
                                                  kRate, &closes));
    FadeFrom(state, 0.5);
    std::vector<std::uint8_t> block = Pcm16(std::vector<std::int16_t>(40, 3000));
    state.MixBlock(block.data(), 20, 16, 2, kRate);
    const auto values = Samples(block, 16);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(values[i], Mixed(0.5 - (i / 2) * kStep, 3000, 1000)) << i;
    for (int i = 20; i < 40; ++i)
        EXPECT_EQ(values[i], 3000) << i;
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(state.Source, nullptr);
}

TEST(MixBlock, LetsTheSourceGoAtTheNextReadAfterTheFadeReachedZero) {
    int closes = 0;
    TCrossfadeState state;
    state.HoldSource(std::make_unique<FakeSource>(Pcm16(std::vector<std::int16_t>(100000, 500)), 16,
                                                  1, 1000, &closes));
    state.FadeSecondsIn = state.FadeSecondsOut = 0.004; // four frames at 1 kHz
    state.FadePosition = 1.0;
    state.FadeComplement = 0.0;
    state.FadeTarget = 0.0;
    std::vector<std::uint8_t> block = Pcm16(std::vector<std::int16_t>(200, -700));
    state.MixBlock(block.data(), 200, 16, 1, 1000);
    const auto values = Samples(block, 16);
    // p: 0.75, 0.5, 0.25, 0 -> each sample is (1-p) * new + p * old, truncated.
    EXPECT_EQ(values[0], static_cast<std::int64_t>(0.25 * -700 + 0.75 * 500));
    EXPECT_EQ(values[1], static_cast<std::int64_t>(0.5 * -700 + 0.5 * 500));
    EXPECT_EQ(values[3], -700);
    EXPECT_EQ(values[199], -700);
    EXPECT_TRUE(state.Reached);
    // The first old block of 64 samples ran out after p reached 0: the next read let it go.
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(state.Source, nullptr);
}

TEST(MixBlock, AnOutgoingTrackOfAnotherFormatIsReleasedUnmixed) {
    int closes = 0;
    TCrossfadeState state;
    state.HoldSource(std::make_unique<FakeSource>(Pcm16(std::vector<std::int16_t>(64, 1000)), 16, 2,
                                                  48000, &closes));
    FadeFrom(state, 0.5);
    std::vector<std::uint8_t> block = Pcm16({1, 2, 3, 4});
    const auto before = block;
    state.MixBlock(block.data(), 2, 16, 2, 44100);
    EXPECT_EQ(block, before);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(state.Source, nullptr);
}

TEST(MixBlock, TheCurveChosenByTheHostAppliesToTheNextFrame) {
    int closes = 0;
    TCrossfadeState state;
    state.HoldSource(std::make_unique<FakeSource>(Pcm16(std::vector<std::int16_t>(64, 10000)), 16,
                                                  1, kRate, &closes));
    FadeFrom(state, 0.5);
    state.SetLogCurve(true);
    std::vector<std::uint8_t> block = Pcm16({10000});
    state.MixBlock(block.data(), 1, 16, 1, kRate);
    EXPECT_EQ(Samples(block, 16)[0], static_cast<std::int64_t>(2 * -std::log10(0.55) * 10000.0));
    state.ReleaseSource();
    state.ReleaseSource();
    EXPECT_EQ(closes, 1);
}

// The equal-power curve from its definition: the incoming track at sin(pi/2 (1 - p)), the
// outgoing one at sin(pi/2 p).
double SineGain(double x) {
    return std::sin(1.5707963267948966 * x);
}

TEST(GainCurve, EqualPowerKeepsTheSummedPowerOfUnrelatedTracks) {
    EXPECT_EQ(TCrossfadeState::GainOf(0.0, TFadeCurve::EqualPower), 0.0);
    EXPECT_EQ(TCrossfadeState::GainOf(1.0, TFadeCurve::EqualPower), 1.0);
    EXPECT_NEAR(TCrossfadeState::GainOf(0.5, TFadeCurve::EqualPower), std::sqrt(0.5), 1e-15);
    for (double x = 0.0; x <= 1.0; x += 1.0 / 1024) {
        const double in = TCrossfadeState::GainOf(1.0 - x, TFadeCurve::EqualPower);
        const double out = TCrossfadeState::GainOf(x, TFadeCurve::EqualPower);
        EXPECT_NEAR(in * in + out * out, 1.0, 1e-12) << x;
    }
    EXPECT_EQ(FadeCurveFor(false, false), TFadeCurve::Linear);
    EXPECT_EQ(FadeCurveFor(true, false), TFadeCurve::Logarithmic);
    EXPECT_EQ(FadeCurveFor(true, true), TFadeCurve::EqualPower);
    EXPECT_EQ(FadeCurveFor(false, true), TFadeCurve::EqualPower);
}

std::vector<std::uint8_t> PcmOf(const std::vector<std::int64_t> &values, int bits) {
    std::vector<std::uint8_t> bytes(values.size() * static_cast<std::size_t>(bits / 8));
    for (std::size_t i = 0; i < values.size(); ++i)
        pcm::WriteSample(&bytes[i * static_cast<std::size_t>(bits / 8)], bits, values[i]);
    return bytes;
}

// Samples relative to silence: full scale both ways, near it, small, and of opposite signs.
struct EqualPowerCase {
    std::vector<std::int64_t> New, Old;
};

EqualPowerCase CaseFor(int bits) {
    const std::int64_t top = (std::int64_t{1} << (bits - 1)) - 1, bottom = -top - 1;
    const std::int64_t near = top * 9 / 10, small = top / 100;
    return {{top, bottom, near, -near, small, top, bottom, 0, near, -small},
            {top, bottom, near, -near, -small, bottom, top, top, 0, near}};
}

TEST(MixBlock, EqualPowerAtEveryWidthHoldsTheSumAtTheFormatsLimits) {
    for (const int bits : {8, 16, 24, 32}) {
        for (const int channels : {1, 2}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, " << channels << " channels");
            const EqualPowerCase c = CaseFor(bits);
            const std::int64_t zero = bits == 8 ? 128 : 0;
            const auto stored = [&](const std::vector<std::int64_t> &centred) {
                std::vector<std::int64_t> values;
                for (std::int64_t v : centred)
                    values.push_back(v + zero);
                return PcmOf(values, bits);
            };
            // The old decoder delivers the case and then silence, in blocks of its own size.
            std::vector<std::int64_t> oldSound = c.Old;
            oldSound.resize(200, 0);
            int closes = 0;
            TCrossfadeState state;
            state.HoldSource(
                std::make_unique<FakeSource>(stored(oldSound), bits, channels, kRate, &closes));
            state.SetCurve(TFadeCurve::EqualPower);
            FadeFrom(state, 0.5);
            std::vector<std::uint8_t> block = stored(c.New);
            const int frames = static_cast<int>(c.New.size()) / channels;
            state.MixBlock(block.data(), frames, bits, channels, kRate);

            const std::int64_t low = bits == 8 ? 0 : -(std::int64_t{1} << (bits - 1));
            const std::int64_t high = bits == 8 ? 255 : (std::int64_t{1} << (bits - 1)) - 1;
            std::int64_t saturated = 0;
            const auto values = Samples(block, bits);
            for (std::size_t i = 0; i < c.New.size(); ++i) {
                const double p = 0.5 - static_cast<double>(i / channels) * kStep;
                double mixed = SineGain(1.0 - p) * static_cast<double>(c.New[i]) +
                               SineGain(p) * static_cast<double>(c.Old[i]);
                mixed += static_cast<double>(zero);
                auto expected = static_cast<std::int64_t>(mixed);
                if (expected < low || expected > high) {
                    ++saturated;
                    expected = std::clamp(expected, low, high);
                }
                EXPECT_EQ(values[i], expected) << "sample " << i;
            }
            EXPECT_GE(saturated, 4); // both full-scale pairs and the near-full ones
            EXPECT_EQ(state.SaturatedSamples, saturated);
            state.ReleaseSource();
            EXPECT_EQ(closes, 1);
        }
    }
}

// Both other curves sum to at most full scale: full-scale tracks come out unchanged, never held.
TEST(MixBlock, LinearAndLogarithmicFadesOfFullScaleTracksNeverSaturate) {
    for (const TFadeCurve curve : {TFadeCurve::Linear, TFadeCurve::Logarithmic}) {
        int closes = 0;
        TCrossfadeState state;
        state.HoldSource(std::make_unique<FakeSource>(Pcm16(std::vector<std::int16_t>(64, 32767)),
                                                      16, 1, kRate, &closes));
        state.SetCurve(curve);
        FadeFrom(state, 0.5);
        std::vector<std::uint8_t> block = Pcm16({32767, 32767, -32768});
        state.MixBlock(block.data(), 3, 16, 1, kRate);
        const auto values = Samples(block, 16);
        const double p = 0.5 - kStep;
        const bool log = curve == TFadeCurve::Logarithmic;
        EXPECT_EQ(values[1], static_cast<std::int64_t>(TCrossfadeState::GainOf(1 - p, log) * 32767 +
                                                       TCrossfadeState::GainOf(p, log) * 32767));
        EXPECT_EQ(state.SaturatedSamples, 0);
    }
}

TEST(MixBlock, TheEqualPowerCurveChosenMidFadeAppliesToTheNextFrame) {
    int closes = 0;
    TCrossfadeState state;
    state.HoldSource(std::make_unique<FakeSource>(Pcm16(std::vector<std::int16_t>(64, 10000)), 16,
                                                  1, kRate, &closes));
    FadeFrom(state, 0.5);
    std::vector<std::uint8_t> block = Pcm16({10000, 10000});
    state.MixBlock(block.data(), 1, 16, 1, kRate);
    EXPECT_EQ(Samples(block, 16)[0], 10000);
    state.SetCurve(TFadeCurve::EqualPower);
    state.MixBlock(block.data() + 2, 1, 16, 1, kRate);
    const double p = 0.5 - kStep;
    EXPECT_EQ(Samples(block, 16)[1],
              static_cast<std::int64_t>(SineGain(1 - p) * 10000.0 + SineGain(p) * 10000.0));
}

// A track handed over in the block where the fade before it ended starts its own fade afresh,
// the outgoing track at full level.
TEST(MixingStep, AHandOverRightAfterAFadeStartsAFreshOne) {
    int closes = 0;
    TCrossfadeState state;
    state.HoldSource(std::make_unique<FakeSource>(Pcm16(std::vector<std::int16_t>(256, 500)), 16,
                                                  1, kRate, &closes));
    state.Armed = true;
    std::vector<std::uint8_t> block = Pcm16(std::vector<std::int16_t>(256, 0));
    state.MixingStep(block.data(), 256, 16, 1, kRate, 62); // a 63-frame fade, over
    ASSERT_FALSE(state.Source);
    state.HoldSource(std::make_unique<FakeSource>(Pcm16(std::vector<std::int16_t>(64, 1000)), 16,
                                                  1, kRate, &closes));
    state.Armed = true;
    block = Pcm16(std::vector<std::int16_t>(4, 0));
    state.MixingStep(block.data(), 4, 16, 1, kRate, 1000);
    EXPECT_EQ(Samples(block, 16), (std::vector<std::int64_t>{999, 998, 997, 996}));
}

// The de-click ramps: from silence up and down to it without reaching either, truncated toward
// zero, 8-bit samples about their midpoint.
TEST(Ramp, ScalesFramesAlongAStraightLineWithoutReachingEitherEnd) {
    std::vector<std::uint8_t> up = Pcm16({1000, -1000, 1000, -1000, 1000, -1000});
    pcm::Ramp(up.data(), 3, 16, 2, true);
    EXPECT_EQ(Samples(up, 16), (std::vector<std::int64_t>{250, -250, 500, -500, 750, -750}));
    std::vector<std::uint8_t> down = {228, 28, 228};
    pcm::Ramp(down.data(), 3, 8, 1, false);
    EXPECT_EQ(down, (std::vector<std::uint8_t>{203, 78, 153})); // 128 +- 100 at 3/4, 2/4, 1/4
}

} // namespace

