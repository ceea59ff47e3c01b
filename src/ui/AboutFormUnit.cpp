#include "AboutFormUnit.h"

#include "../about/VersionReaderUnit.h"
#include "../hostlink/PluginError.h"
#include "../globals/PluginGlobals.h"
#include "../globals/ResourceIds.h"

#include <windowsx.h>

#include <array>
#include <cstddef>
#include <mutex>
#include <vector>

namespace {

// The form description: client size, colours and the places of the pictures and controls.
constexpr int kClientWidth = 477;
constexpr int kClientHeight = 331;
constexpr COLORREF kFormColor = RGB(0, 0, 255);
constexpr COLORREF kVersionColor = RGB(255, 255, 0);  // Label2, yellow
constexpr COLORREF kSecondLineColor = RGB(0, 255, 0); // Label3, lime
constexpr RECT kPaintBox1{402, 272, 402 + 73, 272 + 57};
constexpr int kLabel2Top = 275;
constexpr int kLabel3Top = 291;

struct PicturePlace {
    int ResourceId;
    RECT Bounds;
    bool Transparent;
};
// In drawing order: Image2, Image1, then (after the controls, which never overlap them) Image4
// and Image3.
constexpr std::array<PicturePlace, 4> kPicturePlaces{{
    {IDB_ABOUT_PICTURE2, {0, 0, 477, 331}, false},
    {IDB_ABOUT_PICTURE1, {223, 230, 223 + 32, 230 + 32}, true},
    {IDB_ABOUT_PICTURE4, {118, 112, 118 + 242, 112 + 111}, false},
    {IDB_ABOUT_PICTURE3, {62, 16, 62 + 353, 16 + 89}, false},
}};

const wchar_t kFormClass[] = L"TAboutForm";
const wchar_t kPaintBoxClass[] = L"TPaintBox";
const wchar_t kLabelClass[] = L"TLabel";

// The second line is kept scrambled so that it is not found by reading the library's bytes.
template <std::size_t N> struct ScrambledText { std::array<unsigned char, N - 1> Bytes{}; };

constexpr unsigned char ScrambleKey(std::size_t i) {
    return static_cast<unsigned char>(0xA7 + 29 * i);
}

template <std::size_t N> consteval ScrambledText<N> Scramble(const char (&text)[N]) {
    ScrambledText<N> scrambled;
    for (std::size_t i = 0; i + 1 < N; ++i)
        scrambled.Bytes[i] = static_cast<unsigned char>(text[i]) ^ ScrambleKey(i);
    return scrambled;
}

constexpr auto kSecondLine = Scramble("Where one track ends, the next one begins.");

template <std::size_t N> std::string Unscramble(const ScrambledText<N> &scrambled) {
    // Read through volatile so that the compiler cannot fold the plain text back into the binary.
    const volatile unsigned char *bytes = scrambled.Bytes.data();
    std::string text(N - 1, '\0');
    for (std::size_t i = 0; i + 1 < N; ++i)
        text[i] = static_cast<char>(bytes[i] ^ ScrambleKey(i));
    return text;
}

TAboutButtonState ButtonState; // created with the library, kept across openings

// Guards AboutForm and the opening in progress; never held while the dialog is shown.
std::mutex AboutFormLock;
bool AboutFormOpening = false;
bool CloseOkRequested = false; // uninstall came while the dialog was being created

struct GdiDeleter {
    void operator()(HGDIOBJ object) const {
        if (object)
            DeleteObject(object);
    }
};
using GdiObject = std::unique_ptr<std::remove_pointer_t<HGDIOBJ>, GdiDeleter>;

// Selects an object into a DC for one scope.
class SelectBomb {
  public:
    SelectBomb(HDC dc, HGDIOBJ object) : dc_(dc), old_(SelectObject(dc, object)) {}
    ~SelectBomb() { SelectObject(dc_, old_); }
    SelectBomb(const SelectBomb &) = delete;
    SelectBomb &operator=(const SelectBomb &) = delete;

