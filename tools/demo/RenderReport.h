// What the render tool works out after a render: the tracks' places in the output, the
// transitions with their peak levels (read back from the written WAV), why a transition was
// not a crossfade, the printed report and the picture. Pure: no windows.h.
#pragma once

#include "Plot.h"
#include "RenderOptions.h"
#include "Transitions.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <vector>

namespace demo {

struct TrackFile {
    std::string Name;        // as shown: the file's name, UTF-8
    std::int64_t Frames = 0; // as its WAV file gives them
    // The file's path has characters the ANSI code page cannot hold.
    bool NameOutsideAnsi = false;
    PcmFormat Format{}; // unset: the render's format
    TrackEdgePlan Edges{}; // unset: the options that follow the music are off
    // The plug-in of the user's folder (--plugins) that plays it; empty: the render's own WAV
    // plug-in (RenderResult::FilePlugin).
    std::string Plugin{};
};

// What became of a --skip-at time: Next pressed, pressed during the last track (which has no
// next one: nothing happened), or never reached because the output ended first.
enum class SkipOutcome { Pressed, InLastTrack, NotReached };

// A run of the output in one format, written to a file of its own.
struct OutputRun {
    PcmFormat Format;
    std::int64_t Frames = 0;
    double StartSeconds = 0.0; // where it begins, the runs played one after the other
};

// What the middle of a crossfade sounds like and how often its sum was held at full scale.
struct FadeMeasure {
    // Samples whose mix lay beyond the format's limits (and so were held there), recomputed from
    // the two tracks with the curve.
    std::int64_t Saturated = 0;
    // The output's RMS over 50 ms at the middle of the curve against the mean power of the two
    // tracks' own sound there, in dB; not finite when the fade is shorter than that. Over a
    // track's own ramp the other track is at full level by the middle (see TrackEdgePlan::InSpeed)
    // and the figure is against that track's own sound alone; over both tracks' ramps against
    // the two together: 0 dB is as loud as the music.
    double MiddleDb = std::numeric_limits<double>::quiet_NaN();
    enum class Against { BothTracks, Incoming, Outgoing, BothTogether };
    Against MiddleAgainst = Against::BothTracks;
};

// Frames [first, first + count) of a track's own PCM as its file holds them (fewer at its end).
using TrackReader =
    std::function<std::vector<std::uint8_t>(int track, std::int64_t first, std::int64_t count)>;

struct RenderResult {
    PcmFormat Format; // the first track's; each track and run has its own below
    std::vector<TrackFile> Tracks;
    std::vector<Segment> Segments;
    std::vector<Transition> Transitions;
    // Per transition, the plain one the plug-in makes where its look-ahead has no answer (the
    // set time before the file's end): what the output may hold instead of the files' plan.
    std::vector<Transition> PlainTransitions;
    std::vector<double> PeakDbfs;   // per transition, over its mixed frames
    std::vector<FadeMeasure> Fades; // per transition
    std::vector<OutputRun> Runs;    // segment.File indexes them
    std::int64_t OutputFrames = 0;  // of a render in one format (a single run)
    // The plug-in's own playback thread: samples from any other thread were written by a
    // file's own plug-in, which the plug-in left the file to. 0: not known, all are its own.
    unsigned long PlaybackThread = 0;
    int AnsiCodePage = 0;
    std::vector<SkipOutcome> Skips;           // one per --skip-at time, in order
    std::string FilePlugin = "in_wavpcm.dll"; // the plug-in that owns the tracks
};

// A track's format, a segment's and the output's runs (a single run in the result's format
// where the result has none).
const PcmFormat &TrackFormat(const RenderResult &result, int track);
const PcmFormat &SegmentFormat(const RenderResult &result, int segment);
std::vector<OutputRun> RunsOf(const RenderResult &result);
// Whether the tracks come in more than one format.
bool MixedFormats(const RenderResult &result);
// Seconds from the output's start, its runs one after the other: of frame `frame` of run `run`,
// and of the whole output.
double OutputSeconds(const RenderResult &result, int run, std::int64_t frame);
double OutputSeconds(const RenderResult &result);

// Segments and transitions from the output's calls. A segment that ended before its file's
// end counts as handed over only where the plug-in's rules allow a hand-over; elsewhere its
// decoder ended early.
RenderResult Analyse(const std::vector<OutputCall> &calls, const PcmFormat &format,
                     std::vector<TrackFile> tracks, const RenderOptions &options,
                     unsigned long playbackThread = 0, int ansiCodePage = 0,
                     const std::vector<int> &skippedFrom = {});

// A transition counts as a crossfade only where the sound shows both tracks mixed. A skip into a
// track of another format re-opens the output whether or not the skipped track went on fading,
// converted: where the incoming track's first tenth of a second is in the output exactly as its
// file has it, it did not, and the skip becomes a plain one. A hand-over within one format is
// checked against the mix its curve gives over the whole fade: where the output does not hold
// both tracks at about the curve's gains, as far as their sound tells, the fade was cut, and the
// transition is reported so.
void ConfirmFades(std::span<const std::filesystem::path> runFiles, RenderResult &result,
                  const RenderOptions &options, const TrackReader &readTrack);

// The part of the output a picture shows, in seconds of the output (its runs one after the
// other): all of it where Seconds is 0.
struct PictureSpan {
    double FromSeconds = 0.0;
    double Seconds = 0.0;
};
// Around a join, the picture shows this much before it and after its mix.
inline constexpr double kJoinPictureMarginSeconds = 3.0;
// What --png-join asks for: the seconds around that join, within the output; else all of it.
PictureSpan PictureSpanOf(const RenderResult &result, const RenderOptions &options);

// Reads the samples of the output's canonical WAV files (44-byte header), one per run, once:
// the peak of every crossfade into result.PeakDbfs and, when columns > 0, the envelope of the
// span for the picture, the runs one after the other.
Envelope MeasureOutput(std::span<const std::filesystem::path> runFiles, RenderResult &result,
                       int columns, const PictureSpan &span = {});
Envelope MeasureOutput(const std::filesystem::path &wavFile, RenderResult &result, int columns);

// Measures every crossfade of the output's WAV files (canonical header, one per run) against
// the tracks' own sound into result.Fades. The outgoing track is taken to have played from its
// start without a seek. Across formats only the loudness is measured: the samples held at full
// scale would need the plug-in's conversion of the outgoing track.
void MeasureFades(std::span<const std::filesystem::path> runFiles, RenderResult &result,
                  const RenderOptions &options, const TrackReader &readTrack);
void MeasureFades(const std::filesystem::path &wavFile, RenderResult &result,
                  const RenderOptions &options, const TrackReader &readTrack);
// The window of the loudness figure.
inline constexpr int kLoudnessWindowMs = 50;

// The report printed after a render.
std::string FormatReport(const RenderResult &result, const RenderOptions &options);
// Why a transition was not a crossfade: every cause the output, the settings and the files
// show, each with what to change.
std::vector<std::string> NoCrossfadeReasons(const RenderResult &result, const Transition &t,
                                            const RenderOptions &options);
// Where a transition's mix lies and why, and the silence it trimmed, for the options that
// follow the music: "fade started at 0:27.350 of track 3, for its own fade-out; silence
// trimmed: ..." or, for an album join, that it had no crossfade.
std::string MixPointLine(const RenderResult &result, const Transition &t);
// Remarks under the transitions: a fade longer than a track, a track the plug-in left to the
// file's own plug-in and why, a --skip-at time that did not skip and why.
std::vector<std::string> ReportNotes(const RenderResult &result, const RenderOptions &options);

// The picture's input, the envelope measured for PlotColumns(width) columns over the span
// PictureSpanOf gives.
PlotInput MakePlotInput(const RenderResult &result, const RenderOptions &options, Envelope wave);

std::string FormatDescription(const PcmFormat &format);
// "44.1 kHz 16-bit stereo": the format as the picture labels a track.
std::string ShortFormat(const PcmFormat &format);
// The rate of the picture's timeline, on which runs of several rates lie: the highest of them.
int TimelineRate(const RenderResult &result);

} // namespace demo
