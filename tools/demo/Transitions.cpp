#include "Transitions.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

namespace demo {

namespace {

// Beyond this many frames the curve's length is taken from its step rather than counted.
constexpr std::int64_t kCountedCurveFrames = 20'000'000;

struct OpenSegment {
    Segment Current;
    std::int64_t StartByte = 0;
    std::int64_t Bytes = 0;
    std::int64_t BytesBeforeLastWrite = 0;
    unsigned long Writer = 0;
    std::vector<std::pair<unsigned long, std::int64_t>> AskedAt; // thread, bytes at its last ask
};

} // namespace

std::int64_t CurveFramesFor(double step) {
    if (!(step > 0.0))
        return 0;
    if (1.0 / step > static_cast<double>(kCountedCurveFrames))
        return static_cast<std::int64_t>(std::ceil(1.0 / step));
    double p = 1.0;
    std::int64_t frames = 0;
    while (p != 0.0) {
        p -= step;
        if (p < 0.0)
            p = 0.0;
        ++frames;
    }
    return frames;
}

bool StartsAnotherRun(const OutputCall &call, const PcmFormat &current) {
    return call.Kind == OutputCallKind::Open && call.Format.FrameBytes() > 0 &&
           call.Format.Rate > 0 && !(call.Format == current);
}

std::vector<Segment> SplitSegments(std::span<const OutputCall> calls, const PcmFormat &format) {
    PcmFormat current = format;
    int frameBytes = std::max(current.FrameBytes(), 1);
    int file = 0;
    bool fileWritten = false; // the current run holds samples
    std::vector<Segment> segments;
    std::optional<OpenSegment> open;
    std::int64_t total = 0; // bytes of the current run
    bool outputOpen = false;

    const auto finish = [&] {
        if (!open || open->Bytes == 0)
            return;
        std::int64_t before = open->BytesBeforeLastWrite;
        for (const auto &[thread, bytes] : open->AskedAt) {
            if (thread == open->Writer)
                before = bytes;
        }
        open->Current.StartFrame = open->StartByte / frameBytes;
        open->Current.Frames = open->Bytes / frameBytes;
        open->Current.FramesBeforeLastBlock = before / frameBytes;
        open->Current.Writer = open->Writer;
        open->Current.Format = current;
        open->Current.File = file;
        segments.push_back(open->Current);
    };
    const auto start = [&](bool reopened) {
        finish();
        open.emplace();
        open->StartByte = total;
        open->Current.Reopened = reopened;
    };
    // What the output threw away unplayed was never heard: it leaves the timeline, the last
    // written first. Where it is more than the track begun holds, the rest was the track before
    // (a start marked at a write that was still the skipped track's), in the same run.
    const auto discard = [&](std::int64_t bytes) {
        if (open) {
            const std::int64_t own = std::min(bytes, open->Bytes);
            open->Bytes -= own;
            open->BytesBeforeLastWrite = std::min(open->BytesBeforeLastWrite, open->Bytes);
            total -= own;
            bytes -= own;
        }
        for (auto s = segments.rbegin(); s != segments.rend() && s->File == file; ++s) {
            const std::int64_t frames = std::min(bytes / frameBytes, s->Frames);
            if (frames <= 0 || (open && open->Bytes > 0))
                break;
            s->Frames -= frames;
            s->FramesBeforeLastBlock = std::min(s->FramesBeforeLastBlock, s->Frames);
            total -= frames * frameBytes;
            bytes -= frames * frameBytes;
        }
        if (open && open->Bytes == 0)
            open->StartByte = total;
    };
    // A run that took no samples yet takes the new format itself: no file is left empty.
    const auto changeFormat = [&](const PcmFormat &next) {
        finish();
        open.reset();
        if (fileWritten) {
            ++file;
            fileWritten = false;
        }
        current = next;
        frameBytes = std::max(current.FrameBytes(), 1);
        total = 0;
    };

    for (const OutputCall &call : calls) {
        if (call.Discarded > 0 &&
            (call.Kind == OutputCallKind::Flush || call.Kind == OutputCallKind::Close))
            discard(call.Discarded);
        switch (call.Kind) {
        case OutputCallKind::Open:
            if (StartsAnotherRun(call, current))
                changeFormat(call.Format);
            outputOpen = true;
            start(true);
            break;
        case OutputCallKind::Flush:
            if (call.Arg == 0)
                start(false);
            break;
        case OutputCallKind::Close:
            outputOpen = false;
            break;
        case OutputCallKind::WrittenTime:
            if (open) {
                auto &asked = open->AskedAt;
                const auto it = std::find_if(asked.begin(), asked.end(),
                                             [&](const auto &a) { return a.first == call.Thread; });
                if (it != asked.end())
                    it->second = open->Bytes;
                else
                    asked.emplace_back(call.Thread, open->Bytes);
            }
            break;
        case OutputCallKind::Write:
            if (!outputOpen || call.Arg <= 0)
                break; // a closed output takes nothing
            if (!open)
                start(false);
            open->BytesBeforeLastWrite = open->Bytes;
            open->Bytes += call.Arg;
            open->Writer = call.Thread;
            total += call.Arg;
            fileWritten = true;
            break;
        }
    }
    finish();
    return segments;
}

int TrackLengthMs(std::int64_t frames, int rate) {
    if (rate <= 0)
        return 0;
    return static_cast<int>(std::round(static_cast<double>(frames) / (rate * 0.001)));
}

double Gain(double x, Curve curve) {
    switch (curve) {
    case Curve::Log:
        return -std::log10(0.9 * (1.0 - x) + 0.1);
    case Curve::EqualPower:
        return std::sin(1.5707963267948966 * x);
    case Curve::Linear:
        break;
    }
    return x;
}

const char *CurveName(Curve curve) {
    switch (curve) {
    case Curve::Log:
        return "logarithmic";
    case Curve::EqualPower:
        return "equal-power";
    case Curve::Linear:
        break;
    }
    return "linear";
}

double Transition::Position(std::int64_t k) const {
    if (k <= 0)
        return 1.0;
    if (k >= CurveFrames)
        return 0.0;
    return std::max(0.0, 1.0 - static_cast<double>(k) * Step);
}

double Transition::IncomingGain(std::int64_t k, Curve curve) const {
    if (!Crossfaded)
        return k > 0 ? 1.0 : 0.0;
    if (k <= 0)
        return 0.0;
    return k > MixedFrames() ? 1.0 : Gain(std::min(1.0, (1.0 - Position(k)) * InSpeed), curve);
}

double Transition::OutgoingGain(std::int64_t k, Curve curve) const {
    if (!Crossfaded)
        return k > 0 ? 0.0 : 1.0;
    if (k <= 0)
        return 1.0;
    return k > MixedFrames() ? 0.0 : Gain(std::min(1.0, Position(k) * OutSpeed), curve);
}

const PcmFormat &FormatOf(const Segment &segment, const PcmFormat &fallback) {
    return segment.Format.Rate > 0 && segment.Format.FrameBytes() > 0 ? segment.Format : fallback;
}

std::vector<Transition> FindTransitions(std::span<const Segment> segments,
                                        std::span<const std::int64_t> trackFrames,
                                        const PcmFormat &format, int fadeTimeMs,
                                        std::span<const TrackEdgePlan> plans) {
    std::vector<Transition> transitions;
    const std::size_t count = std::min(segments.size(), trackFrames.size());
    const TrackEdgePlan plain;
    std::int64_t skipped = 0; // the outgoing track's leading silence read past
    for (std::size_t i = 0; i + 1 < count; ++i) {
        const TrackEdgePlan &plan = i < plans.size() ? plans[i] : plain;
        const Segment &out = segments[i];
        const PcmFormat &from = FormatOf(out, format);
        const PcmFormat &to = FormatOf(segments[i + 1], format);
        Transition t;
        t.From = static_cast<int>(i);
        t.StartFrame = segments[i + 1].StartFrame;
        t.Reopened = segments[i + 1].Reopened;
        t.AcrossFormats = !(from == to);
        t.OutgoingSkipped = skipped;
        const std::int64_t rest = std::max<std::int64_t>(trackFrames[i] - skipped - out.Frames, 0);
        // The outgoing rest plays at the incoming rate once converted.
        t.OutgoingFrames = from.Rate == to.Rate
                               ? rest
                               : static_cast<std::int64_t>(
                                     std::llround(static_cast<double>(rest) * to.Rate / from.Rate));
        t.Crossfaded = rest > 0;
        skipped = 0;
        if (t.Crossfaded) {
            // The plug-in counts the track's time from its start, silence read past included.
            const auto writtenMs =
                static_cast<int>(out.FramesBeforeLastBlock * from.FrameBytes() * 1000 /
                                 from.BytesPerSecond()) +
                static_cast<int>(t.OutgoingSkipped * 1000 / std::max(from.Rate, 1));
            const int lengthMs = TrackLengthMs(trackFrames[i], from.Rate);
            const auto endMs = static_cast<int>(plan.EndMs >= 0 ? plan.EndMs : lengthMs);
            t.RemainingMs = endMs - writtenMs;
            t.FadeStartMs = writtenMs;
            t.TrailingTrimmedMs = lengthMs - endMs;
            t.InSpeed = plan.InSpeed;
            t.OutSpeed = plan.OutSpeed;
            t.Reason = plan.OwnFadeOut  ? MixReason::OwnFadeOut
                       : plan.OwnFadeIn ? MixReason::OwnFadeIn
                                        : MixReason::SetTime;
            t.FilesReason = t.Reason;
            t.FadeSeconds = std::min(t.RemainingMs * 0.001, fadeTimeMs * 0.001);
            t.Step = t.FadeSeconds > 0.0 ? 1.0 / t.FadeSeconds / to.Rate : 1.0;
            t.CurveFrames = CurveFramesFor(t.Step);
            if (i + 1 < plans.size())
                skipped = t.IncomingSkipped = plans[i + 1].LeadingSilenceFrames;
        } else if (plan.ContinuesAlbum) {
            t.Reason = t.FilesReason = MixReason::AlbumJoin;
        }
        transitions.push_back(t);
    }
    return transitions;
}

double SampleUnit(const std::uint8_t *s, int bits) {
    switch (bits) {
    case 8:
        return (static_cast<int>(s[0]) - 128) / 128.0;
    case 16:
        return static_cast<std::int16_t>(s[0] | s[1] << 8) / 32768.0;
    case 24: {
        std::int32_t v = s[0] | s[1] << 8 | s[2] << 16;
        if (v & 0x800000)
            v -= 0x1000000;
        return v / 8388608.0;
    }
    case 32: {
        const auto v =
            static_cast<std::int32_t>(static_cast<std::uint32_t>(s[0]) | s[1] << 8 | s[2] << 16 |
                                      static_cast<std::uint32_t>(s[3]) << 24);
        return v / 2147483648.0;
    }
    default:
        return 0.0;
    }
}

double ToDbfs(double unit) {
    return unit > 0.0 ? 20.0 * std::log10(unit) : -std::numeric_limits<double>::infinity();
}

void PeakMeter::Feed(std::int64_t at, std::span<const std::uint8_t> frames) {
    const int frameBytes = format_.FrameBytes();
    if (frameBytes <= 0)
        return;
    const std::int64_t count = static_cast<std::int64_t>(frames.size()) / frameBytes;
    const std::int64_t from = std::max(first_, at), to = std::min(end_, at + count);
    const int width = format_.Bits / 8;
    for (std::int64_t f = from; f < to; ++f) {
        const std::uint8_t *frame = frames.data() + (f - at) * frameBytes;
        for (int c = 0; c < format_.Channels; ++c)
            peak_ = std::max(peak_, std::abs(SampleUnit(frame + c * width, format_.Bits)));
    }
}

EnvelopeBuilder::EnvelopeBuilder(const PcmFormat &format, std::int64_t totalFrames, int columns)
    : format_(format), totalFrames_(std::max<std::int64_t>(totalFrames, 1)),
      columns_(std::max(columns, 1)) {
    envelope_.Min.assign(static_cast<std::size_t>(columns_), 0.0f);
    envelope_.Max.assign(static_cast<std::size_t>(columns_), 0.0f);
    envelope_.Rms.assign(static_cast<std::size_t>(columns_), 0.0f);
    squares_.assign(static_cast<std::size_t>(columns_), 0.0);
    counts_.assign(static_cast<std::size_t>(columns_), 0);
}

void EnvelopeBuilder::Feed(std::int64_t at, std::span<const std::uint8_t> frames) {
    FeedScaled(format_, static_cast<double>(at), 1.0, frames);
}

void EnvelopeBuilder::FeedScaled(const PcmFormat &format, double at, double scale,
                                 std::span<const std::uint8_t> frames) {
    const int frameBytes = format.FrameBytes();
    if (frameBytes <= 0)
        return;
    const int width = format.Bits / 8;
    const std::int64_t count = static_cast<std::int64_t>(frames.size()) / frameBytes;
    for (std::int64_t i = 0; i < count; ++i) {
        const auto frame =
            static_cast<std::int64_t>(std::floor(at + static_cast<double>(i) * scale));
        if (frame < 0 || frame >= totalFrames_)
            continue;
        const auto column = static_cast<std::size_t>(frame * columns_ / totalFrames_);
        for (int c = 0; c < format.Channels; ++c) {
            const double v = SampleUnit(frames.data() + i * frameBytes + c * width, format.Bits);
            const bool first = counts_[column] == 0;
            envelope_.Min[column] = first ? static_cast<float>(v)
                                          : std::min(envelope_.Min[column], static_cast<float>(v));
            envelope_.Max[column] = first ? static_cast<float>(v)
                                          : std::max(envelope_.Max[column], static_cast<float>(v));
            squares_[column] += v * v;
            ++counts_[column];
        }
    }
}

Envelope EnvelopeBuilder::Take() {
    for (std::size_t i = 0; i < squares_.size(); ++i)
        envelope_.Rms[i] =
            counts_[i] ? static_cast<float>(std::sqrt(squares_[i] / counts_[i])) : 0.0f;
    return std::move(envelope_);
}

} // namespace demo
