#include "RefHost.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <cwctype>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace refhost {

using namespace hostapi;
namespace fs = std::filesystem;

namespace {

RefHost *CurrentHost = nullptr;
constexpr UINT_PTR kDisplayTimer = 1;

std::string ToAnsi(const std::wstring &text) {
    if (text.empty())
        return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n > 0 ? n - 1 : 0));
    return out;
}

std::wstring ToWide(const std::string &text) {
    if (text.empty())
        return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, out.data(), n);
    out.resize(static_cast<std::size_t>(n > 0 ? n - 1 : 0));
    return out;
}

std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

bool PatternListed(const std::string &patterns, const std::wstring &extension) {
    const std::wstring list = Lower(ToWide(patterns)) + L";";
    for (std::size_t start = 0, end; (end = list.find(L';', start)) != std::wstring::npos; start = end + 1) {
        if (list.substr(start, std::min<std::size_t>(end - start, 14)) == extension)
            return true;
    }
    return false;
}

// The player compares a file's extension with each ';'-separated pattern of FileExtensions,
// a list of pattern and description strings that ends in an empty one.
// A test plug-in may point its extension list at memory no one can read; the reference host
// skips such a list rather than fall over (a real player would crash on it).
bool IsReadableMemory(const void *address) {
    MEMORY_BASIC_INFORMATION info{};
    if (!address || VirtualQuery(address, &info, sizeof info) != sizeof info)
        return false;
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    return info.State == MEM_COMMIT && (info.Protect & readable) != 0 && !(info.Protect & PAGE_GUARD);
}

bool ExtensionListed(const char *extensions, const std::wstring &fileName) {
    const auto dot = fileName.find_last_of(L'.');
    if (!IsReadableMemory(extensions) || dot == std::wstring::npos)
        return false;
    const std::wstring extension = Lower(fileName.substr(dot + 1));
    bool isPattern = true;
    for (const char *text = extensions; *text; text += std::strlen(text) + 1, isPattern = !isPattern) {
        if (isPattern && PatternListed(text, extension))
            return true;
    }
    return false;
}

// Removes a folder a test left behind, read-only files included.
void RemoveFolder(const fs::path &folder) {
    std::error_code ignored;
    for (const auto &entry : fs::recursive_directory_iterator(folder, ignored))
        SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove_all(folder, ignored);
}

ATOM RegisterMainWindowClass() {
    static const ATOM atom = [] {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = DefWindowProcA;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = kMainWindowClass;
        return RegisterClassA(&windowClass);
    }();
    return atom;
}

} // namespace

// The host members of In_Module: each records its call on the live host.
struct HostCallbacks {
    static void Record(const char *name, std::vector<int> args) {
        if (CurrentHost)
            CurrentHost->services_.push_back({name, std::move(args)});
    }
    static void __cdecl SAVSAInit(int latency, int rate) { Record("SAVSAInit", {latency, rate}); }
    static void __cdecl SAVSADeInit() { Record("SAVSADeInit", {}); }
    static void FaultInVisualisation() {
        if (CurrentHost && CurrentHost->state_.VisualisationFaults)
            RaiseFault(CurrentHost->state_.FaultHow);
    }
    static void __cdecl SAAddPCMData(void *, int nch, int bps, int ts) {
        Record("SAAddPCMData", {nch, bps, ts});
        FaultInVisualisation();
    }
    static int __cdecl SAGetMode() { return 0; }
    static int __cdecl SAAdd(void *, int ts, int csa) { Record("SAAdd", {ts, csa}); return 0; }
    static void __cdecl VSAAddPCMData(void *, int nch, int bps, int ts) {
        Record("VSAAddPCMData", {nch, bps, ts});
        FaultInVisualisation();
    }
    static int __cdecl VSAGetMode(int *specNch, int *waveNch) {
        if (specNch) *specNch = 0;
        if (waveNch) *waveNch = 0;
        return 0;
    }
    static int __cdecl VSAAdd(void *, int ts) { Record("VSAAdd", {ts}); return 0; }
    static void __cdecl VSASetInfo(int rate, int nch) { Record("VSASetInfo", {rate, nch}); }
    static int __cdecl DspIsActive() { return CurrentHost ? CurrentHost->state_.DspActive : 0; }
    static int __cdecl DspDoSamples(short *samples, int frames, int bps, int nch, int rate) {
        Record("dsp_dosamples", {frames, bps, nch, rate});
        if (CurrentHost && CurrentHost->state_.DspFaults)
            RaiseFault(CurrentHost->state_.FaultHow); // a real fault inside the host's DSP
        if (!CurrentHost || !CurrentHost->state_.DspDoublesFrames)
            return frames;
        // Repeats every frame in place, from the back, as a time-stretching DSP would.
        const int frameBytes = bps / 8 * nch;
        auto *bytes = reinterpret_cast<char *>(samples);
        for (int i = frames - 1; i >= 0; --i) {
            std::memmove(bytes + (2 * i + 1) * frameBytes, bytes + i * frameBytes, frameBytes);
            std::memmove(bytes + 2 * i * frameBytes, bytes + i * frameBytes, frameBytes);
        }
        return frames * 2;
    }
    static void __cdecl SetInfo(int bitrate, int rate, int stereo, int synched) {
        Record("SetInfo", {bitrate, rate, stereo, synched});
    }
};

