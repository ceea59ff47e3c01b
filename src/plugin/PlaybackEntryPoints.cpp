#include "PlaybackEntryPoints.h"

#include "../hookedins/HookedInsUnit.h"
#include "../hostlink/FaultGuard.h"
#include "../hostlink/PluginError.h"
#include "../hostlink/TextConvert.h"
#include "../playback/InPluginPlaybackThreadUnit.h"
#include "../globals/PluginGlobals.h"

#include <algorithm>
#include <mutex>
#include <vector>

using namespace hostapi;

namespace {

// The playback thread's side of every call: what it answers, or does, when there is a thread,
// and the answer of a plug-in without one (nothing plays, the queries answer 0).
namespace playbackthread {
TInPluginPlaybackThread *Thread() {
    return InPluginPlaybackThread;
}
bool AcceptsFile(const std::wstring &name) {
    return Thread() && Thread()->AcceptsFile(name);
}
bool Play(const wchar_t *name) {
    return Thread() && name && Thread()->Play(name);
}
bool HasRequest();
void Pause() {
    if (Thread())
        Thread()->Pause();
}
void UnPause() {
    if (Thread())
        Thread()->UnPause();
}
int IsPaused() {
    return Thread() ? Thread()->IsPaused() : 0;
}
void Stop() {
    if (Thread())
        Thread()->Stop();
}
int LengthMs() {
    return Thread() ? Thread()->GetLengthMs() : 0;
}
int GetOutputTime() {
    return Thread() ? Thread()->GetOutputTime() : 0;
}
void SetOutputTime(int milliseconds) {
    if (Thread())
        Thread()->SetOutputTime(milliseconds);
}
void SetVolume(int volume) {
    if (Thread())
        Thread()->SetVolume(volume);
}
void SetPan(int pan) {
    if (Thread())
        Thread()->SetPan(pan);
}
void EQSet(int on, char *data, int preamp) {
    if (Thread())
        Thread()->EQSet(on, data, preamp);
}
} // namespace playbackthread

In_Module &Active() {
    return *ActiveHookedIn->Module;
}

// An entry of the plug-in playing in direct mode, guarded: a plug-in that faults in it is
// marked faulted (it plays nothing more for us, though Stop still reaches it) and the host gets
// the answer it would get without the entry.
template <class R, class F> R CallActive(R fallback, F &&call) {
    R result = fallback;
    if (!CallPluginGuarded(*ActiveHookedIn, [&] { result = call(Active()); }))
        return fallback;
    return result;
}

template <class F> void CallActive(F &&call) {
    CallPluginGuarded(*ActiveHookedIn, [&] { call(Active()); });
}

// The host calls IsOurFile, Play, Stop and GetFileInfo from threads of its own: the names they
// share are kept under this lock, which is never held while a plug-in runs.
std::mutex NamesLock;
std::wstring EngineFile; // the file the engine took at the last Play, until Stop

void RememberClaim(const wchar_t *name) {
    std::lock_guard guard(NamesLock);
    LastClaimedFile = name ? name : L"";
}

std::wstring ClaimedFile() {
    std::lock_guard guard(NamesLock);
    return LastClaimedFile;
}

void RememberEngineFile(const wchar_t *name) {
    std::lock_guard guard(NamesLock);
    EngineFile = name ? name : L"";
}

std::wstring EnginePlayingFile() {
    std::lock_guard guard(NamesLock);
    return EngineFile;
}

// Without a registry (before Init, after a failed Init or after Quit) nothing is ours: a claim
// would take the file from its own plug-in and hand it to a Play that cannot start it.
int ClaimFile(const wchar_t *name) {
    if (!HookedInPlugins)
        return 0;
    {
        // Threads of the host may ask the extended exports about files meanwhile: they look
        // the registry up under the same lock, so none sees it half filled.
        GERCSBomb guard;
        HookedInPlugins->LoadAll();
    }
    // The walk runs on a copy of the list, outside the lock, so a Quit on another host thread
    // cannot free a plug-in while it is asked.
    if (!SharedOwnerOf(name))
        return 0;
    RememberClaim(name);
    return 1;
}

// A plug-in that faulted plays nothing more: the host hears of a failure and skips the file.
int PlayDirect(const wchar_t *name) {
    ActiveHookedIn = HookedInPlugins ? HookedInPlugins->FindForFile(name) : nullptr;
    if (!ActiveHookedIn || ActiveHookedIn->IsFaulted()) {
        ActiveHookedIn = nullptr;
        return 1;
    }
    THookedInPlugin &plugin = *ActiveHookedIn;
    struct TKeepOnlyWhenStarted {
        bool Started = false;
        ~TKeepOnlyWhenStarted() {
            if (!Started)
                ActiveHookedIn = nullptr;
        }
    } activation;
    const TPluginFileName pluginName(plugin, name);
    EnsureActiveHookedIn();
    // A Play that faults has not started: the host hears of a failure and moves on.
    const auto play = plugin.Module->Play;
    const void *fileName = pluginName.Get();
    int result = 1;
    if (!play || !CallPluginGuarded(plugin, [&] { result = play(fileName); }))
        result = 1;
    if (result == 0) {
        PluginModule.is_seekable = plugin.Module->is_seekable;
        PluginModule.UsesOutputPlug = plugin.Module->UsesOutputPlug;
        activation.Started = true;
    }
    return result;
}

int PlayFile(const wchar_t *name) {
    if (playbackthread::Play(name)) {
        RememberEngineFile(name);
        PluginModule.UsesOutputPlug |= kOwnEqualizer;
        return 0;
    }
    return PlayDirect(name);
}

// The engine took a file at Play and was not stopped since, or still plays one out.
bool playbackthread::HasRequest() {
    return !EnginePlayingFile().empty() || (Thread() && Thread()->IsPlayingNow());
}

void StopPlaying() {
    if (!ActiveHookedIn) {
        RememberEngineFile(nullptr);
        playbackthread::Stop();
        return;
    }
    In_Module &module = Active();
    // A Stop that faults is over all the same: nothing stays active. A plug-in that faulted before
    // is still asked to stop what it plays: the user must be able to silence it.
    if (const auto stop = module.Stop; stop && !CallGuarded([&] { stop(); }))
        ActiveHookedIn->Faulted = true;
    module.outMod = nullptr;
    ActiveHookedIn = nullptr;
}

// The ANSI title the plug-in wrote, in the caller's wide buffer: at most kTitleLength
// characters, terminator included.
void CopyTitle(const std::wstring &title, wchar_t *destination) {
    const std::size_t count = std::min<std::size_t>(title.size(), kTitleLength - 1);
    std::copy_n(title.c_str(), count, destination);
    destination[count] = L'\0';
}

// The host asks with a null title on one path and might with a null length: the plug-in gets
// buffers of ours instead, and nothing is written through a null pointer.
void DescribeNobodysFile(wchar_t *title, int *length) {
    if (title)
        title[0] = L'\0';
    if (length)
        *length = -1000;
}

// A plug-in that faults while it describes a file has told nothing: the answer is the one for a
// file that nobody owns.
void DescribeFile(const wchar_t *name, wchar_t *title, int *length) {
    if (!HookedInPlugins)
        return;
    // No name means the playing file; the engine's is asked of its own plug-in by name, as that
    // plug-in plays nothing itself.
    const std::wstring engineFile =
        (!name || !*name) && !ActiveHookedIn ? EnginePlayingFile() : L"";
    if (!engineFile.empty())
        name = engineFile.c_str();
    const std::shared_ptr<THookedInPlugin> owner = SharedOwnerOf(name);
    THookedInPlugin *plugin = owner ? owner.get() : ActiveHookedIn;
    if (!plugin || plugin->IsFaulted()) {
        DescribeNobodysFile(title, length);
        return;
    }
    const auto getFileInfo = plugin->Module->GetFileInfo;
    if (!getFileInfo)
        return;
    // Guarded: a plug-in that faults over a title must not take the host's thread with it.
    int ownLength = 0;
    int *lengthOut = length ? length : &ownLength;
    if (plugin->IsUnicode) {
        std::vector<wchar_t> ownTitle(title ? 0 : kTitleLength + 1, L'\0');
        wchar_t *titleOut = title ? title : ownTitle.data();
        if (!CallPluginGuarded(*plugin, [&] { getFileInfo(name, titleOut, lengthOut); }))
            DescribeNobodysFile(title, length);
        return;
    }
    if (title)
        std::fill_n(title, kTitleLength, L'\0');
    std::vector<char> ansiTitle(kTitleLength + 1, '\0');
    const TPluginFileName ansiName(*plugin, name);
    const void *fileName = ansiName.Get();
    char *titleOut = ansiTitle.data();
    if (!CallPluginGuarded(*plugin, [&] { getFileInfo(fileName, titleOut, lengthOut); })) {
        DescribeNobodysFile(title, length);
        return;
    }
    ansiTitle.back() = '\0';
    if (title)
        CopyTitle(AnsiToWide(ansiTitle.data()), title);
}

int ShowInfoBox(const wchar_t *name, HWND parent) {
    if (!HookedInPlugins)
        return kInfoBoxUnchanged;
    const std::shared_ptr<THookedInPlugin> plugin = SharedOwnerOf(name);
    if (!plugin || plugin->IsFaulted() || !plugin->Module->InfoBox)
        return kInfoBoxUnchanged;
    const TPluginFileName pluginName(*plugin, name);
    return plugin->Module->InfoBox(pluginName.Get(), parent);
}

const wchar_t *WideName(const void *name) {
    return static_cast<const wchar_t *>(name);
}

// The record's entry points: each notes that the host called, and lets no exception out.

// Whether the file is ours: some hooked-in plug-in owns it. The first call loads them.
int __cdecl IsOurFile(const void *fn) {
    HostCalledFlag = 1;
    return Firewall(0, [&] { return ClaimFile(WideName(fn)); });
}

// 0 when playing started; otherwise the failure code of the host's published meaning.
int __cdecl Play(const void *fn) {
    HostCalledFlag = 1;
    return Firewall(1, [&] { return PlayFile(WideName(fn)); });
}

void __cdecl Pause() {
    HostCalledFlag = 1;
    Firewall([] {
        if (!ActiveHookedIn)
            playbackthread::Pause();
        else if (Active().Pause)
            CallActive([](In_Module &module) { module.Pause(); });
    });
}

void __cdecl UnPause() {
    HostCalledFlag = 1;
    Firewall([] {
        if (!ActiveHookedIn)
            playbackthread::UnPause();
        else if (Active().UnPause)
            CallActive([](In_Module &module) { module.UnPause(); });
    });
}

int __cdecl IsPaused() {
    HostCalledFlag = 1;
    return Firewall(0, [] {
        if (!ActiveHookedIn)
            return playbackthread::IsPaused();
        return Active().IsPaused
                   ? CallActive(0, [](In_Module &module) { return module.IsPaused(); })
                   : 0;
    });
}

// Stops what plays; a direct-mode plug-in is handed its outMod back as none.
void __cdecl Stop() {
    HostCalledFlag = 1;
    Firewall([] { StopPlaying(); });
}

// Length of the playing file in ms.
int __cdecl GetLength() {
    HostCalledFlag = 1;
    return Firewall(0, [] {
        if (!ActiveHookedIn)
            return playbackthread::LengthMs();
        return Active().GetLength
                   ? CallActive(0, [](In_Module &module) { return module.GetLength(); })
                   : 0;
    });
}

// Position in ms.
int __cdecl GetOutputTime() {
    HostCalledFlag = 1;
    return Firewall(0, [] {
        if (!ActiveHookedIn)
            return playbackthread::GetOutputTime();
        return Active().GetOutputTime
                   ? CallActive(0, [](In_Module &module) { return module.GetOutputTime(); })
                   : 0;
    });
}

// Seek request, in ms.
void __cdecl SetOutputTime(int milliseconds) {
    HostCalledFlag = 1;
    Firewall([&] {
        if (!ActiveHookedIn)
            playbackthread::SetOutputTime(milliseconds);
        else if (Active().SetOutputTime)
            CallActive([&](In_Module &module) { module.SetOutputTime(milliseconds); });
    });
}

// The host sends volume and pan before Play too: they may activate the claimed file's owner.
void __cdecl SetVolume(int volume) {
    HostCalledFlag = 1;
    Firewall([&] {
        EnsureActiveHookedIn();
        if (!ActiveHookedIn)
            playbackthread::SetVolume(volume);
        else if (Active().SetVolume)
            CallActive([&](In_Module &module) { module.SetVolume(volume); });
    });
}

// Pan goes to the host's output plug-in itself, never to the active plug-in's SetPan.
void __cdecl SetPan(int pan) {
    HostCalledFlag = 1;
    Firewall([&] {
        EnsureActiveHookedIn();
        if (!ActiveHookedIn) {
            playbackthread::SetPan(pan);
            return;
        }
        if (Out_Module *output = Active().outMod; output && output->SetPan)
            output->SetPan(pan);
    });
}

void __cdecl EQSet(int on, char data[10], int preamp) {
    HostCalledFlag = 1;
    Firewall([&] {
        EnsureActiveHookedIn();
        if (!ActiveHookedIn)
            playbackthread::EQSet(on, data, preamp);
        else if (Active().EQSet)
            CallActive([&](In_Module &module) { module.EQSet(on, data, preamp); });
    });
}

// file null = the playing file; title holds kTitleLength characters; length in ms.
void __cdecl GetFileInfo(const void *file, void *title, int *length) {
    HostCalledFlag = 1;
    Firewall([&] { DescribeFile(WideName(file), static_cast<wchar_t *>(title), length); });
}

// Answers kInfoBoxEdited or kInfoBoxUnchanged.
int __cdecl InfoBox(const void *file, HWND parent) {
    HostCalledFlag = 1;
    return Firewall(kInfoBoxUnchanged, [&] { return ShowInfoBox(WideName(file), parent); });
}

} // namespace

