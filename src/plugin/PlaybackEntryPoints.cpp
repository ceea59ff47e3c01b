#include "PlaybackEntryPoints.h"

#include "PluginGlobals.h"

// Until the registry of hooked-in plug-ins exists, the entry points answer as before Init:
// every file is ours, nothing plays, queries answer 0.
namespace {

void __cdecl GetFileInfo(const void *, void *, int *) {
    HostCalledFlag = 1;
}

int __cdecl InfoBox(const void *, HWND) {
    HostCalledFlag = 1;
    return hostapi::kInfoBoxUnchanged;
}

int __cdecl IsOurFile(const void *) {
    HostCalledFlag = 1;
    return 1;
}

int __cdecl Play(const void *) {
    HostCalledFlag = 1;
    return 1;
}

void __cdecl Command() {
    HostCalledFlag = 1;
}

int __cdecl Query() {
    HostCalledFlag = 1;
    return 0;
}

void __cdecl SetValue(int) {
    HostCalledFlag = 1;
}

void __cdecl EQSet(int, char[10], int) {
    HostCalledFlag = 1;
}

} // namespace

void FillPlaybackEntryPoints(In_Module &record) {
    record.GetFileInfo = &GetFileInfo;
    record.InfoBox = &InfoBox;
    record.IsOurFile = &IsOurFile;
    record.Play = &Play;
    record.Pause = &Command;
    record.UnPause = &Command;
    record.IsPaused = &Query;
    record.Stop = &Command;
    record.GetLength = &Query;
    record.GetOutputTime = &Query;
    record.SetOutputTime = &SetValue;
    record.SetVolume = &SetValue;
    record.SetPan = &SetValue;
    record.EQSet = &EQSet;
}
