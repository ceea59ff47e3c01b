#include "InPluginPlaybackThreadUnit.h"

#include "../hookedins/FileInfoQueries.h"
#include "../hostlink/FaultGuard.h"
#include "../hostlink/PluginError.h"
#include "../hostlink/TextConvert.h"
#include "../hostlink/WinAmpAPIUnit.h"

#include <algorithm>
#include <cctype>

static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "a kill switch is handed to plug-ins as a plain int");

namespace {

constexpr const char *kUtilWindowClass = "HVQBlendPlaybackThreadUtilWindow";
// Private to the utility window's class: no other program's message means a play request.
constexpr UINT kPlayRequest = WM_APP + 0x51;
// After a stop while no request runs: let go of what a request would have let go of.
constexpr UINT kStopCleanUp = WM_APP + 0x52;
// The host played a file of ours directly: a held fade-out source goes nowhere now.
constexpr UINT kReleaseFade = WM_APP + 0x53;

// Stream addresses are left to their own plug-in.
bool IsStreamAddress(const std::wstring &fileName) {
    std::string ansi = WideToAnsi(fileName.substr(0, 16));
    CharLowerBuffA(ansi.data(), static_cast<DWORD>(ansi.size()));
    return ansi.rfind("http://", 0) == 0;
}

// Waits, answering messages other threads send to this one meanwhile: the playback thread may
// be inside a send to the host's window, which is this thread's when the host shuts down.
bool WaitServicingSends(HANDLE handle, DWORD milliseconds) {
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

THookedInPlugin *OwnerIn(THookedInPlugins *registry, const std::wstring &fileName) {
    return registry ? registry->FindForFile(fileName.c_str()) : nullptr;
}

} // namespace

// A play request travels to the playback thread as a message that owns its file name and its
// prepared decoder: nothing the host's thread frees later is touched by it.
struct TInPluginPlaybackThread::PlayRequestMessage {
    std::wstring FileName;
    TPreLoadPtr Record;
    unsigned StopGeneration = 0;
    bool Skip = false; // the Play of a skip
};

TPreLoadPtr TPreLoadSlot::Take() {
    std::lock_guard guard(lock_);
    return std::move(record_);
}

void TPreLoadSlot::Put(TPreLoadPtr record) {
    TPreLoadPtr previous;
    {
        std::lock_guard guard(lock_);
        previous = std::move(record_);
        record_ = std::move(record);
    }
    FreePreLoad(std::move(previous));
}

bool TPreLoadSlot::IsEmpty() const {
    std::lock_guard guard(lock_);
    return record_ == nullptr;
}

TPreLoadPtr OpenPreLoad(THookedInPlugins *registry, const std::wstring &fileName) {
    THookedInPlugin *plugin = OwnerIn(registry, fileName);
    if (!plugin || !plugin->CanExtendedRead || !IsAudioFile(*plugin, fileName))
        return nullptr;
    if (!HasUsableOpen(*plugin, false))
        return nullptr;
    const int lengthMs = GetLengthMs(*plugin, fileName);
    if (lengthMs < 1)
        return nullptr;
    auto decoder = OpenDecoder(*plugin, fileName, {lengthMs, false, lengthMs});
    if (!decoder)
        return nullptr;
    auto record = std::make_unique<TInPluginPlaybackThreadPreLoad>();
    record->FileName = fileName;
    record->Decoder = std::move(*decoder);
    return record;
}

void FreePreLoad(TPreLoadPtr record) noexcept {
    record.reset(); // the decoder closes itself
}

TInPluginPlaybackThread::TInPluginPlaybackThread(const TEngineLinks &links, int threadPriority)
    : Links(links), Module(*links.Module) {
    ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    idle_ = CreateEventA(nullptr, TRUE, TRUE, nullptr);
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
    if (!thread_ || !ready_ || !idle_) {
        for (HANDLE handle : {static_cast<HANDLE>(ready_), static_cast<HANDLE>(idle_)})
            if (handle)
                CloseHandle(handle);
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
    if (Paused.exchange(0)) {
        if (Out_Module *output = OutModule.load())
            CallGuarded([&] { output->Pause(0); });
    }
    QuitLoop();
    WaitFor(INFINITE);
    postedRequests_.clear();
    CloseHandle(thread_);
    CloseHandle(ready_);
    CloseHandle(idle_);
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
    DestroyWindow(UtilWindow.exchange(nullptr));
    StopRequested = true;
    CleanUpAtEnd();
    DrainMessages();
    return result;
}

// The utility window's class uses the default procedure, so a class left registered by an
// earlier load of the plug-in in the same process is reused as it is.
void TInPluginPlaybackThread::CreateUtilWindow() {
    const HINSTANCE instance = Links.Instance ? Links.Instance : GetModuleHandleA(nullptr);
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
    UtilWindow = window;
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
    HWND window = UtilWindow.load();
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
        if (lParam == reinterpret_cast<LPARAM>(this))
            CleanUpAfterStop();
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
        if (lParam == reinterpret_cast<LPARAM>(this))
            SetTimer(window, kEndStopGraceTimer, static_cast<UINT>(wParam), nullptr);
        return 0;
    case kReleaseFade:
        // Between requests only: a running one (or a stop's clean-up) decides for itself.
        if (lParam == reinterpret_cast<LPARAM>(this) &&
            WaitForSingleObject(idle_, 0) == WAIT_OBJECT_0)
            Crossfade.ReleaseSource();
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
        terminated_ = true;
    }
}

void TInPluginPlaybackThread::CleanUpAtEnd() noexcept {
    {
        // Requests whose message never arrived (their window is gone) close their decoders here.
        std::lock_guard guard(requestsLock_);
        postedRequests_.clear();
    }
    Decoder.Close();
    Crossfade.ReleaseSource();
    FreePreLoad(std::move(FadePreLoad));
    FreePreLoad(NextPreLoad.Take());
}

// A stop that came after the request was posted cancels it; any failure of the request ends it
// as a request that cannot play ends, so that the host moves on.
void TInPluginPlaybackThread::CarryOut(std::unique_ptr<PlayRequestMessage> request) {
    if (!Activate(request->StopGeneration))
        return; // the record closes its decoder on the way out
    bool tellHost = true;
    requestIsSkip_ = request->Skip;
    try {
        tellHost = HandlePlayRequest(request->FileName, std::move(request->Record));
    } catch (...) {
        Decoder.Close();
        CloseOpenedOutput();
    }
    Deactivate(tellHost);
}

void TInPluginPlaybackThread::CleanUpAfterStop() {
    Crossfade.ReleaseSource();
    FreePreLoad(std::move(FadePreLoad));
    if (OpenedOutModule) {
        CloseOpenedOutput();
        if (Module.SAVSADeInit)
            CallGuarded([this] { Module.SAVSADeInit(); });
    }
    Deactivate(false);
}

bool TInPluginPlaybackThread::Activate(unsigned generation) {
    std::lock_guard guard(activation_);
    if (generation != stopGeneration_.load())
        return false;
    requestActive_ = true;
    requestGeneration_ = generation;
    endOfTrackPosted_ = false;
    decoderKill_ = 0;
    outputGivenUp_ = false;
    ResetEvent(idle_);
    return true;
}

// The end-of-track message is posted under the same lock a stop takes: a stop either comes
// before it, and there is none, or finds the request over.
void TInPluginPlaybackThread::Deactivate(bool postEndOfTrack) {
    std::lock_guard guard(activation_);
    if (postEndOfTrack && requestGeneration_ == stopGeneration_.load() && !terminated_) {
        endOfTrackPosted_ = true;
        PostEndOfTrack();
    }
    requestActive_ = false;
    SetEvent(idle_);
}

bool TInPluginPlaybackThread::Stopped() const {
    return stopGeneration_.load() != requestGeneration_ || terminated_;
}

bool TInPluginPlaybackThread::CancelRequests() {
    std::lock_guard guard(activation_);
    ++stopGeneration_;
    decoderKill_ = 1;
    if (requestActive_)
        fadeKill_ = 1;
    return requestActive_;
}

bool TInPluginPlaybackThread::WaitUntilIdle(unsigned long milliseconds) {
    return WaitServicingSends(idle_, milliseconds);
}

// Calls already under way are not waited for long: a stalled output keeps its own.
void TInPluginPlaybackThread::GiveUpOutput() {
    outputGivenUp_ = true;
    outputUsedElsewhere_ = true; // the next request opens it anew
    for (int tries = 0; tries < 20; ++tries) {
        if (outputCalls_.try_lock()) {
            outputCalls_.unlock();
            return;
        }
        WaitServicingSends(nullptr, 5);
    }
}

THookedInPlugin *TInPluginPlaybackThread::OwnerOf(const std::wstring &fileName) const {
    return OwnerIn(Links.Registry, fileName);
}

bool TInPluginPlaybackThread::AcceptsFile(const std::wstring &fileName) {
    if (IsStreamAddress(fileName))
        return false;
    THookedInPlugin *plugin = OwnerOf(fileName);
    if (!plugin || ::GetLengthMs(*plugin, fileName) < 1)
        return false;
    return IsAudioFile(*plugin, fileName);
}

// The next file is the engine's when the host's next entry opened, it is no stream address, and
// the output of the track that ends is the host's output, open in the same format and used by
// nobody else meanwhile.
bool TInPluginPlaybackThread::NextTrackContinues(Out_Module *output) const {
    return NextIsTheEngines(output) &&
           NextPreLoad.Inspect([&](const TInPluginPlaybackThreadPreLoad &next) {
               return next.Decoder.BitsPerSample == OpenedBits &&
                      next.Decoder.Channels == OpenedChannels &&
                      next.Decoder.SampleRate == OpenedRate;
           });
}

bool TInPluginPlaybackThread::NextIsTheEngines(Out_Module *output) const {
    if (StopRequested || Stopped() || outputUsedElsewhere_ || outputGivenUp_ ||
        OpenedOutModule != output || Module.outMod != output)
        return false;
    return NextPreLoad.Inspect([&](const TInPluginPlaybackThreadPreLoad &next) {
        return !IsStreamAddress(next.FileName);
    });
}

// The host asked for a file the engine does not play, though the engine's last track still
// sounds from the output: its plug-in would open the output over it. The playback thread is idle
// (the host stopped before this Play), so this thread may call the output.
void TInPluginPlaybackThread::LetHeldRestPlayOut() {
    heldEndMs_ = -1;
    Out_Module *output = heldOutput_.exchange(nullptr);
    if (!output)
        return;
    TStillClock clock;
    for (;;) {
        int playing = 0, written = 0, heard = 0;
        if (!CallGuarded([&] {
                playing = output->IsPlaying();
                written = output->GetWrittenTime();
                heard = output->GetOutputTime();
            }))
            return;
        const int held = std::max(0, written - heard);
        if ((!playing && held == 0) || clock.StandsStill(held))
            return;
        WaitServicingSends(nullptr, 5);
    }
}

bool TInPluginPlaybackThread::Play(const std::wstring &fileName) {
    if (TakeEndOfTrackStop(fileName))
        StopNow(false); // the host's own stop between two tracks, as it would have said
    const bool skip = TakeSkip();
    const auto leftToItsPlugin = [&] {
        // Its plug-in is to find the output as a stop leaves it.
        if (skip)
            ConcludeSkipAsStop();
        else
            LetHeldRestPlayOut();
        // Its plug-in opens and closes the same output: the engine's next track opens it again,
        // and a fade prepared for a track of the engine goes nowhere.
        outputUsedElsewhere_ = true;
        if (HWND window = UtilWindow.load())
            PostMessageA(window, kReleaseFade, 0, reinterpret_cast<LPARAM>(this));
        return false;
    };
    if (IsStreamAddress(fileName)) {
        FreePreLoad(NextPreLoad.Take());
        return leftToItsPlugin();
    }
    TPreLoadPtr record = NextPreLoad.Take();
    if (record && record->FileName != fileName)
        FreePreLoad(std::move(record));
    if (!record)
        record = OpenPreLoad(Links.Registry, fileName);
    if (!record) {
        StopRequested = true;
        return leftToItsPlugin();
    }

    Module.is_seekable = record->Decoder.SetTime(0) == TDecoder::SeekResult::Moved ? 1 : 0;
    // The host asks for the length and position as soon as Play returns, before the request
    // has started: the position counts from where this track will begin on the output.
    LengthMs = record->Decoder.LengthMs;
    if (const int heldEnd = heldEndMs_.load(); heldEnd >= 0)
        outputBaseMs_ = heldEnd;

    auto request = std::make_unique<PlayRequestMessage>();
    request->FileName = fileName;
    request->Record = std::move(record);
    request->StopGeneration = stopGeneration_.load();
    request->Skip = skip;
    // Until a skip's first block, or the re-opening of an output that still plays the last track
    // in another format, the host is told the new track's own time.
    pendingPositionMs_ = skip || (heldOutput_.load() && heldEndMs_.load() < 0) ? 0 : -1;
    // A host that resumes a position seeks as soon as Play returns, before the request starts.
    SeekPending = false;
    RequestQueued = true;
    if (PostRequest(std::move(request)))
        return true;
    RequestQueued = false;
    return leftToItsPlugin();
}

// The message carries only a number: the request stays in our own table until the playback
// thread takes it, so no pointer ever travels through the message queue.
bool TInPluginPlaybackThread::PostRequest(std::unique_ptr<PlayRequestMessage> request) {
    HWND window = UtilWindow.load();
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

// A stop of the host's own (its end-of-track handling, or "play now" of another entry) ends a
// running request as well: the host has left that track and plays the next entry itself. The
// user's stop also lets go of everything prepared for a next track and of an output left open.
void TInPluginPlaybackThread::Stop() {
    const bool immediate = Links.Host && Links.Host->IsImmediateStop();
    if (immediate && (BeginSkip() || BeginEndOfTrackStop()))
        return;
    StopNow(immediate);
}

void TInPluginPlaybackThread::StopNow(bool immediate) {
    // A paused output would never play out, for this track or the next.
    if (Paused.exchange(0)) {
        if (Out_Module *output = OutModule.load())
            CallGuarded([&] { output->Pause(0); });
    }
    RequestQueued = false;
    pendingPositionMs_ = -1;
    endOfTrackPosted_ = false;
    const bool running = CancelRequests();
    if (immediate) {
        // The rest of a track that still sounds is silenced with the output, by the request or
        // by the clean-up.
        heldEndMs_ = -1;
        heldOutput_ = nullptr;
        StopRequested = true;
        FreePreLoad(NextPreLoad.Take());
        IsPlaying = false;
        if (!running) {
            HWND window = UtilWindow.load();
            {
                std::lock_guard guard(activation_);
                requestActive_ = true;
                ResetEvent(idle_);
            }
            if (!window || !PostMessageA(window, kStopCleanUp, 0, reinterpret_cast<LPARAM>(this))) {
                std::lock_guard guard(activation_);
                requestActive_ = false;
                SetEvent(idle_);
            }
        }
    }
    if (!WaitUntilIdle(kStopWaitMs))
        GiveUpOutput();
}

void TInPluginPlaybackThread::ShutdownPlayback() {
    ConcludeSkipAsStop();
    TakeEndOfTrackStop({}); // nothing more plays: the held rest goes with the stop below
    if (!IsPlaying && WaitForSingleObject(idle_, 0) == WAIT_OBJECT_0)
        return;
    PostEndOfTrack();
    StopRequested = true;
    CancelRequests();
    FreePreLoad(NextPreLoad.Take());
    Paused = 0;
    if (!WaitUntilIdle(kStopWaitMs))
        GiveUpOutput();
    OutModule = nullptr;
    PostEndOfTrack();
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
        terminated_ = true;
    } catch (...) {
    }
}

bool TInPluginPlaybackThread::WaitFor(unsigned long milliseconds) {
    return WaitServicingSends(thread_, milliseconds);
}

void TInPluginPlaybackThread::SetPriority(int threadPriority) {
    SetThreadPriority(thread_, threadPriority);
}

// Pause holds the playback thread at its next point between calls into the decoder and the
// output (see WaitWhilePaused); the output itself stops sounding at once.
// The host's output called on the host's thread: a fault inside it is caught here, so that it
// never reaches the host through our entry points.
void TInPluginPlaybackThread::Pause() {
    Paused = 1;
    if (Out_Module *output = OutModule.load())
        CallGuarded([&] { output->Pause(1); });
}

void TInPluginPlaybackThread::UnPause() {
    Paused = 0;
    if (Out_Module *output = OutModule.load())
        CallGuarded([&] { output->Pause(0); });
}

int TInPluginPlaybackThread::IsPaused() const {
    return IsPlaying ? Paused.load() : 0;
}

// While the output still sounds the previous track, the current one is at 0.
int TInPluginPlaybackThread::GetOutputTime() const {
    if (const int pending = pendingPositionMs_.load(); pending >= 0)
        return pending;
    Out_Module *output = OutModule.load();
    int time = 0;
    if (!output || !CallGuarded([&] { time = output->GetOutputTime(); }))
        return 0;
    return std::max(0, time - outputBaseMs_.load()) + skippedLeadMs_.load();
}

void TInPluginPlaybackThread::SetOutputTime(int milliseconds) {
    if (!IsPlaying && !RequestQueued)
        return;
    SeekTargetMs = milliseconds;
    SeekPending = true;
    int pending = pendingPositionMs_.load();
    if (pending >= 0)
        pendingPositionMs_.compare_exchange_strong(pending, std::max(milliseconds, 0));
}

void TInPluginPlaybackThread::SetVolume(int volume) {
    Out_Module *expected = nullptr;
    OutModule.compare_exchange_strong(expected, Module.outMod);
    if (Out_Module *output = OutModule.load())
        CallGuarded([&] { output->SetVolume(volume); });
}

void TInPluginPlaybackThread::SetPan(int pan) {
    Out_Module *expected = nullptr;
    OutModule.compare_exchange_strong(expected, Module.outMod);
    if (Out_Module *output = OutModule.load())
        CallGuarded([&] { output->SetPan(pan); });
}

// The engine leaves the equaliser to the host: it says so with bit 1 of UsesOutputPlug.
void TInPluginPlaybackThread::EQSet(int, const char *, int) {}