// While the engine has a request, volume, pan and EQ are the engine's: a claim made meanwhile
// (the host asking about another entry's title) activates nobody.
void EnsureActiveHookedIn() {
    if (!ActiveHookedIn) {
        if (playbackthread::HasRequest())
            return;
        const std::wstring claimed = ClaimedFile();
        if (claimed.empty() || playbackthread::AcceptsFile(claimed) || !HookedInPlugins)
            return;
        THookedInPlugin *owner = HookedInPlugins->FindForFile(claimed.c_str());
        if (!owner || owner->IsFaulted())
            return;
        ActiveHookedIn = owner;
    }
    Active().outMod = PluginModule.outMod;
}

void ForgetPlaybackNames() {
    std::lock_guard guard(NamesLock);
    LastClaimedFile.clear();
    EngineFile.clear();
}

void FillPlaybackEntryPoints(In_Module &record) {
    record.GetFileInfo = &GetFileInfo;
    record.InfoBox = &InfoBox;
    record.IsOurFile = &IsOurFile;
    record.Play = &Play;
    record.Pause = &Pause;
    record.UnPause = &UnPause;
    record.IsPaused = &IsPaused;
    record.Stop = &Stop;
    record.GetLength = &GetLength;
    record.GetOutputTime = &GetOutputTime;
    record.SetOutputTime = &SetOutputTime;
    record.SetVolume = &SetVolume;
    record.SetPan = &SetPan;
    record.EQSet = &EQSet;
}
