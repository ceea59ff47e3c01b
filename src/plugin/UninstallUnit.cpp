#include "UninstallUnit.h"

#include "../config/PluginConfigUnit.h"
#include "../hookedins/HookedInsUnit.h"
#include "../hostlink/PluginError.h"
#include "../hostlink/WinAmpAPIUnit.h"
#include "../playback/InPluginPlaybackThreadUnit.h"
#include "../ui/AboutFormUnit.h"
#include "../ui/ConfigFormUnit.h"
#include "PlaybackEntryPoints.h"
#include "../globals/PluginGlobals.h"

#include <memory>

using namespace hostapi;

namespace {

constexpr int kMostAttempts = 21;
constexpr DWORD kAttemptPauseMs = 100;
constexpr int kPausesAfterGivingUp = 4;

// The real playback entry points, which the Stop and GetOutputTime substitutes still use.
const In_Module &RealEntryPoints() {
    static const In_Module real = [] {
        In_Module record{};
        FillPlaybackEntryPoints(record);
        return record;
    }();
    return real;
}

// The substitutes. Nothing is ours any more; the host only learns that it is still calling.

int __cdecl SubstituteIsOurFile(const void *) {
    return 0;
}

void __cdecl SubstituteConfig(HWND) {
    HostCalledFlag = 1;
}

void __cdecl SubstituteAbout(HWND) {
    HostCalledFlag = 1;
}

// The host asks with a null title on one path: nothing is written through a null pointer.
void __cdecl SubstituteGetFileInfo(const void *, void *title, int *length) {
    HostCalledFlag = 1;
    if (title)
        *static_cast<wchar_t *>(title) = L'\0';
    if (length)
        *length = 0;
}

int __cdecl SubstituteInfoBox(const void *, HWND) {
    HostCalledFlag = 1;
    return kInfoBoxUnchanged;
}

// Refused, so the host moves on (or stops) instead of thinking we play.
int __cdecl SubstitutePlay(const void *) {
    HostCalledFlag = 1;
    return 1;
}

void __cdecl SubstitutePause() {
    HostCalledFlag = 1;
}

void __cdecl SubstituteUnPause() {
    HostCalledFlag = 1;
}

int __cdecl SubstituteIsPaused() {
    HostCalledFlag = 1;
    return 0;
}

// Still stops: the host's stop is what ends our own playback, in either mode.
void __cdecl SubstituteStop() {
    HostCalledFlag = 1;
    RealEntryPoints().Stop();
}

int __cdecl SubstituteGetLength() {
    HostCalledFlag = 1;
    return 0;
}

// Still the real position: the host's answer to IPC_GETOUTPUTTIME is where the file restarts.
int __cdecl SubstituteGetOutputTime() {
    HostCalledFlag = 1;
    return RealEntryPoints().GetOutputTime();
}

void __cdecl SubstituteSetOutputTime(int) {
    HostCalledFlag = 1;
}

void __cdecl SubstituteSetVolume(int) {
    HostCalledFlag = 1;
}

void __cdecl SubstituteSetPan(int) {
    HostCalledFlag = 1;
}

void __cdecl SubstituteEQSet(int, char *, int) {
    HostCalledFlag = 1;
}

// Every window message waiting for this thread, so the host's window procedure runs and calls
// in. A quit request is not ours to take: it is put back for the host's own loop.
void DispatchPendingMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

HWND MainHostWindow() {
    return PluginModule.hMainWindow;
}

LRESULT SendToHost(UINT message, WPARAM wParam, LPARAM lParam) {
    return SendMessageW(MainHostWindow(), message, wParam, lParam);
}

void PostToHost(UINT message, WPARAM wParam, LPARAM lParam) {
    PostMessageW(MainHostWindow(), message, wParam, lParam);
}

// The host's position, or -1 when it does not play. Without a host window nobody plays: a
// send to no window answers 0, which is no position.
int HostPosition() {
    if (!IsWindow(MainHostWindow()))
        return -1;
    return static_cast<int>(SendToHost(WM_WA_IPC, 0, IPC_GETOUTPUTTIME));
}

bool SomethingOfOursPlays() {
    return ActiveHookedIn || (InPluginPlaybackThread && InPluginPlaybackThread->IsPlayingNow());
}

// Restarting the entry makes the host ask every plug-in again; ours answers "not mine", so the
// owner takes the file and is sent to the position. Answers 1 once the host stopped calling us
// and nothing of ours plays.
int HandBackWhilePlaying(int position) {
    int result = 1;
    for (int attempts = 0;;) {
        if (attempts >= kMostAttempts) {
            result = 0;
            break;
        }
        ++attempts;
        HostCalledFlag = 0;
        PostToHost(WM_COMMAND, kCommandStop, 0);
        PostToHost(WM_WA_IPC, 0, IPC_REFRESHPLCACHE);
        DispatchPendingMessages();
        PostToHost(WM_COMMAND, kCommandPlay, 0);
        PostToHost(WM_WA_IPC, static_cast<WPARAM>(position), IPC_JUMPTOTIME);
        DispatchPendingMessages();
        if (!HostCalledFlag && !SomethingOfOursPlays())
            break;
    }
    PostToHost(WM_WA_IPC, static_cast<WPARAM>(position), IPC_JUMPTOTIME);
    DispatchPendingMessages();
    return result;
}

// An idle host still asks about titles and lengths of its list: each attempt gives it the
// occasion, and waits until an attempt passes without a call.
int WaitWhileIdle() {
    for (int attempts = 0;;) {
        if (attempts >= kMostAttempts)
            return 0;
        ++attempts;
        HostCalledFlag = 0;
        SendToHost(WM_COMMAND, kCommandStop, 0);
        if (WinAmpAPIMan)
            SendMessageW(WinAmpAPIMan->MainWindow, WM_WA_IPC, 0, IPC_UPDTITLE);
        SendToHost(WM_WA_IPC, 0, IPC_REFRESHPLCACHE);
        if (WinAmpAPIMan)
            Firewall([] { (void)WinAmpAPIMan->QueryTitleAndLength(""); });
        Sleep(kAttemptPauseMs);
        DispatchPendingMessages();
        if (!HostCalledFlag)
            return 1;
    }
}

// Every plug-in gets its own IsOurFile back; the registry itself stays (its libraries loaded)
// until the files are handed back. The global is empty from here on.
std::unique_ptr<THookedInPlugins> UnhookRegistry() {
    std::unique_ptr<THookedInPlugins> registry;
    {
        GERCSBomb guard;
        registry.reset(HookedInPlugins);
        HookedInPlugins = nullptr;
    }
    if (registry)
        Firewall([&] { registry->RestoreAllIsOurFile(); });
    return registry;
}

void CloseDialogs() {
    Firewall([] { (void)CloseAboutFormOk(); });
    DestroyConfigForm();
}

// The registry releases the plug-ins' libraries: whatever still plays through one of them (an
// uninstall that gave up) is stopped first, so no call reaches a plug-in we let go of.
void ReleaseRegistry(std::unique_ptr<THookedInPlugins> registry) {
    if (!registry)
        return;
    if (SomethingOfOursPlays())
        Firewall([] { RealEntryPoints().Stop(); });
    ActiveHookedIn = nullptr;
    {
        GERCSBomb guard;
        HookedInPlugins = nullptr;
    }
    Firewall([&] { registry.reset(); });
}

void DeleteSettingsFile() {
    if (PluginConfig)
        Firewall([] { (void)PluginConfig->DeleteIniFile(); });
}

} // namespace

