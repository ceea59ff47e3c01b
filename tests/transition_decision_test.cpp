// How a track gives way to what comes after it: every kind of transition the engine meets, one
// row each, with what the listener hears. docs/engine.md holds the same table.
#include "sound/TransitionDecision.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

using namespace transition;

// A 60 s track written to 56 s, past its plain fade point at 55 s, with a 5 s crossfade and the
// 10 s shortest faded track (the defaults); the next entry the engine's, 30 s of its format.
TFacts Usual() {
    TFacts facts;
    facts.LengthMs = 60000;
    facts.WrittenMs = 56000;
    facts.Next = {Entry::Engines, true, false, 30000, false};
    return facts;
}

struct Row {
    const char *Case;
    const char *Heard; // what the listener hears
    TFacts Facts;
    Kind What;
    Output Out;
    std::int64_t EndMs, FadeStartMs, FadeMs;
    double InSpeed = 1.0, OutSpeed = 1.0;
    bool TrimsLeading = false;
    bool LetsGoOfPrepared = false;
};

void PrintTo(const Row &row, std::ostream *out) {
    *out << row.Case;
}

template <class F> TFacts With(F &&change) {
    TFacts facts = Usual();
    change(facts);
    return facts;
}

const Row kRows[] = {
    {"next entry not known yet", "the track plays on; the next entry is learnt at 55 s",
     With([](TFacts &f) { f.Next = {}; f.WrittenMs = 20000; }), Kind::PlayOn, Output::Continues,
     60000, 55000, 5000},
    {"crossfade", "the last 5 s of the track under the first 5 s of the next",
     Usual(), Kind::Crossfade, Output::Continues, 60000, 55000, 5000},
    {"crossfade into another format, fades across formats on",
     "the same, the outgoing track converted; the output re-opens in the new format",
     With([](TFacts &f) { f.Next.SameFormat = false; f.Next.Convertible = true; f.Options.AcrossFormats = true; }),
     Kind::Crossfade, Output::Reopens, 60000, 55000, 5000},
    {"another format, fades across formats off", "the track to its end, then the next from its start",
     With([](TFacts &f) { f.Next.SameFormat = false; f.Next.Convertible = true; }),
     Kind::Plain, Output::Reopens, 60000, 60000, 0},
    {"another format with Skip Silence (item 6)",
     "from the track's last sound to the next one's first: neither silence is heard",
     With([](TFacts &f) { f.Next.SameFormat = false; f.Options.SkipSilence = true; f.End = TTrackEnd{57000, {}}; f.WrittenMs = 50000; }),
     Kind::SoundToSound, Output::Reopens, 57000, 57000, 0, 1.0, 1.0, true},
    {"a next track shorter than the shortest faded, Skip Silence on (item 6)",
     "from sound to sound without a fade",
     With([](TFacts &f) { f.Next.LengthMs = 9999; f.Options.SkipSilence = true; f.End = TTrackEnd{57000, {}}; }),
     Kind::SoundToSound, Output::Continues, 57000, 57000, 0, 1.0, 1.0, true},
    {"a next track shorter than the shortest faded", "the track to its end, the next from its start",
     With([](TFacts &f) { f.Next.LengthMs = 9999; }), Kind::Plain, Output::Continues, 60000, 60000, 0},
    {"a next track exactly the shortest faded", "a crossfade: it may be faded into",
     With([](TFacts &f) { f.Next.LengthMs = 10000; }), Kind::Crossfade, Output::Continues, 60000,
     55000, 5000},
    {"a track exactly the shortest faded", "no crossfade: it is never faded out",
     With([](TFacts &f) { f.LengthMs = 10000; f.WrittenMs = 9000; }), Kind::Plain,
     Output::Continues, 10000, 10000, 0},
    {"fade time 0 in a hand-edited settings file", "no fade",
     With([](TFacts &f) { f.Options.FadeMs = 0; }), Kind::Plain, Output::Continues, 60000, 60000, 0},
    {"a seek past the track's end", "no fade: nothing is left to fade",
     With([](TFacts &f) { f.WrittenMs = 60000; }), Kind::Plain, Output::Continues, 60000, 60000, 0},
    {"the playlist's end", "the track to its end; the output stays open",
     With([](TFacts &f) { f.Next = {Entry::None}; }), Kind::PlayOutAndKeep, Output::StaysOpen, 60000,
     60000, 0},
    {"a stream next (item 2)", "the track to its last sample, nothing prepared; the stream's plug-in gets the output",
     With([](TFacts &f) { f.Next = {Entry::HandedBack}; }), Kind::HandBack, Output::Closes, 60000,
     60000, 0},
    {"a stream next with Skip Silence", "the track to its last sound",
     With([](TFacts &f) { f.Next = {Entry::HandedBack}; f.Options.SkipSilence = true; f.End = TTrackEnd{57000, {}}; }),
     Kind::HandBack, Output::Closes, 57000, 57000, 0},
    {"a next entry that does not open", "the track to its end; the output closes",
     With([](TFacts &f) { f.Next = {Entry::Unopenable}; }), Kind::Plain, Output::Closes, 60000,
     60000, 0},
    {"an album played through", "the next track straight on, sample for sample, nothing trimmed",
     With([](TFacts &f) { f.Next.ContinuesAlbum = true; f.Options.AlbumsThrough = true; f.Options.SkipSilence = true; f.End = TTrackEnd{57000, {}}; }),
     Kind::AlbumJoin, Output::Continues, 60000, 60000, 0},
    {"an album without the option", "a crossfade as any",
     With([](TFacts &f) { f.Next.ContinuesAlbum = true; }), Kind::Crossfade, Output::Continues,
     60000, 55000, 5000},
    {"trailing silence skipped", "the fade ends with the track's last sound; its silence is never heard",
     With([](TFacts &f) { f.Options.SkipSilence = true; f.End = TTrackEnd{40000, {}}; f.WrittenMs = 36000; }),
     Kind::Crossfade, Output::Continues, 40000, 35000, 5000, 1.0, 1.0, true},
    {"the track's own fade-out", "the crossfade over it; the next track is in by its middle",
     With([](TFacts &f) { f.Options.FollowOwnRamps = true; f.End = TTrackEnd{59000, 56000}; f.WrittenMs = 56100; }),
     Kind::Crossfade, Output::Continues, 59000, 56000, 3000, 2.0, 1.0},
    {"an own fade-out to the file's last frame", "the crossfade over it, to the track's end",
     With([](TFacts &f) { f.Options.FollowOwnRamps = true; f.End = TTrackEnd{60000, 57000}; f.WrittenMs = 57100; }),
     Kind::Crossfade, Output::Continues, 60000, 57000, 3000, 2.0, 1.0},
    {"the next track's own fade-in", "the crossfade over it; the outgoing track holds until its middle",
     With([](TFacts &f) { f.Options.FollowOwnRamps = true; f.NextStart = TTrackStart{0, 2000}; f.WrittenMs = 58100; }),
     Kind::Crossfade, Output::Continues, 60000, 58000, 2000, 1.0, 2.0},
    {"a look-ahead answer after half its fade", "the plain crossfade, as without the options",
     With([](TFacts &f) { f.Options.SkipSilence = true; f.End = TTrackEnd{57000, {}}; f.WrittenMs = 55000; }),
     Kind::Crossfade, Output::Continues, 60000, 55000, 5000, 1.0, 1.0, true},
    {"no look-ahead answer (a fault or a stall of its owner: item 4, 5)", "the plain crossfade",
     With([](TFacts &f) { f.Options.SkipSilence = true; }), Kind::Crossfade, Output::Continues,
     60000, 55000, 5000, 1.0, 1.0, true},
    {"the user's stop", "silence at once; everything let go",
     With([](TFacts &f) { f.Stop = HostStop::User; }), Kind::CutAndRelease, Output::Flushed, 60000,
     0, 0, 1.0, 1.0, false, true},
    {"the user's skip, fade on skip", "what was heard fades out under the new track",
     With([](TFacts &f) { f.Stop = HostStop::User; f.Skip = true; f.Options.SkipFadeMs = 1000; }),
     Kind::SkipFade, Output::Flushed, 60000, 0, 1000, 1.0, 1.0, false, true},
    {"a skip on an output whose clock stands still (item 8)", "the cut: nobody can name the frame heard",
     With([](TFacts &f) { f.Stop = HostStop::User; f.Skip = true; f.ClockStandsStill = true; f.Options.SkipFadeMs = 1000; }),
     Kind::CutAndRelease, Output::Flushed, 60000, 0, 0, 1.0, 1.0, false, true},
    {"a skip with the fade off", "silence, then the new track",
     With([](TFacts &f) { f.Stop = HostStop::User; f.Skip = true; }), Kind::CutAndRelease,
     Output::Flushed, 60000, 0, 0, 1.0, 1.0, false, true},
    {"the host moves on after our end-of-track message", "the prepared next track, faded into",
     With([](TFacts &f) { f.Stop = HostStop::EndOfTrack; }), Kind::KeepForPlay, Output::Continues,
     60000, 0, 0},
    {"stop after current, or the playlist's end (item 1)",
     "the track to its last sample; the prepared next entry let go at once",
     With([](TFacts &f) { f.Stop = HostStop::StopAfterCurrent; }), Kind::PlayOutAndStop,
     Output::StaysOpen, 60000, 0, 0, 1.0, 1.0, false, true},
    {"a host without IPC_ISFULLSTOP, right after our end-of-track message",
     "kept a moment for its Play: the crossfade as with any host",
     With([](TFacts &f) { f.Stop = HostStop::NoFullStopQuery; }), Kind::KeepForPlay,
     Output::Continues, 60000, 0, 0},
    {"the same with nothing prepared", "the user's stop",
     With([](TFacts &f) { f.Stop = HostStop::NoFullStopQuery; f.Next = {Entry::None}; }),
     Kind::CutAndRelease, Output::Flushed, 60000, 0, 0, 1.0, 1.0, false, true},
};

class TransitionDecision : public ::testing::TestWithParam<Row> {};

TEST_P(TransitionDecision, DecidesWhatTheListenerHears) {
    const Row &row = GetParam();
    const TTransition t = Decide(row.Facts);
    EXPECT_EQ(t.What, row.What) << row.Heard;
    EXPECT_EQ(t.Out, row.Out);
    EXPECT_EQ(t.EndMs, row.EndMs);
    EXPECT_EQ(t.FadeStartMs, row.FadeStartMs);
    EXPECT_EQ(t.FadeMs, row.FadeMs);
    EXPECT_EQ(t.InSpeed, row.InSpeed);
    EXPECT_EQ(t.OutSpeed, row.OutSpeed);
    EXPECT_EQ(t.TrimsLeading, row.TrimsLeading);
    EXPECT_EQ(t.LetsGoOfPrepared, row.LetsGoOfPrepared);
}

INSTANTIATE_TEST_SUITE_P(EveryKind, TransitionDecision, ::testing::ValuesIn(kRows));

} // namespace