RefHost::RefHost() : output_(std::make_unique<RecordingOutput>()) {
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    hostFolder_ = fs::path(temp) / (L"hvq-host-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                    std::to_wstring(counter++));
    RemoveFolder(hostFolder_);
    fs::create_directories(hostFolder_ / L"Plugins");
    ownsFolder_ = true;
    CreateMainWindow();
}

RefHost::RefHost(fs::path hostFolder)
    : hostFolder_(std::move(hostFolder)), output_(std::make_unique<RecordingOutput>()) {
    if (!fs::is_directory(hostFolder_ / L"Plugins"))
        throw std::runtime_error("the host folder has no Plugins folder");
    CreateMainWindow();
}

void RefHost::CreateMainWindow() {
    state_.IniPath = ToAnsi((hostFolder_ / L"winamp.ini").wstring());
    RegisterMainWindowClass();
    window_ = CreateWindowExA(0, kMainWindowClass, "Reference host", WS_OVERLAPPEDWINDOW, 0, 0, 275,
                              116, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (!window_)
        throw std::runtime_error("the reference host could not create its main window");
    SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RefHost::WindowProc));
    CurrentHost = this;
}

RefHost::~RefHost() {
    if (started_ && !quit_)
        Shutdown();
    KillTimer(window_, kDisplayTimer);
    for (auto it = plugins_.rbegin(); it != plugins_.rend(); ++it)
        FreeLibrary(it->Library);
    plugins_.clear();
    DestroyWindow(window_);
    if (CurrentHost == this)
        CurrentHost = nullptr;
    if (ownsFolder_)
        RemoveFolder(hostFolder_);
}

