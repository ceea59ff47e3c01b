#include "RenderReport.h"

#include "Utf8Text.h"
#include "sound/EndPlan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <optional>

namespace demo {

namespace {

constexpr std::size_t kWavHeaderBytes = 44;
constexpr std::int64_t kReadFrames = 16384;
// A hand-over within this much of a track's start counts as at its start: the plug-in writes
// a block (1/64 s) before it looks.
constexpr int kFirstBlocksMs = 100;
// The plug-in looks once a block whether a track's end is less than FadeTime away: a FadeTime
// of less than two blocks can fall between two looks.
constexpr double kBlockMs = 1000.0 / 64;

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

std::string Seconds3(double seconds) {
    return Printf("%.3f s", seconds);
}

// "25 s" or "25.3 s": a track's length as a person says it.
std::string ShortSeconds(int ms) {
    return ms % 1000 == 0 ? Printf("%d s", ms / 1000) : Printf("%.1f s", ms / 1000.0);
}

} // namespace

std::string ShortFormat(const PcmFormat &format) {
    const std::string channels = format.Channels == 1   ? "mono"
                                 : format.Channels == 2 ? "stereo"
                                                        : std::to_string(format.Channels) + " ch";
    std::string khz = Printf("%.2f", format.Rate / 1000.0);
    while (khz.back() == '0')
        khz.pop_back();
    if (khz.back() == '.')
        khz.pop_back();
    return khz + Printf(" kHz %d-bit ", format.Bits) + channels;
}

std::string FormatDescription(const PcmFormat &format) {
    const std::string channels = format.Channels == 1 ? "mono"
                                 : format.Channels == 2
                                     ? "stereo"
                                     : std::to_string(format.Channels) + " channels";
    return Printf("%d Hz %d-bit ", format.Rate, format.Bits) + channels;
}

const PcmFormat &TrackFormat(const RenderResult &result, int track) {
    const PcmFormat &own = result.Tracks[static_cast<std::size_t>(track)].Format;
    return own.Rate > 0 && own.FrameBytes() > 0 ? own : result.Format;
}

const PcmFormat &SegmentFormat(const RenderResult &result, int segment) {
    return FormatOf(result.Segments[static_cast<std::size_t>(segment)], result.Format);
}

std::vector<OutputRun> RunsOf(const RenderResult &result) {
    if (!result.Runs.empty())
        return result.Runs;
    return {{result.Format, result.OutputFrames, 0.0}};
}

bool MixedFormats(const RenderResult &result) {
    for (int i = 0; i < static_cast<int>(result.Tracks.size()); ++i)
        if (!(TrackFormat(result, i) == TrackFormat(result, 0)))
            return true;
    return result.Runs.size() > 1;
}

double OutputSeconds(const RenderResult &result, int run, std::int64_t frame) {
    const std::vector<OutputRun> runs = RunsOf(result);
    const OutputRun &r =
        runs[static_cast<std::size_t>(std::clamp<int>(run, 0, static_cast<int>(runs.size()) - 1))];
    return r.StartSeconds + static_cast<double>(frame) / std::max(r.Format.Rate, 1);
}

double OutputSeconds(const RenderResult &result) {
    const std::vector<OutputRun> runs = RunsOf(result);
    return OutputSeconds(result, static_cast<int>(runs.size()) - 1, runs.back().Frames);
}

namespace {

int LengthMsOf(const RenderResult &result, int track) {
    return TrackLengthMs(result.Tracks[static_cast<std::size_t>(track)].Frames,
                         TrackFormat(result, track).Rate);
}

// Where a segment starts in the output, in seconds.
double StartSeconds(const RenderResult &result, const Segment &segment) {
    return OutputSeconds(result, segment.File, segment.StartFrame);
}

// Where a transition lies in the output, in seconds: the incoming track's start.
double StartSeconds(const RenderResult &result, const Transition &t) {
    const auto in = static_cast<std::size_t>(t.From + 1);
    return in < result.Segments.size() ? StartSeconds(result, result.Segments[in])
                                       : Seconds(t.StartFrame, result.Format);
}

// The incoming track's format: the output's after the transition.
const PcmFormat &IncomingFormat(const RenderResult &result, const Transition &t) {
    const auto in = t.From + 1;
    return in < static_cast<int>(result.Segments.size()) ? SegmentFormat(result, in)
                                                         : result.Format;
}

// The plug-in that owns a track's file, which plays it itself where the plug-in leaves it.
std::string FilePluginOf(const RenderResult &result, int track) {
    const auto index = static_cast<std::size_t>(track);
    return index < result.Tracks.size() && !result.Tracks[index].Plugin.empty()
               ? result.Tracks[index].Plugin
               : result.FilePlugin;
}

bool ByPlugin(const RenderResult &result, const Segment &segment) {
    return result.PlaybackThread == 0 || segment.Writer == result.PlaybackThread;
}

// Whether the plug-in can have handed the outgoing track over: it played both tracks itself,
// both are long enough, and the output took the outgoing track past its fade point.
bool CouldHandOver(const RenderResult &result, const Transition &t, const RenderOptions &options,
                   bool plainRules = false) {
    const Segment &out = result.Segments[static_cast<std::size_t>(t.From)];
    const Segment &in = result.Segments[static_cast<std::size_t>(t.From + 1)];
    const int lengthMs = LengthMsOf(result, t.From);
    const double playedMs = static_cast<double>(out.Frames + t.OutgoingSkipped) * 1000.0 /
                            std::max(SegmentFormat(result, t.From).Rate, 1);
    const TrackEdgePlan &plan =
        plainRules ? TrackEdgePlan{} : result.Tracks[static_cast<std::size_t>(t.From)].Edges;
    const std::int64_t endMs = plan.EndMs >= 0 ? plan.EndMs : lengthMs;
    const std::int64_t fadeMs = plan.FadeMs >= 0 ? plan.FadeMs : options.FadeMs;
    // A hand-over after the end the plan gives was not made by that plan.
    return t.RemainingMs > 0 && ByPlugin(result, out) && ByPlugin(result, in) &&
           lengthMs > options.MinMs && LengthMsOf(result, t.From + 1) >= options.MinMs &&
           options.FadeMs > 0 && playedMs > static_cast<double>(endMs - fadeMs) &&
           (!t.AcrossFormats || options.FadeAcrossFormats);
}

// A skip: with the fade on skip and the output kept (not re-opened), the outgoing track went on
// from where it was heard, fading out over the skip fade time or what was left of it. Into
// another format the output re-opens either way; with the fade across formats it may have gone
// on converted, which only the sound tells (ConfirmFades).
void MarkSkip(const RenderResult &result, Transition &t, const RenderOptions &options) {
    const Segment &out = result.Segments[static_cast<std::size_t>(t.From)];
    const std::int64_t trackFrames = result.Tracks[static_cast<std::size_t>(t.From)].Frames;
    Transition skip{t.From, t.StartFrame, t.Reopened};
    skip.Skipped = true;
    skip.AcrossFormats = t.AcrossFormats;
    const int outRate = std::max(SegmentFormat(result, t.From).Rate, 1);
    const int inRate = std::max(IncomingFormat(result, t).Rate, 1);
    const auto heardMs = static_cast<int>(out.Frames * 1000 / outRate);
    skip.RemainingMs = LengthMsOf(result, t.From) - heardMs;
    skip.Crossfaded = (!t.Reopened || (t.AcrossFormats && options.FadeAcrossFormats)) &&
                      options.SkipFadeMs > 0 && skip.RemainingMs > 0;
    if (skip.Crossfaded) {
        skip.FadeSeconds = std::min(skip.RemainingMs, options.SkipFadeMs) * 0.001;
        skip.Step = 1.0 / skip.FadeSeconds / inRate;
        skip.CurveFrames = CurveFramesFor(skip.Step);
        skip.OutgoingFrames =
            std::max<std::int64_t>(trackFrames - out.Frames, 0) * inRate / outRate;
    }
    t = skip;
}

// A track's plan as the plug-in keeps it while its look-ahead has no answer: the plain end and
// fade, the leading silence still read past (the track reader does that) and the album rule.
TrackEdgePlan PlainEnd(const TrackEdgePlan &plan) {
    TrackEdgePlan plain;
    plain.LeadingSilenceFrames = plan.LeadingSilenceFrames;
    plain.ContinuesAlbum = plan.ContinuesAlbum;
    return plain;
}

bool SameFade(const Transition &a, const Transition &b) {
    return a.Crossfaded == b.Crossfaded && a.RemainingMs == b.RemainingMs &&
           a.FadeSeconds == b.FadeSeconds && a.InSpeed == b.InSpeed && a.OutSpeed == b.OutSpeed;
}

// The plain transition the output holds in place of the planned one.
Transition PlanNotHeard(const Transition &planned, const Transition &plain) {
    Transition heard = plain;
    heard.PlanMissed = true;
    heard.FilesReason = planned.Reason;
    return heard;
}

} // namespace

RenderResult Analyse(const std::vector<OutputCall> &calls, const PcmFormat &format,
                     std::vector<TrackFile> tracks, const RenderOptions &options,
                     unsigned long playbackThread, int ansiCodePage,
                     const std::vector<int> &skippedFrom) {
    RenderResult result;
    result.Format = format;
    result.Tracks = std::move(tracks);
    result.Segments = SplitSegments(calls, format);
    result.PlaybackThread = playbackThread;
    result.AnsiCodePage = ansiCodePage;
    std::vector<std::int64_t> frames;
    std::vector<TrackEdgePlan> plans, plainPlans;
    for (const TrackFile &t : result.Tracks) {
        frames.push_back(t.Frames);
        plans.push_back(t.Edges);
        plainPlans.push_back(PlainEnd(t.Edges));
    }
    result.Transitions = FindTransitions(result.Segments, frames, format, options.FadeMs, plans);
    result.PlainTransitions =
        FindTransitions(result.Segments, frames, format, options.FadeMs, plainPlans);
    for (std::size_t i = 0; i < result.Transitions.size(); ++i) {
        Transition &t = result.Transitions[i];
        if (std::find(skippedFrom.begin(), skippedFrom.end(), t.From) != skippedFrom.end()) {
            MarkSkip(result, t, options);
            continue;
        }
        if (!t.Crossfaded || CouldHandOver(result, t, options))
            continue;
        // Handed over where only the plain rules allow it: the plan did not reach the plug-in.
        const Transition &plainRules = result.PlainTransitions[i];
        if (!SameFade(plainRules, t) && CouldHandOver(result, plainRules, options, true)) {
            t = PlanNotHeard(t, plainRules);
            continue;
        }
        Transition plain{t.From, t.StartFrame, t.Reopened};
        plain.AcrossFormats = t.AcrossFormats;
        t = plain;
        t.EndedEarly = true;
    }
    // A fade that a skip out of the incoming track cut short mixed only until the skip.
    for (Transition &t : result.Transitions) {
        const auto in = static_cast<std::size_t>(t.From + 1);
        if (t.Crossfaded && in < result.Segments.size() &&
            std::find(skippedFrom.begin(), skippedFrom.end(), t.From + 1) != skippedFrom.end())
            t.OutgoingFrames = std::min(t.OutgoingFrames, result.Segments[in].Frames);
    }
    for (const Segment &s : result.Segments) {
        const auto run = static_cast<std::size_t>(s.File);
        if (result.Runs.size() <= run)
            result.Runs.resize(run + 1, {format, 0, 0.0});
        result.Runs[run].Format = FormatOf(s, format);
        result.Runs[run].Frames = std::max(result.Runs[run].Frames, s.StartFrame + s.Frames);
    }
    for (std::size_t run = 1; run < result.Runs.size(); ++run)
        result.Runs[run].StartSeconds =
            result.Runs[run - 1].StartSeconds +
            Seconds(result.Runs[run - 1].Frames, result.Runs[run - 1].Format);
    if (!result.Runs.empty())
        result.OutputFrames = result.Runs.front().Frames;
    return result;
}

int TimelineRate(const RenderResult &result) {
    int rate = 1;
    for (const OutputRun &run : RunsOf(result))
        rate = std::max(rate, run.Format.Rate);
    return rate;
}

namespace {

// The run a transition's mixed frames were written to: the incoming track's.
int RunOf(const RenderResult &result, const Transition &t) {
    const auto in = static_cast<std::size_t>(t.From + 1);
    return in < result.Segments.size() ? result.Segments[in].File : 0;
}

} // namespace

PictureSpan PictureSpanOf(const RenderResult &result, const RenderOptions &options) {
    const auto join = static_cast<std::size_t>(options.PngJoin);
    if (join < 1 || join > result.Transitions.size())
        return {};
    const Transition &t = result.Transitions[join - 1];
    const double start = StartSeconds(result, t);
    const double mixed = t.Crossfaded ? Seconds(t.MixedFrames(), IncomingFormat(result, t)) : 0.0;
    const double from = std::max(start - kJoinPictureMarginSeconds, 0.0);
    const double to = std::min(start + mixed + kJoinPictureMarginSeconds, OutputSeconds(result));
    return {from, std::max(to - from, 0.001)};
}

Envelope MeasureOutput(std::span<const std::filesystem::path> runFiles, RenderResult &result,
                       int columns, const PictureSpan &span) {
    const std::vector<OutputRun> runs = RunsOf(result);
    // The envelope's timeline: frames at the highest rate, the runs one after the other, from
    // the span's start.
    const int rate = TimelineRate(result);
    const PcmFormat timeline{rate, runs.front().Format.Channels, runs.front().Format.Bits};
    const double seconds = span.Seconds > 0.0 ? span.Seconds : OutputSeconds(result);
    const double origin = span.Seconds > 0.0 ? span.FromSeconds * rate : 0.0;
    EnvelopeBuilder envelope(timeline, std::llround(seconds * rate), std::max(columns, 1));
    std::vector<PeakMeter> meters;
    for (const Transition &t : result.Transitions) {
        const auto run = std::min(static_cast<std::size_t>(RunOf(result, t)), runs.size() - 1);
        meters.emplace_back(runs[run].Format, t.StartFrame, t.Crossfaded ? t.MixedFrames() : 0);
    }

    const std::size_t count = std::min(runs.size(), runFiles.size());
    for (std::size_t run = 0; run < count; ++run) {
        const PcmFormat &format = runs[run].Format;
        const double scale = static_cast<double>(rate) / std::max(format.Rate, 1);
        const double start = runs[run].StartSeconds * rate;
        std::ifstream in(runFiles[run], std::ios::binary);
        in.seekg(static_cast<std::streamoff>(kWavHeaderBytes));
        std::vector<std::uint8_t> chunk(
            static_cast<std::size_t>(kReadFrames * format.FrameBytes()));
        for (std::int64_t at = 0; at < runs[run].Frames && in;) {
            const std::int64_t want = std::min(kReadFrames, runs[run].Frames - at);
            in.read(reinterpret_cast<char *>(chunk.data()), want * format.FrameBytes());
            const std::int64_t got = in.gcount() / format.FrameBytes();
            const std::span<const std::uint8_t> frames(
                chunk.data(), static_cast<std::size_t>(got * format.FrameBytes()));
            for (std::size_t i = 0; i < meters.size(); ++i)
                if (RunOf(result, result.Transitions[i]) == static_cast<int>(run))
                    meters[i].Feed(at, frames);
            if (columns > 0)
                envelope.FeedScaled(format, start - origin + static_cast<double>(at) * scale, scale,
                                    frames);
            at += got;
            if (got == 0)
                break;
        }
    }
    result.PeakDbfs.clear();
    for (const PeakMeter &m : meters)
        result.PeakDbfs.push_back(ToDbfs(m.Peak()));
    return envelope.Take();
}

Envelope MeasureOutput(const std::filesystem::path &wavFile, RenderResult &result, int columns) {
    return MeasureOutput(std::span<const std::filesystem::path>(&wavFile, 1), result, columns);
}

namespace {

std::vector<std::uint8_t> ReadOutputFrames(const std::filesystem::path &wavFile,
                                           const PcmFormat &format, std::int64_t first,
                                           std::int64_t count) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count * format.FrameBytes()));
    std::ifstream in(wavFile, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(kWavHeaderBytes + first * format.FrameBytes()));
    in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

