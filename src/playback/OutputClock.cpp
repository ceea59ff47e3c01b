#include "OutputClock.h"

#include "RequestState.h"

#include <windows.h>

#include <algorithm>
#include <climits>

namespace {

std::uint64_t CounterMicroseconds() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER value{};
        QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return static_cast<std::uint64_t>(now.QuadPart / frequency * 1'000'000 +
                                      now.QuadPart % frequency * 1'000'000 / frequency);
}

// Beyond this pace nobody listens in real time: the output takes what it is given at once.
constexpr double kTakesAllAtOncePace = 8.0;
// What a held-back block leaves of the output's sound at the least, for the thread to come back.
constexpr int kHoldBackMarginMs = 150;

} // namespace

std::uint64_t TOutputClock::NowUs() {
    return CounterMicroseconds();
}

TUrgentThread::TUrgentThread() : previous_(GetThreadPriority(GetCurrentThread())) {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
}

TUrgentThread::~TUrgentThread() {
    SetThreadPriority(GetCurrentThread(), previous_);
}

std::uint64_t TOutputClock::TStillWatch::Now() {
    return GetTickCount64();
}

bool TOutputClock::TStillWatch::StandsStill(int heldMs) {
    const std::uint64_t now = Now();
    if (heldMs != lastHeldMs_) {
        lastHeldMs_ = heldMs;
        movedAt_ = now;
    }
    return now - movedAt_ > kStillClockMs;
}

void TOutputClock::TStillWatch::Restart() {
    movedAt_ = Now();
}

std::optional<int> TOutputClock::HeardMs(Out_Module *output) {
    int heard = 0;
    if (!link_.Call([&] { heard = output->GetOutputTime(); }))
        return std::nullopt;
    return heard;
}

int TOutputClock::HeldMs(Out_Module *output) {
    int written = 0, heard = 0;
    if (!link_.Call([&] { written = output->GetWrittenTime(); }) ||
        !link_.Call([&] { heard = output->GetOutputTime(); }))
        return -1;
    return std::max(0, written - heard);
}

int TOutputClock::HeardForHost(Out_Module *output) {
    int time = 0;
    if (!output || !CallGuarded([&] { time = output->GetOutputTime(); }))
        return 0;
    return time;
}

// A turn counts as seen as it happens when the look that saw it began within kCloseLooksUs of
// the look before, which still saw the clock short of it; the act must follow within the same
// bound of that earlier look, or the thread was held up on the way to it.
TOutputClock::TurnResult
TOutputClock::ActAtTurn(Out_Module *output, std::int64_t fromMs,
                        const std::function<bool(const TTurn &)> &wanted,
                        const std::function<void(const TTurn &)> &act, int timeoutMs) {
    const std::uint64_t deadline = GetTickCount64() + static_cast<std::uint64_t>(timeoutMs);
    std::uint64_t movedAt = GetTickCount64();
    std::int64_t previous = -1;
    std::uint64_t previousStarted = 0;
    for (;;) {
        if (state_.Stopped())
            return TurnResult::Stopped;
        const std::uint64_t started = NowUs();
        int now = 0;
        if (!link_.Call([&] { now = output->GetOutputTime(); }))
            return TurnResult::Failed;
        const std::uint64_t looked = NowUs();
        if (previous >= 0 && now != previous) {
            const TTurn turn{now, now - previous > 1, previousStarted, previous};
            const bool seenAsItHappens = looked - previousStarted <= kCloseLooksUs;
            if (now >= fromMs && seenAsItHappens && wanted(turn) &&
                NowUs() - previousStarted <= kCloseLooksUs) {
                act(turn);
                return TurnResult::Acted;
            }
            movedAt = GetTickCount64();
        }
        previous = now;
        previousStarted = started;
        const std::uint64_t tick = GetTickCount64();
        if (state_.Paused)
            movedAt = tick;
        if (tick - movedAt > kStillClockMs)
            return TurnResult::StandsStill;
        if (tick > deadline)
            return TurnResult::Failed;
        // Far from the moment the thread sleeps; close to it, it looks without pause.
        if (fromMs - now > 5)
            Sleep(1);
    }
}

void TOutputClock::RestartPace() {
    paceStartUs_ = paceLastUs_ = 0;
    paceStartHeard_ = paceLastHeard_ = -1;
    lastPace_.reset();
}

void TOutputClock::WatchPace(Out_Module *output) {
    const std::optional<int> heard = HeardMs(output);
    if (!heard)
        return;
    const std::uint64_t now = NowUs();
    if (paceStartHeard_ < 0 || *heard < paceLastHeard_) { // first look, or the clock restarted
        if (const std::optional<double> pace = Pace())
            lastPace_ = pace;
        paceStartUs_ = now;
        paceStartHeard_ = *heard;
    }
    paceLastUs_ = now;
    paceLastHeard_ = *heard;
}

std::optional<double> TOutputClock::Pace() const {
    if (paceStartHeard_ < 0)
        return std::nullopt;
    const double wallMs = static_cast<double>(paceLastUs_ - paceStartUs_) / 1000.0;
    const auto heardMs = static_cast<double>(paceLastHeard_ - paceStartHeard_);
    // A clock that ran ahead of the wall clock by far tells so soon; real time takes a while.
    const bool racesAhead = heardMs >= 100.0 && heardMs >= kTakesAllAtOncePace * wallMs;
    if (wallMs < 200.0 && heardMs < 1000.0 && !racesAhead)
        return lastPace_;
    return wallMs > 0.0 ? heardMs / wallMs : kTakesAllAtOncePace;
}

int TOutputClock::CanHoldBackMs(Out_Module *output, bool beforeFirstBlock) {
    WatchPace(output);
    const std::optional<double> pace = Pace();
    // A clock that races ahead, or tells nothing at all: nobody hears this output in real time.
    if (pace && (*pace >= kTakesAllAtOncePace || *pace < 0.05))
        return INT_MAX;
    const int held = HeldMs(output);
    if (held <= 0)
        return beforeFirstBlock ? kStartGraceMs : 0;
    const double playing = pace ? std::max(*pace, 1.0) : 1.0;
    return std::max(0, static_cast<int>(held / playing) - kHoldBackMarginMs);
}
