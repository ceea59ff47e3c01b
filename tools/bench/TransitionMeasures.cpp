#include "TransitionMeasures.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <map>
#include <numbers>
#include <optional>

namespace audit {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kTiny = 1e-9;
// "Just before" a moment: far enough that a piece beginning there does not hold it.
constexpr double kJustBefore = 1e-6;
constexpr double kOwnRiseSeconds = 0.0005;

std::string Text(const char *format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

// ------------------------------------------------------------------ the heard timeline

struct RunBeingBuilt {
    int Rate = 0;
    int Channels = 0;
    int Bits = 0;
    double Start = 0.0;
    double PcmStart = 0.0;
    std::int64_t Bytes = 0;
    double Seconds() const {
        const std::int64_t perSecond = std::int64_t{Rate} * Channels * (Bits / 8);
        return perSecond > 0 ? static_cast<double>(Bytes) / static_cast<double>(perSecond) : 0.0;
    }
};

double SampleAt(const std::uint8_t *bytes, int bits) {
    switch (bits) {
    case 8:
        return (bytes[0] - 128) / 128.0;
    case 16:
        return static_cast<std::int16_t>(bytes[0] | bytes[1] << 8) / 32768.0;
    case 24: {
        std::int32_t v = bytes[0] | bytes[1] << 8 | bytes[2] << 16;
        if (v & 0x800000)
            v -= 0x1000000;
        return v / 8388608.0;
    }
    default:
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(bytes[0]) |
                                         static_cast<std::uint32_t>(bytes[1]) << 8 |
                                         static_cast<std::uint32_t>(bytes[2]) << 16 |
                                         static_cast<std::uint32_t>(bytes[3]) << 24) /
               2147483648.0;
    }
}

HeardRun Decode(const RunBeingBuilt &built, std::span<const std::uint8_t> bytes) {
    HeardRun run;
    run.Rate = built.Rate;
    run.Channels = built.Channels;
    run.Bits = built.Bits;
    run.StartSeconds = built.Start;
    run.PcmSeconds = built.PcmStart;
    const int sampleBytes = built.Bits / 8;
    const int frameBytes = built.Channels * sampleBytes;
    const std::size_t frames = bytes.size() / static_cast<std::size_t>(frameBytes);
    run.Samples.resize(frames);
    for (std::size_t f = 0; f < frames; ++f) {
        double sum = 0.0;
        for (int c = 0; c < built.Channels; ++c)
            sum += SampleAt(&bytes[f * frameBytes + static_cast<std::size_t>(c * sampleBytes)], built.Bits);
        run.Samples[f] = sum / built.Channels;
    }
    return run;
}

// ------------------------------------------------------------------ intended gains

// One stretch of a track's intended gain: a level, or a fade out from a level, or a fade in.
struct LawPart {
    enum Type { Level, FadeOut, FadeIn } Kind = Level;
    double From = 0.0;
    double To = kInfinity;
    double Value = 1.0; // Level: the gain; FadeOut: the gain it fades from
    double Begin = 0.0; // fades: when the fade began and how long it lasts
    double Length = 0.0;
    // A skip's fade-out over a track that was itself still fading: the law it had goes on
    // underneath, and the skip's curve scales it (Value is then its gain when the skip began).
    std::vector<LawPart> Under;
};
using Law = std::vector<LawPart>;

// ------------------------------------------------------------------ positions

struct Interval {
    double From = 0.0;
    double To = 0.0;
};

double Length(const std::vector<Interval> &intervals) {
    double sum = 0.0;
    for (const Interval &i : intervals)
        sum += std::max(0.0, i.To - i.From);
    return sum;
}

std::vector<Interval> Union(std::vector<Interval> intervals) {
    std::sort(intervals.begin(), intervals.end(),
              [](const Interval &a, const Interval &b) { return a.From < b.From; });
    std::vector<Interval> merged;
    for (const Interval &i : intervals) {
        if (i.To <= i.From)
            continue;
        if (!merged.empty() && i.From <= merged.back().To + kTiny)
            merged.back().To = std::max(merged.back().To, i.To);
        else
            merged.push_back(i);
    }
    return merged;
}

// What of `wanted` the union `have` misses.
std::vector<Interval> Missing(const std::vector<Interval> &wanted, const std::vector<Interval> &have) {
    std::vector<Interval> missing;
    for (const Interval &w : wanted) {
        double from = w.From;
        for (const Interval &h : have) {
            if (h.To <= from || h.From >= w.To)
                continue;
            if (h.From > from)
                missing.push_back({from, h.From});
            from = std::max(from, h.To);
        }
        if (from < w.To)
            missing.push_back({from, w.To});
    }
    return missing;
}

class Measurer {
  public:
    Measurer(const Scenario &scenario, std::span<const HeardRun> runs, const Tracking &tracking)
        : scenario_(scenario), runs_(runs), tracking_(tracking),
          laws_(scenario.Tracks.size()), pieces_(scenario.Tracks.size()) {
        for (const Piece &piece : tracking.Pieces)
            if (piece.Track >= 0 && piece.Track < static_cast<int>(pieces_.size()))
                pieces_[static_cast<std::size_t>(piece.Track)].push_back(&piece);
        endTime_ = runs.empty() ? 0.0 : runs.back().EndSeconds();
    }

