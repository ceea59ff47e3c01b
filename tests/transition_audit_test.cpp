// The transition audit's measures on sound made here, where the truth is known to the sample: a
// clean crossfade, a replay, a gap, a cut, a track owed to its end; and the listener's timeline
// from an output's calls, a stalled device's silence in it, and when a heard moment was written.
#include "TransitionMeasures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace {

using namespace audit;

constexpr int kRate = 44100;

// A run of 16-bit sound from `make` (the listener's time in seconds -> sample), heard from
// `start` on.
HeardRun Render(double seconds, const std::function<double(double)> &make, int rate = kRate,
                double start = 0.0) {
    HeardRun run;
    run.Rate = rate;
    run.StartSeconds = start;
    run.Samples.resize(static_cast<std::size_t>(std::lround(seconds * rate)));
    for (std::size_t n = 0; n < run.Samples.size(); ++n)
        run.Samples[n] =
            std::round(make(start + static_cast<double>(n) / rate) * 32767.0) / 32768.0;
    return run;
}

Measures MeasureOne(const Scenario &scenario, const HeardRun &run) {
    const std::vector<HeardRun> runs{run};
    return Measure(scenario, runs, TrackHeard(runs, scenario.Tracks));
}

// Track 1 (5 s) crossfades linearly into track 2 over its last 2 s; `tamper` may change where
// track 1 is heard (its position at each moment) and at what gain.
struct Crossfade {
    Scenario Play;
    Crossfade() {
        Play.Tracks = {ToneTrack(0, 5.0), ToneTrack(1, 4.0)};
        Play.Transitions = {{TransitionKind::Start, 0}, {TransitionKind::Crossfade, 1, 2.0}};
    }
    HeardRun Heard(const std::function<double(double)> &firstPosition,
                   const std::function<double(double)> &firstGain) const {
        return Render(6.0, [&](double t) {
            const double p = std::clamp((t - 3.0) / 2.0, 0.0, 1.0);
            return firstGain(t) * (1.0 - p) * Play.Tracks[0].Value(firstPosition(t)) +
                   p * Play.Tracks[1].Value(t - 3.0);
        });
    }
};

double Same(double t) {
    return t;
}

double Full(double) {
    return 1.0;
}

TEST(TransitionAudit, ACleanCrossfadeIsCleanToTheSample) {
    const Crossfade fade;
    const HeardRun run = fade.Heard(Same, Full);
    const std::vector<HeardRun> runs{run};
    const Tracking tracking = TrackHeard(runs, fade.Play.Tracks);
    ASSERT_EQ(tracking.Pieces.size(), 2u);
    EXPECT_NEAR(tracking.Pieces[1].Start, 3.0, 1.0 / kRate); // where track 2 began
    EXPECT_NEAR(tracking.Pieces[1].Position, 0.0, 1e-6);
    const Measures m = Measure(fade.Play, runs, tracking);
    EXPECT_TRUE(m.Clean());
    EXPECT_LT(m.TwiceMs + m.LostMs + m.SilenceMs + m.UnexplainedMs, 0.1);
    EXPECT_LT(m.GainError, 0.002);
    EXPECT_LE(m.StepRatio, 1.0);
}

TEST(TransitionAudit, ARepeatOf100MsIsHeardTwiceAndClicks) {
    const Crossfade fade;
    const Measures m =
        MeasureOne(fade.Play, fade.Heard([](double t) { return t < 1.5 ? t : t - 0.1; }, Full));
    EXPECT_NEAR(m.TwiceMs, 100.0, 0.1);
    EXPECT_LT(m.LostMs, 0.1);
    EXPECT_GT(m.StepRatio, 1.0);
    EXPECT_FALSE(m.Clean());
}

TEST(TransitionAudit, AGapOf50MsIsSilenceAndLostSound) {
    const Crossfade fade;
    const Measures m = MeasureOne(
        fade.Play, fade.Heard(Same, [](double t) { return t >= 1.5 && t < 1.55 ? 0.0 : 1.0; }));
    EXPECT_NEAR(m.LostMs, 50.0, 0.1);
    EXPECT_NEAR(m.SilenceMs, 50.0, 0.6); // RMS over half a millisecond at either edge
    EXPECT_LT(m.TwiceMs, 0.1);
    EXPECT_NEAR(m.GainError, 1.0, 0.01);
    EXPECT_FALSE(m.Clean());
}

