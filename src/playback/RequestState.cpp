#include "RequestState.h"

#include "../hostlink/PluginError.h"
#include "../hostlink/TestHooks.h"

#include <windows.h>

bool WaitServicingSends(HANDLE handle, unsigned long milliseconds) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = milliseconds == INFINITE ? INFINITE
                           : now >= deadline        ? 0
                                                    : static_cast<DWORD>(deadline - now);
        const DWORD result =
            handle ? MsgWaitForMultipleObjects(1, &handle, FALSE, left, QS_SENDMESSAGE)
                   : MsgWaitForMultipleObjects(0, nullptr, FALSE, left, QS_SENDMESSAGE);
        if (handle && result == WAIT_OBJECT_0)
            return true;
        if (result == WAIT_TIMEOUT || result == WAIT_FAILED)
            return false;
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

TRequestState::TRequestState(In_Module &module) : module_(module) {
    idle_ = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    wake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!idle_ || !wake_) {
        if (idle_)
            CloseHandle(idle_);
        if (wake_)
            CloseHandle(wake_);
        throw EPluginError("Infernal Error!");
    }
}

TRequestState::~TRequestState() {
    CloseHandle(idle_);
    CloseHandle(wake_);
}

bool TRequestState::Activate(unsigned generation) {
    std::lock_guard guard(activation_);
    if (generation != stopGeneration_.load())
        return false;
    requestActive_ = true;
    requestGeneration_ = generation;
    endOfTrackPosted_ = false;
    DecoderKill = 0;
    ResetEvent(idle_);
    return true;
}

// A stop either comes before the message, and there is none, or finds the request over.
void TRequestState::Deactivate(bool postEndOfTrack) {
    std::lock_guard guard(activation_);
    if (postEndOfTrack && requestGeneration_ == stopGeneration_.load() && !Terminated) {
        endOfTrackPosted_ = true;
        PostEndOfTrack();
        HvqHookPoint("request.end-of-track-posted");
    }
    requestActive_ = false;
    SetEvent(idle_);
}

bool TRequestState::Stopped() const {
    return stopGeneration_.load() != requestGeneration_ || Terminated;
}

bool TRequestState::KeepsGoing() const {
    return IsPlaying && !Stopped() && !SkipRequested;
}

bool TRequestState::WaitWhilePaused() const {
    bool waited = false;
    for (; Paused && KeepsGoing(); waited = true)
        Nap(50);
    return waited;
}

void TRequestState::Nap(int milliseconds) const {
    WaitForSingleObject(wake_, static_cast<DWORD>(milliseconds > 0 ? milliseconds : 0));
}

bool TRequestState::CancelRequests() {
    bool running = false;
    {
        std::lock_guard guard(activation_);
        ++stopGeneration_;
        DecoderKill = 1;
        if (requestActive_)
            FadeKill = 1;
        running = requestActive_;
    }
    Wake();
    return running;
}

void TRequestState::Wake() const {
    SetEvent(wake_);
}

bool TRequestState::WaitUntilIdle(unsigned long milliseconds) const {
    return WaitServicingSends(idle_, milliseconds);
}

bool TRequestState::IsIdle() const {
    return WaitForSingleObject(idle_, 0) == WAIT_OBJECT_0;
}

bool TRequestState::EndOfTrackJustPosted() const {
    std::lock_guard guard(activation_);
    return endOfTrackPosted_ && !RequestQueued && !requestActive_;
}

void TRequestState::MarkBusy() {
    std::lock_guard guard(activation_);
    requestActive_ = true;
    ResetEvent(idle_);
}

void TRequestState::MarkIdle() {
    std::lock_guard guard(activation_);
    requestActive_ = false;
    SetEvent(idle_);
}

void TRequestState::PostEndOfTrack() const {
    PostMessageA(module_.hMainWindow, hostapi::WM_WA_MPEG_EOF, 0, 0);
}
