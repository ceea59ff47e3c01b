// The configuration dialog as a user meets it: the real window, driven by the messages a user's
// keys and clicks produce, pumped by a plain message loop such as a host runs (one that never
// asks the dialog manager). Most cases run the plug-in's core in this process, so that the
// settings, the engine's curve and the playback thread can be read back directly; the rest load
// the built DLL into the reference host as a player would.
#include "RefHost.h"
#include "config/PluginConfigUnit.h"
#include "hostlink/TextConvert.h"
#include "playback/InPluginPlaybackThreadUnit.h"
#include "globals/PluginGlobals.h"
#include "plugin/PluginModuleUnit.h"
#include "globals/ResourceIds.h"
#include "support/FileBytes.h"
#include "ui/ConfigFormUnit.h"
#include "ui/TransitionOptionsFormUnit.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

namespace {

namespace fs = std::filesystem;
using refhost::RefHost;

constexpr const char *kDialogCaption = "Q-Blend Config";
constexpr const char *kOptionsCaption = "Q-Blend Transitions";

std::string Ansi(const fs::path &path) {
    return WideToAnsi(path.wstring());
}

using support::ReadBytes;
using support::WriteBytes;

std::string IniValue(const fs::path &file, const char *key) {
    char value[256] = {};
    GetPrivateProfileStringA("HVQBlend", key, "<missing>", value, sizeof value, Ansi(file).c_str());
    return value;
}

std::string Text(HWND window) {
    char text[256] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string ClassOf(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

BOOL CALLBACK CollectDialog(HWND window, LPARAM list) {
    if (Text(window) == kDialogCaption)
        reinterpret_cast<std::vector<HWND> *>(list)->push_back(window);
    return TRUE;
}

// The dialogs of that caption among this thread's top-level windows.
std::vector<HWND> OpenDialogs() {
    std::vector<HWND> found;
    EnumThreadWindows(GetCurrentThreadId(), &CollectDialog, reinterpret_cast<LPARAM>(&found));
    return found;
}

// A control's place from its parent's client corner (or from another window's corner).
RECT PlaceIn(HWND window, HWND reference) {
    RECT place{};
    GetWindowRect(window, &place);
    MapWindowPoints(nullptr, reference, reinterpret_cast<POINT *>(&place), 2);
    return place;
}

RECT PlaceFrom(HWND window, HWND group) {
    RECT place{}, corner{};
    GetWindowRect(window, &place);
    GetWindowRect(group, &corner);
    OffsetRect(&place, -corner.left, -corner.top);
    return place;
}

::testing::AssertionResult IsPlace(const RECT &place, int left, int top, int width, int height) {
    if (place.left == left && place.top == top && place.right - place.left == width &&
        place.bottom - place.top == height)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "at " << place.left << "," << place.top << " size " << place.right - place.left << "x"
           << place.bottom - place.top << ", expected " << left << "," << top << " size " << width
           << "x" << height;
}

// How wide a control's text is in the control's own font, and how much of its width the text
// may take: a check box or radio button draws its box and a gap first (half a digit, as the
// button draws it), a group box its frame and a gap on either side of the caption, a push button
// its edges, an edit its margins and the caret; a static its whole width. A text wider than its
// room is cut on the screen ("Logarithmic Transitio").
struct TextFit {
    int Text = 0;
    int Room = 0;
    std::string Face; // the font that drew it: Wine without its own fonts stands another in
};

TextFit MeasureText(HWND control) {
    RECT client{};
    GetClientRect(control, &client);
    HDC dc = GetDC(control);
    const HGDIOBJ previous =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    wchar_t text[256] = {};
    const int length = GetWindowTextW(control, text, 256);
    SIZE size{};
    GetTextExtentPoint32W(dc, text, length, &size);
    int digit = 0;
    GetCharWidth32W(dc, L'0', L'0', &digit);
    char face[LF_FACESIZE] = {};
    GetTextFaceA(dc, LF_FACESIZE, face);
    SelectObject(dc, previous);
    ReleaseDC(control, dc);

    int used = 0;
    const LONG style = GetWindowLongW(control, GWL_STYLE);
    if (ClassOf(control) == "Edit") {
        const auto margins = static_cast<DWORD>(SendMessageW(control, EM_GETMARGINS, 0, 0));
        used = LOWORD(margins) + HIWORD(margins) + 1;
    } else if (ClassOf(control) == "Button") {
        switch (style & BS_TYPEMASK) {
        case BS_GROUPBOX:
            used = 2 * 8;
            break;
        case BS_PUSHBUTTON:
        case BS_DEFPUSHBUTTON:
            used = 2 * 4;
            break;
        default: // check boxes and radio buttons; the focus frame takes a pixel after the text
            used = GetSystemMetrics(SM_CXMENUCHECK) + digit / 2 + 1;
        }
    }
    return {static_cast<int>(size.cx), static_cast<int>(client.right) - used, face};
}

// Every control of the window that shows a text has room for all of it.
void ExpectEveryTextFits(HWND window) {
    for (HWND control = GetWindow(window, GW_CHILD); control;
         control = GetWindow(control, GW_HWNDNEXT)) {
        if (GetWindowTextLengthW(control) == 0)
            continue;
        const TextFit fit = MeasureText(control);
        EXPECT_LE(fit.Text, fit.Room)
            << ClassOf(control) << " " << GetDlgCtrlID(control) << " \"" << Text(control)
            << "\" is " << fit.Text << " px wide in " << fit.Face << ", in a room of " << fit.Room
            << " px";
    }
}

// Watches for message boxes of this process (any dialog but the configuration dialog), records
// caption, text and owner, and closes them as a user would.
class BoxWatcher {
  public:
    struct Box {
        std::string Caption;
        std::string Text;
        HWND Owner = nullptr;
    };
    // announce: name each box on stderr when first seen.
    explicit BoxWatcher(bool announce = false)
        : announce_(announce), thread_([this] {
              while (!stop_) {
                  EnumWindows(&BoxWatcher::Visit, reinterpret_cast<LPARAM>(this));
                  Sleep(10);
              }
          }) {}
    ~BoxWatcher() {
        stop_ = true;
        thread_.join();
    }
    BoxWatcher(const BoxWatcher &) = delete;
    BoxWatcher &operator=(const BoxWatcher &) = delete;
    std::vector<Box> Boxes() const {
        std::lock_guard guard(lock_);
        return boxes_;
    }

  private:
    static BOOL CALLBACK Visit(HWND window, LPARAM self) {
        auto *watcher = reinterpret_cast<BoxWatcher *>(self);
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process != GetCurrentProcessId() || ClassOf(window) != "#32770" ||
            Text(window) == kDialogCaption || Text(window) == kOptionsCaption ||
            !IsWindowVisible(window))
            return TRUE;
        {
            std::lock_guard guard(watcher->lock_);
            if (watcher->seen_.insert(window).second) {
                char text[1024] = {};
                GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
                watcher->boxes_.push_back({Text(window), text, GetWindow(window, GW_OWNER)});
                if (watcher->announce_)
                    std::fprintf(stderr, "message box \"%s\": %s\n", Text(window).c_str(), text);
            }
        }
        // The program's own watcher leaves a box a second to a test's watcher.
        if (watcher->announce_) {
            std::lock_guard guard(watcher->lock_);
            const ULONGLONG now = GetTickCount64();
            const ULONGLONG first = watcher->firstSeen_.emplace(window, now).first->second;
            if (now - first < 1000)
                return TRUE;
        }
        // Pressed again at every look until it is gone: on a loaded machine a box can show
        // before its own loop takes a press.
        PostMessageA(window, WM_COMMAND, IDOK, 0);
        return TRUE;
    }

    std::atomic<bool> stop_{false};
    const bool announce_;
    mutable std::mutex lock_;
    std::vector<Box> boxes_;
    std::set<HWND> seen_;
    std::map<HWND, ULONGLONG> firstSeen_;
    std::thread thread_;
};

// A message box no test waits for (a settings file that failed to be written, say) would hold
// the whole program in its modal loop until the run's time limit: every box is closed and named
// on stderr, and the test's own checks tell what went wrong.
class EveryBoxClosed : public ::testing::Environment {
  public:
    void SetUp() override { watcher_ = std::make_unique<BoxWatcher>(true); }
    void TearDown() override { watcher_.reset(); }

  private:
    std::unique_ptr<BoxWatcher> watcher_;
};
const auto *const kEveryBoxClosed = ::testing::AddGlobalTestEnvironment(new EveryBoxClosed);

// A settings file nobody may write: held open by a reader that denies writers (root under
// Wine writes to a read-only file anyway).
class UnwritableFile {
  public:
    explicit UnwritableFile(const fs::path &file)
        : reader_(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr)) {}
    ~UnwritableFile() { Release(); }
    UnwritableFile(const UnwritableFile &) = delete;
    UnwritableFile &operator=(const UnwritableFile &) = delete;
    bool Holds() const { return reader_ != INVALID_HANDLE_VALUE; }
    void Release() {
        if (Holds())
            CloseHandle(std::exchange(reader_, INVALID_HANDLE_VALUE));
    }

  private:
    HANDLE reader_;
};

// Holds Shift down in this thread's keyboard state, as the dialog manager reads it for Tab.
class ShiftHeld {
  public:
    ShiftHeld() { Set(0x80); }
    ~ShiftHeld() { Set(0); }
    ShiftHeld(const ShiftHeld &) = delete;
    ShiftHeld &operator=(const ShiftHeld &) = delete;