// One sample relative to silence, in the format's own units.
double Centred(const std::uint8_t *sample, int bits) {
    std::int64_t value = 0;
    for (int byte = bits / 8 - 1; byte >= 0; --byte)
        value = (value << 8) | sample[byte];
    if (bits == 8)
        return static_cast<double>(value - 128);
    if (value & (std::int64_t{1} << (bits - 1)))
        value -= std::int64_t{1} << bits;
    return static_cast<double>(value);
}

// The mean square of the frames [first, first + count) of pcm, as fractions of full scale.
double MeanSquare(const std::vector<std::uint8_t> &pcm, const PcmFormat &format, std::int64_t first,
                  std::int64_t count) {
    const int width = format.Bits / 8;
    double sum = 0.0;
    std::int64_t samples = 0;
    for (std::int64_t f = first; f < first + count; ++f) {
        for (int c = 0; c < format.Channels; ++c) {
            const std::size_t at = static_cast<std::size_t>((f * format.Channels + c) * width);
            if (at + width > pcm.size())
                continue;
            const double unit = SampleUnit(&pcm[at], format.Bits);
            sum += unit * unit;
            ++samples;
        }
    }
    return samples > 0 ? sum / static_cast<double>(samples) : 0.0;
}

// The samples of the incoming frames 1..n whose mix with the outgoing sound lies beyond the
// format's limits, with the engine's arithmetic: gains per frame, truncation toward zero.
std::int64_t CountSaturated(const Transition &t, Curve curve, const PcmFormat &format,
                            const std::vector<std::uint8_t> &incoming,
                            const std::vector<std::uint8_t> &outgoing) {
    const int width = format.Bits / 8;
    const double low = format.Bits == 8 ? -128.0 : -std::ldexp(1.0, format.Bits - 1);
    const double high = -low - 1.0;
    const std::size_t samples = std::min(incoming.size(), outgoing.size()) / width;
    std::int64_t saturated = 0;
    for (std::size_t i = 0; i < samples; ++i) {
        const auto k = static_cast<std::int64_t>(i / format.Channels) + 1;
        const double mixed = t.IncomingGain(k, curve) * Centred(&incoming[i * width], format.Bits) +
                             t.OutgoingGain(k, curve) * Centred(&outgoing[i * width], format.Bits);
        const double truncated = std::trunc(mixed);
        if (truncated < low || truncated > high)
            ++saturated;
    }
    return saturated;
}

} // namespace

