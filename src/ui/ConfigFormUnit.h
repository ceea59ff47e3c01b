// The plug-in's settings window: shows the four settings (and opens the transition options), writes
// every change through the store at once and hands a new priority and transition shape to the
// running engine at once. Modeless; at most one is open, referred to by the global ConfigForm.
#pragma once

#include "WindowIcons.h"

#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>

// Control identifiers, in tab order; Done is the dialog's OK, so Enter presses it.
enum TConfigFormControl : int {
    kGroupBox1Id = 101,
    kCrossfadeTimeEditId = 102,
    kGroupBox2Id = 103,
    kMinLengthEditId = 104,
    kDoneButtonId = IDOK,
    kLogTransCheckBoxId = 106,
    kPlaybackThreadPriorityGroupBoxId = 107,
    kPlaybackThreadPriorityTrackBarId = 108,
    kMoreButtonId = 109,
};

class TTransitionOptionsForm;

// Lives on the thread that created it (the host's user-interface thread); every handler runs
// there. The global ConfigForm owns the open dialog: closing the window frees it and clears
// the global, and destroying the object (Quit, uninstall) takes the window with it.
class TConfigForm {
  public:
    // Builds the hidden window and its controls and fills them from PluginConfig without writing
    // anything. The owner is the host's dialog parent when the host link exists. Raises
    // EPluginError when the window cannot be made.
    TConfigForm();
    ~TConfigForm();
    TConfigForm(const TConfigForm &) = delete;
    TConfigForm &operator=(const TConfigForm &) = delete;

    void Show();
    void BringToFront();
    HWND Handle() const { return window_; }

    // The controls, by their published names.
    HWND GroupBox1 = nullptr;
    HWND CrossfadeTimeEdit = nullptr;
    HWND GroupBox2 = nullptr;
    HWND MinLengthEdit = nullptr;
    HWND DoneButton = nullptr;
    HWND LogTransCheckBox = nullptr;
    HWND PlaybackThreadPriorityGroupBox = nullptr;
    HWND PlaybackThreadPriorityTrackBar = nullptr;
    HWND MoreButton = nullptr;
    // The dialog of the transition options, while "More..." has it open.
    TTransitionOptionsForm *TransitionOptions() const;

  private:
    struct HookDeleter {
        void operator()(HHOOK hook) const { UnhookWindowsHookEx(hook); }
    };
    using OwnedHook = std::unique_ptr<std::remove_pointer_t<HHOOK>, HookDeleter>;

    static INT_PTR CALLBACK DialogProc(HWND, UINT, WPARAM, LPARAM);
    static LRESULT CALLBACK KeyboardHookProc(int code, WPARAM removal, LPARAM message);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnCommand(int control, int notification);
    void OnWindowGone();

    void CreateControls();
    HWND CreateControl(const wchar_t *windowClass, const wchar_t *text, DWORD style, DWORD exStyle,
                       RECT place, int id);
    void PlaceWindow();
    void FillControls();

    // The handlers, named after control and event.
    void CrossfadeTimeEditChange();
    void MinLengthEditChange();
    void LogTransCheckBoxClick();
    void PlaybackThreadPriorityTrackBarChange();
    void DoneButtonClick();
    void MoreButtonClick();
    void FormClose();

    // Runs one handler; a handler may run inside another (an edit's change event fired by a
    // handler that sets its text). Failures are collected and shown once the outermost one ends.
    template <class F> void RunHandler(F &&handler);
    // Runs one write of the store; a failed write is noted and the handler goes on, so that the
    // engine and the window follow the value the store now holds in memory.
    template <class F> void Store(F &&write);
    void ShowPendingError();

    HWND window_ = nullptr;
    bool handlersAttached_ = false; // not while the controls are filled
    int handlerDepth_ = 0;
    std::string pendingError_;
    TWindowIcons icons_;
    OwnedHook keyboardHook_;
    std::unique_ptr<TTransitionOptionsForm> transitionOptions_;
};

// The host's Config: brings an open dialog to the front, or opens one (when the settings exist)
// and returns at once. Raises EPluginError when the window cannot be made.
void OpenConfigForm();
// Shut-down and uninstall: clears ConfigForm, then destroys the open dialog, if any.
void DestroyConfigForm() noexcept;
