// What the engine uses of the plug-in around it, handed over when the playback thread is
// created. Each object outlives the thread; the registry and the settings may be missing.
#pragma once

#include "../hostlink/WinampApi.h"

class TWinAmpAPIMan;
class THookedInPlugins;
class TPluginConfig;

struct TEngineLinks {
    In_Module *Module = nullptr;             // the plug-in's own record: host members, is_seekable
    HINSTANCE Instance = nullptr;            // for the utility window's class
    const TWinAmpAPIMan *Host = nullptr;     // the host's IPC
    THookedInPlugins *Registry = nullptr;    // the owners of files
    const TPluginConfig *Settings = nullptr; // fade time, shortest faded track, the options
};