namespace {

// How much a weight of the fit below may differ from 1 where the sound tells it exactly: room
// for a block's difference in where the curve starts. A fade cut (the outgoing track gone at
// once, the incoming one at full level) moves them by 0.5 and 1.
constexpr double kWeightSlack = 0.1;
// The output's own noise, in steps of its format: the mix truncates each sample.
constexpr double kTruncationPower = 1.0;

// The least-squares weights of the two tracks in the output's frames of a fade, each track at the
// gain the curve gives it frame by frame: 1 and 1 where the output holds the curve's mix. Fed the
// whole fade piece by piece, so that a quiet stretch of either track (the incoming one's first
// second near silence, say) weighs only as much as the sound it holds.
class MixFit {
  public:
    MixFit(const Transition &t, Curve curve, const PcmFormat &format)
        : t_(t), curve_(curve), format_(format) {}

    // Frames [first + 1, first + count] of the fade (counted from 1), as the output holds them
    // and as the two tracks' files do.
    void Feed(std::int64_t first, std::span<const std::uint8_t> heard,
              std::span<const std::uint8_t> incoming, std::span<const std::uint8_t> outgoing) {
        const int width = format_.Bits / 8;
        const std::size_t samples = std::min({heard.size(), incoming.size(), outgoing.size()}) /
                                    static_cast<std::size_t>(width);
        for (std::size_t i = 0; i < samples; ++i) {
            const std::int64_t k = first + static_cast<std::int64_t>(i) / format_.Channels + 1;
            const double u =
                t_.IncomingGain(k, curve_) * Centred(&incoming[i * width], format_.Bits);
            const double v =
                t_.OutgoingGain(k, curve_) * Centred(&outgoing[i * width], format_.Bits);
            const double h = Centred(&heard[i * width], format_.Bits);
            uu_ += u * u, vv_ += v * v, uv_ += u * v, hu_ += h * u, hv_ += h * v, hh_ += h * h;
            ++samples_;
        }
    }

