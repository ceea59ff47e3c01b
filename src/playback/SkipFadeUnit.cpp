// The fade on skip. The host skips with a user's Stop followed at once by a Play of another
// file: the Stop waits a short grace for that Play instead of cutting the track dead. What the
// listener would have gone on hearing (the output's unheard rest, then the stopped track read on
// from where it was, with any fade it was in) becomes the fade-out source of the next request.
// The output keeps playing the stopped track until that request's first block; it is flushed at
// a frame the engine knows exactly, and the fade-out goes on from that very frame: nothing is
// heard twice, nothing is lost and the output never runs dry. Without the Play the grace ends in
// the stop it would have been.
#include "InPluginPlaybackThreadUnit.h"

#include "../hostlink/FaultGuard.h"
#include "FadeOutChain.h"
#include "FadeOutConversion.h"

#include <algorithm>

namespace {

unsigned long long Now() {
    return GetTickCount64();
}

} // namespace

bool TInPluginPlaybackThread::BeginSkip() {
    std::lock_guard guard(skipLock_);
    if (skipState_ != SkipState::None) {
        // A second Stop, or one after a skip's Play: a stop as any other.
        skipState_ = SkipState::None;
        return false;
    }
    Out_Module *output = OutModule.load();
    if (SkipFadeMs() <= 0 || skipsEnded_ || Paused || !output || !IsPlaying)
        return false;
    // Announced before the request is asked whether it still plays: either the request sees the
    // announcement or this sees it gone.
    skipRequested_ = true;
    if (!skippable_) {
        skipRequested_ = false;
        return false;
    }
    skipDeadline_ = Now() + kSkipGraceMs;
    skipState_ = SkipState::Pending;
    // As a user's stop does; the rest of an earlier track still held goes with the flush.
    heldEndMs_ = -1;
    heldOutput_ = nullptr;
    FreePreLoad(NextPreLoad.Take());
    return true;
}

bool TInPluginPlaybackThread::TakeSkip() {
    {
        std::lock_guard guard(skipLock_);
        if (skipState_ != SkipState::Pending)
            return false;
        if (Now() <= skipDeadline_) {
            skipState_ = SkipState::Taken;
            return true;
        }
    }
    ConcludeSkipAsStop();
    return false;
}

void TInPluginPlaybackThread::EndSkips() {
    skipsEnded_ = true;
    ConcludeSkipAsStop();
}

void TInPluginPlaybackThread::ConcludeSkipAsStop() {
    {
        std::lock_guard guard(skipLock_);
        if (skipState_ == SkipState::None)
            return;
        skipState_ = SkipState::None;
    }
    StopNow(true);
}

// The stopped track goes on from the heard position as the outgoing track of the next request;
// the grace timer ends it as a stop if no Play comes. Answers false: the host is not told.
bool TInPluginPlaybackThread::EndAsSkipped(Out_Module *output) {
    skipRequested_ = false;
    SkipState state = SkipState::None;
    unsigned long long deadline = 0;
    {
        std::lock_guard guard(skipLock_);
        state = skipState_;
        deadline = skipDeadline_;
    }
    std::unique_ptr<TFadeOutSource> unheard =
        state != SkipState::None && !Stopped() ? UnheardStream(output) : nullptr;
    if (!unheard) {
        Decoder.Close();
        StopRequested = true;
        FreePreLoad(NextPreLoad.Take());
        return EndAsStopped(output);
    }
    // What was prepared for the track's natural end goes nowhere now.
    FreePreLoad(std::move(FadePreLoad));
    FreePreLoad(NextPreLoad.Take());
    Crossfade.HoldSource(std::move(unheard));
    Crossfade.Armed = false;
    skipSource_ = true;
    fadeInto_.clear();
    if (state == SkipState::Pending) {
        const unsigned long long now = Now();
        const auto left = static_cast<UINT>(deadline > now ? deadline - now : 0);
        SetTimer(UtilWindow.load(), kSkipGraceTimer, std::max<UINT>(left, USER_TIMER_MINIMUM),
                 nullptr);
    }
    return false;
}

// No Play came in time: the stop the Stop was, on this thread.
void TInPluginPlaybackThread::OnSkipGraceOver() {
    {
        std::lock_guard guard(skipLock_);
        if (skipState_ != SkipState::Pending)
            return;
        skipState_ = SkipState::None;
    }
    if (WaitForSingleObject(idle_, 0) != WAIT_OBJECT_0)
        return; // a running request decides for itself
    skipSource_ = false;
    if (Out_Module *opened = OpenedOutModule)
        EndAsStopped(opened);
    else
        Crossfade.ReleaseSource();
}

// Whether this request fades in over a skipped track: only the skip's own Play takes it.
bool TInPluginPlaybackThread::TakeSkipSource(bool skipRequest) {
    {
        std::lock_guard guard(skipLock_);
        if (skipState_ == SkipState::Taken)
            skipState_ = SkipState::None;
    }
    const bool takes = skipRequest && skipSource_ && Crossfade.Source;
    skipSource_ = false;
    return takes;
}