void FillIsOurFileSubstitute(In_Module &record) {
    record.IsOurFile = &SubstituteIsOurFile;
}

void FillUninstallSubstitutes(In_Module &record) {
    FillIsOurFileSubstitute(record);
    record.Config = &SubstituteConfig;
    record.About = &SubstituteAbout;
    record.GetFileInfo = &SubstituteGetFileInfo;
    record.InfoBox = &SubstituteInfoBox;
    record.Play = &SubstitutePlay;
    record.Pause = &SubstitutePause;
    record.UnPause = &SubstituteUnPause;
    record.IsPaused = &SubstituteIsPaused;
    record.Stop = &SubstituteStop;
    record.GetLength = &SubstituteGetLength;
    record.GetOutputTime = &SubstituteGetOutputTime;
    record.SetOutputTime = &SubstituteSetOutputTime;
    record.SetVolume = &SubstituteSetVolume;
    record.SetPan = &SubstituteSetPan;
    record.EQSet = &SubstituteEQSet;
}

int UninstallPlugin() noexcept {
    // The stops that hand the files back must not wait for a Play as skips: that Play goes to
    // the file's own plug-in, which is to find the output free.
    if (InPluginPlaybackThread)
        Firewall([] { InPluginPlaybackThread->EndSkips(); });
    FillIsOurFileSubstitute(PluginModule);
    std::unique_ptr<THookedInPlugins> registry = UnhookRegistry();
    CloseDialogs();
    FillUninstallSubstitutes(PluginModule);

    int result = 0; // a failure on the way means: remove us at the host's next start
    Firewall([&] {
        if (IsWindow(MainHostWindow()))
            SendToHost(WM_WA_IPC, 0, IPC_REFRESHPLCACHE);
        DispatchPendingMessages();
        const int position = HostPosition();
        result = position != -1 ? HandBackWhilePlaying(position) : WaitWhileIdle();
    });

    ReleaseRegistry(std::move(registry));
    DeleteSettingsFile();
    if (result == 0) {
        for (int pause = 0; pause < kPausesAfterGivingUp; ++pause) {
            Firewall([] { DispatchPendingMessages(); });
            Sleep(kAttemptPauseMs);
        }
    }
    return result;
}

// The host's "Remove" of its input preferences. 1: the host may Quit and unload us now; 0: it
// removes the library at its next start.
extern "C" int __cdecl winampUninstallPlugin(HINSTANCE, HWND, int) {
    return UninstallPlugin();
}