    // Whether the output holds the curve's mix, as far as the sound tells: each weight within
    // kWeightSlack of 1, and four standard errors more where the track is too quiet against the
    // output's noise to pin its weight down (a track silent throughout the fade tells nothing).
    // Answers what the weights leave unexplained per sample, to compare curves by; none where the
    // output does not hold the mix.
    std::optional<double> Unexplained() const {
        // Where the two tracks cannot be told apart nothing says the fade was cut, but a fade
        // the sound does tell ranks before this one.
        const double determinant = uu_ * vv_ - uv_ * uv_;
        if (samples_ == 0 || !(determinant > 1e-9 * uu_ * vv_))
            return std::numeric_limits<double>::max();
        const double in = (hu_ * vv_ - hv_ * uv_) / determinant;
        const double out = (hv_ * uu_ - hu_ * uv_) / determinant;
        const double rest = ResidualPower(in, out);
        const double noise = std::max(rest, kTruncationPower);
        const double inSlack = kWeightSlack + 4.0 * std::sqrt(noise * vv_ / determinant);
        const double outSlack = kWeightSlack + 4.0 * std::sqrt(noise * uu_ / determinant);
        if (std::abs(in - 1.0) > inSlack || std::abs(out - 1.0) > outSlack)
            return std::nullopt;
        return rest;
    }

  private:
    // What the weights leave unexplained, per sample.
    double ResidualPower(double in, double out) const {
        const double rest = hh_ - 2.0 * in * hu_ - 2.0 * out * hv_ + in * in * uu_ +
                            2.0 * in * out * uv_ + out * out * vv_;
        return std::max(rest, 0.0) / static_cast<double>(std::max<std::int64_t>(samples_ - 2, 1));
    }

    Transition t_;
    Curve curve_;
    PcmFormat format_;
    double uu_ = 0.0, vv_ = 0.0, uv_ = 0.0, hu_ = 0.0, hv_ = 0.0, hh_ = 0.0;
    std::int64_t samples_ = 0;
};

// The fades a hand-over may have been, the plan's first: with own fade-outs followed, the plug-in
// lays a fade over either track's ramp or over none (the speeds of the two gains, see
// TrackEdgePlan::InSpeed); and where its look-ahead has no answer in time, it makes the plain one.
std::vector<Transition> FadesToTry(const RenderResult &result, const Transition &t,
                                   const RenderOptions &options) {
    std::vector<Transition> fades{t};
    const auto tryOne = [&](const Transition &fade) {
        if (std::none_of(fades.begin(), fades.end(),
                         [&](const Transition &f) { return SameFade(f, fade); }))
            fades.push_back(fade);
    };
    if (options.FadeOverOwnFadeOuts) {
        constexpr double ramp = endplan::kRampSpeed;
        for (const auto &[in, out] : {std::pair{1.0, 1.0}, std::pair{ramp, 1.0},
                                      std::pair{1.0, ramp}, std::pair{ramp, ramp}}) {
            Transition sped = t;
            sped.InSpeed = in, sped.OutSpeed = out;
            sped.Reason = in > 1.0    ? MixReason::OwnFadeOut
                          : out > 1.0 ? MixReason::OwnFadeIn
                                      : MixReason::SetTime;
            tryOne(sped);
        }
    }
    const auto index = static_cast<std::size_t>(t.From);
    if (!t.PlanMissed && index < result.PlainTransitions.size() &&
        result.PlainTransitions[index].Crossfaded)
        tryOne(PlanNotHeard(t, result.PlainTransitions[index]));
    return fades;
}

// What the output's frames of a hand-over within one format show over the whole fade: which of
// the fades tried it holds: the plan's where it does, else the one that explains the sound best;
// none where it holds none of them (the fade was cut).
struct HeardFade {
    std::optional<Transition> Fade;
};

std::optional<HeardFade> HearFade(std::span<const std::filesystem::path> runFiles,
                                  const RenderResult &result, const Transition &t,
                                  const RenderOptions &options, const TrackReader &readTrack) {
    const auto run = static_cast<std::size_t>(RunOf(result, t));
    if (t.Skipped || t.AcrossFormats || !t.Crossfaded || run >= runFiles.size() ||
        static_cast<std::size_t>(t.From + 1) >= result.Segments.size())
        return std::nullopt;
    const PcmFormat &format = IncomingFormat(result, t);
    const std::int64_t played =
        result.Segments[static_cast<std::size_t>(t.From)].Frames + t.OutgoingSkipped;
    const std::vector<Transition> fades = FadesToTry(result, t, options);
    std::vector<MixFit> fits;
    std::int64_t longest = 0;
    for (const Transition &fade : fades) {
        fits.emplace_back(fade, CurveOf(options), format);
        longest = std::max(longest, fade.MixedFrames());
    }
    bool heardAny = false;
    for (std::int64_t at = 0; at < longest; at += kReadFrames) {
        const std::int64_t count = std::min(kReadFrames, longest - at);
        const std::vector<std::uint8_t> heard =
            ReadOutputFrames(runFiles[run], format, t.StartFrame + at, count);
        if (heard.empty())
            break;
        heardAny = true;
        const std::vector<std::uint8_t> incoming =
            readTrack(t.From + 1, t.IncomingSkipped + at, count);
        const std::vector<std::uint8_t> outgoing = readTrack(t.From, played + at, count);
        for (std::size_t i = 0; i < fades.size(); ++i) {
            // Each fade is judged over its own mix.
            const std::int64_t own =
                std::clamp<std::int64_t>(fades[i].MixedFrames() - at, 0, count);
            const auto bytes = static_cast<std::size_t>(own * format.FrameBytes());
            fits[i].Feed(at, std::span(heard).first(std::min(bytes, heard.size())),
                         std::span(incoming).first(std::min(bytes, incoming.size())),
                         std::span(outgoing).first(std::min(bytes, outgoing.size())));
        }
    }
    if (!heardAny)
        return std::nullopt;
    // Fades that differ by a little (the plain one a few milliseconds longer) may fit about as
    // well: the plan stands wherever the output holds it.
    if (fits.front().Unexplained())
        return HeardFade{fades.front()};
    std::optional<std::size_t> best;
    std::optional<double> bestRest;
    for (std::size_t i = 1; i < fits.size(); ++i) {
        const std::optional<double> rest = fits[i].Unexplained();
        if (rest && (!bestRest || *rest < *bestRest))
            best = i, bestRest = rest;
    }
    if (!best)
        return HeardFade{};
    return HeardFade{fades[*best]};
}

} // namespace

void ConfirmFades(std::span<const std::filesystem::path> runFiles, RenderResult &result,
                  const RenderOptions &options, const TrackReader &readTrack) {
    for (Transition &t : result.Transitions) {
        if (const std::optional<HeardFade> heard =
                HearFade(runFiles, result, t, options, readTrack)) {
            if (!heard->Fade) {
                Transition cut{t.From, t.StartFrame, t.Reopened};
                cut.NotHeardMixed = true;
                t = cut;
            } else {
                t = *heard->Fade;
            }
            continue;
        }
        const auto run = static_cast<std::size_t>(RunOf(result, t));
        if (!t.Skipped || !t.AcrossFormats || !t.Crossfaded || run >= runFiles.size())
            continue;
        const PcmFormat &format = IncomingFormat(result, t);
        const std::int64_t frames =
            std::min<std::int64_t>(t.MixedFrames(), std::max(format.Rate / 10, 1));
        const std::vector<std::uint8_t> heard =
            ReadOutputFrames(runFiles[run], format, t.StartFrame, frames);
        if (heard.empty() || heard != readTrack(t.From + 1, 0, frames))
            continue;
        Transition plain{t.From, t.StartFrame, t.Reopened};
        plain.Skipped = true;
        plain.AcrossFormats = true;
        t = plain;
    }
}

