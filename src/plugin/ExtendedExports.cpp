#include "ExtendedExports.h"

#include "../hostlink/PluginError.h"
#include "ExtendedFileInfoUnit.h"
#include "ExtendedReadsUnit.h"
#include "../globals/PluginGlobals.h"

namespace {

intptr_t OpenRead(const TReadFileName &name, TSampleForm form, int *size, int *bps, int *nch,
                  int *srate) {
    HostCalledFlag = 1;
    return Firewall(intptr_t{0},
                    [&] { return OpenExtendedRead(name, form, size, bps, nch, srate); });
}

} // namespace

extern "C" {

// Nonzero: the host shows its own tabbed file-information dialog instead of InfoBox.
int __cdecl winampUseUnifiedFileInfoDlg(const wchar_t *fn) {
    HostCalledFlag = 1;
    return Firewall(0, [&] { return extinfo::UseUnifiedDialog(fn); });
}

// Creates the owner's tab page n of that dialog; null when it has no more.
HWND __cdecl winampAddUnifiedFileInfoPane(int n, const wchar_t *fn, HWND parent, wchar_t *name,
                                          size_t namelen) {
    HostCalledFlag = 1;
    return Firewall(HWND{}, [&] { return extinfo::AddUnifiedPane(n, fn, parent, name, namelen); });
}

// One named value of a file ("length", "title" ...); nonzero when answered.
int __cdecl winampGetExtendedFileInfo(const char *fn, const char *data, char *dest, int destlen) {
    HostCalledFlag = 1;
    return Firewall(0, [&] { return extinfo::GetInfo(fn, data, dest, destlen); });
}

int __cdecl winampGetExtendedFileInfoW(const wchar_t *fn, const char *data, wchar_t *dest,
                                       int destlen) {
    HostCalledFlag = 1;
    return Firewall(0, [&] { return extinfo::GetInfoW(fn, data, dest, destlen); });
}

// Stages one value for the next write; nonzero when the owner takes it.
int __cdecl winampSetExtendedFileInfo(const char *fn, const char *data, const char *val) {
    HostCalledFlag = 1;
    return Firewall(0, [&] { return extinfo::SetInfo(fn, data, val); });
}

int __cdecl winampSetExtendedFileInfoW(const wchar_t *fn, const char *data, const wchar_t *val) {
    HostCalledFlag = 1;
    return Firewall(0, [&] { return extinfo::SetInfoW(fn, data, val); });
}

// Commits the staged values; nonzero when the file was updated.
int __cdecl winampWriteExtendedFileInfo() {
    HostCalledFlag = 1;
    return Firewall(0, [] { return extinfo::Write(); });
}

// Removes every tag of a file; nonzero when done.
int __cdecl winampClearExtendedFileInfoW(const wchar_t *fn) {
    HostCalledFlag = 1;
    return Firewall(0, [&] { return extinfo::ClearInfoW(fn); });
}

// Opens a file for decoding to PCM: our handle, or 0. bps, nch and srate carry the caller's
// wishes in and the format out; size the total bytes, or -1 when unknown.
intptr_t __cdecl winampGetExtendedRead_open(const char *fn, int *size, int *bps, int *nch,
                                            int *srate) {
    return OpenRead({nullptr, fn, false}, TSampleForm::Integer, size, bps, nch, srate);
}

intptr_t __cdecl winampGetExtendedRead_open_float(const char *fn, int *size, int *bps, int *nch,
                                                  int *srate) {
    return OpenRead({nullptr, fn, false}, TSampleForm::Float, size, bps, nch, srate);
}

intptr_t __cdecl winampGetExtendedRead_openW(const wchar_t *fn, int *size, int *bps, int *nch,
                                             int *srate) {
    return OpenRead({fn, nullptr, true}, TSampleForm::Integer, size, bps, nch, srate);
}

intptr_t __cdecl winampGetExtendedRead_openW_float(const wchar_t *fn, int *size, int *bps, int *nch,
                                                   int *srate) {
    return OpenRead({fn, nullptr, true}, TSampleForm::Float, size, bps, nch, srate);
}

// Up to len bytes of PCM: the count, 0 at the end, -1 on an error.
intptr_t __cdecl winampGetExtendedRead_getData(intptr_t handle, char *dest, int len,
                                               int *killswitch) {
    HostCalledFlag = 1;
    return Firewall(intptr_t{-1},
                    [&] { return GetExtendedReadData(handle, dest, len, killswitch); });
}

// Seeks to a time from the start; nonzero on success.
int __cdecl winampGetExtendedRead_setTime(intptr_t handle, int millisecs) {
    HostCalledFlag = 1;
    return Firewall(0, [&] { return SetExtendedReadTime(handle, millisecs); });
}

void __cdecl winampGetExtendedRead_close(intptr_t handle) {
    HostCalledFlag = 1;
    Firewall([&] { CloseExtendedRead(handle); });
}
}
