#include "InPluginPlaybackThreadUnit.h"

#include "../hookedins/FileInfoQueries.h"
#include "../hostlink/FaultGuard.h"
#include "../hostlink/PluginError.h"
#include "../hostlink/TextConvert.h"
#include "../hostlink/WinAmpAPIUnit.h"
#include "../plugin/PluginGlobals.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr const char *kUtilWindowClass = "HVQBlendPlaybackThreadUtilWindow";
constexpr UINT kPlayRequest = WM_USER;

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
                           : now >= deadline      ? 0
                                                  : static_cast<DWORD>(deadline - now);
        const DWORD result = handle ? MsgWaitForMultipleObjects(1, &handle, FALSE, left, QS_SENDMESSAGE)
                                    : MsgWaitForMultipleObjects(0, nullptr, FALSE, left, QS_SENDMESSAGE);
        if (handle && result == WAIT_OBJECT_0)
            return true;
        if (result == WAIT_TIMEOUT || result == WAIT_FAILED)
            return false;
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

THookedInPlugin *OwnerOf(const std::wstring &fileName) {
    return HookedInPlugins ? HookedInPlugins->FindForFile(fileName.c_str()) : nullptr;
}

} // namespace

// A play request travels to the playback thread as a message that owns its file name and its
// prepared decoder: nothing the host's thread frees later is touched by it.
struct TInPluginPlaybackThread::PlayRequestMessage {
    std::wstring FileName;
    TPreLoadPtr Record;
    unsigned StopGeneration = 0;
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

TPreLoadPtr OpenPreLoad(const std::wstring &fileName) {
    THookedInPlugin *plugin = OwnerOf(fileName);
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

TInPluginPlaybackThread::TInPluginPlaybackThread(int threadPriority) {
    ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, &TInPluginPlaybackThread::ThreadEntry, this,
                           CREATE_SUSPENDED, &threadId_);
    if (!thread_ || !ready_) {
        if (ready_)
            CloseHandle(ready_);
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
    CloseHandle(thread_);
    CloseHandle(ready_);
}

unsigned long __stdcall TInPluginPlaybackThread::ThreadEntry(void *self) {
    return Firewall(0ul, [self] { return static_cast<TInPluginPlaybackThread *>(self)->Execute(); });
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
    const HINSTANCE instance = PluginInstance ? PluginInstance : GetModuleHandleA(nullptr);
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
    HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, kUtilWindowClass, "", WS_POPUP, 0, 0, 0, 0,
                                  nullptr, nullptr, instance, nullptr);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowProcStub));
    UtilWindow = window;
}

LRESULT __stdcall TInPluginPlaybackThread::WindowProcStub(HWND window, UINT message, WPARAM wParam,
                                                          LPARAM lParam) {
    auto *self = reinterpret_cast<TInPluginPlaybackThread *>(GetWindowLongPtrA(window, GWLP_USERDATA));
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
    case kPlayRequest: {
        std::unique_ptr<PlayRequestMessage> request(reinterpret_cast<PlayRequestMessage *>(lParam));
        // A stop that came after this request was posted cancels it.
        if (request && request->StopGeneration == stopGeneration_.load())
            HandlePlayRequest(request->FileName, std::move(request->Record));
        return 0;
    }
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
            delete reinterpret_cast<PlayRequestMessage *>(message.lParam);
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
    Decoder.Close();
    Crossfade.ReleaseSource();
    FreePreLoad(std::move(FadePreLoad));
    FreePreLoad(NextPreLoad.Take());
}

bool TInPluginPlaybackThread::AcceptsFile(const std::wstring &fileName) {
    if (IsStreamAddress(fileName))
        return false;
    THookedInPlugin *plugin = OwnerOf(fileName);
    if (!plugin || ::GetLengthMs(*plugin, fileName) < 1)
        return false;
    return IsAudioFile(*plugin, fileName);
}

bool TInPluginPlaybackThread::Play(const std::wstring &fileName) {
    if (IsStreamAddress(fileName)) {
        FreePreLoad(NextPreLoad.Take());
        return false;
    }
    TPreLoadPtr record = NextPreLoad.Take();
    if (record && record->FileName != fileName)
        FreePreLoad(std::move(record));
    if (!record)
        record = OpenPreLoad(fileName);
    if (!record) {
        StopRequested = true;
        return false;
    }

    PluginModule.is_seekable =
        record->Decoder.SetTime(0) == TDecoder::SeekResult::Moved ? 1 : 0;
    // The host asks for the length as soon as Play returns, before the request has started.
    LengthMs = record->Decoder.LengthMs;

    auto request = std::make_unique<PlayRequestMessage>();
    request->FileName = fileName;
    request->Record = std::move(record);
    request->StopGeneration = stopGeneration_.load();
    HWND window = UtilWindow.load();
    if (!window || !PostMessageA(window, kPlayRequest, 0, reinterpret_cast<LPARAM>(request.get())))
        return false; // the request and its decoder go with it
    request.release(); // owned by the message now
    return true;
}

void TInPluginPlaybackThread::Stop() {
    const bool immediate = WinAmpAPIMan && WinAmpAPIMan->IsImmediateStop();
    if (immediate) {
        ++stopGeneration_;
        StopRequested = true;
        FreePreLoad(NextPreLoad.Take());
        IsPlaying = false;
    } else if (IsPlaying) {
        SeekTargetMs = LengthMs.load();
        SeekPending = true;
    }
    Paused = 0;
}

void TInPluginPlaybackThread::ShutdownPlayback() {
    if (!IsPlaying)
        return;
    PostEndOfTrack();
    StopRequested = true;
    FreePreLoad(NextPreLoad.Take());
    Paused = 0;
    while (IsPlaying)
        WaitServicingSends(nullptr, 100);
    OutModule = nullptr;
    PostEndOfTrack();
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
void TInPluginPlaybackThread::Pause() {
    Paused = 1;
    if (Out_Module *output = OutModule.load())
        output->Pause(1);
}

void TInPluginPlaybackThread::UnPause() {
    Paused = 0;
    if (Out_Module *output = OutModule.load())
        output->Pause(0);
}

int TInPluginPlaybackThread::IsPaused() const {
    return IsPlaying ? Paused.load() : 0;
}

int TInPluginPlaybackThread::GetOutputTime() const {
    Out_Module *output = OutModule.load();
    return output ? output->GetOutputTime() : 0;
}

void TInPluginPlaybackThread::SetOutputTime(int milliseconds) {
    if (!IsPlaying)
        return;
    SeekTargetMs = milliseconds;
    SeekPending = true;
}

void TInPluginPlaybackThread::SetVolume(int volume) {
    Out_Module *expected = nullptr;
    OutModule.compare_exchange_strong(expected, PluginModule.outMod);
    if (Out_Module *output = OutModule.load())
        output->SetVolume(volume);
}

void TInPluginPlaybackThread::SetPan(int pan) {
    Out_Module *expected = nullptr;
    OutModule.compare_exchange_strong(expected, PluginModule.outMod);
    if (Out_Module *output = OutModule.load())
        output->SetPan(pan);
}

// The engine leaves the equaliser to the host: it says so with bit 1 of UsesOutputPlug.
void TInPluginPlaybackThread::EQSet(int, const char *, int) {}
