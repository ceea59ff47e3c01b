// The about window as a user meets it: opened through the module's About entry on a host thread
// of its own, driven by window messages, and read back by its window texts and its pixels.
#include "RefHost.h"
#include "globals/PluginGlobals.h"
#include "globals/ResourceIds.h"
#include "support/Library.h"
#include "ui/AboutFormUnit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

using support::Library;

constexpr int kWidth = 477, kHeight = 331;
constexpr int kBoxLeft = 402, kBoxTop = 272, kBoxWidth = 73, kBoxHeight = 57;
constexpr int kTimeoutMs = 20000;

// Waits (generously: the machine may be loaded) until the condition holds.
template <class F>
bool Eventually(F condition) {
    for (int waited = 0; waited < kTimeoutMs; waited += 5) {
        if (condition())
            return true;
        Sleep(5);
    }
    return condition();
}

HWND FindAboutWindow() {
    return FindWindowW(L"TAboutForm", nullptr);
}

// Pixels of a window read back from its DC: what the window shows.
class Snapshot {
  public:
    explicit Snapshot(HWND window) {
        RECT client{};
        GetClientRect(window, &client);
        width_ = client.right;
        height_ = client.bottom;
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width_;
        info.bmiHeader.biHeight = -height_;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        void *bits = nullptr;
        HDC dc = GetDC(window);
        HDC memory = CreateCompatibleDC(dc);
        HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width_, height_, dc, 0, 0, SRCCOPY);
        GdiFlush();
        const auto *pixels = static_cast<const DWORD *>(bits);
        pixels_.assign(pixels, pixels + width_ * height_);
        SelectObject(memory, old);
        DeleteObject(bitmap);
        DeleteDC(memory);
        ReleaseDC(window, dc);
    }
    int Width() const { return width_; }
    int Height() const { return height_; }
    COLORREF At(int x, int y) const {
        const DWORD p = pixels_[std::size_t(y) * width_ + x];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
    // The smallest rectangle around every pixel of the colour (empty when there is none).
    RECT BoundsOf(COLORREF colour, RECT within) const {
        RECT found{within.right, within.bottom, within.left, within.top};
        for (int y = within.top; y < within.bottom; ++y)
            for (int x = within.left; x < within.right; ++x)
                if (At(x, y) == colour) {
                    found.left = std::min<LONG>(found.left, x);
                    found.top = std::min<LONG>(found.top, y);
                    found.right = std::max<LONG>(found.right, x + 1);
                    found.bottom = std::max<LONG>(found.bottom, y + 1);
                }
        return found;
    }

  private:
    int width_ = 0, height_ = 0;
    std::vector<DWORD> pixels_;
};

std::string Text(HWND window) {
    char text[256] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

RECT PlaceInParent(HWND child) {
    RECT place{};
    GetWindowRect(child, &place);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT *>(&place), 2);
    return place;
}

LPARAM Point(int x, int y) {
    return MAKELPARAM(static_cast<WORD>(static_cast<short>(x)),
                      static_cast<WORD>(static_cast<short>(y)));
}

// The host's About button pressed on a host thread of its own, which also owns a window of
// the host's, so that the modal loop has something to disable.
class AboutSession {
  public:
    explicit AboutSession(In_Module *module) {
        thread_ = std::thread([this, module] {
            hostWindow_ = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                          0, 0, 200, 100, nullptr, nullptr, nullptr, nullptr);
            hostReady_ = true;
            module->About(hostWindow_);
            hostEnabledAfter_ = IsWindowEnabled(hostWindow_) != FALSE;
            returned_ = true;
            DestroyWindow(hostWindow_);
        });
        Eventually([&] { return hostReady_.load() && IsWindowVisible(FindAboutWindow()); });
        window_ = FindAboutWindow();
        // Answered only from the modal loop, so the window has been drawn by then.
        SendMessageW(window_, WM_NULL, 0, 0);
    }
    ~AboutSession() {
        if (!returned_ && IsWindow(window_))
            PostMessageW(window_, WM_CHAR, VK_RETURN, 0);
        thread_.join();
    }
    AboutSession(const AboutSession &) = delete;
    AboutSession &operator=(const AboutSession &) = delete;

    HWND Window() const { return window_; }
    HWND HostWindow() const { return hostWindow_; }
    HWND Button() const { return GetDlgItem(window_, kAboutPaintBox1Id); }
    HWND Label(int id) const { return GetDlgItem(window_, id); }
    bool Returned() const { return returned_; }
    bool HostWindowEnabledAfterwards() const { return hostEnabledAfter_; }
    bool WaitReturned() {
        return Eventually([&] { return returned_.load(); });
    }

    void Mouse(UINT message, WPARAM keys, int x, int y) const {
        SendMessageW(Button(), message, keys, Point(x, y));
    }

  private:
    std::thread thread_;
    std::atomic<bool> hostReady_{false};
    std::atomic<bool> returned_{false};
    std::atomic<bool> hostEnabledAfter_{false};
    HWND hostWindow_ = nullptr;
    HWND window_ = nullptr;
};

