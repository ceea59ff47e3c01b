// The render tool's picture: the mixed output's waveform envelope with each track's span, every
// crossfade region shaded and the incoming and outgoing gain curves drawn over it. Pure.
#pragma once

#include "Canvas.h"
#include "Transitions.h"

#include <string>
#include <vector>

namespace demo {

struct PlotTrack {
    std::string Name;
    std::int64_t StartFrame = 0; // in the output's timeline
    std::int64_t Frames = 0;     // what the output received of it
};

struct PlotInput {
    std::string Title;
    std::string Subtitle;
    PcmFormat Format;
    std::int64_t TotalFrames = 0;
    std::vector<PlotTrack> Tracks;
    std::vector<Transition> Transitions;
    std::vector<double> PeakDbfs; // per transition
    Envelope Wave;                // one column per pixel of the plot area's width
    bool LogCurve = false;
};

// Where the waveform and the curves go in a picture of the given size.
struct PlotArea {
    int Left = 0, Top = 0, Width = 0, Height = 0;
};
PlotArea PlotAreaOf(int width, int height);

draw::Canvas DrawPlot(const PlotInput &input, int width, int height);

// "m:ss" of a time in seconds, or "m:ss.mmm" with milliseconds.
std::string FormatTime(double seconds, bool withMilliseconds = false);

} // namespace demo
