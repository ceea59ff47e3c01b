#include "ConfigFormUnit.h"

#include "../config/PluginConfigUnit.h"
#include "../hostlink/PluginError.h"
#include "../hostlink/WinAmpAPIUnit.h"
#include "../playback/InPluginPlaybackThreadUnit.h"
#include "../globals/PluginGlobals.h"
#include "ConfigFormRules.h"
#include "DialogControls.h"
#include "DialogTemplate.h"
#include "TransitionOptionsFormUnit.h"

#include <commctrl.h>

#include <utility>
#include <vector>

namespace {

constexpr const wchar_t *kCaption = L"Q-Blend Config";
constexpr const wchar_t *kFontFace = L"MS Sans Serif";
constexpr WORD kFontPoints = 8;
constexpr int kClientWidth = 267;
constexpr int kClientHeight = 251;
constexpr int kOuterWidth = 275;
// A single fixed border and a title bar with the system menu only.
constexpr DWORD kWindowStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT;
// Asks the dialog's own thread to destroy the window (shut-down from another thread).
constexpr UINT kDestroyRequest = WM_APP + 1;
constexpr UINT kDestroyRequestTimeoutMs = 5000;

// The one open dialog whose keys the keyboard hook hands to the dialog manager; UI thread only.
HWND KeyboardDialog = nullptr;

// Replacing an edit's text fires its change event before this returns.
void SetEditNumber(HWND edit, std::int32_t value) {
    SetWindowTextW(edit, std::to_wstring(value).c_str());
}

HWND DialogParentOfHost() {
    if (!WinAmpAPIMan)
        return nullptr;
    const HWND parent = WinAmpAPIMan->GetDialogParent();
    return IsWindow(parent) ? parent : nullptr;
}

} // namespace

TConfigForm::TConfigForm() {
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_BAR_CLASSES};
    InitCommonControlsEx(&classes);
    const std::vector<WORD> dialogTemplate =
        EmptyDialogTemplate(kWindowStyle, kCaption, kFontFace, kFontPoints);
    CreateDialogIndirectParamW(
        PluginInstance, reinterpret_cast<const DLGTEMPLATE *>(dialogTemplate.data()),
        DialogParentOfHost(), &TConfigForm::DialogProc, reinterpret_cast<LPARAM>(this));
    if (!window_)
        throw EPluginError("Unable to create the configuration dialog");
    CreateControls();
    icons_.Attach(window_, PluginInstance);
    // The handlers are attached only once the controls are filled, so that filling writes nothing.
    FillControls();
    handlersAttached_ = true;
    PlaceWindow();
    KeyboardDialog = window_;
    keyboardHook_.reset(SetWindowsHookExW(WH_GETMESSAGE, &TConfigForm::KeyboardHookProc, nullptr,
                                          GetCurrentThreadId()));
}

TConfigForm::~TConfigForm() {
    // An owned window goes before its owner: the options dialog first.
    transitionOptions_.reset();
    const HWND window = std::exchange(window_, nullptr);
    if (!window)
        return;
    if (KeyboardDialog == window)
        KeyboardDialog = nullptr;
    // From here on the window's messages no longer reach this object.
    SetWindowLongPtrW(window, DWLP_USER, 0);
    if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId())
        DestroyWindow(window);
    else
        SendMessageTimeoutW(window, kDestroyRequest, 0, 0, SMTO_ABORTIFHUNG,
                            kDestroyRequestTimeoutMs, nullptr);
}

