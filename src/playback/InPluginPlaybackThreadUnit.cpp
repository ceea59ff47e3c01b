#include "InPluginPlaybackThreadUnit.h"

#include "../hookedins/FileInfoQueries.h"
#include "../hookedins/HookedInsUnit.h"
#include "../hostlink/FaultGuard.h"
#include "../hostlink/PluginError.h"
#include "../hostlink/WinAmpAPIUnit.h"

#include <algorithm>

static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "a kill switch is handed to plug-ins as a plain int");

TCrossfadeState CrossfadeState;

void SetLogCurve(bool logCurve) {
    CrossfadeState.SetLogCurve(logCurve);
}

void SetFadeCurve(TFadeCurve curve) {
    CrossfadeState.SetCurve(curve);
}

namespace {

constexpr const char *kUtilWindowClass = "HVQBlendPlaybackThreadUtilWindow";
// Private to the utility window's class: no other program's message means a play request.
constexpr UINT kPlayRequest = WM_APP + 0x51;
// After a stop while no request runs: let go of what a request would have let go of.
constexpr UINT kStopCleanUp = WM_APP + 0x52;
// The host played a file of ours directly: a held fade-out source goes nowhere now.
constexpr UINT kReleaseFade = WM_APP + 0x53;
// Starts the end-of-track stop's grace timer on the playback thread (wParam: its time).
constexpr UINT kEndStopGraceMessage = WM_APP + 0x54;
// The host ended after our end-of-track message: the held rest plays out.
constexpr UINT kPlayOutRest = WM_APP + 0x55;
constexpr UINT_PTR kSkipGraceTimer = 0x51;    // on the utility window
constexpr UINT_PTR kEndStopGraceTimer = 0x52; // on the utility window

} // namespace

// A play request travels to the playback thread as a message that owns its file name and its
// prepared decoder: nothing the host's thread frees later is touched by it.
struct TInPluginPlaybackThread::PlayRequestMessage {
    std::wstring FileName;
    TPreLoadPtr Record;
    unsigned StopGeneration = 0;
    bool Skip = false; // the Play of a skip
};

TInPluginPlaybackThread::TInPluginPlaybackThread(const TEngineLinks &links, int threadPriority)
    : links_(links), module_(*links.Module), settings_(links.Settings), state_(*links.Module),
      clock_(link_, state_), writer_(links_, state_, link_, clock_), reader_(state_),
      next_(links_, settings_, lookAhead_),
      request_(TEngineRooms{links_, settings_, state_, link_, clock_, writer_, reader_, next_,
                            lookAhead_, graces_, crossfade_}) {
    lookAhead_.OnAnswer([this] { state_.Wake(); });
    ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // A thread that outlives a bounded quit (stuck in a plug-in's call) keeps our code loaded.
    HMODULE self = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCSTR>(&TInPluginPlaybackThread::ThreadEntry),
                           &self) &&
        self == GetModuleHandleA(nullptr))
        FreeLibrary(self); // linked into the program itself: nothing to keep
    else
        pinnedModule_ = self;
    thread_ = CreateThread(nullptr, 0, &TInPluginPlaybackThread::ThreadEntry, this,
                           CREATE_SUSPENDED, &threadId_);
    if (!thread_ || !ready_) {
        if (ready_)
            CloseHandle(ready_);
        if (pinnedModule_)
            FreeLibrary(static_cast<HMODULE>(pinnedModule_));
        throw EPluginError("Infernal Error!");
    }
    SetThreadPriority(thread_, threadPriority);
    ResumeThread(thread_);
    // Until the thread has its message queue, a quit posted to it would be lost.
    HANDLE started[] = {ready_, thread_};
    WaitForMultipleObjects(2, started, FALSE, INFINITE);
}

TInPluginPlaybackThread::~TInPluginPlaybackThread() {
    if (state_.Paused.exchange(0)) {
        if (Out_Module *output = state_.OutModule.load())
            CallGuarded([&] { output->Pause(0); });
    }
    QuitLoop();
    WaitFor(INFINITE);
    postedRequests_.clear();
    CloseHandle(thread_);
    CloseHandle(ready_);
}

