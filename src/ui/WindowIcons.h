// The plug-in's icon in a window's title bar and task switcher: the big and the small image of
// the icon resource, owned for as long as the window may show them.
#pragma once

#include "../globals/ResourceIds.h"

#include <windows.h>

#include <memory>
#include <type_traits>

class TWindowIcons {
  public:
    // Loads both sizes from the module and gives them to the window. A module without the icon
    // (a build without resources) leaves the window as it was.
    void Attach(HWND window, HINSTANCE module) {
        big_.reset(Load(module, SM_CXICON, SM_CYICON));
        small_.reset(Load(module, SM_CXSMICON, SM_CYSMICON));
        if (big_)
            SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big_.get()));
        if (small_)
            SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_.get()));
    }
    // Once the window is gone.
    void Release() {
        big_.reset();
        small_.reset();
    }

  private:
    static HICON Load(HINSTANCE module, int width, int height) {
        return static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(IDI_HVQBLEND), IMAGE_ICON,
                                             GetSystemMetrics(width), GetSystemMetrics(height),
                                             LR_DEFAULTCOLOR));
    }
    struct Deleter {
        void operator()(HICON icon) const { DestroyIcon(icon); }
    };
    std::unique_ptr<std::remove_pointer_t<HICON>, Deleter> big_;
    std::unique_ptr<std::remove_pointer_t<HICON>, Deleter> small_;
};
