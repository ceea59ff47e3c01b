// The setup program of the release, run as users and scripts run it: silently into a stand-in
// player folder found through the player's uninstall entry, the installed plug-in played in the
// reference host from that folder, removed again by the command its "Add or remove programs"
// entry names. Runs alone (other tests' hosts have windows that look like a running player).
#include "RefHost.h"
#include "SynthSignal.h"
#include "WavFile.h"
#include "support/FileBytes.h"

#include <gtest/gtest.h>
#include <shellapi.h>
#include <windows.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using refhost::RefHost;

constexpr const wchar_t *kPlayerKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Winamp";
constexpr const wchar_t *kEntryKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\HVQBlend";
// The entry of a second player folder.
constexpr const wchar_t *kSecondEntryKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\HVQBlend-2";
constexpr const wchar_t *kUninstaller = L"HVQBlend-uninstall.exe";
constexpr int kMostEntries = 99; // player folders with an entry of their own
constexpr int kStopped = 2; // the setup program's exit code when it refuses to go on

std::wstring Widen(const std::string &text) {
    return {text.begin(), text.end()};
}
std::string Narrow(const std::wstring &text) {
    std::string out;
    for (wchar_t c : text)
        out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

// ------------------------------------------------------------------------------ registry

std::optional<std::wstring> ReadString(const wchar_t *key, const wchar_t *value) {
    wchar_t text[2048] = {};
    DWORD bytes = sizeof text - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_SZ, nullptr, text, &bytes) !=
        ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(text);
}

std::optional<DWORD> ReadDword(const wchar_t *key, const wchar_t *value) {
    DWORD data = 0;
    DWORD bytes = sizeof data;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_DWORD, nullptr, &data, &bytes) !=
        ERROR_SUCCESS)
        return std::nullopt;
    return data;
}

bool KeyExists(const wchar_t *key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

void WriteString(const wchar_t *key, const wchar_t *value, const std::wstring &text) {
    const LSTATUS status = RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, value, REG_SZ, text.c_str(),
                                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS)
        throw std::runtime_error("cannot write the registry");
}

void DeleteValue(const wchar_t *key, const wchar_t *value) {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, value);
}

// ------------------------------------------------------------------------------ processes

std::string JobProcessNames(HANDLE job) {
    struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more[63];
    } ids{};
    ids.list.NumberOfAssignedProcesses = 64;
    if (!QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr))
        return "(not known)";
    std::string names;
    for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList && i < 64; ++i) {
        const DWORD id = static_cast<DWORD>(ids.list.ProcessIdList[i]);
        wchar_t image[MAX_PATH + 1] = L"?";
        DWORD size = MAX_PATH;
        if (HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id)) {
            QueryFullProcessImageNameW(process, 0, image, &size);
            CloseHandle(process);
        }
        names += Narrow(image) + " ";
    }
    return names;
}

// A program started in a job of its own, so that what it starts is waited for too: an
// uninstaller run in place leaves a copy of itself behind to delete its file, and a copy still
// at work would delete the next test's uninstaller.
class JobProcess {
  public:
    explicit JobProcess(const std::wstring &commandLine) : job_(CreateJobObjectW(nullptr, nullptr)) {
        if (!job_)
            throw std::runtime_error("no job object");
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        std::wstring line = commandLine;
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                            nullptr, nullptr, &startup, &process_)) {
            const DWORD error = GetLastError();
            CloseHandle(job_);
            throw std::runtime_error("cannot start " + Narrow(commandLine) + " (error " +
                                     std::to_string(error) + ")");
        }
        AssignProcessToJobObject(job_, process_.hProcess);
        ResumeThread(process_.hThread);
    }
    ~JobProcess() {
        if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(process_.hProcess, 1);
        if (!AllEnded(std::chrono::seconds(40)))
            TerminateJobObject(job_, 1);
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
        CloseHandle(job_);
    }
    JobProcess(const JobProcess &) = delete;
    JobProcess &operator=(const JobProcess &) = delete;

    // The first process's exit code once it has ended, or STILL_ACTIVE after the time given.
    DWORD ExitCode(std::chrono::milliseconds wait) const {
        WaitForSingleObject(process_.hProcess, static_cast<DWORD>(wait.count()));
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(process_.hProcess, &code);
        return code;
    }
    bool AllEnded(std::chrono::milliseconds wait) const {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
        while (QueryInformationJobObject(job_, JobObjectBasicAccountingInformation, &info,
                                         sizeof info, nullptr) &&
               info.ActiveProcesses > 0) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }
    DWORD Id() const { return process_.dwProcessId; }
    std::string Names() const { return JobProcessNames(job_); }

  private:
    HANDLE job_;
    PROCESS_INFORMATION process_{};
};

