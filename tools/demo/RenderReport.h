// What the render tool works out after a render: the tracks' places in the output, the
// transitions with their peak levels (read back from the written WAV), the printed report and
// the picture. Pure: no windows.h.
#pragma once

#include "Plot.h"
#include "RenderOptions.h"
#include "Transitions.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace demo {

struct TrackFile {
    std::string Name;        // as shown: the file's name
    std::int64_t Frames = 0; // as its WAV file gives them
};

struct RenderResult {
    PcmFormat Format;
    std::vector<TrackFile> Tracks;
    std::vector<Segment> Segments;
    std::vector<Transition> Transitions;
    std::vector<double> PeakDbfs; // per transition, over its mixed frames
    std::int64_t OutputFrames = 0;
};

// Segments and transitions from the output's calls.
RenderResult Analyse(const std::vector<OutputCall> &calls, const PcmFormat &format,
                     std::vector<TrackFile> tracks, const RenderOptions &options);

// Reads the samples of a canonical WAV file (44-byte header) once: the peak of every crossfade
// into result.PeakDbfs and, when columns > 0, the envelope for the picture.
Envelope MeasureOutput(const std::filesystem::path &wavFile, RenderResult &result, int columns);

// The report printed after a render.
std::string FormatReport(const RenderResult &result, const RenderOptions &options);
// Why a transition was not a crossfade, as far as the settings and the lengths tell.
std::string NoCrossfadeReason(const RenderResult &result, const Transition &t,
                              const RenderOptions &options);

// The picture's input, the envelope measured for PlotAreaOf(width, height).Width columns.
PlotInput MakePlotInput(const RenderResult &result, const RenderOptions &options, Envelope wave);

std::string FormatDescription(const PcmFormat &format);

} // namespace demo
