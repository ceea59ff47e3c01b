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
#include "../sound/FadeOutChain.h"
#include "../sound/FadeOutConversion.h"
#include "../sound/Resampler.h"

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
    std::vector<std::uint8_t> frames;
    std::int64_t first = history_.Frames(), start = first;
    int heard = 0;
    if (history_.IsValid() && CallOutput([&] { heard = output->GetOutputTime(); })) {
        // Rounded down to whole milliseconds: the flush trims what is heard by then. Heard
        // frames before it are kept to prime a converter, should the next track need one.
        start = std::max(history_.FrameAt(heard), history_.OldestFrame());
        first = std::max(start - TResampler::MaxPrimerFrames(), history_.OldestFrame());
        frames = history_.CopyFrom(first);
    }
    if (start >= history_.Frames() && !continuation)
        return nullptr;
    return std::make_unique<TUnheardRestSource>(std::move(frames), first, start,
                                                std::move(continuation), format.BitsPerSample,
                                                format.Channels, format.SampleRate,
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

bool TInPluginPlaybackThread::PlanFlushAtHeardFrame(Out_Module *output, int flushToMs) {
    auto *rest = dynamic_cast<TUnheardRestSource *>(Crossfade.Source.get());
    int now = 0;
    if (!history_.IsValid() || !CallOutput([&] { now = output->GetOutputTime(); }))
        return false;
    const std::int64_t at = history_.ExactTimeFrom(std::int64_t{now} + kSwitchLeadMs);
    if (history_.FrameAt(at) >= history_.Frames()) {
        if (rest)
            rest->StartAt(rest->EndFrame()); // all of it is heard from the output
        return false;
    }
    if (rest)
        rest->StartAt(history_.FrameAt(at));
    history_.Restart(flushToMs); // what follows is the new stream's
    flushAtMs_ = at;
    flushToMs_ = flushToMs;
    return true;
}

// Missed (the thread was kept from running as the clock turned), the flush comes at once: what
// played meanwhile is heard twice, and nothing is lost.
void TInPluginPlaybackThread::FlushAtPlannedMoment(Out_Module *output) {
    const std::int64_t at = std::exchange(flushAtMs_, -1);
    if (FlushWhenClockTurns(output, at, flushToMs_) != at)
        CallOutput([&] { output->Flush(flushToMs_); });
    outputBaseMs_ = 0;
    countsOwnBytes_ = false;
    pendingPositionMs_ = -1;
}

bool TInPluginPlaybackThread::FlushAtHeardFrame(Out_Module *output, int flushToMs) {
    if (!PlanFlushAtHeardFrame(output, flushToMs))
        return false;
    FlushAtPlannedMoment(output);
    return true;
}

// Sleeps while the moment is more than five milliseconds off, then looks without pause. The
// clock has turned exactly at ms when one look saw it before and the next at ms, both within
// 50 microseconds; the flush follows at once, unless the thread was held up on the way to it.
std::int64_t TInPluginPlaybackThread::FlushWhenClockTurns(Out_Module *output, std::int64_t ms,
                                                        int flushToMs) {
    LARGE_INTEGER frequency{}, lookStarted{}, lastStarted{}, looked{}, flushing{};
    QueryPerformanceFrequency(&frequency);
    const LONGLONG closeTogether = std::max<LONGLONG>(frequency.QuadPart / 20000, 1); // 50 us
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(kSwitchLeadMs) * 2 + 50;
    bool before = false; // the last look saw the clock before ms
    for (;;) {
        int now = 0;
        QueryPerformanceCounter(&lookStarted);
        if (Stopped() || !CallOutput([&] { now = output->GetOutputTime(); }))
            return -1;
        QueryPerformanceCounter(&looked);
        if (now >= ms) {
            if (now != ms || !before || looked.QuadPart - lastStarted.QuadPart > closeTogether)
                return std::max<std::int64_t>(now, ms + 1);
            QueryPerformanceCounter(&flushing);
            if (flushing.QuadPart - lastStarted.QuadPart > closeTogether)
                return ms + 1;
            CallOutput([&] { output->Flush(flushToMs); });
            return ms;
        }
        if (GetTickCount64() > deadline)
            return -1;
        lastStarted = lookStarted;
        before = true;
        if (ms - now > 5) {
            Sleep(1);
            before = false; // a look after a sleep brackets nothing
        }
    }
}

bool TInPluginPlaybackThread::ContinueStream(Out_Module *output) {
    int written = 0;
    if (!CallOutput([&] { written = output->GetWrittenTime(); }))
        return false;
    outputBaseMs_ = written;
    countsOwnBytes_ = true;
    return true;
}

// A host's own stop between two tracks. The engine told the host its track ended and holds the
// next entry's decoder (with the crossfade's outgoing track, or the last moments still in the
// output): a Stop that comes now and looks like the user's may be the host moving on without
// saying so. It waits the grace for the Play of that entry; only without it is it the user's.
bool TInPluginPlaybackThread::BeginEndOfTrackStop() {
    {
        // Under the lock the end-of-track message is posted with: a host that handles it at
        // once may call this before the request has quite ended, and must still find it over.
        std::lock_guard guard(activation_);
        if (!endOfTrackPosted_ || RequestQueued || requestActive_)
            return false;
    }
    if (NextPreLoad.IsEmpty() && !heldOutput_.load())
        return false;
    {
        std::lock_guard guard(skipLock_);
        if (endStopPending_)
            return false; // a second Stop: the user's
        endStopPending_ = true;
        endStopDeadline_ = Now() + kEndStopGraceMs;
    }
    if (HWND window = UtilWindow.load())
        PostMessageA(window, kEndStopGraceMessage, kEndStopGraceMs, reinterpret_cast<LPARAM>(this));
    return true;
}

bool TInPluginPlaybackThread::TakeEndOfTrackStop(const std::wstring &fileName) {
    {
        std::lock_guard guard(skipLock_);
        if (!endStopPending_)
            return false;
        endStopPending_ = false;
        const bool prepared = NextPreLoad.Inspect(
            [&](const TInPluginPlaybackThreadPreLoad &next) { return next.FileName == fileName; });
        if (Now() <= endStopDeadline_ && (prepared || heldOutput_.load()))
            return true;
    }
    StopNow(true);
    return false;
}

// The stop's generation moves on under the same lock a Play takes first: a Play that comes
// after it posts a request this stop does not cancel.
void TInPluginPlaybackThread::OnEndOfTrackStopGraceOver() {
    {
        std::lock_guard guard(skipLock_);
        if (!endStopPending_)
            return;
        endStopPending_ = false;
        CancelRequests();
    }
    if (WaitForSingleObject(idle_, 0) == WAIT_OBJECT_0)
        StopBetweenTracksNow();
}

// The user's stop, on the playback thread between requests: what a stop's clean-up lets go of.
void TInPluginPlaybackThread::StopBetweenTracksNow() {
    RequestQueued = false;
    endOfTrackPosted_ = false;
    heldEndMs_ = -1;
    heldOutput_ = nullptr;
    FreePreLoad(NextPreLoad.Take());
    if (Out_Module *opened = OpenedOutModule) {
        EndAsStopped(opened);
    } else {
        Crossfade.ReleaseSource();
        FreePreLoad(std::move(FadePreLoad));
    }
    StopRequested = true;
}