    Measures Run() {
        FindTransitions();
        result_.Starts = starts_;
        if (!runs_.empty() && !starts_.empty()) {
            BuildLaws();
            FindReopens();
            MeasurePositions();
            MeasureSilence();
            MeasureGains();
            MeasureSteps();
            MeasureUnexplained();
        } else {
            result_.Complete = false;
            result_.Notes.push_back("nothing was heard");
        }
        return std::move(result_);
    }

  private:
    const ToneTrack &TrackOf(int j) const { return scenario_.Tracks[static_cast<std::size_t>(j)]; }

    // Where track j was at time t: in the piece that holds t (at a boundary the one beginning
    // there), else running on from the last piece before t.
    std::optional<double> PositionAt(int j, double t) const {
        const Piece *holder = nullptr, *before = nullptr;
        for (const Piece *p : pieces_[static_cast<std::size_t>(j)]) {
            if (p->Start <= t + kTiny && t <= p->End + kTiny)
                holder = p;
            else if (p->End <= t && (!before || p->End >= before->End))
                before = p;
        }
        if (holder)
            return holder->PositionAt(t);
        if (before)
            return before->EndPosition() + (t - before->End);
        return std::nullopt;
    }

    // Where track j went on from at t: a jump found within a millisecond after t (the flush that
    // begins a fade, found a few samples from the new track's start) counts as made at t.
    std::optional<double> PositionFrom(int j, double t) const {
        constexpr double kAhead = 0.001;
        const std::optional<double> ahead = PositionAt(j, t + kAhead);
        return ahead ? std::optional<double>(*ahead - kAhead) : std::nullopt;
    }

    double MeasuredGain(int j, double t) const {
        double gain = 0.0;
        for (const Piece *p : pieces_[static_cast<std::size_t>(j)])
            gain = std::max(gain, std::abs(p->GainAt(t)));
        return gain;
    }

    static double LawAt(const Law &law, double t, Curve curve) {
        for (auto part = law.rbegin(); part != law.rend(); ++part) {
            if (t < part->From || t >= part->To)
                continue;
            const double into = part->Length > 0.0 ? (t - part->Begin) / part->Length : 1.0;
            switch (part->Kind) {
            case LawPart::FadeOut:
                return (part->Under.empty() ? part->Value : LawAt(part->Under, t, curve)) *
                       CurveGain(std::clamp(1.0 - into, 0.0, 1.0), curve);
            case LawPart::FadeIn:
                return CurveGain(std::clamp(into, 0.0, 1.0), curve);
            case LawPart::Level:
                return part->Value;
            }
        }
        return 0.0;
    }

    // The gain track j should sound at at time t: its law, while it has a sample to play.
    double Intended(int j, double t) const {
        const std::optional<double> position = PositionAt(j, t);
        if (!position || *position < -kTiny || *position >= TrackOf(j).Seconds())
            return 0.0;
        return LawAt(laws_[static_cast<std::size_t>(j)], t, scenario_.Shape);
    }

    static void SetFrom(Law &law, LawPart part) {
        while (!law.empty() && law.back().From >= part.From)
            law.pop_back();
        if (!law.empty())
            law.back().To = std::min(law.back().To, part.From);
        law.push_back(part);
    }

    // A fade from `t0` over `length`: the named tracks fade out from their gains then, `into`
    // fades in; afterwards they are silent and `into` sounds alone. A skip's fade-out scales
    // what each track's own law goes on giving (a crossfade it was in goes on underneath).
    void Fade(const std::vector<std::pair<int, double>> &outgoing, int into, double t0, double length,
              bool overOwnLaws = false) {
        for (const auto &[j, from] : outgoing) {
            Law &law = laws_[static_cast<std::size_t>(j)];
            LawPart fadeOut{LawPart::FadeOut, t0, t0 + length, from, t0, length};
            if (overOwnLaws)
                fadeOut.Under = law;
            SetFrom(law, fadeOut);
            SetFrom(law, {LawPart::Level, t0 + length, kInfinity, 0.0});
        }
        Law &in = laws_[static_cast<std::size_t>(into)];
        SetFrom(in, {LawPart::FadeIn, t0, t0 + length, 1.0, t0, length});
        SetFrom(in, {LawPart::Level, t0 + length, kInfinity, 1.0});
    }

