// Where the tracks of a render lie in the output and where they were crossfaded, worked out from
// what the output plug-in was asked (Open, Flush, Write, GetWrittenTime) and the lengths of the
// tracks: no knowledge of the plug-in's insides beyond the rules it publishes for a hand-over.
// Pure: no windows.h.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace demo {

struct PcmFormat {
    int Rate = 0;
    int Channels = 0;
    int Bits = 0;
    int FrameBytes() const { return Channels * (Bits / 8); }
    std::int64_t BytesPerSecond() const { return std::int64_t{Rate} * FrameBytes(); }
    friend bool operator==(const PcmFormat &, const PcmFormat &) = default;
};

enum class OutputCallKind { Open, Flush, Write, WrittenTime, Close };

// One call the output received, in order.
struct OutputCall {
    OutputCallKind Kind = OutputCallKind::Write;
    int Arg = 0;              // Flush: the time it moves to; Write: the bytes given
    unsigned long Thread = 0; // the caller's thread
    int Discarded = 0;        // Flush, Close: bytes thrown away unplayed (when the output says)
    PcmFormat Format{};       // Open: the format asked for (none: the render's own format)
};

// What the output received of one track. Every Write while the output is open counts as taken,
// which holds for an output that plays at once (the render tool checks it against the PCM).
struct Segment {
    std::int64_t StartFrame = 0; // in the output's timeline
    std::int64_t Frames = 0;
    // Frames written when the last block was read: the writing thread's last GetWrittenTime
    // before the block's writes (or the frames before the last write when it never asked).
    std::int64_t FramesBeforeLastBlock = 0;
    bool Reopened = false;    // began with Open rather than Flush(0)
    unsigned long Writer = 0; // the thread that wrote its samples
    // The output's format while it was written (unset: the render's own format), and the run of
    // one format it belongs to: a WAV file cannot change format, so each run is a file of its
    // own. StartFrame counts from the start of that run.
    PcmFormat Format{};
    int File = 0;
};

// Each Open and each Flush(0) starts a track; a Flush to another time is a seek within one.
// Starts that nothing was written after are dropped. An Open in a format other than the one
// before starts a new run (file), and the frames of its segments count in that format; calls
// that give no format keep the one before, at first `format`.
std::vector<Segment> SplitSegments(std::span<const OutputCall> calls, const PcmFormat &format);

// Whether the call opens the output in a format other than `current` (an Open that gives one).
bool StartsAnotherRun(const OutputCall &call, const PcmFormat &current);
// The segment's format, or the fallback where it has none.
const PcmFormat &FormatOf(const Segment &segment, const PcmFormat &fallback);

// The plug-in's length of a track: frames in milliseconds, halves rounded away from zero.
int TrackLengthMs(std::int64_t frames, int rate);
// The transition curves: x itself, -log10(0.9 (1 - x) + 0.1) for the logarithmic one, and
// sin(pi/2 x) for the equal-power one.
enum class Curve { Linear, Log, EqualPower };
double Gain(double x, Curve curve);
inline double Gain(double x, bool logCurve) {
    return Gain(x, logCurve ? Curve::Log : Curve::Linear);
}
// The curve's name as the report and the picture say it.
const char *CurveName(Curve curve);

// What the plug-in's options that follow the music make of a track, reckoned from its PCM with
// the plug-in's own pure rules (EdgePlan.h). Unset, the plain rules hold: the transition out of
// the track ends at its length, over the fade time, and nothing is read past.
struct TrackEdgePlan {
    std::int64_t EndMs = -1;  // where the transition out of it ends
    std::int64_t FadeMs = -1; // how long the fade before that end lasts
    bool OwnFadeOut = false;  // the fade lies over the track's own fade-out
    bool OwnFadeIn = false;   // the fade lasts the next track's own fade-in
    // The gains' speeds over the ramps (see the plug-in's TCrossfadeState::InSpeed).
    double InSpeed = 1.0;
    double OutSpeed = 1.0;
    // Leading silence the plug-in reads past where a crossfade brings the track in.
    std::int64_t LeadingSilenceFrames = 0;
    bool ContinuesAlbum = false; // the next entry is the next track of its album
    // Where silence is skipped: the threshold (dBFS) below which the track's own fade-out counts
    // as silence too soon to be one (it would be followed with the silence played); 0: not so.
    int OwnFadeOutCutAtDb = 0;
};

// Why a transition lies where it does.
enum class MixReason { SetTime, OwnFadeOut, OwnFadeIn, AlbumJoin };