namespace {

// The track at full level in the middle of a fade over the other one's own ramp (the incoming
// one over a fade-out, the outgoing one over a fade-in): the fade should sound as loud as it
// there. Over both tracks' ramps both are at full level there, each fading by itself: the fade
// should sound as loud as the two together. Elsewhere the two tracks' mean.
FadeMeasure::Against LouderAtTheMiddle(const Transition &t) {
    const bool in = t.InSpeed > 1.0, out = t.OutSpeed > 1.0;
    return in && out ? FadeMeasure::Against::BothTogether
           : in      ? FadeMeasure::Against::Incoming
           : out     ? FadeMeasure::Against::Outgoing
                     : FadeMeasure::Against::BothTracks;
}

} // namespace

void MeasureFades(std::span<const std::filesystem::path> runFiles, RenderResult &result,
                  const RenderOptions &options, const TrackReader &readTrack) {
    const Curve curve = CurveOf(options);
    result.Fades.assign(result.Transitions.size(), {});
    for (std::size_t i = 0; i < result.Transitions.size(); ++i) {
        const Transition &t = result.Transitions[i];
        const auto run = static_cast<std::size_t>(RunOf(result, t));
        // A skip goes on from the heard position, which the output's record cannot tell exactly.
        if (!t.Crossfaded || t.Skipped ||
            static_cast<std::size_t>(t.From + 1) >= result.Segments.size() ||
            run >= runFiles.size())
            continue;
        // Frames of the incoming track and the output; the outgoing track's at its own rate.
        const PcmFormat &format = SegmentFormat(result, t.From + 1);
        const PcmFormat &outFormat = SegmentFormat(result, t.From);
        const double outPerIn = static_cast<double>(outFormat.Rate) / std::max(format.Rate, 1);
        const std::int64_t mixed = t.MixedFrames();
        const std::int64_t played =
            result.Segments[static_cast<std::size_t>(t.From)].Frames + t.OutgoingSkipped;
        const std::vector<std::uint8_t> incoming = readTrack(t.From + 1, t.IncomingSkipped, mixed);
        FadeMeasure &measure = result.Fades[i];
        if (!t.AcrossFormats)
            measure.Saturated =
                CountSaturated(t, curve, format, incoming, readTrack(t.From, played, mixed));

        const std::int64_t window = std::int64_t{format.Rate} * kLoudnessWindowMs / 1000;
        const std::int64_t first = t.CurveFrames / 2 - window / 2;
        if (window < 1 || first < 0 || first + window > mixed)
            continue;
        const std::int64_t outWindow = std::max<std::int64_t>(std::llround(window * outPerIn), 1);
        const std::vector<std::uint8_t> outgoing =
            readTrack(t.From, played + std::llround(first * outPerIn), outWindow);
        const std::vector<std::uint8_t> output =
            ReadOutputFrames(runFiles[run], format, t.StartFrame + first, window);
        const double in = MeanSquare(incoming, format, first, window);
        const double out = MeanSquare(outgoing, outFormat, 0, outWindow);
        measure.MiddleAgainst = LouderAtTheMiddle(t);
        using Against = FadeMeasure::Against;
        const double own = measure.MiddleAgainst == Against::Incoming       ? in
                           : measure.MiddleAgainst == Against::Outgoing     ? out
                           : measure.MiddleAgainst == Against::BothTogether ? in + out
                                                                            : (in + out) / 2.0;
        const double heard = MeanSquare(output, format, 0, window);
        if (own > 0.0 && heard > 0.0)
            measure.MiddleDb = 10.0 * std::log10(heard / own);
    }
}

void MeasureFades(const std::filesystem::path &wavFile, RenderResult &result,
                  const RenderOptions &options, const TrackReader &readTrack) {
    MeasureFades(std::span<const std::filesystem::path>(&wavFile, 1), result, options, readTrack);
}

std::vector<std::string> NoCrossfadeReasons(const RenderResult &result, const Transition &t,
                                            const RenderOptions &options) {
    std::vector<std::string> why;
    const auto number = [](int track) { return "track " + std::to_string(track + 1); };
    if (t.Skipped) {
        if (options.SkipFadeMs <= 0 && options.SkipFadeGiven)
            why.push_back("--skip-fade-ms 0 turns the fade on skip off: give it more than 0 ms "
                          "to fade when skipping");
        else if (options.SkipFadeMs <= 0)
            why.push_back("the fade on skip is off: give --skip-fade-ms to fade when skipping");
        else if (t.AcrossFormats && !options.FadeAcrossFormats)
            why.push_back("the tracks differ in format (" +
                          FormatDescription(TrackFormat(result, t.From)) + " > " +
                          FormatDescription(TrackFormat(result, t.From + 1)) +
                          "): give --fade-across-formats to fade across them");
        else if (t.AcrossFormats)
            why.push_back(number(t.From) +
                          " could not go on from where it was heard, converted to the next "
                          "track's format (its format cannot be converted)");
        else
            why.push_back(number(t.From) + " could not go on from where it was heard (the "
                                           "tracks differ in format)");
        return why;
    }
    // The plug-in left the file to its own plug-in, which plays it alone (a note says why).
    for (int track : {t.From, t.From + 1}) {
        const auto index = static_cast<std::size_t>(track);
        if (index < result.Segments.size() && !ByPlugin(result, result.Segments[index]))
            why.push_back(number(track) + " was played by " + FilePluginOf(result, track) +
                          " itself, not by the plug-in (see the note below)");
    }
    const int outMs = LengthMsOf(result, t.From), inMs = LengthMsOf(result, t.From + 1);
    if (outMs <= options.MinMs)
        why.push_back(number(t.From) + " (" + Seconds3(outMs / 1000.0) +
                      ") is not longer than MinFileSize (" + std::to_string(options.MinMs) +
                      " ms): give --min-ms less than " + std::to_string(outMs) + " to fade it out");
    if (inMs < options.MinMs)
        why.push_back(number(t.From + 1) + " (" + Seconds3(inMs / 1000.0) +
                      ") is shorter than MinFileSize (" + std::to_string(options.MinMs) +
                      " ms): give --min-ms " + std::to_string(inMs) + " or less to fade into it");
    if (options.FadeMs <= 0)
        why.push_back("FadeTime is 0 ms: give --fade-ms more than 0");
    else if (options.FadeMs < 2 * kBlockMs)
        why.push_back(Printf("FadeTime %d ms is shorter than %s of the plug-in's (a block is "
                             "1/64 s, %.1f ms): it looks once a block whether the track's end is "
                             "less than FadeTime away, and a fade this short falls between two "
                             "looks; give --fade-ms %d or more",
                             options.FadeMs, options.FadeMs < kBlockMs ? "one block" : "two blocks",
                             kBlockMs, static_cast<int>(std::ceil(2 * kBlockMs))));
    const std::string formats = t.AcrossFormats
                                    ? FormatDescription(TrackFormat(result, t.From)) + " > " +
                                          FormatDescription(TrackFormat(result, t.From + 1))
                                    : std::string();
    const int outChannels = TrackFormat(result, t.From).Channels;
    const int inChannels = TrackFormat(result, t.From + 1).Channels;
    if (t.AcrossFormats && !options.FadeAcrossFormats)
        why.push_back("the tracks differ in format (" + formats +
                      "): give --fade-across-formats to crossfade them");
    else if (t.AcrossFormats && outChannels != inChannels && std::max(outChannels, inChannels) > 2)
        why.push_back("the tracks differ in format (" + formats +
                      "): across formats the plug-in converts only mono to stereo and back");
    if (t.NotHeardMixed)
        why.push_back(number(t.From) + " was handed over, but the output does not hold it fading "
                                       "out as the curve gives: the fade was cut");
    if (t.EndedEarly) {
        const Segment &out = result.Segments[static_cast<std::size_t>(t.From)];
        why.push_back(number(t.From) + "'s decoder ended early, after " +
                      Seconds3(Seconds(out.Frames, SegmentFormat(result, t.From))) + " of its " +
                      Seconds3(outMs / 1000.0) + " (is the file cut short or unreadable?)");
    }
    if (why.empty() && t.AcrossFormats)
        why.push_back("the tracks differ in format (" + formats +
                      ") and the plug-in re-opened the output without a crossfade (does this "
                      "version crossfade across formats?)");
    if (why.empty())
        why.push_back("the plug-in did not hand " + number(t.From) +
                      " over, for no reason the output shows (could it not open the next "
                      "entry?)");
    return why;
}

