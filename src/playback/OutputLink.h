// Who may call the host's output plug-in for the running request: the playback thread, until a
// stop that waited in vain for it gives the output up. Once a plug-in's Stop has returned, the
// host's next plug-in may Open the same output at once, so a late call from us would land on it.
#pragma once

#include "../hostlink/FaultGuard.h"

#include <atomic>
#include <mutex>
#include <utility>

class TOutputLink {
  public:
    // Playback thread: one guarded call into the output; false when the output was given up, or
    // the call faulted or raised anything. The lock only orders these calls against GiveUp: the
    // host's thread never holds it while it calls the output.
    template <class F> bool Call(F &&call) {
        std::lock_guard guard(calls_);
        if (givenUp_)
            return false;
        try {
            return CallGuarded(std::forward<F>(call));
        } catch (...) {
            return false;
        }
    }
    // Host's thread, after a stop's wait ran out: no further call is made. Calls already under
    // way are not waited for long: a stalled output keeps its own.
    void GiveUp();
    // Playback thread, as a request starts: the output is the request's again.
    void Restore() { givenUp_ = false; }
    bool GivenUp() const { return givenUp_; }

    // Host: another plug-in played into the output (or it was given up), so the engine's next
    // request must open it anew. Playback: taken as a request prepares its output.
    std::atomic<bool> UsedElsewhere{false};

  private:
    std::mutex calls_;
    std::atomic<bool> givenUp_{false};
};