// The boundary between track From and track From + 1, in the output's timeline.
struct Transition {
    int From = 0;
    std::int64_t StartFrame = 0; // the incoming track's first frame
    bool Reopened = false;       // the output was opened anew for the incoming track
    // A crossfade took place: the outgoing track's segment ended before its last frame, so its
    // decoder was handed over and its rest mixed into the incoming track.
    bool Crossfaded = false;
    // The outgoing track's segment ended before its last frame where no hand-over can have
    // been: its decoder gave out early (set by the render's analysis, not by FindTransitions).
    bool EndedEarly = false;
    // The outgoing track was handed over, but the output does not hold the mix its curve gives
    // (set by the render's analysis of the sound): the listener heard no crossfade.
    bool NotHeardMixed = false;
    // The user skipped from the outgoing track here; Crossfaded when the fade on skip took it.
    bool Skipped = false;
    // The incoming track came in another format than the outgoing one's: the output re-opened
    // in it, and a crossfade mixed the outgoing track's rest converted to it.
    bool AcrossFormats = false;
    // Frames below are the incoming track's (the output's format after the transition).
    double InSpeed = 1.0, OutSpeed = 1.0; // how much faster than the fade each gain moves
    int RemainingMs = 0;             // of the outgoing track when it was handed over
    double FadeSeconds = 0.0;        // the curve's duration: fade time or RemainingMs, the shorter
    double Step = 1.0;               // the weight's change per frame
    std::int64_t CurveFrames = 0;    // frames until the outgoing weight reached 0
    std::int64_t OutgoingFrames = 0; // what the outgoing decoder still held, at the incoming rate
    // The options that follow the music: why the transition lies here, where in the outgoing
    // track the fade started (its own ms), its trailing silence never played (ms), and the
    // leading silence read past of each track, at its own rate.
    MixReason Reason = MixReason::SetTime;
    // The reason the tracks' files give, where the output shows the plug-in acted on another
    // (ConfirmFades): Reason is then the one the output holds.
    MixReason FilesReason = MixReason::SetTime;
    // The output holds the plain transition (the set time before the file's end), not the one
    // the files' plan of the options that follow the music gives: the plug-in's look-ahead had
    // no answer in time.
    bool PlanMissed = false;
    int FadeStartMs = 0;
    int TrailingTrimmedMs = 0;
    std::int64_t OutgoingSkipped = 0;
    std::int64_t IncomingSkipped = 0;
    // Frames of the incoming track with outgoing sound in them.
    std::int64_t MixedFrames() const {
        return CurveFrames < OutgoingFrames ? CurveFrames : OutgoingFrames;
    }
    // The weight of the outgoing track after frame k (counted from 1) of the incoming track.
    double Position(std::int64_t k) const;
    // The two gains at frame k of the incoming track (0 before it); after the mixed frames the
    // incoming track plays at full level.
    double IncomingGain(std::int64_t k, Curve curve) const;
    double OutgoingGain(std::int64_t k, Curve curve) const;
    double IncomingGain(std::int64_t k, bool logCurve) const {
        return IncomingGain(k, logCurve ? Curve::Log : Curve::Linear);
    }
    double OutgoingGain(std::int64_t k, bool logCurve) const {
        return OutgoingGain(k, logCurve ? Curve::Log : Curve::Linear);
    }
};

// Frames until the outgoing weight, moved down by step each frame as the mixer does, reaches 0.
std::int64_t CurveFramesFor(double step);

// Segment i belongs to track i; trackFrames are the tracks' lengths as their files give them,
// each in its own track's format (the format its segment was written in). `format` stands in
// for a segment's format where it has none. plans, one per track where given, are the options
// that follow the music: a crossfade then ends where the outgoing track's plan says, and the
// track it brings in starts after its leading silence.
std::vector<Transition> FindTransitions(std::span<const Segment> segments,
                                        std::span<const std::int64_t> trackFrames,
                                        const PcmFormat &format, int fadeTimeMs,
                                        std::span<const TrackEdgePlan> plans = {});

// One sample as a fraction of full scale (-1 ... just below 1): 8 bits unsigned, 16/24/32 bits
// signed little-endian.
double SampleUnit(const std::uint8_t *sample, int bits);
// 20 log10 of a fraction of full scale; silence gives -inf.
double ToDbfs(double unit);

// The largest magnitude of the frames [first, first + count) of a stream fed in pieces.
class PeakMeter {
  public:
    PeakMeter(const PcmFormat &format, std::int64_t first, std::int64_t count)
        : format_(format), first_(first), end_(first + count) {}
    // The next frames of the stream, starting at frame `at`.
    void Feed(std::int64_t at, std::span<const std::uint8_t> frames);
    double Peak() const { return peak_; }

  private:
    PcmFormat format_;
    std::int64_t first_, end_;
    double peak_ = 0.0;
};

// Per pixel column of a picture: the lowest and highest sample and the RMS of the frames that
// fall into it, over all channels, as fractions of full scale.
struct Envelope {
    std::vector<float> Min, Max, Rms;
};

class EnvelopeBuilder {
  public:
    EnvelopeBuilder(const PcmFormat &format, std::int64_t totalFrames, int columns);
    void Feed(std::int64_t at, std::span<const std::uint8_t> frames);
    // Frames of another format, laid on the builder's timeline: frame i of them falls at
    // at + i * scale frames of the builder's format (scale: the builder's rate over theirs).
    void FeedScaled(const PcmFormat &format, double at, double scale,
                    std::span<const std::uint8_t> frames);
    Envelope Take();

  private:
    PcmFormat format_;
    std::int64_t totalFrames_;
    int columns_;
    Envelope envelope_;
    std::vector<double> squares_;
    std::vector<std::int64_t> counts_;
};

} // namespace demo
