// The host link against the reference host's main window: its checks, the windows and version it
// keeps, and the answers of its IPC wrappers.
#include "RefHost.h"
#include "hostlink/PluginError.h"
#include "hostlink/WinAmpAPIUnit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <thread>

namespace {

using namespace hostapi;
using refhost::RefHost;

class HostLink : public ::testing::Test {
  protected:
    In_Module ModuleWithMainWindow() {
        In_Module module{};
        module.hMainWindow = host.MainWindow();
        return module;
    }
    // A hidden top-level window of the given class, destroyed with the fixture.
    HWND MakeWindow(const char *className) {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = DefWindowProcA;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = className;
        RegisterClassA(&windowClass);
        HWND window = CreateWindowExA(0, className, "", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                                      nullptr, GetModuleHandleA(nullptr), nullptr);
        windows.push_back(window);
        return window;
    }
    void TearDown() override {
        for (HWND window : windows)
            DestroyWindow(window);
    }

    RefHost host;
    std::vector<HWND> windows;
};

TEST_F(HostLink, RefusesARecordWithoutAMainWindowWithoutSendingAnything) {
    In_Module module{};
    try {
        TWinAmpAPIMan link(&module);
        FAIL() << "constructed without a main window";
    } catch (const EPluginError &error) {
        EXPECT_STREQ(error.what(), "NULL Winamp Main HWND Var.");
    }
    EXPECT_TRUE(host.Messages().empty());
}

TEST_F(HostLink, RefusesAHandleThatIsNoWindow) {
    In_Module module{};
    module.hMainWindow = reinterpret_cast<HWND>(0x7FF0);
    EXPECT_THROW(
        {
            try {
                TWinAmpAPIMan link(&module);
            } catch (const EPluginError &error) {
                EXPECT_STREQ(error.what(), "Bad Winamp Main HWND Var.");
                throw;
            }
        },
        EPluginError);
}

TEST_F(HostLink, ANullRecordIsReportedInABoxAndFailsWithoutText) {
    refhost::MessageBoxWatcher watcher;
    try {
        TWinAmpAPIMan link(nullptr);
        FAIL() << "constructed without a record";
    } catch (const EPluginError &error) {
        EXPECT_STREQ(error.what(), "");
    }
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    EXPECT_EQ(watcher.Boxes()[0].Caption, "Internal Error");
    EXPECT_EQ(watcher.Boxes()[0].Text, "NULL Pointer to module Var.");
}

TEST_F(HostLink, SplitsTheHostVersionIntoItsBytes) {
    host.State().Version = 0x5061;
    In_Module module = ModuleWithMainWindow();
    TWinAmpAPIMan link(&module);
    EXPECT_EQ(link.OwnModule, &module);
    EXPECT_EQ(link.MainWindow, host.MainWindow());
    EXPECT_EQ(link.HostVersionMajor, 0x50);
    EXPECT_EQ(link.HostVersionMinor, 0x61);
    EXPECT_EQ(link.HostVersion, 0x5061);
}

TEST_F(HostLink, TakesTheWindowsTheHostNames) {
    HWND equalizer = MakeWindow("HvqTestEq");
    HWND playlist = MakeWindow("HvqTestPe");
    HWND third = MakeWindow("HvqTestThird");
    host.State().Windows[0] = equalizer;
    host.State().Windows[1] = playlist;
    host.State().Windows[2] = third;
    In_Module module = ModuleWithMainWindow();
    TWinAmpAPIMan link(&module);
    EXPECT_EQ(link.EqualizerWindow, equalizer);
    EXPECT_EQ(link.PlaylistWindow, playlist);
    EXPECT_EQ(link.ThirdHostWindow, third);
}

TEST_F(HostLink, FallsBackToTheWindowClassesOfEqualizerAndPlaylistOnly) {
    HWND equalizer = MakeWindow(kEqualizerWindowClass);
    HWND playlist = MakeWindow(kPlaylistWindowClass);
    host.State().Windows[2] = reinterpret_cast<HWND>(0x7FF0); // not a window
    In_Module module = ModuleWithMainWindow();
    TWinAmpAPIMan link(&module);
    EXPECT_EQ(link.EqualizerWindow, equalizer);
    EXPECT_EQ(link.PlaylistWindow, playlist);
    EXPECT_EQ(link.ThirdHostWindow, nullptr);
}

TEST_F(HostLink, LeavesWindowsEmptyWhenTheHostHasNone) {
    In_Module module = ModuleWithMainWindow();
    TWinAmpAPIMan link(&module);
    EXPECT_EQ(link.EqualizerWindow, nullptr);
    EXPECT_EQ(link.PlaylistWindow, nullptr);
    EXPECT_EQ(link.ThirdHostWindow, nullptr);
}

TEST_F(HostLink, GivesTheIniFolderWithItsTrailingBackslash) {
    In_Module module = ModuleWithMainWindow();
    TWinAmpAPIMan link(&module);
    host.State().IniPath = "C:\\Program Files\\Player\\player.ini";
    EXPECT_EQ(link.GetHostIniFolder(), "C:\\Program Files\\Player\\");
    host.State().IniPath = "C:player.ini";
    EXPECT_EQ(link.GetHostIniFolder(), "C:\\");
    host.State().IniPath = "player.ini"; // no folder at all
    EXPECT_EQ(link.GetHostIniFolder(), "");
    host.State().Answers[IPC_GETINIFILE] = 1; // a host that does not know the message
    EXPECT_EQ(link.GetHostIniFolder(), "");
}

TEST_F(HostLink, AsksPlaylistPositionLengthAndDialogParent) {
    host.SetPlaylist({L"a.syn", L"b.syn", L"c.syn"}, 2);
    HWND parent = MakeWindow("HvqTestParent");
    In_Module module = ModuleWithMainWindow();
    TWinAmpAPIMan link(&module);
    EXPECT_EQ(link.GetPlaylistPosition(), 2);
    EXPECT_EQ(link.GetPlaylistLength(), 3);
    EXPECT_EQ(link.GetDialogParent(), host.MainWindow());
    host.State().DialogParent = parent;
    EXPECT_EQ(link.GetDialogParent(), parent);
}

TEST_F(HostLink, IsImmediateStopOnlyWhenTheHostAnswersZero) {
    In_Module module = ModuleWithMainWindow();
    TWinAmpAPIMan link(&module);
    EXPECT_TRUE(link.IsImmediateStop()); // nothing playing: a full stop
    host.State().Answers[IPC_ISFULLSTOP] = 1;
    EXPECT_FALSE(link.IsImmediateStop());
    host.State().Answers[IPC_ISFULLSTOP] = 2;
    EXPECT_FALSE(link.IsImmediateStop());
    host.State().Answers[IPC_ISFULLSTOP] = 0;
    EXPECT_TRUE(link.IsImmediateStop());
}

TEST_F(HostLink, AFailedSendIsNoImmediateStop) {
    RefHost other;
    In_Module module{};
    module.hMainWindow = other.MainWindow();
    TWinAmpAPIMan link(&module);
    DestroyWindow(other.MainWindow());
    EXPECT_FALSE(link.IsImmediateStop());
}

TEST_F(HostLink, QueriesTitleAndLengthOfAFileNobodyKnows) {
    In_Module module = ModuleWithMainWindow();
    TWinAmpAPIMan link(&module);
    const TBasicFileInfoStruct info = link.QueryTitleAndLength("C:\\music\\Unknown Song.xyz");
    EXPECT_EQ(info.FileName, "C:\\music\\Unknown Song.xyz");
    EXPECT_EQ(info.Title, "Unknown Song");
    EXPECT_EQ(info.LengthText, "");
    EXPECT_EQ(host.IpcMessages(IPC_FORMAT_TITLE_EXTENDED).size(), 1u);
    EXPECT_EQ(host.IpcMessages(IPC_GET_EXTENDED_FILE_INFOW).size(), 1u);
}

TEST_F(HostLink, AnExtendedInfoQueryIsFoundOnlyOnANonZeroAnswer) {
    In_Module module = ModuleWithMainWindow();
    TWinAmpAPIMan link(&module);
    const TExtendedInfoAnswer missing = link.QueryExtendedInfo(L"C:\\x.xyz", L"length");
    EXPECT_FALSE(missing.Found);
    EXPECT_EQ(missing.Text, L"");
    host.State().Answers[IPC_GET_EXTENDED_FILE_INFOW] = 1;
    const TExtendedInfoAnswer found = link.QueryExtendedInfo(L"C:\\x.xyz", L"length");
    EXPECT_TRUE(found.Found);
    EXPECT_EQ(found.Text, L""); // the host answered without writing: the zeroed buffer stays
}

// A host whose one playlist-name buffer is filled again by the next request right after it has
// answered one, as when a thread asks just after another: the next request waits in its queue.
wchar_t PlaylistBuffer[64];
constexpr UINT kAnotherRequest = WM_APP + 1;

LRESULT CALLBACK BusyBufferHost(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kAnotherRequest) {
        wcscpy(PlaylistBuffer, L"C:\\list\\another request.syw");
        return 0;
    }
    if (message != WM_WA_IPC || lParam != IPC_GETPLAYLISTFILEW)
        return DefWindowProcW(window, message, wParam, lParam);
    if (wParam > 9)
        return 0;
    swprintf(PlaylistBuffer, 64, L"C:\\list\\entry%u.syw", static_cast<unsigned>(wParam));
    PostMessageW(window, kAnotherRequest, 0, 0);
    return reinterpret_cast<LRESULT>(PlaylistBuffer);
}