// The drawn button as it looks, told apart by its bevels and the place of its caption.
struct ButtonLook {
    COLORREF TopLeftBevel;
    COLORREF BottomRightBevel;
    RECT Caption; // bounds of the caption's light red pixels
};

ButtonLook LookOf(HWND button) {
    const Snapshot box(button);
    return {box.At(1, kBoxHeight / 2), box.At(kBoxWidth - 3, kBoxHeight / 2),
            box.BoundsOf(kAboutTextRed, {0, 0, kBoxWidth, kBoxHeight})};
}

bool LooksRaised(HWND button) {
    const ButtonLook look = LookOf(button);
    return look.TopLeftBevel == kAboutLightBlue && look.BottomRightBevel == kAboutDarkBlue;
}

bool LooksSunken(HWND button) {
    const ButtonLook look = LookOf(button);
    return look.TopLeftBevel == kAboutDarkBlue && look.BottomRightBevel == kAboutLightBlue;
}

BOOL CALLBACK CountAboutWindow(HWND window, LPARAM count) {
    wchar_t name[32] = {};
    GetClassNameW(window, name, 32);
    *reinterpret_cast<int *>(count) += std::wstring(name) == L"TAboutForm";
    return TRUE;
}

int CountAboutWindows() {
    int windows = 0;
    EnumWindows(&CountAboutWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

// Whether the dialog is still open after what was done to it: a press posted behind it shows
// the button sunken only if the modal loop went on taking messages; a loop that was told to
// end stops at the message that woke it, before the press. Releases the button outside.
bool StaysOpen(AboutSession &about) {
    PostMessageW(about.Button(), WM_LBUTTONDOWN, MK_LBUTTON, Point(36, 28));
    Eventually([&] { return about.Returned() || LooksSunken(about.Button()); });
    if (about.Returned())
        return false;
    about.Mouse(WM_LBUTTONUP, 0, 200, 200);
    return !about.Returned();
}

std::string DllVersionLine(const wchar_t *dll) {
    Library library(dll);
    AboutSession about(library.Module());
    return Text(about.Label(kAboutLabel2Id));
}

TEST(AboutWindow, IsABorderlessTopmostBlueWindowCentredOnTheScreen) {
    Library library(L"in_hvqblend.dll");
    AboutSession about(library.Module());
    const HWND window = about.Window();
    ASSERT_NE(window, nullptr);

    const LONG style = GetWindowLongW(window, GWL_STYLE);
    EXPECT_TRUE(style & WS_POPUP);
    EXPECT_FALSE(style & (WS_CAPTION | WS_BORDER | WS_DLGFRAME | WS_THICKFRAME | WS_SYSMENU));
    EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    EXPECT_TRUE(GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_EQ(Text(window), "About");
    // The plug-in's icon when the library carries one, and none otherwise.
    const bool hasIcon = FindResourceW(library.Handle(), MAKEINTRESOURCEW(IDI_HVQBLEND),
                                       MAKEINTRESOURCEW(14)) != nullptr; // RT_GROUP_ICON
    EXPECT_EQ(SendMessageW(window, WM_GETICON, ICON_BIG, 0) != 0, hasIcon);
    EXPECT_EQ(SendMessageW(window, WM_GETICON, ICON_SMALL, 0) != 0, hasIcon);

    RECT client{}, outer{};
    GetClientRect(window, &client);
    GetWindowRect(window, &outer);
    EXPECT_EQ(client.right, kWidth);
    EXPECT_EQ(client.bottom, kHeight);
    EXPECT_EQ(outer.right - outer.left, kWidth); // no frame at all
    EXPECT_EQ(outer.left, (GetSystemMetrics(SM_CXSCREEN) - kWidth) / 2);
    EXPECT_EQ(outer.top, (GetSystemMetrics(SM_CYSCREEN) - kHeight) / 2);

    // Modal: the host's window of the calling thread is disabled until the dialog has closed.
    EXPECT_FALSE(IsWindowEnabled(about.HostWindow()));
    const RECT box = PlaceInParent(about.Button());
    EXPECT_EQ(box.left, kBoxLeft);
    EXPECT_EQ(box.top, kBoxTop);
    EXPECT_EQ(box.right - box.left, kBoxWidth);
    EXPECT_EQ(box.bottom - box.top, kBoxHeight);

    PostMessageW(window, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    ASSERT_TRUE(about.WaitReturned());
    EXPECT_TRUE(about.HostWindowEnabledAfterwards());
    EXPECT_FALSE(IsWindow(window));
}

TEST(AboutWindow, ShowsTheFourPicturesFromTheLibrarysResourcesInTheirPlaces) {
    Library library(L"in_hvqblend.dll");
    struct Expected {
        int Id, Left, Top, Width, Height;
    };
    const Expected pictures[] = {{IDB_ABOUT_PICTURE1, 223, 230, 32, 32},
                                 {IDB_ABOUT_PICTURE2, 0, 0, 477, 331},
                                 {IDB_ABOUT_PICTURE3, 62, 16, 353, 89},
                                 {IDB_ABOUT_PICTURE4, 118, 112, 242, 111}};
    AboutSession about(library.Module());
    const Snapshot window(about.Window());
    for (const Expected &picture : pictures) {
        SCOPED_TRACE(picture.Id);
        HRSRC found =
            FindResourceW(library.Handle(), MAKEINTRESOURCEW(picture.Id), MAKEINTRESOURCEW(2));
        ASSERT_NE(found, nullptr);
        const auto *header = static_cast<const BITMAPINFOHEADER *>(
            LockResource(LoadResource(library.Handle(), found)));
        EXPECT_EQ(header->biBitCount, 24);
        EXPECT_EQ(header->biWidth, picture.Width);
        EXPECT_EQ(header->biHeight, picture.Height);

        // The window shows the picture's pixels at its place (the emblem's see-through corners
        // aside, and where the labels and the button lie over the background).
        HBITMAP bitmap =
            static_cast<HBITMAP>(LoadImageW(library.Handle(), MAKEINTRESOURCEW(picture.Id),
                                            IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
        ASSERT_NE(bitmap, nullptr);
        HDC memory = CreateCompatibleDC(nullptr);
        HGDIOBJ old = SelectObject(memory, bitmap);
        const COLORREF key = GetPixel(memory, 0, picture.Height - 1);
        int compared = 0, differing = 0;
        for (int y = 0; y < picture.Height; y += 3)
            for (int x = 0; x < picture.Width; x += 3) {
                const int wx = picture.Left + x, wy = picture.Top + y;
                if (picture.Id == IDB_ABOUT_PICTURE2 &&
                    (wy >= 270 || (wx >= 223 && wx < 255 && wy >= 230)))
                    continue; // under the emblem, the labels and the button
                if (picture.Id == IDB_ABOUT_PICTURE2 &&
                    ((wx >= 62 && wx < 415 && wy >= 16 && wy < 105) ||
                     (wx >= 118 && wx < 360 && wy >= 112 && wy < 223)))
                    continue; // under the other pictures
                const COLORREF expected = GetPixel(memory, x, y);
                if (picture.Id == IDB_ABOUT_PICTURE1 && expected == key) {
                    EXPECT_NE(window.At(wx, wy), key) << x << "," << y;
                    continue;
                }
                ++compared;
                differing += window.At(wx, wy) != expected;
            }
        SelectObject(memory, old);
        DeleteDC(memory);
        DeleteObject(bitmap);
        EXPECT_GT(compared, 50);
        EXPECT_EQ(differing, 0);
    }
}

TEST(AboutWindow, VersionLineComesFromTheLibrarysOwnVersionResource) {
    EXPECT_EQ(DllVersionLine(L"in_hvqblend.dll"), "Version " HVQ_PROJECT_VERSION);
    EXPECT_EQ(DllVersionLine(L"in_hvqblend_v2310.dll"),
              "Version 2.3.1.0  Pre-Release  Special Build");
    EXPECT_EQ(DllVersionLine(L"in_hvqblend_noversion.dll"), "Version 1.0");
}

TEST(AboutWindow, LabelsAreCentredInTheirColoursAndTheSecondLineIsNotInTheLibrarysBytes) {
    Library library(L"in_hvqblend.dll");
    AboutSession about(library.Module());
    const Snapshot window(about.Window());
    const std::pair<int, COLORREF> labels[] = {{kAboutLabel2Id, RGB(255, 255, 0)},
                                               {kAboutLabel3Id, RGB(0, 255, 0)}};
    const int tops[] = {275, 291};
    for (int i = 0; i < 2; ++i) {
        const HWND label = about.Label(labels[i].first);
        const RECT place = PlaceInParent(label);
        const int width = place.right - place.left;
        SCOPED_TRACE(Text(label));
        EXPECT_GT(width, 40);
        EXPECT_EQ(place.left, kWidth / 2 - width / 2);
        EXPECT_EQ(place.top, tops[i]);
        // Its text is drawn in its colour inside it, straight on the background.
        const RECT ink = window.BoundsOf(labels[i].second, place);
        EXPECT_LT(ink.left, ink.right);
        EXPECT_LE(place.left, ink.left);
        EXPECT_GE(place.right, ink.right);
    }
    const std::string secondLine = Text(about.Label(kAboutLabel3Id));
    EXPECT_EQ(secondLine, "Where one track ends, the next one begins.");

    std::ifstream dll(refhost::RefHost::BuildFolder() / L"in_hvqblend.dll", std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(dll), {}};
    ASSERT_GT(bytes.size(), 10000u);
    EXPECT_EQ(bytes.find("the next one begins"), std::string::npos);
    EXPECT_NE(bytes.find("About"), std::string::npos) << "the search itself works";
}

TEST(AboutButton, DrawsTheBevelsTheFaceAndTheCaptionRaisedAndSunken) {
    Library library(L"in_hvqblend.dll");
    AboutSession about(library.Module());
    const HWND button = about.Button();
    ASSERT_TRUE(LooksRaised(button));
    const Snapshot raised(button);
    about.Mouse(WM_LBUTTONDOWN, MK_LBUTTON, 30, 30);
    ASSERT_TRUE(LooksSunken(button));
    const Snapshot sunken(button);

    // Left and top edges: the outer rectangle's pen; right and bottom: the inner one's; the face
    // between them, all around.
    for (const auto &[look, first, second] :
         {std::tuple{&raised, kAboutLightBlue, kAboutDarkBlue},
          std::tuple{&sunken, kAboutDarkBlue, kAboutLightBlue}}) {
        for (int y = 4; y < kBoxHeight - 4; y += 4) {
            EXPECT_EQ(look->At(1, y), first) << y;
            EXPECT_EQ(look->At(kBoxWidth - 3, y), second) << y;
            EXPECT_EQ(look->At(2, y), kAboutFaceBlue) << y;
            EXPECT_EQ(look->At(kBoxWidth - 4, y), kAboutFaceBlue) << y;
        }
        for (int x = 4; x < kBoxWidth - 4; x += 4) {
            EXPECT_EQ(look->At(x, 1), first) << x;
            EXPECT_EQ(look->At(x, kBoxHeight - 3), second) << x;
            EXPECT_EQ(look->At(x, 2), kAboutFaceBlue) << x;
            EXPECT_EQ(look->At(x, 8), kAboutFaceBlue) << x;
        }
        // Outside the outer rectangle the form's background shows through.
        EXPECT_NE(look->At(0, kBoxHeight / 2), first);
        EXPECT_NE(look->At(kBoxWidth - 1, kBoxHeight / 2), second);
    }

    // The caption: light red, centred, one pixel up and left when raised, down and right when
    // sunken.
    const RECT whole{0, 0, kBoxWidth, kBoxHeight};
    const RECT up = raised.BoundsOf(kAboutTextRed, whole);
    const RECT down = sunken.BoundsOf(kAboutTextRed, whole);
    ASSERT_LT(up.left, up.right);
    EXPECT_EQ(down.left - up.left, 2);
    EXPECT_EQ(down.top - up.top, 2);
    EXPECT_EQ(down.right - down.left, up.right - up.left);
    const int centreTwice = up.left + up.right + 2; // of the caption without its offset
    EXPECT_NEAR(centreTwice, kBoxWidth, 3);
    EXPECT_NEAR(up.top + up.bottom + 2, kBoxHeight, 5);

    about.Mouse(WM_LBUTTONUP, 0, 200, 200); // released elsewhere: no click
    EXPECT_TRUE(LooksRaised(button));
    EXPECT_TRUE(StaysOpen(about));
}

TEST(AboutButton, PressDragOutDragBackInAndReleaseOverItCloses) {
    Library library(L"in_hvqblend.dll");
    AboutSession about(library.Module());
    const HWND button = about.Button();
    ASSERT_TRUE(LooksRaised(button));
    about.Mouse(WM_LBUTTONDOWN, MK_LBUTTON, 36, 28);
    EXPECT_TRUE(LooksSunken(button));
    about.Mouse(WM_MOUSEMOVE, MK_LBUTTON, 90, 28);
    EXPECT_TRUE(LooksRaised(button));
    about.Mouse(WM_MOUSEMOVE, MK_LBUTTON, 36, 28);
    EXPECT_TRUE(LooksSunken(button));
    about.Mouse(WM_LBUTTONUP, 0, 36, 28);
    EXPECT_TRUE(about.WaitReturned());
}

TEST(AboutButton, FollowsTheMouseOnlyWithTheLeftButtonAndByItsExactBounds) {
    Library library(L"in_hvqblend.dll");
    AboutSession about(library.Module());
    const HWND button = about.Button();
    about.Mouse(WM_MOUSEMOVE, 0, 36, 28); // hovering changes nothing
    EXPECT_TRUE(LooksRaised(button));
    about.Mouse(WM_RBUTTONDOWN, MK_RBUTTON, 36, 28); // any button presses it
    EXPECT_TRUE(LooksSunken(button));
    about.Mouse(WM_MOUSEMOVE, MK_RBUTTON, 200, 28); // but only the left one drags
    EXPECT_TRUE(LooksSunken(button));
    about.Mouse(WM_RBUTTONUP, 0, 36, 28);
    EXPECT_TRUE(LooksRaised(button));

    about.Mouse(WM_LBUTTONDOWN, MK_LBUTTON, 36, 28);
    about.Mouse(WM_MOUSEMOVE, MK_LBUTTON, kBoxWidth, 28); // the right edge counts as inside
    EXPECT_TRUE(LooksSunken(button));
    about.Mouse(WM_MOUSEMOVE, MK_LBUTTON, 36, kBoxHeight); // the bottom edge is neither
    EXPECT_TRUE(LooksSunken(button));
    about.Mouse(WM_MOUSEMOVE, MK_LBUTTON, 36, kBoxHeight + 1);
    EXPECT_TRUE(LooksRaised(button));
    about.Mouse(WM_MOUSEMOVE, MK_LBUTTON, 36, kBoxHeight); // and so stays raised
    EXPECT_TRUE(LooksRaised(button));
    about.Mouse(WM_MOUSEMOVE, MK_LBUTTON, 0, 0);
    EXPECT_TRUE(LooksSunken(button));
    about.Mouse(WM_MOUSEMOVE, MK_LBUTTON, -1, 0);
    EXPECT_TRUE(LooksRaised(button));
    about.Mouse(WM_MOUSEMOVE, MK_LBUTTON, kBoxWidth, 0);
    EXPECT_TRUE(LooksSunken(button));
    // Released on the right edge: inside for dragging, outside the area for a click.
    about.Mouse(WM_LBUTTONUP, 0, kBoxWidth, 0);
    EXPECT_TRUE(LooksRaised(button));
    EXPECT_TRUE(StaysOpen(about));
    about.Mouse(WM_LBUTTONDOWN, MK_LBUTTON, kBoxWidth - 1, kBoxHeight - 1);
    about.Mouse(WM_LBUTTONUP, 0, kBoxWidth - 1, kBoxHeight - 1);
    EXPECT_TRUE(about.WaitReturned());
}

TEST(AboutButton, KeepsItsLookFromOneOpeningToTheNext) {
    Library library(L"in_hvqblend.dll");
    {
        AboutSession about(library.Module());
        about.Mouse(WM_LBUTTONDOWN, MK_LBUTTON, 36, 28);
        ASSERT_TRUE(LooksSunken(about.Button()));
        PostMessageW(about.Window(), WM_CHAR, VK_RETURN, 0); // closed with the button held
        ASSERT_TRUE(about.WaitReturned());
    }
    AboutSession about(library.Module());
    EXPECT_TRUE(LooksSunken(about.Button()));
    about.Mouse(WM_LBUTTONUP, 0, 36, 28); // not pressed in this opening: no click
    EXPECT_TRUE(LooksRaised(about.Button()));
    EXPECT_TRUE(StaysOpen(about));
}

TEST(AboutWindow, EnterClosesWhereverTheFocusIsAndOtherKeysDoNot) {
    Library library(L"in_hvqblend.dll");
    for (bool atTheButton : {false, true}) {
        AboutSession about(library.Module());
        const HWND target = atTheButton ? about.Button() : about.Window();
        PostMessageW(target, WM_CHAR, 'a', 0);
        PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        PostMessageW(about.Button(), WM_LBUTTONDOWN, MK_LBUTTON, Point(36, 28)); // a marker
        ASSERT_TRUE(Eventually([&] { return LooksSunken(about.Button()); }));
        EXPECT_FALSE(about.Returned());
        PostMessageW(target, WM_KEYDOWN, VK_RETURN, 0x001C0001);
        EXPECT_TRUE(about.WaitReturned()) << atTheButton;
        about.Mouse(WM_LBUTTONUP, 0, 200, 200);
    }
}

TEST(AboutWindow, ASecondAboutWhileOneIsOpenDoesNothing) {
    Library library(L"in_hvqblend.dll");
    AboutSession about(library.Module());
    auto *const *form = static_cast<void *const *>(library.Symbol("_AboutForm"));
    ASSERT_NE(form, nullptr);
    EXPECT_NE(*form, nullptr);
    library.Module()->About(nullptr); // returns at once
    EXPECT_EQ(CountAboutWindows(), 1);
    EXPECT_TRUE(StaysOpen(about));
    PostMessageW(about.Window(), WM_CHAR, VK_RETURN, 0);
    ASSERT_TRUE(about.WaitReturned());
    EXPECT_EQ(*form, nullptr);
}

// Uninstall's way to close it, in the core itself: from another thread, with the modal result
// OK; the user's closing ends with Cancel, as a modal window's own close does.
TEST(AboutWindowInCore, UninstallClosesAnOpenDialogWithOk) {
    EXPECT_FALSE(CloseAboutFormOk());
    for (bool byUninstall : {true, false}) {
        std::atomic<int> result{-1};
        std::thread host([&] { result = OpenAboutForm(); });
        ASSERT_TRUE(Eventually([] { return AboutForm && IsWindowVisible(AboutForm->Handle()); }));
        EXPECT_EQ(Text(GetDlgItem(AboutForm->Handle(), kAboutLabel2Id)), "Version 1.0");
        EXPECT_EQ(OpenAboutForm(), 0); // a second opening shows nothing
        if (byUninstall)
            EXPECT_TRUE(CloseAboutFormOk());
        else
            PostMessageW(AboutForm->Handle(), WM_CHAR, VK_RETURN, 0);
        host.join();
        EXPECT_EQ(result, byUninstall ? IDOK : IDCANCEL);
        EXPECT_EQ(AboutForm, nullptr);
        EXPECT_EQ(FindAboutWindow(), nullptr);
    }
}

TEST(AboutWindowInCore, TheButtonsStateMachineKeepsItsFields) {
    std::thread host([] { OpenAboutForm(); });
    ASSERT_TRUE(Eventually([] { return AboutForm && IsWindowVisible(AboutForm->Handle()); }));
    const HWND button = GetDlgItem(AboutForm->Handle(), kAboutPaintBox1Id);
    const TAboutButtonState &state = AboutButtonState();
    EXPECT_TRUE(state.Released);
    EXPECT_FALSE(state.Pressed);
    EXPECT_EQ(state.TextOffset, -1);
    EXPECT_STREQ(state.Caption, "OK");
    SendMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, Point(5, 5));
    EXPECT_FALSE(state.Released);
    EXPECT_TRUE(state.Pressed);
    EXPECT_EQ(state.FirstBevelColor, kAboutDarkBlue);
    EXPECT_EQ(state.SecondBevelColor, kAboutLightBlue);
    EXPECT_EQ(state.TextOffset, 1);
    SendMessageW(button, WM_LBUTTONUP, 0, Point(5, 5)); // a click: closes
    host.join();
    EXPECT_TRUE(state.Released);
    EXPECT_FALSE(state.Pressed);
    EXPECT_EQ(state.FirstBevelColor, kAboutLightBlue);
    EXPECT_EQ(state.SecondBevelColor, kAboutDarkBlue);
    EXPECT_EQ(state.TextOffset, -1);
}

} // namespace
