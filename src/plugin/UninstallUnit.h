// Uninstall while the host runs: every file goes back to the hooked-in plug-in that owns it, the
// host stops calling into this library, and the registry and the settings file go.
#pragma once

#include "../hostlink/WinampApi.h"

// Points every function member of record except Init and Quit at its uninstall substitute: a
// substitute only notes that the host called (HostCalledFlag; IsOurFile does not), answers that
// nothing is ours, and still stops and still tells the position of what plays.
void FillUninstallSubstitutes(In_Module &record);
// Only the IsOurFile substitute, put in first so that the host stops giving files to us.
void FillIsOurFileSubstitute(In_Module &record);

// The uninstall itself, on the host's calling thread. Answers 1 when the host stopped calling
// within 21 attempts and nothing of ours plays any more (the host may unload the library now),
// 0 when it gave up (the host removes the library at its next start).
int UninstallPlugin() noexcept;

extern "C" int __cdecl winampUninstallPlugin(HINSTANCE instance, HWND parent, int param);