unsigned long __stdcall TInPluginPlaybackThread::ThreadEntry(void *self) {
    auto *thread = static_cast<TInPluginPlaybackThread *>(self);
    HMODULE pinned = static_cast<HMODULE>(thread->pinnedModule_);
    const unsigned long result = Firewall(0ul, [thread] { return thread->Execute(); });
    if (pinned)
        FreeLibraryAndExitThread(pinned, result);
    return result;
}

unsigned long TInPluginPlaybackThread::Execute() {
    MSG probe;
    PeekMessageA(&probe, nullptr, 0, 0, PM_NOREMOVE); // makes the thread's message queue
    CreateUtilWindow();
    SetEvent(ready_);
    const unsigned long result = RunMessageLoop();
    DestroyWindow(utilWindow_.exchange(nullptr));
    state_.StopRequested = true;
    {
        // Requests whose message never arrived (their window is gone) close their decoders here.
        std::lock_guard guard(requestsLock_);
        postedRequests_.clear();
    }
    request_.EndOfThread();
    DrainMessages();
    return result;
}

// The utility window's class uses the default procedure, so a class left registered by an
// earlier load of the plug-in in the same process is reused as it is.
void TInPluginPlaybackThread::CreateUtilWindow() {
    const HINSTANCE instance = links_.Instance ? links_.Instance : GetModuleHandleA(nullptr);
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kUtilWindowClass;
    WNDCLASSA registered{};
    if (GetClassInfoA(instance, kUtilWindowClass, &registered)) {
        if (registered.lpfnWndProc != DefWindowProcA) {
            UnregisterClassA(kUtilWindowClass, instance);
            RegisterClassA(&windowClass);
        }
    } else {
        RegisterClassA(&windowClass);
    }
    // Message-only: no broadcast of another program ever reaches it.
    HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, kUtilWindowClass, "", WS_POPUP, 0, 0, 0, 0,
                                  HWND_MESSAGE, nullptr, instance, nullptr);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowProcStub));
    utilWindow_ = window;
}

LRESULT __stdcall TInPluginPlaybackThread::WindowProcStub(HWND window, UINT message, WPARAM wParam,
                                                          LPARAM lParam) {
    auto *self =
        reinterpret_cast<TInPluginPlaybackThread *>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!self)
        return DefWindowProcA(window, message, wParam, lParam);
    return Firewall(LRESULT(0), [&] { return self->WindowProc(message, wParam, lParam); });
}

LRESULT TInPluginPlaybackThread::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND window = utilWindow_.load();
    const bool ours = lParam == reinterpret_cast<LPARAM>(this);
    switch (message) {
    case WM_DESTROY:
        QuitLoop();
        return DefWindowProcA(window, message, wParam, lParam);
    case kPlayRequest:
        // Only a request this engine posted is carried out; anything else is ignored.
        if (std::unique_ptr<PlayRequestMessage> request = TakePostedRequest(lParam))
            CarryOut(std::move(request));
        return 0;
    case kStopCleanUp:
        if (ours) {
            request_.CleanUpAfterStop();
            state_.MarkIdle();
        }
        return 0;
    case kPlayOutRest:
        if (ours && state_.Activate(static_cast<unsigned>(wParam))) {
            request_.PlayOutHeldRest();
            state_.Deactivate(false);
        }
        return 0;
    case WM_TIMER:
        if (wParam == kEndStopGraceTimer) {
            KillTimer(window, kEndStopGraceTimer);
            OnEndOfTrackStopGraceOver();
            return 0;
        }
        if (wParam != kSkipGraceTimer)
            return DefWindowProcA(window, message, wParam, lParam);
        KillTimer(window, kSkipGraceTimer);
        OnSkipGraceOver();
        return 0;
    case kEndStopGraceMessage:
        if (ours)
            SetTimer(window, kEndStopGraceTimer, static_cast<UINT>(wParam), nullptr);
        return 0;
    case kReleaseFade:
        // Between requests only: a running one (or a stop's clean-up) decides for itself.
        if (ours && state_.IsIdle())
            request_.ReleaseHeldFade();
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

unsigned long TInPluginPlaybackThread::RunMessageLoop() {
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0)
        DispatchMessageA(&message);
    return static_cast<unsigned long>(message.wParam);
}

