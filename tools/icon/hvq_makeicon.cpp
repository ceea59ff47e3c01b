// Draws the plug-in's icon and writes it as one icon file with 64, 48, 32 and 16 pixel images;
// the build compiles that file into the plug-in's resources.
//   hvq_makeicon OUT.ico
#include "IcoFile.h"

#include <cstdio>
#include <fstream>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hvq_makeicon OUT.ico\n");
        return 2;
    }
    std::vector<icon::Rgba> images;
    for (const int size : {64, 48, 32, 16})
        images.push_back(icon::DrawArtwork(size));
    const std::vector<std::uint8_t> bytes = icon::EncodeIco(images);
    std::ofstream out(argv[1], std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
        std::fprintf(stderr, "hvq_makeicon: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
