// Uninstall while the host runs, through the reference host's Remove: every file goes back to its
// own plug-in at the position it had, the settings file goes, and what is left of the library
// still quits. The substitutes are checked in this process, on the core's own record.
#include "RefHost.h"
#include "plugin/ExtendedExports.h"
#include "globals/PluginGlobals.h"
#include "plugin/UninstallUnit.h"
#include "support/PluginProbe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

namespace {

using namespace hostapi;
using refhost::HostMessage;
using refhost::RefHost;
using support::PluginProbe;
using support::ToneName;
namespace fs = std::filesystem;

using UninstallFn = int(__cdecl *)(HINSTANCE, HWND, int);

std::string Utf8(const std::wstring &text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n > 0 ? n - 1 : 0));
    return out;
}

class Uninstall : public ::testing::Test {
  protected:
    void Start(int fadeTimeMs = 0, int minFileSizeMs = 1000, int skipFadeMs = 0) {
        host.InstallProduct();
        for (const wchar_t *plugin : {L"in_synthw.dll", L"in_syntha.dll", L"in_synthnx.dll"})
            host.InstallPlugin(plugin);
        const std::string ini = SettingsFile().string();
        WritePrivateProfileStringA("HVQBlend", "FadeTime", std::to_string(fadeTimeMs).c_str(),
                                   ini.c_str());
        WritePrivateProfileStringA("HVQBlend", "MinFileSize", std::to_string(minFileSizeMs).c_str(),
                                   ini.c_str());
        if (skipFadeMs > 0) {
            WritePrivateProfileStringA("HVQBlend", "SkipFade", "1", ini.c_str());
            WritePrivateProfileStringA("HVQBlend", "SkipFadeTime", std::to_string(skipFadeMs).c_str(),
                                       ini.c_str());
        }
        host.Start();
        product = host.Plugin(L"in_hvqblend.dll")->Library;
    }
    fs::path SettingsFile() const { return host.PluginsFolder() / L"HVQBlend.ini"; }
    In_Module &Module(const wchar_t *plugin) { return *host.Plugin(plugin)->Module; }
    // The export called as the host calls it, the library left loaded.
    int CallUninstall() {
        auto uninstall = reinterpret_cast<UninstallFn>(
            reinterpret_cast<void *>(GetProcAddress(product, "winampUninstallPlugin")));
        return uninstall(product, host.MainWindow(), 0);
    }
    template <class T> T Global(const char *symbol) {
        return *reinterpret_cast<T *>(GetProcAddress(product, symbol));
    }
    // What uninstall said to the host itself, in order: its stops, plays, seeks, position
    // questions and cache refreshes (the playback threads' own messages left out).
    std::vector<std::string> HostConversation() const {
        std::vector<std::string> said;
        for (const HostMessage &message : host.Messages()) {
            if (message.FromOtherThread)
                continue;
            if (message.Message == WM_COMMAND && message.WParam == kCommandStop)
                said.push_back("stop");
            else if (message.Message == WM_COMMAND && message.WParam == kCommandPlay)
                said.push_back("play");
            else if (message.Message == WM_WA_IPC && message.LParam == IPC_JUMPTOTIME)
                said.push_back("seek " + std::to_string(message.WParam));
            else if (message.Message == WM_WA_IPC && message.LParam == IPC_GETOUTPUTTIME)
                said.push_back("position");
            else if (message.Message == WM_WA_IPC && message.LParam == IPC_REFRESHPLCACHE)
                said.push_back("refresh");
            else if (message.Message == WM_WA_IPC && message.LParam == IPC_UPDTITLE)
                said.push_back("title");
        }
        return said;
    }
    static std::vector<std::string> PlayingConversation(int attempts, int position) {
        std::vector<std::string> said{"refresh", "position"};
        for (int attempt = 0; attempt < attempts; ++attempt)
            said.insert(said.end(),
                        {"stop", "refresh", "play", "seek " + std::to_string(position)});
        said.push_back("seek " + std::to_string(position));
        return said;
    }
    // Plays a long tone through the product, seeks it to 61000 ms and waits until it plays there.
    void PlayAt61000(const std::wstring &file, int skipFadeMs = 0) {
        host.UseOutput(std::make_unique<refhost::RecordingOutput>(1.0, 500));
        Start(0, 1000, skipFadeMs);
        host.SetPlaylist({file});
        ASSERT_EQ(host.StartPlaying(0), 0);
        ASSERT_EQ(host.ActiveModule(), host.Product());
        // A seek reaches the engine once its request plays.
        ASSERT_TRUE(host.WaitUntil([&] { return host.Product()->GetOutputTime() > 0; }));
        ASSERT_EQ(host.JumpToTime(61000), 0);
        ASSERT_TRUE(host.WaitUntil([&] { return host.Product()->GetOutputTime() >= 61000; }));
        host.ClearMessages();
    }
    // After Remove: the owner plays the same file from the position the host had.
    void ExpectHandedBackAt61000(const wchar_t *owner, const std::wstring &file) {
        const auto seeks = host.IpcMessages(IPC_JUMPTOTIME);
        ASSERT_FALSE(seeks.empty());
        const int position = static_cast<int>(seeks.front().WParam);
        EXPECT_GE(position, 61000);
        EXPECT_LT(position, 61000 + 10000);
        EXPECT_EQ(HostConversation(), PlayingConversation(2, position));
        EXPECT_EQ(host.Plugin(L"in_hvqblend.dll"), nullptr);
        EXPECT_FALSE(fs::exists(SettingsFile()));
        ASSERT_TRUE(host.IsPlaying());
        EXPECT_EQ(host.ActiveModule(), &Module(owner));
        const PluginProbe probe(host, owner);
        const std::string log = probe.Log();
        EXPECT_NE(log.find("Play(" + Utf8(file) + ")"), std::string::npos) << log;
        EXPECT_NE(log.find("SetOutputTime(" + std::to_string(position) + ")"), std::string::npos)
            << log;
        EXPECT_TRUE(host.WaitUntil([&] { return Module(owner).GetOutputTime() >= position; }));
        EXPECT_EQ(host.Output().CountOf("Open"), host.Output().CountOf("Close") + 1);
    }
    void ExpectEveryDecoderClosedOnce(const wchar_t *plugin) {
        const PluginProbe probe(host, plugin);
        EXPECT_EQ(probe.OpenReads(), 0) << Utf8(plugin);
        EXPECT_EQ(probe.TotalOpens(), probe.TotalCloses()) << Utf8(plugin);
        EXPECT_EQ(probe.BadCloses(), 0) << Utf8(plugin);
    }