  private:
    HDC dc_;
    HGDIOBJ old_;
};

struct MemoryDcDeleter {
    void operator()(HDC dc) const { DeleteDC(dc); }
};
using MemoryDc = std::unique_ptr<std::remove_pointer_t<HDC>, MemoryDcDeleter>;

HINSTANCE ModuleInstance() {
    return PluginInstance ? PluginInstance : GetModuleHandleW(nullptr);
}

// Classes are registered per opening and unregistered with the window: a class of a library
// outlives the library otherwise.
void RegisterClasses(HINSTANCE instance, WNDPROC formProc, WNDPROC partProc) {
    WNDCLASSEXW form{};
    form.cbSize = sizeof form;
    form.lpfnWndProc = formProc;
    form.hInstance = instance;
    form.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    form.lpszClassName = kFormClass;
    RegisterClassExW(&form);
    WNDCLASSEXW part = form;
    part.lpfnWndProc = partProc;
    part.lpszClassName = kPaintBoxClass;
    RegisterClassExW(&part);
    part.lpszClassName = kLabelClass;
    RegisterClassExW(&part);
}

void UnregisterClasses(HINSTANCE instance) {
    for (const wchar_t *name : {kFormClass, kPaintBoxClass, kLabelClass})
        UnregisterClassW(name, instance);
}

std::string ReadVersionLine() {
    auto result = std::make_unique<TVersionReaderResult>();
    {
        auto reader = std::make_unique<TVersionReader>();
        VersionReader1 = reader.get();
        reader->Read(ThisLibraryFileNameW, *result);
        VersionReader1 = nullptr;
    }
    std::string line = result->StringInfoRead ? "Version " + result->FileVersion : "Version 1.0";
    if (result->FixedInfoRead) {
        if (result->IsPreRelease)
            line += "  Pre-Release";
        if (result->IsPatched)
            line += "  Patched";
        if (result->IsPrivateBuild)
            line += "  Private Build";
        if (result->IsSpecialBuild)
            line += "  Special Build";
    }
    return line;
}

// The system's window text of a label, as the label shows it.
std::string WindowText(HWND window) {
    std::vector<char> text(GetWindowTextLengthA(window) + 1, '\0');
    GetWindowTextA(window, text.data(), static_cast<int>(text.size()));
    return text.data();
}

SIZE TextSize(HDC dc, HFONT font, const std::string &text) {
    SelectBomb selected(dc, font);
    SIZE size{};
    GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    return size;
}

HFONT MsSansSerif(int height, int weight) {
    return CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, L"MS Sans Serif");
}

// The windows of the calling thread that a modal window disables, and gives back afterwards.
struct ThreadWindows {
    HWND Except;
    std::vector<HWND> Windows;
};

BOOL CALLBACK CollectEnabledWindow(HWND window, LPARAM data) {
    auto *collect = reinterpret_cast<ThreadWindows *>(data);
    if (window != collect->Except && IsWindowVisible(window) && IsWindowEnabled(window))
        collect->Windows.push_back(window);
    return TRUE;
}

std::vector<HWND> DisableThreadWindows(HWND except) {
    ThreadWindows collect{except, {}};
    EnumThreadWindows(GetCurrentThreadId(), &CollectEnabledWindow,
                      reinterpret_cast<LPARAM>(&collect));
    for (HWND window : collect.Windows)
        EnableWindow(window, FALSE);
    return collect.Windows;
}

} // namespace

struct TAboutForm::Pictures {
    std::array<GdiObject, kPicturePlaces.size()> Bitmaps;
};

struct TAboutForm::Fonts {
    GdiObject PaintBox1; // MS Sans Serif, bold, 13 pixels
    GdiObject Labels;    // MS Sans Serif 8 point, bold
};

