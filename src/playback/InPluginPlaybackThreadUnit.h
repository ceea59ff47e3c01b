// The plug-in's one playback thread: a hidden utility window whose message loop carries out play
// requests one after another, decoding through the owning plug-in's extended read and writing
// to the host's output plug-in.
#pragma once

#include "../hostlink/FaultGuard.h"
#include "../hostlink/WinampApi.h"
#include "../sound/CrossfadeMixer.h"
#include "DecoderUnit.h"
#include "EdgeLookAhead.h"
#include "../sound/FadeOutConversion.h"
#include "../sound/FormatConverter.h"
#include "../sound/StreamHistory.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class TInPluginPlaybackThread;
class TWinAmpAPIMan;
class TPluginConfig;

// What the engine uses of the plug-in around it, handed over when the thread is created. Each
// object outlives the thread; the registry and the settings may be missing.
struct TEngineLinks {
    In_Module *Module = nullptr;             // the plug-in's own record: host members, is_seekable
    HINSTANCE Instance = nullptr;            // for the utility window's class
    const TWinAmpAPIMan *Host = nullptr;     // the host's IPC
    THookedInPlugins *Registry = nullptr;    // the owners of files
    const TPluginConfig *Settings = nullptr; // fade time and shortest faded track
};

// The host's next playlist entry as the engine learns it from the host's IPC answers; -1 when
// there is none.
int NextPlaylistIndex(const TWinAmpAPIMan *host);

// The crossfade of the process: one, used by the playback thread; its curve is set at Init
// before the thread exists, and by the configuration dialog at any time.
extern TCrossfadeState CrossfadeState;
void SetLogCurve(bool logCurve);
void SetFadeCurve(TFadeCurve curve);

// The crossfade time and the shortest crossfaded track, in ms, as the settings hold them now.
int FadeTimeMs(const TPluginConfig *settings);
int MinFileSizeMs(const TPluginConfig *settings);
// The fade on skip in ms; 0 when it is off.
int SkipFadeMs(const TPluginConfig *settings);
// Whether tracks of different formats crossfade, the outgoing one converted.
bool FadeAcrossFormats(const TPluginConfig *settings);
// Whether consecutive tracks of one album join without a crossfade.
bool PlayAlbumsThrough(const TPluginConfig *settings);
TPcmFormat FormatOf(const TDecoder &decoder);

// A track's decoder as the outgoing track of a fade, read by the mixer after its request ended.
std::unique_ptr<TFadeOutSource> MakeDecoderFadeOutSource(TDecoder decoder, int blockBytes,
                                                         int remainingMs, int *killSwitch);

// One opened decoder of one file, prepared for a play request. Destroying it closes the
// decoder; a play request adopts the decoder instead.
struct TInPluginPlaybackThreadPreLoad {
    std::wstring FileName; // as the host gave it
    TDecoder Decoder;
};
using TPreLoadPtr = std::unique_ptr<TInPluginPlaybackThreadPreLoad>;

// Opens fileName for the engine, or answers null: not owned, no extended read, not audio, no
// known length, open failed or a format that cannot be played.
TPreLoadPtr OpenPreLoad(THookedInPlugins *registry, const std::wstring &fileName);
// Closes the record's decoder and frees it.
void FreePreLoad(TPreLoadPtr record) noexcept;

// The slot for the decoder prepared for the next play request. The playback thread fills it at
// the end of a track while the host's thread may take or release it in Play, Stop or shut-down:
// every exchange happens under its own lock, and a record is only ever owned by one side.
class TPreLoadSlot {
  public:
    TPreLoadPtr Take();
    void Put(TPreLoadPtr record);
    bool IsEmpty() const;
    // Answers look(record) under the lock, or false when the slot is empty.
    template <class F> bool Inspect(F &&look) const {
        std::lock_guard guard(lock_);
        return record_ && look(*record_);
    }