    // When each transition was heard: the moment its track (first) sounded after the one before.
    void FindTransitions() {
        double previous = -kInfinity;
        for (const Transition &transition : scenario_.Transitions) {
            const double notBefore =
                std::max(previous, transition.EventTime >= 0.0 ? transition.EventTime - 0.002 : -kInfinity);
            const Piece *found = nullptr;
            for (const Piece *p : pieces_[static_cast<std::size_t>(transition.Into)])
                if (p->Start >= notBefore - kTiny && (!found || p->Start < found->Start))
                    found = p;
            if (!found) {
                result_.Complete = false;
                result_.Notes.push_back(
                    Text(transition.Kind == TransitionKind::Seek ? "track %d was never heard at its seek"
                                                                 : "track %d was never heard",
                         transition.Into + 1));
                return;
            }
            starts_.push_back(found->Start);
            previous = found->Start;
        }
    }

    void BuildLaws() {
        int current = -1;
        for (std::size_t i = 0; i < starts_.size(); ++i) {
            const Transition &tr = scenario_.Transitions[i];
            const double t0 = starts_[i];
            switch (tr.Kind) {
            case TransitionKind::Start:
            case TransitionKind::Gapless:
                SetFrom(laws_[static_cast<std::size_t>(tr.Into)], {LawPart::Level, t0, kInfinity, 1.0});
                break;
            case TransitionKind::AfterStop: {
                const double stopped = StopTime(t0);
                stops_.push_back({stopped, t0});
                for (Law &law : laws_)
                    if (!law.empty())
                        SetFrom(law, {LawPart::Level, stopped, kInfinity, 0.0});
                SetFrom(laws_[static_cast<std::size_t>(tr.Into)], {LawPart::Level, t0, kInfinity, 1.0});
                break;
            }
            case TransitionKind::AfterEnd: {
                // Whatever silence lies between is no one's to answer for; but the track before
                // was meant to the last of its samples, wherever its sound stopped.
                const double stopped = StopTime(t0);
                stops_.push_back({stopped, t0});
                if (current >= 0)
                    playedOut_.push_back(current);
                for (Law &law : laws_)
                    if (!law.empty())
                        SetFrom(law, {LawPart::Level, stopped, kInfinity, 0.0});
                SetFrom(laws_[static_cast<std::size_t>(tr.Into)],
                        {LawPart::Level, t0, kInfinity, 1.0});
                break;
            }
            case TransitionKind::Crossfade:
            case TransitionKind::SkipFade: {
                // Both fades last what the setting says, at most what is left of the track
                // playing when they begin...
                const double left = current >= 0 ? TrackOf(current).Seconds() -
                                                        PositionFrom(current, t0).value_or(0.0)
                                                  : 0.0;
                // ... and no longer than the track it goes into.
                const double length =
                    std::min({tr.FadeSeconds, left, TrackOf(tr.Into).Seconds()});
                std::vector<std::pair<int, double>> outgoing;
                for (int j = 0; j < static_cast<int>(laws_.size()); ++j) {
                    const double now = j == tr.Into ? 0.0 : Intended(j, t0 - kJustBefore);
                    // A crossfade takes the current track only; a skip everything that sounds.
                    if (now > 0.0 && (tr.Kind == TransitionKind::SkipFade || j == current))
                        outgoing.push_back({j, now});
                }
                if (length > 0.001)
                    Fade(outgoing, tr.Into, t0, length, tr.Kind == TransitionKind::SkipFade);
                else
                    SetFrom(laws_[static_cast<std::size_t>(tr.Into)], {LawPart::Level, t0, kInfinity, 1.0});
                break;
            }
            case TransitionKind::Seek:
                seeks_.push_back({tr.Into, t0, tr.SeekTarget});
                break;
            }
            if (tr.Kind != TransitionKind::Seek)
                current = tr.Into;
        }
    }

    // The end of the sound before a restart after a Stop.
    double StopTime(double restart) const {
        double stopped = restart;
        for (const HeardRun &run : runs_)
            if (run.EndSeconds() <= restart + kTiny)
                stopped = run.EndSeconds();
        return stopped;
    }

