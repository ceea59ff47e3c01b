// The library entry point and the module export.
#include "../globals/PluginGlobals.h"
#include "PluginModuleUnit.h"

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        AttachLibrary(instance);
    else if (reason == DLL_PROCESS_DETACH)
        DetachLibrary();
    return TRUE;
}

// The host's first call: the address of the one module record, the same every time.
__cdecl In_Module *winampGetInModule2() {
    DescribeModule();
    return &PluginModule;
}
}
