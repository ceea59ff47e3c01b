#include "EdgePlan.h"

#include "sound/BlockMath.h"
#include "sound/EndPlan.h"
#include "sound/TrackEdges.h"

#include <algorithm>

namespace demo {

namespace {

TLookAheadWishes WishesOf(const RenderOptions &options) {
    return {options.SkipSilence, options.SilenceThresholdDb, options.FadeOverOwnFadeOuts,
            options.OwnFadeOutDropDb};
}

// The blocks the plug-in reads a track in.
std::int64_t BlockFrames(const PcmFormat &format) {
    return std::max(blockmath::BlockBytesFor(format.Rate, format.Bits, format.Channels) /
                        std::max(format.FrameBytes(), 1),
                    1);
}

// As the look-ahead does: the track from ScanFromMs to its end through the scanner, a trailing
// silence longer than that followed back.
std::optional<TTrackEnd> FindEnd(const PcmFormat &format, std::int64_t frames, int fadeMs,
                                 const TLookAheadWishes &wishes, const FrameReader &read) {
    const std::int64_t block = BlockFrames(format);
    const auto feed = [&](int fromMs, std::int64_t untilFrame, TTrackEndScanner &scanner) {
        const std::int64_t first = std::int64_t{fromMs} * format.Rate / 1000;
        scanner.Reset(first);
        for (std::int64_t at = first; at < std::min(untilFrame, frames); at += block) {
            const std::vector<std::uint8_t> pcm =
                read(at, std::min({block, frames - at, untilFrame - at}));
            if (pcm.empty())
                break;
            scanner.Feed(pcm.data(), static_cast<int>(pcm.size() / format.FrameBytes()));
        }
        return true;
    };
    return endplan::FollowTrackEnd(TrackLengthMs(frames, format.Rate), format.Rate, format.Bits,
                                   format.Channels, fadeMs, wishes, feed);
}

// As the look-ahead reads the next entry's start: its first sound (the threshold where silence
// is skipped, else any sound at all) and a fade-in of its own from there.
std::optional<TTrackStart> FindStart(const PcmFormat &format, std::int64_t frames,
                                     const TLookAheadWishes &wishes, const FrameReader &read) {
    const double seconds = endplan::kStartScanMs / 1000.0 + 1.0;
    TTrackEndScanner scanner(format.Rate, format.Bits, format.Channels, seconds);
    scanner.Reset(0);
    const int threshold = wishes.SkipSilence ? wishes.SilenceThresholdDb : endplan::kInaudibleDb;
    const std::int64_t most = std::int64_t{endplan::kStartScanMs} * format.Rate / 1000;
    const std::int64_t block = std::max<std::int64_t>(16384 / format.FrameBytes(), 1);
    std::int64_t soundStart = -1;
    for (std::int64_t at = 0; at < frames && at < most; at += block) {
        const std::vector<std::uint8_t> pcm = read(at, std::min(block, frames - at));
        const int count = static_cast<int>(pcm.size() / format.FrameBytes());
        if (count == 0)
            break;
        const int first =
            trackedges::FirstSoundFrame(pcm.data(), count, format.Bits, format.Channels, threshold);
        if (soundStart < 0 && first < count)
            soundStart = at + first;
        scanner.Feed(pcm.data(), count);
    }
    return endplan::TrackStartFrom(scanner, soundStart, wishes, format.Rate);
}

// As the engine reads past a track's leading silence: whole silent blocks up to the most it
// skips, then the silence at the start of the first block with sound; a silence shorter than
// the shortest it skips is part of the music, and one longer than the most, or to the end, is
// played as it is.
std::int64_t LeadingSilence(const PcmFormat &format, std::int64_t frames, double thresholdDb,
                            const FrameReader &read) {
    const std::int64_t most = std::int64_t{format.Rate} * endplan::kMaxLeadingSilenceMs / 1000;
    const std::int64_t block = BlockFrames(format);
    std::int64_t skipped = 0;
    for (std::int64_t at = 0; at < frames; at += block) {
        const std::vector<std::uint8_t> pcm = read(at, std::min(block, frames - at));
        const int count = static_cast<int>(pcm.size() / format.FrameBytes());
        if (count == 0)
            break;
        const int first = trackedges::FirstSoundFrame(pcm.data(), count, format.Bits,
                                                      format.Channels, thresholdDb);
        if (first >= count && skipped + count <= most) {
            skipped += count;
            continue;
        }
        if (first >= count)
            return 0;
        return endplan::SkipsLead(skipped + first, format.Rate) ? skipped + first : 0;
    }
    return 0;
}

// Whether the track has an own fade-out that the look-ahead would follow were its quiet end not
// silence: one that falls below the silence threshold before it has fallen far enough to count.
bool FadeOutWithSilencePlayed(const PcmFormat &format, std::int64_t frames,
                              const RenderOptions &options, const FrameReader &read) {
    TLookAheadWishes played = WishesOf(options);
    played.SkipSilence = false;
    const std::optional<TTrackEnd> end = FindEnd(format, frames, options.FadeMs, played, read);
    return endplan::PlanEnd(TrackLengthMs(frames, format.Rate), options.FadeMs, end).OverFadeOut;
}

} // namespace

TrackEdgePlan PlanTrackEdges(const PcmFormat &format, std::int64_t frames,
                             const RenderOptions &options, const FrameReader &read,
                             const NextTrack &next) {
    TrackEdgePlan plan;
    const TLookAheadWishes wishes = WishesOf(options);
    if (!wishes.Any() || format.Rate <= 0 || format.FrameBytes() <= 0 || frames <= 0)
        return plan;
    const std::optional<TTrackEnd> end = FindEnd(format, frames, options.FadeMs, wishes, read);
    std::optional<TTrackStart> start;
    if (wishes.FollowOwnFadeOut && next.Read && next.Format.Rate > 0 &&
        next.Format.FrameBytes() > 0)
        start = FindStart(next.Format, next.Frames, wishes, next.Read);
    const endplan::TPlannedEnd planned =
        endplan::PlanEnd(TrackLengthMs(frames, format.Rate), options.FadeMs, end, start);
    plan.OwnFadeIn = start && start->RampMs && planned.FadeMs == *start->RampMs;
    plan.InSpeed = planned.OverFadeOut ? endplan::kRampSpeed : 1.0;
    plan.OutSpeed = planned.OverFadeIn ? endplan::kRampSpeed : 1.0;
    plan.EndMs = planned.EndMs;
    plan.FadeMs = planned.FadeMs;
    plan.OwnFadeOut = end && end->FadeFromMs && *end->FadeFromMs < end->SoundEndMs &&
                      end->SoundEndMs <= plan.EndMs;
    if (options.SkipSilence)
        plan.LeadingSilenceFrames =
            LeadingSilence(format, frames, options.SilenceThresholdDb, read);
    if (options.SkipSilence && wishes.FollowOwnFadeOut && !planned.OverFadeOut &&
        FadeOutWithSilencePlayed(format, frames, options, read))
        plan.OwnFadeOutCutAtDb = options.SilenceThresholdDb;
    return plan;
}

} // namespace demo