// Play requests still queued at the end are released unplayed, their decoders closed.
void TInPluginPlaybackThread::DrainMessages() {
    MSG message;
    bool quitSeen = false;
    WPARAM quitCode = 0;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            quitSeen = true;
            quitCode = message.wParam;
        } else if (message.message == kPlayRequest) {
            TakePostedRequest(message.lParam); // released unplayed
        } else {
            DispatchMessageA(&message);
        }
    }
    if (quitSeen) {
        PostThreadMessageA(GetCurrentThreadId(), WM_QUIT, quitCode, 0);
        state_.Terminated = true;
    }
}

// A stop that came after the request was posted cancels it; any failure of the request ends it
// as a request that cannot play ends, so that the host moves on.
void TInPluginPlaybackThread::CarryOut(std::unique_ptr<PlayRequestMessage> request) {
    if (!state_.Activate(request->StopGeneration))
        return; // the record closes its decoder on the way out
    TPlayRequest::TEnd end{true};
    try {
        end = request_.Run(request->FileName, std::move(request->Record), request->Skip);
    } catch (...) {
        reader_.Decoder.Close();
        writer_.CloseOpened();
    }
    if (end.SkipGraceLeftMs >= 0)
        SetTimer(utilWindow_.load(), kSkipGraceTimer,
                 std::max<UINT>(static_cast<UINT>(end.SkipGraceLeftMs), USER_TIMER_MINIMUM),
                 nullptr);
    state_.Deactivate(end.TellHost);
}

bool TInPluginPlaybackThread::PostToSelf(UINT message, WPARAM wParam) {
    HWND window = utilWindow_.load();
    return window && PostMessageA(window, message, wParam, reinterpret_cast<LPARAM>(this));
}

bool TInPluginPlaybackThread::AcceptsFile(const std::wstring &fileName) {
    if (IsStreamAddress(fileName))
        return false;
    THookedInPlugins *registry = links_.Registry;
    THookedInPlugin *plugin = registry ? registry->FindForFile(fileName.c_str()) : nullptr;
    if (!plugin || ::GetLengthMs(*plugin, fileName) < 1)
        return false;
    return IsAudioFile(*plugin, fileName);
}

// The host asked for a file the engine does not play, though the engine's last track may still
// sound from the output: its plug-in would open the output over it. A rest still being played out
// ends first; the last moments the output holds are heard out.
void TInPluginPlaybackThread::HandOutputToAnotherPlugin(bool skip) {
    if (skip)
        ConcludeSkipAsStop();
    else if (!state_.IsIdle()) {
        state_.CancelRequests();
        if (!state_.WaitUntilIdle(kStopWaitMs))
            link_.GiveUp();
    }
    if (!skip)
        writer_.LetHeldRestPlayOut();
    // Its plug-in opens and closes the same output: the engine's next track opens it again, and
    // a fade prepared for a track of the engine goes nowhere.
    link_.UsedElsewhere = true;
    PostToSelf(kReleaseFade);
}

bool TInPluginPlaybackThread::Play(const std::wstring &fileName) {
    if (TakeEndOfTrackStop(fileName))
        StopNow(false); // the host's own stop between two tracks, as it would have said
    const bool skip = TakeSkip();
    const auto leftToItsPlugin = [&] {
        HandOutputToAnotherPlugin(skip);
        return false;
    };
    if (IsStreamAddress(fileName)) {
        FreePreLoad(next_.Slot.Take());
        return leftToItsPlugin();
    }
    TPreLoadPtr record = next_.Slot.Take();
    if (record && record->FileName != fileName)
        FreePreLoad(std::move(record));
    if (!record)
        record = OpenPreLoad(links_.Registry, fileName);
    if (!record) {
        state_.StopRequested = true;
        return leftToItsPlugin();
    }

    module_.is_seekable = record->Decoder.SetTime(0) == TDecoder::SeekResult::Moved ? 1 : 0;
    // The host asks for the length and position as soon as Play returns, before the request
    // has started: the position counts from where this track will begin on the output.
    state_.LengthMs = record->Decoder.LengthMs;
    if (const int heldEnd = writer_.HeldEndMs.load(); heldEnd >= 0)
        writer_.BaseMs = heldEnd;

    auto request = std::make_unique<PlayRequestMessage>();
    request->FileName = fileName;
    request->Record = std::move(record);
    request->StopGeneration = state_.Generation();
    request->Skip = skip;
    // Until a skip's first block, or the re-opening of an output that still plays the last track
    // in another format, the host is told the new track's own time.
    writer_.PendingPositionMs =
        skip || (writer_.HeldOutput.load() && writer_.HeldEndMs.load() < 0) ? 0 : -1;
    // A host that resumes a position seeks as soon as Play returns, before the request starts.
    state_.SeekPending = false;
    state_.RequestQueued = true;
    if (PostRequest(std::move(request)))
        return true;
    state_.RequestQueued = false;
    return leftToItsPlugin();
}