void TConfigForm::CreateControls() {
    const RECT group1 = Place(8, 8, 249, 49);
    const RECT group2 = Place(8, 64, 249, 49);
    const RECT priorityGroup = Place(8, 144, 249, 65);
    const DWORD child = WS_CHILD | WS_VISIBLE;
    // Created in tab order, which is also the order the dialog manager walks with Tab.
    GroupBox1 = CreateControl(L"BUTTON", L"Crossfade Time (in Milliseconds)", child | BS_GROUPBOX,
                              0, group1, kGroupBox1Id);
    CrossfadeTimeEdit =
        CreateControl(L"EDIT", L"", child | WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE,
                      PlaceInside(group1, 8, 16, 233, 21), kCrossfadeTimeEditId);
    GroupBox2 = CreateControl(L"BUTTON", L"Minimum Length (in Milliseconds)", child | BS_GROUPBOX,
                              0, group2, kGroupBox2Id);
    MinLengthEdit =
        CreateControl(L"EDIT", L"", child | WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE,
                      PlaceInside(group2, 8, 16, 233, 21), kMinLengthEditId);
    DoneButton = CreateControl(L"BUTTON", L"Done", child | WS_TABSTOP | BS_DEFPUSHBUTTON, 0,
                               Place(184, 216, 75, 25), kDoneButtonId);
    // As wide as the groups above it: at the classic 137 pixels a font a little wider than
    // Windows's own MS Sans Serif (Wine's, or its stand-in) cuts the caption's end.
    LogTransCheckBox =
        CreateControl(L"BUTTON", L"Logarithmic Transitions", child | WS_TABSTOP | BS_AUTOCHECKBOX,
                      0, Place(8, 120, 249, 17), kLogTransCheckBoxId);
    PlaybackThreadPriorityGroupBox =
        CreateControl(L"BUTTON", PriorityGroupCaption(TPriorityLevel::Normal).c_str(),
                      child | BS_GROUPBOX, 0, priorityGroup, kPlaybackThreadPriorityGroupBoxId);
    PlaybackThreadPriorityTrackBar = CreateControl(
        TRACKBAR_CLASSW, L"", child | WS_TABSTOP | TBS_HORZ | TBS_BOTTOM | TBS_AUTOTICKS, 0,
        PlaceInside(priorityGroup, 8, 16, 233, 45), kPlaybackThreadPriorityTrackBarId);
    SendMessageW(PlaybackThreadPriorityTrackBar, TBM_SETRANGE, FALSE,
                 MAKELPARAM(0, kPriorityLevelCount - 1));
    SendMessageW(PlaybackThreadPriorityTrackBar, TBM_SETTICFREQ, 1, 0);
    // The options beyond the four settings, last in the tab order.
    MoreButton = CreateControl(L"BUTTON", L"More...", child | WS_TABSTOP | BS_PUSHBUTTON, 0,
                               Place(8, 216, 75, 25), kMoreButtonId);
    SendMessageW(window_, DM_SETDEFID, kDoneButtonId, 0);
}

// A control "inside" a group box is a child of the dialog too, at its place from the group's
// corner.
HWND TConfigForm::CreateControl(const wchar_t *windowClass, const wchar_t *text, DWORD style,
                                DWORD exStyle, RECT place, int id) {
    return CreateDialogControl(window_, windowClass, text, style, exStyle, place, id);
}

void TConfigForm::FillControls() {
    const TPluginConfig *config = PluginConfig;
    if (!config)
        return;
    SetEditNumber(CrossfadeTimeEdit, config->FadeTime());
    SetEditNumber(MinLengthEdit, config->MinFileSize());
    SendMessageW(LogTransCheckBox, BM_SETCHECK, config->LogTrans() ? BST_CHECKED : BST_UNCHECKED,
                 0);
    const TPriorityLevel level = config->PlaybackThreadPriority();
    SendMessageW(PlaybackThreadPriorityTrackBar, TBM_SETPOS, TRUE, static_cast<LPARAM>(level));
    SetWindowTextW(PlaybackThreadPriorityGroupBox, PriorityGroupCaption(level).c_str());
}

// The client area is 267 x 251; the outer width is then set to 275, whatever the frame.
void TConfigForm::PlaceWindow() {
    RECT outer{0, 0, kClientWidth, kClientHeight};
    AdjustWindowRectEx(&outer, GetWindowLongW(window_, GWL_STYLE), FALSE,
                       GetWindowLongW(window_, GWL_EXSTYLE));
    const int height = outer.bottom - outer.top;
    const int left = (GetSystemMetrics(SM_CXSCREEN) - kOuterWidth) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    SetWindowPos(window_, nullptr, left, top, kOuterWidth, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void TConfigForm::Show() {
    ShowWindow(window_, SW_SHOW);
    BringToFront();
    // The first control of the tab order starts with the focus, its text selected.
    if (!IsChild(window_, GetFocus()))
        SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(CrossfadeTimeEdit), TRUE);
}

void TConfigForm::BringToFront() {
    BringWindowToTop(window_);
    SetForegroundWindow(window_);
}

INT_PTR CALLBACK TConfigForm::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto *form = reinterpret_cast<TConfigForm *>(lParam);
        form->window_ = window;
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        return FALSE; // the controls do not exist yet; Show gives the focus
    }
    if (message == kDestroyRequest) {
        DestroyWindow(window);
        return TRUE;
    }
    auto *form = reinterpret_cast<TConfigForm *>(GetWindowLongPtrW(window, DWLP_USER));
    if (!form)
        return FALSE;
    if (message == WM_NCDESTROY) {
        form->OnWindowGone(); // may free the form
        return FALSE;
    }
    // Nothing thrown may leave a window procedure into the system or the host.
    return Firewall(INT_PTR{FALSE}, [&] { return form->OnMessage(message, wParam, lParam); });
}