    // The positions of track j its law means to be heard (at kHeardGain or more).
    std::vector<Interval> IntendedPositions(int j) const {
        const Law &law = laws_[static_cast<std::size_t>(j)];
        if (law.empty())
            return {};
        const double seconds = TrackOf(j).Seconds();
        double begin = 0.0;
        if (law.front().Kind == LawPart::FadeIn)
            begin = CurveInverse(kHeardGain, scenario_.Shape) * law.front().Length;
        // The part of the law in force at the end, or the fade its silence follows.
        std::size_t last = law.size() - 1;
        while (last > 0 && law[last].From > endTime_)
            --last;
        double end = seconds;
        const LawPart &part = law[last];
        const LawPart *fade = part.Kind == LawPart::FadeOut ? &part
                              : (part.Kind == LawPart::Level && part.Value == 0.0 && last > 0 &&
                                 law[last - 1].Kind == LawPart::FadeOut)
                                  ? &law[last - 1]
                                  : nullptr;
        if (fade) {
            const double from = PositionFrom(j, fade->Begin).value_or(0.0);
            end = fade->Value <= kHeardGain
                      ? from
                      : from + fade->Length * (1.0 - CurveInverse(kHeardGain / fade->Value, scenario_.Shape));
        } else if (part.Kind == LawPart::Level && part.Value == 0.0) {
            end = PositionAt(j, part.From).value_or(0.0); // stopped
        } else {
            end = PositionAt(j, endTime_).value_or(0.0);
        }
        if (std::find(playedOut_.begin(), playedOut_.end(), j) != playedOut_.end())
            end = seconds;
        end = std::min(end, seconds);
        std::vector<Interval> wanted{{begin, end}};
        for (const SeekMark &seek : seeks_) {
            if (seek.Track != j)
                continue;
            const double from = PositionAt(j, seek.Time - kJustBefore).value_or(0.0);
            std::vector<Interval> split;
            for (const Interval &w : wanted) {
                split.push_back({w.From, std::min(w.To, from)});
                split.push_back({std::max(w.From, seek.Target), w.To});
            }
            wanted = split;
        }
        return Union(wanted);
    }

    void MeasurePositions() {
        for (int j = 0; j < static_cast<int>(pieces_.size()); ++j) {
            std::vector<Interval> heard;
            double total = 0.0;
            for (const Piece *p : pieces_[static_cast<std::size_t>(j)]) {
                heard.push_back({p->Position, p->EndPosition()});
                total += std::max(0.0, p->EndPosition() - p->Position);
            }
            const std::vector<Interval> once = Union(heard);
            const double twice = std::max(0.0, total - Length(once));
            result_.TwiceMs += twice * 1000.0;
            if (twice * 1000.0 >= kCleanMs / 2)
                result_.Notes.push_back(Text("track %d: %.1f ms heard twice%s", j + 1, twice * 1000.0,
                                             Repeats(j).c_str()));
            for (const Interval &gap : Missing(IntendedPositions(j), once)) {
                if (ThroughDeclick(j, gap))
                    continue;
                const double ms = (gap.To - gap.From) * 1000.0;
                result_.LostMs += ms;
                if (ms >= kCleanMs / 2)
                    result_.Notes.push_back(Text("track %d: %.1f ms lost, %.3f-%.3f s of the track",
                                                 j + 1, ms, gap.From, gap.To));
            }
        }
    }

    // Positions of track j missed where its sound passes through a de-click: heard, but too
    // briefly faint for the tracker to place them. Only what lies between a piece ending in the
    // old output's ramp and one beginning in the new output's.
    bool ThroughDeclick(int j, const Interval &gap) const {
        const double edge = kDeclickSeconds + 0.0005;
        for (const Interval &reopen : reopens_) {
            bool ends = false, begins = false;
            for (const Piece *p : pieces_[static_cast<std::size_t>(j)]) {
                ends |= std::abs(p->EndPosition() - gap.From) < kTiny && p->End > reopen.From - edge &&
                        p->End <= reopen.From + kTiny;
                begins |= std::abs(p->Position - gap.To) < kTiny && p->Start >= reopen.To - kTiny &&
                          p->Start < reopen.To + edge;
            }
            if (ends && begins)
                return true;
        }
        return false;
    }

    // Where a track's pieces overlap in position: what was heard again, and when.
    std::string Repeats(int j) const {
        const auto &pieces = pieces_[static_cast<std::size_t>(j)];
        for (std::size_t a = 0; a < pieces.size(); ++a)
            for (std::size_t b = a + 1; b < pieces.size(); ++b) {
                const double from = std::max(pieces[a]->Position, pieces[b]->Position);
                const double to = std::min(pieces[a]->EndPosition(), pieces[b]->EndPosition());
                if (to - from > 0.0005)
                    return Text(" (%.3f-%.3f s of the track, again at %.3f s)", from, to,
                                pieces[b]->Start);
            }
        return {};
    }

    // Whether a track should sound at t: from the first start on, but for the silence after a
    // Stop; a track begun from silence has half a millisecond to rise through its own edge.
    bool SoundIntended(double t) const {
        if (t < starts_.front() + kOwnRiseSeconds || t > endTime_)
            return false;
        for (const Interval &stop : stops_)
            if (t > stop.From && t < stop.To + kOwnRiseSeconds)
                return false;
        return true;
    }

    // The RMS the tracks meant to sound at t would have there, each where it is (or would be)
    // and at its curve's gain: the tracks' own quiet moments are no silence of the engine's.
    double MeantRms(double t, int rate, int half) const {
        double sum = 0.0;
        for (int k = -half; k < half; ++k) {
            const double at = t + static_cast<double>(k) / rate;
            double value = 0.0;
            for (int j = 0; j < static_cast<int>(laws_.size()); ++j)
                if (const double gain = Intended(j, at); gain > 0.0)
                    value += gain * TrackOf(j).Value(PositionAt(j, at).value_or(0.0));
            sum += value * value;
        }
        return std::sqrt(sum / std::max(1, 2 * half));
    }