// The message carries only a number: the request stays in our own table until the playback
// thread takes it, so no pointer ever travels through the message queue.
bool TInPluginPlaybackThread::PostRequest(std::unique_ptr<PlayRequestMessage> request) {
    HWND window = utilWindow_.load();
    if (!window)
        return false;
    LPARAM id = 0;
    {
        std::lock_guard guard(requestsLock_);
        id = static_cast<LPARAM>(nextRequestId_++ & 0x7FFFFFFF);
        if (id == 0)
            id = static_cast<LPARAM>(nextRequestId_++);
        postedRequests_[id] = std::move(request);
    }
    if (PostMessageA(window, kPlayRequest, 0, id))
        return true;
    TakePostedRequest(id); // the request and its decoder go with it
    return false;
}

std::unique_ptr<TInPluginPlaybackThread::PlayRequestMessage>
TInPluginPlaybackThread::TakePostedRequest(LPARAM id) {
    std::lock_guard guard(requestsLock_);
    const auto found = postedRequests_.find(id);
    if (found == postedRequests_.end())
        return nullptr;
    std::unique_ptr<PlayRequestMessage> request = std::move(found->second);
    postedRequests_.erase(found);
    return request;
}

// IPC_ISFULLSTOP answers 0 for the user's stop (and at every stop of a host without it), 1 while
// the host moves on after our end-of-track message, 2 where it ends there. A failed ask is never
// the user's stop.
transition::HostStop TInPluginPlaybackThread::ClassifyStop() const {
    const int answer = links_.Host ? links_.Host->FullStopAnswer() : -1;
    if (answer == 0)
        return state_.EndOfTrackJustPosted() &&
                       (!next_.Slot.IsEmpty() || writer_.HeldOutput.load())
                   ? transition::HostStop::NoFullStopQuery
                   : transition::HostStop::User;
    if (answer == 2)
        return transition::HostStop::StopAfterCurrent;
    return transition::HostStop::EndOfTrack;
}

void TInPluginPlaybackThread::Stop() {
    transition::TFacts facts;
    facts.Stop = ClassifyStop();
    facts.Skip = facts.Stop == transition::HostStop::User && state_.IsPlaying && state_.Skippable;
    facts.Options.SkipFadeMs = settings_.SkipFadeMs();
    facts.Next.Kind = next_.Slot.IsEmpty() && !writer_.HeldOutput.load() ? transition::Entry::None
                                                                          : transition::Entry::Engines;
    switch (transition::Decide(facts).What) {
    case transition::Kind::SkipFade:
        if (!BeginSkip())
            StopNow(true);
        return;
    case transition::Kind::KeepForPlay:
        if (facts.Stop != transition::HostStop::NoFullStopQuery)
            StopNow(false);
        else if (!BeginEndOfTrackStop())
            StopNow(true);
        return;
    case transition::Kind::PlayOutAndStop:
        StopAfterCurrent();
        return;
    default:
        StopNow(true);
        return;
    }
}

// A paused output would never play out, for this track or the next; a queued Play and the
// position it showed go with the stop.
void TInPluginPlaybackThread::LeaveTheTrack() {
    if (state_.Paused.exchange(0)) {
        if (Out_Module *output = state_.OutModule.load())
            CallGuarded([&] { output->Pause(0); });
    }
    state_.RequestQueued = false;
    writer_.PendingPositionMs = -1;
    state_.ForgetEndOfTrack();
}

