// A test input plug-in that has the extended exports the synthetic ones lack: the unified dialog,
// set, write and clear of file information, and the float opens. Built as in_extall.dll (wide
// and ANSI exports, Unicode record, "SYX") and in_extansi.dll (ANSI exports only, "SYXA").
// Every call is logged through the TestPlugin_* exports; the values it answers do not depend on
// the file, so that a test sees which export answered.
#include "HandleTable.h"
#include "HostText.h"
#include "Introspection.h"
#include "SynthSignal.h"
#include "hostlink/WinampApi.h"

#include <memory>
#include <string>

#ifndef EXT_WIDE
#define EXT_WIDE 1
#endif
#ifndef EXT_PATTERN
#define EXT_PATTERN "SYX"
#endif

namespace {

using plugkit::WideToUtf8;
using testplugin::Note;

std::string Utf8(const char *ansi) {
    return ansi ? WideToUtf8(plugkit::AnsiToWide(ansi)) : "(null)";
}

[[maybe_unused]] std::string Utf8(const wchar_t *wide) {
    return wide ? WideToUtf8(wide) : "(null)";
}

// Fields both forms know, one each form alone knows; anything else is not answered.
bool Answer(const char *field, bool wide, std::wstring &value) {
    const std::string name = field ? field : "";
    if (name == "artist")
        value = wide ? L"Wide Artist" : L"Ansi Artist";
    else if (name == "replaygain_track_gain")
        value = L"-6.5 dB";
    else if (name == (wide ? "wideonly" : "ansionly"))
        value = wide ? L"Wide \u00e9t\u00e9" : L"Ansi \u00e9t\u00e9";
    else
        return false;
    return true;
}

struct Read {
    SynthFormat Format;
    int64_t Frame = 0;
};

plugkit::HandleTable<Read> &Reads() {
    static plugkit::HandleTable<Read> table;
    return table;
}

// Float reads report 32 bits; the samples are the tone's 32-bit ones.
intptr_t Open(const char *logName, const std::wstring &name, bool isFloat, int *size, int *bps,
              int *nch, int *srate) {
    Note(logName, {WideToUtf8(name)});
    testplugin::NoteWishes(bps ? *bps : 0, nch ? *nch : 0, srate ? *srate : 0);
    auto format = ParseSynthName(name);
    if (!format)
        return 0;
    if (isFloat)
        format->Bits = 32;
    *size = static_cast<int>(SynthTotalBytes(*format));
    *bps = format->Bits;
    *nch = format->Channels;
    *srate = format->Rate;
    testplugin::NoteReadOpened();
    return Reads().Add(std::make_unique<Read>(Read{*format}));
}

void __cdecl Nothing() {}
void __cdecl NoWindow(HWND) {}
int __cdecl NotOurs(const void *) {
    return 0;
}
int __cdecl NoPlay(const void *) {
    return -1;
}

In_Module &Record() {
    static char description[] = "Halvern test plug-in with every extended export";
    static char extensions[] = EXT_PATTERN "\0Extended tone (*." EXT_PATTERN ")\0";
    static In_Module record = [] {
        In_Module r{};
        r.version = hostapi::kInVersion | (EXT_WIDE ? hostapi::kInUnicode : 0);
        r.description = description;
        r.FileExtensions = extensions;
        r.UsesOutputPlug = hostapi::kUsesOutputPlugin;
        r.Config = &NoWindow;
        r.About = &NoWindow;
        r.Init = &Nothing;
        r.Quit = &Nothing;
        r.IsOurFile = &NotOurs;
        r.Play = &NoPlay;
        r.Stop = &Nothing;
        return r;
    }();
    return record;
}

} // namespace