  private:
    static void Set(BYTE state) {
        BYTE keys[256] = {};
        GetKeyboardState(keys);
        keys[VK_SHIFT] = keys[VK_LSHIFT] = state;
        SetKeyboardState(keys);
    }
};

// A host's settings folder of its own for each test, removed afterwards.
class ScratchFolder {
  public:
    ScratchFolder() {
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, temp);
        LARGE_INTEGER now{};
        QueryPerformanceCounter(&now);
        root_ = fs::path(temp) / (L"hvq-dialog-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(now.QuadPart));
        fs::create_directories(root_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    ScratchFolder(const ScratchFolder &) = delete;
    ScratchFolder &operator=(const ScratchFolder &) = delete;
    const fs::path &Path() const { return root_; }

  private:
    fs::path root_;
};

// ---------------------------------------------------------------------------------------------
// The dialog of the plug-in's core, opened in this process as the host's Configure button does

class ConfigDialog : public ::testing::Test {
  protected:
    void SetUp() override {
        host.State().IniPath = Ansi(scratch.Path() / L"winamp.ini");
        PluginModule.hMainWindow = host.MainWindow();
    }
    void TearDown() override {
        PluginQuit();
        PluginModule.hMainWindow = nullptr;
    }
    fs::path IniFile() const { return scratch.Path() / L"Plugins" / L"HVQBlend.ini"; }
    std::string Value(const char *key) const { return IniValue(IniFile(), key); }

    void Open() {
        PluginInit();
        ASSERT_NE(PluginConfig, nullptr);
        PluginConfigure(host.MainWindow());
        Drain();
        ASSERT_NE(ConfigForm, nullptr);
        dialog = ConfigForm->Handle();
        ASSERT_TRUE(IsWindow(dialog));
    }
    HWND Control(int id) const { return GetDlgItem(dialog, id); }
    HWND CrossfadeEdit() const { return Control(kCrossfadeTimeEditId); }
    HWND MinLengthEdit() const { return Control(kMinLengthEditId); }
    HWND TrackBar() const { return Control(kPlaybackThreadPriorityTrackBarId); }

    // Everything posted so far, and whatever that posts in turn, is handled.
    void Drain() { host.Pump(0); }
    void PostKey(HWND target, UINT key) {
        PostMessageW(target, WM_KEYDOWN, key, 1);
        PostMessageW(target, WM_KEYUP, key, 0xC0000001);
        Drain();
    }
    // Selects the edit's text (or a part) and types over it, one character message per key.
    void TypeInto(HWND edit, std::wstring_view text, int from = 0, int to = -1) {
        SetFocus(edit);
        PostMessageW(edit, EM_SETSEL, from, to);
        for (const wchar_t c : text)
            PostMessageW(edit, WM_CHAR, c, 1);
        Drain();
    }
    void Erase(HWND edit) { TypeInto(edit, L"\b"); }
    void Click(HWND control) {
        RECT client{};
        GetClientRect(control, &client);
        const LPARAM middle = MAKELPARAM(client.right / 2, client.bottom / 2);
        PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, middle);
        PostMessageW(control, WM_LBUTTONUP, 0, middle);
        Drain();
    }
    int PlaybackThreadPriority() const {
        HANDLE thread =
            OpenThread(THREAD_QUERY_INFORMATION, FALSE, InPluginPlaybackThread->ThreadId());
        const int priority = GetThreadPriority(thread);
        CloseHandle(thread);
        return priority;
    }

    ScratchFolder scratch;
    RefHost host;
    HWND dialog = nullptr;
};

TEST_F(ConfigDialog, IsAFixedWindowOfItsSizeCentredOnTheScreenOwnedByTheHostsDialogParent) {
    const HWND parent = CreateWindowExW(0, L"STATIC", L"dialog parent", WS_POPUP, 0, 0, 10, 10,
                                        nullptr, nullptr, nullptr, nullptr);
    host.State().DialogParent = parent;
    Open();
    EXPECT_EQ(Text(dialog), "Q-Blend Config");
    EXPECT_EQ(GetWindow(dialog, GW_OWNER), parent);
    EXPECT_TRUE(IsWindowVisible(dialog));

    const LONG style = GetWindowLongW(dialog, GWL_STYLE);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    EXPECT_EQ(style & WS_SYSMENU, WS_SYSMENU);
    EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0);