INT_PTR TConfigForm::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        OnCommand(LOWORD(wParam), HIWORD(wParam));
        return TRUE;
    case WM_HSCROLL:
        if (reinterpret_cast<HWND>(lParam) != PlaybackThreadPriorityTrackBar)
            return FALSE;
        RunHandler([this] { PlaybackThreadPriorityTrackBarChange(); });
        return TRUE;
    case WM_CLOSE:
        FormClose(); // frees the form
        return TRUE;
    default:
        return FALSE;
    }
}

void TConfigForm::OnCommand(int control, int notification) {
    switch (control) {
    case kCrossfadeTimeEditId:
        if (notification == EN_CHANGE)
            RunHandler([this] { CrossfadeTimeEditChange(); });
        break;
    case kMinLengthEditId:
        if (notification == EN_CHANGE)
            RunHandler([this] { MinLengthEditChange(); });
        break;
    case kLogTransCheckBoxId:
        if (notification == BN_CLICKED)
            RunHandler([this] { LogTransCheckBoxClick(); });
        break;
    case kMoreButtonId:
        if (notification == BN_CLICKED)
            RunHandler([this] { MoreButtonClick(); });
        break;
    case kDoneButtonId: // the button, or Enter anywhere in the dialog
        if (notification == BN_CLICKED)
            RunHandler([this] { DoneButtonClick(); });
        break;
    case IDCANCEL: // Escape
        PostMessageW(window_, WM_CLOSE, 0, 0);
        break;
    }
}

// The window is gone, however it went (closed, or taken down with its owner): the global lets
// go of the form, which frees it.
void TConfigForm::OnWindowGone() {
    if (KeyboardDialog == window_)
        KeyboardDialog = nullptr;
    window_ = nullptr;
    if (ConfigForm == this) {
        std::unique_ptr<TConfigForm> closed(std::exchange(ConfigForm, nullptr));
    }
}

// Hands the dialog's keys to the dialog manager whatever message loop the host runs: Tab and
// Shift+Tab move through the controls, Enter presses Done, Escape closes. The host's loop then
// sees an empty message in their place. The same for the options dialog the dialog owns.
LRESULT CALLBACK TConfigForm::KeyboardHookProc(int code, WPARAM removal, LPARAM lParam) {
    auto *message = reinterpret_cast<MSG *>(lParam);
    const HWND dialog = KeyboardDialog;
    const HWND root = message->hwnd ? GetAncestor(message->hwnd, GA_ROOT) : nullptr;
    const bool ours = root && (root == dialog || GetWindow(root, GW_OWNER) == dialog);
    if (code == HC_ACTION && removal == PM_REMOVE && dialog && message->message >= WM_KEYFIRST &&
        message->message <= WM_KEYLAST && ours && IsDialogMessageW(root, message)) {
        message->message = WM_NULL;
        message->wParam = 0;
        message->lParam = 0;
    }
    return CallNextHookEx(nullptr, code, removal, lParam);
}

template <class F> void TConfigForm::RunHandler(F &&handler) {
    if (!handlersAttached_)
        return;
    ++handlerDepth_;
    try {
        handler();
    } catch (const std::exception &error) {
        if (pendingError_.empty())
            pendingError_ = error.what();
    } catch (...) {
    }
    --handlerDepth_;
    if (handlerDepth_ == 0)
        ShowPendingError();
}

template <class F> void TConfigForm::Store(F &&write) {
    try {
        write();
    } catch (const std::exception &error) {
        if (pendingError_.empty())
            pendingError_ = error.what();
    }
}

// Shown as the store's error would be shown by any Windows program: a message box over the
// dialog. The dialog stays open and working.
void TConfigForm::ShowPendingError() {
    if (pendingError_.empty())
        return;
    const std::string text = std::exchange(pendingError_, std::string());
    MessageBoxA(window_, text.c_str(), "Halvern Q-Blend", MB_OK | MB_ICONERROR);
}

