// How the engine plans a transition from what it learnt of the tracks' edges: which part of a
// track its look-ahead reads, what that tells of the track's end, and where the crossfade then
// starts and how long it lasts; how much leading silence it reads past. Shared with the render
// tool, which reckons the same transitions from the files. Pure: no windows.h.
#pragma once

#include "TrackEdges.h"

#include <cstdint>
#include <functional>
#include <optional>

// The options that follow the music, as far as a track's edges go.
struct TLookAheadWishes {
    bool SkipSilence = false;
    int SilenceThresholdDb = -50;
    bool FollowOwnFadeOut = false;
    int OwnFadeOutDropDb = 12;
    bool Any() const { return SkipSilence || FollowOwnFadeOut; }
};

// Where a track's end lies, in ms of the track.
struct TTrackEnd {
    int SoundEndMs = 0;            // after its last sound, trailing silence left out
    std::optional<int> FadeFromMs; // where its own fade-out starts, when it has one
};

// Where a track's sound starts and how long its own fade-in lasts from there, in ms.
struct TTrackStart {
    int SoundStartMs = 0;
    std::optional<int> RampMs;
};

namespace endplan {

// The longest trailing silence, own fade-out and body before it the look-ahead reads, besides
// the crossfade time.
constexpr int kScanMs = 25000;
// Trailing silence shorter than this is a pause of the music, not its end.
constexpr int kMinTrailingSilenceMs = 200;
// Without the silence option an own fade-out still ends where nothing is heard any more.
constexpr int kInaudibleDb = -90;
// At most this much of a track's leading silence is read past; a longer one plays as it is.
constexpr int kMaxLeadingSilenceMs = 10000;
// Leading silence shorter than this is part of the music: it is never read past.
constexpr int kMinLeadingSilenceMs = kMinTrailingSilenceMs;
// Whether a leading silence of this many frames is read past: at least the shortest, at most the
// longest.
bool SkipsLead(std::int64_t silenceFrames, int rate);
// What the look-ahead reads of the next entry's start for a fade-in of its own.
constexpr int kStartScanMs = 12000;

// The ms of the track the look-ahead reads from (to its end).
int ScanFromMs(int lengthMs, int fadeTimeMs);
// The seconds a scanner must keep for that.
double ScanSeconds(int lengthMs, int fadeTimeMs);
// What a scanner fed the track from ScanFromMs to its end tells: none where the part read was
// silent throughout (the track then plays as it is).
std::optional<TTrackEnd> TrackEndFrom(const TTrackEndScanner &scanner, const TLookAheadWishes &wishes,
                                      int rate);

// Feeds the scanner the track from fromMs (the scanner reset to that frame) up to untilFrame:
// false when it could not (a decoder that cannot seek there, a read error, a cancelled read).
using TFeedRange = std::function<bool(int fromMs, std::int64_t untilFrame, TTrackEndScanner &)>;
// Where a track's sound ends and where it fades out by itself: the part from ScanFromMs to its
// end first; a trailing silence longer than that is followed back, window by window, as far as
// it goes. None where it could not be read or the track is silent throughout. Sound to the
// file's end (no trailing silence worth the name) ends at the track's length.
std::optional<TTrackEnd> FollowTrackEnd(int lengthMs, int rate, int bits, int channels,
                                        int fadeTimeMs, const TLookAheadWishes &wishes,
                                        const TFeedRange &feed);

// What a scanner fed a track's start (from frame 0) tells, its first sound at soundStartFrame:
// none where nothing sounded.
std::optional<TTrackStart> TrackStartFrom(const TTrackEndScanner &scanner,
                                          std::int64_t soundStartFrame, const TLookAheadWishes &wishes,
                                          int rate);

// Where the transition out of a track ends and how long its fade is: the end found, where it
// was, else the track's length. The fade lasts the longer of the tracks' own ramps (the outgoing
// one's fade-out up to its end, the incoming one's fade-in), at most the crossfade time; the
// crossfade time where neither has one.
struct TPlannedEnd {
    std::int64_t EndMs = 0;
    std::int64_t FadeMs = 0;
    // Which track's own ramp the fade lies over. That track is faded by its ramp; the other one
    // is in by the fade's middle (over a fade-out) or holds until then (over a fade-in), so that
    // the middle of the fade sounds as loud as the music around it.
    bool OverFadeOut = false;
    bool OverFadeIn = false;
};
// The speeds of the tracks' gains (see TCrossfadeState::InSpeed) over those ramps.
constexpr double kRampSpeed = 2.0;
TPlannedEnd PlanEnd(std::int64_t lengthMs, std::int64_t fadeTimeMs,
                    const std::optional<TTrackEnd> &end, const std::optional<TTrackStart> &next = {});

} // namespace endplan