    RefHost host;
    HMODULE product = nullptr;
};

TEST_F(Uninstall, AnIdleHostThatMakesNoCallTakesOneAttempt) {
    Start();
    ASSERT_TRUE(fs::exists(SettingsFile()));
    host.ClearMessages();
    EXPECT_EQ(host.RemovePlugin(L"in_hvqblend.dll"), 1);
    EXPECT_EQ(HostConversation(),
              (std::vector<std::string>{"refresh", "position", "stop", "title", "refresh"}));
    EXPECT_EQ(host.Plugin(L"in_hvqblend.dll"), nullptr);
    EXPECT_FALSE(fs::exists(SettingsFile()));
    // Every plug-in has its own ownership test back: the host finds the owner itself.
    EXPECT_EQ(host.ResolveOwner(ToneName(8000, 2, 16, 500)), &Module(L"in_synthw.dll"));
}

TEST_F(Uninstall, AHostThatKeepsCallingIsGivenUpAfterTwentyOneAttemptsAndFourPauses) {
    Start();
    ULONGLONG lastAttempt = 0;
    host.State().IpcReactions[IPC_UPDTITLE] = [&] {
        lastAttempt = GetTickCount64();
        host.Product()->GetLength();
    };
    host.ClearMessages();
    EXPECT_EQ(CallUninstall(), 0);
    const ULONGLONG returned = GetTickCount64();
    EXPECT_EQ(host.IpcMessages(IPC_UPDTITLE).size(), 21u);
    // The last attempt's pause and the four after it; generous for a loaded machine.
    EXPECT_GE(returned - lastAttempt, 450u);
    // The registry and the settings file go all the same; Quit writes no settings again.
    EXPECT_FALSE(fs::exists(SettingsFile()));
    EXPECT_EQ(Global<void *>("_HookedInPlugins"), nullptr);
    host.Shutdown();
    EXPECT_FALSE(fs::exists(SettingsFile()));
    EXPECT_EQ(Global<void *>("_PluginConfig"), nullptr);
    EXPECT_EQ(Global<void *>("_InPluginPlaybackThread"), nullptr);
}

