// Loads the plug-in into the reference host as the media player would, and prints what the
// player sees of it: the module record, its description and the host link it made at Init.
#include "RefHost.h"

#include <cstdio>

namespace {

void PrintRecord(const In_Module &module) {
    std::printf("module record at %p (%u bytes)\n", static_cast<const void *>(&module),
                static_cast<unsigned>(sizeof module));
    std::printf("  version         0x%08X\n", static_cast<unsigned>(module.version));
    std::printf("  description     \"%s\"\n", module.description ? module.description : "(null)");
    std::printf("  FileExtensions  %s\n",
                module.FileExtensions && !module.FileExtensions[0] ? "(empty list)" : "(listed)");
    std::printf("  is_seekable     %d\n", module.is_seekable);
    std::printf("  UsesOutputPlug  %d (after the host cleared bits 2, 4, 8 and 16)\n",
                module.UsesOutputPlug);
    std::printf("  hMainWindow     %p\n", static_cast<void *>(module.hMainWindow));
    std::printf("  entry points    Init %s, Quit %s, Play %s, IsOurFile %s\n",
                module.Init ? "set" : "missing", module.Quit ? "set" : "missing",
                module.Play ? "set" : "missing", module.IsOurFile ? "set" : "missing");
}

} // namespace

int main() {
    try {
        refhost::RefHost host;
        host.InstallProduct();
        host.Start();
        const refhost::LoadedPlugin *plugin = host.Plugin(L"in_hvqblend.dll");
        if (!plugin || !plugin->Module) {
            std::printf("the host did not accept in_hvqblend.dll\n");
            return 1;
        }
        PrintRecord(*plugin->Module);
        host.Shutdown();
        return 0;
    } catch (const std::exception &error) {
        std::printf("demo failed: %s\n", error.what());
        return 1;
    }
}
