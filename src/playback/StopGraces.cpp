#include "StopGraces.h"

#include <windows.h>

bool TStopGraces::BeginSkip() {
    std::lock_guard guard(lock_);
    if (skip_ != Skip::None) {
        skip_ = Skip::None;
        return false;
    }
    skip_ = Skip::Pending;
    skipDeadline_ = GetTickCount64() + kSkipGraceMs;
    return true;
}

TStopGraces::Take TStopGraces::TakeSkip() {
    std::lock_guard guard(lock_);
    if (skip_ != Skip::Pending)
        return Take::None;
    if (GetTickCount64() <= skipDeadline_) {
        skip_ = Skip::Taken;
        return Take::Taken;
    }
    return Take::Expired;
}

bool TStopGraces::EndSkip() {
    std::lock_guard guard(lock_);
    const bool was = skip_ != Skip::None;
    skip_ = Skip::None;
    return was;
}

TStopGraces::Skip TStopGraces::SkipState(std::uint64_t &deadline) const {
    std::lock_guard guard(lock_);
    deadline = skipDeadline_;
    return skip_;
}

void TStopGraces::SkipTaken() {
    std::lock_guard guard(lock_);
    if (skip_ == Skip::Taken)
        skip_ = Skip::None;
}

bool TStopGraces::SkipGraceOver() {
    std::lock_guard guard(lock_);
    if (skip_ != Skip::Pending)
        return false;
    skip_ = Skip::None;
    return true;
}

bool TStopGraces::BeginEndStop() {
    std::lock_guard guard(lock_);
    if (endStopPending_)
        return false;
    endStopPending_ = true;
    endStopDeadline_ = GetTickCount64() + kEndStopGraceMs;
    return true;
}

TStopGraces::EndStop TStopGraces::TakeEndStop(bool prepared) {
    std::lock_guard guard(lock_);
    if (!endStopPending_)
        return EndStop::None;
    endStopPending_ = false;
    return GetTickCount64() <= endStopDeadline_ && prepared ? EndStop::Continues : EndStop::Expired;
}