TEST(TransitionAudit, ACutWhereASkipShouldFadeLosesTheFade) {
    Scenario skip;
    skip.Tracks = {ToneTrack(0, 5.0), ToneTrack(1, 4.0)};
    skip.Transitions = {{TransitionKind::Start, 0}, {TransitionKind::SkipFade, 1, 1.0}};
    const HeardRun cut = Render(3.0, [&](double t) {
        return t < 1.5 ? skip.Tracks[0].Value(t) : skip.Tracks[1].Value(t - 1.5);
    });
    const Measures m = MeasureOne(skip, cut);
    // The fade would have played 1 s more of track 1, down to -40 dB at 0.99 s.
    EXPECT_NEAR(m.LostMs, 990.0, 1.0);
    EXPECT_GT(m.GainError, 0.9);
    EXPECT_GT(m.StepRatio, 1.0);

    const HeardRun faded = Render(3.0, [&](double t) {
        const double p = std::clamp(t - 1.5, 0.0, 1.0);
        return (1.0 - p) * skip.Tracks[0].Value(t) + p * skip.Tracks[1].Value(t - 1.5);
    });
    EXPECT_TRUE(MeasureOne(skip, faded).Clean());
}

// An output re-opened in another format in the middle of a fade: the moment between the two
// outputs is silence either way, but only ramps of a millisecond into and out of it keep the
// join clean; stopping and starting at full level is a click.
TEST(TransitionAudit, AReopenedOutputIsCleanOnlyWithItsDeclick) {
    const Crossfade fade;
    const auto heard = [&](bool declick) {
        const double closed = 3.5, opened = 3.5002;
        const auto ramp = [&](double t) {
            if (!declick)
                return 1.0;
            return std::clamp((t < closed ? closed - t : t - opened) / kDeclickSeconds, 0.0, 1.0);
        };
        const auto mix = [&](double t) {
            const double p = std::clamp((t - 3.0) / 2.0, 0.0, 1.0);
            return ramp(t) * ((1.0 - p) * fade.Play.Tracks[0].Value(t) +
                              p * fade.Play.Tracks[1].Value(t - 3.0));
        };
        std::vector<HeardRun> runs{Render(closed, mix), Render(6.0 - opened, mix, 48000, opened)};
        runs[1].Channels = 1;
        runs[1].PcmSeconds = runs[0].EndSeconds();
        return Measure(fade.Play, runs, TrackHeard(runs, fade.Play.Tracks));
    };
    const Measures declicked = heard(true);
    EXPECT_TRUE(declicked.Clean()) << declicked.Notes.back();
    EXPECT_NEAR(declicked.SilenceMs, 0.2, 0.15);
    const Measures hard = heard(false);
    EXPECT_GT(hard.StepRatio, 1.0);
    EXPECT_FALSE(hard.Clean());
}

TEST(TransitionAudit, TheListenersTimelineKeepsSilencesAndDropsWhatWasThrownAway) {
    // 100 frames written, 25 of them thrown away by a Flush, 2 ms dry, 100 more, a Close, and
    // 50 ms later an Open in another format; every sample value tells where it came from.
    const std::vector<OutputCall> calls = {
        {"Open", {44100, 1, 16}, 0, 0.0},   {"Write", {200}, 0, 1.0},
        {"Flush", {0, 50}, 0, 2.0},         {"Write", {200}, 0, 5.0, 2.0},
        {"Close", {0}, 0, 10.0, 2.0},       {"Open", {22050, 1, 16}, 0, 55.0, 2.0},
        {"Write", {100}, 0, 60.0, 2.0},
    };
    std::vector<std::uint8_t> pcm(200 - 50 + 200 + 100, 0);
    const std::vector<HeardRun> runs = HeardTimeline(calls, pcm);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].Samples.size(), 75u);
    EXPECT_EQ(runs[1].Samples.size(), 100u);
    EXPECT_NEAR(runs[1].StartSeconds, 75.0 / 44100 + 0.002, 1e-9);
    EXPECT_NEAR(runs[2].StartSeconds, runs[1].EndSeconds() + 0.050, 1e-9); // Close to first write
    EXPECT_EQ(runs[2].Rate, 22050);
    EXPECT_NEAR(ListenerTime(runs, 1000.0 * 80 / 44100), runs[1].StartSeconds + 5.0 / 44100, 1e-9);
}

