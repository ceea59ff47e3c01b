#include "PluginModuleUnit.h"

#include "../hostlink/TextConvert.h"

#include "../config/PluginConfigUnit.h"
#include "../hookedins/HookedInsUnit.h"
#include "../hostlink/PluginError.h"
#include "../hostlink/WinAmpAPIUnit.h"
#include "../playback/InPluginPlaybackThreadUnit.h"
#include "../ui/AboutFormUnit.h"
#include "../ui/ConfigFormUnit.h"
#include "ExtendedReadsUnit.h"
#include "PlaybackEntryPoints.h"
#include "../globals/PluginGlobals.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int kModuleVersion = hostapi::kInVersion | hostapi::kInUnicode; // 0x0F000100
char EmptyExtensionList[2] = {'\0', '\0'};

In_Module RecordTemplate() {
    In_Module record{};
    record.version = kModuleVersion;
    record.description = ModuleDescription.data();
    record.hDllInstance = PluginInstance;
    record.FileExtensions = EmptyExtensionList;
    record.is_seekable = 1;
    record.UsesOutputPlug = hostapi::kUsesOutputPlugin | hostapi::kOwnEqualizer;
    record.Config = &PluginConfigure;
    record.About = &PluginAbout;
    record.Init = &PluginInit;
    record.Quit = &PluginQuit;
    FillPlaybackEntryPoints(record);
    return record;
}

// Wide: a folder outside the ANSI code page would come back with "?" for its characters, a
// path that names nothing. Long paths are asked for with a buffer that grows.
std::wstring OwnFileName(HINSTANCE instance) {
    std::vector<wchar_t> name(MAX_PATH + 1, L'\0');
    for (;;) {
        const DWORD copied =
            GetModuleFileNameW(instance, name.data(), static_cast<DWORD>(name.size()));
        if (copied == 0)
            return {};
        if (copied < name.size() - 1 || name.size() > 32768)
            break;
        name.assign(name.size() * 2, L'\0');
    }
    const DWORD length = GetFullPathNameW(name.data(), 0, nullptr, nullptr);
    if (length == 0)
        return name.data();
    std::vector<wchar_t> full(length + 1, L'\0');
    GetFullPathNameW(name.data(), length, full.data(), nullptr);
    return full.data();
}

// The global owns its object; it is cleared before the object goes, so that code reached
// during the destruction finds it empty.
template <class T> void ClearThenDestroy(T *&global) {
    std::unique_ptr<T> owned(global);
    global = nullptr;
}

// Shown as a Windows user sees any failure of a plug-in that has no other way to report it.
// An error without text was announced already by whoever raised it.
void ShowInitFailure(const std::exception &error) {
    if (*error.what() != '\0')
        MessageBoxA(nullptr, error.what(), "Halvern Q-Blend", MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

} // namespace

// Ends the running track and the thread's message loop, waits for the thread, then destroys it;
// its global is cleared only after that, so the thread finds itself while it ends. The waits
// are bounded: a thread stuck in a plug-in's call keeps its object, which it still uses.
static void StopPlaybackThread() noexcept {
    TInPluginPlaybackThread *thread = InPluginPlaybackThread;
    if (!thread)
        return;
    bool ended = false;
    Firewall([&] { ended = thread->Shutdown(); });
    if (ended)
        Firewall([&] { delete thread; });
    InPluginPlaybackThread = nullptr;
}

void AttachLibrary(HINSTANCE instance) {
    std::memset(&PluginModule, 0, sizeof PluginModule);
    PluginInstance = instance;
    ThisLibraryFileNameW = OwnFileName(instance);
    ThisLibraryFileName = WideToAnsi(ThisLibraryFileNameW);
    PluginModule = RecordTemplate();
}

// Reading a version resource loads and maps files, which must not happen under the loader lock
// of the library's attach: the host's first call reads it, before the host reads the record.
void DescribeModule() noexcept {
    static const bool described = [] {
        Firewall([] {
            if (ThisLibraryFileNameW.empty())
                return;
            VersionReader.Read(ThisLibraryFileNameW, VersionReaderResult);
            if (VersionReaderResult.StringInfoRead)
                ModuleDescription = "Halvern Q-Blend v" + VersionReaderResult.FileVersion;
        });
        PluginModule.description = ModuleDescription.data();
        return true;
    }();
    (void)described;
}

void DetachLibrary() {
    std::memset(&PluginModule, 0, sizeof PluginModule);
}

void InitGlobals() {
    GERCSBomb guard;
    if (!WinAmpAPIMan)
        WinAmpAPIMan = new TWinAmpAPIMan(&PluginModule);
    if (!PluginConfig)
        PluginConfig = new TPluginConfig(WinAmpAPIMan, ThisLibraryFileNameW);
    SetFadeCurve(FadeCurveFor(PluginConfig->LogTrans(), PluginConfig->EqualPowerTrans()));
    // The registry starts empty: our IsOurFile makes it scan at the host's first question.
    if (!HookedInPlugins)
        HookedInPlugins = new THookedInPlugins(ThisLibraryFileNameW);
    if (!InPluginPlaybackThread)
        InPluginPlaybackThread = new TInPluginPlaybackThread(
            TEngineLinks{&PluginModule, PluginInstance, WinAmpAPIMan, HookedInPlugins,
                         PluginConfig},
            PriorityLevelToThreadPriority(PluginConfig->PlaybackThreadPriority()));
    CreateOpenExtendedReads();
}

void QuitGlobals() {
    // Open extended reads are closed first (their plug-ins outside the lock), then the
    // configuration dialog and the playback thread go: the thread's wait is bounded, but other
    // host threads must not wait for the lock meanwhile. The registry and the settings follow,
    // in that order, before the host link.
    CloseAndDestroyOpenExtendedReads();
    DestroyConfigForm();
    StopPlaybackThread();
    GERCSBomb guard;
    // The registry hands every plug-in its own IsOurFile back and releases its library. A
    // plug-in still active in direct mode goes with it.
    if (HookedInPlugins) {
        ActiveHookedIn = nullptr;
        ClearThenDestroy(HookedInPlugins);
    }
    ClearThenDestroy(PluginConfig); // saves itself; a failed write stops in its destructor
    ClearThenDestroy(WinAmpAPIMan);
    // Another Init starts afresh: these name files and a plug-in of the run that ends here.
    ForgetPlaybackNames();
    LastInfoFileName.clear();
    PendingWritePlugin = nullptr;
}

void __cdecl PluginInit() {
    HostCalledFlag = 1;
    try {
        InitGlobals();
    } catch (const std::exception &error) {
        ShowInitFailure(error);
    } catch (...) {
    }
}

void __cdecl PluginQuit() {
    HostCalledFlag = 1;
    Firewall([] { QuitGlobals(); });
}

// The host's Configure button: opens the settings window, or brings the open one to the front.
void __cdecl PluginConfigure(HWND) {
    HostCalledFlag = 1;
    Firewall([] { OpenConfigForm(); });
}

// The host's About button: our about window, modal; returns when it is closed.
void __cdecl PluginAbout(HWND) {
    HostCalledFlag = 1;
    Firewall([] { OpenAboutForm(); });
}