// Runs a command line and waits for it and for every process it starts. Answers the exit code
// of the first process.
DWORD RunAndWait(const std::wstring &commandLine) {
    const JobProcess run(commandLine);
    const DWORD exitCode = run.ExitCode(std::chrono::minutes(2));
    if (exitCode == STILL_ACTIVE || !run.AllEnded(std::chrono::minutes(2)))
        ADD_FAILURE() << Narrow(commandLine) << ": still running after two minutes: " << run.Names();
    return exitCode;
}

std::wstring Quoted(const fs::path &path) {
    return L"\"" + path.wstring() + L"\"";
}

// ------------------------------------------------------------------------------ files

using support::ReadBytes;
using support::WriteBytes;

std::string FileVersionOf(const fs::path &file) {
    DWORD ignored = 0;
    std::vector<char> block(GetFileVersionInfoSizeW(file.c_str(), &ignored));
    VS_FIXEDFILEINFO *info = nullptr;
    UINT size = 0;
    if (block.empty() ||
        !GetFileVersionInfoW(file.c_str(), 0, static_cast<DWORD>(block.size()), block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&info), &size))
        return "(none)";
    return std::to_string(HIWORD(info->dwFileVersionMS)) + "." +
           std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
           std::to_string(HIWORD(info->dwFileVersionLS)) + "." +
           std::to_string(LOWORD(info->dwFileVersionLS));
}

// ------------------------------------------------------------------------------ windows

struct DialogSearch {
    DWORD Process;
    const std::function<bool(HWND)> *Found;
    HWND Result;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM context) {
    auto &search = *reinterpret_cast<DialogSearch *>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char name[16] = {};
    GetClassNameA(window, name, sizeof name);
    if (owner == search.Process && std::string(name) == "#32770" && (*search.Found)(window))
        search.Result = window;
    return search.Result == nullptr;
}

struct ControlSearch {
    int Id;
    HWND Result;
};

BOOL CALLBACK MatchControl(HWND child, LPARAM context) {
    auto &search = *reinterpret_cast<ControlSearch *>(context);
    if (GetDlgCtrlID(child) == search.Id)
        search.Result = child;
    return search.Result == nullptr;
}

// A program with windows, driven as a user would: its dialogs found by class and control, its
// buttons pressed by the commands they send.
class Gui {
  public:
    explicit Gui(const std::wstring &commandLine) : process_(commandLine) {}