fs::path RefHost::BuildFolder() {
    wchar_t self[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return fs::path(self).parent_path();
}

void RefHost::InstallPlugin(const std::wstring &builtName, const std::wstring &installedName) {
    fs::copy_file(BuildFolder() / builtName,
                  PluginsFolder() / (installedName.empty() ? builtName : installedName),
                  fs::copy_options::overwrite_existing);
}

void RefHost::Start() {
    std::vector<fs::path> files;
    for (const auto &entry : fs::directory_iterator(PluginsFolder())) {
        const std::wstring name = Lower(entry.path().filename().wstring());
        if (name.rfind(L"in_", 0) == 0 && name.size() > 7 && name.substr(name.size() - 4) == L".dll")
            files.push_back(entry.path());
    }
    // NTFS lists a folder in name order; the module list follows it.
    std::sort(files.begin(), files.end(), [](const fs::path &a, const fs::path &b) {
        return Lower(a.filename().wstring()) < Lower(b.filename().wstring());
    });
    started_ = true;
    for (const auto &file : files)
        LoadPlugin(file);
}

void RefHost::LoadPlugin(const fs::path &file) {
    HMODULE library = LoadLibraryW(file.c_str());
    if (!library)
        return;
    auto getModule = reinterpret_cast<WinampGetInModule2Fn>(
        reinterpret_cast<void *>(GetProcAddress(library, "winampGetInModule2")));
    In_Module *module = getModule ? getModule() : nullptr;
    const int type = module ? (module->version & ~kInUnicode) : 0;
    if (!module || (type != kInVersion && type != kInVersionWideDescription)) {
        if (getModule)
            FreeLibrary(library);
        else
            plugins_.push_back({file.filename().wstring(), library, nullptr}); // stays loaded, ignored
        return;
    }
    FillHostMembers(*module);
    module->hDllInstance = library;
    plugins_.push_back({file.filename().wstring(), library, module});
    module->Init();
    module->SetInfo = &HostCallbacks::SetInfo;
    ProbeVideo(plugins_.back());
}

void RefHost::FillHostMembers(In_Module &module) {
    module.hMainWindow = state_.GivenMainWindow.value_or(window_);
    module.SAVSAInit = &HostCallbacks::SAVSAInit;
    module.SAVSADeInit = &HostCallbacks::SAVSADeInit;
    module.SAAddPCMData = &HostCallbacks::SAAddPCMData;
    module.SAGetMode = &HostCallbacks::SAGetMode;
    module.SAAdd = &HostCallbacks::SAAdd;
    module.VSAAddPCMData = &HostCallbacks::VSAAddPCMData;
    module.VSAGetMode = &HostCallbacks::VSAGetMode;
    module.VSAAdd = &HostCallbacks::VSAAdd;
    module.VSASetInfo = &HostCallbacks::VSASetInfo;
    module.dsp_isactive = &HostCallbacks::DspIsActive;
    module.dsp_dosamples = &HostCallbacks::DspDoSamples;
    module.SetInfo = nullptr; // valid only after Init
    module.UsesOutputPlug &= ~kFlagsClearedByHostAtLoad;
}

void RefHost::ProbeVideo(LoadedPlugin &plugin) {
    using WideInfo = int(__cdecl *)(const wchar_t *, const char *, wchar_t *, int);
    using AnsiInfo = int(__cdecl *)(const char *, const char *, char *, int);
    std::string answer;
    if (auto wide = reinterpret_cast<WideInfo>(
            reinterpret_cast<void *>(GetProcAddress(plugin.Library, "winampGetExtendedFileInfoW")))) {
        wchar_t buffer[16] = {};
        answer += "W:" + std::to_string(wide(L"", "type", buffer, 16)) + ":" + ToAnsi(buffer) + ";";
    }
    if (auto ansi = reinterpret_cast<AnsiInfo>(
            reinterpret_cast<void *>(GetProcAddress(plugin.Library, "winampGetExtendedFileInfo")))) {
        char buffer[16] = {};
        answer += "A:" + std::to_string(ansi("", "type", buffer, 16)) + ":" + buffer + ";";
    }
    typeProbes_[plugin.FileName] = answer;
}

void RefHost::Shutdown() {
    if (playing_)
        PressStop();
    for (auto it = plugins_.rbegin(); it != plugins_.rend(); ++it) {
        if (it->Module)
            it->Module->Quit();
    }
    quit_ = true;
}

int RefHost::RemovePlugin(const std::wstring &fileName) {
    using UninstallFn = int(__cdecl *)(HINSTANCE, HWND, int);
    LoadedPlugin *plugin = Plugin(fileName);
    if (!plugin)
        return -1;
    auto uninstall = reinterpret_cast<UninstallFn>(
        reinterpret_cast<void *>(GetProcAddress(plugin->Library, "winampUninstallPlugin")));
    if (!uninstall)
        return -1;
    const int result = uninstall(plugin->Library, window_, 0);
    if (result != 1)
        return result;
    // Looked up again: the plug-in may have made the host start others meanwhile.
    plugin = Plugin(fileName);
    if (active_ && active_ == plugin->Module) {
        KillTimer(window_, kDisplayTimer);
        playing_ = false;
        active_ = nullptr;
    }
    if (plugin->Module)
        plugin->Module->Quit();
    FreeLibrary(plugin->Library);
    plugins_.erase(plugins_.begin() + (plugin - plugins_.data()));
    return result;
}

LoadedPlugin *RefHost::Plugin(const std::wstring &fileName) {
    for (auto &plugin : plugins_) {
        if (Lower(plugin.FileName) == Lower(fileName))
            return &plugin;
    }
    return nullptr;
}

LoadedPlugin *RefHost::FindLoaded(const In_Module *module) {
    for (auto &plugin : plugins_) {
        if (plugin.Module == module)
            return &plugin;
    }
    return nullptr;
}

int RefHost::CallIsOurFile(const LoadedPlugin &plugin, const std::wstring &fileName) {
    if (plugin.IsUnicode())
        return plugin.Module->IsOurFile(fileName.c_str());
    const std::string ansi = ToAnsi(fileName);
    return plugin.Module->IsOurFile(ansi.c_str());
}

In_Module *RefHost::ResolveOwner(const std::wstring &fileName) {
    for (auto &plugin : plugins_) {
        if (plugin.Module && plugin.Module->IsOurFile && CallIsOurFile(plugin, fileName))
            return plugin.Module;
    }
    for (auto &plugin : plugins_) {
        if (plugin.Module && ExtensionListed(plugin.Module->FileExtensions, fileName))
            return plugin.Module;
    }
    return nullptr;
}

void RefHost::SetPlaylist(std::vector<std::wstring> entries, int position) {
    state_.Playlist = std::move(entries);
    state_.Position = position;
}

int RefHost::StartPlaying(int index) {
    if (playing_)
        StopPlaying();
    state_.Position = index;
    if (index < 0 || index >= static_cast<int>(state_.Playlist.size()))
        return -2;
    const std::wstring name = state_.Playlist[static_cast<std::size_t>(index)];
    In_Module *module = ResolveOwner(name);
    int result = 1;
    if (module) {
        module->outMod = (module->UsesOutputPlug & kUsesOutputPlugin) ? output_->Module() : nullptr;
        module->SetVolume(volume_);
        module->SetPan(pan_);
        const LoadedPlugin *plugin = FindLoaded(module);
        const std::string ansi = ToAnsi(name);
        playStarts_.push_back({index, RecordingOutput::ClockMs()});
        result = plugin->IsUnicode() ? module->Play(name.c_str()) : module->Play(ansi.c_str());
    }
    if (result != 0) {
        // The player skips a file it cannot play, until every entry failed in a row.
        if (result != -31337 && ++failedPlays_ < static_cast<int>(state_.Playlist.size()))
            PostMessageW(window_, WM_WA_MPEG_EOF, 0, 0);
        else
            failedPlays_ = 0;
        return module ? result : -2;
    }
    failedPlays_ = 0;
    playing_ = true;
    paused_ = false;
    active_ = module;
    SetTimer(window_, kDisplayTimer, 100, nullptr);
    OnTimer();
    return 0;
}

void RefHost::StopPlaying() {
    if (!playing_)
        return;
    KillTimer(window_, kDisplayTimer);
    active_->Stop();
    playing_ = false;
    paused_ = false;
    active_ = nullptr;
}

void RefHost::PressStop() {
    SendMessageW(window_, WM_COMMAND, kCommandStop, 0);
}

int RefHost::SkipTo(int index) {
    fullStop_ = 0;
    return StartPlaying(index);
}

void RefHost::PressPause() {
    if (!playing_)
        return;
    if (paused_)
        active_->UnPause();
    else
        active_->Pause();
    paused_ = !paused_;
}

void RefHost::SetVolume(int volume) {
    volume_ = volume;
    if (playing_)
        active_->SetVolume(volume);
}

void RefHost::SetPan(int pan) {
    pan_ = pan;
    if (playing_)
        active_->SetPan(pan);
}

int RefHost::JumpToTime(int ms) {
    return static_cast<int>(SendMessageW(window_, WM_WA_IPC, static_cast<WPARAM>(ms), IPC_JUMPTOTIME));
}

void RefHost::UseOutput(std::unique_ptr<RecordingOutput> output) {
    output_ = std::move(output);
}

void RefHost::Pump(int milliseconds) {
    WaitUntil([] { return false; }, milliseconds);
}

bool RefHost::WaitUntil(const std::function<bool()> &condition, int timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (condition())
            return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 5)),
                                  QS_ALLINPUT);
    }
}

