#include "Plot.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace demo {

namespace {

using draw::Canvas;
using draw::Color;

constexpr Color kBackground{0x14, 0x16, 0x1B};
constexpr Color kPlotBackground{0x1B, 0x1E, 0x25};
constexpr Color kGrid{0x2C, 0x31, 0x3C};
constexpr Color kText{0xD8, 0xDC, 0xE4};
constexpr Color kDimText{0x8A, 0x91, 0x9E};
constexpr Color kFade{0xFF, 0xC8, 0x57};
constexpr Color kIncoming{0x6E, 0xE7, 0x7A};
constexpr Color kOutgoing{0xFF, 0x6B, 0x6B};
constexpr std::array<Color, 6> kTrackColors = {{{0x4C, 0x9A, 0xD6},
                                                {0xB0, 0x7C, 0xE0},
                                                {0x3F, 0xB8, 0xA0},
                                                {0xD9, 0x8A, 0x52},
                                                {0xD6, 0x6A, 0x9A},
                                                {0x9A, 0xB8, 0x4A}}};

constexpr int kMarginLeft = 56;
constexpr int kMarginRight = 24;
constexpr int kBandTop = 66;
constexpr int kBandHeight = 22;
constexpr int kPlotTop = kBandTop + kBandHeight + 10;
constexpr int kBelowPlot = 78; // the time axis and the legend

Color TrackColor(std::size_t index) {
    return kTrackColors[index % kTrackColors.size()];
}

Color Lighter(Color c, double amount) {
    const auto up = [amount](std::uint8_t v) {
        return static_cast<std::uint8_t>(std::lround(v + (255 - v) * amount));
    };
    return {up(c.R), up(c.G), up(c.B)};
}

// Maps frames of the output to x pixels of the plot area.
struct TimeAxis {
    PlotArea Area;
    std::int64_t Frames;
    double X(std::int64_t frame) const {
        return Area.Left + static_cast<double>(frame) * Area.Width / static_cast<double>(Frames);
    }
};

// The text cut with ".." at the end to fit a width.
std::string Fit(std::string text, int width, int scale) {
    if (Canvas::TextWidth(text, scale) <= width)
        return text;
    while (!text.empty() && Canvas::TextWidth(text + "..", scale) > width)
        text.pop_back();
    return text.empty() ? std::string() : text + "..";
}

Color Mix(Color a, Color b, double t) {
    const auto m = [t](std::uint8_t x, std::uint8_t y) {
        return static_cast<std::uint8_t>(std::lround(x + (y - x) * t));
    };
    return {m(a.R, b.R), m(a.G, b.G), m(a.B, b.B)};
}

std::size_t TrackAt(const PlotInput &input, std::int64_t frame) {
    std::size_t found = 0;
    for (std::size_t i = 0; i < input.Tracks.size(); ++i)
        if (input.Tracks[i].StartFrame <= frame)
            found = i;
    return found;
}

// The track's colour; inside a crossfade the two tracks' colours mixed by the incoming gain.
Color WaveColor(const PlotInput &input, std::int64_t frame) {
    const std::size_t track = TrackAt(input, frame);
    for (const Transition &t : input.Transitions) {
        const std::int64_t k = frame - t.StartFrame + 1;
        if (t.Crossfaded && k >= 1 && k <= t.MixedFrames())
            return Mix(TrackColor(static_cast<std::size_t>(t.From)), TrackColor(track),
                       t.IncomingGain(k, input.LogCurve));
    }
    return TrackColor(track);
}

void DrawHeader(Canvas &canvas, const PlotInput &input) {
    canvas.Text(kMarginLeft, 14, input.Title, kText, 2);
    canvas.Text(kMarginLeft, 40, input.Subtitle, kDimText, 2);
}

// One bar per track over what the output received of it; the outgoing track's sound that was
// mixed into the next one continues as a thin bar under it.
void DrawTrackBand(Canvas &canvas, const PlotInput &input, const TimeAxis &axis) {
    for (std::size_t i = 0; i < input.Tracks.size(); ++i) {
        const PlotTrack &track = input.Tracks[i];
        const int x0 = static_cast<int>(std::lround(axis.X(track.StartFrame)));
        const int x1 = static_cast<int>(std::lround(axis.X(track.StartFrame + track.Frames)));
        canvas.FillRect(x0, kBandTop, std::max(x1 - x0 - 1, 1), kBandHeight, TrackColor(i), 0.85);
        const std::string label = Fit(std::to_string(i + 1) + " " + track.Name, x1 - x0 - 10, 1);
        canvas.Text(x0 + 5, kBandTop + 7, label, kBackground, 1);
    }
    for (const Transition &t : input.Transitions) {
        if (!t.Crossfaded)
            continue;
        const int x0 = static_cast<int>(std::lround(axis.X(t.StartFrame)));
        const int x1 = static_cast<int>(std::lround(axis.X(t.StartFrame + t.MixedFrames())));
        canvas.FillRect(x0, kBandTop + kBandHeight - 5, std::max(x1 - x0, 1), 5,
                        TrackColor(static_cast<std::size_t>(t.From)), 1.0);
    }
}

void DrawGrid(Canvas &canvas, const PlotArea &area) {
    canvas.FillRect(area.Left, area.Top, area.Width, area.Height, kPlotBackground);
    for (int quarter = 0; quarter <= 4; ++quarter) {
        const int y = area.Top + area.Height - 1 - quarter * (area.Height - 1) / 4;
        canvas.FillRect(area.Left, y, area.Width, 1, kGrid);
    }
    // Gain labels for the curves: 0 at the bottom, 1 at the top.
    canvas.Text(area.Left - 14, area.Top - 3, "1", kDimText, 1);
    canvas.Text(area.Left - 20, area.Top + area.Height / 2 - 4, ".5", kDimText, 1);
    canvas.Text(area.Left - 14, area.Top + area.Height - 7, "0", kDimText, 1);
    canvas.Text(area.Left - 50, area.Top - 3, "gain", kDimText, 1);
}

void DrawWave(Canvas &canvas, const PlotInput &input, const TimeAxis &axis) {
    const PlotArea &area = axis.Area;
    const double middle = area.Top + area.Height / 2.0;
    const double half = area.Height / 2.0 - 2;
    const auto columns = static_cast<int>(std::min<std::size_t>(input.Wave.Max.size(), area.Width));
    for (int c = 0; c < columns; ++c) {
        const auto frame = static_cast<std::int64_t>((c + 0.5) * input.TotalFrames / area.Width);
        const Color color = WaveColor(input, frame);
        const auto y = [&](double v) { return static_cast<int>(std::lround(middle - v * half)); };
        const int top = y(input.Wave.Max[c]), bottom = y(input.Wave.Min[c]);
        canvas.FillRect(area.Left + c, top, 1, bottom - top + 1, color, 0.45);
        const double rms = input.Wave.Rms[c];
        canvas.FillRect(area.Left + c, y(rms), 1, y(-rms) - y(rms) + 1, Lighter(color, 0.25), 0.9);
    }
}

// "1 > 2 at 0:11.030" at the bottom of the plot, cut to the room there is.
void DrawTransitionLabel(Canvas &canvas, const PlotInput &input, const PlotArea &area,
                         const Transition &t, int x, int room, const std::string &suffix = "") {
    const double seconds = static_cast<double>(t.StartFrame) / std::max(input.Format.Rate, 1);
    const std::string label = Fit(std::to_string(t.From + 1) + " > " + std::to_string(t.From + 2) +
                                      " at " + FormatTime(seconds, true) + suffix,
                                  room, 1);
    canvas.FillRect(x - 2, area.Top + area.Height - 16, Canvas::TextWidth(label) + 4, 12,
                    kBackground, 0.7);
    canvas.Text(x, area.Top + area.Height - 14, label, kText, 1);
}

// The shaded region of a crossfade, its start line, its peak and its two gain curves.
void DrawTransition(Canvas &canvas, const PlotInput &input, const TimeAxis &axis,
                    const Transition &t, double peakDbfs, int labelRoom) {
    const PlotArea &area = axis.Area;
    const double x0 = axis.X(t.StartFrame), x1 = axis.X(t.StartFrame + t.MixedFrames());
    const int left = static_cast<int>(std::floor(x0)), right = static_cast<int>(std::ceil(x1));
    canvas.FillRect(left, area.Top, std::max(right - left, 1), area.Height, kFade, 0.13);
    for (int y = area.Top; y < area.Top + area.Height; y += 6)
        canvas.FillRect(left, y, 1, 3, kFade, 0.8);

    // The curves reach a little beyond the region so that the levels either side show.
    const double lead = 10.0;
    const auto gainY = [&](double g) { return area.Top + (area.Height - 1) * (1.0 - g); };
    std::vector<Canvas::Point> in{{x0 - lead, gainY(0.0)}}, out{{x0 - lead, gainY(1.0)}};
    const int steps = std::max(static_cast<int>((x1 - x0) * 2), 2);
    for (int s = 0; s <= steps; ++s) {
        const auto k = static_cast<std::int64_t>(
            std::llround(static_cast<double>(t.MixedFrames()) * s / steps));
        const double x = x0 + (x1 - x0) * s / steps;
        in.push_back({x, gainY(t.IncomingGain(k, input.LogCurve))});
        out.push_back({x, gainY(t.OutgoingGain(k, input.LogCurve))});
    }
    in.push_back({x1 + lead, gainY(1.0)});
    out.push_back({x1 + lead, gainY(0.0)});
    canvas.Polyline(out, kOutgoing, 2.2);
    canvas.Polyline(in, kIncoming, 2.2);

    char peak[32];
    std::snprintf(peak, sizeof peak, "%.1f dBFS", peakDbfs);
    const int labelX = static_cast<int>(std::lround((x0 + x1) / 2)) - Canvas::TextWidth(peak) / 2;
    canvas.FillRect(labelX - 3, area.Top + 4, Canvas::TextWidth(peak) + 6, 12, kBackground, 0.7);
    canvas.Text(labelX, area.Top + 6, peak, kFade, 1);
    DrawTransitionLabel(canvas, input, area, t, left + 4, labelRoom);
}

// An ordinary boundary: the incoming track starts at full level where the outgoing one ended.
void DrawCut(Canvas &canvas, const PlotInput &input, const TimeAxis &axis, const Transition &t,
             int labelRoom) {
    const int x = static_cast<int>(std::lround(axis.X(t.StartFrame)));
    canvas.FillRect(x, axis.Area.Top, 1, axis.Area.Height, kText, 0.6);
    DrawTransitionLabel(canvas, input, axis.Area, t, x + 4, labelRoom, " no crossfade");
}

void DrawTimeAxis(Canvas &canvas, const PlotInput &input, const TimeAxis &axis) {
    const PlotArea &area = axis.Area;
    const double seconds = static_cast<double>(input.TotalFrames) / std::max(input.Format.Rate, 1);
    double tick = 1.0;
    for (double step : {1.0, 2.0, 5.0, 10.0, 15.0, 30.0, 60.0, 120.0, 300.0, 600.0, 1800.0}) {
        tick = step;
        if (area.Width * step / std::max(seconds, 1e-9) >= 70)
            break;
    }
    const int y = area.Top + area.Height;
    for (double s = 0.0; s <= seconds + 1e-9; s += tick) {
        const int x = static_cast<int>(std::lround(area.Left + s / seconds * area.Width));
        canvas.FillRect(x, y, 1, 6, kDimText);
        const std::string label = FormatTime(s);
        canvas.Text(x - Canvas::TextWidth(label) / 2, y + 10, label, kDimText, 1);
    }
}

void DrawLegend(Canvas &canvas, const PlotInput &input, int y) {
    int x = kMarginLeft;
    const auto sample = [&](Color color, const std::string &text) {
        canvas.Polyline({{double(x), y + 4.0}, {x + 24.0, y + 4.0}}, color, 2.2);
        canvas.Text(x + 32, y, text, kText, 1);
        x += 32 + Canvas::TextWidth(text) + 28;
    };
    const std::string curve = input.LogCurve ? "logarithmic" : "linear";
    sample(kIncoming, "incoming gain (" + curve + ")");
    sample(kOutgoing, "outgoing gain");
    canvas.FillRect(x, y - 2, 24, 12, kFade, 0.3);
    canvas.Text(x + 32, y, "crossfade region, peak level inside", kText, 1);
    x += 32 + Canvas::TextWidth("crossfade region, peak level inside") + 28;
    canvas.FillRect(x, y - 2, 24, 12, TrackColor(0), 0.6);
    canvas.FillRect(x + 6, y + 1, 12, 6, Lighter(TrackColor(0), 0.25), 0.9);
    canvas.Text(x + 32, y, "output envelope: min/max, RMS", kText, 1);
}

} // namespace