std::vector<std::string> ReportNotes(const RenderResult &result, const RenderOptions &options) {
    std::vector<std::string> notes;
    for (const Transition &t : result.Transitions) {
        const int lengthMs = LengthMsOf(result, t.From);
        if (!t.Crossfaded || options.FadeMs <= lengthMs)
            continue;
        const std::string longer = "FadeTime " + std::to_string(options.FadeMs) +
                                   " ms is longer than track " + std::to_string(t.From + 1) + " (" +
                                   ShortSeconds(lengthMs) + "): ";
        // Handed over at its first block, or only once the fade into it had ended (the plug-in
        // fades one track at a time).
        if (t.RemainingMs >= lengthMs - kFirstBlocksMs)
            notes.push_back(longer + "it fades out from its start");
        else
            notes.push_back(longer +
                            "it fades out as soon as the crossfade into it ends, over "
                            "its last " +
                            Seconds3(t.FadeSeconds));
    }
    for (std::size_t i = 0; i < result.Skips.size() && i < options.SkipAtSeconds.size(); ++i) {
        const std::string at = "--skip-at " + FormatTime(options.SkipAtSeconds[i], true);
        if (result.Skips[i] == SkipOutcome::InLastTrack)
            notes.push_back(at + " came during the last track, which has no next one: Next did "
                                 "nothing");
        else if (result.Skips[i] == SkipOutcome::NotReached)
            notes.push_back(at + " is past the end of the output (" +
                            FormatTime(OutputSeconds(result), true) +
                            "): Next was not pressed; give an earlier time");
    }
    const std::size_t count = std::min(result.Segments.size(), result.Tracks.size());
    for (std::size_t i = 0; i < count; ++i) {
        if (ByPlugin(result, result.Segments[i]))
            continue;
        std::string note = "the plug-in could not open track " + std::to_string(i + 1) + " (" +
                           result.Tracks[i].Name + ") itself and left it to " +
                           FilePluginOf(result, static_cast<int>(i)) +
                           ", which plays it without crossfades";
        if (result.Tracks[i].NameOutsideAnsi)
            note += ": its path (name or folder) has characters outside the ANSI code page" +
                    (result.AnsiCodePage > 0 ? " (" + std::to_string(result.AnsiCodePage) + ")"
                                             : std::string()) +
                    ", which this version of the plug-in cannot pass on. Rename or move the file "
                    "so that its path has only characters of that code page, to crossfade it";
        notes.push_back(note);
    }
    return notes;
}

namespace {

bool FollowsTheMusic(const RenderOptions &options) {
    return options.SkipSilence || options.FadeOverOwnFadeOuts || options.AlbumsThrough;
}

const char *ReasonText(MixReason reason) {
    switch (reason) {
    case MixReason::OwnFadeOut:
        return "its own fade-out";
    case MixReason::OwnFadeIn:
        return "the next track's own fade-in";
    case MixReason::AlbumJoin:
        return "an album join";
    case MixReason::SetTime:
        break;
    }
    return "the set time";
}

// Why the plug-in acted on the reason it did, where the tracks' files suggest another: the
// output holds a fade other than their plan (a look-ahead too late for it), or the outgoing
// track's own fade-out reached the silence threshold before it had fallen far enough to count.
std::string WhyThisReason(const RenderResult &result, const Transition &t) {
    const TrackEdgePlan &plan = result.Tracks[static_cast<std::size_t>(t.From)].Edges;
    if (t.PlanMissed)
        return std::string(" before the file's end: the plug-in's look-ahead had no answer in "
                           "time, so the fade is the plain one (the files give ") +
               ReasonText(t.FilesReason) + ", ending at " + FormatTime(plan.EndMs / 1000.0, true) +
               "; a lower --speed gives the look-ahead more time)";
    if (t.Reason != t.FilesReason)
        return std::string(" (the files give ") + ReasonText(t.FilesReason) +
               ", but the output holds this fade: was the plug-in's look-ahead late?)";
    const int cutAt = plan.OwnFadeOutCutAtDb;
    if (t.Reason == MixReason::SetTime && cutAt != 0)
        return Printf(" (its own fade-out falls below %d dBFS, where silence is skipped, before it "
                      "has fallen far enough to count as one: it is trimmed as silence from there)",
                      cutAt);
    return {};
}

// The settings lines of the options that follow the music, each only when chosen.
std::string FollowingSettings(const RenderOptions &options) {
    std::string out;
    if (options.SkipSilence)
        out += Printf("          SkipSilence 1, SilenceThreshold %d dBFS (skip silence at track "
                      "edges)\n",
                      options.SilenceThresholdDb);
    if (options.FadeOverOwnFadeOuts)
        out += Printf("          FadeOverOwnFadeOut 1, OwnFadeOutDrop %d dB (crossfade over a "
                      "track's own fade-out)\n",
                      options.OwnFadeOutDropDb);
    if (options.AlbumsThrough)
        out += "          PlayAlbumsThrough 1 (albums joined without a crossfade)\n";
    return out;
}

} // namespace

