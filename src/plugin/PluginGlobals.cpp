#include "PluginGlobals.h"

#include <memory>

extern "C" {
TWinAmpAPIMan *WinAmpAPIMan = nullptr;
TPluginConfig *PluginConfig = nullptr;
THookedInPlugins *HookedInPlugins = nullptr;
TInPluginPlaybackThread *InPluginPlaybackThread = nullptr;
TConfigForm *ConfigForm = nullptr;
TAboutForm *AboutForm = nullptr;
THookedInPlugin *ActiveHookedIn = nullptr;
std::string ThisLibraryFileName;
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
THookedInPlugin *PendingWritePlugin = nullptr;

// Named apart from the Win32 memory function of the same name.
namespace module {
std::atomic<CRITICAL_SECTION *> GlobalLock{nullptr};
}

namespace {

// Two threads may take their first guard at once: only one critical section may win.
CRITICAL_SECTION *GlobalLockCreatedOnDemand() {
    CRITICAL_SECTION *lock = module::GlobalLock.load();
    if (lock)
        return lock;
    auto fresh = std::make_unique<CRITICAL_SECTION>();
    InitializeCriticalSection(fresh.get());
    if (module::GlobalLock.compare_exchange_strong(lock, fresh.get()))
        return fresh.release();
    DeleteCriticalSection(fresh.get());
    return lock;
}

} // namespace

GERCSBomb::GERCSBomb() {
    EnterCriticalSection(GlobalLockCreatedOnDemand());
}

GERCSBomb::~GERCSBomb() {
    if (CRITICAL_SECTION *lock = module::GlobalLock.load())
        LeaveCriticalSection(lock);
}

bool GlobalLockExists() {
    return module::GlobalLock.load() != nullptr;
}

void DestroyGlobalLock() {
    CRITICAL_SECTION *lock = module::GlobalLock.load();
    if (!lock)
        return;
    // Wait for any other holder to leave before the section goes away.
    EnterCriticalSection(lock);
    LeaveCriticalSection(lock);
    module::GlobalLock.store(nullptr);
    DeleteCriticalSection(lock);
    delete lock;
}