std::vector<HostMessage> RefHost::IpcMessages(LPARAM ipcNumber) const {
    std::vector<HostMessage> found;
    for (const auto &message : messages_) {
        if (message.Message == WM_WA_IPC && message.LParam == ipcNumber)
            found.push_back(message);
    }
    return found;
}

int RefHost::ServiceCount(const std::string &name) const {
    return static_cast<int>(std::count_if(services_.begin(), services_.end(),
                                          [&](const ServiceCall &call) { return call.Name == name; }));
}

LRESULT CALLBACK RefHost::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (CurrentHost && CurrentHost->window_ == window)
        return CurrentHost->OnMessage(message, wParam, lParam);
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT RefHost::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_USER || message == WM_COMMAND)
        messages_.push_back({message, wParam, lParam, (InSendMessageEx(nullptr) & ISMEX_SEND) != 0});
    switch (message) {
    case WM_WA_IPC:
        return OnIpc(wParam, lParam);
    case WM_WA_MPEG_EOF:
        OnEndOfTrack();
        return 0;
    case WM_TIMER:
        if (wParam == kDisplayTimer)
            OnTimer();
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == kCommandStop && playing_) {
            fullStop_ = 0;
            StopPlaying();
        } else if (LOWORD(wParam) == kCommandPlay) {
            // As the player's Play button: resumes a paused track, else (re)starts the entry.
            if (playing_ && paused_)
                PressPause();
            else
                StartPlaying(state_.Position);
        }
        return 0;
    default:
        return DefWindowProcW(window_, message, wParam, lParam);
    }
}