    void NoteSilence(double from, double to) {
        if ((to - from) * 1000.0 < kCleanMs / 2)
            return;
        result_.Notes.push_back(Text("%.1f ms of silence at %.3f s", (to - from) * 1000.0, from));
    }

    void MeasureSilence() {
        double silent = 0.0;
        double previousEnd = starts_.front();
        for (const HeardRun &run : runs_) {
            // The gap before the run, where sound was meant.
            const double gapFrom = std::max(previousEnd, starts_.front());
            double gap = 0.0;
            for (double t = gapFrom; t < run.StartSeconds; t += 0.0001)
                if (SoundIntended(t) && MeantRms(t, 10000, 2) >= kSilentRms)
                    gap += 0.0001;
            if (gap > 0.0) {
                silent += gap;
                NoteSilence(gapFrom, gapFrom + gap);
            }
            previousEnd = run.EndSeconds();
            // Within the run: RMS over half a millisecond around each sample.
            const std::size_t n = run.Samples.size();
            std::vector<double> sums(n + 1, 0.0);
            for (std::size_t i = 0; i < n; ++i)
                sums[i + 1] = sums[i] + run.Samples[i] * run.Samples[i];
            const auto half = static_cast<std::size_t>(std::max(1L, std::lround(0.00025 * run.Rate)));
            double stretchStart = -1.0, stretch = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                const double t = run.StartSeconds + static_cast<double>(i) / run.Rate;
                const std::size_t lo = i >= half ? i - half : 0, hi = std::min(n, i + half);
                const double rms = std::sqrt((sums[hi] - sums[lo]) / static_cast<double>(hi - lo));
                if (rms < kSilentRms && SoundIntended(t) &&
                    MeantRms(t, run.Rate, static_cast<int>(half)) >= kSilentRms) {
                    if (stretchStart < 0.0)
                        stretchStart = t;
                    stretch += 1.0 / run.Rate;
                    silent += 1.0 / run.Rate;
                } else if (stretchStart >= 0.0) {
                    NoteSilence(stretchStart, stretchStart + stretch);
                    stretchStart = -1.0;
                    stretch = 0.0;
                }
            }
            if (stretchStart >= 0.0)
                NoteSilence(stretchStart, stretchStart + stretch);
        }
        result_.SilenceMs = silent * 1000.0;
    }

    bool NearChange(double t, double margin) const {
        for (const Piece &p : tracking_.Pieces)
            if (std::abs(t - p.Start) < margin || std::abs(t - p.End) < margin)
                return true;
        for (double start : starts_)
            if (std::abs(t - start) < margin)
                return true;
        for (const Span &s : tracking_.Unexplained)
            if (t > s.Start - margin && t < s.End + margin)
                return true;
        return false;
    }

    void MeasureGains() {
        double worst = 0.0;
        std::string where;
        for (double t : tracking_.FitTimes) {
            if (t < starts_.front() || t > endTime_ || NearChange(t, kWindowSeconds))
                continue;
            for (int j = 0; j < static_cast<int>(laws_.size()); ++j) {
                const double heard = MeasuredGain(j, t), meant = Intended(j, t);
                if (std::abs(heard - meant) > worst) {
                    worst = std::abs(heard - meant);
                    where = Text("track %d at gain %.3f where the curve gives %.3f, at %.3f s", j + 1,
                                 heard, meant, t);
                }
            }
        }
        result_.GainError = worst;
        if (worst > kCleanGain)
            result_.Notes.push_back(where);
    }

    double OwnStep(int j, int rate) {
        const long long key = static_cast<long long>(j) * 1000000LL + rate;
        const auto found = ownSteps_.find(key);
        if (found != ownSteps_.end())
            return found->second;
        return ownSteps_[key] = TrackOf(j).OwnStep(rate);
    }

    // The step the tracks heard at t can make by themselves, at their gains there. Within a
    // de-click the gains the curves meant stand (too short a ramp for the tracker to measure),
    // and the ramp adds its own slope: the tracks' peak over the ramp's length.
    double Allowed(double t, int rate) {
        const bool declick = InDeclick(t, rate);
        double allowed = 0.0;
        for (int j = 0; j < static_cast<int>(pieces_.size()); ++j) {
            const double gain = declick ? Intended(j, t) : MeasuredGain(j, t);
            if (gain > 0.0)
                allowed += gain * (OwnStep(j, rate) +
                                   (declick ? TrackOf(j).Peak() / (kDeclickSeconds * rate) : 0.0));
        }
        return allowed;
    }

