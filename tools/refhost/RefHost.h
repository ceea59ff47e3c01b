// The reference host: plays the media player's part for tests and tools. The thread that creates
// it is the host's thread: it owns the main window (class "Winamp v1.x"), calls the plug-ins'
// entry points and pumps messages while a test waits, so plug-in threads that send IPC messages
// get their answers.
#pragma once

#include "RecordingOutput.h"
#include "hostlink/WinampApi.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace refhost {

// One message that reached the main window.
struct HostMessage {
    UINT Message = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    bool FromOtherThread = false; // sent by another thread (a plug-in's own)
};

// One call of a host member of In_Module (visualisation, DSP, SetInfo).
struct ServiceCall {
    std::string Name;
    std::vector<int> Args;
};

// When the host called a module's Play, on the output's clock (RecordingOutput::ClockMs).
struct PlayStart {
    int Index = 0; // in the playlist
    double AtMs = 0.0;
};

// What the host answers; tests change it freely between steps.
struct HostState {
    int Version = 0x5070;
    std::vector<std::wstring> Playlist;
    int Position = 0;
    bool Repeat = false;
    bool ManualAdvance = false;
    bool StopAfterCurrent = false;
    int NextItemOverride = -1;       // IPC_GET_NEXT_PLITEM's answer
    std::string IniPath;             // IPC_GETINIFILE; default: winamp.ini in the host folder
    std::wstring IniPathW;           // IPC_GETINIFILEW; empty: IniPath in wide characters
    HWND Windows[4] = {};            // IPC_GETWND answers
    HWND DialogParent = nullptr;     // IPC_GETDIALOGBOXPARENT; null = the main window
    int DspActive = 0;               // dsp_isactive's answer
    bool DspDoublesFrames = false;   // dsp_dosamples repeats every frame when set
    bool DspFaults = false;          // dsp_dosamples faults (an access violation) when set
    int FaultHow = 1;                // how DspFaults and VisualisationFaults fault (RaiseFault)
    bool VisualisationFaults = false; // SAAddPCMData and VSAAddPCMData fault when set
    std::map<LPARAM, LRESULT> Answers; // overrides for any IPC number (old hosts answer 1)
    std::optional<HWND> GivenMainWindow; // hMainWindow handed to plug-ins; default the real one
    // Run when an IPC message arrives, before it is answered: a test's stand-in for what the
    // player does on its own at that moment (a repaint asking a title, say).
    std::map<LPARAM, std::function<void()>> IpcReactions;
};

struct LoadedPlugin {
    std::wstring FileName; // as found in the Plugins folder
    HMODULE Library = nullptr;
    In_Module *Module = nullptr;
    bool IsUnicode() const { return Module && (Module->version & hostapi::kInUnicode) != 0; }
};

class RefHost {
public:
    // Lays out an empty temporary host folder with a Plugins folder and creates the main window.
    RefHost();
    // Plays the player of an existing folder (an installation with its Plugins folder), which it
    // leaves as it finds it but for what the plug-ins write there.
    explicit RefHost(std::filesystem::path hostFolder);
    // Quits the plug-ins if the host has not, releases them and removes the folders.
    ~RefHost();
    RefHost(const RefHost &) = delete;
    RefHost &operator=(const RefHost &) = delete;

    // Folder of this program and of every built DLL.
    static std::filesystem::path BuildFolder();
    std::filesystem::path HostFolder() const { return hostFolder_; }
    std::filesystem::path PluginsFolder() const { return hostFolder_ / L"Plugins"; }
    // Copies a built DLL into the Plugins folder, under another name when given.
    void InstallPlugin(const std::wstring &builtName, const std::wstring &installedName = L"");
    void InstallProduct() { InstallPlugin(L"in_hvqblend.dll"); }

    // Start-up as the media player does it: every IN_*.DLL of the Plugins folder in listing
    // order is loaded, given the host members, initialised and probed for video support.
    void Start();
    // Shut-down: Quit of every module in reverse order.
    void Shutdown();
    // The Remove button of the input preferences: the plug-in's winampUninstallPlugin; on 1
    // ("uninstall now") its Quit, then FreeLibrary, and it leaves the list. Answers the
    // plug-in's result; -1 when it has no such export (the player then removes it at restart).
    int RemovePlugin(const std::wstring &fileName);
    LoadedPlugin *Plugin(const std::wstring &fileName);
    In_Module *Product() { return Plugin(L"in_hvqblend.dll")->Module; }