TEST_F(Uninstall, AThreadModeFileGoesBackToItsOwnPluginAtItsPosition) {
    const std::wstring file = ToneName(8000, 2, 16, 180000, L"syw", 41);
    PlayAt61000(file);
    EXPECT_EQ(host.RemovePlugin(L"in_hvqblend.dll"), 1);
    ExpectHandedBackAt61000(L"in_synthw.dll", file);
    host.Shutdown();
    ExpectEveryDecoderClosedOnce(L"in_synthw.dll");
}

// The uninstall's Stop is no skip, whatever the fade on skip: the owner gets the file at once
// and keeps its output, and the decoder the engine held is closed while its plug-in is known.
TEST_F(Uninstall, WithTheFadeOnSkipAThreadModeFileGoesBackAtOnce) {
    const std::wstring file = ToneName(8000, 2, 16, 180000, L"syw", 45);
    PlayAt61000(file, 1000);
    EXPECT_EQ(host.RemovePlugin(L"in_hvqblend.dll"), 1);
    ExpectHandedBackAt61000(L"in_synthw.dll", file);
    host.Pump(300);
    EXPECT_TRUE(host.Output().IsOpen());
    EXPECT_EQ(host.ActiveModule(), &Module(L"in_synthw.dll"));
    host.Shutdown();
    ExpectEveryDecoderClosedOnce(L"in_synthw.dll");
}

TEST_F(Uninstall, ADirectModeFileGoesBackToItsOwnPluginAtItsPosition) {
    const std::wstring file = ToneName(8000, 2, 16, 180000, L"synx", 42);
    PlayAt61000(file);
    EXPECT_EQ(Global<void *>("_ActiveHookedIn") != nullptr, true);
    EXPECT_EQ(host.RemovePlugin(L"in_hvqblend.dll"), 1);
    ExpectHandedBackAt61000(L"in_synthnx.dll", file);
    // The first stop came through our Stop substitute and still stopped the plug-in.
    const std::string log = PluginProbe(host, L"in_synthnx.dll").Log();
    const auto stop = log.find("Stop");
    ASSERT_NE(stop, std::string::npos) << log;
    EXPECT_LT(log.find("Play("), stop);
    EXPECT_NE(log.find("Play(", stop), std::string::npos) << log;
}

