#include "TransitionOptionsFormUnit.h"

#include "../config/PluginConfigUnit.h"
#include "../hostlink/PluginError.h"
#include "../playback/InPluginPlaybackThreadUnit.h"
#include "../globals/PluginGlobals.h"
#include "ConfigFormRules.h"
#include "DialogControls.h"
#include "DialogTemplate.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace {

constexpr const wchar_t *kCaption = L"Q-Blend Transitions";
constexpr const wchar_t *kFontFace = L"MS Sans Serif";
constexpr WORD kFontPoints = 8;
// As wide as the configuration dialog's controls, so that the longer captions fit, and less
// high: the curves share one line, the skip fade's time shares a line with its label, and each
// level with its check box.
constexpr int kClientWidth = 265;
constexpr int kClientHeight = 239;
constexpr DWORD kWindowStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT;
constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
constexpr DWORD kCheckBoxStyle = kChild | WS_TABSTOP | WS_GROUP | BS_AUTOCHECKBOX;
constexpr DWORD kEditStyle = kChild | WS_TABSTOP | ES_AUTOHSCROLL;

void SetChecked(HWND button, bool checked) {
    SendMessageW(button, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool IsChecked(HWND button) {
    return SendMessageW(button, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

} // namespace

// The check boxes of the options, each with the fields that go on and off with it, and the
// levels typed beside them.
struct TTransitionOptionsForm::TCheckBoxOption {
    int Id;
    HWND TTransitionOptionsForm::*Box;
    bool (TPluginConfig::*Get)() const;
    void (TPluginConfig::*Set)(bool);
    HWND TTransitionOptionsForm::*Fields[2];
};

struct TTransitionOptionsForm::TLevelOption {
    int Id;
    HWND TTransitionOptionsForm::*Edit;
    std::int32_t Lowest, Highest;
    std::int32_t (TPluginConfig::*Get)() const;
    void (TPluginConfig::*Set)(std::int32_t);
};

namespace {
using TForm = TTransitionOptionsForm;
} // namespace

const TForm::TCheckBoxOption TForm::kCheckBoxOptions[] = {
    {kSkipFadeCheckBoxId,
     &TForm::SkipFadeCheckBox,
     &TPluginConfig::SkipFade,
     &TPluginConfig::SetSkipFade,
     {&TForm::SkipFadeTimeLabel, &TForm::SkipFadeTimeEdit}},
    {kFadeAcrossFormatsCheckBoxId,
     &TForm::FadeAcrossFormatsCheckBox,
     &TPluginConfig::FadeAcrossFormats,
     &TPluginConfig::SetFadeAcrossFormats,
     {nullptr, nullptr}},
    {kSkipSilenceCheckBoxId,
     &TForm::SkipSilenceCheckBox,
     &TPluginConfig::SkipSilence,
     &TPluginConfig::SetSkipSilence,
     {&TForm::SilenceThresholdEdit, &TForm::SilenceThresholdUnit}},
    {kFadeOverOwnFadeOutCheckBoxId,
     &TForm::FadeOverOwnFadeOutCheckBox,
     &TPluginConfig::FadeOverOwnFadeOut,
     &TPluginConfig::SetFadeOverOwnFadeOut,
     {&TForm::OwnFadeOutDropEdit, &TForm::OwnFadeOutDropUnit}},
    {kPlayAlbumsThroughCheckBoxId,
     &TForm::PlayAlbumsThroughCheckBox,
     &TPluginConfig::PlayAlbumsThrough,
     &TPluginConfig::SetPlayAlbumsThrough,
     {nullptr, nullptr}},
};

const TForm::TLevelOption TForm::kLevelOptions[] = {
    {kSilenceThresholdEditId, &TForm::SilenceThresholdEdit, kLowestSilenceThresholdDb,
     kHighestSilenceThresholdDb, &TPluginConfig::SilenceThresholdDb,
     &TPluginConfig::SetSilenceThresholdDb},
    {kOwnFadeOutDropEditId, &TForm::OwnFadeOutDropEdit, kLeastOwnFadeOutDropDb,
     kMostOwnFadeOutDropDb, &TPluginConfig::OwnFadeOutDropDb, &TPluginConfig::SetOwnFadeOutDropDb},
};

TTransitionOptionsForm::TTransitionOptionsForm(HWND owner, std::function<void()> onCurveChanged)
    : onCurveChanged_(std::move(onCurveChanged)) {
    const std::vector<WORD> dialogTemplate =
        EmptyDialogTemplate(kWindowStyle, kCaption, kFontFace, kFontPoints);
    CreateDialogIndirectParamW(PluginInstance,
                               reinterpret_cast<const DLGTEMPLATE *>(dialogTemplate.data()), owner,
                               &TTransitionOptionsForm::DialogProc, reinterpret_cast<LPARAM>(this));
    if (!window_)
        throw EPluginError("Unable to create the configuration dialog");
    try {
        CreateControls();
    } catch (...) {
        DestroyWindow(window_);
        throw;
    }
    FillControls();
    handlersAttached_ = true;
    icons_.Attach(window_, PluginInstance);
    PlaceWindow(owner);
}

TTransitionOptionsForm::~TTransitionOptionsForm() {
    const HWND window = std::exchange(window_, nullptr);
    if (!window)
        return;
    SetWindowLongPtrW(window, DWLP_USER, 0);
    if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId())
        DestroyWindow(window);
}

void TTransitionOptionsForm::CreateControls() {
    const RECT curveGroup = Place(8, 8, 249, 41);
    CurveGroupBox = CreateControl(L"BUTTON", L"Transition Curve", kChild | BS_GROUPBOX, 0,
                                  curveGroup, kCurveGroupBoxId);
    // One group of radio buttons: Tab enters at the chosen one, the arrows move the choice. Each
    // is as wide as its caption needs in a font wider than the classic one (the longest, "Equal
    // Power", takes the most), so the gaps between them are narrow.
    LinearRadio =
        CreateControl(L"BUTTON", L"Linear", kChild | WS_TABSTOP | WS_GROUP | BS_AUTORADIOBUTTON, 0,
                      PlaceInside(curveGroup, 8, 16, 53, 17), kLinearRadioId);
    LogarithmicRadio = CreateControl(L"BUTTON", L"Logarithmic", kChild | BS_AUTORADIOBUTTON, 0,
                                     PlaceInside(curveGroup, 63, 16, 86, 17), kLogarithmicRadioId);
    EqualPowerRadio = CreateControl(L"BUTTON", L"Equal Power", kChild | BS_AUTORADIOBUTTON, 0,
                                    PlaceInside(curveGroup, 151, 16, 90, 17), kEqualPowerRadioId);
    SkipFadeCheckBox = CreateControl(L"BUTTON", L"Fade When Skipping to Another Track",
                                     kCheckBoxStyle, 0, Place(8, 56, 249, 17), kSkipFadeCheckBoxId);
    // Indented under its check box: the time belongs to the fade on skip. Its field starts where
    // the levels' fields below start.
    SkipFadeTimeLabel =
        CreateControl(L"STATIC", L"Fade Time (in Milliseconds):", kChild | SS_LEFTNOWORDWRAP, 0,
                      Place(24, 81, 160, 17), kSkipFadeTimeLabelId);
    SkipFadeTimeEdit = CreateControl(L"EDIT", L"", kEditStyle, WS_EX_CLIENTEDGE,
                                     Place(188, 78, 69, 21), kSkipFadeTimeEditId);
    FadeAcrossFormatsCheckBox =
        CreateControl(L"BUTTON", L"Crossfade Tracks of Different Formats", kCheckBoxStyle, 0,
                      Place(8, 106, 249, 17), kFadeAcrossFormatsCheckBoxId);
    CreateMusicControls();
    DoneButton = CreateControl(L"BUTTON", L"Done", kChild | WS_TABSTOP | BS_DEFPUSHBUTTON, 0,
                               Place(182, 206, 75, 25), kOptionsDoneButtonId);
    SendMessageW(window_, DM_SETDEFID, kOptionsDoneButtonId, 0);
}

// Each level on its check box's line, at the right, with its unit after it. A field has room for
// a minus and two digits between its edges and margins ("-50" was cut at 28 pixels); the check
// boxes give up the width.
void TTransitionOptionsForm::CreateMusicControls() {
    SkipSilenceCheckBox = CreateControl(L"BUTTON", L"Skip Silence at Track Edges", kCheckBoxStyle,
                                        0, Place(8, 130, 177, 17), kSkipSilenceCheckBoxId);
    SilenceThresholdEdit = CreateControl(L"EDIT", L"", kEditStyle, WS_EX_CLIENTEDGE,
                                         Place(188, 128, 34, 21), kSilenceThresholdEditId);
    SilenceThresholdUnit = CreateControl(L"STATIC", L"dBFS", kChild | SS_LEFTNOWORDWRAP, 0,
                                         Place(225, 131, 32, 17), kSilenceThresholdUnitId);
    FadeOverOwnFadeOutCheckBox =
        CreateControl(L"BUTTON", L"Crossfade Over Fade-Outs", kCheckBoxStyle, 0,
                      Place(8, 156, 177, 17), kFadeOverOwnFadeOutCheckBoxId);
    OwnFadeOutDropEdit = CreateControl(L"EDIT", L"", kEditStyle, WS_EX_CLIENTEDGE,
                                       Place(188, 154, 34, 21), kOwnFadeOutDropEditId);
    OwnFadeOutDropUnit = CreateControl(L"STATIC", L"dB", kChild | SS_LEFTNOWORDWRAP, 0,
                                       Place(225, 157, 32, 17), kOwnFadeOutDropUnitId);
    PlayAlbumsThroughCheckBox =
        CreateControl(L"BUTTON", L"Play Albums Through, No Crossfades", kCheckBoxStyle, 0,
                      Place(8, 182, 249, 17), kPlayAlbumsThroughCheckBoxId);
}

HWND TTransitionOptionsForm::CreateControl(const wchar_t *windowClass, const wchar_t *text,
                                           DWORD style, DWORD exStyle, RECT place, int id) {
    return CreateDialogControl(window_, windowClass, text, style, exStyle, place, id);
}

// Beside the configuration dialog, tops level: on its right where the screen has room, else on
// its left, else as far right as the screen goes (covering as little of it as the room allows).
void TTransitionOptionsForm::PlaceWindow(HWND owner) {
    RECT outer{0, 0, kClientWidth, kClientHeight};
    AdjustWindowRectEx(&outer, GetWindowLongW(window_, GWL_STYLE), FALSE,
                       GetWindowLongW(window_, GWL_EXSTYLE));
    const int width = outer.right - outer.left, height = outer.bottom - outer.top;
    RECT screen{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    RECT beside = screen;
    if (owner) {
        GetWindowRect(owner, &beside);
        MONITORINFO monitor{sizeof monitor, {}, {}, 0};
        if (GetMonitorInfoW(MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST), &monitor))
            screen = monitor.rcWork;
    }
    int left = beside.right;
    if (left + width > screen.right)
        left = beside.left - width >= screen.left ? beside.left - width : screen.right - width;
    const int top = std::max<int>(screen.top, std::min<int>(beside.top, screen.bottom - height));
    SetWindowPos(window_, nullptr, std::max<int>(left, screen.left), top, width, height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void TTransitionOptionsForm::FillControls() {
    const TPluginConfig *config = PluginConfig;
    if (!config)
        return;
    ShowCurve();
    SetWindowTextW(SkipFadeTimeEdit, std::to_wstring(config->SkipFadeTime()).c_str());
    for (const TLevelOption &option : kLevelOptions)
        SetWindowTextW(this->*option.Edit, std::to_wstring((config->*option.Get)()).c_str());
    for (const TCheckBoxOption &option : kCheckBoxOptions) {
        SetChecked(this->*option.Box, (config->*option.Get)());
        EnableFields(option);
    }
}

void TTransitionOptionsForm::ShowCurve() {
    const TPluginConfig *config = PluginConfig;
    if (!config || !window_)
        return;
    const TFadeCurve curve = FadeCurveFor(config->LogTrans(), config->EqualPowerTrans());
    SetChecked(LinearRadio, curve == TFadeCurve::Linear);
    SetChecked(LogarithmicRadio, curve == TFadeCurve::Logarithmic);
    SetChecked(EqualPowerRadio, curve == TFadeCurve::EqualPower);
}

void TTransitionOptionsForm::Show() {
    ShowWindow(window_, SW_SHOW);
    BringWindowToTop(window_);
    SetForegroundWindow(window_);
}

INT_PTR CALLBACK TTransitionOptionsForm::DialogProc(HWND window, UINT message, WPARAM wParam,
                                                    LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto *form = reinterpret_cast<TTransitionOptionsForm *>(lParam);
        form->window_ = window;
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        return FALSE;
    }
    auto *form = reinterpret_cast<TTransitionOptionsForm *>(GetWindowLongPtrW(window, DWLP_USER));
    if (!form)
        return FALSE;
    if (message == WM_NCDESTROY) {
        form->window_ = nullptr;
        return FALSE;
    }
    return Firewall(INT_PTR{FALSE}, [&] { return form->OnMessage(message, wParam, lParam); });
}

INT_PTR TTransitionOptionsForm::OnMessage(UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_CLOSE) {
        DestroyWindow(window_);
        return TRUE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    const int control = LOWORD(wParam), notification = HIWORD(wParam);
    if (OptionCommand(control, notification))
        return TRUE;
    switch (control) {
    case kLinearRadioId:
    case kLogarithmicRadioId:
    case kEqualPowerRadioId:
        if (notification == BN_CLICKED)
            RunHandler([&] { CurveRadioClick(control); });
        break;
    case kSkipFadeTimeEditId:
        if (notification == EN_CHANGE)
            RunHandler([this] { SkipFadeTimeEditChange(); });
        break;
    case kOptionsDoneButtonId: // the button, or Enter
    case IDCANCEL:             // Escape
        PostMessageW(window_, WM_CLOSE, 0, 0);
        break;
    }
    return TRUE;
}

// A failed write is shown over this dialog, which keeps working with the value now in memory.
template <class F> void TTransitionOptionsForm::RunHandler(F &&handler) {
    if (!handlersAttached_)
        return;
    try {
        handler();
    } catch (const std::exception &error) {
        MessageBoxA(window_, error.what(), "Halvern Q-Blend", MB_OK | MB_ICONERROR);
    }
}

// The check box of the configuration dialog says whether transitions are logarithmic, so the
// other two curves clear it; the engine takes the curve from its next sample on.
void TTransitionOptionsForm::CurveRadioClick(int control) {
    TPluginConfig *config = PluginConfig;
    if (!config || SendMessageW(GetDlgItem(window_, control), BM_GETCHECK, 0, 0) != BST_CHECKED)
        return;
    const auto apply = [&] {
        SetFadeCurve(FadeCurveFor(config->LogTrans(), config->EqualPowerTrans()));
        if (onCurveChanged_)
            onCurveChanged_();
    };
    try {
        config->SetEqualPowerTrans(control == kEqualPowerRadioId);
        config->SetLogTrans(control == kLogarithmicRadioId);
    } catch (...) {
        apply();
        throw;
    }
    apply();
}

// Text that is no number stores nothing and stays as typed.
void TTransitionOptionsForm::SkipFadeTimeEditChange() {
    TPluginConfig *config = PluginConfig;
    if (!config)
        return;
    if (const auto ms = ParseEditInteger(WindowText(SkipFadeTimeEdit)))
        config->SetSkipFadeTime(*ms);
}

// Answers whether the control is an option's check box or level.
bool TTransitionOptionsForm::OptionCommand(int control, int notification) {
    for (const TCheckBoxOption &option : kCheckBoxOptions) {
        if (option.Id == control) {
            if (notification == BN_CLICKED)
                RunHandler([&] { OptionClick(option); });
            return true;
        }
    }
    for (const TLevelOption &option : kLevelOptions) {
        if (option.Id == control) {
            if (notification == EN_CHANGE)
                RunHandler([&] { LevelEditChange(option); });
            return true;
        }
    }
    return false;
}

// The fields that belong to the option go on and off with it. The engine reads the options as it
// prepares a transition (the formats one as it opens the next track early): a change applies
// from the next transition.
void TTransitionOptionsForm::OptionClick(const TCheckBoxOption &option) {
    TPluginConfig *config = PluginConfig;
    if (!config)
        return;
    EnableFields(option);
    (config->*option.Set)(IsChecked(this->*option.Box));
}

void TTransitionOptionsForm::EnableFields(const TCheckBoxOption &option) {
    for (HWND TTransitionOptionsForm::*field : option.Fields) {
        if (field)
            EnableWindow(this->*field, IsChecked(this->*option.Box));
    }
}

// A level half typed ("-" or "-5" on the way to "-55") lies outside the range: it stores
// nothing, so that the user's level is not replaced by the default while typing.
void TTransitionOptionsForm::LevelEditChange(const TLevelOption &option) {
    TPluginConfig *config = PluginConfig;
    if (!config)
        return;
    if (const auto db = ParseEditInteger(WindowText(this->*option.Edit));
        db && *db >= option.Lowest && *db <= option.Highest)
        (config->*option.Set)(*db);
}
