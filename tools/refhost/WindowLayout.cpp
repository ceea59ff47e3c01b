#include "WindowLayout.h"

#include <commctrl.h>

#include <cstdio>

namespace refhost {

namespace {

std::string Utf8Text(HWND window) {
    wchar_t text[512] = {};
    // Asked of the window's own thread: GetWindowText would not ask a control of another thread.
    SendMessageW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
    char utf8[1536] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    return utf8;
}

std::string ClassOf(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

template <class... Values> std::string Printed(const char *format, Values... values) {
    char line[256];
    std::snprintf(line, sizeof line, format, values...);
    return line;
}

// What a control shows besides its text: off, a check mark, a slider's position.
std::string StateOf(HWND control) {
    std::string state;
    if (!IsWindowVisible(control))
        state += " hidden";
    if (!IsWindowEnabled(control))
        state += " disabled";
    const std::string type = ClassOf(control);
    if (type == "Button" && SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED)
        state += " checked";
    if (type == TRACKBAR_CLASSA)
        state += Printed(" at %d", static_cast<int>(SendMessageW(control, TBM_GETPOS, 0, 0)));
    return state;
}

} // namespace

std::string DescribeWindows(std::span<const HWND> windows) {
    std::string text;
    RECT first{};
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const HWND window = windows[i];
        RECT outer{}, client{};
        GetWindowRect(window, &outer);
        GetClientRect(window, &client);
        if (i == 0)
            first = outer;
        text += Printed("window %s \"", ClassOf(window).c_str()) + Utf8Text(window) +
                Printed("\" client %dx%d at %d,%d\n", static_cast<int>(client.right),
                        static_cast<int>(client.bottom), static_cast<int>(outer.left - first.left),
                        static_cast<int>(outer.top - first.top));
        for (HWND control = GetWindow(window, GW_CHILD); control;
             control = GetWindow(control, GW_HWNDNEXT)) {
            RECT place{};
            GetWindowRect(control, &place);
            MapWindowPoints(nullptr, window, reinterpret_cast<POINT *>(&place), 2);
            text += Printed("  %s %d %d,%d %dx%d \"", ClassOf(control).c_str(),
                            GetDlgCtrlID(control), static_cast<int>(place.left),
                            static_cast<int>(place.top), static_cast<int>(place.right - place.left),
                            static_cast<int>(place.bottom - place.top)) +
                    Utf8Text(control) + "\"" + StateOf(control) + "\n";
        }
    }
    return text;
}

} // namespace refhost
