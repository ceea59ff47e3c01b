#include "WinAmpAPIUnit.h"

#include "PluginError.h"
#include "TextConvert.h"

#include <vector>

using namespace hostapi;

namespace {

// No answer below the first 64 KiB is a pointer a host could have given.
bool LooksLikePointer(LRESULT answer) {
    return static_cast<ULONG_PTR>(answer) >= 0x10000;
}

wchar_t *__cdecl NoTagAnswer(const wchar_t *, void *) {
    return nullptr;
}

constexpr UINT kCopyPlaylistFileMessage = WM_APP + 214;
constexpr const wchar_t *kHostThreadWindowClass = L"HVQBlendHostThreadWindow";

// The module this code lives in: the plug-in's library, or a test program.
HINSTANCE ModuleInstance() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ModuleInstance), &module);
    return module;
}

template <class Char> bool IsPathDelimiter(Char c) {
    return c == '\\' || c == '/' || c == ':';
}

// The folder part of a path with a trailing backslash. A bare file name holds no folder:
// "\\" alone would put the settings at the drive's root.
template <class Char> std::basic_string<Char> FolderWithBackslash(std::basic_string<Char> path) {
    std::size_t end = path.size();
    while (end > 0 && !IsPathDelimiter(path[end - 1]))
        --end;
    if (end == 0)
        return {};
    path.resize(end);
    if (path.back() != '\\')
        path += Char('\\');
    return path;
}

constexpr std::uint16_t kFirstHostWithWideIniFile = 0x5058;

} // namespace

TWinAmpAPIMan::TWinAmpAPIMan(In_Module *ownModule) {
    if (!ownModule) {
        MessageBoxA(nullptr, "NULL Pointer to module Var.", "Internal Error", MB_OK);
        throw EPluginError("");
    }
    OwnModule = ownModule;
    AttachMainWindow(ownModule->hMainWindow);
}

void TWinAmpAPIMan::AttachMainWindow(HWND window) {
    if (!window)
        throw EPluginError("NULL Winamp Main HWND Var.");
    if (!IsWindow(window))
        throw EPluginError("Bad Winamp Main HWND Var.");
    MainWindow = window;
    EqualizerWindow = QueryHostWindow(kEqualizerWindow, kEqualizerWindowClass);
    PlaylistWindow = QueryHostWindow(kPlaylistWindow, kPlaylistWindowClass);
    ThirdHostWindow = QueryHostWindow(kThirdWindow, nullptr);

    const auto version = static_cast<std::uint32_t>(SendIpc(0, IPC_GETVERSION));
    HostVersionMajor = static_cast<std::uint8_t>(version >> 8);
    HostVersionMinor = static_cast<std::uint8_t>(version);
    HostVersion = static_cast<std::uint16_t>(version);
    if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId())
        MakeHostThreadWindow();
}

HWND TWinAmpAPIMan::QueryHostWindow(HostWindow which, const char *fallbackClass) const {
    const auto answer = reinterpret_cast<HWND>(SendIpc(which, IPC_GETWND));
    if (IsWindow(answer))
        return answer;
    if (!fallbackClass)
        return nullptr;
    const HWND byClass = FindWindowA(fallbackClass, nullptr);
    return IsWindow(byClass) ? byClass : nullptr;
}

LRESULT TWinAmpAPIMan::SendIpc(WPARAM argument, LPARAM ipcNumber) const {
    return SendMessageW(MainWindow, WM_WA_IPC, argument, ipcNumber);
}

// On the host's thread the send and the copy follow each other with no other request between.
std::wstring TWinAmpAPIMan::CopyPlaylistFileHere(int index) const {
    const auto *name = reinterpret_cast<const wchar_t *>(
        SendIpc(static_cast<WPARAM>(index), IPC_GETPLAYLISTFILEW));
    return name ? std::wstring(name) : std::wstring();
}

std::wstring TWinAmpAPIMan::GetPlaylistFile(int index) const {
    if (!hostThreadWindow_ || GetWindowThreadProcessId(MainWindow, nullptr) == GetCurrentThreadId())
        return CopyPlaylistFileHere(index);
    std::lock_guard guard(copyLock_);
    copyIndex_ = index;
    copiedName_.clear();
    SendMessageW(hostThreadWindow_, kCopyPlaylistFileMessage, ++copyTicket_, 0);
    return std::move(copiedName_);
}

// Carries out a copy handed over by GetPlaylistFile; the ticket tells it from a stray message.
LRESULT __stdcall TWinAmpAPIMan::HostThreadWindowProc(HWND window, UINT message, WPARAM wParam,
                                                      LPARAM lParam) {
    if (message != kCopyPlaylistFileMessage)
        return DefWindowProcW(window, message, wParam, lParam);
    const auto *self =
        reinterpret_cast<const TWinAmpAPIMan *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self && wParam == self->copyTicket_) {
        Firewall([&] { self->copiedName_ = self->CopyPlaylistFileHere(self->copyIndex_); });
    }
    return 0;
}