    // Where the output was closed and opened again in another format while sound was meant:
    // an output plug-in changes format no other way. The engine lets the old output's last
    // kDeclickSeconds fall to silence and the new one's first rise from it; the audit holds the
    // ramps to that and goes on counting the moment between the outputs as silence.
    void FindReopens() {
        for (std::size_t r = 0; r + 1 < runs_.size(); ++r) {
            const HeardRun &a = runs_[r], &b = runs_[r + 1];
            const bool otherFormat = a.Rate != b.Rate || a.Channels != b.Channels || a.Bits != b.Bits;
            if (!otherFormat || !SoundIntended(a.EndSeconds()) || !SoundIntended(b.StartSeconds))
                continue;
            reopens_.push_back({a.EndSeconds(), b.StartSeconds});
            result_.Notes.push_back(Text("output re-opened in another format at %.3f s: %.1f ms "
                                         "between, %.0f ms de-click each side",
                                         a.EndSeconds(), (b.StartSeconds - a.EndSeconds()) * 1000.0,
                                         kDeclickSeconds * 1000.0));
        }
    }

    bool InDeclick(double t, int rate) const {
        const double edge = kDeclickSeconds + 1.0 / rate;
        for (const Interval &gap : reopens_)
            if (t > gap.From - edge && t < gap.To + edge)
                return true;
        return false;
    }

    void JudgeStep(double step, double t, const HeardRun &run) {
        const double own = Allowed(t, run.Rate);
        const double leeway = 2.0 / std::ldexp(1.0, run.Bits - 1) + 0.02 * own;
        const double ratio = step / (own + leeway);
        if (ratio > result_.StepRatio) {
            result_.StepRatio = ratio;
            result_.Step = step;
            result_.Own = own;
            stepTime_ = t;
        }
    }

    // The jump a seek asks for is the user's, as a Stop's cut is: not a step of the engine's.
    bool SeekJumpAt(double t, int rate) const {
        for (const SeekMark &seek : seeks_)
            if (std::abs(t - seek.Time) < 1.5 / rate)
                return true;
        return false;
    }

    void MeasureSteps() {
        std::vector<double> joins = scenario_.Events;
        joins.insert(joins.end(), starts_.begin(), starts_.end());
        for (const Transition &tr : scenario_.Transitions)
            if (tr.EventTime >= 0.0)
                joins.push_back(tr.EventTime);
        for (const Piece &p : tracking_.Pieces) {
            joins.push_back(p.Start);
            joins.push_back(p.End);
        }
        for (const HeardRun &run : runs_) {
            joins.push_back(run.StartSeconds);
            joins.push_back(run.EndSeconds());
        }
        std::sort(joins.begin(), joins.end());
        for (std::size_t r = 0; r < runs_.size(); ++r) {
            const HeardRun &run = runs_[r];
            const auto n = static_cast<std::int64_t>(run.Samples.size());
            std::int64_t done = 0; // samples judged already (join windows overlap)
            for (double join : joins) {
                const auto from = std::max<std::int64_t>(
                    done, static_cast<std::int64_t>(std::floor((join - kJoinSeconds - run.StartSeconds) * run.Rate)));
                const auto to = std::min<std::int64_t>(
                    n, static_cast<std::int64_t>(std::ceil((join + kJoinSeconds - run.StartSeconds) * run.Rate)) + 1);
                for (std::int64_t i = std::max<std::int64_t>(from, 0); i < to; ++i) {
                    const double t = run.StartSeconds + static_cast<double>(i) / run.Rate;
                    if (SeekJumpAt(t, run.Rate))
                        continue;
                    const double before = i > 0 ? run.Samples[static_cast<std::size_t>(i - 1)] : 0.0;
                    JudgeStep(std::abs(run.Samples[static_cast<std::size_t>(i)] - before), t, run);
                }
                done = std::max(done, to);
            }
            // Sound that stops into a silence nobody meant: the step down to nothing.
            if (n > 0 && r + 1 < runs_.size() && SoundIntended(run.EndSeconds() + 0.0005)) {
                const double t = run.EndSeconds();
                JudgeStep(std::abs(run.Samples.back()), t, run);
            }
        }
        if (result_.StepRatio > 1.0)
            result_.Notes.push_back(Text("step %.4f at %.3f s where the tracks make %.4f", result_.Step,
                                         stepTime_, result_.Own));
    }

    void MeasureUnexplained() {
        double total = 0.0;
        for (const Span &s : tracking_.Unexplained) {
            const double from = std::max(s.Start, starts_.front()), to = std::min(s.End, endTime_);
            if (to > from && !WithinDeclick(from, to)) {
                total += to - from;
                if ((to - from) * 1000.0 >= kCleanMs / 2)
                    result_.Notes.push_back(
                        Text("%.1f ms of sound no track explains at %.3f s", (to - from) * 1000.0, from));
            }
        }
        result_.UnexplainedMs = total * 1000.0;
    }