TEST_F(Uninstall, DuringACrossfadeBothDecodersCloseAndTheIncomingTrackGoesOn) {
    host.UseOutput(std::make_unique<refhost::RecordingOutput>(1.0, 300));
    Start(1500, 1000);
    const std::wstring first = ToneName(8000, 2, 16, 2000, L"syw", 43);
    const std::wstring second = ToneName(8000, 2, 16, 30000, L"sya", 44);
    host.SetPlaylist({first, second});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return host.State().Position == 1; }, 10000));
    host.Pump(300); // inside the fade
    ASSERT_EQ(PluginProbe(host, L"in_synthw.dll").OpenReads(), 1);
    host.ClearMessages();
    EXPECT_EQ(host.RemovePlugin(L"in_hvqblend.dll"), 1);
    ExpectEveryDecoderClosedOnce(L"in_synthw.dll");
    ExpectEveryDecoderClosedOnce(L"in_syntha.dll");
    const auto seeks = host.IpcMessages(IPC_JUMPTOTIME);
    ASSERT_FALSE(seeks.empty());
    const int position = static_cast<int>(seeks.front().WParam);
    EXPECT_GT(position, 0);
    EXPECT_LT(position, 30000);
    ASSERT_TRUE(host.IsPlaying());
    EXPECT_EQ(host.ActiveModule(), &Module(L"in_syntha.dll"));
    const std::string log = PluginProbe(host, L"in_syntha.dll").Log();
    EXPECT_NE(log.find("Play(" + Utf8(second) + ")"), std::string::npos) << log;
    EXPECT_NE(log.find("SetOutputTime(" + std::to_string(position) + ")"), std::string::npos)
        << log;
    EXPECT_FALSE(fs::exists(SettingsFile()));
}

TEST_F(Uninstall, ClosesBothDialogs) {
    Start();
    host.Product()->Config(host.MainWindow());
    ASSERT_NE(Global<void *>("_ConfigForm"), nullptr);
    // The about dialog is modal: its own host thread shows it.
    std::atomic<bool> aboutReturned{false};
    In_Module *module = host.Product();
    std::thread about([&] {
        module->About(nullptr);
        aboutReturned = true;
    });
    ASSERT_TRUE(host.WaitUntil([&] { return Global<void *>("_AboutForm") != nullptr; }));
    host.Pump(100);
    EXPECT_EQ(CallUninstall(), 1);
    EXPECT_TRUE(host.WaitUntil([&] { return aboutReturned.load(); }));
    about.join();
    EXPECT_EQ(Global<void *>("_AboutForm"), nullptr);
    EXPECT_EQ(Global<void *>("_ConfigForm"), nullptr);
    EXPECT_FALSE(fs::exists(SettingsFile()));
}

// After uninstall the record's entry points, but for Init and Quit, are the substitutes; Init
// and Quit still work and no settings are written again.
TEST_F(Uninstall, InitAndQuitStillWorkAfterwards) {
    Start();
    EXPECT_EQ(CallUninstall(), 1);
    In_Module &record = *host.Product();
    EXPECT_EQ(record.IsOurFile(ToneName(8000, 2, 16, 500).c_str()), 0);
    EXPECT_EQ(record.Play(ToneName(8000, 2, 16, 500).c_str()), 1);
    record.Quit();
    EXPECT_FALSE(fs::exists(SettingsFile()));
    EXPECT_EQ(Global<void *>("_WinAmpAPIMan"), nullptr);
    record.Init();
    EXPECT_NE(Global<void *>("_WinAmpAPIMan"), nullptr);
    // The extended exports answer as without an owner.
    using ReadOpenW = intptr_t(__cdecl *)(const wchar_t *, int *, int *, int *, int *);
    auto open = reinterpret_cast<ReadOpenW>(
        reinterpret_cast<void *>(GetProcAddress(product, "winampGetExtendedRead_openW")));
    int size = 0, bps = 0, nch = 0, srate = 0;
    EXPECT_EQ(open(ToneName(8000, 2, 16, 500).c_str(), &size, &bps, &nch, &srate), 0);
    record.Quit();
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").OpenReads(), 0);
}

// ---- the substitutes, on a record of this process ----

