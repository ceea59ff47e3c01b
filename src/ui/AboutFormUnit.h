// The plug-in's about window: a borderless picture window on a blue background with the
// plug-in's version and build flags, a second line of text and a drawn "OK" button. Shown
// modally; the host's About entry returns when it closes.
#pragma once

#include "WindowIcons.h"

#include <windows.h>

#include <memory>
#include <string>

// Child windows of the about window, by their control ids (GetDlgItem): the drawn button and the
// two text lines. Each label's window text is its caption.
constexpr int kAboutPaintBox1Id = 1;
constexpr int kAboutLabel2Id = 2;
constexpr int kAboutLabel3Id = 3;

// The look of the drawn "OK" button. One lives as long as the library, so that each opening
// starts with the look the previous one ended with.
struct TAboutButtonState {
    bool Released = true; // drawn raised
    bool Pressed = false; // drawn sunken
    COLORREF FirstBevelColor = RGB(79, 79, 255);
    COLORREF SecondBevelColor = RGB(0, 0, 176);
    int TextOffset = -1; // added to both coordinates of the caption
    const char *Caption = "OK";
};

// The button's fixed colours besides the two bevel colours.
constexpr COLORREF kAboutLightBlue = RGB(79, 79, 255);
constexpr COLORREF kAboutDarkBlue = RGB(0, 0, 176);
constexpr COLORREF kAboutFaceBlue = RGB(0, 0, 255);
constexpr COLORREF kAboutTextRed = RGB(255, 64, 64);

class TAboutForm {
  public:
    // Creates the window (hidden) and runs FormCreate. Raises EPluginError when the window cannot
    // be made.
    TAboutForm();
    ~TAboutForm();
    TAboutForm(const TAboutForm &) = delete;
    TAboutForm &operator=(const TAboutForm &) = delete;

    // Centres the window on the screen (it has no owner form to centre on, and its own placement
    // is screen-centred too, so keepPosition changes nothing), shows it modally and answers the
    // modal result once it has closed: IDOK when closed by CloseWith(IDOK), IDCANCEL when the user
    // closed it (as a modal form's Close does) or the thread's message loop is ending.
    int ShowAbout(bool keepPosition);
    // Ends the modal loop with the result given. Only on the window's own thread; other threads
    // post kCloseWithMessage.
    void CloseWith(int modalResult);
    // The user's close: Enter, the button, the system's close command.
    void Close() { CloseWith(IDCANCEL); }

    HWND Handle() const { return window_; }
    // Asks the window from any thread to close with wParam as its modal result.
    static constexpr UINT kCloseWithMessage = WM_APP + 1;

  private:
    struct Pictures;
    struct Fonts;

    void CreateWindows();
    void DestroyWindows();
    void FormCreate();
    void FormClose();
    void FormKeyPress(wchar_t key);
    void PaintBox1Paint(HDC dc);
    void PaintBox1MouseDown(int x, int y);
    void PaintBox1MouseUp(int x, int y);
    void PaintBox1MouseMove(WPARAM keys, int x, int y);
    void PaintBox1Click();

    void ShowRaised();
    void ShowSunken();
    // What lies under a child window: the background and the pictures, shifted by its place.
    void PaintPictures(HDC dc, POINT origin) const;
    void PaintLabel(HDC dc, HWND label) const;
    void PlaceLabel(HWND label, int top);
    // Delivers WM_CHAR of Enter to FormKeyPress wherever the focus is, as a key preview does.
    bool PreviewKey(const MSG &message);

    static LRESULT CALLBACK FormProc(HWND, UINT, WPARAM, LPARAM);
    static LRESULT CALLBACK PartProc(HWND, UINT, WPARAM, LPARAM);
    LRESULT OnFormMessage(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnPartMessage(HWND part, UINT message, WPARAM wParam, LPARAM lParam);
    void PaintPart(HWND part);

    HINSTANCE instance_;
    HWND window_ = nullptr;
    HWND paintBox1_ = nullptr;
    HWND label2_ = nullptr;
    HWND label3_ = nullptr;
    TWindowIcons icons_;
    std::unique_ptr<Pictures> pictures_;
    std::unique_ptr<Fonts> fonts_;
    int modalResult_ = 0;
    bool clicked_ = false; // the left button went down on the drawn button and is still held
};

// The host's About entry: does nothing when a dialog is open; otherwise creates one, keeps it
// in AboutForm while it is shown modally, then clears AboutForm and destroys it. Answers the
// modal result, 0 when no dialog was shown.
int OpenAboutForm();
// Closes an open about dialog with the modal result OK, from any thread (uninstall). Answers
// whether one was open (or being opened: it then closes as soon as it is shown).
bool CloseAboutFormOk();
// The drawn button's look, kept from one opening to the next.
const TAboutButtonState &AboutButtonState();
