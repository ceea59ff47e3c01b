// The render tool's picture as a PNG file: 8-bit RGB, written by stb_image_write (Debian's
// libstb-dev). Pure: no windows.h.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace png {

// Pixels row by row from the top, three bytes (R, G, B) each.
struct Image {
    int Width = 0;
    int Height = 0;
    std::vector<std::uint8_t> Rgb;
};

// The PNG file of an image; an image without pixels or with a short Rgb gives an empty vector.
std::vector<std::uint8_t> Encode(const Image &image);
// Written through the standard library, so that any file name the system takes works.
bool Save(const std::filesystem::path &path, const Image &image);

} // namespace png