    // The first top-level dialog of the program for which found() holds, waited for.
    HWND WaitForDialog(const std::function<bool(HWND)> &found) const {
        DialogSearch search{process_.Id(), &found, nullptr};
        for (int tries = 0; tries < 400 && !search.Result; ++tries) {
            EnumWindows(&MatchDialog, reinterpret_cast<LPARAM>(&search));
            if (!search.Result)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return search.Result;
    }
    // The NSIS main window: the dialog with the Next button (IDOK) and a page inside.
    HWND MainWindow() const {
        return WaitForDialog([](HWND window) { return GetDlgItem(window, IDOK) != nullptr; });
    }
    // A message box whose text begins with the words given.
    HWND MessageBoxSaying(const std::string &start) const {
        return WaitForDialog([&](HWND window) {
            char text[512] = {};
            GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
            return std::string(text).rfind(start, 0) == 0;
        });
    }
    static void Press(HWND dialog, int button) {
        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
    }
    static bool WaitUntil(const std::function<bool()> &condition) {
        for (int tries = 0; tries < 400; ++tries) {
            if (condition())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // Its exit code once it has ended, or STILL_ACTIVE after twenty seconds.
    DWORD ExitCode() const { return process_.ExitCode(std::chrono::seconds(20)); }

  private:
    JobProcess process_;
};

// A control anywhere inside a window, by its identifier.
HWND FindControl(HWND window, int id) {
    ControlSearch search{id, nullptr};
    EnumChildWindows(window, &MatchControl, reinterpret_cast<LPARAM>(&search));
    return search.Result;
}

// A control's text, asked of its own process (GetWindowText would not ask).
std::wstring TextOf(HWND control) {
    wchar_t text[1024] = {};
    SendMessageW(control, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return text;
}

void SetTextOf(HWND control, const std::wstring &text) {
    SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

fs::path TempFolder(const std::wstring &name) {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    return fs::path(temp) / (name + L" " + std::to_wstring(GetCurrentProcessId()));
}

fs::path AppDataFolder() {
    wchar_t folder[MAX_PATH + 1] = {};
    GetEnvironmentVariableW(L"APPDATA", folder, MAX_PATH);
    return folder;
}

// A settings file the test puts somewhere a user's would be, taken away again at the end
// unless one was there before.
class PlacedFile {
  public:
    explicit PlacedFile(fs::path file) : file_(std::move(file)), hadOne_(fs::exists(file_)) {
        if (!hadOne_) {
            fs::create_directories(file_.parent_path());
            WriteBytes(file_, "[HVQBlend]\r\nFadeTime=3000\r\n");
        }
    }
    ~PlacedFile() {
        std::error_code ignored;
        if (!hadOne_)
            fs::remove(file_, ignored);
    }
    const fs::path &File() const { return file_; }

  private:
    fs::path file_;
    bool hadOne_;
};

class Installer : public ::testing::Test {
  protected:
    // Wine starts the process behind the desktop window for whoever first asks for it: let that
    // be this program, so that it is not counted among the processes of a setup run.
    static void SetUpTestSuite() { GetDesktopWindow(); }

    void SetUp() override {
        ASSERT_TRUE(fs::exists(setup)) << Narrow(setup.wstring());
        fs::remove_all(player);
        fs::create_directories(player);
        WriteBytes(player / L"winamp.exe", "MZ stand-in of the player");
        WriteBytes(player / L"UninstWA.exe", "MZ stand-in of the player's uninstaller");
        playerKeyExisted = KeyExists(kPlayerKey);
        savedPlayerEntry = ReadString(kPlayerKey, L"UninstallString");
        WriteString(kPlayerKey, L"UninstallString", Quoted(player / L"UninstWA.exe"));
        // A run stopped half way leaves its entries, and player folders named as this run's
        // (the process number repeats) would take them over: start clean.
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kEntryKey);
        for (int entry = 2; entry <= kMostEntries; ++entry)
            RegDeleteTreeW(HKEY_LOCAL_MACHINE,
                           (std::wstring(kEntryKey) + L"-" + std::to_wstring(entry)).c_str());
    }

    void TearDown() override {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kEntryKey);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSecondEntryKey);
        if (savedPlayerEntry)
            WriteString(kPlayerKey, L"UninstallString", *savedPlayerEntry);
        else if (playerKeyExisted)
            DeleteValue(kPlayerKey, L"UninstallString");
        else
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPlayerKey);
        std::error_code ignored;
        fs::remove_all(player, ignored);
    }

    DWORD Install(const std::wstring &arguments) {
        return RunAndWait(Quoted(setup) + L" /S" + (arguments.empty() ? L"" : L" " + arguments));
    }
    DWORD InstallInto(const fs::path &folder) { return Install(L"/D=" + folder.wstring()); }
    // As "Add or remove programs" does it for a script: the entry's quiet command.
    DWORD UninstallQuietly(const wchar_t *entry = kEntryKey) {
        const auto command = ReadString(entry, L"QuietUninstallString");
        if (!command)
            throw std::runtime_error("the entry has no QuietUninstallString");
        return RunAndWait(*command);
    }
    // In place, so that its own exit code comes back.
    DWORD UninstallInPlace() {
        return RunAndWait(Quoted(Plugins() / kUninstaller) + L" /S _?=" + Plugins().wstring());
    }

    fs::path Plugins() const { return player / L"Plugins"; }
    fs::path InstalledDll() const { return Plugins() / L"in_hvqblend.dll"; }

    // The installed plug-in, loaded by the reference host from the player folder beside the WAV
    // plug-in, plays a file: every sample arrives.
    void PlayThroughTheInstalledPlugin() {
        fs::copy_file(RefHost::BuildFolder() / L"in_wavpcm.dll", Plugins() / L"in_wavpcm.dll",
                      fs::copy_options::overwrite_existing);
        const SynthFormat tone{44100, 2, 16, 700, 5};
        std::vector<std::uint8_t> pcm(
            static_cast<std::size_t>(SynthTotalFrames(tone) * SynthFrameBytes(tone)));
        SynthPcm(tone, 0, SynthTotalFrames(tone), pcm.data());
        const fs::path file = player / L"track one.wav";
        ASSERT_TRUE(wav::SaveFile(file, {tone.Rate, tone.Channels, tone.Bits}, pcm));

        RefHost host(player);
        host.Start();
        refhost::LoadedPlugin *product = host.Plugin(L"in_hvqblend.dll");
        ASSERT_NE(product, nullptr);
        wchar_t loadedFrom[MAX_PATH + 1] = {};
        GetModuleFileNameW(product->Library, loadedFrom, MAX_PATH);
        EXPECT_TRUE(fs::equivalent(loadedFrom, InstalledDll())) << Narrow(loadedFrom);
        EXPECT_EQ(std::string(product->Module->description),
                  std::string("Halvern Q-Blend v") + HVQ_PROJECT_VERSION);

        host.SetPlaylist({file.wstring()});
        ASSERT_EQ(host.StartPlaying(0), 0);
        EXPECT_EQ(host.ActiveModule(), product->Module);
        ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 20000));
        EXPECT_TRUE(host.Output().Pcm() == pcm);
        host.Shutdown();
    }

    const fs::path setup =
        RefHost::BuildFolder() / (L"hvqblend-" + Widen(HVQ_PROJECT_VERSION) + L"-setup.exe");
    const fs::path player = TempFolder(L"Winamp stand-in");
    bool playerKeyExisted = false;
    std::optional<std::wstring> savedPlayerEntry;
};

