// What the plug-in's dialogs share in making their controls: places in pixels, a control made
// as the dialog manager needs it, and a window's text.
#pragma once

#include "../hostlink/PluginError.h"
#include "../globals/PluginGlobals.h"

#include <windows.h>

#include <string>

inline RECT Place(int left, int top, int width, int height) {
    return RECT{left, top, left + width, top + height};
}

// A control inside a group box: its place is given from the group's corner.
inline RECT PlaceInside(const RECT &group, int left, int top, int width, int height) {
    return Place(group.left + left, group.top + top, width, height);
}

inline std::wstring WindowText(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), text.size())));
    return text;
}

// Every control is a child of the dialog itself, so that the dialog manager sees all of them
// for Tab and Enter and their notifications reach the dialog; it takes the dialog's font.
inline HWND CreateDialogControl(HWND dialog, const wchar_t *windowClass, const wchar_t *text,
                                DWORD style, DWORD exStyle, RECT place, int id) {
    const HWND control =
        CreateWindowExW(exStyle, windowClass, text, style, place.left, place.top,
                        place.right - place.left, place.bottom - place.top, dialog,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), PluginInstance, nullptr);
    if (!control)
        throw EPluginError("Unable to create the configuration dialog");
    SendMessageW(control, WM_SETFONT, SendMessageW(dialog, WM_GETFONT, 0, 0), FALSE);
    return control;
}