TAboutForm::TAboutForm()
    : instance_(ModuleInstance()), pictures_(std::make_unique<Pictures>()),
      fonts_(std::make_unique<Fonts>()) {
    for (std::size_t i = 0; i < kPicturePlaces.size(); ++i)
        pictures_->Bitmaps[i].reset(LoadImageW(instance_,
                                               MAKEINTRESOURCEW(kPicturePlaces[i].ResourceId),
                                               IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    HDC screen = GetDC(nullptr);
    const int pointsToPixels = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    fonts_->PaintBox1.reset(MsSansSerif(-13, FW_BOLD));
    fonts_->Labels.reset(MsSansSerif(-MulDiv(8, pointsToPixels, 72), FW_BOLD));
    try {
        CreateWindows();
        FormCreate();
    } catch (...) {
        DestroyWindows();
        throw;
    }
}

TAboutForm::~TAboutForm() {
    DestroyWindows();
}

void TAboutForm::DestroyWindows() {
    if (window_)
        DestroyWindow(window_); // its children with it
    window_ = paintBox1_ = label2_ = label3_ = nullptr;
    UnregisterClasses(instance_);
    icons_.Release();
}

void TAboutForm::CreateWindows() {
    RegisterClasses(instance_, &FormProc, &PartProc);
    // The window procedure keeps the handle from WM_NCCREATE on.
    if (!CreateWindowExW(WS_EX_TOPMOST, kFormClass, L"About", WS_POPUP | WS_CLIPCHILDREN, 0, 0,
                         kClientWidth, kClientHeight, nullptr, nullptr, instance_, this)) {
        window_ = nullptr;
        throw EPluginError("The about window could not be created");
    }
    auto child = [&](const wchar_t *className, int id, RECT bounds) {
        return CreateWindowExW(0, className, L"", WS_CHILD, bounds.left, bounds.top,
                               bounds.right - bounds.left, bounds.bottom - bounds.top, window_,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, this);
    };
    paintBox1_ = child(kPaintBoxClass, kAboutPaintBox1Id, kPaintBox1);
    label2_ = child(kLabelClass, kAboutLabel2Id, {0, kLabel2Top, 0, kLabel2Top});
    label3_ = child(kLabelClass, kAboutLabel3Id, {0, kLabel3Top, 0, kLabel3Top});
    if (!paintBox1_ || !label2_ || !label3_)
        throw EPluginError("The about window could not be created");
    SetWindowTextA(paintBox1_, ButtonState.Caption);
    // The plug-in's icon; a build without it simply shows none.
    icons_.Attach(window_, instance_);
}

void TAboutForm::FormCreate() {
    SetWindowTextA(label2_, ReadVersionLine().c_str());
    SetWindowTextA(label3_, Unscramble(kSecondLine).c_str());
    PlaceLabel(label2_, kLabel2Top);
    PlaceLabel(label3_, kLabel3Top);
    ShowWindow(label2_, SW_SHOWNA);
    ShowWindow(label3_, SW_SHOWNA);
    ShowWindow(paintBox1_, SW_SHOWNA);
    InvalidateRect(window_, nullptr, FALSE);
}

// A label is as large as its text and centred: half the client width less half its width.
void TAboutForm::PlaceLabel(HWND label, int top) {
    HDC dc = GetDC(label);
    const SIZE size = TextSize(dc, static_cast<HFONT>(fonts_->Labels.get()), WindowText(label));
    ReleaseDC(label, dc);
    const int left = kClientWidth / 2 - size.cx / 2;
    MoveWindow(label, left, top, size.cx, size.cy, FALSE);
}

int TAboutForm::ShowAbout(bool /*keepPosition*/) {
    const int left = (GetSystemMetrics(SM_CXSCREEN) - kClientWidth) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - kClientHeight) / 2;
    SetWindowPos(window_, HWND_TOPMOST, left, top, kClientWidth, kClientHeight, SWP_NOACTIVATE);
    if (modalResult_ != 0) { // closed before it was shown (uninstall)
        FormClose();
        return modalResult_;
    }
    const std::vector<HWND> disabled = DisableThreadWindows(window_);
    ShowWindow(window_, SW_SHOW);
    SetForegroundWindow(window_);
    SetFocus(window_);
    // Drawn completely before the first message is taken.
    RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);

    MSG message;
    while (modalResult_ == 0) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got <= 0) {
            // The thread's loop is ending: hand the quit on to it.
            if (got == 0)
                PostQuitMessage(static_cast<int>(message.wParam));
            modalResult_ = IDCANCEL;
            break;
        }
        if (PreviewKey(message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    FormClose();
    // Given back before the window goes, so that activation returns to them.
    for (HWND window : disabled)
        if (IsWindow(window))
            EnableWindow(window, TRUE);
    ShowWindow(window_, SW_HIDE);
    return modalResult_;
}

void TAboutForm::CloseWith(int modalResult) {
    modalResult_ = modalResult;
    PostMessageW(window_, WM_NULL, 0, 0); // wakes the modal loop when called from a handler
}

bool TAboutForm::PreviewKey(const MSG &message) {
    if (message.message != WM_CHAR || (message.hwnd != window_ && !IsChild(window_, message.hwnd)))
        return false;
    FormKeyPress(static_cast<wchar_t>(message.wParam));
    return message.wParam == VK_RETURN;
}

// The form is destroyed when it closes: nothing refers to it any more.
void TAboutForm::FormClose() {
    std::lock_guard lock(AboutFormLock);
    if (AboutForm == this)
        AboutForm = nullptr;
}

void TAboutForm::FormKeyPress(wchar_t key) {
    if (key == 13)
        Close();
}

void TAboutForm::PaintBox1Paint(HDC dc) {
    const int w = kPaintBox1.right - kPaintBox1.left;
    const int h = kPaintBox1.bottom - kPaintBox1.top;
    const std::string caption = ButtonState.Caption;
    const SIZE text = TextSize(dc, static_cast<HFONT>(fonts_->PaintBox1.get()), caption);
    const int x = w / 2 - text.cx / 2;
    const int y = h / 2 - text.cy / 2;
    const int d = ButtonState.TextOffset;

    SelectBomb hollow(dc, GetStockObject(NULL_BRUSH));
    {
        GdiObject pen(CreatePen(PS_SOLID, 2, ButtonState.FirstBevelColor));
        SelectBomb selected(dc, pen.get());
        Rectangle(dc, 2, 2, w - 3, h - 3);
    }
    {
        GdiObject pen(CreatePen(PS_SOLID, 2, ButtonState.SecondBevelColor));
        SelectBomb selected(dc, pen.get());
        Rectangle(dc, 3, 3, w - 2, h - 2);
    }
    {
        GdiObject pen(CreatePen(PS_SOLID, 2, kAboutFaceBlue));
        GdiObject brush(CreateSolidBrush(kAboutFaceBlue));
        SelectBomb selectedPen(dc, pen.get());
        SelectBomb selectedBrush(dc, brush.get());
        Rectangle(dc, 3, 3, w - 3, h - 3);
    }
    SelectBomb font(dc, fonts_->PaintBox1.get());
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, kAboutTextRed);
    const RECT clip{x + d, y + d, x + d + text.cx, y + d + text.cy};
    ExtTextOutA(dc, x + d, y + d, ETO_CLIPPED, &clip, caption.c_str(),
                static_cast<UINT>(caption.size()), nullptr);
}

