// How a track gives way to what comes after it, decided in one place from everything the choice
// depends on, stated as facts: the host's stop, the next entry, a skip, the settings, what the
// look-ahead found of the tracks' edges and what the output's clock does. The engine's threads
// gather the facts and carry the answer out. Pure: no windows.h, no thread, no plug-in.
#pragma once

#include "EndPlan.h"

#include <cstdint>
#include <optional>

namespace transition {

// What the host's Stop means, as IPC_ISFULLSTOP and the moment tell.
enum class HostStop : std::uint8_t {
    None,             // no Stop: the track runs on, or ran out
    User,             // answered 0 while a track plays: the user stops, or skips
    EndOfTrack,       // answered 1: the host moves on to its next entry
    StopAfterCurrent, // answered 2: the host ends here (stop after current, the playlist's end)
    NoFullStopQuery,  // answered 0 right after our end-of-track message, the next entry prepared:
                      // a host that cannot tell its own stops from the user's
};

// What the host's next playlist entry is to the engine.
enum class Entry : std::uint8_t {
    Unknown,    // not asked yet
    None,       // the playlist ends (its last entry with repeat off, manual advance)
    Engines,    // a file the engine plays and has opened
    HandedBack, // a stream, or a file the engine leaves to its own plug-in
    Unopenable, // the engine's, but its owner does not open it now
};

struct TNext {
    Entry Kind = Entry::Unknown;
    bool SameFormat = true;   // as the playing track's
    bool Convertible = false; // another format the outgoing track can be converted into
    std::int64_t LengthMs = 0;
    bool ContinuesAlbum = false; // the next track of the playing track's album
};

struct TOptions {
    int FadeMs = 5000;
    int MinFileSizeMs = 10000;
    int SkipFadeMs = 0; // 0: the fade on skip is off
    bool AcrossFormats = false;
    bool AlbumsThrough = false;
    bool SkipSilence = false;
    bool FollowOwnRamps = false;
};

struct TFacts {
    HostStop Stop = HostStop::None;
    // The user's Stop came while the track plays or plays out, and may be followed by a Play.
    bool Skip = false;
    // The output's clock stood still while a skip waited for it to turn.
    bool ClockStandsStill = false;
    std::int64_t LengthMs = 0;  // of the playing track
    std::int64_t WrittenMs = 0; // how much of it the output was given
    TNext Next;
    TOptions Options;
    // The look-ahead's answers, once it gave them.
    std::optional<TTrackEnd> End;
    std::optional<TTrackStart> NextStart;
};

enum class Kind : std::uint8_t {
    PlayOn,         // nothing to do yet: the next entry is to be known by FadeStartMs
    Crossfade,      // the track is handed over at FadeStartMs and fades out over FadeMs
    AlbumJoin,      // the next track writes straight on: sample-exact, nothing trimmed
    SoundToSound,   // no fade: the track ends at its sound, the next starts at its own
    Plain,          // no fade: the track plays to its end, the next from its start
    HandBack,       // the next entry goes to its own plug-in once this track has played out
    PlayOutAndKeep, // nothing follows: the track plays to its end, the output stays open
    PlayOutAndStop, // the host ends here: the track plays to its last sample, all else goes
    KeepForPlay,    // the host's own stop between tracks: what is prepared waits for its Play
    SkipFade,       // the user skips: what the listener hears fades out into the new track
    CutAndRelease,  // the user stops: the output is flushed and closed, everything let go
};

// What the output does as the track gives way.
enum class Output : std::uint8_t {
    Continues,  // the next track writes on after what it holds (same output and format)
    Reopens,    // it plays out, then opens in the next track's format
    Closes,     // it plays out and closes: another plug-in, or nobody, uses it next
    StaysOpen,  // it plays out and stays open for whatever comes
    Flushed,    // what it holds is thrown away now
};

struct TTransition {
    Kind What = Kind::PlayOn;
    Output Out = Output::Continues;
    // Where the outgoing track is read to: its sound's end where silence is skipped, else its
    // length. Where its fade starts (the hand-over), or by when the next entry is to be known.
    std::int64_t EndMs = 0;
    std::int64_t FadeStartMs = 0;
    std::int64_t FadeMs = 0;
    // The speeds of the tracks' gains over a track's own ramp (see TCrossfadeState::InSpeed).
    double InSpeed = 1.0;
    double OutSpeed = 1.0;
    // The next track reads past its leading silence.
    bool TrimsLeading = false;
    // What was prepared for the host's next Play (its decoder, the outgoing rest) is let go now.
    bool LetsGoOfPrepared = false;
    // Why, in a few words, for the reader of a report or a test.
    const char *Why = "";
};

TTransition Decide(const TFacts &facts);

} // namespace transition
