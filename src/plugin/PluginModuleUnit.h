// The library's face towards the host: the module record, load-time set-up, and the lifecycle
// entry points Init, Quit, Config and About.
#pragma once

#include <windows.h>

// Process attach: fills PluginModule and ThisLibraryFileName.
void AttachLibrary(HINSTANCE instance);
// The host's first call: reads our version resource into VersionReaderResult and the
// description, once.
void DescribeModule() noexcept;
// Process detach: zeroes PluginModule.
void DetachLibrary();

// Creates the missing global objects in their order. Raises EPluginError when the host link
// cannot be made; what was created before stays.
void InitGlobals();
// Destroys the global objects that exist, in reverse order, then GlobalLock. Never raises.
void QuitGlobals();

void __cdecl PluginInit();
void __cdecl PluginQuit();
void __cdecl PluginConfigure(HWND parent);
void __cdecl PluginAbout(HWND parent);