void TAboutForm::PaintBox1MouseDown(int, int) {
    ShowSunken();
}

void TAboutForm::PaintBox1MouseUp(int, int) {
    ShowRaised();
}

void TAboutForm::PaintBox1MouseMove(WPARAM keys, int x, int y) {
    if (!(keys & MK_LBUTTON))
        return;
    const int w = kPaintBox1.right - kPaintBox1.left;
    const int h = kPaintBox1.bottom - kPaintBox1.top;
    if ((x < 0 || y < 0 || x > w || y > h) && !ButtonState.Released)
        ShowRaised();
    if ((x >= 0 && x <= w && y >= 0 && y < h) && !ButtonState.Pressed)
        ShowSunken();
}

void TAboutForm::PaintBox1Click() {
    Close();
}

void TAboutForm::ShowRaised() {
    ButtonState.Released = true;
    ButtonState.Pressed = false;
    ButtonState.FirstBevelColor = kAboutLightBlue;
    ButtonState.SecondBevelColor = kAboutDarkBlue;
    ButtonState.TextOffset = -1;
    RedrawWindow(paintBox1_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
}

void TAboutForm::ShowSunken() {
    ButtonState.Released = false;
    ButtonState.Pressed = true;
    ButtonState.FirstBevelColor = kAboutDarkBlue;
    ButtonState.SecondBevelColor = kAboutLightBlue;
    ButtonState.TextOffset = 1;
    RedrawWindow(paintBox1_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
}

void TAboutForm::PaintPictures(HDC dc, POINT origin) const {
    const RECT all{-origin.x, -origin.y, kClientWidth - origin.x, kClientHeight - origin.y};
    GdiObject background(CreateSolidBrush(kFormColor));
    FillRect(dc, &all, static_cast<HBRUSH>(background.get()));
    MemoryDc source(CreateCompatibleDC(dc));
    for (std::size_t i = 0; i < kPicturePlaces.size(); ++i) {
        HBITMAP bitmap = static_cast<HBITMAP>(pictures_->Bitmaps[i].get());
        if (!bitmap)
            continue;
        BITMAP info{};
        GetObjectW(bitmap, sizeof info, &info);
        const RECT &place = kPicturePlaces[i].Bounds;
        // Centred in its place (the pictures are made to fit exactly).
        const int x = place.left + (place.right - place.left - info.bmWidth) / 2 - origin.x;
        const int y = place.top + (place.bottom - place.top - info.bmHeight) / 2 - origin.y;
        SelectBomb selected(source.get(), bitmap);
        if (kPicturePlaces[i].Transparent) {
            // The bottom-left pixel's colour is the see-through one.
            const COLORREF key = GetPixel(source.get(), 0, info.bmHeight - 1);
            TransparentBlt(dc, x, y, info.bmWidth, info.bmHeight, source.get(), 0, 0, info.bmWidth,
                           info.bmHeight, key);
        } else {
            BitBlt(dc, x, y, info.bmWidth, info.bmHeight, source.get(), 0, 0, SRCCOPY);
        }
    }
}

void TAboutForm::PaintLabel(HDC dc, HWND label) const {
    const std::string text = WindowText(label);
    SelectBomb font(dc, fonts_->Labels.get());
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, label == label2_ ? kVersionColor : kSecondLineColor);
    TextOutA(dc, 0, 0, text.c_str(), static_cast<int>(text.size()));
}

// A child draws what the form shows under it, then itself, into a bitmap first, so that a
// change of the button's look never flickers.
void TAboutForm::PaintPart(HWND part) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(part, &paint);
    RECT client{};
    GetClientRect(part, &client);
    RECT place{};
    GetWindowRect(part, &place);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT *>(&place), 2);
    MemoryDc buffer(CreateCompatibleDC(dc));
    GdiObject bitmap(CreateCompatibleBitmap(dc, client.right, client.bottom));
    {
        SelectBomb selected(buffer.get(), bitmap.get());
        PaintPictures(buffer.get(), {place.left, place.top});
        if (part == paintBox1_)
            PaintBox1Paint(buffer.get());
        else
            PaintLabel(buffer.get(), part);
        BitBlt(dc, 0, 0, client.right, client.bottom, buffer.get(), 0, 0, SRCCOPY);
    }
    EndPaint(part, &paint);
}