void TWinAmpAPIMan::MakeHostThreadWindow() {
    static const ATOM windowClass = [] {
        WNDCLASSW description{};
        description.lpfnWndProc = &TWinAmpAPIMan::HostThreadWindowProc;
        description.hInstance = ModuleInstance();
        description.lpszClassName = kHostThreadWindowClass;
        return RegisterClassW(&description);
    }();
    if (!windowClass)
        return;
    hostThreadWindow_ = CreateWindowExW(0, kHostThreadWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                        nullptr, ModuleInstance(), nullptr);
    if (hostThreadWindow_)
        SetWindowLongPtrW(hostThreadWindow_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

TWinAmpAPIMan::~TWinAmpAPIMan() {
    if (!hostThreadWindow_)
        return;
    SetWindowLongPtrW(hostThreadWindow_, GWLP_USERDATA, 0);
    // Only its own thread may destroy a window; from another, the window closes itself.
    if (!DestroyWindow(hostThreadWindow_))
        PostMessageW(hostThreadWindow_, WM_CLOSE, 0, 0);
}

int TWinAmpAPIMan::GetPlaylistPosition() const {
    return static_cast<int>(SendIpc(0, IPC_GETLISTPOS));
}

int TWinAmpAPIMan::GetPlaylistLength() const {
    return static_cast<int>(SendIpc(0, IPC_GETLISTLENGTH));
}

std::string TWinAmpAPIMan::GetHostIniFolder() const {
    const LRESULT answer = SendIpc(0, IPC_GETINIFILE);
    // A host without IPC_GETINIFILE answers 1 (unknown message): no folder to offer.
    if (!LooksLikePointer(answer))
        return {};
    return FolderWithBackslash(std::string(reinterpret_cast<const char *>(answer)));
}

// Older hosts do not know the wide message; some answer unknown ones with numbers that are no
// address, so it is sent only to hosts that have it.
std::wstring TWinAmpAPIMan::GetHostIniFolderW() const {
    if (HostVersion >= kFirstHostWithWideIniFile) {
        const LRESULT answer = SendIpc(0, IPC_GETINIFILEW);
        if (LooksLikePointer(answer))
            return FolderWithBackslash(std::wstring(reinterpret_cast<const wchar_t *>(answer)));
    }
    return AnsiToWide(GetHostIniFolder());
}

HWND TWinAmpAPIMan::GetDialogParent() const {
    return reinterpret_cast<HWND>(SendIpc(0, IPC_GETDIALOGBOXPARENT));
}

bool TWinAmpAPIMan::IsImmediateStop() const {
    return FullStopAnswer() == 0; // a failed send never counts as the user's stop
}

int TWinAmpAPIMan::FullStopAnswer() const {
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(MainWindow, WM_WA_IPC, 0, IPC_ISFULLSTOP, SMTO_NORMAL, INFINITE,
                             &answer))
        return -1;
    return static_cast<int>(answer);
}

TExtendedInfoAnswer TWinAmpAPIMan::QueryExtendedInfo(const std::wstring &fileName,
                                                     const std::wstring &fieldName) const {
    std::vector<wchar_t> answer(1025, L'\0'); // 2050 bytes, capacity 1024 characters
    extendedFileInfoStructW request{fileName.c_str(), fieldName.c_str(), answer.data(), 1024};
    if (SendIpc(reinterpret_cast<WPARAM>(&request), IPC_GET_EXTENDED_FILE_INFOW) == 0)
        return {};
    answer.back() = L'\0';
    return {answer.data(), true};
}

TBasicFileInfoStruct TWinAmpAPIMan::QueryTitleAndLength(const std::string &fileName) const {
    std::vector<wchar_t> wideName(MAX_PATH, L'\0');
    const std::wstring converted = AnsiToWide(fileName);
    converted.copy(wideName.data(), wideName.size() - 1);
    std::vector<wchar_t> title(2048, L'\0'); // 4096 bytes

    waFormatTitleExtended request{};
    request.filename = wideName.data();
    request.useExtendedInfo = 1;
    request.spec = nullptr;
    request.p = nullptr;
    request.out = title.data();
    request.out_len = 2048;
    request.TAGFUNC = &NoTagAnswer;
    request.TAGFREEFUNC = nullptr;
    SendIpc(reinterpret_cast<WPARAM>(&request), IPC_FORMAT_TITLE_EXTENDED);
    title.back() = L'\0';

    const TExtendedInfoAnswer length = QueryExtendedInfo(wideName.data(), L"length");
    return {fileName, WideToAnsi(title.data()), length.Found ? WideToAnsi(length.Text) : ""};
}
