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
#include <string>
#include <vector>

namespace demo {

struct TrackFile {
    std::string Name;        // as shown: the file's name, UTF-8
    std::int64_t Frames = 0; // as its WAV file gives them
    // The file's path has characters the ANSI code page cannot hold.
    bool NameOutsideAnsi = false;
};

// What the middle of a crossfade sounds like and how often its sum was held at full scale.
struct FadeMeasure {
    // Samples whose mix lay beyond the format's limits (and so were held there), recomputed from
    // the two tracks with the curve.
    std::int64_t Saturated = 0;
    // The output's RMS over 50 ms at the middle of the curve against the mean power of the two
    // tracks' own sound there, in dB; not finite when the fade is shorter than that.
    double MiddleDb = std::numeric_limits<double>::quiet_NaN();
};

// Frames [first, first + count) of a track's own PCM as its file holds them (fewer at its end).
using TrackReader =
    std::function<std::vector<std::uint8_t>(int track, std::int64_t first, std::int64_t count)>;

struct RenderResult {
    PcmFormat Format;
    std::vector<TrackFile> Tracks;
    std::vector<Segment> Segments;
    std::vector<Transition> Transitions;
    std::vector<double> PeakDbfs;   // per transition, over its mixed frames
    std::vector<FadeMeasure> Fades; // per transition
    std::int64_t OutputFrames = 0;
    // The plug-in's own playback thread: samples from any other thread were written by a
    // file's own plug-in, which the plug-in left the file to. 0: not known, all are its own.
    unsigned long PlaybackThread = 0;
    int AnsiCodePage = 0;
    std::string FilePlugin = "in_wavpcm.dll"; // the plug-in that owns the tracks
};

// Segments and transitions from the output's calls. A segment that ended before its file's
// end counts as handed over only where the plug-in's rules allow a hand-over; elsewhere its
// decoder ended early.
RenderResult Analyse(const std::vector<OutputCall> &calls, const PcmFormat &format,
                     std::vector<TrackFile> tracks, const RenderOptions &options,
                     unsigned long playbackThread = 0, int ansiCodePage = 0,
                     const std::vector<int> &skippedFrom = {});

// Reads the samples of a canonical WAV file (44-byte header) once: the peak of every crossfade
// into result.PeakDbfs and, when columns > 0, the envelope for the picture.
Envelope MeasureOutput(const std::filesystem::path &wavFile, RenderResult &result, int columns);

// Measures every crossfade of the output WAV (canonical header) against the tracks' own sound
// into result.Fades. The outgoing track is taken to have played from its start without a seek.
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
// Remarks under the transitions: a fade longer than a track, a track the plug-in left to the
// file's own plug-in and why.
std::vector<std::string> ReportNotes(const RenderResult &result, const RenderOptions &options);

// The picture's input, the envelope measured for PlotColumns(width) columns.
PlotInput MakePlotInput(const RenderResult &result, const RenderOptions &options, Envelope wave);

std::string FormatDescription(const PcmFormat &format);

} // namespace demo
