// The plug-in's one playback thread: a hidden utility window whose message loop carries out play
// requests one after another. The host's operations arrive here on the host's own thread; they
// set the request's state, post to the window or call the output, and return at once.
//
// The engine's rooms, from the top down (each includes only those below it):
//   this thread: the window, the message loop, the host's operations and its stops;
//   PlayRequest: the request and its block loop, carrying out the transition decision;
//   NextEntry: the host's next entry; LookAheadReader (with EdgeScan): the reader ahead;
//   OutputWriter: the writer to the output; OutputClock: the one reader of its clock;
//   TrackReader: the playing track's decoder; RequestState, OutputLink, StopGraces: the state
//   the host's thread and the playback thread share.
// The pure sound code (mixer, converter, resampler, edges, plan, album rule, the decision) is
// in src/sound.
#pragma once

#include "EngineLinks.h"
#include "EngineSettings.h"
#include "LookAheadReader.h"
#include "NextEntry.h"
#include "OutputClock.h"
#include "OutputLink.h"
#include "OutputWriter.h"
#include "PlayRequest.h"
#include "PreLoad.h"
#include "RequestState.h"
#include "StopGraces.h"
#include "TrackReader.h"

#include "../sound/CrossfadeMixer.h"
#include "../sound/TransitionDecision.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

// The crossfade of the process: one, used by the playback thread; its curve is set at Init
// before the thread exists, and by the configuration dialog at any time.
extern TCrossfadeState CrossfadeState;
void SetLogCurve(bool logCurve);
void SetFadeCurve(TFadeCurve curve);

class TInPluginPlaybackThread {
  public:
    // Starts the thread at once with the given Win32 priority. Raises EPluginError when the
    // thread cannot be created.
    TInPluginPlaybackThread(const TEngineLinks &links, int threadPriority);
    // Resumes a paused output, then ends and waits for a thread that still runs.
    ~TInPluginPlaybackThread();
    TInPluginPlaybackThread(const TInPluginPlaybackThread &) = delete;
    TInPluginPlaybackThread &operator=(const TInPluginPlaybackThread &) = delete;

    // Host's thread: whether the engine would play this file itself.
    bool AcceptsFile(const std::wstring &fileName);
    // Host's thread: offers a file; false leaves it to its own plug-in, which then uses the
    // output itself.
    bool Play(const std::wstring &fileName);
    // Host's thread: the host's Stop, as the transition decision reads it (the user's stop, a
    // skip, the host moving on, the host ending here). When it returns from a stop the engine
    // makes no further call into the output: it waits for the playback thread to let go of it
    // (a stalled decoder gets its kill switch), answering messages sent to this thread meanwhile,
    // and gives the output up when the wait is over. Only where the host ends after our
    // end-of-track message does the rest of the track play on, to its last sample.
    void Stop();
    // Host's thread, as the plug-in is being removed: no Stop is a skip any more (the host's next
    // Play goes to another plug-in), and a skip still waiting for its Play ends as a stop now.
    void EndSkips();
    void Pause();
    void UnPause();
    int IsPaused() const;
    int GetOutputTime() const;
    void SetOutputTime(int milliseconds);
    int GetLengthMs() const { return state_.LengthMs.load(); }
    bool IsPlayingNow() const { return state_.IsPlaying.load(); }
    void SetVolume(int volume);
    void SetPan(int pan);
    void EQSet(int on, const char *data, int preamp);
    void SetPriority(int threadPriority);

    // Host's quit sequence: end the running track, then the message loop; then wait.
    void ShutdownPlayback();
    void QuitLoop();
    bool WaitFor(unsigned long milliseconds);
    // The whole quit sequence with bounded waits; false when the thread is still stuck in a
    // plug-in's call, and the object must then be left alive for it.
    bool Shutdown();

    // How long a stop waits for the playback thread to let go of the output, and the quit
    // sequence for the thread to end.
    static constexpr unsigned long kStopWaitMs = 2000;
    static constexpr unsigned long kQuitWaitMs = 3000;

    HWND Window() const { return utilWindow_.load(); }
    unsigned long ThreadId() const { return threadId_; }

  private:
    struct PlayRequestMessage;

    static unsigned long __stdcall ThreadEntry(void *self);
    unsigned long Execute();
    void CreateUtilWindow();
    static LRESULT __stdcall WindowProcStub(HWND, UINT, WPARAM, LPARAM);
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    unsigned long RunMessageLoop();
    void DrainMessages();
    bool PostRequest(std::unique_ptr<PlayRequestMessage> request);
    std::unique_ptr<PlayRequestMessage> TakePostedRequest(LPARAM id);
    void CarryOut(std::unique_ptr<PlayRequestMessage> request);
    bool PostToSelf(UINT message, WPARAM wParam = 0);

    // The host's stop as the decision reads it.
    transition::HostStop ClassifyStop() const;
    // The stop as it is without a fade on skip: the user's (immediate), or the host's own.
    void StopNow(bool immediate);
    // The host ends here after our end-of-track message: the held rest plays on to its end.
    void StopAfterCurrent();
    void LeaveTheTrack();
    // A skip: a user's Stop waits a short grace for the host's Play of another file; the Play
    // that continues it; a skip no request of ours continues ends as the stop it was.
    bool BeginSkip();
    bool TakeSkip();
    void ConcludeSkipAsStop();
    // A host that answers every IPC_ISFULLSTOP with 0 looks like a user stopping between our
    // end-of-track message and its Play of the next entry: the Stop waits for that Play.
    bool BeginEndOfTrackStop();
    bool TakeEndOfTrackStop(const std::wstring &fileName);
    void OnEndOfTrackStopGraceOver();
    void OnSkipGraceOver();
    // Before another plug-in plays into the output: whatever of ours still plays there ends.
    void HandOutputToAnotherPlugin(bool skip);

    const TEngineLinks links_;
    In_Module &module_;
    TEngineSettings settings_;
    TRequestState state_;
    TOutputLink link_;
    TOutputClock clock_;
    TOutputWriter writer_;
    TTrackReader reader_;
    TLookAheadReader lookAhead_;
    TNextEntry next_;
    TStopGraces graces_;
    TCrossfadeState &crossfade_ = CrossfadeState;
    TPlayRequest request_;

    std::atomic<HWND> utilWindow_{nullptr};
    void *thread_ = nullptr;
    void *ready_ = nullptr; // set once the thread has its queue and window
    unsigned long threadId_ = 0;
    void *pinnedModule_ = nullptr;
    // Play requests posted and not yet taken by the playback thread, by the number their
    // message carries.
    std::mutex requestsLock_;
    std::map<LPARAM, std::unique_ptr<PlayRequestMessage>> postedRequests_;
    unsigned long nextRequestId_ = 1;
};
