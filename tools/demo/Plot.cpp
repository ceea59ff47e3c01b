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
constexpr Color kNotPlayed{0x5A, 0x5F, 0x69};
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
constexpr int kNotPlayedHeight = 5;
constexpr int kWaveTop = kBandTop + kBandHeight + 10;
constexpr int kWaveHeight = 190;
constexpr int kGainTop = kWaveTop + kWaveHeight + 8;
constexpr int kGainHeight = 110;
constexpr int kAxisHeight = 26;
constexpr int kLegendTop = kGainTop + kGainHeight + kAxisHeight + 6;
constexpr int kLegendLine = 18;
constexpr int kKeyTop = kLegendTop + 2 * kLegendLine + 8;
constexpr int kKeyLine = 13;
constexpr int kBottomMargin = 10;
constexpr int kLabelRows = 2;
constexpr int kLabelHeight = 12;
constexpr int kLabelGap = 8;

struct Panel {
    int Left = 0, Top = 0, Width = 0, Height = 0;
    int Bottom() const { return Top + Height; }
    int Right() const { return Left + Width; }
};

Color TrackColor(std::size_t index) {
    return kTrackColors[index % kTrackColors.size()];
}

Color Lighter(Color c, double amount) {
    const auto up = [amount](std::uint8_t v) {
        return static_cast<std::uint8_t>(std::lround(v + (255 - v) * amount));
    };
    return {up(c.R), up(c.G), up(c.B)};
}

Color Mix(Color a, Color b, double t) {
    const auto m = [t](std::uint8_t x, std::uint8_t y) {
        return static_cast<std::uint8_t>(std::lround(x + (y - x) * t));
    };
    return {m(a.R, b.R), m(a.G, b.G), m(a.B, b.B)};
}

int PlotWidth(int width) {
    return std::max(width - kMarginLeft - kMarginRight, 1);
}

// Maps frames of the output to x pixels.
struct TimeAxis {
    int Left;
    int Width;
    std::int64_t Frames;
    double X(std::int64_t frame) const {
        return Left + static_cast<double>(frame) * Width / static_cast<double>(Frames);
    }
    // The pixel columns of frames [first, first + count), cut to the axis: empty outside it.
    std::pair<int, int> Columns(std::int64_t first, std::int64_t count) const {
        const auto x = [&](std::int64_t frame) {
            return static_cast<int>(
                std::lround(std::clamp(X(frame), double(Left), double(Left + Width))));
        };
        return {x(first), x(first + count)};
    }
};

std::string TrackLabel(std::size_t index, const PlotTrack &track) {
    return std::to_string(index + 1) + " " + track.Name;
}

// The text shown in each track's bar: number and name, else the number alone, else nothing.
struct BandLabel {
    std::string Text;
    bool WholeName = false;
};

BandLabel BandLabelOf(std::size_t index, const PlotTrack &track, const TimeAxis &axis) {
    const auto [x0, x1] = axis.Columns(track.StartFrame, track.Frames);
    const int room = x1 - x0 - 10;
    const std::string full = TrackLabel(index, track);
    if (!track.Note.empty() && Canvas::TextWidth(full + "  " + track.Note) <= room)
        return {full + "  " + track.Note, true};
    if (Canvas::TextWidth(full) <= room)
        return {full, true};
    const std::string number = std::to_string(index + 1);
    return {Canvas::TextWidth(number) <= room ? number : std::string(), false};
}

TimeAxis AxisOf(const PlotInput &input, int width) {
    return {kMarginLeft, PlotWidth(width), std::max<std::int64_t>(input.TotalFrames, 1)};
}

// The list of track names under the picture, in columns; empty when every bar shows its name.
struct TrackKey {
    std::vector<std::string> Entries;
    int ColumnWidth = 0;
    int Columns = 1;
    int Rows() const {
        return Entries.empty() ? 0 : static_cast<int>((Entries.size() + Columns - 1) / Columns);
    }
};

// Whether any of the track lies on the picture's part of the timeline.
bool Shown(const PlotTrack &track, const PlotInput &input) {
    return track.StartFrame < input.TotalFrames && track.StartFrame + track.Frames > 0;
}