LRESULT TAboutForm::OnFormMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_ERASEBKGND:
        return 1; // WM_PAINT covers every pixel
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window_, &paint);
        PaintPictures(dc, {0, 0});
        EndPaint(window_, &paint);
        return 0;
    }
    case WM_CHAR:
        FormKeyPress(static_cast<wchar_t>(wParam));
        return 0;
    case WM_CLOSE:
        Close();
        return 0;
    case kCloseWithMessage:
        CloseWith(static_cast<int>(wParam));
        return 0;
    default:
        return DefWindowProcW(window_, message, wParam, lParam);
    }
}

// The button's mouse handling as a drawing area without a window of its own gets it from its
// form: the left button captures the mouse, and a release over the area is a click, which
// comes before the button's own mouse-up.
LRESULT TAboutForm::OnPartMessage(HWND part, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        PaintPart(part);
        return 0;
    }
    if (part != paintBox1_)
        return DefWindowProcW(part, message, wParam, lParam);
    const int x = GET_X_LPARAM(lParam);
    const int y = GET_Y_LPARAM(lParam);
    switch (message) {
    case WM_LBUTTONDOWN:
        SetCapture(part);
        clicked_ = true;
        PaintBox1MouseDown(x, y);
        return 0;
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
        PaintBox1MouseDown(x, y);
        return 0;
    case WM_LBUTTONUP: {
        const bool click = clicked_;
        clicked_ = false;
        if (GetCapture() == part)
            ReleaseCapture();
        RECT client{};
        GetClientRect(part, &client);
        if (click && x >= 0 && y >= 0 && x < client.right && y < client.bottom)
            PaintBox1Click();
        PaintBox1MouseUp(x, y);
        return 0;
    }
    case WM_RBUTTONUP:
    case WM_MBUTTONUP:
        PaintBox1MouseUp(x, y);
        return 0;
    case WM_MOUSEMOVE:
        PaintBox1MouseMove(wParam, x, y);
        return 0;
    case WM_CAPTURECHANGED:
        if (reinterpret_cast<HWND>(lParam) != part)
            clicked_ = false;
        return 0;
    default:
        return DefWindowProcW(part, message, wParam, lParam);
    }
}