    RECT outer{}, client{};
    GetWindowRect(dialog, &outer);
    GetClientRect(dialog, &client);
    EXPECT_EQ(outer.right - outer.left, 275);
    EXPECT_EQ(client.bottom, 251);
    // 267 with the classic frame of 4 pixels a side; Wine draws 3.
    EXPECT_GE(client.right, 267);
    EXPECT_LE(client.right, 269);
    EXPECT_NEAR(outer.left, (GetSystemMetrics(SM_CXSCREEN) - 275) / 2, 1);
    EXPECT_NEAR(outer.top, (GetSystemMetrics(SM_CYSCREEN) - (outer.bottom - outer.top)) / 2, 1);

    LOGFONTW font{};
    ASSERT_TRUE(GetObjectW(reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0)),
                           sizeof font, &font));
    EXPECT_STREQ(font.lfFaceName, L"MS Sans Serif");
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(font.lfHeight, -MulDiv(8, GetDeviceCaps(screen, LOGPIXELSY), 72));
    ReleaseDC(nullptr, screen);
    // Every control that shows text (the track bar shows none and keeps no font).
    for (HWND control = GetWindow(dialog, GW_CHILD); control;
         control = GetWindow(control, GW_HWNDNEXT)) {
        if (control == TrackBar())
            continue;
        EXPECT_EQ(SendMessageW(control, WM_GETFONT, 0, 0), SendMessageW(dialog, WM_GETFONT, 0, 0))
            << Text(control);
    }
    PluginQuit();
    DestroyWindow(parent);
}

