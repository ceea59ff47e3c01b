// The play request and its state: what the host's thread and the playback thread share about the
// request that runs (or is queued), the stops that end it, and the waits of both threads. Every
// shared field is one atomic value; beside each stands who writes it.
#pragma once

#include "../hostlink/WinampApi.h"

#include <atomic>
#include <mutex>

// Waits for handle (or only for the time, when it is null), answering messages other threads
// send to this one meanwhile: the playback thread may be inside a send to the host's window,
// which is this thread's when the host stops or shuts down. True when the handle was signalled.
bool WaitServicingSends(HANDLE handle, unsigned long milliseconds);

class TRequestState {
  public:
    explicit TRequestState(In_Module &module);
    ~TRequestState();
    TRequestState(const TRequestState &) = delete;
    TRequestState &operator=(const TRequestState &) = delete;

    // Host: a Stop that lets go, a Play that found no decoder. Playback: cleared as a request
    // starts; set where the host names a next entry the engine cannot open.
    std::atomic<bool> StopRequested{false};
    // Host: SetOutputTime (the target first). Playback: takes the seek at the top of a block.
    std::atomic<bool> SeekPending{false};
    std::atomic<int> SeekTargetMs{0};
    // Playback: for the whole request. Host: a user's stop clears it, ending the request's waits.
    std::atomic<bool> IsPlaying{false};
    // Host: Play accepted a file whose request has not started (a seek now is kept for it); Stop
    // clears it. Playback: cleared as the request starts.
    std::atomic<bool> RequestQueued{false};
    // Host: Pause and UnPause; a stop clears it.
    std::atomic<int> Paused{0};
    // Host: at Play, for the length asked right after. Playback: as the request adopts its decoder.
    std::atomic<int> LengthMs{0};
    // Playback: the host's output as a request starts. Host: SetVolume and SetPan fill it while
    // none is known; shut-down clears it.
    std::atomic<Out_Module *> OutModule{nullptr};
    // The thread's message loop is ending (the thread's own end, or the host's quit).
    std::atomic<bool> Terminated{false};
    // Host: a user's Stop that waits for a skip's Play. Playback: taken as the block loop ends.
    std::atomic<bool> SkipRequested{false};
    // Playback: the request reads its track or plays out its end, so a user's Stop may be a skip.
    std::atomic<bool> Skippable{false};
    // Host: the plug-in is being removed; no Stop is a skip any more.
    std::atomic<bool> SkipsEnded{false};
    // Kill switches given to getData: of the current track's decoder and of the fade-out source.
    // Host: a stop sets them. Playback: cleared as a request or a fade starts.
    std::atomic<int> DecoderKill{0};
    std::atomic<int> FadeKill{0};

    // Playback thread. A request runs between Activate and Deactivate; a stop that came after it
    // was posted (a newer stop generation) cancels it before it starts, or ends it. The
    // end-of-track message is posted by Deactivate under the lock a stop takes.
    bool Activate(unsigned generation);
    void Deactivate(bool postEndOfTrack);
    // The running request was ended by a stop, or the thread is ending.
    bool Stopped() const;
    // The request goes on: playing, not stopped, no skip waiting.
    bool KeepsGoing() const;
    // The block in hand is still to be written: the request goes on and no seek waits (a seek
    // drops it, the output being flushed anyway).
    bool KeepsWriting() const { return KeepsGoing() && !SeekPending; }
    // Waits while the host has paused; answers whether it had to.
    bool WaitWhilePaused() const;
    // Sleeps up to milliseconds, at once awake for a stop, a seek, a skip or an unpause.
    void Nap(int milliseconds) const;

    // Host's thread. Ends whatever runs: the stop generation moves on, the kill switches are set
    // and the playback thread is woken. Answers whether a request was running.
    bool CancelRequests();
    // Wakes the playback thread out of its naps at once.
    void Wake() const;
    unsigned Generation() const { return stopGeneration_.load(); }
    bool WaitUntilIdle(unsigned long milliseconds) const;
    bool IsIdle() const;
    // The request posted the end-of-track message and none ran since: under the lock the message
    // is posted with, together with whether a request is running or queued.
    bool EndOfTrackJustPosted() const;
    void ForgetEndOfTrack() { endOfTrackPosted_ = false; }
    // A stop's clean-up posted to the playback thread counts as a running request until it is done.
    void MarkBusy();
    void MarkIdle();
    void PostEndOfTrack() const;

  private:
    In_Module &module_;
    std::atomic<unsigned> stopGeneration_{0};
    mutable std::mutex activation_; // orders a request's start and end against a stop
    bool requestActive_ = false;    // guarded by activation_
    unsigned requestGeneration_ = 0; // playback thread, under activation_
    // The last request told the host its track ended, and no request ran since.
    std::atomic<bool> endOfTrackPosted_{false};
    HANDLE idle_ = nullptr; // set while no request runs
    HANDLE wake_ = nullptr; // auto-reset: a nap ends at once
};