void TInPluginPlaybackThread::StopNow(bool immediate) {
    LeaveTheTrack();
    state_.CancelRequests();
    if (immediate) {
        // The rest of a track that still sounds is silenced with the output, by the request or
        // by the clean-up.
        writer_.ForgetHeld();
        state_.StopRequested = true;
        FreePreLoad(next_.Slot.Take());
        state_.IsPlaying = false;
    }
    bool idle = state_.WaitUntilIdle(kStopWaitMs);
    // A request that ended without seeing the stop (it was past its last look, ending as a skip
    // or a hand-over) leaves what it held: the clean-up lets go of it all the same.
    if (immediate && idle) {
        state_.MarkBusy();
        if (!PostToSelf(kStopCleanUp))
            state_.MarkIdle();
        idle = state_.WaitUntilIdle(kStopWaitMs);
    }
    if (!idle)
        link_.GiveUp();
}

// Everything prepared for a next entry goes at once; the playback thread writes the rest a
// crossfade was to mix in (the track's last moments) at full level, and the output plays out.
void TInPluginPlaybackThread::StopAfterCurrent() {
    LeaveTheTrack();
    FreePreLoad(next_.Slot.Take());
    if (state_.CancelRequests() && !state_.WaitUntilIdle(kStopWaitMs))
        link_.GiveUp();
    PostToSelf(kPlayOutRest, state_.Generation());
}

void TInPluginPlaybackThread::ShutdownPlayback() {
    ConcludeSkipAsStop();
    TakeEndOfTrackStop({}); // nothing more plays: the held rest goes with the stop below
    if (!state_.IsPlaying && state_.IsIdle())
        return;
    state_.PostEndOfTrack();
    state_.StopRequested = true;
    state_.CancelRequests();
    FreePreLoad(next_.Slot.Take());
    state_.Paused = 0;
    if (!state_.WaitUntilIdle(kStopWaitMs))
        link_.GiveUp();
    state_.OutModule = nullptr;
    state_.PostEndOfTrack();
}

bool TInPluginPlaybackThread::Shutdown() {
    ShutdownPlayback();
    QuitLoop();
    return WaitFor(kQuitWaitMs);
}

void TInPluginPlaybackThread::QuitLoop() {
    try {
        if (GetCurrentThreadId() == threadId_)
            PostQuitMessage(0);
        else
            PostThreadMessageA(threadId_, WM_QUIT, 0, 0);
        state_.Terminated = true;
        state_.Wake();
    } catch (...) {
    }
}

bool TInPluginPlaybackThread::WaitFor(unsigned long milliseconds) {
    return WaitServicingSends(thread_, milliseconds);
}

void TInPluginPlaybackThread::SetPriority(int threadPriority) {
    SetThreadPriority(thread_, threadPriority);
}

// ---- the fade on skip and the host's own stop between tracks

bool TInPluginPlaybackThread::BeginSkip() {
    if (!graces_.BeginSkip())
        return false; // a second Stop, or one after a skip's Play: a stop as any other
    Out_Module *output = state_.OutModule.load();
    if (settings_.SkipFadeMs() <= 0 || state_.SkipsEnded || state_.Paused || !output ||
        !state_.IsPlaying) {
        graces_.EndSkip();
        return false;
    }
    // Announced before the request is asked whether it still plays: either the request sees the
    // announcement or this sees it gone.
    state_.SkipRequested = true;
    if (!state_.Skippable) {
        state_.SkipRequested = false;
        graces_.EndSkip();
        return false;
    }
    // As a user's stop does; the rest of an earlier track still held goes with the flush.
    writer_.ForgetHeld();
    FreePreLoad(next_.Slot.Take());
    state_.Wake();
    return true;
}

bool TInPluginPlaybackThread::TakeSkip() {
    switch (graces_.TakeSkip()) {
    case TStopGraces::Take::Taken:
        return true;
    case TStopGraces::Take::Expired:
        ConcludeSkipAsStop();
        return false;
    case TStopGraces::Take::None:
        break;
    }
    return false;
}

void TInPluginPlaybackThread::EndSkips() {
    state_.SkipsEnded = true;
    ConcludeSkipAsStop();
}

void TInPluginPlaybackThread::ConcludeSkipAsStop() {
    if (graces_.EndSkip())
        StopNow(true);
}

