// The host's stops that its Play may follow at once: a skip (the user's Stop, then a Play of
// another file) and the host's own stop between tracks on a host that cannot tell it from the
// user's. Each waits a short grace for that Play. State only: the threads act on it.
#pragma once

#include <cstdint>
#include <mutex>

class TStopGraces {
  public:
    // How long a user's Stop waits for the host's Play of another file, which makes it a skip.
    static constexpr unsigned long kSkipGraceMs = 50;
    // How long a Stop right after the end-of-track message waits for the Play of the entry
    // prepared next. Longer: only a host that cannot tell its stops apart gets it, at the end of
    // a track, and a busy machine must not turn its Stop and Play into a stop and a start.
    static constexpr unsigned long kEndStopGraceMs = 250;

    enum class Skip { None, Pending, Taken };

    // Host's thread. A user's Stop that waits for a skip's Play (false: a second Stop, which is
    // a stop as any other).
    bool BeginSkip();
    // The Play that continues a pending skip, in time (Taken); Expired: the grace ran out first.
    enum class Take { None, Taken, Expired };
    Take TakeSkip();
    // Ends whatever skip there is; answers whether there was one.
    bool EndSkip();
    // Playback thread: the skip's state and the tick its grace ends at.
    Skip SkipState(std::uint64_t &deadline) const;
    // The skip's request started: nothing waits any more.
    void SkipTaken();
    // The grace ran out with the skip still pending: it ends as the stop it was.
    bool SkipGraceOver();

    // Host's thread: a Stop right after our end-of-track message waits for the prepared Play
    // (false: one waits already, and this second Stop is the user's).
    bool BeginEndStop();
    // Play: whether this Play of fileName is that one, in time; any Play ends the wait.
    // prepared tells whether the file is the one prepared (or a rest is held).
    enum class EndStop { None, Continues, Expired };
    EndStop TakeEndStop(bool prepared);
    // Playback thread: the grace ran out; cancel runs under the lock a Play takes first, so that a
    // Play after it posts a request the cancel does not end.
    template <class F> bool EndStopGraceOver(F &&cancel) {
        std::lock_guard guard(lock_);
        if (!endStopPending_)
            return false;
        endStopPending_ = false;
        cancel();
        return true;
    }

  private:
    mutable std::mutex lock_;
    Skip skip_ = Skip::None;
    std::uint64_t skipDeadline_ = 0; // tick count
    bool endStopPending_ = false;
    std::uint64_t endStopDeadline_ = 0;
};
