// Opens the plug-in's configuration dialog as a player's Configure button does and keeps it
// open, for a picture of it: the built plug-in runs in the reference host with fresh settings.
// With --more it also presses the dialog's "More..." button, so that the transition options
// show over it as a user sees them.
//   hvq_configshot [--more] [SECONDS]   (default 60; ends earlier when the dialog is closed)
#include "RefHost.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

HWND ConfigDialog() {
    return FindWindowA(nullptr, "Q-Blend Config");
}

bool DialogOpen() {
    return ConfigDialog() != nullptr;
}

bool OpenTransitionOptions() {
    const HWND more = FindWindowExA(ConfigDialog(), nullptr, "Button", "More...");
    if (!more)
        return false;
    SendMessageA(more, BM_CLICK, 0, 0);
    return FindWindowA(nullptr, "Q-Blend Transitions") != nullptr;
}

} // namespace

int main(int argc, char **argv) {
    const bool more = argc > 1 && std::strcmp(argv[1], "--more") == 0;
    const int seconds = argc > (more ? 2 : 1) ? std::atoi(argv[more ? 2 : 1]) : 60;
    try {
        refhost::RefHost host;
        host.InstallProduct();
        host.Start();
        host.Product()->Config(host.MainWindow());
        if (!DialogOpen()) {
            std::fprintf(stderr, "hvq_configshot: the plug-in opened no configuration dialog\n");
            return 1;
        }
        if (more && !OpenTransitionOptions()) {
            std::fprintf(stderr, "hvq_configshot: \"More...\" opened no transition options\n");
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