// The whole life of an installation: found, installed, played, removed, the settings kept.
TEST_F(Installer, InstallsIntoThePlayersFolderPlaysAndUninstallsKeepingTheSettings) {
    ASSERT_EQ(Install(L""), 0u);

    ASSERT_TRUE(fs::exists(InstalledDll()));
    EXPECT_EQ(FileVersionOf(InstalledDll()), HVQ_PROJECT_VERSION);
    EXPECT_TRUE(fs::exists(Plugins() / kUninstaller));
    const std::wstring uninstaller = Quoted(Plugins() / kUninstaller);
    EXPECT_EQ(ReadString(kEntryKey, L"DisplayName"), L"Halvern Q-Blend (Winamp plug-in)");
    EXPECT_EQ(ReadString(kEntryKey, L"DisplayVersion"), Widen(HVQ_PROJECT_VERSION));
    EXPECT_EQ(ReadString(kEntryKey, L"Publisher"), L"Halvern");
    EXPECT_EQ(ReadString(kEntryKey, L"UninstallString"), uninstaller);
    // In place, so that whoever runs it gets its true exit code.
    EXPECT_EQ(ReadString(kEntryKey, L"QuietUninstallString"),
              uninstaller + L" /S _?=" + Plugins().wstring());
    EXPECT_EQ(ReadString(kEntryKey, L"InstallLocation"), player.wstring());
    // The entry shows the plug-in's own icon.
    const auto icon = ReadString(kEntryKey, L"DisplayIcon");
    EXPECT_EQ(icon, InstalledDll().wstring() + L",0");
    EXPECT_EQ(ExtractIconExW(InstalledDll().c_str(), -1, nullptr, nullptr, 0), 1u);
    const auto kilobytes =
        (fs::file_size(InstalledDll()) / 1024) + (fs::file_size(Plugins() / kUninstaller) / 1024);
    EXPECT_EQ(ReadDword(kEntryKey, L"EstimatedSize"), static_cast<DWORD>(kilobytes));

    PlayThroughTheInstalledPlugin();
    const fs::path settings = Plugins() / L"HVQBlend.ini";
    ASSERT_TRUE(fs::exists(settings)) << "the plug-in saves its settings at shut-down";
    const PlacedFile userSettings(AppDataFolder() / L"Winamp" / L"Plugins" / L"HVQBlend.ini");

    EXPECT_EQ(UninstallQuietly(), 0u);
    EXPECT_FALSE(fs::exists(InstalledDll()));
    EXPECT_FALSE(fs::exists(Plugins() / kUninstaller));
    EXPECT_FALSE(KeyExists(kEntryKey));
    EXPECT_TRUE(fs::exists(settings));
    EXPECT_TRUE(fs::exists(userSettings.File()));
    EXPECT_TRUE(fs::exists(Plugins() / L"in_wavpcm.dll")) << "another plug-in was removed";
    EXPECT_TRUE(fs::exists(player / L"winamp.exe"));
}

