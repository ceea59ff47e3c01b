// The render tool's picture: each track's span, the mixed output's waveform envelope on its own
// level scale, and below it the incoming and outgoing gain curves on a 0-1 scale, every
// crossfade region shaded through both. Labels that would run into each other are staggered or
// shortened, or left out; track names that do not fit their bar are listed under the picture.
// Pure.
#pragma once

#include "Canvas.h"
#include "Transitions.h"

#include <span>
#include <string>
#include <vector>

namespace demo {

struct PlotTrack {
    std::string Name;
    std::int64_t StartFrame = 0; // in the output's timeline
    std::int64_t Frames = 0;     // what the output received of it
    std::string Note{};          // shown after the name when its bar has room (its format)
};

struct PlotInput {
    std::string Title;
    std::string Subtitle;
    PcmFormat Format;
    // The timeline's frames drawn, from where it starts in the output: all of it, or the seconds
    // around one join (frames before 0 or from TotalFrames on lie outside the picture).
    std::int64_t TotalFrames = 0;
    double StartSeconds = 0.0;
    std::vector<PlotTrack> Tracks;
    std::vector<Transition> Transitions;
    std::vector<double> PeakDbfs; // per transition
    // Per transition, where it lies in seconds when the timeline's frames only come near it (runs
    // of other rates laid on it); empty: from its frame.
    std::vector<double> TransitionSeconds;
    Envelope Wave; // PlotColumns(width) columns
    Curve FadeCurve = Curve::Linear;
    // The options that follow the music: the silence of the tracks' files that was not played,
    // laid where it would have been (the incoming track's before its start, the outgoing track's
    // after its mix), and each transition's reason named in its label.
    struct Span {
        std::int64_t StartFrame = 0;
        std::int64_t Frames = 0;
    };
    std::vector<Span> NotPlayed;
    bool ShowReasons = false;
};

// Columns of the waveform in a picture of the given width: one per pixel.
int PlotColumns(int width);
// The picture's height: fixed, plus the list of track names when some do not fit their bars.
int PictureHeight(const PlotInput &input, int width);
draw::Canvas DrawPlot(const PlotInput &input, int width);

// A label that wants to start at Left, in one of several forms (widths in pixels, the preferred
// first). Labels are placed from left to right, each in the first row where it clears the
// labels already there by gap pixels, in the first form that also ends before the label that
// comes `rows` places later (the next to want the same row); failing that in its last form
// wherever a row has room, else it is left out.
struct LabelSpan {
    int Left = 0;
    std::vector<int> Widths;
};
struct LabelPlace {
    int Row = -1;    // -1: left out
    int Choice = -1; // index into Widths
};
std::vector<LabelPlace> PlaceLabels(std::span<const LabelSpan> labels, int rows, int gap);

// "m:ss" of a time in seconds, or "m:ss.mmm" with milliseconds.
std::string FormatTime(double seconds, bool withMilliseconds = false);

} // namespace demo