// No Play came in time: the stop the Stop was, on this thread.
void TInPluginPlaybackThread::OnSkipGraceOver() {
    if (!graces_.SkipGraceOver())
        return;
    if (state_.IsIdle()) // a running request decides for itself
        request_.SkipGraceOver();
}

bool TInPluginPlaybackThread::BeginEndOfTrackStop() {
    if (!state_.EndOfTrackJustPosted())
        return false;
    if (next_.Slot.IsEmpty() && !writer_.HeldOutput.load())
        return false;
    if (!graces_.BeginEndStop())
        return false; // a second Stop: the user's
    PostToSelf(kEndStopGraceMessage, TStopGraces::kEndStopGraceMs);
    return true;
}

bool TInPluginPlaybackThread::TakeEndOfTrackStop(const std::wstring &fileName) {
    const bool prepared =
        next_.Slot.Inspect([&](const TInPluginPlaybackThreadPreLoad &next) {
            return next.FileName == fileName;
        }) ||
        writer_.HeldOutput.load();
    switch (graces_.TakeEndStop(prepared)) {
    case TStopGraces::EndStop::Continues:
        return true;
    case TStopGraces::EndStop::Expired:
        StopNow(true);
        return false;
    case TStopGraces::EndStop::None:
        break;
    }
    return false;
}

// The stop's generation moves on under the same lock a Play takes first: a Play that comes
// after it posts a request this stop does not cancel.
void TInPluginPlaybackThread::OnEndOfTrackStopGraceOver() {
    if (!graces_.EndStopGraceOver([this] { state_.CancelRequests(); }))
        return;
    if (state_.IsIdle())
        request_.StopBetweenTracks();
}

// ---- position, volume, pause

// Pause holds the playback thread at its next point between calls into the decoder and the
// output; the output itself stops sounding at once. The host's output is called on the host's
// thread: a fault inside it is caught here, so that it never reaches the host through our entry
// points.
void TInPluginPlaybackThread::Pause() {
    state_.Paused = 1;
    if (Out_Module *output = state_.OutModule.load())
        CallGuarded([&] { output->Pause(1); });
}

void TInPluginPlaybackThread::UnPause() {
    state_.Paused = 0;
    if (Out_Module *output = state_.OutModule.load())
        CallGuarded([&] { output->Pause(0); });
    state_.Wake();
}

int TInPluginPlaybackThread::IsPaused() const {
    return state_.IsPlaying ? state_.Paused.load() : 0;
}

// While the output still sounds the previous track, the current one is at 0.
int TInPluginPlaybackThread::GetOutputTime() const {
    if (const int pending = writer_.PendingPositionMs.load(); pending >= 0)
        return pending;
    Out_Module *output = state_.OutModule.load();
    int time = 0;
    if (!output || !CallGuarded([&] { time = output->GetOutputTime(); }))
        return 0;
    return std::max(0, time - writer_.BaseMs.load()) + reader_.SkippedLeadMs.load();
}

void TInPluginPlaybackThread::SetOutputTime(int milliseconds) {
    if (!state_.IsPlaying && !state_.RequestQueued)
        return;
    state_.SeekTargetMs = milliseconds;
    state_.SeekPending = true;
    state_.Wake();
    int pending = writer_.PendingPositionMs.load();
    if (pending >= 0)
        writer_.PendingPositionMs.compare_exchange_strong(pending, std::max(milliseconds, 0));
}

void TInPluginPlaybackThread::SetVolume(int volume) {
    Out_Module *expected = nullptr;
    state_.OutModule.compare_exchange_strong(expected, module_.outMod);
    if (Out_Module *output = state_.OutModule.load())
        CallGuarded([&] { output->SetVolume(volume); });
}

void TInPluginPlaybackThread::SetPan(int pan) {
    Out_Module *expected = nullptr;
    state_.OutModule.compare_exchange_strong(expected, module_.outMod);
    if (Out_Module *output = state_.OutModule.load())
        CallGuarded([&] { output->SetPan(pan); });
}

// The engine leaves the equaliser to the host: it says so with bit 1 of UsesOutputPlug.
void TInPluginPlaybackThread::EQSet(int, const char *, int) {}
