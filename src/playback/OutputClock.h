// The one reader of the output's clock: what the listener has heard now, what the output still
// holds, whether its clock runs, steps or stands still, and how fast it plays. Skips, seeks, the
// host's position and every wait for the output to play out read the clock here.
#pragma once

#include "OutputLink.h"

#include "../hostlink/WinampApi.h"

#include <cstdint>
#include <functional>
#include <optional>

class TRequestState;

// The calling thread runs above everything else of the process while it watches for a moment it
// acts on, and until what follows that moment is done: a thread held up there lets the moment
// pass, or leaves the output empty.
class TUrgentThread {
  public:
    TUrgentThread();
    ~TUrgentThread();
    TUrgentThread(const TUrgentThread &) = delete;
    TUrgentThread &operator=(const TUrgentThread &) = delete;

  private:
    int previous_;
};

class TOutputClock {
  public:
    // A clock that has not moved for this long (though the output holds sound and is neither
    // paused nor stopped) stands still: nothing waits for it any longer.
    static constexpr unsigned long kStillClockMs = 1000;
    // A turn of the clock seen between two looks this close together (in microseconds) is seen
    // as it happens: whatever follows at once follows at that moment.
    static constexpr int kCloseLooksUs = 50;

    TOutputClock(TOutputLink &link, const TRequestState &state) : link_(link), state_(state) {}

    // Playback thread. The listener's time on the output's clock; none when the output fails.
    std::optional<int> HeardMs(Out_Module *output);
    // Unplayed milliseconds in the output; below 0 when it fails.
    int HeldMs(Out_Module *output);
    // The host's thread asks for the position: one guarded call, 0 when it fails.
    static int HeardForHost(Out_Module *output);

    // Tells, over a wait, when the output's clock stands still: the sound it holds has not gone
    // down for kStillClockMs. A pause of the host's does not count.
    class TStillWatch {
      public:
        bool StandsStill(int heldMs);
        void Restart();

      private:
        int lastHeldMs_ = -1;
        std::uint64_t movedAt_ = Now();
        static std::uint64_t Now();
    };

    // A turn of the clock the engine acts on: the value it turned to and whether the clock steps
    // (moves by more than a millisecond at a time) there.
    struct TTurn {
        std::int64_t Ms = 0;
        bool Steps = false;
        std::uint64_t SeenAtUs = 0; // when the look that saw it began (NowUs)
        std::int64_t FromMs = 0;    // what the clock told before it turned
    };
    // The performance counter in microseconds.
    static std::uint64_t NowUs();
    enum class TurnResult { Acted, StandsStill, Stopped, Failed };
    // Waits for the first turn of the clock, at or after fromMs, that it sees as it happens and
    // that `wanted` accepts, and calls act the very moment it sees it. Turns it sees only late
    // (the thread was held up) are let pass. The caller makes the thread urgent (TUrgentThread)
    // around the wait and what follows the act: a change of priority between them is a call
    // to the system's server, which a busy machine may be slow to answer. Gives up when the clock stands still for
    // kStillClockMs, when the request is stopped, or after timeoutMs.
    TurnResult ActAtTurn(Out_Module *output, std::int64_t fromMs,
                         const std::function<bool(const TTurn &)> &wanted,
                         const std::function<void(const TTurn &)> &act, int timeoutMs);

    // How fast the output has played (its clock against the wall clock): about 1 for a device
    // that plays in real time, far more for one that takes everything at once (a disk writer).
    // Watched over a window that restarts with the output's clock; what the last window found
    // stands until the new one can tell. None until it has been watched long enough.
    void RestartPace();
    void WatchPace(Out_Module *output);
    std::optional<double> Pace() const;
    // How long (wall clock) the engine may hold back its next block without the listener hearing
    // a gap: what the output holds at the pace it plays, less a margin; unbounded for an output
    // that takes everything at once. Before a track's first block, an output that holds nothing
    // has not begun to sound: holding back only starts the track a little later.
    static constexpr int kStartGraceMs = 1000;
    int CanHoldBackMs(Out_Module *output, bool beforeFirstBlock);

  private:
    TOutputLink &link_;
    const TRequestState &state_;
    // The pace: where the watch started, and the latest look.
    std::uint64_t paceStartUs_ = 0;
    std::int64_t paceStartHeard_ = -1;
    std::uint64_t paceLastUs_ = 0;
    std::int64_t paceLastHeard_ = -1;
    std::optional<double> lastPace_; // of the window before
};
