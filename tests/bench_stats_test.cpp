// The latency benchmark's figures from a recorded call list: percentiles, and what the output saw
// around each track change, Stop, seek and pause.
#include "LatencyStats.h"

#include <gtest/gtest.h>

namespace {

using bench::TimedCall;

TEST(BenchStats, PercentilesInterpolateBetweenTheNearestRanks) {
    EXPECT_DOUBLE_EQ(bench::Percentile({}, 0.5), 0.0);
    EXPECT_DOUBLE_EQ(bench::Percentile({7.0}, 0.95), 7.0);
    EXPECT_DOUBLE_EQ(bench::Percentile({4.0, 1.0, 3.0, 2.0}, 0.5), 2.5); // unsorted input
    EXPECT_DOUBLE_EQ(bench::Percentile({1.0, 2.0, 3.0, 4.0, 5.0}, 0.5), 3.0);
    EXPECT_DOUBLE_EQ(bench::Percentile({0.0, 10.0}, 0.95), 9.5);
    EXPECT_DOUBLE_EQ(bench::Percentile({0.0, 10.0}, 1.5), 10.0); // clamped

    std::vector<double> hundred;
    for (int i = 100; i >= 1; --i)
        hundred.push_back(i);
    const bench::Summary summary = bench::Summarize(hundred);
    EXPECT_EQ(summary.Count, 100);
    EXPECT_DOUBLE_EQ(summary.Median, 50.5);
    EXPECT_DOUBLE_EQ(summary.P95, 95.05);
    EXPECT_DOUBLE_EQ(summary.Worst, 100.0);
    EXPECT_EQ(bench::Summarize({}).Count, 0);
}

TimedCall Write(double at, double bufferedMs, double underrunMs = 0.0, double discardedMs = 0.0,
                int answer = 0) {
    return {"Write", 2756, 7, at, answer, bufferedMs, underrunMs, discardedMs};
}

TimedCall Call(const char *name, double at, double underrunMs = 0.0, double discardedMs = 0.0,
               unsigned long thread = 7) {
    return {name, 0, thread, at, 0, 0.0, underrunMs, discardedMs};
}

TEST(BenchStats, ATrackChangeRunsFromPlayedOutToTheNextTracksFirstWrite) {
    // Track A's last write at 100 leaves 500 ms; the output reports "not playing" at 600 for a
    // plain output, at 300 for one that does so with 300 ms left. B is played at 620 and its first
    // write comes at 630, after 25 ms of silence; a refused write before it does not count.
    const std::vector<TimedCall> calls = {
        Write(10.0, 400.0),
        Write(100.0, 500.0, 2.0, 1.0),
        Call("IsPlaying", 615.0, 17.0, 1.0),
        Call("Flush", 625.0, 27.0, 1.0),
        Write(626.0, 0.0, 27.0, 1.0, 1),
        Write(630.0, 15.6, 27.0, 1.0),
        Write(700.0, 100.0, 30.0, 1.0), // inside the 200 ms after B's first write
        Write(900.0, 100.0, 90.0, 1.0), // after it
    };
    const auto plain = bench::MeasureTransitions(calls, {0.0, 620.0}, 0.0, 200.0);
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_DOUBLE_EQ(plain[0].ChainMs, 30.0);
    EXPECT_DOUBLE_EQ(plain[0].UnderrunMs, 28.0);
    EXPECT_DOUBLE_EQ(plain[0].DiscardedMs, 0.0);

    const auto ahead = bench::MeasureTransitions(calls, {0.0, 620.0}, 300.0, 200.0);
    ASSERT_EQ(ahead.size(), 1u);
    EXPECT_DOUBLE_EQ(ahead[0].ChainMs, 330.0);

    // A last write that left less than the mark: "not playing" at once.
    EXPECT_DOUBLE_EQ(bench::MeasureTransitions(calls, {0.0, 620.0}, 600.0, 200.0)[0].ChainMs,
                     530.0);
}

TEST(BenchStats, EachTrackChangeEndsItsWindowAtTheNextPlay) {
    // B is played at 105 and C at 155; C's flush at 158 belongs to the change to C, and so does
    // nothing after 200 ms past C's first write.
    const std::vector<TimedCall> calls = {
        Write(0.0, 100.0),
        Write(110.0, 100.0, 5.0),
        Call("Flush", 158.0, 5.0, 40.0),
        Write(160.0, 100.0, 7.0, 40.0),
        Call("Close", 400.0, 9.0, 90.0),
    };
    const auto figures = bench::MeasureTransitions(calls, {0.0, 105.0, 155.0}, 0.0, 200.0);
    ASSERT_EQ(figures.size(), 2u);
    EXPECT_DOUBLE_EQ(figures[0].ChainMs, 10.0);
    EXPECT_DOUBLE_EQ(figures[0].UnderrunMs, 5.0);
    EXPECT_DOUBLE_EQ(figures[0].DiscardedMs, 0.0);
    EXPECT_DOUBLE_EQ(figures[1].ChainMs, -50.0); // C written while B still had 50 ms to play
    EXPECT_DOUBLE_EQ(figures[1].UnderrunMs, 2.0);
    EXPECT_DOUBLE_EQ(figures[1].DiscardedMs, 40.0);
}

TEST(BenchStats, ATrackChangeWithoutAWriteOnEitherSideIsLeftOut) {
    const std::vector<TimedCall> calls = {Write(10.0, 50.0), Call("IsPlaying", 200.0)};
    EXPECT_TRUE(bench::MeasureTransitions(calls, {0.0, 100.0}, 0.0, 200.0).empty());
    EXPECT_TRUE(bench::MeasureTransitions({Write(150.0, 50.0)}, {0.0, 100.0}, 0.0, 200.0).empty());
}

TEST(BenchStats, StopSeekAndPauseFiguresComeFromTheCallsAfterTheCommand) {
    const unsigned long host = 1, engine = 2;
    const std::vector<TimedCall> calls = {
        Call("Write", 5.0, 0.0, 0.0, engine),
        Call("GetOutputTime", 12.0, 0.0, 0.0, host),
        Call("Flush", 20.0, 0.0, 0.0, engine),
        Write(21.0, 0.0, 0.0, 0.0, 1),
        Write(24.0, 15.6),
        Call("Close", 30.0, 0.0, 0.0, engine),
        Call("GetOutputTime", 40.0, 0.0, 0.0, host),
    };
    EXPECT_DOUBLE_EQ(bench::LastCallAfter(calls, 10.0, host), 20.0);
    EXPECT_DOUBLE_EQ(bench::LastCallAfter(calls, 35.0, host), -1.0);

    const auto seek = bench::FlushThenWrite(calls, 10.0);
    EXPECT_DOUBLE_EQ(seek.FlushMs, 10.0);
    EXPECT_DOUBLE_EQ(seek.WriteMs, 14.0); // the refused write before it does not count
    EXPECT_DOUBLE_EQ(bench::FlushThenWrite(calls, 25.0).FlushMs, -1.0);

    EXPECT_DOUBLE_EQ(bench::LastWriteWithin(calls, 2.0, 30.0), 22.0);
    EXPECT_DOUBLE_EQ(bench::LastWriteWithin(calls, 25.0, 40.0), 0.0); // nothing written after
    EXPECT_DOUBLE_EQ(bench::FirstWriteAfter(calls, 22.0), 2.0);
    EXPECT_DOUBLE_EQ(bench::FirstWriteAfter(calls, 25.0), -1.0);
}

} // namespace