    // The tracker fits gains over milliseconds: a ramp as short as a de-click is sound at a gain
    // no curve gives, and it is the de-click's where it lies within one (with the tracker's
    // half-millisecond resolution around it).
    bool WithinDeclick(double from, double to) const {
        const double edge = kDeclickSeconds + 0.0005;
        for (const Interval &gap : reopens_)
            if (from > gap.From - edge && to < gap.To + edge)
                return true;
        return false;
    }

    struct SeekMark {
        int Track = 0;
        double Time = 0.0;
        double Target = 0.0;
    };

    const Scenario &scenario_;
    std::span<const HeardRun> runs_;
    const Tracking &tracking_;
    std::vector<Law> laws_;
    std::vector<std::vector<const Piece *>> pieces_;
    std::vector<double> starts_; // when each transition was heard
    std::vector<Interval> stops_; // silences a Stop meant: from the sound's end to the restart
    std::vector<int> playedOut_;  // tracks meant to be heard to their end before a silence
    std::vector<SeekMark> seeks_;
    std::vector<Interval> reopens_; // from the old output's last sound to the new one's first
    std::map<long long, double> ownSteps_;
    double endTime_ = 0.0;
    double stepTime_ = 0.0;
    Measures result_;
};

} // namespace

std::vector<HeardRun> HeardTimeline(std::span<const OutputCall> calls,
                                    std::span<const std::uint8_t> pcm) {
    std::vector<RunBeingBuilt> built;
    int rate = 44100, channels = 2, bits = 16;
    bool running = false, heard = false;
    double now = 0.0, pcmNow = 0.0; // listener and PCM seconds where the next run would begin
    double underrunSeen = 0.0, pendingGapMs = 0.0, closedAtMs = -1.0;
    const auto endRun = [&] {
        if (!running)
            return;
        now = built.back().Start + built.back().Seconds();
        pcmNow = built.back().PcmStart + built.back().Seconds();
        running = false;
    };
    const auto drop = [&](int bytes) {
        if (running && bytes > 0)
            built.back().Bytes = std::max<std::int64_t>(0, built.back().Bytes - bytes);
    };
    for (const OutputCall &call : calls) {
        // The output counts the time its buffer ran dry at every call: the silence lies before
        // the next write, however many calls it is spread over.
        pendingGapMs += (call.UnderrunMs - underrunSeen) * call.Speed;
        underrunSeen = call.UnderrunMs;
        if (call.Name == "Open") {
            if (call.Args.size() >= 3) {
                rate = call.Args[0];
                channels = call.Args[1];
                bits = call.Args[2];
            }
            if (running || (heard && closedAtMs < 0.0)) {
                endRun();
                closedAtMs = call.AtMs;
            }
            pendingGapMs = 0.0;
        } else if (call.Name == "Write" && call.Answer == 0 && !call.Args.empty() && call.Args[0] > 0) {
            if (closedAtMs >= 0.0) {
                now += (call.AtMs - closedAtMs) / 1000.0 * call.Speed;
                closedAtMs = -1.0;
            } else if (pendingGapMs >= kInaudibleGapMs) {
                endRun();
                now += pendingGapMs / 1000.0;
            }
            pendingGapMs = 0.0;
            if (!running) {
                built.push_back({rate, channels, bits, now, pcmNow, 0});
                running = true;
            }
            built.back().Bytes += call.Args[0];
            heard = true;
        } else if (call.Name == "Flush") {
            drop(call.Args.size() > 1 ? call.Args[1] : 0);
        } else if (call.Name == "Close") {
            drop(call.Args.empty() ? 0 : call.Args[0]);
            if (heard && closedAtMs < 0.0) {
                endRun();
                now += pendingGapMs / 1000.0;
                closedAtMs = call.AtMs;
            }
            pendingGapMs = 0.0;
        }
    }
    std::vector<HeardRun> runs;
    std::size_t offset = 0;
    for (const RunBeingBuilt &b : built) {
        const auto bytes = std::min<std::size_t>(static_cast<std::size_t>(b.Bytes), pcm.size() - offset);
        if (bytes > 0)
            runs.push_back(Decode(b, pcm.subspan(offset, bytes)));
        offset += bytes;
    }
    return runs;
}

double ListenerTime(std::span<const HeardRun> runs, double pcmMs) {
    const double pcm = pcmMs / 1000.0;
    for (const HeardRun &run : runs) {
        const double length = static_cast<double>(run.Samples.size()) / run.Rate;
        if (pcm <= run.PcmSeconds + length)
            return run.StartSeconds + std::max(0.0, pcm - run.PcmSeconds);
    }
    if (runs.empty())
        return pcm;
    const HeardRun &last = runs.back();
    return last.EndSeconds() +
           (pcm - last.PcmSeconds - static_cast<double>(last.Samples.size()) / last.Rate);
}