TrackKey KeyOf(const PlotInput &input, int width) {
    const TimeAxis axis = AxisOf(input, width);
    TrackKey key;
    bool needed = false;
    for (std::size_t i = 0; i < input.Tracks.size(); ++i)
        needed = needed || (Shown(input.Tracks[i], input) &&
                            !BandLabelOf(i, input.Tracks[i], axis).WholeName);
    if (!needed)
        return key;
    const int room = width - kMarginLeft - kMarginRight;
    for (std::size_t i = 0; i < input.Tracks.size(); ++i) {
        if (!Shown(input.Tracks[i], input))
            continue;
        key.Entries.push_back(Canvas::FitText(TrackLabel(i, input.Tracks[i]), room));
        key.ColumnWidth = std::max(key.ColumnWidth, Canvas::TextWidth(key.Entries.back()) + 24);
    }
    key.Columns = std::max(1, room / std::max(key.ColumnWidth, 1));
    return key;
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
                       t.IncomingGain(k, input.FadeCurve));
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
        if (!Shown(track, input))
            continue;
        const auto [x0, x1] = axis.Columns(track.StartFrame, track.Frames);
        canvas.FillRect(x0, kBandTop, std::max(x1 - x0 - 1, 1), kBandHeight, TrackColor(i), 0.85);
        canvas.Text(x0 + 5, kBandTop + 7, BandLabelOf(i, track, axis).Text, kBackground, 1);
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

// Silence of a track's file that was not played: a grey strip over the band where it would have
// lain, clear of the tracks' names.
void DrawNotPlayed(Canvas &canvas, const PlotInput &input, const TimeAxis &axis) {
    for (const PlotInput::Span &span : input.NotPlayed) {
        const int x0 = static_cast<int>(std::lround(axis.X(span.StartFrame)));
        const int x1 = static_cast<int>(std::lround(axis.X(span.StartFrame + span.Frames)));
        canvas.FillRect(x0, kBandTop - kNotPlayedHeight - 1, std::max(x1 - x0, 1),
                        kNotPlayedHeight, kNotPlayed, 1.0);
    }
}

void DrawScaleLabel(Canvas &canvas, const Panel &panel, double fraction, const std::string &text) {
    const int y = panel.Top + static_cast<int>(std::lround((panel.Height - 1) * fraction));
    canvas.Text(panel.Left - 6 - Canvas::TextWidth(text),
                std::clamp(y - 3, panel.Top, panel.Bottom() - 7), text, kDimText, 1);
}

// The waveform's panel: full scale at the top and bottom edges, silence in the middle.
void DrawWavePanel(Canvas &canvas, const Panel &panel) {
    canvas.FillRect(panel.Left, panel.Top, panel.Width, panel.Height, kPlotBackground);
    for (int quarter = 0; quarter <= 4; ++quarter)
        canvas.FillRect(panel.Left, panel.Top + quarter * (panel.Height - 1) / 4, panel.Width, 1,
                        kGrid);
    DrawScaleLabel(canvas, panel, 0.0, "+1");
    DrawScaleLabel(canvas, panel, 0.25, "+.5");
    DrawScaleLabel(canvas, panel, 0.5, "0");
    DrawScaleLabel(canvas, panel, 0.75, "-.5");
    DrawScaleLabel(canvas, panel, 1.0, "-1");
    canvas.Text(4, panel.Top + panel.Height / 2 - 20, "level", kDimText, 1);
}

void DrawGainPanel(Canvas &canvas, const Panel &panel) {
    canvas.FillRect(panel.Left, panel.Top, panel.Width, panel.Height, kPlotBackground);
    for (int half = 0; half <= 2; ++half)
        canvas.FillRect(panel.Left, panel.Top + half * (panel.Height - 1) / 2, panel.Width, 1,
                        kGrid);
    DrawScaleLabel(canvas, panel, 0.0, "1");
    DrawScaleLabel(canvas, panel, 0.5, ".5");
    DrawScaleLabel(canvas, panel, 1.0, "0");
    canvas.Text(4, panel.Top + panel.Height / 2 - 20, "gain", kDimText, 1);
}

void DrawWave(Canvas &canvas, const PlotInput &input, const TimeAxis &axis, const Panel &panel) {
    const double middle = panel.Top + (panel.Height - 1) / 2.0;
    const double half = (panel.Height - 1) / 2.0;
    const auto columns = static_cast<int>(std::min<std::size_t>(input.Wave.Max.size(), axis.Width));
    const auto y = [&](double v) { return static_cast<int>(std::lround(middle - v * half)); };
    for (int c = 0; c < columns; ++c) {
        const auto frame = static_cast<std::int64_t>((c + 0.5) * input.TotalFrames / axis.Width);
        const Color color = WaveColor(input, frame);
        const int top = y(input.Wave.Max[c]), bottom = y(input.Wave.Min[c]);
        canvas.FillRect(axis.Left + c, top, 1, bottom - top + 1, Lighter(color, 0.35), 0.45);
        const double rms = input.Wave.Rms[c];
        canvas.FillRect(axis.Left + c, y(rms), 1, y(-rms) - y(rms) + 1, color, 0.95);
    }
}

