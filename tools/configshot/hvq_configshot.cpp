// Opens the plug-in's configuration dialog as a player's Configure button does and keeps it
// open, for a picture of it: the built plug-in runs in the reference host with fresh settings.
// With --more it also presses the dialog's "More..." button, so that the transition options
// show beside it as a user sees them. With --layout it writes what the windows show (the
// description kept beside their picture, see WindowLayout.h) to FILE and closes them at once.
//   hvq_configshot [--more] [--layout FILE] [SECONDS]   (default 60; ends earlier when the
//   dialog is closed)
#include "RefHost.h"
#include "WindowLayout.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

HWND ConfigDialog() {
    return FindWindowA(nullptr, "Q-Blend Config");
}

bool DialogOpen() {
    return ConfigDialog() != nullptr;
}

HWND OpenTransitionOptions() {
    const HWND more = FindWindowExA(ConfigDialog(), nullptr, "Button", "More...");
    if (!more)
        return nullptr;
    SendMessageA(more, BM_CLICK, 0, 0);
    return FindWindowA(nullptr, "Q-Blend Transitions");
}

} // namespace

int main(int argc, char **argv) {
    bool more = false;
    std::string layout;
    int seconds = 60;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--more") == 0)
            more = true;
        else if (std::strcmp(argv[i], "--layout") == 0 && i + 1 < argc)
            layout = argv[++i];
        else
            seconds = std::atoi(argv[i]);
    }
    try {
        refhost::RefHost host;
        host.InstallProduct();
        host.Start();
        host.Product()->Config(host.MainWindow());
        if (!DialogOpen()) {
            std::fprintf(stderr, "hvq_configshot: the plug-in opened no configuration dialog\n");
            return 1;
        }
        std::vector<HWND> windows{ConfigDialog()};
        if (more) {
            windows.push_back(OpenTransitionOptions());
            if (!windows.back()) {
                std::fprintf(stderr, "hvq_configshot: \"More...\" opened no transition options\n");
                return 1;
            }
        }
        if (!layout.empty()) {
            std::ofstream(layout, std::ios::binary) << refhost::DescribeWindows(windows);
            host.Shutdown();
            return 0;
        }
        host.WaitUntil([] { return !DialogOpen(); }, seconds * 1000);
        host.Shutdown();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "hvq_configshot: %s\n", error.what());
        return 1;
    }
    return 0;
}
