#include "RenderReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

namespace demo {

namespace {

constexpr std::size_t kWavHeaderBytes = 44;
constexpr std::int64_t kReadFrames = 16384;

std::string Printf(const char *format, auto... values) {
    char text[512];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

double Seconds(std::int64_t frames, const PcmFormat &format) {
    return static_cast<double>(frames) / std::max(format.Rate, 1);
}

std::string Dbfs(double dbfs) {
    return std::isfinite(dbfs) ? Printf("%.1f dBFS", dbfs) : std::string("silent");
}

} // namespace

std::string FormatDescription(const PcmFormat &format) {
    const std::string channels = format.Channels == 1 ? "mono"
                                 : format.Channels == 2
                                     ? "stereo"
                                     : std::to_string(format.Channels) + " channels";
    return Printf("%d Hz %d-bit ", format.Rate, format.Bits) + channels;
}

RenderResult Analyse(const std::vector<OutputCall> &calls, const PcmFormat &format,
                     std::vector<TrackFile> tracks, const RenderOptions &options) {
    RenderResult result;
    result.Format = format;
    result.Tracks = std::move(tracks);
    result.Segments = SplitSegments(calls, format);
    std::vector<std::int64_t> frames;
    for (const TrackFile &t : result.Tracks)
        frames.push_back(t.Frames);
    result.Transitions = FindTransitions(result.Segments, frames, format, options.FadeMs);
    for (const Segment &s : result.Segments)
        result.OutputFrames = std::max(result.OutputFrames, s.StartFrame + s.Frames);
    return result;
}

Envelope MeasureOutput(const std::filesystem::path &wavFile, RenderResult &result, int columns) {
    const PcmFormat &format = result.Format;
    std::vector<PeakMeter> meters;
    for (const Transition &t : result.Transitions)
        meters.emplace_back(format, t.StartFrame, t.Crossfaded ? t.MixedFrames() : 0);
    EnvelopeBuilder envelope(format, result.OutputFrames, std::max(columns, 1));

    std::ifstream in(wavFile, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(kWavHeaderBytes));
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(kReadFrames * format.FrameBytes()));
    for (std::int64_t at = 0; at < result.OutputFrames && in;) {
        const std::int64_t want = std::min(kReadFrames, result.OutputFrames - at);
        in.read(reinterpret_cast<char *>(chunk.data()), want * format.FrameBytes());
        const std::int64_t got = in.gcount() / format.FrameBytes();
        const std::span<const std::uint8_t> frames(
            chunk.data(), static_cast<std::size_t>(got * format.FrameBytes()));
        for (PeakMeter &m : meters)
            m.Feed(at, frames);
        if (columns > 0)
            envelope.Feed(at, frames);
        at += got;
        if (got == 0)
            break;
    }
    result.PeakDbfs.clear();
    for (const PeakMeter &m : meters)
        result.PeakDbfs.push_back(ToDbfs(m.Peak()));
    return envelope.Take();
}

std::string NoCrossfadeReason(const RenderResult &result, const Transition &t,
                              const RenderOptions &options) {
    const auto lengthMs = [&](int i) {
        return TrackLengthMs(result.Tracks[static_cast<std::size_t>(i)].Frames, result.Format.Rate);
    };
    std::string why = "track " + std::to_string(t.From + 1) + " played to its end";
    if (lengthMs(t.From) <= options.MinMs)
        why += " (it is not longer than MinFileSize)";
    else if (lengthMs(t.From + 1) < options.MinMs)
        why += " (the next one is shorter than MinFileSize)";
    else if (options.FadeMs <= 0)
        why += " (FadeTime is 0)";
    return why;
}

std::string FormatReport(const RenderResult &result, const RenderOptions &options) {
    const PcmFormat &f = result.Format;
    std::string out;
    out += Printf("settings: FadeTime %d ms, MinFileSize %d ms, LogTrans %d (%s), "
                  "PlaybackThreadPriority %s\n",
                  options.FadeMs, options.MinMs, options.LogCurve ? 1 : 0,
                  options.LogCurve ? "logarithmic" : "linear", options.Priority.c_str());
    std::size_t nameWidth = 5;
    for (const TrackFile &t : result.Tracks)
        nameWidth = std::max(nameWidth, t.Name.size());
    const int w = static_cast<int>(nameWidth);
    out += Printf("\n  #  %-*s  %10s   %s\n", w, "track", "length", "in the output");
    for (std::size_t i = 0; i < result.Tracks.size(); ++i) {
        const TrackFile &t = result.Tracks[i];
        std::string place = "(not played)";
        if (i < result.Segments.size()) {
            const Segment &s = result.Segments[i];
            place = FormatTime(Seconds(s.StartFrame, f), true) + " - " +
                    FormatTime(Seconds(s.StartFrame + s.Frames, f), true);
        }
        out += Printf("  %d  %-*s  %10s   %s\n", static_cast<int>(i + 1), w, t.Name.c_str(),
                      FormatTime(Seconds(t.Frames, f), true).c_str(), place.c_str());
    }
    out += "\ntransitions (times in the output):\n";
    if (result.Transitions.empty())
        out += "  none\n";
    for (std::size_t i = 0; i < result.Transitions.size(); ++i) {
        const Transition &t = result.Transitions[i];
        out += Printf("  %d > %d  at %s  ", t.From + 1, t.From + 2,
                      FormatTime(Seconds(t.StartFrame, f), true).c_str());
        if (!t.Crossfaded) {
            out += "no crossfade: " + NoCrossfadeReason(result, t, options);
            out += t.Reopened ? ", output re-opened\n" : "\n";
            continue;
        }
        // The curve runs a little longer than the outgoing sound: what was left of the track
        // counts the block written at the hand-over.
        out +=
            Printf("crossfade %.3f s (curve %.3f s)", Seconds(t.MixedFrames(), f), t.FadeSeconds);
        const double peak = i < result.PeakDbfs.size() ? result.PeakDbfs[i] : 0.0;
        out += "  peak " + Dbfs(peak) + "\n";
    }
    if (result.Segments.size() != result.Tracks.size())
        out += Printf("\nnote: the output received %d tracks for %d playlist entries; tracks "
                      "are matched in order\n",
                      static_cast<int>(result.Segments.size()),
                      static_cast<int>(result.Tracks.size()));
    return out;
}

PlotInput MakePlotInput(const RenderResult &result, const RenderOptions &options, Envelope wave) {
    PlotInput input;
    const int crossfades =
        static_cast<int>(std::count_if(result.Transitions.begin(), result.Transitions.end(),
                                       [](const Transition &t) { return t.Crossfaded; }));
    input.Title =
        Printf("Halvern Q-Blend: %d tracks, %d crossfade%s", static_cast<int>(result.Tracks.size()),
               crossfades, crossfades == 1 ? "" : "s");
    input.Subtitle = Printf("FadeTime %d ms, %s curve, %s, %s", options.FadeMs,
                            options.LogCurve ? "logarithmic" : "linear",
                            FormatDescription(result.Format).c_str(),
                            FormatTime(Seconds(result.OutputFrames, result.Format), true).c_str());
    input.Format = result.Format;
    input.TotalFrames = result.OutputFrames;
    for (std::size_t i = 0; i < result.Segments.size(); ++i)
        input.Tracks.push_back({i < result.Tracks.size() ? result.Tracks[i].Name : std::string("?"),
                                result.Segments[i].StartFrame, result.Segments[i].Frames});
    input.Transitions = result.Transitions;
    input.PeakDbfs = result.PeakDbfs;
    input.Wave = std::move(wave);
    input.LogCurve = options.LogCurve;
    return input;
}

} // namespace demo