namespace {

// The loudness in the middle of a fade, against what it is measured by.
std::string MiddleLine(const Transition &t, const FadeMeasure &measure) {
    const std::string figure = Printf("middle of the fade: %+.1f dB against ", measure.MiddleDb);
    const std::string window = Printf(" (RMS over %d ms)", kLoudnessWindowMs);
    const int out = t.From + 1, in = t.From + 2;
    switch (measure.MiddleAgainst) {
    case FadeMeasure::Against::Incoming:
        return figure +
               Printf("track %d's own loudness there, which is in at full level by the "
                      "middle of a fade over track %d's own fade-out",
                      in, out) +
               window;
    case FadeMeasure::Against::Outgoing:
        return figure +
               Printf("track %d's own loudness there, which holds its full level until "
                      "the middle of a fade over track %d's own fade-in",
                      out, in) +
               window;
    case FadeMeasure::Against::BothTogether:
        return figure +
               Printf("the two tracks' own sound together there, both at full level by "
                      "the middle of a fade over track %d's own fade-out and track %d's "
                      "own fade-in",
                      out, in) +
               window;
    case FadeMeasure::Against::BothTracks:
        break;
    }
    return figure + "the two tracks' own loudness" + window;
}

} // namespace

std::string MixPointLine(const RenderResult &result, const Transition &t) {
    const std::string out = "track " + std::to_string(t.From + 1);
    const std::string in = "track " + std::to_string(t.From + 2);
    if (!t.Crossfaded)
        return "album join: no crossfade, " + in + " written straight on after the last sample "
               "of " + out + " (gapless)";
    std::vector<std::string> trimmed;
    if (t.TrailingTrimmedMs > 0)
        trimmed.push_back(Seconds3(t.TrailingTrimmedMs / 1000.0) + " at the end of " + out);
    // A fade-in's first samples below the threshold are read past too: not worth a mention.
    const double leading = Seconds(t.IncomingSkipped, TrackFormat(result, t.From + 1));
    if (leading >= 0.0005)
        trimmed.push_back(Seconds3(leading) + " at the start of " + in);
    std::string line = "fade started at " + FormatTime(t.FadeStartMs / 1000.0, true) + " of " +
                       out + ", for " + ReasonText(t.Reason) + WhyThisReason(result, t) +
                       "; silence trimmed: ";
    if (trimmed.empty())
        return line + "none";
    for (std::size_t i = 0; i < trimmed.size(); ++i)
        line += (i ? ", " : "") + trimmed[i];
    return line;
}

std::string FormatReport(const RenderResult &result, const RenderOptions &options) {
    const PcmFormat &f = result.Format;
    std::string out;
    out += Printf("settings: FadeTime %d ms, MinFileSize %d ms, LogTrans %d (%s), "
                  "PlaybackThreadPriority %s\n",
                  options.FadeMs, options.MinMs, options.LogCurve ? 1 : 0,
                  options.LogCurve ? "logarithmic" : "linear", options.Priority.c_str());
    if (options.EqualPower)
        out += "          EqualPowerTrans 1 (equal-power curve, in place of LogTrans)\n";
    if (options.SkipFadeMs > 0)
        out +=
            Printf("          SkipFade 1, SkipFadeTime %d ms (fade on skip)\n", options.SkipFadeMs);
    if (options.FadeAcrossFormats)
        out += "          FadeAcrossFormats 1 (crossfade tracks of different formats)\n";
    out += FollowingSettings(options);
    // Columns by what a terminal shows: wide characters take two, combining marks none. The
    // tracks' formats show when they differ.
    // The tracks' plug-ins show where the user's folder played them.
    const bool mixed = MixedFormats(result);
    const bool plugins = std::any_of(result.Tracks.begin(), result.Tracks.end(),
                                     [](const TrackFile &t) { return !t.Plugin.empty(); });
    const int numberWidth = static_cast<int>(std::to_string(result.Tracks.size()).size());
    int nameWidth = 5, formatWidth = 6, pluginWidth = 7;
    for (int i = 0; i < static_cast<int>(result.Tracks.size()); ++i) {
        nameWidth = std::max(nameWidth, TextColumns(result.Tracks[i].Name));
        formatWidth = std::max(formatWidth,
                               static_cast<int>(FormatDescription(TrackFormat(result, i)).size()));
        pluginWidth = std::max(pluginWidth, TextColumns(result.Tracks[i].Plugin));
    }
    const auto formatColumn = [&](const std::string &text) {
        return mixed ? "  " + PadColumns(text, formatWidth) : std::string();
    };
    const auto pluginColumn = [&](const std::string &text) {
        return plugins ? "  " + PadColumns(text, pluginWidth) : std::string();
    };
    out += Printf("\n  %*s  ", numberWidth, "#") + PadColumns("track", nameWidth) +
           Printf("  %10s", "length") + formatColumn("format") + pluginColumn("plug-in") +
           "   in the output\n";
    for (std::size_t i = 0; i < result.Tracks.size(); ++i) {
        const TrackFile &t = result.Tracks[i];
        const PcmFormat &own = TrackFormat(result, static_cast<int>(i));
        std::string place = "(not played)";
        if (i < result.Segments.size()) {
            const Segment &s = result.Segments[i];
            const double start = StartSeconds(result, s);
            place = FormatTime(start, true) + " - " +
                    FormatTime(start + Seconds(s.Frames, FormatOf(s, f)), true);
        }
        out += Printf("  %*d  ", numberWidth, static_cast<int>(i + 1)) +
               PadColumns(t.Name, nameWidth) +
               Printf("  %10s", FormatTime(Seconds(t.Frames, own), true).c_str()) +
               formatColumn(FormatDescription(own)) + pluginColumn(t.Plugin) + "   " + place + "\n";
    }
    out += result.Runs.size() > 1
               ? "\ntransitions (times in the output, its files one after the other):\n"
               : "\ntransitions (times in the output):\n";
    if (result.Transitions.empty())
        out += "  none\n";
    for (std::size_t i = 0; i < result.Transitions.size(); ++i) {
        const Transition &t = result.Transitions[i];
        out += Printf("  %*d > %-*d  at %s  ", numberWidth, t.From + 1, numberWidth, t.From + 2,
                      FormatTime(StartSeconds(result, t), true).c_str());
        const PcmFormat &in = IncomingFormat(result, t);
        const std::string indent(static_cast<std::size_t>(2 * numberWidth + 9), ' ');
        if (!t.Crossfaded && !t.Skipped && t.Reason == MixReason::AlbumJoin) {
            out += MixPointLine(result, t) + "\n";
            continue;
        }
        if (!t.Crossfaded) {
            const std::vector<std::string> reasons = NoCrossfadeReasons(result, t, options);
            out += std::string(t.Skipped ? "skip (Next pressed), no fade" : "no crossfade") +
                   std::string(t.Reopened ? " (output re-opened)" : "") + ":\n";
            for (const std::string &reason : reasons)
                out += std::string(static_cast<std::size_t>(2 * numberWidth + 9), ' ') + "- " +
                       reason + "\n";
            continue;
        }
        // The curve runs a little longer than the outgoing sound: what was left of the track
        // counts the block written at the hand-over.
        out += Printf("%s %.3f s (curve %.3f s)",
                      t.Skipped ? "skip (Next pressed), fade" : "crossfade",
                      Seconds(t.MixedFrames(), in), t.FadeSeconds);
        const double peak = i < result.PeakDbfs.size() ? result.PeakDbfs[i] : 0.0;
        out += "  peak " + Dbfs(peak);
        const FadeMeasure measure = i < result.Fades.size() ? result.Fades[i] : FadeMeasure{};
        if (measure.Saturated > 0)
            out += Printf("  saturated %lld samples", static_cast<long long>(measure.Saturated));
        out += "\n";
        if (FollowsTheMusic(options) && !t.Skipped)
            out += indent + MixPointLine(result, t) + "\n";
        if (t.AcrossFormats)
            out += indent + "across formats: " + FormatDescription(TrackFormat(result, t.From)) +
                   " > " + FormatDescription(in) +
                   "; the output re-opened, the outgoing track's end converted\n";
        if (std::isfinite(measure.MiddleDb))
            out += indent + MiddleLine(t, measure) + "\n";
    }
    const std::vector<std::string> notes = ReportNotes(result, options);
    if (!notes.empty())
        out += "\n";
    for (const std::string &note : notes)
        out += "note: " + note + "\n";
    if (result.Segments.size() != result.Tracks.size())
        out += Printf("\nnote: the output received %d tracks for %d playlist entries; tracks "
                      "are matched in order\n",
                      static_cast<int>(result.Segments.size()),
                      static_cast<int>(result.Tracks.size()));
    return out;
}

