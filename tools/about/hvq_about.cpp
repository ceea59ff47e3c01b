// Shows the plug-in's about window the way the player does: the reference host loads
// in_hvqblend.dll from its Plugins folder, initialises it and presses its About button. Returns
// when the window is closed (Enter or its OK button). make shot-about takes its picture. With
// --layout FILE it writes what the window shows (the description kept beside its picture, see
// WindowLayout.h) to FILE and closes it at once.
#include "RefHost.h"
#include "WindowLayout.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>
#include <thread>

namespace {

// Waits for the about window (the About entry holds this thread in its loop), writes its
// description and closes it as Enter does.
void DescribeAndClose(const std::string &file) {
    HWND window = nullptr;
    for (int tries = 0; tries < 500 && !(window && IsWindowVisible(window)); ++tries) {
        Sleep(10);
        window = FindWindowW(L"TAboutForm", nullptr);
    }
    if (window) {
        const HWND windows[] = {window};
        std::ofstream(file, std::ios::binary) << refhost::DescribeWindows(windows);
    }
    PostMessageW(window, WM_CHAR, VK_RETURN, 0);
}

} // namespace

int main(int argc, char **argv) {
    const std::string layout = argc > 2 && std::strcmp(argv[1], "--layout") == 0 ? argv[2] : "";
    try {
        refhost::RefHost host;
        host.InstallProduct();
        host.Start();
        In_Module *module = host.Product();
        if (!module) {
            std::fprintf(stderr, "hvq_about: in_hvqblend.dll did not load\n");
            return 1;
        }
        std::thread describer;
        if (!layout.empty())
            describer = std::thread(DescribeAndClose, layout);
        module->About(host.MainWindow());
        if (describer.joinable())
            describer.join();
        host.Shutdown();
        return 0;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "hvq_about: %s\n", error.what());
        return 1;
    }
}
