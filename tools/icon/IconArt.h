// The plug-in's icon, drawn by program at any size: two gain curves crossing on a dark tile, one
// track fading out while the next fades in. Pure: no windows.h.
#pragma once

#include <cstdint>
#include <vector>

namespace icon {

// Pixels row by row from the top, four bytes each: red, green, blue and straight alpha.
struct Rgba {
    int Size = 0;
    std::vector<std::uint8_t> Pixels;
};

// The artwork at size x size pixels, anti-aliased; the corners outside the tile are transparent.
Rgba DrawArtwork(int size);

} // namespace icon
