// PNG files written without a library: 8-bit RGB, each row filtered, the zlib stream either in
// stored blocks or compressed with LZ77 and the fixed Huffman codes of deflate. Pure: no windows.h.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace png {

// Pixels row by row from the top, three bytes (R, G, B) each.
struct Image {
    int Width = 0;
    int Height = 0;
    std::vector<std::uint8_t> Rgb;
};

enum class Deflate {
    Stored, // blocks copied as they are: simplest to check, large
    Fixed,  // LZ77 matches with deflate's fixed codes: small for drawings with flat areas
};

// The checksums PNG and zlib carry. Crc32 continues from crc (0 for a new one).
std::uint32_t Crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);
std::uint32_t Adler32(std::span<const std::uint8_t> bytes);

// A whole zlib stream (header, deflate blocks, Adler-32 of the data).
std::vector<std::uint8_t> ZlibCompress(std::span<const std::uint8_t> data, Deflate mode);

// The PNG file of an image; an image without pixels or with a short Rgb gives an empty vector.
std::vector<std::uint8_t> Encode(const Image &image, Deflate mode = Deflate::Fixed);
bool Save(const std::filesystem::path &path, const Image &image, Deflate mode = Deflate::Fixed);

} // namespace png
