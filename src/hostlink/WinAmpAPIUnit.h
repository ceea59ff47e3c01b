// The plug-in's link to the host: checks and keeps the host's main window and wraps the IPC
// queries sent to it.
#pragma once

#include "WinampApi.h"

#include <cstdint>
#include <mutex>
#include <string>

// Result of QueryTitleAndLength; all three texts are ANSI.
struct TBasicFileInfoStruct {
    std::string FileName;
    std::string Title;
    std::string LengthText;
};

struct TExtendedInfoAnswer {
    std::wstring Text;
    bool Found = false;
};

class TWinAmpAPIMan {
  public:
    // Raises EPluginError when the record is null (after a message box) or its main window is
    // unusable. Fields are fixed after construction and only read afterwards, from any thread.
    explicit TWinAmpAPIMan(In_Module *ownModule);
    ~TWinAmpAPIMan();

    TWinAmpAPIMan(const TWinAmpAPIMan &) = delete;
    TWinAmpAPIMan &operator=(const TWinAmpAPIMan &) = delete;

    int GetPlaylistPosition() const;
    int GetPlaylistLength() const;
    // The folder of the host's INI file with a trailing backslash; empty when the host names none.
    std::string GetHostIniFolder() const;
    // The same, exact in every character: from the host's wide INI path where it offers one
    // (from 5.58 on), else converted from the ANSI one.
    std::wstring GetHostIniFolderW() const;
    HWND GetDialogParent() const;
    // True only when the host says the stop is the user's (IPC_ISFULLSTOP answers 0).
    bool IsImmediateStop() const;
    // IPC_ISFULLSTOP as the host answers it: 0 the user's stop, 1 between tracks, 2 the host
    // ends playing here (stop after current, the playlist's end); -1 when the send failed.
    int FullStopAnswer() const;
    // The full file name of a playlist entry (IPC_GETPLAYLISTFILEW); empty for an index the host
    // does not know. Any thread.
    std::wstring GetPlaylistFile(int index) const;
    TExtendedInfoAnswer QueryExtendedInfo(const std::wstring &fileName,
                                          const std::wstring &fieldName) const;
    TBasicFileInfoStruct QueryTitleAndLength(const std::string &fileName) const;

    // Sends one IPC message to the host's main window and answers the host's result.
    LRESULT SendIpc(WPARAM argument, LPARAM ipcNumber) const;

    In_Module *OwnModule = nullptr;
    HWND MainWindow = nullptr;
    HWND EqualizerWindow = nullptr;
    HWND PlaylistWindow = nullptr;
    HWND ThirdHostWindow = nullptr;
    std::uint8_t HostVersionMajor = 0;
    std::uint8_t HostVersionMinor = 0;
    std::uint16_t HostVersion = 0;

  private:
    void AttachMainWindow(HWND window);
    HWND QueryHostWindow(hostapi::HostWindow which, const char *fallbackClass) const;
    void MakeHostThreadWindow();
    std::wstring CopyPlaylistFileHere(int index) const;
    static LRESULT __stdcall HostThreadWindowProc(HWND, UINT, WPARAM, LPARAM);

    // The host answers a playlist name in one buffer that its next answer reuses. A message-only
    // window on the host's thread asks and copies there, so no other request comes in between;
    // other threads hand it their index one at a time.
    HWND hostThreadWindow_ = nullptr;
    mutable std::mutex copyLock_;
    mutable int copyIndex_ = 0;       // guarded by copyLock_
    mutable unsigned copyTicket_ = 0; // guarded by copyLock_
    mutable std::wstring copiedName_; // guarded by copyLock_
};
