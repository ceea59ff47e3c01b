// The host's optional extended exports of an input plug-in: file information, the unified
// file-information dialog and extended reading. Each is forwarded to the hooked-in plug-in that
// owns the file; each notes in HostCalledFlag that the host called.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

extern "C" {
int __cdecl winampUseUnifiedFileInfoDlg(const wchar_t *fn);
HWND __cdecl winampAddUnifiedFileInfoPane(int n, const wchar_t *fn, HWND parent, wchar_t *name,
                                          size_t namelen);
int __cdecl winampGetExtendedFileInfo(const char *fn, const char *data, char *dest, int destlen);
int __cdecl winampGetExtendedFileInfoW(const wchar_t *fn, const char *data, wchar_t *dest,
                                       int destlen);
int __cdecl winampSetExtendedFileInfo(const char *fn, const char *data, const char *val);
int __cdecl winampSetExtendedFileInfoW(const wchar_t *fn, const char *data, const wchar_t *val);
int __cdecl winampWriteExtendedFileInfo();
int __cdecl winampClearExtendedFileInfoW(const wchar_t *fn);
intptr_t __cdecl winampGetExtendedRead_open(const char *fn, int *size, int *bps, int *nch,
                                            int *srate);
intptr_t __cdecl winampGetExtendedRead_open_float(const char *fn, int *size, int *bps, int *nch,
                                                  int *srate);
intptr_t __cdecl winampGetExtendedRead_openW(const wchar_t *fn, int *size, int *bps, int *nch,
                                             int *srate);
intptr_t __cdecl winampGetExtendedRead_openW_float(const wchar_t *fn, int *size, int *bps, int *nch,
                                                   int *srate);
intptr_t __cdecl winampGetExtendedRead_getData(intptr_t handle, char *dest, int len,
                                               int *killswitch);
int __cdecl winampGetExtendedRead_setTime(intptr_t handle, int millisecs);
void __cdecl winampGetExtendedRead_close(intptr_t handle);
}