TEST_F(Installer, ASecondRunReplacesTheInstalledDll) {
    ASSERT_EQ(InstallInto(player), 0u);
    const std::string installed = ReadBytes(InstalledDll());
    ASSERT_GT(installed.size(), 10000u);
    WriteBytes(InstalledDll(), "an older version");

    EXPECT_EQ(InstallInto(player), 0u);
    EXPECT_TRUE(ReadBytes(InstalledDll()) == installed);
    EXPECT_EQ(ReadString(kEntryKey, L"InstallLocation"), player.wstring());
    EXPECT_EQ(UninstallInPlace(), 0u);
    EXPECT_FALSE(fs::exists(InstalledDll()));
    EXPECT_FALSE(KeyExists(kEntryKey));
}

// A player's main window (the reference host's) is up: a silent run changes nothing and says so
// by its exit code, the uninstaller's as well; once it is gone both go on.
TEST_F(Installer, ARunningPlayerIsNeverOverwritten) {
    ASSERT_EQ(InstallInto(player), 0u);
    WriteBytes(InstalledDll(), "the version the player holds");
    {
        RefHost runningPlayer;
        ASSERT_NE(FindWindowA("Winamp v1.x", nullptr), nullptr);
        EXPECT_EQ(InstallInto(player), static_cast<DWORD>(kStopped));
        EXPECT_EQ(ReadBytes(InstalledDll()), "the version the player holds");
        EXPECT_EQ(UninstallQuietly(), static_cast<DWORD>(kStopped));
        EXPECT_TRUE(fs::exists(InstalledDll()));
        EXPECT_TRUE(fs::exists(Plugins() / kUninstaller));
        EXPECT_TRUE(KeyExists(kEntryKey));
    }
    EXPECT_EQ(InstallInto(player), 0u);
    EXPECT_NE(ReadBytes(InstalledDll()), "the version the player holds");
    EXPECT_EQ(UninstallQuietly(), 0u);
    EXPECT_FALSE(fs::exists(InstalledDll()));
    EXPECT_FALSE(fs::exists(Plugins() / kUninstaller));
    EXPECT_FALSE(KeyExists(kEntryKey));
}

