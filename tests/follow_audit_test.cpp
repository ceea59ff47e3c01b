// The follow audit's analysis on sound made here: where a recorded output is a track untouched,
// and the longest silence in it.
#include "FollowMeasures.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using follow::Pcm16;

constexpr int kRate = 8000;

Pcm16 Noise(std::int64_t frames, unsigned seed, int amplitude = 10000) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> sample(-amplitude, amplitude);
    Pcm16 pcm;
    pcm.Rate = kRate;
    for (std::int64_t i = 0; i < frames * pcm.Channels; ++i)
        pcm.Samples.push_back(static_cast<std::int16_t>(sample(random)));
    return pcm;
}

void Append(Pcm16 &to, const Pcm16 &from, std::int64_t first, std::int64_t frames) {
    const auto begin = from.Samples.begin() + first * from.Channels;
    to.Samples.insert(to.Samples.end(), begin, begin + frames * from.Channels);
}

// A's frames [0, 3000), then 1000 frames of A's rest and B's start at half gain each, then B from
// its frame 1500 on (B's first 500 frames were a leading part skipped).
TEST(FollowAudit, UntouchedRunsFindTheHandOverAndTheFadeEnd) {
    const Pcm16 a = Noise(5000, 1), b = Noise(6000, 2);
    Pcm16 output;
    output.Rate = kRate;
    Append(output, a, 0, 3000);
    for (std::int64_t f = 0; f < 1000; ++f)
        for (int c = 0; c < 2; ++c)
            output.Samples.push_back(static_cast<std::int16_t>(
                (a.Samples[(3000 + f) * 2 + c] + b.Samples[(500 + f) * 2 + c]) / 2));
    Append(output, b, 1500, 4500);

    const std::vector<follow::Run> runs = follow::UntouchedRuns(output, {a, b});
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].Track, 0);
    EXPECT_EQ(runs[0].OutStart, 0);
    EXPECT_EQ(runs[0].OutEnd, 3000);
    EXPECT_EQ(runs[1].Track, 1);
    EXPECT_EQ(runs[1].OutStart, 4000);
    EXPECT_EQ(runs[1].OutEnd, 8500);
    EXPECT_EQ(runs[1].TrackFrameAt(3000), 500); // where B came in
}

// Sound at -30 dBFS with 30 ms of it at -70 dBFS and 10 ms of digital silence elsewhere.
TEST(FollowAudit, LongestSilenceIsTheLongestQuietStretch) {
    const Pcm16 loud = Noise(800, 3, 1000), quiet = Noise(240, 4, 10);
    Pcm16 output;
    output.Rate = kRate;
    Append(output, loud, 0, 400);
    Append(output, quiet, 0, 240);
    Append(output, loud, 400, 200);
    output.Samples.resize(output.Samples.size() + 80 * 2, 0);
    Append(output, loud, 600, 200);
    EXPECT_EQ(follow::LongestSilenceMs(output, 0, output.Frames(), -60.0), 30);
    EXPECT_EQ(follow::LongestSilenceMs(output, 640, output.Frames(), -60.0), 10);
    EXPECT_LT(follow::RmsDb(output, 0, 400), -30.0);
    EXPECT_GT(follow::RmsDb(output, 0, 400), -40.0);
}

} // namespace