// The display timer: position, length and the playing file's title, as the player polls them.
void RefHost::OnTimer() {
    if (!playing_ || !active_)
        return;
    active_->GetOutputTime();
    active_->GetLength();
    int length = 0;
    if (FindLoaded(active_)->IsUnicode()) {
        std::vector<wchar_t> title(kTitleLength, L'\0');
        active_->GetFileInfo(nullptr, title.data(), &length);
        lastTitle_ = title.data();
    } else {
        std::vector<char> title(kTitleLength, '\0');
        active_->GetFileInfo(nullptr, title.data(), &length);
        lastTitle_ = ToWide(title.data());
    }
}

// End of track, as the player handles WM_WA_MPEG_EOF: IPC_ISFULLSTOP answers 1 meanwhile and 2
// when the playlist has ended.
void RefHost::OnEndOfTrack() {
    fullStop_ = 1;
    const auto override = static_cast<int>(SendMessageW(window_, WM_WA_IPC, 0, IPC_GET_NEXT_PLITEM));
    const int count = static_cast<int>(state_.Playlist.size());
    if (override != -1) {
        StartPlaying(override);
    } else if (count > 0 && !state_.StopAfterCurrent) {
        if (state_.ManualAdvance) {
            if (state_.Repeat) {
                StartPlaying(state_.Position);
            } else {
                fullStop_ = 2;
                StopPlaying();
            }
        } else if (state_.Position + 1 < count) {
            StartPlaying(state_.Position + 1);
        } else if (state_.Repeat) {
            StartPlaying(0);
        } else {
            fullStop_ = 2;
            StopPlaying();
        }
    } else {
        fullStop_ = 2;
        StopPlaying();
    }
    fullStop_ = 0;
}

int RefHost::NextListPosition() const {
    const int count = static_cast<int>(state_.Playlist.size());
    if (count == 0)
        return state_.Repeat ? 0 : -1;
    if (state_.ManualAdvance && state_.Repeat)
        return state_.Position;
    if (state_.Position + 1 < count)
        return state_.Position + 1;
    return state_.Repeat ? 0 : -1;
}

LRESULT RefHost::GetOutputTimeAnswer(WPARAM mode) {
    if (!playing_ || !active_)
        return -1;
    switch (mode) {
    case 0:
        return active_->GetOutputTime();
    case 1:
        return active_->GetLength() / 1000;
    case 2:
        return active_->GetLength();
    default:
        return -1;
    }
}

LRESULT RefHost::ExtendedFileInfo(const extendedFileInfoStructW *request) {
    if (!request || !request->filename || !*request->filename || !request->metadata ||
        !*request->metadata || !request->ret || request->retlen > 65536)
        return 0;
    request->ret[0] = L'\0';
    In_Module *owner = ResolveOwner(request->filename);
    if (!owner && playing_)
        owner = active_;
    LoadedPlugin *plugin = owner ? FindLoaded(owner) : nullptr;
    if (!plugin)
        return 0;
    using WideInfo = int(__cdecl *)(const wchar_t *, const char *, wchar_t *, int);
    using AnsiInfo = int(__cdecl *)(const char *, const char *, char *, int);
    const std::string field = ToAnsi(request->metadata);
    const int capacity = static_cast<int>(request->retlen);
    if (auto wide = reinterpret_cast<WideInfo>(
            reinterpret_cast<void *>(GetProcAddress(plugin->Library, "winampGetExtendedFileInfoW"))))
        return wide(request->filename, field.c_str(), request->ret, capacity);
    if (auto ansi = reinterpret_cast<AnsiInfo>(
            reinterpret_cast<void *>(GetProcAddress(plugin->Library, "winampGetExtendedFileInfo")))) {
        std::vector<char> answer(static_cast<std::size_t>(capacity) + 1, '\0');
        const int found = ansi(ToAnsi(request->filename).c_str(), field.c_str(), answer.data(), capacity);
        const std::wstring text = ToWide(answer.data()).substr(0, capacity > 0 ? capacity - 1 : 0);
        std::copy(text.c_str(), text.c_str() + text.size() + 1, request->ret);
        return found;
    }
    return 0;
}