  private:
    mutable std::mutex lock_;
    TPreLoadPtr record_;
};

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
    // Host's thread: ends the running request, of either kind of stop, without an end-of-track
    // message. When it returns the engine makes no further call into the output: it waits for
    // the playback thread to let go of it (a stalled decoder gets its kill switch), answering
    // messages sent to this thread meanwhile, and gives the output up when the wait is over.
    void Stop();
    // Host's thread, as the plug-in is being removed: no Stop is a skip any more (the host's next
    // Play goes to another plug-in), and a skip still waiting for its Play ends as a stop now.
    void EndSkips();
    void Pause();
    void UnPause();
    int IsPaused() const;
    int GetOutputTime() const;
    void SetOutputTime(int milliseconds);
    int GetLengthMs() const { return LengthMs.load(); }
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
    // How long a user's Stop waits for the host's Play of another file, which makes it a skip;
    // and how long a Stop right after the end-of-track message waits for the Play of the entry
    // prepared next (a host that cannot tell its own stops from the user's).
    static constexpr unsigned long kSkipGraceMs = 50;
    // Longer: only a host that cannot tell its stops apart gets it, at the end of a track, and a
    // busy machine must not turn its Stop and Play into a stop and a start.
    static constexpr unsigned long kEndStopGraceMs = 250;
    static constexpr UINT_PTR kSkipGraceTimer = 0x51;     // on the utility window
    static constexpr UINT_PTR kEndStopGraceTimer = 0x52;  // on the utility window
    // Starts that timer on the playback thread (wParam: its time).
    static constexpr UINT kEndStopGraceMessage = WM_APP + 0x54;
    // When the next track continues the stream, the host is told a track ended once the output
    // holds no more than this: time enough for the host to ask for the next file and for its
    // first block to follow, while the host's display changes near where the listener hears it.
    static constexpr int kHandOverLeadMs = 200;
    // An output whose clock stands still though it is not paused is not waited for any longer.
    static constexpr unsigned long kStillClockMs = 1000;
    // What the engine keeps of the sound it gave the output, for a skip to go on from the frame
    // the listener hears (an output's buffer beyond this loses its oldest part at a skip).
    static constexpr int kHistoryMs = 5000;
    // How far ahead of the listener a skip's flush is placed: time to trim the rest and mix.
    static constexpr int kSwitchLeadMs = 30;

    HWND Window() const { return UtilWindow.load(); }
    unsigned long ThreadId() const { return threadId_; }

    // Shared with the host's thread; each is one atomic value, written before the flag that
    // announces it (SeekTargetMs before SeekPending).
    std::atomic<bool> StopRequested{false};
    std::atomic<bool> SeekPending{false};
    std::atomic<int> SeekTargetMs{0};
    std::atomic<bool> IsPlaying{false};
    // Play accepted a file whose request has not started yet: a seek now is kept for it.
    std::atomic<bool> RequestQueued{false};
    std::atomic<int> Paused{0};
    std::atomic<int> LengthMs{0};
    std::atomic<Out_Module *> OutModule{nullptr};
    std::atomic<HWND> UtilWindow{nullptr};
    TPreLoadSlot NextPreLoad;

    const TEngineLinks Links;
    In_Module &Module; // Links.Module

    // Playback thread only.
    TPreLoadPtr FadePreLoad;
    TCrossfadeState &Crossfade = CrossfadeState;
    TDecoder Decoder; // of the current track
    Out_Module *OpenedOutModule = nullptr;
    int OpenedBits = 0;
    int OpenedChannels = 0;
    int OpenedRate = 0;

  private:
    struct PlayRequestMessage;
    class IsPlayingBomb;
    // Tells when an output's clock stands still: the sound it holds has not gone down for
    // kStillClockMs. Every wait for an output to play out gives up then.
    class TStillClock {
      public:
        bool StandsStill(int heldMs) {
            const ULONGLONG now = GetTickCount64();
            if (heldMs != lastHeldMs_) {
                lastHeldMs_ = heldMs;
                movedAt_ = now;
            }
            return now - movedAt_ > kStillClockMs;
        }
        void Restart() { movedAt_ = GetTickCount64(); }

      private:
        int lastHeldMs_ = -1;
        ULONGLONG movedAt_ = GetTickCount64();
    };

    static unsigned long __stdcall ThreadEntry(void *self);
    unsigned long Execute();
    void CreateUtilWindow();
    static LRESULT __stdcall WindowProcStub(HWND, UINT, WPARAM, LPARAM);
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    unsigned long RunMessageLoop();
    void DrainMessages();
    void CleanUpAtEnd() noexcept;
    bool PostRequest(std::unique_ptr<PlayRequestMessage> request);
    std::unique_ptr<PlayRequestMessage> TakePostedRequest(LPARAM id);
    void CarryOut(std::unique_ptr<PlayRequestMessage> request);
    void CleanUpAfterStop();
    // The stop as it is without the fade on skip.
    void StopNow(bool immediate);

    // A request runs between Activate and Deactivate; a stop that came after it was posted
    // (a newer stop generation) cancels it before it starts, or ends it.
    bool Activate(unsigned generation);
    void Deactivate(bool postEndOfTrack);
    bool Stopped() const;
    // Ends whatever runs: the stop generation moves on and the kill switches are set. Answers
    // whether a request was running.
    bool CancelRequests();
    bool WaitUntilIdle(unsigned long milliseconds);
    // The output is no longer the engine's to call for the running request.
    void GiveUpOutput();
    // Every call of the playback thread into the output goes through here: none once given up.
    template <class F> bool CallOutput(F &&call);
    // The play request and its block loop; answers whether the host is to be told the track ended.
    bool HandlePlayRequest(const std::wstring &fileName, TPreLoadPtr record);
    bool AdoptDecoder(const std::wstring &fileName, TPreLoadPtr record);
    // Reuses the open output, or opens it in the track's format: at once when none is open,
    // else for the first block (ReopenOutput). Below 0 when it could not be opened.
    int PrepareOutput(Out_Module *output);
    bool ReopenOutput(Out_Module *output);
    // Sound that goes on across a re-opened output (a crossfade into another format) stops for
    // the moment between the old output's last sample and the new one's first: the old output's
    // last kDeclickMs fall to silence and the new one's first rise from it, instead of a click.
    void DeclickAroundReopen(std::uint8_t *block, int frames, bool handedOver);
    static constexpr int kDeclickMs = 1;
    int OpenInTrackFormat(Out_Module *output);
    // Room for kHistoryMs of the current track's format.
    void PrepareHistory(TStreamHistory &history) const;
    void CloseOpenedOutput();
    bool GiveUpRequest();
    bool OutputFailed();
    enum class LoopEnd { RanOut, HandedOver, Stopped, Skipped, OutputFailed };
    LoopEnd RunBlockLoop(Out_Module *output, std::vector<std::uint8_t> &buffer, int blockBytes);
    bool WriteBlock(Out_Module *output, std::uint8_t *data, int bytes, int pauseMs);
    int WaitForRoom(Out_Module *output, int bytes, int frameBytes, int pauseMs);
    bool EndOfTrack(Out_Module *output, int pauseMs);
    bool EndAsStopped(Out_Module *output);
    void PostEndOfTrack() const;
    bool KeepsGoing() const;
    // Answers whether it had to wait.
    bool WaitWhilePaused() const;

    // The stream across track changes. A track whose next one continues on the same output
    // ends while the output still holds its last moments; the next track writes on after them
    // and counts its times from where it begins on the output's clock (its base).
    bool NextTrackContinues(Out_Module *output) const;
    // The next entry is prepared for the engine, on the output of the track that ends.
    bool NextIsTheEngines(Out_Module *output) const;
    // Waits until the output holds at most leadMs of sound (with a lead, also once the output
    // says it wants the next track), or until a stop.
    void PlayOut(Out_Module *output, int pauseMs, int leadMs);
    // Unplayed milliseconds in the output; below 0 when the output failed.
    int HeldMs(Out_Module *output);
    // A request of the same format on the open output: write on after what it still holds, or
    // restart its clock with Flush(0) when it holds nothing.
    void ContinueOrRestart(Out_Module *output);
    // The written time of the current track on its own clock.
    int TrackWrittenMs(Out_Module *output, std::int64_t trackBytes, int bytesPerSecond);
    // Host's thread, before another plug-in takes the output: the rest of the engine's last
    // track is heard first.
    void LetHeldRestPlayOut();

    // The crossfade: the mixing step and the fade-out trigger of the block loop, and the
    // learning and early opening of the next playlist entry.
    int MixIncoming(std::uint8_t *buffer, int frames);
    bool FadeOutTrigger(int writtenMs);
    bool PreLoadNext();
    TPreLoadPtr TakeNextPreLoad();
    // The file name of the host's playlist entry at index, copied at once; empty when there is
    // none. NextPlaylistFile: of the entry the host plays next.
    std::wstring PlaylistFile(int index) const;
    std::wstring NextPlaylistFile() const;
    int FadeTimeMs() const { return ::FadeTimeMs(Links.Settings); }
    int SkipFadeMs() const { return ::SkipFadeMs(Links.Settings); }
    bool FadeAcrossFormats() const { return ::FadeAcrossFormats(Links.Settings); }
    // With albums played through: whether the host's next entry is the next track of the
    // playing track's album, as their plug-ins' extended file information tells.
    bool NextContinuesAlbum() const;
    TLookAheadWishes LookAheadWishes() const;
    // Readies the look-aheads at a track's Play: its end, and the next entry's start.
    void PrepareLookAheads(const std::wstring &fileName);
    // Where the track ends and how long its fade is: the end the look-ahead found, where it did,
    // else the track's length and the crossfade time.
    endplan::TPlannedEnd PlannedEnd() const;
    // Reads past the leading silence of a track faded into; the frames of sound left in the block.
    int SkipLeadingSilence(std::uint8_t *block, int frames);
    // Starts a track's reading past its leading silence afresh: at its Play, or none after a seek.
    void RestartLeadingSilence(bool trims);
    bool PlayFromItsStart();
    // The current track's format.
    TPcmFormat PlayingFormat() const;
    // Whether a track may fade into one of the other format: the same, or one the outgoing
    // track can be converted into when the option is on.
    bool CanFade(const TPcmFormat &outgoing, const TPcmFormat &incoming) const;

    // The fade on skip: a user's Stop of a track in the block loop waits a short grace for the
    // host's Play of another file. Then the stopped track goes on from what the listener heard,
    // fading out, while the new one fades in; without that Play it stops as any stop.
    enum class SkipState { None, Pending, Taken };
    // Host's thread. Stop: whether this stop waits for a Play as a skip. Play: whether the Play
    // continues a skip (one that comes too late ends the stop first). Direct mode, a second
    // Stop and shut-down: a skip no request of ours continues ends as the stop it was.
    bool BeginSkip();
    bool TakeSkip();
    void ConcludeSkipAsStop();
    // Playback thread: the stopped track's decoder becomes the fade-out source, or the request
    // ends as stopped; the grace ran out without a Play; the request's start with a skip.
    bool EndAsSkipped(Out_Module *output);
    void OnSkipGraceOver();
    bool TakeSkipSource(bool skipRequest);
    // A host that answers every IPC_ISFULLSTOP with 0 looks like a user stopping between the
    // engine's end-of-track message and its Play of the next entry. Host's thread: Stop answers
    // whether it waits for that Play; Play whether it is that Play (one of another file, or too
    // late, first ends the stop as the user's). Playback thread: the grace ran out.
    bool BeginEndOfTrackStop();
    bool TakeEndOfTrackStop(const std::wstring &fileName);
    void OnEndOfTrackStopGraceOver();
    void StopBetweenTracksNow();
    // What the listener would have gone on hearing without the skip: the output's unheard rest,
    // then the skipped track from where it was read, still mixed with a fade it was in; null
    // when nothing is left of it.
    std::unique_ptr<TFadeOutSource> UnheardStream(Out_Module *output);
    std::unique_ptr<TFadeOutSource> StreamContinuation();
    // The first block of a skip (or a seek right after one): plans a flush of the output at a
    // frame the listener reaches a little ahead, and the skipped stream goes on from exactly
    // that frame. Answers false, planning nothing, when the output will have played all it
    // holds by then. The flush itself comes once the block is ready to be written.
    bool PlanFlushAtHeardFrame(Out_Module *output, int flushToMs);
    void FlushAtPlannedMoment(Out_Module *output);
    // Both at once, before another format's output is opened.
    bool FlushAtHeardFrame(Out_Module *output, int flushToMs);
    // Waits for the output's clock to turn to ms and flushes it (to flushToMs) the moment it
    // does: answers ms then. Answers a later time, without a flush, when it was past before the
    // flush could follow (the thread kept from running); -1 when the clock stands still or the
    // request was stopped.
    std::int64_t FlushWhenClockTurns(Out_Module *output, std::int64_t ms, int flushToMs);
    // The current track writes on after what the output holds; its times count from there.
    // False when the output does not say where that is.
    bool ContinueStream(Out_Module *output);
    int MinFileSizeMs() const { return ::MinFileSizeMs(Links.Settings); }
    THookedInPlugin *OwnerOf(const std::wstring &fileName) const;

    std::mutex skipLock_; // guards skipState_ and skipDeadline_
    SkipState skipState_ = SkipState::None;
    unsigned long long skipDeadline_ = 0;    // tick count
    std::atomic<bool> skipRequested_{false}; // the block loop is to end as skipped
    std::atomic<bool> skipsEnded_{false};    // the plug-in is being removed
    // The last request told the host its track ended, and no request ran since.
    std::atomic<bool> endOfTrackPosted_{false};
    bool endStopPending_ = false;            // guarded by skipLock_
    unsigned long long endStopDeadline_ = 0; // tick count; guarded by skipLock_
    // The request reads its track or plays out its end: a user's Stop now may be a skip.
    std::atomic<bool> skippable_{false};
    // The position the host is told until a skip's first block restarts the output's clock: the
    // new track's own (0, or where the host sought); -1 when the output's clock tells.
    std::atomic<int> pendingPositionMs_{-1};
    // The leading silence read past, shown in the host's position: it shows the file's time,
    // as the length does and a seek expects. 0 again after a seek.
    std::atomic<int> skippedLeadMs_{0};
    bool requestIsSkip_ = false;             // playback thread: the request's Play was one
    bool skipSource_ = false;                // the held source is a skipped track
    bool skipFadeRunning_ = false;           // this request fades in over the skip fade time
    bool flushBeforeFirstBlock_ = false;     // the output still plays the skipped track
    bool reopenPending_ = false;             // another format: the output re-opens for block one
    std::int64_t flushAtMs_ = -1;            // the planned flush's moment on the output's clock
    int flushToMs_ = 0;                      // and the time it restarts the clock at
    int blockBytes_ = 0;                     // of the current track
    // Where the current track's decoder reads: from the last seek (or 0) plus the frames since.
    int decodedFromMs_ = 0;
    std::int64_t decodedFrames_ = 0;
    // The sound given to the open output since its Open or last Flush; and the one made ready
    // for an output to be re-opened in another format.
    TStreamHistory history_;
    TStreamHistory nextHistory_;
    // The current track's last decoded frames before anything is mixed into them: what precedes
    // its tail when a crossfade converts the tail.
    TRecentFrames recentFrames_;
    // The output's clock where the current track begins (0 after an Open, Flush or seek); read
    // by the host's thread for positions.
    std::atomic<int> outputBaseMs_{0};
    // The track's written time counts its own bytes while it continues the stream (its base is
    // not 0), so that its times are exactly what a restarted output's would be.
    bool countsOwnBytes_ = false;
    // Where the last track ended on the output's clock while that output still holds its rest,
    // for the next request; -1 and null when nothing is held.
    std::atomic<int> heldEndMs_{-1};
    std::atomic<Out_Module *> heldOutput_{nullptr};
    std::wstring fadeInto_;        // the file whose request the held fade-out source goes into
    bool tooShortForFade_ = false; // one fade-out attempt per track
    std::wstring playingFile_;     // the request's file, as the host gave it
    TEdgeLookAhead lookAhead_;     // the playing track's end, read ahead while the output is full
    TEdgeLookAhead nextStart_;     // then the next entry's start, for a fade-in of its own
    // The request's track came in through a fade with silence skipped: its leading silence is
    // read past until its sound starts (at most endplan::kMaxLeadingSilenceMs).
    bool trimsLeadingSilence_ = false;
    std::int64_t leadingSilenceFrames_ = 0;
    void *thread_ = nullptr;
    void *ready_ = nullptr; // set once the thread has its queue and window
    unsigned long threadId_ = 0;
    std::atomic<bool> terminated_{false};
    std::atomic<unsigned> stopGeneration_{0};
    // Guards the start and end of a request against a stop of the host's thread.
    std::mutex activation_;
    bool requestActive_ = false;
    unsigned requestGeneration_ = 0;
    void *idle_ = nullptr; // set while no request runs
    // Kill switches given to getData: of the current track's decoder and of the fade-out source.
    std::atomic<int> decoderKill_{0};
    std::atomic<int> fadeKill_{0};
    // The output of the running request, given up by a stop that waited in vain; and whether
    // anyone but the engine has used the output since the engine opened it.
    std::mutex outputCalls_;
    std::atomic<bool> outputGivenUp_{false};
    std::atomic<bool> outputUsedElsewhere_{false};
    void *pinnedModule_ = nullptr;
    // Play requests posted and not yet taken by the playback thread, by the number their
    // message carries.
    std::mutex requestsLock_;
    std::map<LPARAM, std::unique_ptr<PlayRequestMessage>> postedRequests_;
    unsigned long nextRequestId_ = 1;
};

// The lock only orders these calls against a stop giving the output up: it is never held by
// the host's thread while the output is called.
template <class F> bool TInPluginPlaybackThread::CallOutput(F &&call) {
    std::lock_guard guard(outputCalls_);
    if (outputGivenUp_)
        return false;
    try {
        return CallGuarded(std::forward<F>(call));
    } catch (...) {
        return false;
    }
}