// The host stopped at the first track's end, or the next entry's own plug-in took the output:
// the silence after it is no one's, but the track is owed to its last sample, and none of it may
// sound once the next one has begun.
TEST(TransitionAudit, ATrackThatEndsBeforeASilenceIsOwedToItsLastSample) {
    Scenario played;
    played.Tracks = {ToneTrack(0, 3.0), ToneTrack(1, 2.0)};
    played.Transitions = {{TransitionKind::Start, 0}, {TransitionKind::AfterEnd, 1}};
    const auto measure = [&](double firstHeard, double restGain) {
        std::vector<HeardRun> runs{
            Render(firstHeard, [&](double t) { return played.Tracks[0].Value(t); }),
            Render(
                2.0,
                [&](double t) {
                    return played.Tracks[1].Value(t - 3.5) +
                           restGain * played.Tracks[0].Value(firstHeard + t - 3.5);
                },
                kRate, 3.5)};
        runs[1].PcmSeconds = runs[0].EndSeconds();
        return Measure(played, runs, TrackHeard(runs, played.Tracks));
    };
    const Measures whole = measure(3.0, 0.0);
    EXPECT_TRUE(whole.Clean());
    EXPECT_LT(whole.LostMs + whole.SilenceMs, 0.2);
    ASSERT_EQ(whole.Starts.size(), 2u);
    EXPECT_NEAR(whole.Starts[1], 3.5, 0.001);

    const Measures cut = measure(2.5, 0.0);
    EXPECT_NEAR(cut.LostMs, 500.0, 0.2);
    EXPECT_FALSE(cut.Clean());

    const Measures restAfterwards = measure(2.5, 1.0);
    EXPECT_GT(restAfterwards.GainError, 0.9);
    EXPECT_FALSE(restAfterwards.Clean());
}

TEST(TransitionAudit, AStalledDeviceSilencesTheListenerWhereItStood) {
    HeardRun first, second;
    first.Rate = second.Rate = 1000;
    for (int i = 0; i < 1000; ++i)
        first.Samples.push_back(i);
    second.Samples.assign(500, -1.0);
    second.StartSeconds = 1.5;
    second.PcmSeconds = 1.0;
    std::vector<HeardRun> runs{first, second};
    InsertSilence(runs, 0.4, 2.0);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].Samples.size(), 400u);
    EXPECT_EQ(runs[1].Samples.size(), 600u);
    EXPECT_EQ(runs[1].Samples.front(), 400.0);
    EXPECT_DOUBLE_EQ(runs[1].StartSeconds, 2.4);
    EXPECT_DOUBLE_EQ(runs[1].PcmSeconds, 0.4);
    EXPECT_DOUBLE_EQ(runs[2].StartSeconds, 3.5);
    EXPECT_DOUBLE_EQ(ListenerTime(runs, 400.0), 0.4);
    EXPECT_DOUBLE_EQ(ListenerTime(runs, 500.0), 2.5);
    EXPECT_DOUBLE_EQ(PcmSecondsAt(runs, 1.0), 0.4); // in the silence: the sound after it
    EXPECT_DOUBLE_EQ(PcmSecondsAt(runs, 2.5), 0.5);

    // Stopped a quarter into frame 700: that frame was heard, the next comes after the silence.
    std::vector<HeardRun> midFrame{first};
    InsertSilence(midFrame, 0.70025, 1.0);
    ASSERT_EQ(midFrame.size(), 2u);
    EXPECT_EQ(midFrame[0].Samples.size(), 701u);
    EXPECT_EQ(midFrame[1].Samples.front(), 701.0);
}

TEST(TransitionAudit, AHeardMomentWasWrittenByTheWriteThatBroughtIt) {
    // 1000 Hz mono 16-bit: 2000 bytes a second. 0.1 s at 10 ms, 0.1 s at 20 ms, of which a
    // Flush throws the last 0.05 s away, then 0.1 s at 40 ms, half of it thrown away at Close.
    const std::vector<OutputCall> calls = {
        {"Open", {1000, 1, 16}, 0, 0.0}, {"Write", {200}, 0, 10.0},    {"Write", {200}, 0, 20.0},
        {"Write", {200}, 1, 25.0},       {"Flush", {0, 100}, 0, 30.0}, {"Write", {200}, 0, 40.0},
        {"Close", {100}, 0, 50.0},
    };
    EXPECT_EQ(WrittenAtMs(calls, 0.05), 10.0);
    EXPECT_EQ(WrittenAtMs(calls, 0.12), 20.0);
    EXPECT_EQ(WrittenAtMs(calls, 0.16), 40.0); // where the thrown-away sound was
    EXPECT_EQ(WrittenAtMs(calls, 0.21), -1.0); // thrown away at Close: never heard
}

} // namespace