namespace {

// "4 tracks, 2 crossfades, 1 skip": a skip is counted as such, whether or not it faded.
std::string PictureTitle(const RenderResult &result, const RenderOptions &options) {
    const auto count = [&](auto which) {
        return static_cast<int>(
            std::count_if(result.Transitions.begin(), result.Transitions.end(), which));
    };
    const int crossfades = count([](const Transition &t) { return t.Crossfaded && !t.Skipped; });
    const int skips = count([](const Transition &t) { return t.Skipped; });
    const auto join = static_cast<std::size_t>(options.PngJoin);
    if (join >= 1 && join <= result.Transitions.size()) {
        const Transition &t = result.Transitions[join - 1];
        return Printf("Halvern Q-Blend: join %d of %d, track %d > %d", static_cast<int>(join),
                      static_cast<int>(result.Transitions.size()), t.From + 1, t.From + 2);
    }
    std::string title =
        Printf("Halvern Q-Blend: %d tracks, %d crossfade%s", static_cast<int>(result.Tracks.size()),
               crossfades, crossfades == 1 ? "" : "s");
    if (skips > 0)
        title += Printf(", %d skip%s", skips, skips == 1 ? "" : "s");
    return title;
}

std::string PictureSubtitle(const RenderResult &result, const RenderOptions &options,
                            const PictureSpan &span) {
    std::string formats = FormatDescription(result.Format);
    if (MixedFormats(result)) {
        std::vector<PcmFormat> seen;
        for (int i = 0; i < static_cast<int>(result.Tracks.size()); ++i)
            if (std::find(seen.begin(), seen.end(), TrackFormat(result, i)) == seen.end())
                seen.push_back(TrackFormat(result, i));
        formats = Printf("%d formats", static_cast<int>(seen.size()));
    }
    std::string length = FormatTime(OutputSeconds(result), true);
    if (span.Seconds > 0.0)
        length = FormatTime(span.FromSeconds, true) + " to " +
                 FormatTime(span.FromSeconds + span.Seconds, true) + " of " + length;
    return Printf("FadeTime %d ms, %s curve, %s, %s", options.FadeMs, CurveName(CurveOf(options)),
                  formats.c_str(), length.c_str());
}

} // namespace

PlotInput MakePlotInput(const RenderResult &result, const RenderOptions &options, Envelope wave) {
    PlotInput input;
    const PictureSpan span = PictureSpanOf(result, options);
    input.Title = PictureTitle(result, options);
    input.Subtitle = PictureSubtitle(result, options, span);
    const bool mixed = MixedFormats(result);
    // One timeline for runs of several rates: frames at the highest of them, from the span's
    // start.
    const int rate = TimelineRate(result);
    const auto onTimeline = [&](double seconds) {
        return static_cast<std::int64_t>(std::llround((seconds - span.FromSeconds) * rate));
    };
    input.Format = {rate, result.Format.Channels, result.Format.Bits};
    input.StartSeconds = span.FromSeconds;
    input.TotalFrames =
        std::llround((span.Seconds > 0.0 ? span.Seconds : OutputSeconds(result)) * rate);
    for (std::size_t i = 0; i < result.Segments.size(); ++i) {
        const Segment &segment = result.Segments[i];
        const double start = StartSeconds(result, segment);
        PlotTrack track{
            i < result.Tracks.size() ? result.Tracks[i].Name : std::string("?"), onTimeline(start),
            onTimeline(start + Seconds(segment.Frames, FormatOf(segment, result.Format))) -
                onTimeline(start)};
        if (mixed && i < result.Tracks.size())
            track.Note = ShortFormat(TrackFormat(result, static_cast<int>(i)));
        input.Tracks.push_back(std::move(track));
    }
    for (std::size_t i = 0; i < result.Transitions.size(); ++i) {
        const Transition &t = result.Transitions[i];
        // Counted in the incoming track's frames; the picture counts on the timeline.
        const double scale =
            static_cast<double>(rate) / std::max(IncomingFormat(result, t).Rate, 1);
        Transition drawn = t;
        drawn.StartFrame = onTimeline(StartSeconds(result, t));
        if (scale != 1.0) {
            drawn.Step = t.Step / scale;
            drawn.CurveFrames = std::llround(static_cast<double>(t.CurveFrames) * scale);
            drawn.OutgoingFrames = std::llround(static_cast<double>(t.OutgoingFrames) * scale);
        }
        // A join of which nothing lies in the picture's span is left out, with its figures.
        if (drawn.StartFrame > input.TotalFrames ||
            drawn.StartFrame + (t.Crossfaded ? drawn.MixedFrames() : 0) < 0)
            continue;
        if (mixed || span.Seconds > 0.0)
            input.TransitionSeconds.push_back(StartSeconds(result, t));
        input.PeakDbfs.push_back(i < result.PeakDbfs.size() ? result.PeakDbfs[i] : 0.0);
        input.Transitions.push_back(drawn);
        if (!t.Crossfaded)
            continue;
        const auto incoming = std::llround(static_cast<double>(t.IncomingSkipped) * scale);
        if (incoming > 0)
            input.NotPlayed.push_back({drawn.StartFrame - incoming, incoming});
        const auto trailing = std::llround(t.TrailingTrimmedMs * 0.001 * rate);
        if (trailing > 0)
            input.NotPlayed.push_back({drawn.StartFrame + drawn.MixedFrames(), trailing});
    }
    input.ShowReasons = FollowsTheMusic(options);
    input.Wave = std::move(wave);
    input.FadeCurve = CurveOf(options);
    return input;
}

} // namespace demo