// Each window keeps its form in GWLP_USERDATA from WM_NCCREATE on. Nothing thrown inside a
// handler may leave into the system's dispatcher.
LRESULT CALLBACK TAboutForm::FormProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto *form =
            static_cast<TAboutForm *>(reinterpret_cast<CREATESTRUCTW *>(lParam)->lpCreateParams);
        form->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    auto *form = reinterpret_cast<TAboutForm *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!form || message == WM_NCDESTROY)
        return DefWindowProcW(window, message, wParam, lParam);
    return Firewall(LRESULT{0}, [&] { return form->OnFormMessage(message, wParam, lParam); });
}

LRESULT CALLBACK TAboutForm::PartProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE)
        SetWindowLongPtrW(
            window, GWLP_USERDATA,
            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW *>(lParam)->lpCreateParams));
    auto *form = reinterpret_cast<TAboutForm *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!form || message == WM_NCDESTROY)
        return DefWindowProcW(window, message, wParam, lParam);
    return Firewall(LRESULT{0},
                    [&] { return form->OnPartMessage(window, message, wParam, lParam); });
}

int OpenAboutForm() {
    {
        std::lock_guard lock(AboutFormLock);
        if (AboutForm || AboutFormOpening)
            return 0;
        AboutFormOpening = true;
        CloseOkRequested = false;
    }
    std::unique_ptr<TAboutForm> form;
    try {
        form = std::make_unique<TAboutForm>();
    } catch (...) {
        std::lock_guard lock(AboutFormLock);
        AboutFormOpening = false;
        throw;
    }
    {
        std::lock_guard lock(AboutFormLock);
        AboutForm = form.get();
        AboutFormOpening = false;
        if (CloseOkRequested)
            form->CloseWith(IDOK);
    }
    const int result = form->ShowAbout(false);
    {
        std::lock_guard lock(AboutFormLock);
        AboutForm = nullptr;
    }
    return result;
}

bool CloseAboutFormOk() {
    std::lock_guard lock(AboutFormLock);
    if (AboutFormOpening) {
        CloseOkRequested = true;
        return true;
    }
    if (!AboutForm)
        return false;
    PostMessageW(AboutForm->Handle(), TAboutForm::kCloseWithMessage, IDOK, 0);
    return true;
}

const TAboutButtonState &AboutButtonState() {
    return ButtonState;
}
