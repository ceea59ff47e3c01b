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

bool IsPathDelimiter(char c) {
    return c == '\\' || c == '/' || c == ':';
}

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
    std::string path = reinterpret_cast<const char *>(answer);
    std::size_t end = path.size();
    while (end > 0 && !IsPathDelimiter(path[end - 1]))
        --end;
    // A bare file name holds no folder: "\\" alone would put the settings at the drive's root.
    if (end == 0)
        return {};
    std::string folder = path.substr(0, end);
    if (folder.back() != '\\')
        folder += '\\';
    return folder;
}

HWND TWinAmpAPIMan::GetDialogParent() const {
    return reinterpret_cast<HWND>(SendIpc(0, IPC_GETDIALOGBOXPARENT));
}

bool TWinAmpAPIMan::IsImmediateStop() const {
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(MainWindow, WM_WA_IPC, 0, IPC_ISFULLSTOP, SMTO_NORMAL, INFINITE,
                             &answer))
        answer = 0xFFFF; // a failed send never counts as the user's stop
    return answer == 0;
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