PlotArea PlotAreaOf(int width, int height) {
    return {kMarginLeft, kPlotTop, std::max(width - kMarginLeft - kMarginRight, 1),
            std::max(height - kPlotTop - kBelowPlot, 1)};
}

draw::Canvas DrawPlot(const PlotInput &input, int width, int height) {
    Canvas canvas(width, height, kBackground);
    const TimeAxis axis{PlotAreaOf(width, height), std::max<std::int64_t>(input.TotalFrames, 1)};
    DrawHeader(canvas, input);
    DrawTrackBand(canvas, input, axis);
    DrawGrid(canvas, axis.Area);
    DrawWave(canvas, input, axis);
    const auto &transitions = input.Transitions;
    for (std::size_t i = 0; i < transitions.size(); ++i) {
        // A label may run on to the next transition.
        const double next = i + 1 < transitions.size() ? axis.X(transitions[i + 1].StartFrame)
                                                       : axis.Area.Left + axis.Area.Width;
        const int room = static_cast<int>(next - axis.X(transitions[i].StartFrame)) - 12;
        if (transitions[i].Crossfaded)
            DrawTransition(canvas, input, axis, transitions[i],
                           i < input.PeakDbfs.size() ? input.PeakDbfs[i] : 0.0, room);
        else
            DrawCut(canvas, input, axis, transitions[i], room);
    }
    DrawTimeAxis(canvas, input, axis);
    DrawLegend(canvas, input, height - 30);
    return canvas;
}

std::string FormatTime(double seconds, bool withMilliseconds) {
    const auto ms = static_cast<long long>(std::llround(seconds * 1000.0));
    char text[48];
    if (withMilliseconds)
        std::snprintf(text, sizeof text, "%lld:%02lld.%03lld", ms / 60000, ms / 1000 % 60,
                      ms % 1000);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", (ms + 500) / 60000, (ms + 500) / 1000 % 60);
    return text;
}

} // namespace demo