LRESULT RefHost::OnIpc(WPARAM argument, LPARAM number) {
    if (const auto reaction = state_.IpcReactions.find(number); reaction != state_.IpcReactions.end())
        reaction->second();
    if (const auto answer = state_.Answers.find(number); answer != state_.Answers.end())
        return answer->second;
    switch (number) {
    case IPC_GETVERSION:
        return state_.Version;
    case IPC_GETOUTPUTTIME:
        return GetOutputTimeAnswer(argument);
    case IPC_JUMPTOTIME:
        if (!playing_ || !active_ || !active_->is_seekable)
            return -1;
        active_->SetOutputTime(std::max(0, static_cast<int>(argument)));
        return 0;
    case IPC_GETLISTLENGTH:
        return static_cast<LRESULT>(state_.Playlist.size());
    case IPC_GETLISTPOS:
        return state_.Position;
    case IPC_GETNEXTLISTPOS:
        return NextListPosition();
    case IPC_GETPLAYLISTFILEW:
        if (argument >= state_.Playlist.size())
            return 0;
        playlistFileBuffer_ = state_.Playlist[argument];
        return reinterpret_cast<LRESULT>(playlistFileBuffer_.c_str());
    case IPC_UPDTITLE:
    case IPC_REFRESHPLCACHE:
        return 0;
    case IPC_GET_REPEAT:
        return state_.Repeat ? 1 : 0;
    case IPC_GETWND:
        return argument < 4 ? reinterpret_cast<LRESULT>(state_.Windows[argument]) : 0;
    case IPC_FORMAT_TITLE_EXTENDED: {
        auto *request = reinterpret_cast<waFormatTitleExtended *>(argument);
        if (request && request->out && request->out_len > 0 && request->filename) {
            const std::wstring title = fs::path(request->filename).stem().wstring();
            const std::size_t n = std::min<std::size_t>(title.size(), static_cast<std::size_t>(request->out_len - 1));
            std::copy_n(title.c_str(), n, request->out);
            request->out[n] = L'\0';
        }
        return 0;
    }
    case IPC_GETINIFILE:
        return reinterpret_cast<LRESULT>(state_.IniPath.c_str());
    case IPC_GETINIFILEW:
        iniFileBuffer_ = state_.IniPathW.empty() ? ToWide(state_.IniPath) : state_.IniPathW;
        return reinterpret_cast<LRESULT>(iniFileBuffer_.c_str());
    case IPC_GETDIALOGBOXPARENT:
        return reinterpret_cast<LRESULT>(state_.DialogParent ? state_.DialogParent : window_);
    case IPC_ISFULLSTOP:
        return fullStop_;
    case IPC_GET_MANUALPLADVANCE:
        return state_.ManualAdvance ? 1 : 0;
    case IPC_GET_NEXT_PLITEM:
        return state_.NextItemOverride;
    case IPC_GET_EXTENDED_FILE_INFOW:
        return ExtendedFileInfo(reinterpret_cast<const extendedFileInfoStructW *>(argument));
    default:
        return 1; // the player's answer to every message it does not know
    }
}

struct MessageBoxWatcher::Impl {
    std::atomic<bool> stop{false};
    mutable std::mutex lock;
    std::vector<Box> boxes;
    std::set<HWND> seen;
    std::thread thread;

    static BOOL CALLBACK Visit(HWND window, LPARAM self) {
        auto *impl = reinterpret_cast<Impl *>(self);
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        char className[32] = {};
        GetClassNameA(window, className, sizeof className);
        if (process != GetCurrentProcessId() || std::string(className) != "#32770")
            return TRUE;
        std::lock_guard guard(impl->lock);
        if (!impl->seen.insert(window).second)
            return TRUE;
        char caption[256] = {}, text[1024] = {};
        GetWindowTextA(window, caption, sizeof caption);
        GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
        impl->boxes.push_back({caption, text});
        PostMessageA(window, WM_COMMAND, IDOK, 0);
        return TRUE;
    }
};

MessageBoxWatcher::MessageBoxWatcher() : impl_(std::make_unique<Impl>()) {
    impl_->thread = std::thread([impl = impl_.get()] {
        while (!impl->stop) {
            EnumWindows(&Impl::Visit, reinterpret_cast<LPARAM>(impl));
            Sleep(10);
        }
    });
}

MessageBoxWatcher::~MessageBoxWatcher() {
    impl_->stop = true;
    impl_->thread.join();
}

std::vector<MessageBoxWatcher::Box> MessageBoxWatcher::Boxes() const {
    std::lock_guard guard(impl_->lock);
    return impl_->boxes;
}

} // namespace refhost