// Two players: each folder keeps an entry of its own, and removing one leaves the other.
TEST_F(Installer, EachPlayerFolderHasAnEntryOfItsOwn) {
    const fs::path second = TempFolder(L"Second Winamp");
    fs::remove_all(second);
    fs::create_directories(second);
    WriteBytes(second / L"winamp.exe", "MZ stand-in of another player");
    ASSERT_EQ(InstallInto(player), 0u);
    ASSERT_EQ(InstallInto(second), 0u);
    EXPECT_EQ(ReadString(kEntryKey, L"InstallLocation"), player.wstring());
    EXPECT_EQ(ReadString(kSecondEntryKey, L"InstallLocation"), second.wstring());
    EXPECT_EQ(ReadString(kSecondEntryKey, L"DisplayName"),
              L"Halvern Q-Blend (Winamp plug-in in " + second.wstring() + L")");
    // Installed again, a folder keeps its entry.
    ASSERT_EQ(InstallInto(player), 0u);
    EXPECT_EQ(ReadString(kEntryKey, L"InstallLocation"), player.wstring());
    EXPECT_EQ(ReadString(kSecondEntryKey, L"InstallLocation"), second.wstring());

    EXPECT_EQ(UninstallQuietly(kSecondEntryKey), 0u);
    EXPECT_FALSE(fs::exists(second / L"Plugins" / L"in_hvqblend.dll"));
    EXPECT_FALSE(KeyExists(kSecondEntryKey));
    EXPECT_TRUE(fs::exists(InstalledDll()));
    EXPECT_EQ(ReadString(kEntryKey, L"InstallLocation"), player.wstring());
    EXPECT_EQ(UninstallQuietly(), 0u);
    EXPECT_FALSE(KeyExists(kEntryKey));
    fs::remove_all(second);
}

// Under Wine (and from most script languages) a /D= whose folder has spaces arrives as one
// quoted argument: it is taken as the folder, not passed over for the one found.
TEST_F(Installer, AQuotedFolderArgumentIsTheFolder) {
    const fs::path chosen = TempFolder(L"My Winamp");
    fs::remove_all(chosen);
    fs::create_directories(chosen);
    WriteBytes(chosen / L"winamp.exe", "MZ stand-in of the player chosen");
    EXPECT_EQ(Install(L"\"/D=" + chosen.wstring() + L"\""), 0u);
    EXPECT_TRUE(fs::exists(chosen / L"Plugins" / L"in_hvqblend.dll"));
    EXPECT_FALSE(fs::exists(InstalledDll())) << "installed into the folder found instead";
    EXPECT_EQ(ReadString(kEntryKey, L"InstallLocation"), chosen.wstring());
    EXPECT_EQ(UninstallQuietly(), 0u);
    fs::remove_all(chosen);
}

// The folder page, as a user sees it: it offers the folder found, and its Install button works
// only while the folder holds winamp.exe.
TEST_F(Installer, TheFolderPageGoesOnOnlyToAFolderThatHoldsThePlayer) {
    const fs::path elsewhere = TempFolder(L"not a player");
    fs::create_directories(elsewhere);
    Gui setupProgram(Quoted(setup));
    const HWND main = setupProgram.MainWindow();
    ASSERT_NE(main, nullptr);
    Gui::Press(main, IDOK); // past the licence
    const int kFolderEdit = 1019;
    HWND folder = nullptr;
    ASSERT_TRUE(
        Gui::WaitUntil([&] { return (folder = FindControl(main, kFolderEdit)) != nullptr; }));
    const HWND install = GetDlgItem(main, IDOK);
    Gui::WaitUntil([&] { return !TextOf(folder).empty(); });
    EXPECT_EQ(TextOf(folder), player.wstring());
    EXPECT_TRUE(Gui::WaitUntil([&] { return IsWindowEnabled(install) != FALSE; }));

    SetTextOf(folder, elsewhere.wstring());
    EXPECT_TRUE(Gui::WaitUntil([&] { return IsWindowEnabled(install) == FALSE; }));
    SetTextOf(folder, player.wstring());
    EXPECT_TRUE(Gui::WaitUntil([&] { return IsWindowEnabled(install) != FALSE; }));
    fs::remove_all(elsewhere);
}