// Raising the crossfade time raises the minimum length with it; lowering it leaves that alone.
void TConfigForm::CrossfadeTimeEditChange() {
    TPluginConfig *config = PluginConfig;
    if (!config)
        return;
    const std::int32_t fadeTime =
        ParseEditInteger(WindowText(CrossfadeTimeEdit)).value_or(config->FadeTime());
    // Runs MinLengthEditChange, which stores the new length while the old crossfade time holds.
    if (std::int64_t{fadeTime} * 2 > config->MinFileSize())
        SetEditNumber(MinLengthEdit, TwiceTime(fadeTime));
    Store([&] { config->SetFadeTime(fadeTime); });
}

// A minimum length below twice the crossfade time is replaced at once by twice that time; the
// replacement runs this handler again, which then stores it.
void TConfigForm::MinLengthEditChange() {
    TPluginConfig *config = PluginConfig;
    if (!config)
        return;
    std::int32_t minLength =
        ParseEditInteger(WindowText(MinLengthEdit)).value_or(config->MinFileSize());
    const std::int32_t least = TwiceTime(config->FadeTime());
    if (minLength < least) {
        minLength = least;
        SetEditNumber(MinLengthEdit, minLength);
    }
    Store([&] { config->SetMinFileSize(minLength); });
}

// The engine takes the new shape from its next sample on.
void TConfigForm::LogTransCheckBoxClick() {
    TPluginConfig *config = PluginConfig;
    if (!config)
        return;
    const bool checked = SendMessageW(LogTransCheckBox, BM_GETCHECK, 0, 0) == BST_CHECKED;
    Store([&] { config->SetLogTrans(checked); });
    // Whoever checks or clears it chooses logarithmic or linear, not equal power.
    Store([&] { config->SetEqualPowerTrans(false); });
    SetFadeCurve(FadeCurveFor(config->LogTrans(), config->EqualPowerTrans()));
    if (TTransitionOptionsForm *options = TransitionOptions())
        options->ShowCurve();
}

// Opens the options dialog, or brings the open one to the front.
void TConfigForm::MoreButtonClick() {
    if (TTransitionOptionsForm *options = TransitionOptions()) {
        options->Show();
        return;
    }
    transitionOptions_.reset();
    transitionOptions_ = std::make_unique<TTransitionOptionsForm>(window_, [this] {
        if (const TPluginConfig *config = PluginConfig)
            SendMessageW(LogTransCheckBox, BM_SETCHECK,
                         config->LogTrans() ? BST_CHECKED : BST_UNCHECKED, 0);
    });
    transitionOptions_->Show();
}

TTransitionOptionsForm *TConfigForm::TransitionOptions() const {
    return transitionOptions_ && transitionOptions_->IsOpen() ? transitionOptions_.get() : nullptr;
}

// The running playback thread takes the new priority at once.
void TConfigForm::PlaybackThreadPriorityTrackBarChange() {
    TPluginConfig *config = PluginConfig;
    if (!config)
        return;
    const auto level =
        static_cast<TPriorityLevel>(SendMessageW(PlaybackThreadPriorityTrackBar, TBM_GETPOS, 0, 0));
    if (TInPluginPlaybackThread *thread = InPluginPlaybackThread)
        thread->SetPriority(PriorityLevelToThreadPriority(level));
    Store([&] { config->SetPlaybackThreadPriority(level); });
    SetWindowTextW(PlaybackThreadPriorityGroupBox, PriorityGroupCaption(level).c_str());
}

// Closes once the click has been handled.
void TConfigForm::DoneButtonClick() {
    PostMessageW(window_, WM_CLOSE, 0, 0);
}

// Every way of closing ends here; the window's end frees the form and clears ConfigForm.
void TConfigForm::FormClose() {
    DestroyWindow(window_);
}

void OpenConfigForm() {
    if (ConfigForm) {
        ConfigForm->BringToFront();
        return;
    }
    // Before Init or after Quit there are no settings to show.
    if (!PluginConfig)
        return;
    auto form = std::make_unique<TConfigForm>();
    ConfigForm = form.release();
    ConfigForm->Show();
}

void DestroyConfigForm() noexcept {
    std::unique_ptr<TConfigForm> open(std::exchange(ConfigForm, nullptr));
}
