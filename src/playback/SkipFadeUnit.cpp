// The fade on skip. The host skips with a user's Stop followed at once by a Play of another
// file: the Stop waits a short grace for that Play instead of cutting the track dead. The
// stopped track's decoder then goes on from what the listener heard as the fade-out source of
// the next request, and the output, still playing the stopped track, is flushed only when the
// first mixed block is written, so that nothing goes silent in between. Without the Play the
// grace ends in the stop it would have been.
#include "InPluginPlaybackThreadUnit.h"

#include "../hostlink/FaultGuard.h"

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
    if (SkipFadeMs() <= 0 || Paused || !Module.is_seekable || !output || !IsPlaying)
        return false;
    // Announced before the loop is asked whether it still reads: either the loop sees the
    // announcement or this sees it gone.
    skipRequested_ = true;
    if (!inBlockLoop_) {
        skipRequested_ = false;
        return false;
    }
    int heard = 0;
    if (!CallGuarded([&] { heard = GetOutputTime(); }) || heard < 0) {
        skipRequested_ = false;
        return false;
    }
    skipHeardMs_ = heard;
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
    const int heard = skipHeardMs_.load();
    const int remaining = LengthMs.load() - heard;
    const bool fades = state != SkipState::None && !Stopped() && Decoder.IsOpen() &&
                       remaining > 0 && Decoder.SetTime(heard) == TDecoder::SeekResult::Moved;
    if (!fades) {
        Decoder.Close();
        StopRequested = true;
        FreePreLoad(NextPreLoad.Take());
        return EndAsStopped(output);
    }
    // What was prepared for the track's natural end goes nowhere now.
    FreePreLoad(std::move(FadePreLoad));
    fadeKill_ = 0;
    Crossfade.HoldSource(MakeDecoderFadeOutSource(std::move(Decoder), blockBytes_, remaining,
                                                  reinterpret_cast<int *>(&fadeKill_)));
    Crossfade.Armed = false;
    Crossfade.Started = false; // a fade that ran is over: the next one starts afresh
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