// The shaded region of a crossfade through both panels, its dashed start line and its curves.
void DrawCrossfade(Canvas &canvas, const PlotInput &input, const TimeAxis &axis, const Panel &wave,
                   const Panel &gain, const Transition &t) {
    const double x0 = axis.X(t.StartFrame), x1 = axis.X(t.StartFrame + t.MixedFrames());
    const int left = static_cast<int>(std::floor(x0)), right = static_cast<int>(std::ceil(x1));
    for (const Panel *panel : {&wave, &gain}) {
        canvas.FillRect(left, panel->Top, std::max(right - left, 1), panel->Height, kFade, 0.13);
        for (int y = panel->Top; y < panel->Bottom(); y += 6)
            canvas.FillRect(left, y, 1, 3, kFade, 0.8);
    }
    // The curves reach a little beyond the region so that the levels either side show.
    const double lead = 10.0;
    const auto gainY = [&](double g) { return gain.Top + (gain.Height - 1) * (1.0 - g); };
    std::vector<Canvas::Point> in{{x0 - lead, gainY(0.0)}}, out{{x0 - lead, gainY(1.0)}};
    const int steps = std::max(static_cast<int>((x1 - x0) * 2), 2);
    for (int s = 0; s <= steps; ++s) {
        const auto k = static_cast<std::int64_t>(
            std::llround(static_cast<double>(t.MixedFrames()) * s / steps));
        const double x = x0 + (x1 - x0) * s / steps;
        in.push_back({x, gainY(t.IncomingGain(k, input.FadeCurve))});
        out.push_back({x, gainY(t.OutgoingGain(k, input.FadeCurve))});
    }
    in.push_back({x1 + lead, gainY(1.0)});
    out.push_back({x1 + lead, gainY(0.0)});
    canvas.Polyline(out, kOutgoing, 2.2);
    canvas.Polyline(in, kIncoming, 2.2);
}

// An ordinary boundary: the incoming track starts at full level where the outgoing one ended.
void DrawCut(Canvas &canvas, const TimeAxis &axis, const Panel &wave, const Panel &gain,
             const Transition &t) {
    const int x = static_cast<int>(std::lround(axis.X(t.StartFrame)));
    canvas.FillRect(x, wave.Top, 1, gain.Bottom() - wave.Top, kText, 0.6);
}

// Labels in the forms they may take, staggered over two rows from the given top.
struct LabelSet {
    std::vector<std::vector<std::string>> Forms;
    std::vector<LabelSpan> Spans;
    std::vector<Color> Colors;

    void Add(int left, std::vector<std::string> forms, Color color, const Panel &panel) {
        LabelSpan span;
        for (const std::string &form : forms)
            span.Widths.push_back(Canvas::TextWidth(form));
        // Kept inside the panel: one at its right edge moves left.
        span.Left = std::clamp(left, panel.Left + 2, panel.Right() - 2 - span.Widths.front());
        Spans.push_back(span);
        Forms.push_back(std::move(forms));
        Colors.push_back(color);
    }
    void Draw(Canvas &canvas, int top, int rowStep) const {
        const std::vector<LabelPlace> places = PlaceLabels(Spans, kLabelRows, kLabelGap);
        for (std::size_t i = 0; i < places.size(); ++i) {
            if (places[i].Row < 0)
                continue;
            const std::string &text = Forms[i][static_cast<std::size_t>(places[i].Choice)];
            const int y = top + places[i].Row * rowStep;
            canvas.FillRect(Spans[i].Left - 2, y - 2, Canvas::TextWidth(text) + 4, kLabelHeight,
                            kBackground, 0.75);
            canvas.Text(Spans[i].Left, y, text, Colors[i], 1);
        }
    }
};

std::string PeakText(double dbfs, bool withUnit) {
    if (!std::isfinite(dbfs))
        return "silent";
    char text[32];
    std::snprintf(text, sizeof text, withUnit ? "%.1f dBFS" : "%.1f", dbfs);
    return text;
}

// The mix point's reason as a transition's label names it; empty where there is none to name.
std::string ReasonLabel(const Transition &t) {
    if (t.Skipped)
        return {};
    if (!t.Crossfaded)
        return t.Reason == MixReason::AlbumJoin ? "album join" : std::string();
    switch (t.Reason) {
    case MixReason::OwnFadeOut:
        return "own fade-out";
    case MixReason::OwnFadeIn:
        return "own fade-in";
    default:
        return "set time";
    }
}