    // Playing, as the player's buttons and end-of-track handling do it.
    void SetPlaylist(std::vector<std::wstring> entries, int position = 0);
    int StartPlaying(int index);   // answers the module's Play result (-2: nobody owns it)
    // The user plays another entry at once (Next, or a double click): Stop with IPC_ISFULLSTOP
    // answering 0, then Play of that entry. Answers the module's Play result.
    int SkipTo(int index);
    void PressStop();              // the user's stop: IPC_ISFULLSTOP answers 0 meanwhile
    void PressPause();             // pauses or resumes
    void SetVolume(int volume);    // 0..255
    void SetPan(int pan);          // -127..127
    int JumpToTime(int ms);        // IPC_JUMPTOTIME's answer
    bool IsPlaying() const { return playing_; }
    In_Module *ActiveModule() const { return active_; }
    int FullStop() const { return fullStop_; }
    // The module that owns a file, by IsOurFile and then by extension, as the player asks.
    In_Module *ResolveOwner(const std::wstring &fileName);

    // Pumps messages for the time given, or until the condition holds. Answers the condition.
    void Pump(int milliseconds);
    bool WaitUntil(const std::function<bool()> &condition, int timeoutMs = 10000);

    HostState &State() { return state_; }
    HWND MainWindow() const { return window_; }
    RecordingOutput &Output() { return *output_; }
    // Replaces the output plug-in (for example with one that plays in real time).
    void UseOutput(std::unique_ptr<RecordingOutput> output);

    std::vector<HostMessage> Messages() const { return messages_; }
    std::vector<HostMessage> IpcMessages(LPARAM ipcNumber) const;
    void ClearMessages() { messages_.clear(); }
    std::vector<ServiceCall> ServiceCalls() const { return services_; }
    void ClearServiceCalls() { services_.clear(); }
    // Every Play the host called, in order; for latency measures around track changes.
    std::vector<PlayStart> PlayStarts() const { return playStarts_; }
    void ClearPlayStarts() { playStarts_.clear(); }
    int ServiceCount(const std::string &name) const;
    std::wstring LastTitle() const { return lastTitle_; }
    // What the extended-information probe right after Init answered, per plug-in file name.
    std::map<std::wstring, std::string> TypeProbes() const { return typeProbes_; }

private:
    friend struct HostCallbacks;
    static LRESULT CALLBACK WindowProc(HWND, UINT, WPARAM, LPARAM);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnIpc(WPARAM argument, LPARAM number);
    void OnEndOfTrack();
    void OnTimer();
    void StopPlaying();
    LRESULT GetOutputTimeAnswer(WPARAM mode);
    int NextListPosition() const;
    LRESULT ExtendedFileInfo(const hostapi::extendedFileInfoStructW *request);
    void LoadPlugin(const std::filesystem::path &file);
    void ProbeVideo(LoadedPlugin &plugin);
    void FillHostMembers(In_Module &module);
    int CallIsOurFile(const LoadedPlugin &plugin, const std::wstring &fileName);
    LoadedPlugin *FindLoaded(const In_Module *module);
    void CreateMainWindow();

    std::filesystem::path hostFolder_;
    bool ownsFolder_ = false;
    HWND window_ = nullptr;
    HostState state_;
    std::unique_ptr<RecordingOutput> output_;
    std::vector<LoadedPlugin> plugins_;
    bool started_ = false;
    bool quit_ = false;
    In_Module *active_ = nullptr;
    bool playing_ = false;
    int fullStop_ = 0;
    int failedPlays_ = 0;
    int volume_ = 200;
    int pan_ = 0;
    bool paused_ = false;
    std::wstring lastTitle_;
    std::wstring playlistFileBuffer_; // IPC_GETPLAYLISTFILEW's static buffer
    std::wstring iniFileBuffer_;      // IPC_GETINIFILEW's
    std::vector<HostMessage> messages_;
    std::vector<ServiceCall> services_;
    std::vector<PlayStart> playStarts_;
    std::map<std::wstring, std::string> typeProbes_;
};

// Watches for message boxes of this process on its own thread, records their caption and text
// and closes them, so tests can see what a user would have seen.
class MessageBoxWatcher {
public:
    struct Box {
        std::string Caption;
        std::string Text;
    };
    MessageBoxWatcher();
    ~MessageBoxWatcher();
    MessageBoxWatcher(const MessageBoxWatcher &) = delete;
    MessageBoxWatcher &operator=(const MessageBoxWatcher &) = delete;
    std::vector<Box> Boxes() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace refhost
