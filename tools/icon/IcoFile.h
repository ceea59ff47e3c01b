// Windows icon files (.ico) written without a library: one image per size, each a 32-bit
// bitmap with straight alpha and the one-bit mask older systems draw with. Pure: no windows.h.
#pragma once

#include "IconArt.h"

#include <cstdint>
#include <vector>

namespace icon {

// The icon file holding the images in the given order. Sizes from 1 to 256 pixels.
std::vector<std::uint8_t> EncodeIco(const std::vector<Rgba> &images);

} // namespace icon
