// What a picture of windows shows, as text: for each window its caption, client size and place
// beside the first one, and for each of its controls the class, id, place, text and state. The
// pictures in docs/ keep the description they were taken from beside them, so that a test can
// tell when the windows no longer look like their picture.
#pragma once

#include <windows.h>

#include <span>
#include <string>

namespace refhost {

// One line per window and per control, in creation order; places in pixels from the window's
// client corner. Windows may belong to another thread of this process.
std::string DescribeWindows(std::span<const HWND> windows);

} // namespace refhost
