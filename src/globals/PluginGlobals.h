// The module-level globals through which every part of the plug-in reaches the one instance of
// each main class, and the process-wide lock that guards their creation and destruction.
// The globals are exported as data symbols with a leading underscore (see in_hvqblend.def).
#pragma once

#include "../about/VersionReaderUnit.h"
#include "../hostlink/WinampApi.h"

#include <atomic>
#include <memory>
#include <string>

class TWinAmpAPIMan;
class TPluginConfig;
class THookedInPlugins;
class THookedInPlugin;
class TInPluginPlaybackThread;
class TConfigForm;
class TAboutForm;

extern "C" {
// Each main-class global owns its object; written only under GlobalLock (Init, Quit).
extern TWinAmpAPIMan *WinAmpAPIMan;
extern TPluginConfig *PluginConfig;
extern THookedInPlugins *HookedInPlugins;
extern TInPluginPlaybackThread *InPluginPlaybackThread;
extern TConfigForm *ConfigForm;
extern TAboutForm *AboutForm;
// The hooked-in plug-in playing in direct mode; written by the host's thread only.
extern THookedInPlugin *ActiveHookedIn;
// Full ANSI path of this library, set at attach and never changed afterwards.
extern std::string
    ThisLibraryFileName; // ANSI, as published; "?" where the code page lacks a character
extern std::wstring ThisLibraryFileNameW; // the same path, exact: what every file operation uses
extern TVersionReader VersionReader;
extern TVersionReader *VersionReader1; // the about dialog's own reader while it reads
extern TVersionReaderResult VersionReaderResult;
}

// The record the host receives; the host fills its host members.
extern In_Module PluginModule;
extern HINSTANCE PluginInstance;
extern std::string ModuleDescription;

// Set by every entry point the host calls, so uninstall can tell when the host stopped calling.
extern std::atomic<unsigned char> HostCalledFlag;
// The last wide file name IsOurFile claimed (empty when none); IsOurFile may come from any host
// thread, so it is read and written through the playback entry points' lock.
extern std::wstring LastClaimedFile;
// The file of the last extended-information query; guarded by GlobalLock.
extern std::wstring LastInfoFileName;
// The plug-in that takes the next extended-information write; guarded by GlobalLock.
extern std::shared_ptr<THookedInPlugin> PendingWritePlugin;

// The hooked-in plug-in that owns a file, for calls from any host thread: the registry's list
// is copied under GlobalLock, the plug-ins are asked outside it, and the plug-in found stays
// alive (with its library) while the caller holds it, whatever Quit does meanwhile. Null
// without registry, for a null or empty name, or when nobody owns the file.
std::shared_ptr<THookedInPlugin> SharedOwnerOf(const wchar_t *fileName);

// Holds GlobalLock, a recursive critical section that lives as long as the library, for its
// whole scope.
class GERCSBomb {
  public:
    GERCSBomb();
    ~GERCSBomb();
    GERCSBomb(const GERCSBomb &) = delete;
    GERCSBomb &operator=(const GERCSBomb &) = delete;
};