// Asked, the user says yes: the settings go too, from every place the plug-in keeps them.
TEST_F(Installer, TheUninstallerAsksAndDeletesTheSettingsWhenTheUserSaysYes) {
    ASSERT_EQ(InstallInto(player), 0u);
    const PlacedFile inPlayer(Plugins() / L"HVQBlend.ini");
    const PlacedFile olderPlace(player / L"HVQBlend.ini");
    const PlacedFile perUser(AppDataFolder() / L"Winamp" / L"Plugins" / L"HVQBlend.ini");

    Gui uninstaller(Quoted(Plugins() / kUninstaller) + L" _?=" + Plugins().wstring());
    const HWND main = uninstaller.MainWindow();
    ASSERT_NE(main, nullptr);
    Gui::Press(main, IDOK); // "Uninstall" on the confirmation page
    const HWND question = uninstaller.MessageBoxSaying("Delete your Halvern Q-Blend settings too?");
    ASSERT_NE(question, nullptr);
    Gui::Press(question, IDYES);
    const HWND close = GetDlgItem(main, IDOK);
    ASSERT_TRUE(Gui::WaitUntil([&] { return IsWindowEnabled(close) != FALSE; }));
    Gui::Press(main, IDOK);
    EXPECT_EQ(uninstaller.ExitCode(), 0u);

    EXPECT_FALSE(fs::exists(InstalledDll()));
    EXPECT_FALSE(KeyExists(kEntryKey));
    EXPECT_FALSE(fs::exists(inPlayer.File()));
    EXPECT_FALSE(fs::exists(olderPlace.File()));
    EXPECT_FALSE(fs::exists(perUser.File()));
}

// Some other program holds the DLL (a player whose window was not seen): a silent run stops
// with its error code rather than claim an install or removal that did not happen.
TEST_F(Installer, ADllHeldByAnotherProgramStopsTheRun) {
    ASSERT_EQ(InstallInto(player), 0u);
    WriteBytes(InstalledDll(), "the version in use");
    {
        // Let go of on every way out, so that a failure here leaves the folder to the next test.
        const std::unique_ptr<void, decltype(&CloseHandle)> held(
            CreateFileW(InstalledDll().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr),
            &CloseHandle);
        ASSERT_NE(held.get(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(InstallInto(player), static_cast<DWORD>(kStopped));
        EXPECT_EQ(UninstallInPlace(), static_cast<DWORD>(kStopped));
        EXPECT_TRUE(KeyExists(kEntryKey));
    }
    EXPECT_EQ(ReadBytes(InstalledDll()), "the version in use");
}

TEST_F(Installer, AFolderWithoutThePlayerIsRefused) {
    const fs::path elsewhere = TempFolder(L"not a player");
    fs::remove_all(elsewhere);
    fs::create_directories(elsewhere);
    EXPECT_EQ(InstallInto(elsewhere), static_cast<DWORD>(kStopped));
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_FALSE(KeyExists(kEntryKey));
    fs::remove_all(elsewhere);
}

// The player's uninstall command line in the forms it takes: quoted with an argument after it,
// and bare.
TEST_F(Installer, ThePlayersFolderComesFromItsUninstallCommand) {
    for (const std::wstring &command :
         {Quoted(player / L"UninstWA.exe") + L" /quiet", (player / L"UninstWA.exe").wstring()}) {
        SCOPED_TRACE(Narrow(command));
        WriteString(kPlayerKey, L"UninstallString", command);
        ASSERT_EQ(Install(L""), 0u);
        EXPECT_TRUE(fs::exists(InstalledDll()));
        EXPECT_EQ(UninstallInPlace(), 0u);
        EXPECT_FALSE(fs::exists(InstalledDll()));
    }
}

// Without the player's entry the usual place is taken: the program files folder's Winamp.
TEST_F(Installer, WithoutThePlayersEntryTheProgramFilesFolderIsTaken) {
    wchar_t programFiles[MAX_PATH + 1] = {};
    GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH);
    const fs::path usual = fs::path(programFiles) / L"Winamp";
    if (fs::exists(usual))
        GTEST_SKIP() << "a Winamp folder exists in " << Narrow(programFiles);
    DeleteValue(kPlayerKey, L"UninstallString");
    fs::create_directories(usual);
    WriteBytes(usual / L"winamp.exe", "MZ stand-in of the player");

    EXPECT_EQ(Install(L""), 0u);
    EXPECT_TRUE(fs::exists(usual / L"Plugins" / L"in_hvqblend.dll"));
    EXPECT_EQ(ReadString(kEntryKey, L"InstallLocation"), usual.wstring());
    EXPECT_EQ(UninstallQuietly(), 0u);
    EXPECT_FALSE(fs::exists(usual / L"Plugins" / L"in_hvqblend.dll"));
    std::error_code ignored;
    fs::remove_all(usual, ignored);
}

} // namespace
