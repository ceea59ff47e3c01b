#include "PluginGlobals.h"

#include "../hookedins/HookedInsUnit.h"

extern "C" {
TWinAmpAPIMan *WinAmpAPIMan = nullptr;
TPluginConfig *PluginConfig = nullptr;
THookedInPlugins *HookedInPlugins = nullptr;
TInPluginPlaybackThread *InPluginPlaybackThread = nullptr;
TConfigForm *ConfigForm = nullptr;
TAboutForm *AboutForm = nullptr;
THookedInPlugin *ActiveHookedIn = nullptr;
std::string ThisLibraryFileName;
std::wstring ThisLibraryFileNameW;
TVersionReader VersionReader;
TVersionReader *VersionReader1 = nullptr;
TVersionReaderResult VersionReaderResult;
}

In_Module PluginModule{};
HINSTANCE PluginInstance = nullptr;
std::string ModuleDescription = "Halvern Q-Blend";
std::atomic<unsigned char> HostCalledFlag{0};
std::wstring LastClaimedFile;
std::wstring LastInfoFileName;
std::shared_ptr<THookedInPlugin> PendingWritePlugin;

namespace {

// The lock lives as long as the library: a host thread may wait for it while Quit runs, and
// must find it there, still the lock, when its turn comes. Made at the first guard.
class TGlobalLock {
  public:
    TGlobalLock() { InitializeCriticalSection(&section_); }
    ~TGlobalLock() { DeleteCriticalSection(&section_); }
    TGlobalLock(const TGlobalLock &) = delete;
    TGlobalLock &operator=(const TGlobalLock &) = delete;
    CRITICAL_SECTION *Section() { return &section_; }

  private:
    CRITICAL_SECTION section_;
};

CRITICAL_SECTION *GlobalLock() {
    static TGlobalLock lock;
    return lock.Section();
}

} // namespace

GERCSBomb::GERCSBomb() {
    EnterCriticalSection(GlobalLock());
}

GERCSBomb::~GERCSBomb() {
    LeaveCriticalSection(GlobalLock());
}

std::shared_ptr<THookedInPlugin> SharedOwnerOf(const wchar_t *fileName) {
    if (!fileName || !*fileName)
        return nullptr;
    TPluginList plugins;
    {
        GERCSBomb guard;
        if (!HookedInPlugins)
            return nullptr;
        plugins = HookedInPlugins->Plugins;
    }
    return THookedInPlugins::FindIn(plugins, fileName);
}