TEST_F(ConfigDialog, HoldsItsNineControlsInTabOrderWithTheirPlacesAndCaptions) {
    Open();
    struct Expected {
        int Id;
        const char *Class;
        const char *Caption; // null: not checked here
        int Group;           // the group box it sits inside, or 0
        RECT Place;
    };
    const Expected expected[] = {
        {kGroupBox1Id, "Button", "Crossfade Time (in Milliseconds)", 0, {8, 8, 249, 49}},
        {kCrossfadeTimeEditId, "Edit", nullptr, kGroupBox1Id, {8, 16, 233, 21}},
        {kGroupBox2Id, "Button", "Minimum Length (in Milliseconds)", 0, {8, 64, 249, 49}},
        {kMinLengthEditId, "Edit", nullptr, kGroupBox2Id, {8, 16, 233, 21}},
        {kDoneButtonId, "Button", "Done", 0, {184, 216, 75, 25}},
        {kLogTransCheckBoxId, "Button", "Logarithmic Transitions", 0, {8, 120, 249, 17}},
        {kPlaybackThreadPriorityGroupBoxId,
         "Button",
         "Playback Thread Priority (Higher)",
         0,
         {8, 144, 249, 65}},
        {kPlaybackThreadPriorityTrackBarId,
         "msctls_trackbar32",
         nullptr,
         kPlaybackThreadPriorityGroupBoxId,
         {8, 16, 233, 45}},
        {kMoreButtonId, "Button", "More...", 0, {8, 216, 75, 25}},
    };
    HWND control = GetWindow(dialog, GW_CHILD);
    for (const Expected &item : expected) {
        ASSERT_NE(control, nullptr) << "missing control " << item.Id;
        EXPECT_EQ(GetDlgCtrlID(control), item.Id);
        EXPECT_STRCASEEQ(ClassOf(control).c_str(), item.Class);
        if (item.Caption) {
            EXPECT_EQ(Text(control), item.Caption);
        }
        const RECT place =
            item.Group ? PlaceFrom(control, Control(item.Group)) : PlaceIn(control, dialog);
        EXPECT_TRUE(
            IsPlace(place, item.Place.left, item.Place.top, item.Place.right, item.Place.bottom))
            << "control " << item.Id;
        control = GetWindow(control, GW_HWNDNEXT);
    }
    EXPECT_EQ(control, nullptr);

    EXPECT_EQ(GetWindowLongW(Control(kDoneButtonId), GWL_STYLE) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    EXPECT_EQ(SendMessageW(dialog, DM_GETDEFID, 0, 0), MAKELRESULT(IDOK, DC_HASDEFID));
    EXPECT_EQ(GetWindowLongW(Control(kLogTransCheckBoxId), GWL_STYLE) & BS_TYPEMASK,
              BS_AUTOCHECKBOX);
    EXPECT_EQ(SendMessageW(TrackBar(), TBM_GETRANGEMIN, 0, 0), 0);
    EXPECT_EQ(SendMessageW(TrackBar(), TBM_GETRANGEMAX, 0, 0), 6);
    EXPECT_EQ(SendMessageW(TrackBar(), TBM_GETNUMTICS, 0, 0), 7); // one per position
    EXPECT_EQ(GetWindowLongW(TrackBar(), GWL_STYLE) & (TBS_VERT | TBS_TOP | TBS_NOTICKS), 0);
}

TEST_F(ConfigDialog, OpeningShowsTheSettingsAndWritesNothing) {
    const std::string content = "[HVQBlend]\r\nFadeTime=3000\r\nMinFileSize=9000\r\nLogTrans=1\r\n"
                                "PlaybackThreadPriority=Idle\r\n";
    WriteBytes(IniFile(), content);
    // Far in the past, so that any write shows in the time as well as in the bytes.
    const auto written = fs::last_write_time(IniFile()) - std::chrono::hours(24);
    fs::last_write_time(IniFile(), written);
    Open();
    EXPECT_EQ(Text(CrossfadeEdit()), "3000");
    EXPECT_EQ(Text(MinLengthEdit()), "9000");
    EXPECT_EQ(SendMessageW(Control(kLogTransCheckBoxId), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(SendMessageW(TrackBar(), TBM_GETPOS, 0, 0), 0);
    EXPECT_EQ(Text(Control(kPlaybackThreadPriorityGroupBoxId)), "Playback Thread Priority (Idle)");
    // MinFileSize below twice the crossfade time stays as the file says until the user edits.
    EXPECT_EQ(PluginConfig->MinFileSize(), 9000);
    EXPECT_EQ(ReadBytes(IniFile()), content);
    EXPECT_EQ(fs::last_write_time(IniFile()), written);
}

TEST_F(ConfigDialog, OpeningAFreshInstallationCreatesNoSettingsFile) {
    Open();
    EXPECT_EQ(Text(CrossfadeEdit()), "5000");
    EXPECT_EQ(Text(MinLengthEdit()), "10000");
    EXPECT_EQ(SendMessageW(Control(kLogTransCheckBoxId), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(SendMessageW(TrackBar(), TBM_GETPOS, 0, 0), 4);
    PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    Drain();
    EXPECT_FALSE(fs::exists(IniFile()));
}

TEST_F(ConfigDialog, TypingSixThousandRaisesTheMinimumLengthToTwelveThousand) {
    Open();
    TypeInto(CrossfadeEdit(), L"6000");
    EXPECT_EQ(Text(CrossfadeEdit()), "6000");
    EXPECT_EQ(Text(MinLengthEdit()), "12000");
    EXPECT_EQ(PluginConfig->FadeTime(), 6000);
    EXPECT_EQ(PluginConfig->MinFileSize(), 12000);
    EXPECT_EQ(Value("FadeTime"), "6000");
    EXPECT_EQ(Value("MinFileSize"), "12000");

    // Lowering the crossfade time leaves the minimum length alone.
    TypeInto(CrossfadeEdit(), L"2500");
    EXPECT_EQ(PluginConfig->FadeTime(), 2500);
    EXPECT_EQ(Text(MinLengthEdit()), "12000");
    EXPECT_EQ(Value("MinFileSize"), "12000");
}

TEST_F(ConfigDialog, AMinimumLengthBelowTwiceTheCrossfadeTimeIsReplacedAtOnce) {
    Open();
    TypeInto(MinLengthEdit(), L"1");
    EXPECT_EQ(Text(MinLengthEdit()), "10000");
    EXPECT_EQ(PluginConfig->MinFileSize(), 10000);

    // Every keystroke counts (typing 25000 over the whole text would pass through 2, replaced
    // at once): a user raises the length by typing over its first digit.
    TypeInto(MinLengthEdit(), L"2", 0, 1);
    EXPECT_EQ(Text(MinLengthEdit()), "20000");
    EXPECT_EQ(PluginConfig->MinFileSize(), 20000);
    EXPECT_EQ(Value("MinFileSize"), "20000");
    // Negative times and zero are no error: the crossfade time takes them, the length follows.
    TypeInto(CrossfadeEdit(), L"-40");
    EXPECT_EQ(PluginConfig->FadeTime(), -40);
    EXPECT_EQ(PluginConfig->MinFileSize(), 20000);
}

TEST_F(ConfigDialog, TextThatIsNoNumberStoresNothingAndStaysAsTyped) {
    Open();
    Erase(CrossfadeEdit());
    EXPECT_EQ(Text(CrossfadeEdit()), "");
    EXPECT_EQ(PluginConfig->FadeTime(), 5000);
    TypeInto(CrossfadeEdit(), L"abc");
    EXPECT_EQ(Text(CrossfadeEdit()), "abc");
    EXPECT_EQ(PluginConfig->FadeTime(), 5000);
    EXPECT_EQ(Text(MinLengthEdit()), "10000");
    TypeInto(MinLengthEdit(), L"0x3A98"); // a hexadecimal form is no decimal number either
    EXPECT_EQ(PluginConfig->MinFileSize(), 10000);
    EXPECT_FALSE(fs::exists(IniFile()));
}

TEST_F(ConfigDialog, AHugeCrossfadeTimeHoldsTheMinimumLengthAtTheLargestTime) {
    Open();
    TypeInto(CrossfadeEdit(), L"2000000000");
    EXPECT_EQ(PluginConfig->FadeTime(), 2000000000);
    EXPECT_EQ(PluginConfig->MinFileSize(), 2147483647);
    EXPECT_EQ(Text(MinLengthEdit()), "2147483647");
}

TEST_F(ConfigDialog, TheTrackBarSetsTheRunningThreadsPriorityAndTheGroupsCaption) {
    Open();
    ASSERT_EQ(PlaybackThreadPriority(), THREAD_PRIORITY_ABOVE_NORMAL);
    SetFocus(TrackBar());
    PostKey(TrackBar(), VK_END);
    EXPECT_EQ(SendMessageW(TrackBar(), TBM_GETPOS, 0, 0), 6);
    EXPECT_EQ(PlaybackThreadPriority(), THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_EQ(PluginConfig->PlaybackThreadPriority(), TPriorityLevel::TimeCritical);
    EXPECT_EQ(Value("PlaybackThreadPriority"), "TimeCritical");
    EXPECT_EQ(Text(Control(kPlaybackThreadPriorityGroupBoxId)),
              "Playback Thread Priority (TimeCritical)");

    PostKey(TrackBar(), VK_HOME);
    EXPECT_EQ(PlaybackThreadPriority(), THREAD_PRIORITY_IDLE);
    EXPECT_EQ(Value("PlaybackThreadPriority"), "Idle");
    PostKey(TrackBar(), VK_RIGHT);
    EXPECT_EQ(PlaybackThreadPriority(), THREAD_PRIORITY_LOWEST);
    EXPECT_EQ(Text(Control(kPlaybackThreadPriorityGroupBoxId)),
              "Playback Thread Priority (Lowest)");
}

// In the dialog's font every caption and value is seen whole, the priority group's with each
// level's name too.
TEST_F(ConfigDialog, EveryTextFitsItsControl) {
    Open();
    ExpectEveryTextFits(dialog);
    SetFocus(TrackBar());
    PostKey(TrackBar(), VK_HOME);
    for (int level = 0; level < 7; ++level) {
        SCOPED_TRACE(Text(Control(kPlaybackThreadPriorityGroupBoxId)));
        const TextFit fit = MeasureText(Control(kPlaybackThreadPriorityGroupBoxId));
        EXPECT_LE(fit.Text, fit.Room);
        PostKey(TrackBar(), VK_RIGHT);
    }
}

TEST_F(ConfigDialog, TheCheckBoxHandsTheShapeToTheEngineAtOnce) {
    Open();
    ASSERT_FALSE(CrossfadeState.IsLogCurve());
    Click(Control(kLogTransCheckBoxId));
    EXPECT_EQ(SendMessageW(Control(kLogTransCheckBoxId), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_TRUE(PluginConfig->LogTrans());
    EXPECT_TRUE(CrossfadeState.IsLogCurve());
    EXPECT_EQ(Value("LogTrans"), "1");
    Click(Control(kLogTransCheckBoxId));
    EXPECT_FALSE(CrossfadeState.IsLogCurve());
    EXPECT_EQ(Value("LogTrans"), "0");
}

// ---------------------------------------------------------------------------------------------
// The transition options behind "More..."

class TransitionOptionsDialog : public ConfigDialog {
  protected:
    void OpenOptions() {
        Open();
        Click(Control(kMoreButtonId));
        ASSERT_NE(ConfigForm->TransitionOptions(), nullptr);
        options = ConfigForm->TransitionOptions()->Handle();
        ASSERT_TRUE(IsWindow(options));
    }
    HWND Option(int id) const { return GetDlgItem(options, id); }
    bool Checked(HWND button) const {
        return SendMessageW(button, BM_GETCHECK, 0, 0) == BST_CHECKED;
    }
    HWND options = nullptr;
};

TEST_F(TransitionOptionsDialog, MoreOpensOneOwnedDialogShowingTheOptionsAndWritesNothing) {
    const std::string content = "[HVQBlend]\r\nFadeTime=3000\r\nMinFileSize=9000\r\nLogTrans=1\r\n"
                                "PlaybackThreadPriority=Idle\r\n";
    WriteBytes(IniFile(), content);
    OpenOptions();
    EXPECT_EQ(GetWindow(options, GW_OWNER), dialog);
    EXPECT_TRUE(IsWindowVisible(options));
    EXPECT_EQ(Text(options), kOptionsCaption);
    EXPECT_FALSE(Checked(Option(kLinearRadioId)));
    EXPECT_TRUE(Checked(Option(kLogarithmicRadioId)));
    EXPECT_FALSE(Checked(Option(kEqualPowerRadioId)));
    EXPECT_FALSE(Checked(Option(kSkipFadeCheckBoxId)));
    EXPECT_EQ(Text(Option(kSkipFadeTimeEditId)), "1000");
    EXPECT_FALSE(IsWindowEnabled(Option(kSkipFadeTimeEditId)));
    EXPECT_FALSE(Checked(Option(kFadeAcrossFormatsCheckBoxId)));
    for (const auto &[box, edit, level] :
         {std::tuple{kSkipSilenceCheckBoxId, kSilenceThresholdEditId, "-50"},
          std::tuple{kFadeOverOwnFadeOutCheckBoxId, kOwnFadeOutDropEditId, "12"}}) {
        EXPECT_FALSE(Checked(Option(box))) << box;
        EXPECT_EQ(Text(Option(edit)), level);
        EXPECT_FALSE(IsWindowEnabled(Option(edit))) << edit;
    }
    EXPECT_FALSE(Checked(Option(kPlayAlbumsThroughCheckBoxId)));
    // A second click brings the same dialog back.
    Click(Control(kMoreButtonId));
    EXPECT_EQ(ConfigForm->TransitionOptions()->Handle(), options);
    EXPECT_EQ(ReadBytes(IniFile()), content);
}

TEST_F(TransitionOptionsDialog, HoldsItsControlsInTabOrderInAWindowSmallerThanTheConfiguration) {
    OpenOptions();
    struct Expected {
        int Id;
        const char *Caption; // null: not checked here
        int Group;           // the group box it sits inside, or 0
        RECT Place;
    };
    const Expected expected[] = {
        {kCurveGroupBoxId, "Transition Curve", 0, {8, 8, 249, 41}},
        {kLinearRadioId, "Linear", kCurveGroupBoxId, {8, 16, 53, 17}},
        {kLogarithmicRadioId, "Logarithmic", kCurveGroupBoxId, {63, 16, 86, 17}},
        {kEqualPowerRadioId, "Equal Power", kCurveGroupBoxId, {151, 16, 90, 17}},
        {kSkipFadeCheckBoxId, "Fade When Skipping to Another Track", 0, {8, 56, 249, 17}},
        {kSkipFadeTimeLabelId, "Fade Time (in Milliseconds):", 0, {24, 81, 160, 17}},
        {kSkipFadeTimeEditId, nullptr, 0, {188, 78, 69, 21}},
        {kFadeAcrossFormatsCheckBoxId,
         "Crossfade Tracks of Different Formats",
         0,
         {8, 106, 249, 17}},
        {kSkipSilenceCheckBoxId, "Skip Silence at Track Edges", 0, {8, 130, 177, 17}},
        {kSilenceThresholdEditId, nullptr, 0, {188, 128, 34, 21}},
        {kSilenceThresholdUnitId, "dBFS", 0, {225, 131, 32, 17}},
        {kFadeOverOwnFadeOutCheckBoxId, "Crossfade Over Fade-Outs", 0, {8, 156, 177, 17}},
        {kOwnFadeOutDropEditId, nullptr, 0, {188, 154, 34, 21}},
        {kOwnFadeOutDropUnitId, "dB", 0, {225, 157, 32, 17}},
        {kPlayAlbumsThroughCheckBoxId, "Play Albums Through, No Crossfades", 0, {8, 182, 249, 17}},
        {kOptionsDoneButtonId, "Done", 0, {182, 206, 75, 25}},
    };
    HWND control = GetWindow(options, GW_CHILD);
    for (const Expected &item : expected) {
        ASSERT_NE(control, nullptr) << "missing control " << item.Id;
        EXPECT_EQ(GetDlgCtrlID(control), item.Id);
        if (item.Caption) {
            EXPECT_EQ(Text(control), item.Caption);
        }
        const RECT place =
            item.Group ? PlaceFrom(control, Option(item.Group)) : PlaceIn(control, options);
        EXPECT_TRUE(
            IsPlace(place, item.Place.left, item.Place.top, item.Place.right, item.Place.bottom))
            << "control " << item.Id;
        control = GetWindow(control, GW_HWNDNEXT);
    }
    EXPECT_EQ(control, nullptr);
    EXPECT_EQ(GetWindowLongW(Option(kFadeAcrossFormatsCheckBoxId), GWL_STYLE) & BS_TYPEMASK,
              BS_AUTOCHECKBOX);
    // The Done button keeps the margin below it that it has on the right; the configuration
    // dialog is wider and higher.
    RECT client{}, dialogClient{};
    GetClientRect(options, &client);
    GetClientRect(dialog, &dialogClient);
    EXPECT_EQ(client.bottom, 239);
    EXPECT_GE(client.right, 257 + 8);
    EXPECT_LT(client.right, dialogClient.right);
    EXPECT_LT(client.bottom, dialogClient.bottom);

    // Tab walks the groups: the chosen curve, the options (their fields are off with them), Done.
    SetFocus(Option(kLinearRadioId));
    const std::vector<int> order = {kLinearRadioId,
                                    kSkipFadeCheckBoxId,
                                    kFadeAcrossFormatsCheckBoxId,
                                    kSkipSilenceCheckBoxId,
                                    kFadeOverOwnFadeOutCheckBoxId,
                                    kPlayAlbumsThroughCheckBoxId,
                                    kOptionsDoneButtonId,
                                    kLinearRadioId};
    for (std::size_t i = 1; i < order.size(); ++i) {
        PostKey(GetFocus(), VK_TAB);
        EXPECT_EQ(GetDlgCtrlID(GetFocus()), order[i]) << "after Tab number " << i;
    }
}

// Every caption and level is seen whole, a level at either end of its range too.
TEST_F(TransitionOptionsDialog, EveryTextFitsItsControl) {
    OpenOptions();
    ExpectEveryTextFits(options);
    Click(Option(kSkipSilenceCheckBoxId));
    Click(Option(kFadeOverOwnFadeOutCheckBoxId));
    for (const auto &[edit, level] : {std::pair{kSilenceThresholdEditId, L"-90"},
                                      std::pair{kSilenceThresholdEditId, L"-20"},
                                      std::pair{kOwnFadeOutDropEditId, L"40"}}) {
        TypeInto(Option(edit), level);
        SCOPED_TRACE(Text(Option(edit)));
        const TextFit fit = MeasureText(Option(edit));
        EXPECT_LE(fit.Text, fit.Room);
    }
}

// It opens beside the configuration dialog, tops level, covering none of it.
TEST_F(TransitionOptionsDialog, OpensBesideTheConfigurationDialog) {
    OpenOptions();
    RECT beside{}, owner{}, overlap{};
    GetWindowRect(options, &beside);
    GetWindowRect(dialog, &owner);
    EXPECT_FALSE(IntersectRect(&overlap, &beside, &owner))
        << "at " << beside.left << "," << beside.top << " over the dialog at " << owner.left << ","
        << owner.top;
    EXPECT_EQ(beside.top, owner.top);
    EXPECT_EQ(beside.left, owner.right);
}

TEST_F(TransitionOptionsDialog, TheCurveAppliesAtOnceAndTheCheckBoxFollowsIt) {
    OpenOptions();
    ASSERT_EQ(CrossfadeState.GetCurve(), TFadeCurve::Linear);
    Click(Option(kEqualPowerRadioId));
    EXPECT_EQ(CrossfadeState.GetCurve(), TFadeCurve::EqualPower);
    EXPECT_TRUE(PluginConfig->EqualPowerTrans());
    EXPECT_EQ(Value("EqualPowerTrans"), "1");
    EXPECT_EQ(Value("LogTrans"), "0");

    Click(Option(kLogarithmicRadioId));
    EXPECT_EQ(CrossfadeState.GetCurve(), TFadeCurve::Logarithmic);
    EXPECT_EQ(Value("EqualPowerTrans"), "0");
    EXPECT_EQ(Value("LogTrans"), "1");
    EXPECT_TRUE(Checked(Control(kLogTransCheckBoxId)));

    Click(Option(kEqualPowerRadioId));
    EXPECT_FALSE(Checked(Control(kLogTransCheckBoxId)));
    // The configuration dialog's check box chooses logarithmic, and the options show it.
    Click(Control(kLogTransCheckBoxId));
    EXPECT_EQ(CrossfadeState.GetCurve(), TFadeCurve::Logarithmic);
    EXPECT_FALSE(PluginConfig->EqualPowerTrans());
    EXPECT_TRUE(Checked(Option(kLogarithmicRadioId)));
    EXPECT_FALSE(Checked(Option(kEqualPowerRadioId)));

    Click(Option(kLinearRadioId));
    EXPECT_EQ(CrossfadeState.GetCurve(), TFadeCurve::Linear);
    EXPECT_EQ(Value("LogTrans"), "0");
}

TEST_F(TransitionOptionsDialog, TheSkipFadeAndItsTimeAreStoredAsTyped) {
    OpenOptions();
    Click(Option(kSkipFadeCheckBoxId));
    EXPECT_TRUE(PluginConfig->SkipFade());
    EXPECT_EQ(Value("SkipFade"), "1");
    EXPECT_EQ(Value("SkipFadeTime"), "<missing>");
    EXPECT_TRUE(IsWindowEnabled(Option(kSkipFadeTimeEditId)));
    TypeInto(Option(kSkipFadeTimeEditId), L"2500");
    EXPECT_EQ(PluginConfig->SkipFadeTime(), 2500);
    EXPECT_EQ(Value("SkipFadeTime"), "2500");
    TypeInto(Option(kSkipFadeTimeEditId), L"x");
    EXPECT_EQ(PluginConfig->SkipFadeTime(), 2500);
    EXPECT_EQ(Text(Option(kSkipFadeTimeEditId)), "x");
    // Enter and Escape close the options only; the configuration dialog stays.
    PostKey(Option(kSkipFadeTimeEditId), VK_RETURN);
    EXPECT_FALSE(IsWindow(options));
    EXPECT_EQ(ConfigForm->TransitionOptions(), nullptr);
    EXPECT_TRUE(IsWindow(dialog));
    OpenOptions();
    EXPECT_EQ(Text(Option(kSkipFadeTimeEditId)), "2500");
    PostKey(Option(kSkipFadeCheckBoxId), VK_ESCAPE);
    EXPECT_FALSE(IsWindow(options));
    EXPECT_TRUE(IsWindow(dialog));
}

TEST_F(TransitionOptionsDialog, TheFormatsCheckBoxTurnsTheOptionOnAndOffAtOnce) {
    const std::string content = "[HVQBlend]\r\nFadeTime=3000\r\nMinFileSize=9000\r\nLogTrans=0\r\n"
                                "PlaybackThreadPriority=Higher\r\n";
    WriteBytes(IniFile(), content);
    OpenOptions();
    Click(Option(kFadeAcrossFormatsCheckBoxId));
    EXPECT_TRUE(Checked(Option(kFadeAcrossFormatsCheckBoxId)));
    EXPECT_TRUE(PluginConfig->FadeAcrossFormats());
    // Only this option's key joins the four; the others stay out of the file.
    EXPECT_EQ(ReadBytes(IniFile()), content + "FadeAcrossFormats=1\r\n");
    // The space bar, as a keyboard user toggles it.
    PostKey(Option(kFadeAcrossFormatsCheckBoxId), VK_SPACE);
    EXPECT_FALSE(PluginConfig->FadeAcrossFormats());
    EXPECT_EQ(Value("FadeAcrossFormats"), "0");

    Click(Option(kFadeAcrossFormatsCheckBoxId));
    PostKey(Option(kFadeAcrossFormatsCheckBoxId), VK_ESCAPE);
    ASSERT_FALSE(IsWindow(options));
    // Opened again, the dialog shows what the settings hold.
    OpenOptions();
    EXPECT_TRUE(Checked(Option(kFadeAcrossFormatsCheckBoxId)));
    EXPECT_FALSE(Checked(Option(kSkipFadeCheckBoxId)));
    EXPECT_EQ(Value("FadeAcrossFormats"), "1");
    EXPECT_EQ(Value("SkipFade"), "<missing>");
}

// Each option that follows the music is stored as its check box changes, its level (enabled
// with it) as typed where it is a number in its range: a level half typed stores nothing.
TEST_F(TransitionOptionsDialog, TheMusicOptionsAndTheirLevelsAreStoredAsTyped) {
    const std::string content = "[HVQBlend]\r\nFadeTime=3000\r\nMinFileSize=9000\r\nLogTrans=0\r\n"
                                "PlaybackThreadPriority=Higher\r\n";
    WriteBytes(IniFile(), content);
    OpenOptions();
    struct Case {
        int Box;
        const char *Key;
        bool (TPluginConfig::*On)() const;
        int Edit; // 0: no level
        const char *LevelKey;
        std::int32_t (TPluginConfig::*Level)() const;
        const wchar_t *Typed, *Outside; // a level in the range, and one beyond it
    };
    const Case cases[] = {
        {kSkipSilenceCheckBoxId, "SkipSilence", &TPluginConfig::SkipSilence,
         kSilenceThresholdEditId, "SilenceThreshold", &TPluginConfig::SilenceThresholdDb, L"-90",
         L"-9"},
        {kFadeOverOwnFadeOutCheckBoxId, "FadeOverOwnFadeOut", &TPluginConfig::FadeOverOwnFadeOut,
         kOwnFadeOutDropEditId, "OwnFadeOutDrop", &TPluginConfig::OwnFadeOutDropDb, L"3", L"2"},
        {kPlayAlbumsThroughCheckBoxId, "PlayAlbumsThrough", &TPluginConfig::PlayAlbumsThrough, 0,
         nullptr, nullptr, nullptr, nullptr},
    };
    std::string written = content;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Key);
        Click(Option(c.Box));
        EXPECT_TRUE((PluginConfig->*c.On)());
        // Only this option's key joins the file.
        written += std::string(c.Key) + "=1\r\n";
        EXPECT_EQ(ReadBytes(IniFile()), written);
        if (!c.Edit)
            continue;
        EXPECT_TRUE(IsWindowEnabled(Option(c.Edit)));
        TypeInto(Option(c.Edit), c.Typed);
        EXPECT_EQ(Value(c.LevelKey), WideToAnsi(c.Typed));
        for (const wchar_t *ignored : {c.Outside, L"-", L"x"}) {
            TypeInto(Option(c.Edit), ignored);
            EXPECT_EQ(Text(Option(c.Edit)), WideToAnsi(ignored));
            EXPECT_EQ(std::to_wstring((PluginConfig->*c.Level)()), c.Typed);
        }
        PostKey(Option(c.Box), VK_SPACE);
        EXPECT_FALSE((PluginConfig->*c.On)());
        EXPECT_EQ(Value(c.Key), "0");
        EXPECT_FALSE(IsWindowEnabled(Option(c.Edit)));
        written = ReadBytes(IniFile());
    }
}

TEST_F(TransitionOptionsDialog, GoesWithTheConfigurationDialogAndWithQuit) {
    OpenOptions();
    Click(Control(kDoneButtonId));
    EXPECT_FALSE(IsWindow(options));
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(ConfigForm, nullptr);

    PluginConfigure(host.MainWindow());
    Drain();
    dialog = ConfigForm->Handle();
    Click(Control(kMoreButtonId));
    options = ConfigForm->TransitionOptions()->Handle();
    PluginQuit();
    EXPECT_FALSE(IsWindow(options));
    EXPECT_FALSE(IsWindow(dialog));
}

TEST_F(ConfigDialog, DoneAndTheCloseBoxCloseTheDialogAndChangedSettingsStaySaved) {
    Open();
    TypeInto(CrossfadeEdit(), L"4000");
    const std::string saved = ReadBytes(IniFile());
    Click(Control(kDoneButtonId));
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(ConfigForm, nullptr);
    EXPECT_EQ(ReadBytes(IniFile()), saved); // closing writes nothing more

    PluginConfigure(host.MainWindow());
    ASSERT_NE(ConfigForm, nullptr);
    dialog = ConfigForm->Handle();
    EXPECT_EQ(Text(CrossfadeEdit()), "4000");
    PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); // the title bar's close box
    Drain();
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(ConfigForm, nullptr);
    EXPECT_TRUE(OpenDialogs().empty());
}

TEST_F(ConfigDialog, TabAndShiftTabWalkTheControlsInTabOrder) {
    Open();
    EXPECT_EQ(GetFocus(), CrossfadeEdit());
    const std::vector<HWND> order = {CrossfadeEdit(),
                                     MinLengthEdit(),
                                     Control(kDoneButtonId),
                                     Control(kLogTransCheckBoxId),
                                     TrackBar(),
                                     Control(kMoreButtonId),
                                     CrossfadeEdit()};
    for (std::size_t i = 1; i < order.size(); ++i) {
        PostKey(GetFocus(), VK_TAB);
        EXPECT_EQ(GetFocus(), order[i]) << "after Tab number " << i;
    }
    // Tabbing into an edit selects its text, so typing replaces it.
    DWORD start = 1, end = 0;
    SendMessageW(CrossfadeEdit(), EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(end, 4u);

    ShiftHeld shift;
    for (std::size_t i = order.size() - 1; i > 0; --i) {
        PostKey(GetFocus(), VK_TAB);
        EXPECT_EQ(GetFocus(), order[i - 1]) << "after Shift+Tab to " << i - 1;
    }
}

TEST_F(ConfigDialog, EnterPressesDoneFromAnEdit) {
    Open();
    TypeInto(MinLengthEdit(), L"3", 0, 1);
    PostKey(MinLengthEdit(), VK_RETURN);
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(ConfigForm, nullptr);
    EXPECT_EQ(PluginConfig->MinFileSize(), 30000);
}

TEST_F(ConfigDialog, EscapeCloses) {
    Open();
    SetFocus(Control(kLogTransCheckBoxId));
    PostKey(Control(kLogTransCheckBoxId), VK_ESCAPE);
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(ConfigForm, nullptr);
    EXPECT_FALSE(PluginConfig->LogTrans());
}

TEST_F(ConfigDialog, ASecondConfigBringsTheOpenDialogToTheFront) {
    Open();
    TConfigForm *first = ConfigForm;
    SetForegroundWindow(host.MainWindow());
    ASSERT_NE(GetForegroundWindow(), dialog);
    PluginConfigure(host.MainWindow());
    Drain();
    EXPECT_EQ(ConfigForm, first);
    EXPECT_EQ(OpenDialogs(), std::vector<HWND>{dialog});
    EXPECT_EQ(GetForegroundWindow(), dialog);
}

TEST_F(ConfigDialog, AFailedWriteIsShownOverTheDialogWhichKeepsWorking) {
    WriteBytes(IniFile(), "[HVQBlend]\r\nFadeTime=5000\r\n");
    Open();
    UnwritableFile held(IniFile());
    ASSERT_TRUE(held.Holds());
    BoxWatcher watcher;
    Click(Control(kLogTransCheckBoxId));
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    const BoxWatcher::Box box = watcher.Boxes()[0];
    EXPECT_EQ(box.Caption, "Halvern Q-Blend");
    EXPECT_EQ(box.Text, "Unable to write to " + Ansi(IniFile()));
    EXPECT_EQ(box.Owner, dialog);
    // The value is kept in memory and the engine follows it.
    EXPECT_TRUE(PluginConfig->LogTrans());
    EXPECT_TRUE(CrossfadeState.IsLogCurve());

    // One box for each key, though typing the last one fails twice (both edits' values).
    TypeInto(CrossfadeEdit(), L"6000");
    EXPECT_EQ(watcher.Boxes().size(), 5u);
    EXPECT_EQ(PluginConfig->FadeTime(), 6000);
    EXPECT_EQ(PluginConfig->MinFileSize(), 12000);
    EXPECT_EQ(Text(MinLengthEdit()), "12000");
    ASSERT_TRUE(IsWindow(dialog));
    EXPECT_TRUE(IsWindowEnabled(dialog));

    // Once the file can be written again, the next change saves everything the dialog holds.
    held.Release();
    SetFocus(TrackBar());
    PostKey(TrackBar(), VK_LEFT);
    EXPECT_EQ(watcher.Boxes().size(), 5u);
    EXPECT_EQ(Value("FadeTime"), "6000");
    EXPECT_EQ(Value("MinFileSize"), "12000");
    EXPECT_EQ(Value("LogTrans"), "1");
    EXPECT_EQ(Value("PlaybackThreadPriority"), "Normal");
}

TEST_F(ConfigDialog, QuitDestroysTheOpenDialogBeforeTheSettings) {
    Open();
    TypeInto(CrossfadeEdit(), L"7000");
    PluginQuit();
    EXPECT_EQ(ConfigForm, nullptr);
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(PluginConfig, nullptr);
    EXPECT_EQ(Value("FadeTime"), "7000");
    // Config after Quit has no settings to show and opens nothing.
    PluginConfigure(host.MainWindow());
    EXPECT_EQ(ConfigForm, nullptr);
    EXPECT_TRUE(OpenDialogs().empty());
}

// A host that opens the dialog on another of its threads still gets it destroyed by Quit: the
// window belongs to that thread, which is asked to destroy it.
TEST_F(ConfigDialog, QuitFromAnotherThreadOfTheHostTakesTheDialogAway) {
    PluginInit();
    std::atomic<HWND> opened{nullptr};
    std::atomic<bool> gone{false}, giveUp{false};
    std::thread uiThread([&] {
        PluginConfigure(nullptr);
        const HWND window = ConfigForm ? ConfigForm->Handle() : nullptr;
        opened = window;
        MSG message;
        while (window && IsWindow(window) && !giveUp) {
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&message);
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
        gone = !IsWindow(window);
        DestroyWindow(window); // only when Quit left it behind
    });
    EXPECT_TRUE(host.WaitUntil([&] { return opened.load() != nullptr; }, 5000));
    PluginQuit();
    EXPECT_EQ(ConfigForm, nullptr);
    EXPECT_TRUE(host.WaitUntil([&] { return gone.load(); }, 5000));
    giveUp = true;
    uiThread.join();
    EXPECT_FALSE(IsWindow(opened.load()));
}

// ---------------------------------------------------------------------------------------------
// The built plug-in in the reference host

In_Module *StartProduct(RefHost &host, const ScratchFolder &scratch) {
    host.InstallProduct();
    host.State().IniPath = Ansi(scratch.Path() / L"winamp.ini");
    host.Start();
    return host.Product();
}

// A window's icon of one size (ICON_BIG, ICON_SMALL): its width and its pixels; none when it has
// no icon of that size.
struct IconPicture {
    int Width = 0;
    std::vector<std::uint8_t> Pixels;
};

IconPicture IconOf(HWND window, WPARAM size) {
    IconPicture picture;
    ICONINFO info{};
    const auto icon = reinterpret_cast<HICON>(SendMessageW(window, WM_GETICON, size, 0));
    if (!icon || !GetIconInfo(icon, &info))
        return picture;
    BITMAP bitmap{};
    GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
    picture.Width = bitmap.bmWidth;
    picture.Pixels.resize(static_cast<std::size_t>(bitmap.bmWidthBytes) * bitmap.bmHeight);
    GetBitmapBits(info.hbmColor, static_cast<LONG>(picture.Pixels.size()), picture.Pixels.data());
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    return picture;
}

// The dialog and the transition options its "More..." opens carry the plug-in's icon, in both
// sizes (not the system's default).
TEST(ConfigDialogInHost, TheHostsConfigureOpensTheDialogWithThePluginsIcon) {
    ScratchFolder scratch;
    RefHost host;
    In_Module *product = StartProduct(host, scratch);
    product->Config(host.MainWindow());
    host.Pump(0);
    const std::vector<HWND> dialogs = OpenDialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(GetWindow(dialogs[0], GW_OWNER), host.MainWindow());
    SendMessageW(GetDlgItem(dialogs[0], kMoreButtonId), BM_CLICK, 0, 0);
    const HWND options = FindWindowA(nullptr, kOptionsCaption);
    ASSERT_NE(options, nullptr);
    for (const WPARAM which : {ICON_BIG, ICON_SMALL}) {
        const IconPicture own = IconOf(dialogs[0], which);
        EXPECT_EQ(own.Width, GetSystemMetrics(which == ICON_BIG ? SM_CXICON : SM_CXSMICON));
        const IconPicture more = IconOf(options, which);
        EXPECT_EQ(more.Width, own.Width);
        EXPECT_TRUE(more.Pixels == own.Pixels) << "the options show another icon";
    }
    host.Shutdown();
}

TEST(ConfigDialogInHost, QuitWithTheDialogOpenLeavesNothingThatOutlivesTheLibrary) {
    {
        ScratchFolder scratch;
        RefHost host;
        In_Module *product = StartProduct(host, scratch);
        product->Config(host.MainWindow());
        host.Pump(0);
        const std::vector<HWND> dialogs = OpenDialogs();
        ASSERT_EQ(dialogs.size(), 1u);
        HMODULE library = host.Plugin(L"in_hvqblend.dll")->Library;
        auto *const *form =
            reinterpret_cast<TConfigForm *const *>(GetProcAddress(library, "_ConfigForm"));
        ASSERT_NE(form, nullptr);
        EXPECT_NE(*form, nullptr);
        host.Shutdown();
        EXPECT_EQ(*form, nullptr);
        EXPECT_FALSE(IsWindow(dialogs[0]));
    } // the host releases the library here
    // Keys of this thread pass through any hook the library left: it would run freed code.
    const HWND window = CreateWindowExW(0, L"EDIT", L"", WS_POPUP, 0, 0, 50, 20, nullptr, nullptr,
                                        nullptr, nullptr);
    PostMessageW(window, WM_KEYDOWN, VK_TAB, 1);
    PostMessageW(window, WM_CHAR, L'x', 1);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&message);
    EXPECT_EQ(Text(window), "x");
    DestroyWindow(window);
}

// The icon group in the DLL's resources: the four sizes, each a 32-bit image.
TEST(PluginIcon, TheLibraryCarriesOneIconWithFourSizes) {
    HMODULE library = LoadLibraryExW((RefHost::BuildFolder() / L"in_hvqblend.dll").c_str(), nullptr,
                                     LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(library, nullptr);
    HRSRC found = FindResourceA(library, MAKEINTRESOURCEA(IDI_HVQBLEND), RT_GROUP_ICON);
    ASSERT_NE(found, nullptr);
    const auto *group = static_cast<const BYTE *>(LockResource(LoadResource(library, found)));
    ASSERT_NE(group, nullptr);
    const auto count = *reinterpret_cast<const WORD *>(group + 4);
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        const BYTE *entry = group + 6 + i * 14;
        sizes.push_back(entry[0]);
        EXPECT_EQ(*reinterpret_cast<const WORD *>(entry + 6), 32) << "bits of image " << i;
    }
    EXPECT_EQ(sizes, (std::vector<int>{64, 48, 32, 16}));
    FreeLibrary(library);
}

} // namespace
