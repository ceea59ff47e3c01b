// The small dialog behind the configuration dialog's "More..." button: the transition curve (one
// of three), the fade on skip with its time, the crossfade between tracks of different formats,
// and the options that follow the music: skipped silence with its threshold, the crossfade over a
// track's own fade-out with its drop, and albums played through.
// Like the configuration dialog it writes every change through the store at once and hands a new
// curve to the running engine at once. It is smaller than the configuration dialog and opens
// beside it, so that both can be seen.
#pragma once

#include "WindowIcons.h"

#include <windows.h>

#include <functional>
#include <string>

enum TTransitionOptionsControl : int {
    kCurveGroupBoxId = 201,
    kLinearRadioId = 202,
    kLogarithmicRadioId = 203,
    kEqualPowerRadioId = 204,
    kSkipFadeCheckBoxId = 205,
    kSkipFadeTimeLabelId = 206,
    kSkipFadeTimeEditId = 207,
    kFadeAcrossFormatsCheckBoxId = 208,
    kSkipSilenceCheckBoxId = 209,
    kSilenceThresholdEditId = 210,
    kSilenceThresholdUnitId = 211,
    kFadeOverOwnFadeOutCheckBoxId = 212,
    kOwnFadeOutDropEditId = 213,
    kOwnFadeOutDropUnitId = 214,
    kPlayAlbumsThroughCheckBoxId = 215,
    kOptionsDoneButtonId = IDOK,
};

// Owned by the configuration dialog's window (it goes with it) and by its TConfigForm object;
// lives on that dialog's thread. Closing the window leaves the object, which then only answers
// that it is closed.
class TTransitionOptionsForm {
  public:
    // onCurveChanged runs after a curve was chosen here, so that the owner can show it too.
    // Raises EPluginError when the window cannot be made.
    TTransitionOptionsForm(HWND owner, std::function<void()> onCurveChanged);
    ~TTransitionOptionsForm();
    TTransitionOptionsForm(const TTransitionOptionsForm &) = delete;
    TTransitionOptionsForm &operator=(const TTransitionOptionsForm &) = delete;

    void Show();
    bool IsOpen() const { return window_ != nullptr; }
    HWND Handle() const { return window_; }
    // Shows the curve the settings hold now (changed in the configuration dialog).
    void ShowCurve();

    HWND CurveGroupBox = nullptr;
    HWND LinearRadio = nullptr;
    HWND LogarithmicRadio = nullptr;
    HWND EqualPowerRadio = nullptr;
    HWND SkipFadeCheckBox = nullptr;
    HWND SkipFadeTimeLabel = nullptr;
    HWND SkipFadeTimeEdit = nullptr;
    HWND FadeAcrossFormatsCheckBox = nullptr;
    HWND SkipSilenceCheckBox = nullptr;
    HWND SilenceThresholdEdit = nullptr;
    HWND SilenceThresholdUnit = nullptr;
    HWND FadeOverOwnFadeOutCheckBox = nullptr;
    HWND OwnFadeOutDropEdit = nullptr;
    HWND OwnFadeOutDropUnit = nullptr;
    HWND PlayAlbumsThroughCheckBox = nullptr;
    HWND DoneButton = nullptr;

  private:
    static INT_PTR CALLBACK DialogProc(HWND, UINT, WPARAM, LPARAM);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControls();
    void CreateMusicControls();
    HWND CreateControl(const wchar_t *windowClass, const wchar_t *text, DWORD style, DWORD exStyle,
                       RECT place, int id);
    void PlaceWindow(HWND owner);
    void FillControls();

    // The handlers, named after control and event.
    void CurveRadioClick(int control);
    // The options' check boxes (with the fields that go on and off with each) and levels.
    struct TCheckBoxOption;
    struct TLevelOption;
    static const TCheckBoxOption kCheckBoxOptions[];
    static const TLevelOption kLevelOptions[];
    bool OptionCommand(int control, int notification);
    void OptionClick(const TCheckBoxOption &option);
    void EnableFields(const TCheckBoxOption &option); // as the check box shows
    void LevelEditChange(const TLevelOption &option);
    void SkipFadeTimeEditChange();
    template <class F> void RunHandler(F &&handler);

    HWND window_ = nullptr;
    bool handlersAttached_ = false; // not while the controls are filled
    std::function<void()> onCurveChanged_;
    TWindowIcons icons_;
};
