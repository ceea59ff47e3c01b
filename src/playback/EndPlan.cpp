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

TPlannedEnd PlanEnd(std::int64_t lengthMs, std::int64_t fadeTimeMs,
                    const std::optional<TTrackEnd> &found) {
    if (!found || found->SoundEndMs > lengthMs)
        return {lengthMs, fadeTimeMs};
    const std::int64_t end = found->SoundEndMs;
    if (found->FadeFromMs && *found->FadeFromMs < end)
        return {end, std::min<std::int64_t>(fadeTimeMs, end - *found->FadeFromMs)};
    return {end, fadeTimeMs};
}

} // namespace endplan