void DrawLabels(Canvas &canvas, const PlotInput &input, const TimeAxis &axis, const Panel &wave,
                const Panel &gain) {
    LabelSet peaks, names;
    for (std::size_t i = 0; i < input.Transitions.size(); ++i) {
        const Transition &t = input.Transitions[i];
        const double x0 = axis.X(t.StartFrame);
        const std::string pair = std::to_string(t.From + 1) + " > " + std::to_string(t.From + 2) +
                                 (t.Skipped ? " skip" : "");
        const std::string at =
            FormatTime(i < input.TransitionSeconds.size()
                           ? input.TransitionSeconds[i]
                           : static_cast<double>(t.StartFrame) / std::max(input.Format.Rate, 1),
                       true);
        if (t.Crossfaded) {
            const double peak = i < input.PeakDbfs.size() ? input.PeakDbfs[i] : 0.0;
            const double middle = (x0 + axis.X(t.StartFrame + t.MixedFrames())) / 2;
            const std::string full = PeakText(peak, true);
            peaks.Add(static_cast<int>(std::lround(middle)) - Canvas::TextWidth(full) / 2,
                      {full, PeakText(peak, false)}, kFade, wave);
        }
        const std::string why = input.ShowReasons ? ReasonLabel(t) : std::string();
        if (!why.empty()) {
            names.Add(static_cast<int>(x0) + 4,
                      {pair + " at " + at + ", " + why, pair + " " + why, pair}, kText, gain);
        } else if (t.Crossfaded) {
            names.Add(static_cast<int>(x0) + 4, {pair + " at " + at, pair}, kText, gain);
        } else {
            names.Add(static_cast<int>(x0) + 4,
                      {pair + " at " + at + ", no crossfade", pair + " no crossfade", pair}, kText,
                      gain);
        }
    }
    peaks.Draw(canvas, wave.Top + 5, kLabelHeight + 2);
    names.Draw(canvas, gain.Bottom() - 2 * (kLabelHeight + 2) - 1, kLabelHeight + 2);
}

// Ticks at whole multiples of the step, labelled with the time in the output.
void DrawTimeAxis(Canvas &canvas, const PlotInput &input, const TimeAxis &axis, int y) {
    const double seconds = static_cast<double>(input.TotalFrames) / std::max(input.Format.Rate, 1);
    double tick = 1.0;
    for (double step : {1.0, 2.0, 5.0, 10.0, 15.0, 30.0, 60.0, 120.0, 300.0, 600.0, 1800.0}) {
        tick = step;
        if (axis.Width * step / std::max(seconds, 1e-9) >= 70)
            break;
    }
    const double first = std::ceil(input.StartSeconds / tick - 1e-9) * tick;
    for (double at = first; at <= input.StartSeconds + seconds + 1e-9; at += tick) {
        const double s = at - input.StartSeconds;
        const int x = static_cast<int>(std::lround(axis.Left + s / seconds * axis.Width));
        canvas.FillRect(x, y, 1, 6, kDimText);
        const std::string label = FormatTime(at);
        canvas.Text(x - Canvas::TextWidth(label) / 2, y + 10, label, kDimText, 1);
    }
    canvas.Text(4, y + 10, "time", kDimText, 1);
}

// Every mark of the picture, in two lines.
void DrawLegend(Canvas &canvas, const PlotInput &input, int y) {
    int x = kMarginLeft;
    const auto entry = [&](int markWidth, const std::string &text) {
        canvas.Text(x + markWidth + 8, y, text, kText, 1);
        x += markWidth + 8 + Canvas::TextWidth(text) + 26;
    };
    canvas.FillRect(x, y - 2, 24, 12, TrackColor(0), 0.85);
    canvas.FillRect(x + 24, y + 5, 12, 5, TrackColor(0), 1.0);
    entry(36, "track's part of the output; thin bar: its sound mixed into the next");
    canvas.FillRect(x, y - 3, 24, 14, Lighter(TrackColor(0), 0.35), 0.45);
    canvas.FillRect(x, y + 1, 24, 6, TrackColor(0), 0.95);
    entry(24, "output envelope: lowest to highest sample (light), RMS (dark)");
    if (!input.NotPlayed.empty()) {
        canvas.FillRect(x, y, 24, kNotPlayedHeight, kNotPlayed, 1.0);
        entry(24, "silence not played");
    }

    y += kLegendLine;
    x = kMarginLeft;
    canvas.FillRect(x, y - 2, 24, 12, kFade, 0.3);
    canvas.FillRect(x, y - 2, 1, 3, kFade, 0.8);
    canvas.FillRect(x, y + 4, 1, 3, kFade, 0.8);
    canvas.Text(x + 4, y, "dB", kFade, 1);
    entry(24, "crossfade: dashed start, peak level in dBFS");
    canvas.FillRect(x + 12, y - 2, 1, 12, kText, 0.6);
    entry(24, "no crossfade");
    const std::string curve = CurveName(input.FadeCurve);
    canvas.Polyline({{double(x), y + 4.0}, {x + 24.0, y + 4.0}}, kIncoming, 2.2);
    entry(24, "incoming gain (" + curve + ")");
    canvas.Polyline({{double(x), y + 4.0}, {x + 24.0, y + 4.0}}, kOutgoing, 2.2);
    entry(24, "outgoing gain");
}

