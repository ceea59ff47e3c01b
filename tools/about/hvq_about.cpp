// Shows the plug-in's about window the way the player does: the reference host loads
// in_hvqblend.dll from its Plugins folder, initialises it and presses its About button. Returns
// when the window is closed (Enter or its OK button). make shot-about takes its picture.
#include "RefHost.h"

#include <cstdio>
#include <exception>

int main() {
    try {
        refhost::RefHost host;
        host.InstallProduct();
        host.Start();
        In_Module *module = host.Product();
        if (!module) {
            std::fprintf(stderr, "hvq_about: in_hvqblend.dll did not load\n");
            return 1;
        }
        module->About(host.MainWindow());
        host.Shutdown();
        return 0;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "hvq_about: %s\n", error.what());
        return 1;
    }
}