TEST(PlaylistFile, IsCopiedBeforeTheHostsBufferServesAnotherRequest) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &BusyBufferHost;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"HVQTestBusyBufferHost";
    RegisterClassW(&windowClass);
    const HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 10,
                                        10, nullptr, nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    {
        In_Module module{};
        module.hMainWindow = window;
        TWinAmpAPIMan link(&module);
        EXPECT_EQ(link.GetPlaylistFile(2), L"C:\\list\\entry2.syw"); // on the host's thread
        EXPECT_EQ(link.GetPlaylistFile(10), L"");

        std::atomic<bool> done{false};
        std::vector<std::wstring> names;
        std::thread engine([&] {
            for (int round = 0; round < 50; ++round) {
                for (int index : {3, 4, 12})
                    names.push_back(link.GetPlaylistFile(index));
            }
            done = true;
        });
        const ULONGLONG deadline = GetTickCount64() + 10000;
        while (!done && GetTickCount64() < deadline) {
            MSG pending;
            while (PeekMessageW(&pending, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&pending);
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        }
        engine.join();
        ASSERT_EQ(names.size(), 150u);
        for (std::size_t i = 0; i < names.size(); i += 3) {
            EXPECT_EQ(names[i], L"C:\\list\\entry3.syw") << i;
            EXPECT_EQ(names[i + 1], L"C:\\list\\entry4.syw") << i;
            EXPECT_EQ(names[i + 2], L"") << i;
        }
    }
    DestroyWindow(window);
}

} // namespace
