#include "IcoFile.h"

#include <stdexcept>

namespace icon {
namespace {

constexpr std::uint32_t kDirectoryBytes = 6;
constexpr std::uint32_t kEntryBytes = 16;
constexpr std::uint32_t kBitmapHeaderBytes = 40;

void Put16(std::vector<std::uint8_t> &out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void Put32(std::vector<std::uint8_t> &out, std::uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

// Mask rows are padded to whole 32-bit words.
std::uint32_t MaskRowBytes(int size) {
    return static_cast<std::uint32_t>((size + 31) / 32 * 4);
}

std::uint32_t ImageBytes(int size) {
    const auto pixels = static_cast<std::uint32_t>(size) * size;
    return kBitmapHeaderBytes + pixels * 4 + MaskRowBytes(size) * size;
}

// The bitmap is stored bottom-up, blue first; its header counts the mask's rows in its height.
void PutImage(std::vector<std::uint8_t> &out, const Rgba &image) {
    const int size = image.Size;
    Put32(out, kBitmapHeaderBytes);
    Put32(out, static_cast<std::uint32_t>(size));
    Put32(out, static_cast<std::uint32_t>(size) * 2);
    Put16(out, 1);  // planes
    Put16(out, 32); // bits per pixel
    Put32(out, 0);  // uncompressed
    Put32(out, ImageBytes(size) - kBitmapHeaderBytes);
    for (int i = 0; i < 4; ++i)
        Put32(out, 0); // resolution and palette: unused
    for (int row = size - 1; row >= 0; --row) {
        for (int column = 0; column < size; ++column) {
            const std::uint8_t *p =
                &image.Pixels[(static_cast<std::size_t>(row) * size + column) * 4];
            out.insert(out.end(), {p[2], p[1], p[0], p[3]});
        }
    }
    // Mask bit set: the pixel shows what lies below (only where the image is fully clear).
    for (int row = size - 1; row >= 0; --row) {
        std::vector<std::uint8_t> bits(MaskRowBytes(size), 0);
        for (int column = 0; column < size; ++column) {
            if (image.Pixels[(static_cast<std::size_t>(row) * size + column) * 4 + 3] == 0)
                bits[column / 8] |= static_cast<std::uint8_t>(0x80 >> (column % 8));
        }
        out.insert(out.end(), bits.begin(), bits.end());
    }
}

} // namespace

std::vector<std::uint8_t> EncodeIco(const std::vector<Rgba> &images) {
    std::vector<std::uint8_t> out;
    Put16(out, 0); // reserved
    Put16(out, 1); // an icon, not a cursor
    Put16(out, static_cast<std::uint32_t>(images.size()));
    std::uint32_t offset =
        kDirectoryBytes + kEntryBytes * static_cast<std::uint32_t>(images.size());
    for (const Rgba &image : images) {
        if (image.Size < 1 || image.Size > 256 ||
            image.Pixels.size() != static_cast<std::size_t>(image.Size) * image.Size * 4)
            throw std::invalid_argument("icon image of a size an icon file cannot hold");
        out.push_back(static_cast<std::uint8_t>(image.Size % 256)); // 256 is written as 0
        out.push_back(static_cast<std::uint8_t>(image.Size % 256));
        out.push_back(0); // no palette
        out.push_back(0);
        Put16(out, 1);
        Put16(out, 32);
        Put32(out, ImageBytes(image.Size));
        Put32(out, offset);
        offset += ImageBytes(image.Size);
    }
    for (const Rgba &image : images)
        PutImage(out, image);
    return out;
}

} // namespace icon
