#include "EdgeScan.h"

#include "DecoderUnit.h"

#include <algorithm>
#include <vector>

namespace {

// A part read short by more than this (a read error, an owner that stopped early) is no answer.
constexpr int kShortReadToleranceMs = 1000;
// Each read asks for this much: any frame fits, whatever the format an open tells.
constexpr std::size_t kReadBytes = 16384;
// The start's scanner reads this much, and is made to keep a little more: a rate's windows of
// whole frames take slightly more than a hundred a second.
constexpr double kStartScanSeconds = endplan::kStartScanMs / 1000.0 + 1.0;
constexpr double kStartScannerSeconds = kStartScanSeconds * 1.05;

std::optional<TDecoder> OpenForScan(THookedInPlugin &plugin, const std::wstring &fileName,
                                    bool needSetTime, int knownLengthMs, TScanContext &context) {
    bool faulted = false;
    TDecoderOpenOptions options;
    options.NeedSetTime = needSetTime;
    options.KnownLengthMs = knownLengthMs;
    options.GuardsOwner = false;
    options.Faulted = &faulted;
    auto decoder = OpenDecoder(plugin, fileName, options);
    context.Faulted = context.Faulted || faulted;
    if (decoder)
        decoder->KillSwitch = context.KillSwitch;
    return decoder;
}

// Reads the decoder into the scanner until its frame `untilFrame` (or its end). Answers false
// when it was cancelled or the plug-in faulted; `ended` tells whether the decoder ran dry.
// onBlock sees each block first (the start's first sound).
bool FeedScanner(TDecoder &decoder, TTrackEndScanner &scanner, std::int64_t untilFrame,
                 TScanContext &context, bool &ended,
                 const std::function<void(const std::uint8_t *, int)> &onBlock = {}) {
    std::vector<std::uint8_t> block(kReadBytes);
    const int frameBytes = decoder.BitsPerSample / 8 * decoder.Channels;
    ended = false;
    while (scanner.EndFrame() < untilFrame) {
        if (context.Cancelled && context.Cancelled())
            return false;
        const std::int64_t wanted = (untilFrame - scanner.EndFrame()) * frameBytes;
        const int bytes = decoder.ReadFrames(
            block.data(), static_cast<int>(std::min<std::int64_t>(wanted, kReadBytes)));
        if (decoder.Faulted()) {
            context.Faulted = true;
            return false;
        }
        if (bytes < 1) {
            ended = true;
            return true;
        }
        const int frames = bytes / frameBytes;
        if (onBlock)
            onBlock(block.data(), frames);
        scanner.Feed(block.data(), frames);
    }
    return true;
}

bool Interrupted(const TScanContext &context) {
    return (context.KillSwitch && *context.KillSwitch != 0) ||
           (context.Cancelled && context.Cancelled());
}

} // namespace

std::optional<TTrackEnd> ScanTrackEnd(const TEndScanJob &job, TScanContext &context) {
    if (!job.Plugin || job.LengthMs <= 0 || job.Rate <= 0)
        return std::nullopt;
    auto decoder = OpenForScan(*job.Plugin, job.FileName, true, job.LengthMs, context);
    if (!decoder || decoder->SampleRate != job.Rate || decoder->BitsPerSample != job.Bits ||
        decoder->Channels != job.Channels)
        return std::nullopt;
    const std::int64_t tolerance = std::int64_t{kShortReadToleranceMs} * job.Rate / 1000;
    bool first = true;
    const auto feed = [&](int fromMs, std::int64_t untilFrame, TTrackEndScanner &scanner) {
        // An owner that cannot seek gets the plain end.
        if ((fromMs > 0 || !first) && decoder->SetTime(fromMs) != TDecoder::SeekResult::Moved)
            return false;
        first = false;
        scanner.Reset(std::int64_t{fromMs} * job.Rate / 1000);
        bool ended = false;
        if (!FeedScanner(*decoder, scanner, untilFrame, context, ended) || Interrupted(context))
            return false;
        return !ended || scanner.EndFrame() + tolerance >= untilFrame; // read short: no answer
    };
    return endplan::FollowTrackEnd(job.LengthMs, job.Rate, job.Bits, job.Channels, job.FadeTimeMs,
                                   job.Wishes, feed);
}

std::optional<TTrackStart> ScanTrackStart(const TStartScanJob &job, TScanContext &context) {
    if (!job.Plugin || job.FileName.empty())
        return std::nullopt;
    auto decoder = OpenForScan(*job.Plugin, job.FileName, false, 0, context);
    if (!decoder)
        return std::nullopt;
    const int rate = decoder->SampleRate;
    TTrackEndScanner scanner(rate, decoder->BitsPerSample, decoder->Channels, kStartScannerSeconds);
    // Leading silence the engine does not read past is part of the rise.
    const int threshold =
        job.Wishes.SkipSilence ? job.Wishes.SilenceThresholdDb : endplan::kInaudibleDb;
    std::int64_t soundStart = -1;
    const auto findSound = [&](const std::uint8_t *pcm, int frames) {
        if (soundStart >= 0)
            return;
        const int first = trackedges::FirstSoundFrame(pcm, frames, decoder->BitsPerSample,
                                                      decoder->Channels, threshold);
        if (first < frames)
            soundStart = scanner.EndFrame() + first;
    };
    const std::int64_t wanted = std::int64_t{endplan::kStartScanMs} * rate / 1000;
    bool ended = false;
    if (!FeedScanner(*decoder, scanner, wanted, context, ended, findSound) || Interrupted(context))
        return std::nullopt;
    const std::int64_t expected =
        std::min<std::int64_t>(wanted, std::int64_t{decoder->LengthMs} * rate / 1000);
    if (ended && scanner.EndFrame() + kShortReadToleranceMs * std::int64_t{rate} / 1000 < expected)
        return std::nullopt;
    return endplan::TrackStartFrom(scanner, soundStart, job.Wishes, rate);
}