extern "C" {

__declspec(dllexport) In_Module *winampGetInModule2() {
    return &Record();
}

#if EXT_WIDE
__declspec(dllexport) int winampUseUnifiedFileInfoDlg(const wchar_t *fn) {
    Note("UseUnifiedFileInfoDlg", {Utf8(fn)});
    return 2;
}

__declspec(dllexport) HWND winampAddUnifiedFileInfoPane(int n, const wchar_t *fn, HWND parent,
                                                        wchar_t *name, size_t namelen) {
    Note("AddUnifiedFileInfoPane",
         {std::to_string(n), Utf8(fn), std::to_string(reinterpret_cast<intptr_t>(parent)),
          std::to_string(namelen)});
    if (n >= 2)
        return nullptr;
    plugkit::CopyOut(L"Pane " + std::to_wstring(n), name, static_cast<int>(namelen));
    return reinterpret_cast<HWND>(0x1000 + n);
}

__declspec(dllexport) int winampGetExtendedFileInfoW(const wchar_t *fn, const char *data,
                                                     wchar_t *dest, int destlen) {
    Note("GetInfoW", {Utf8(fn), Utf8(data)});
    std::wstring value;
    if (!Answer(data, true, value))
        return 0;
    plugkit::CopyOut(value, dest, destlen);
    return 1;
}

__declspec(dllexport) int winampSetExtendedFileInfoW(const wchar_t *fn, const char *data,
                                                     const wchar_t *val) {
    Note("SetInfoW", {Utf8(fn), Utf8(data), Utf8(val)});
    return 1;
}

__declspec(dllexport) int winampClearExtendedFileInfoW(const wchar_t *fn) {
    Note("ClearInfoW", {Utf8(fn)});
    return 3;
}

__declspec(dllexport) intptr_t
    winampGetExtendedRead_openW(const wchar_t *fn, int *size, int *bps, int *nch, int *srate) {
    return Open("OpenW", fn, false, size, bps, nch, srate);
}

__declspec(dllexport) intptr_t winampGetExtendedRead_openW_float(const wchar_t *fn, int *size,
                                                                 int *bps, int *nch, int *srate) {
    return Open("OpenWFloat", fn, true, size, bps, nch, srate);
}
#endif

__declspec(dllexport) int winampGetExtendedFileInfo(const char *fn, const char *data, char *dest,
                                                    int destlen) {
    Note("GetInfoA", {Utf8(fn), Utf8(data)});
    std::wstring value;
    if (!Answer(data, false, value))
        return 0;
    plugkit::CopyOut(value, dest, destlen);
    return 1;
}

__declspec(dllexport) int winampSetExtendedFileInfo(const char *fn, const char *data,
                                                    const char *val) {
    Note("SetInfoA", {Utf8(fn), Utf8(data), Utf8(val)});
    return 1;
}

__declspec(dllexport) int winampWriteExtendedFileInfo() {
    Note("WriteInfo");
    return 1;
}

__declspec(dllexport) intptr_t
    winampGetExtendedRead_open(const char *fn, int *size, int *bps, int *nch, int *srate) {
    return Open("OpenA", plugkit::AnsiToWide(fn), false, size, bps, nch, srate);
}

__declspec(dllexport) intptr_t
    winampGetExtendedRead_open_float(const char *fn, int *size, int *bps, int *nch, int *srate) {
    return Open("OpenAFloat", plugkit::AnsiToWide(fn), true, size, bps, nch, srate);
}

__declspec(dllexport) intptr_t
    winampGetExtendedRead_getData(intptr_t handle, char *dest, int len, int *) {
    Note("GetData", {std::to_string(len)});
    int64_t given = 0;
    Reads().With(handle, [&](Read &read) {
        const int frameBytes = SynthFrameBytes(read.Format);
        const int64_t frames =
            std::min<int64_t>(len / frameBytes, SynthTotalFrames(read.Format) - read.Frame);
        SynthPcm(read.Format, read.Frame, frames, reinterpret_cast<uint8_t *>(dest));
        read.Frame += frames;
        given = frames * frameBytes;
    });
    return static_cast<intptr_t>(given);
}

__declspec(dllexport) int winampGetExtendedRead_setTime(intptr_t handle, int millisecs) {
    Note("SetTime", {std::to_string(millisecs)});
    return Reads().With(handle, [&](Read &read) {
        read.Frame = static_cast<int64_t>(millisecs) * read.Format.Rate / 1000;
    });
}

__declspec(dllexport) void winampGetExtendedRead_close(intptr_t handle) {
    Note("Close");
    testplugin::NoteReadClosed(Reads().Take(handle) != nullptr);
}

} // extern "C"