void DrawKey(Canvas &canvas, const TrackKey &key) {
    if (key.Entries.empty())
        return;
    const int rows = key.Rows();
    for (std::size_t i = 0; i < key.Entries.size(); ++i) {
        const int column = static_cast<int>(i) / rows, row = static_cast<int>(i) % rows;
        canvas.FillRect(kMarginLeft + column * key.ColumnWidth, kKeyTop + row * kKeyLine, 8, 8,
                        TrackColor(i), 0.85);
        canvas.Text(kMarginLeft + column * key.ColumnWidth + 14, kKeyTop + row * kKeyLine,
                    key.Entries[i], kText, 1);
    }
}

} // namespace

std::vector<LabelPlace> PlaceLabels(std::span<const LabelSpan> labels, int rows, int gap) {
    std::vector<LabelPlace> places(labels.size());
    std::vector<long long> rowEnd(static_cast<std::size_t>(std::max(rows, 0)), -(1LL << 40));
    const auto place = [&](std::size_t i, std::size_t choice, long long limit) {
        const LabelSpan &label = labels[i];
        if (label.Left + label.Widths[choice] + gap > limit)
            return false;
        for (std::size_t row = 0; row < rowEnd.size(); ++row)
            if (rowEnd[row] + gap <= label.Left) {
                places[i] = {static_cast<int>(row), static_cast<int>(choice)};
                rowEnd[row] = label.Left + label.Widths[choice];
                return true;
            }
        return false;
    };
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (labels[i].Widths.empty())
            continue;
        // A form is preferred that ends before the label that will want the same row next;
        // failing that the shortest form, if a row has room for it at all.
        const std::size_t next = i + rowEnd.size();
        const long long limit = next < labels.size() ? labels[next].Left : (1LL << 40);
        bool placed = false;
        for (std::size_t choice = 0; choice < labels[i].Widths.size() && !placed; ++choice)
            placed = place(i, choice, limit);
        if (!placed)
            place(i, labels[i].Widths.size() - 1, 1LL << 40);
    }
    return places;
}

int PlotColumns(int width) {
    return PlotWidth(width);
}

int PictureHeight(const PlotInput &input, int width) {
    const int rows = KeyOf(input, width).Rows();
    return kKeyTop + (rows > 0 ? rows * kKeyLine + 4 : -8) + kBottomMargin;
}

draw::Canvas DrawPlot(const PlotInput &input, int width) {
    Canvas canvas(width, PictureHeight(input, width), kBackground);
    const TimeAxis axis = AxisOf(input, width);
    const Panel wave{axis.Left, kWaveTop, axis.Width, kWaveHeight};
    const Panel gain{axis.Left, kGainTop, axis.Width, kGainHeight};
    DrawHeader(canvas, input);
    DrawWavePanel(canvas, wave);
    DrawGainPanel(canvas, gain);
    canvas.ClipColumns(wave.Left, wave.Right());
    DrawTrackBand(canvas, input, axis);
    DrawNotPlayed(canvas, input, axis);
    DrawWave(canvas, input, axis, wave);
    for (const Transition &t : input.Transitions) {
        if (t.Crossfaded)
            DrawCrossfade(canvas, input, axis, wave, gain, t);
        else
            DrawCut(canvas, axis, wave, gain, t);
    }
    canvas.Unclip();
    DrawLabels(canvas, input, axis, wave, gain);
    DrawTimeAxis(canvas, input, axis, gain.Bottom());
    DrawLegend(canvas, input, kLegendTop);
    DrawKey(canvas, KeyOf(input, width));
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
