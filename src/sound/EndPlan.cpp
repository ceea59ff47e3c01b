#include "EndPlan.h"

#include <algorithm>

namespace endplan {

int ScanFromMs(int lengthMs, int fadeTimeMs) {
    return lengthMs - std::min(lengthMs, kScanMs + std::max(fadeTimeMs, 0));
}

double ScanSeconds(int lengthMs, int fadeTimeMs) {
    return (lengthMs - ScanFromMs(lengthMs, fadeTimeMs)) / 1000.0 + 1.0;
}

std::optional<TTrackEnd> TrackEndFrom(const TTrackEndScanner &scanner, const TLookAheadWishes &wishes,
                                      int rate) {
    const int threshold = wishes.SkipSilence ? wishes.SilenceThresholdDb : kInaudibleDb;
    const std::optional<std::int64_t> soundEnd = scanner.SoundEndFrame(threshold, kMinTrailingSilenceMs);
    if (!soundEnd || rate <= 0)
        return std::nullopt;
    TTrackEnd end;
    end.SoundEndMs = static_cast<int>(*soundEnd * 1000 / rate);
    if (wishes.FollowOwnFadeOut)
        if (const auto from = scanner.OwnFadeOut(wishes.OwnFadeOutDropDb, *soundEnd))
            end.FadeFromMs = static_cast<int>(*from * 1000 / rate);
    return end;
}

std::optional<TTrackStart> TrackStartFrom(const TTrackEndScanner &scanner,
                                          std::int64_t soundStartFrame, const TLookAheadWishes &wishes,
                                          int rate) {
    if (soundStartFrame < 0 || rate <= 0)
        return std::nullopt;
    TTrackStart start;
    start.SoundStartMs = static_cast<int>(soundStartFrame * 1000 / rate);
    if (wishes.FollowOwnFadeOut)
        if (const auto end = scanner.OwnFadeIn(wishes.OwnFadeOutDropDb, soundStartFrame))
            start.RampMs = static_cast<int>((*end - soundStartFrame) * 1000 / rate);
    return start;
}

bool SkipsLead(std::int64_t silenceFrames, int rate) {
    const std::int64_t shortest = std::int64_t{rate} * kMinLeadingSilenceMs / 1000;
    const std::int64_t longest = std::int64_t{rate} * kMaxLeadingSilenceMs / 1000;
    return silenceFrames >= shortest && silenceFrames <= longest;
}

namespace {

// A window of a trailing silence followed back reads on this far into the silence after it, so
// that the scanner sees the sound end with silence behind it.
constexpr int kWindowOverlapMs = 1000;

} // namespace

std::optional<TTrackEnd> FollowTrackEnd(int lengthMs, int rate, int bits, int channels,
                                        int fadeTimeMs, const TLookAheadWishes &wishes,
                                        const TFeedRange &feed) {
    if (lengthMs <= 0 || rate <= 0)
        return std::nullopt;
    const int windowMs = lengthMs - ScanFromMs(lengthMs, fadeTimeMs);
    TTrackEndScanner scanner(rate, bits, channels, (windowMs + kWindowOverlapMs) / 1000.0 + 1.0);
    // The first window reads to the track's end; each earlier one reads into the silence the
    // one after it found, until sound turns up or the track's start is reached.
    int fromMs = lengthMs - windowMs;
    std::int64_t untilFrame = std::int64_t{lengthMs} * rate / 1000;
    for (;;) {
        if (!feed(fromMs, untilFrame, scanner))
            return std::nullopt;
        if (std::optional<TTrackEnd> end = TrackEndFrom(scanner, wishes, rate)) {
            if (end->SoundEndMs + kMinTrailingSilenceMs > lengthMs)
                end->SoundEndMs = lengthMs;
            return end;
        }
        if (fromMs == 0)
            return std::nullopt; // silent throughout: played as it is
        untilFrame = std::int64_t{fromMs + kWindowOverlapMs} * rate / 1000;
        fromMs = std::max(0, fromMs - windowMs);
    }
}

TPlannedEnd PlanEnd(std::int64_t lengthMs, std::int64_t fadeTimeMs,
                    const std::optional<TTrackEnd> &end, const std::optional<TTrackStart> &next) {
    const bool found = end && end->SoundEndMs <= lengthMs;
    const std::int64_t endMs = found ? end->SoundEndMs : lengthMs;
    TPlannedEnd plan{endMs, fadeTimeMs};
    std::int64_t ramp = 0;
    if (found && end->FadeFromMs && *end->FadeFromMs < endMs) {
        ramp = endMs - *end->FadeFromMs;
        plan.OverFadeOut = true;
    }
    if (next && next->RampMs && *next->RampMs > 0) {
        ramp = std::max<std::int64_t>(ramp, *next->RampMs);
        plan.OverFadeIn = true;
    }
    if (ramp > 0)
        plan.FadeMs = std::min(fadeTimeMs, ramp);
    return plan;
}

} // namespace endplan
