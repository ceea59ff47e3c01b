// What the transition audit reports for one kind of transition: from the output's record of calls
// and the sound it kept (what a listener heard), the tracks' positions and gains found in it
// (TransitionTracker) and what the transitions should have done, the largest sample step near
// the joins against the tracks' own, the milliseconds heard twice, of silence and of sound lost,
// and the gain error against the fade curve. Pure: no windows.h, built and tested natively too.
#pragma once

#include "TransitionSignal.h"
#include "TransitionTracker.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace audit {

// One call the output plug-in recorded.
struct OutputCall {
    std::string Name;      // "Open", "Write", "Flush", "Close"; others carry only the totals
    std::vector<int> Args; // Open: rate, channels, bits; Write: bytes; Flush: ms[, bytes
                           // dropped]; Close: [bytes dropped]
    int Answer = 0;
    double AtMs = 0.0;       // real time
    double UnderrunMs = 0.0; // the output's running total of silence, real time, after the call
    double Speed = 1.0;      // how many times real time the output played at the call
};

// What a listener heard, on the listener's clock: runs of sound, silences between them. `pcm` is
// what the output kept of every write (written minus what Flush and Close threw away unplayed).
// A silence shorter than kInaudibleGapMs (the output's own accounting between a Flush and the
// write right after it) is no gap.
constexpr double kInaudibleGapMs = 0.5;
std::vector<HeardRun> HeardTimeline(std::span<const OutputCall> calls,
                                    std::span<const std::uint8_t> pcm);
// The listener's time at the moment `pcmMs` of the heard PCM had been played.
double ListenerTime(std::span<const HeardRun> runs, double pcmMs);
// A device that stopped playing (its clock standing still) once `pcmSeconds` of the heard PCM
// had been played, for `seconds`: the run is cut there (after the frame begun) and all that
// follows is heard later.
void InsertSilence(std::vector<HeardRun> &runs, double pcmSeconds, double seconds);
// Where the heard PCM stood at the listener's time (in a silence: where the sound after it
// begins).
double PcmSecondsAt(std::span<const HeardRun> runs, double listenerSeconds);
// When the output was given the heard PCM's second `pcmSeconds`: the AtMs of the Write that
// brought it (what Flush and Close threw away unplayed is no longer heard); -1 past the end.
double WrittenAtMs(std::span<const OutputCall> calls, double pcmSeconds);

enum class Curve { Linear, Logarithmic, EqualPower };
// The gain of the track whose weight position is x (0..1): x, -log10(0.9 (1 - x) + 0.1) and
// sin(pi/2 x), as the README gives them; and the weight position of a gain.
double CurveGain(double x, Curve curve);
double CurveInverse(double gain, Curve curve);

enum class TransitionKind {
    Start,     // the first track, from silence, at full gain
    Crossfade, // the natural end of the current track fades into `Into`
    Gapless,   // `Into` follows the current track's end with no fade
    SkipFade,  // the user skipped to `Into`: what sounds fades out, `Into` fades in
    AfterStop, // the user stopped, then played `Into`: silence between, no fade
    AfterEnd,  // the track before is heard to its last sample; after a silence (the host stopped,
               // or the entry's own plug-in took the output) `Into` from its start, no fade
    Seek,      // the user moved track `Into` to `SeekTarget`
};

struct Transition {
    TransitionKind Kind = TransitionKind::Start;
    int Into = 0;
    double FadeSeconds = 0.0;   // Crossfade: the crossfade time; SkipFade: the skip fade time
    double SeekTarget = 0.0;    // Seek: in the track's seconds
    double EventTime = -1.0;    // listener time of the user's action, if any
};

struct Scenario {
    std::vector<ToneTrack> Tracks; // in playlist order; each in its own slot
    Curve Shape = Curve::Linear;
    std::vector<Transition> Transitions; // in order, the first a Start
    std::vector<double> Events;          // listener times of other user actions (pause, ...)
};

// The tolerances of a clean row: steps within the tracks' own (plus two of the output's least
// steps), each duration below kCleanMs, the gain within kCleanGain of the curve.
constexpr double kCleanMs = 1.0;
constexpr double kCleanGain = 0.02;
// Heard or intended counts from this gain on (-40 dB); a stretch quieter than kSilentRms
// (-60 dBFS, RMS over half a millisecond) where a track should sound is silence.
constexpr double kHeardGain = 0.01;
constexpr double kSilentRms = 1e-3;
constexpr double kJoinSeconds = 0.05;
// The engine's de-click at an output re-opened in another format: the old output's last
// millisecond falls to silence, the new one's first rises from it.
constexpr double kDeclickSeconds = 0.001;

struct Measures {
    double Step = 0.0; // the worst step near a join, against
    double Own = 0.0;  // what the tracks make there themselves at the gains heard
    double StepRatio = 0.0; // Step over Own with the tolerance: above 1 is a click
    double TwiceMs = 0.0;
    double SilenceMs = 0.0;
    double LostMs = 0.0;
    double GainError = 0.0;
    double UnexplainedMs = 0.0;
    bool Complete = true; // every transition was heard
    std::vector<double> Starts; // the listener's time each transition was heard
    std::vector<std::string> Notes;
    bool StepClean() const;
    bool Clean() const;
};

Measures Measure(const Scenario &scenario, std::span<const HeardRun> runs, const Tracking &tracking);

} // namespace audit