std::unique_ptr<TFadeOutSource> TInPluginPlaybackThread::UnheardStream(Out_Module *output) {
    fadeKill_ = 0;
    std::unique_ptr<TFadeOutSource> continuation = StreamContinuation();
    const TPcmFormat format{OpenedBits, OpenedChannels, OpenedRate};
    if (continuation && FormatOf(*continuation) != format)
        continuation.reset(); // already converted for a next track: only the rest fades
    std::vector<std::uint8_t> unheard;
    std::int64_t first = history_.Frames();
    int heard = 0;
    if (history_.IsValid() && CallOutput([&] { heard = output->GetOutputTime(); })) {
        // Rounded down to whole milliseconds: the flush trims what is heard by then.
        first = std::max(history_.FrameAt(heard), history_.OldestFrame());
        unheard = history_.CopyFrom(first);
    }
    if (unheard.empty() && !continuation)
        return nullptr;
    return std::make_unique<TUnheardRestSource>(std::move(unheard), first, std::move(continuation),
                                                format.BitsPerSample, format.Channels,
                                                format.SampleRate,
                                                blockBytes_);
}

// The track read on from where the block loop left it; a fade it was still mixing in goes on
// inside it. After the loop (the output playing out the end) only a track handed over to a
// crossfade is left of it.
std::unique_ptr<TFadeOutSource> TInPluginPlaybackThread::StreamContinuation() {
    if (!Decoder.IsOpen()) {
        if (Crossfade.Source && !Crossfade.Armed)
            return std::move(Crossfade.Source);
        Crossfade.ReleaseSource();
        return nullptr;
    }
    const int rate = std::max(Decoder.SampleRate, 1);
    const auto readMs = decodedFromMs_ + static_cast<int>(decodedFrames_ * 1000 / rate);
    const int remaining = std::max(Decoder.LengthMs - readMs, 0);
    auto track = MakeDecoderFadeOutSource(std::move(Decoder), blockBytes_, remaining,
                                          reinterpret_cast<int *>(&fadeKill_));
    if (!Crossfade.Armed || !Crossfade.Source) {
        Crossfade.ReleaseSource();
        return track;
    }
    auto olderFade = std::make_unique<TCrossfadeState>();
    Crossfade.MoveFadeInto(*olderFade);
    return std::make_unique<TStillMixingSource>(std::move(track), std::move(olderFade));
}

bool TInPluginPlaybackThread::FlushAtHeardFrame(Out_Module *output, int flushToMs) {
    pendingPositionMs_ = -1;
    auto *rest = dynamic_cast<TUnheardRestSource *>(Crossfade.Source.get());
    int now = 0;
    if (!history_.IsValid() || !CallOutput([&] { now = output->GetOutputTime(); }))
        return false;
    const ULONGLONG deadline = GetTickCount64() + kSwitchLeadMs * 4 + 100;
    std::int64_t at = history_.ExactTimeFrom(std::int64_t{now} + kSwitchLeadMs);
    for (;;) {
        if (history_.FrameAt(at) >= history_.Frames()) {
            if (rest)
                rest->StartAt(rest->EndFrame()); // all of it is heard from the output
            return false;
        }
        const std::int64_t seen = CatchClockAt(output, at);
        if (seen == at)
            break;
        // Missed (the thread was kept from running as the clock turned): the next exact moment,
        // or, with the time up, the clock as it was last seen.
        if (seen < 0 || GetTickCount64() > deadline) {
            at = std::max(at, seen);
            break;
        }
        at = history_.ExactTimeFrom(seen + 1);
    }
    if (rest)
        rest->StartAt(history_.FrameAt(at));
    CallOutput([&] { output->Flush(flushToMs); });
    history_.Restart(flushToMs);
    outputBaseMs_ = 0;
    countsOwnBytes_ = false;
    return true;
}

// Sleeps while the moment is more than two milliseconds off, then looks without pause: the
// clock is caught turning only when two looks close together fall on either side of it.
std::int64_t TInPluginPlaybackThread::CatchClockAt(Out_Module *output, std::int64_t ms) {
    LARGE_INTEGER frequency{}, previous{}, current{};
    QueryPerformanceFrequency(&frequency);
    const LONGLONG closeTogether = std::max<LONGLONG>(frequency.QuadPart / 20000, 1); // 50 us
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(kSwitchLeadMs) * 2 + 50;
    bool looked = false;
    for (;;) {
        int now = 0;
        if (Stopped() || !CallOutput([&] { now = output->GetOutputTime(); }))
            return -1;
        QueryPerformanceCounter(&current);
        if (now >= ms)
            return now == ms && looked && current.QuadPart - previous.QuadPart <= closeTogether
                       ? ms
                       : std::max<std::int64_t>(now, ms + 1);
        if (GetTickCount64() > deadline)
            return -1;
        previous = current;
        looked = true;
        if (ms - now > 2)
            Sleep(1);
    }
}

void TInPluginPlaybackThread::ContinueStream(Out_Module *output) {
    int written = 0;
    CallOutput([&] { written = output->GetWrittenTime(); });
    outputBaseMs_ = written;
    countsOwnBytes_ = true;
}
