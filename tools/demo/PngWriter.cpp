#include "PngWriter.h"

#include <fstream>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#include <stb_image_write.h>

namespace png {

namespace {

void Append(void *context, void *data, int size) {
    auto &out = *static_cast<std::vector<std::uint8_t> *>(context);
    const auto *bytes = static_cast<const std::uint8_t *>(data);
    out.insert(out.end(), bytes, bytes + size);
}

} // namespace

std::vector<std::uint8_t> Encode(const Image &image) {
    std::vector<std::uint8_t> out;
    if (image.Width <= 0 || image.Height <= 0 ||
        image.Rgb.size() < static_cast<std::size_t>(image.Width) * image.Height * 3)
        return out;
    if (!stbi_write_png_to_func(&Append, &out, image.Width, image.Height, 3, image.Rgb.data(),
                                image.Width * 3))
        out.clear();
    return out;
}

bool Save(const std::filesystem::path &path, const Image &image) {
    const std::vector<std::uint8_t> file = Encode(image);
    if (file.empty())
        return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(file.data()),
              static_cast<std::streamsize>(file.size()));
    return static_cast<bool>(out.flush());
}

} // namespace png
