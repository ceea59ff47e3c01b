// The icon generator: the artwork at each size, and the icon file read back field by field.
#include "IcoFile.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::uint32_t Read32(const std::vector<std::uint8_t> &bytes, std::size_t at) {
    std::uint32_t value = 0;
    std::memcpy(&value, &bytes.at(at + 3) - 3, 4);
    return value;
}

std::uint16_t Read16(const std::vector<std::uint8_t> &bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes.at(at) | bytes.at(at + 1) << 8);
}

const std::uint8_t *Pixel(const icon::Rgba &image, int x, int y) {
    return &image.Pixels[(static_cast<std::size_t>(y) * image.Size + x) * 4];
}

TEST(IconArtwork, AnOpaqueTileWithClearCornersAndBothCurvesAtEverySize) {
    for (const int size : {64, 48, 32, 16}) {
        const icon::Rgba image = icon::DrawArtwork(size);
        ASSERT_EQ(image.Pixels.size(), static_cast<std::size_t>(size) * size * 4);
        EXPECT_EQ(Pixel(image, 0, 0)[3], 0) << size;
        EXPECT_EQ(Pixel(image, size - 1, size - 1)[3], 0) << size;
        EXPECT_EQ(Pixel(image, size / 2, size / 8)[3], 255) << size;
        int blue = 0, amber = 0;
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                const std::uint8_t *p = Pixel(image, x, y);
                blue += p[2] > 200 && p[0] < 120;
                amber += p[0] > 200 && p[2] < 120;
            }
        }
        EXPECT_GT(blue, size) << size; // a stroke of each colour, at least a pixel wide
        EXPECT_GT(amber, size) << size;
    }
}

TEST(IcoFile, DirectoryPointsAtEachBitmapWithItsMaskAfterIt) {
    icon::Rgba first{2, {}}, second{33, {}};
    first.Pixels = {1, 2, 3, 255, 0, 0, 0, 0, 4, 5, 6, 128, 7, 8, 9, 0};
    second.Pixels.assign(33 * 33 * 4, 200);
    second.Pixels[3] = 0; // the top left pixel is clear
    const std::vector<std::uint8_t> file = icon::EncodeIco({first, second});

    EXPECT_EQ(Read16(file, 0), 0);
    EXPECT_EQ(Read16(file, 2), 1);
    ASSERT_EQ(Read16(file, 4), 2);
    // 2x2: header, 16 bytes of pixels, two mask rows of one word each.
    const std::uint32_t firstBytes = 40 + 16 + 2 * 4;
    // 33x33: a mask row needs two words.
    const std::uint32_t secondBytes = 40 + 33 * 33 * 4 + 33 * 8;
    EXPECT_EQ(file[6], 2);
    EXPECT_EQ(Read32(file, 6 + 8), firstBytes);
    EXPECT_EQ(Read32(file, 6 + 12), 6u + 2 * 16);
    EXPECT_EQ(file[22], 33);
    EXPECT_EQ(Read16(file, 22 + 6), 32);
    EXPECT_EQ(Read32(file, 22 + 8), secondBytes);
    EXPECT_EQ(Read32(file, 22 + 12), 6u + 2 * 16 + firstBytes);
    ASSERT_EQ(file.size(), 6u + 2 * 16 + firstBytes + secondBytes);

    const std::size_t bitmap = 38;
    EXPECT_EQ(Read32(file, bitmap), 40u);
    EXPECT_EQ(Read32(file, bitmap + 4), 2u);
    EXPECT_EQ(Read32(file, bitmap + 8), 4u); // the image and its mask
    EXPECT_EQ(Read16(file, bitmap + 14), 32);
    // Bottom row first, blue first: (0,1) then (1,1), then the top row.
    const std::vector<std::uint8_t> pixels(file.begin() + bitmap + 40, file.begin() + bitmap + 56);
    EXPECT_EQ(pixels,
              (std::vector<std::uint8_t>{6, 5, 4, 128, 9, 8, 7, 0, 3, 2, 1, 255, 0, 0, 0, 0}));
    // Mask, bottom row first: the clear pixel (1,1), then (1,0).
    EXPECT_EQ(file[bitmap + 56], 0x40);
    EXPECT_EQ(file[bitmap + 60], 0x40);

    // The larger image's top row is its last mask row; only its first pixel is clear.
    const std::size_t lastMaskRow = 38 + firstBytes + secondBytes - 8;
    EXPECT_EQ(file[lastMaskRow], 0x80);
    for (std::size_t i = 1; i < 8; ++i)
        EXPECT_EQ(file[lastMaskRow + i], 0) << i;
}

TEST(IcoFile, RefusesSizesAnIconCannotHold) {
    EXPECT_THROW(icon::EncodeIco({icon::Rgba{0, {}}}), std::invalid_argument);
    EXPECT_THROW(icon::EncodeIco({icon::Rgba{300, std::vector<std::uint8_t>(300 * 300 * 4)}}),
                 std::invalid_argument);
    EXPECT_THROW(icon::EncodeIco({icon::Rgba{4, std::vector<std::uint8_t>(10)}}),
                 std::invalid_argument);
}

} // namespace