TEST(UninstallSubstitutes, EachNotesTheCallAndGivesItsAnswer) {
    In_Module record{};
    FillUninstallSubstitutes(record);
    EXPECT_EQ(record.Init, nullptr);
    EXPECT_EQ(record.Quit, nullptr);
    const auto called = [](auto &&call) {
        HostCalledFlag = 0;
        call();
        return HostCalledFlag.load() == 1;
    };
    int answer = -5;
    EXPECT_FALSE(called([&] { answer = record.IsOurFile(L"C:\\music\\a.syw"); }));
    EXPECT_EQ(answer, 0);
    EXPECT_TRUE(called([&] { record.Config(nullptr); }));
    EXPECT_TRUE(called([&] { record.About(nullptr); }));
    wchar_t title[4] = {L'x', L'y', L'z', 0};
    int length = 77;
    EXPECT_TRUE(called([&] { record.GetFileInfo(L"C:\\music\\a.syw", title, &length); }));
    EXPECT_EQ(title[0], L'\0');
    EXPECT_EQ(title[1], L'y');
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(called([&] { record.GetFileInfo(nullptr, nullptr, nullptr); }));
    EXPECT_TRUE(called([&] { answer = record.InfoBox(L"C:\\music\\a.syw", nullptr); }));
    EXPECT_EQ(answer, 1);
    EXPECT_TRUE(called([&] { answer = record.Play(L"C:\\music\\a.syw"); }));
    EXPECT_EQ(answer, 1);
    EXPECT_TRUE(called([&] { record.Pause(); }));
    EXPECT_TRUE(called([&] { record.UnPause(); }));
    EXPECT_TRUE(called([&] { answer = record.IsPaused(); }));
    EXPECT_EQ(answer, 0);
    EXPECT_TRUE(called([&] { record.Stop(); }));
    EXPECT_TRUE(called([&] { answer = record.GetLength(); }));
    EXPECT_EQ(answer, 0);
    EXPECT_TRUE(called([&] { answer = record.GetOutputTime(); }));
    EXPECT_EQ(answer, 0); // what the real one answers with nothing playing
    EXPECT_TRUE(called([&] { record.SetOutputTime(1000); }));
    EXPECT_TRUE(called([&] { record.SetVolume(100); }));
    EXPECT_TRUE(called([&] { record.SetPan(0); }));
    char bands[10] = {};
    EXPECT_TRUE(called([&] { record.EQSet(1, bands, 31); }));
}

TEST(UninstallSubstitutes, EveryExtendedExportNotesEachCall) {
    const auto called = [](auto &&call) {
        HostCalledFlag = 0;
        call();
        return HostCalledFlag.load() == 1;
    };
    char ansi[8] = {};
    wchar_t wide[8] = {};
    int a = 0, b = 0, c = 0, d = 0;
    EXPECT_TRUE(called([&] { winampUseUnifiedFileInfoDlg(L"x.syw"); }));
    EXPECT_TRUE(called([&] { winampAddUnifiedFileInfoPane(0, L"x.syw", nullptr, wide, 8); }));
    EXPECT_TRUE(called([&] { winampGetExtendedFileInfo("x.syw", "title", ansi, 8); }));
    EXPECT_TRUE(called([&] { winampGetExtendedFileInfoW(L"x.syw", "title", wide, 8); }));
    EXPECT_TRUE(called([&] { winampSetExtendedFileInfo("x.syw", "title", "t"); }));
    EXPECT_TRUE(called([&] { winampSetExtendedFileInfoW(L"x.syw", "title", L"t"); }));
    EXPECT_TRUE(called([&] { winampWriteExtendedFileInfo(); }));
    EXPECT_TRUE(called([&] { winampClearExtendedFileInfoW(L"x.syw"); }));
    EXPECT_TRUE(called([&] { winampGetExtendedRead_open("x.syw", &a, &b, &c, &d); }));
    EXPECT_TRUE(called([&] { winampGetExtendedRead_open_float("x.syw", &a, &b, &c, &d); }));
    EXPECT_TRUE(called([&] { winampGetExtendedRead_openW(L"x.syw", &a, &b, &c, &d); }));
    EXPECT_TRUE(called([&] { winampGetExtendedRead_openW_float(L"x.syw", &a, &b, &c, &d); }));
    EXPECT_TRUE(called([&] { winampGetExtendedRead_getData(0, ansi, 8, &a); }));
    EXPECT_TRUE(called([&] { winampGetExtendedRead_setTime(0, 0); }));
    EXPECT_TRUE(called([&] { winampGetExtendedRead_close(0); }));
}

} // namespace
