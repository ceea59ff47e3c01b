// Opens the plug-in's configuration dialog as a player's Configure button does and keeps it
// open, for a picture of it: the built plug-in runs in the reference host with fresh settings.
//   hvq_configshot [SECONDS]   (default 60; ends earlier when the dialog is closed)
#include "RefHost.h"

#include <cstdio>
#include <cstdlib>

namespace {

bool DialogOpen() {
    return FindWindowA(nullptr, "Q-Blend Config") != nullptr;
}

} // namespace

int main(int argc, char **argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    try {
        refhost::RefHost host;
        host.InstallProduct();
        host.Start();
        host.Product()->Config(host.MainWindow());
        if (!DialogOpen()) {
            std::fprintf(stderr, "hvq_configshot: the plug-in opened no configuration dialog\n");
            return 1;
        }
        host.WaitUntil([] { return !DialogOpen(); }, seconds * 1000);
        host.Shutdown();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "hvq_configshot: %s\n", error.what());
        return 1;
    }
    return 0;
}