void InsertSilence(std::vector<HeardRun> &runs, double pcmSeconds, double seconds) {
    for (std::size_t r = 0; r < runs.size(); ++r) {
        HeardRun &run = runs[r];
        const double length = static_cast<double>(run.Samples.size()) / run.Rate;
        if (pcmSeconds >= run.PcmSeconds + length)
            continue;
        if (pcmSeconds > run.PcmSeconds) {
            // The run is cut where the sound stopped: what follows is heard after the silence. A
            // clock plays bytes, and a frame it has begun is heard whole (as the output keeps it).
            const auto kept = static_cast<std::size_t>(
                std::ceil((pcmSeconds - run.PcmSeconds) * run.Rate - 1e-6));
            if (kept > 0 && kept < run.Samples.size()) {
                HeardRun rest = run;
                rest.Samples.assign(run.Samples.begin() + static_cast<std::ptrdiff_t>(kept),
                                    run.Samples.end());
                rest.StartSeconds += static_cast<double>(kept) / run.Rate;
                rest.PcmSeconds += static_cast<double>(kept) / run.Rate;
                run.Samples.resize(kept);
                runs.insert(runs.begin() + static_cast<std::ptrdiff_t>(r) + 1, std::move(rest));
                ++r;
            } else if (kept >= run.Samples.size()) {
                ++r;
            }
        }
        for (; r < runs.size(); ++r)
            runs[r].StartSeconds += seconds;
        return;
    }
}

double PcmSecondsAt(std::span<const HeardRun> runs, double listenerSeconds) {
    for (const HeardRun &run : runs) {
        if (listenerSeconds < run.StartSeconds)
            return run.PcmSeconds; // in a silence: the sound that follows it
        if (listenerSeconds < run.EndSeconds())
            return run.PcmSeconds + (listenerSeconds - run.StartSeconds);
    }
    return runs.empty() ? 0.0
                        : runs.back().PcmSeconds +
                              static_cast<double>(runs.back().Samples.size()) / runs.back().Rate;
}

double WrittenAtMs(std::span<const OutputCall> calls, double pcmSeconds) {
    struct Written {
        double AtMs = 0.0;
        std::int64_t Bytes = 0;
        int BytesPerSecond = 0;
    };
    std::vector<Written> kept;
    int perSecond = 44100 * 2 * 2;
    const auto drop = [&](std::int64_t bytes) {
        while (bytes > 0 && !kept.empty()) {
            const std::int64_t taken = std::min(bytes, kept.back().Bytes);
            kept.back().Bytes -= taken;
            bytes -= taken;
            if (kept.back().Bytes == 0)
                kept.pop_back();
        }
    };
    for (const OutputCall &call : calls) {
        if (call.Name == "Open" && call.Args.size() >= 3) {
            perSecond = call.Args[0] * call.Args[1] * (call.Args[2] / 8);
        } else if (call.Name == "Write" && call.Answer == 0 && !call.Args.empty() &&
                   call.Args[0] > 0) {
            kept.push_back({call.AtMs, call.Args[0], perSecond});
        } else if (call.Name == "Flush" && call.Args.size() > 1) {
            drop(call.Args[1]);
        } else if (call.Name == "Close" && !call.Args.empty()) {
            drop(call.Args[0]);
        }
    }
    double at = 0.0;
    for (const Written &w : kept) {
        at += w.BytesPerSecond > 0 ? static_cast<double>(w.Bytes) / w.BytesPerSecond : 0.0;
        if (pcmSeconds < at)
            return w.AtMs;
    }
    return -1.0;
}

double CurveGain(double x, Curve curve) {
    switch (curve) {
    case Curve::Logarithmic:
        return -std::log10(0.9 * (1.0 - x) + 0.1);
    case Curve::EqualPower:
        return std::sin(std::numbers::pi / 2 * x);
    case Curve::Linear:
        break;
    }
    return x;
}

double CurveInverse(double gain, Curve curve) {
    gain = std::clamp(gain, 0.0, 1.0);
    switch (curve) {
    case Curve::Logarithmic:
        return 1.0 - (std::pow(10.0, -gain) - 0.1) / 0.9;
    case Curve::EqualPower:
        return std::asin(gain) * 2.0 / std::numbers::pi;
    case Curve::Linear:
        break;
    }
    return gain;
}

bool Measures::StepClean() const {
    return StepRatio <= 1.0;
}

bool Measures::Clean() const {
    return Complete && StepClean() && TwiceMs < kCleanMs && SilenceMs < kCleanMs && LostMs < kCleanMs &&
           GainError <= kCleanGain && UnexplainedMs < kCleanMs;
}

Measures Measure(const Scenario &scenario, std::span<const HeardRun> runs, const Tracking &tracking) {
    return Measurer(scenario, runs, tracking).Run();
}

} // namespace audit
