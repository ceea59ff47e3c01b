// Draws the about window's four pictures and writes them as 24-bit BMP files into the folder
// given: about_picture1.bmp (32 x 32 emblem), about_picture2.bmp (477 x 331 background),
// about_picture3.bmp (353 x 89 title) and about_picture4.bmp (242 x 111 crossfade).
// The motif is the product's own: two sound waves, one fading out while the next fades in, in
// the about window's blues with its yellow, lime and light red. Everything is computed here, so
// the build makes the same pictures on every machine.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Rgb {
    double R = 0, G = 0, B = 0;
};

constexpr Rgb kNavy{0, 0, 72};
constexpr Rgb kDarkBlue{0, 0, 176};
constexpr Rgb kFaceBlue{0, 0, 255};
constexpr Rgb kLightBlue{79, 79, 255};
constexpr Rgb kYellow{255, 255, 0};
constexpr Rgb kLime{0, 255, 0};
constexpr Rgb kLightRed{255, 64, 64};
constexpr Rgb kWhite{255, 255, 255};
// The emblem's corners: the window draws this colour (its bottom-left pixel) transparently.
constexpr Rgb kKey{255, 0, 255};

constexpr double kPi = 3.14159265358979323846;

Rgb Mix(Rgb a, Rgb b, double t) {
    t = std::clamp(t, 0.0, 1.0);
    return {a.R + (b.R - a.R) * t, a.G + (b.G - a.G) * t, a.B + (b.B - a.B) * t};
}

class Picture {
  public:
    Picture(int width, int height, Rgb fill)
        : width_(width), height_(height), pixels_(std::size_t(width) * height, fill) {}
    int Width() const { return width_; }
    int Height() const { return height_; }
    Rgb &At(int x, int y) { return pixels_[std::size_t(y) * width_ + x]; }

    void Blend(int x, int y, Rgb colour, double alpha) {
        if (x < 0 || y < 0 || x >= width_ || y >= height_ || alpha <= 0)
            return;
        At(x, y) = Mix(At(x, y), colour, alpha);
    }

    // Every pixel gets the colour that shade gives for its centre.
    void Shade(const std::function<Rgb(double x, double y, Rgb old)> &shade) {
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x)
                At(x, y) = shade(x + 0.5, y + 0.5, At(x, y));
    }

    // The graph of y = f(x) between x0 and x1, a line of the given thickness with soft edges:
    // per column, the vertical distance corrected by the slope approximates the true distance.
    void Curve(const std::function<double(double)> &f, double x0, double x1, double thickness,
               Rgb colour, const std::function<double(double)> &alphaAt) {
        for (int x = std::max(0, int(x0)); x < std::min(width_, int(std::ceil(x1))); ++x) {
            const double cx = x + 0.5;
            const double slope = (f(cx + 0.25) - f(cx - 0.25)) * 2;
            const double stretch = std::sqrt(1 + slope * slope);
            const double centre = f(cx);
            const int reach = int(thickness * stretch) + 2;
            for (int y = int(centre) - reach; y <= int(centre) + reach; ++y) {
                const double distance = std::abs(y + 0.5 - centre) / stretch;
                const double coverage = std::clamp(thickness / 2 + 0.5 - distance, 0.0, 1.0);
                Blend(x, y, colour, coverage * alphaAt(cx));
            }
        }
    }

    void FillRect(int left, int top, int right, int bottom, Rgb colour, double alpha = 1) {
        for (int y = top; y < bottom; ++y)
            for (int x = left; x < right; ++x)
                Blend(x, y, colour, alpha);
    }

    // 24-bit BI_RGB, rows bottom-up and padded to four bytes, as the resource compiler takes it.
    bool WriteBmp(const std::string &fileName) const {
        const int rowBytes = (width_ * 3 + 3) & ~3;
        const std::uint32_t imageBytes = std::uint32_t(rowBytes) * height_;
        std::vector<std::uint8_t> file;
        auto put16 = [&](std::uint32_t v) {
            file.push_back(std::uint8_t(v));
            file.push_back(std::uint8_t(v >> 8));
        };
        auto put32 = [&](std::uint32_t v) {
            put16(v & 0xFFFF);
            put16(v >> 16);
        };
        file.push_back('B');
        file.push_back('M');
        put32(14 + 40 + imageBytes);
        put32(0);
        put32(14 + 40);
        put32(40);
        put32(std::uint32_t(width_));
        put32(std::uint32_t(height_));
        put16(1);
        put16(24);
        put32(0); // BI_RGB
        put32(imageBytes);
        put32(2835); // 72 dpi
        put32(2835);
        put32(0);
        put32(0);
        for (int y = height_ - 1; y >= 0; --y) {
            for (int x = 0; x < width_; ++x) {
                const Rgb &p = pixels_[std::size_t(y) * width_ + x];
                file.push_back(Byte(p.B));
                file.push_back(Byte(p.G));
                file.push_back(Byte(p.R));
            }
            file.resize(file.size() + (rowBytes - width_ * 3), 0);
        }
        std::ofstream out(fileName, std::ios::binary);
        out.write(reinterpret_cast<const char *>(file.data()), std::streamsize(file.size()));
        return bool(out);
    }

  private:
    static std::uint8_t Byte(double v) {
        return std::uint8_t(std::lround(std::clamp(v, 0.0, 255.0)));
    }

    int width_, height_;
    std::vector<Rgb> pixels_;
};

// A sound-like wave: two partials under a slow swell, deterministic.
double Wave(double x, double period, double phase) {
    const double t = 2 * kPi * x / period + phase;
    return 0.62 * std::sin(t) + 0.28 * std::sin(2.7 * t + 1.3) + 0.10 * std::sin(6.1 * t + 0.4);
}

// Capital letters of a 5 x 7 block font, enough for the product's name.
const std::array<const char *, 7> *Glyph(char c) {
    static const std::array<const char *, 7> H{"#...#", "#...#", "#...#", "#####",
                                               "#...#", "#...#", "#...#"};
    static const std::array<const char *, 7> A{".###.", "#...#", "#...#", "#####",
                                               "#...#", "#...#", "#...#"};
    static const std::array<const char *, 7> L{"#....", "#....", "#....", "#....",
                                               "#....", "#....", "#####"};
    static const std::array<const char *, 7> V{"#...#", "#...#", "#...#", "#...#",
                                               "#...#", ".#.#.", "..#.."};
    static const std::array<const char *, 7> E{"#####", "#....", "#....", "####.",
                                               "#....", "#....", "#####"};
    static const std::array<const char *, 7> R{"####.", "#...#", "#...#", "####.",
                                               "#.#..", "#..#.", "#...#"};
    static const std::array<const char *, 7> N{"#...#", "##..#", "#.#.#", "#..##",
                                               "#...#", "#...#", "#...#"};
    static const std::array<const char *, 7> Q{".###.", "#...#", "#...#", "#...#",
                                               "#.#.#", "#..#.", ".##.#"};
    static const std::array<const char *, 7> B{"####.", "#...#", "#...#", "####.",
                                               "#...#", "#...#", "####."};
    static const std::array<const char *, 7> D{"####.", "#...#", "#...#", "#...#",
                                               "#...#", "#...#", "####."};
    static const std::array<const char *, 7> Dash{".....", ".....", ".....", "#####",
                                                  ".....", ".....", "....."};
    switch (c) {
    case 'H':
        return &H;
    case 'A':
        return &A;
    case 'L':
        return &L;
    case 'V':
        return &V;
    case 'E':
        return &E;
    case 'R':
        return &R;
    case 'N':
        return &N;
    case 'Q':
        return &Q;
    case 'B':
        return &B;
    case 'D':
        return &D;
    case '-':
        return &Dash;
    default:
        return nullptr;
    }
}

int TextWidth(const std::string &text, int scale) {
    return int(text.size()) * 6 * scale - scale;
}

// Block letters, each dot a scale x scale square; colourAt gives the colour by row (0..1).
void Text(Picture &p, const std::string &text, int left, int top, int scale,
          const std::function<Rgb(double row)> &colourAt) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto *glyph = Glyph(text[i]);
        if (!glyph)
            continue;
        const int gx = left + int(i) * 6 * scale;
        for (int row = 0; row < 7; ++row)
            for (int col = 0; col < 5; ++col)
                if ((*glyph)[row][col] == '#')
                    for (int y = 0; y < scale; ++y)
                        p.FillRect(gx + col * scale, top + row * scale + y, gx + (col + 1) * scale,
                                   top + row * scale + y + 1,
                                   colourAt((row * scale + y + 0.5) / (7.0 * scale)));
    }
}

// The window's background: deep blue at the top to the window's own blue at the bottom, sound
// rings spreading from the emblem, and a quiet crossfading wave along the bottom edge.
Picture Background() {
    Picture p(477, 331, kFaceBlue);
    const double cx = 239, cy = 246;
    p.Shade([&](double x, double y, Rgb) {
        Rgb c = Mix(kNavy, kFaceBlue, std::pow(y / 331.0, 0.8));
        const double r = std::hypot(x - cx, (y - cy) * 1.35);
        const double ring = std::pow(std::max(0.0, std::cos(r / 9.0 * kPi)), 12);
        c = Mix(c, kLightBlue, ring * 0.35 * std::exp(-r / 170.0));
        // faint scan lines, like a level meter's grid
        if (int(y) % 4 == 0)
            c = Mix(c, kNavy, 0.12);
        return c;
    });
    const auto fadeOut = [](double x) { return 0.65 * std::clamp(1 - (x - 40) / 330, 0.0, 1.0); };
    const auto fadeIn = [](double x) { return 0.65 * std::clamp((x - 40) / 330, 0.0, 1.0); };
    p.Curve([](double x) { return 318 + 7 * Wave(x, 37, 0.0) * (1 - x / 477); }, 0, 392, 1.6,
            kLightRed, [&](double x) { return fadeOut(x) + 0.1; });
    p.Curve([](double x) { return 318 + 7 * Wave(x, 29, 2.0) * (x / 477); }, 0, 392, 1.6, kLime,
            [&](double x) { return fadeIn(x) + 0.1; });
    // a thin frame so the borderless window has an edge on any desktop
    p.FillRect(0, 0, 477, 1, kLightBlue);
    p.FillRect(0, 0, 1, 331, kLightBlue);
    p.FillRect(0, 330, 477, 331, kDarkBlue);
    p.FillRect(476, 0, 477, 331, kDarkBlue);
    return p;
}

// The emblem above the labels: a round speaker grille crossed by the two fade lines. Its
// corners hold the key colour; no soft edges, so nothing of the key colour bleeds in.
Picture Emblem() {
    Picture p(32, 32, kKey);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) {
            const double dx = x + 0.5 - 16, dy = y + 0.5 - 16;
            const double r = std::hypot(dx, dy);
            if (r <= 15)
                p.At(x, y) = kDarkBlue;
            if (r <= 13)
                p.At(x, y) = Mix(kLightBlue, kFaceBlue, r / 13);
            if (r <= 15 && r > 13.6)
                p.At(x, y) = kYellow;
        }
    for (int x = 7; x < 25; ++x) {
        p.At(x, x) = kLightRed;
        p.At(x, x + 1) = kLightRed;
        p.At(x, 31 - x) = kLime;
        p.At(x, 30 - x) = kLime;
    }
    return p;
}

// The title: the maker's name small in light blue, the product's name in block letters that run
// from yellow to light red, on a dark panel with a bevelled edge.
Picture Title() {
    Picture p(353, 89, kNavy);
    p.Shade([](double, double y, Rgb) { return Mix(kNavy, kDarkBlue, y / 89.0); });
    p.FillRect(0, 0, 353, 2, kLightBlue);
    p.FillRect(0, 0, 2, 89, kLightBlue);
    p.FillRect(0, 87, 353, 89, kNavy);
    p.FillRect(351, 0, 353, 89, kNavy);
    const std::string maker = "HALVERN", product = "Q-BLEND";
    Text(p, maker, (353 - TextWidth(maker, 2)) / 2, 8, 2, [](double) { return kLightBlue; });
    const int left = (353 - TextWidth(product, 7)) / 2;
    Text(p, product, left + 3, 31, 7, [](double) { return Rgb{0, 0, 40}; }); // shadow
    Text(p, product, left, 28, 7, [](double row) { return Mix(kYellow, kLightRed, row); });
    p.Curve([](double x) { return 82 + 2.5 * Wave(x, 23, 0.5); }, 12, 341, 1.2, kLime,
            [](double x) { return 0.8 * std::sin(kPi * (x - 12) / 329); });
    return p;
}

// The crossfade itself: the outgoing wave shrinking under its falling gain line while the
// incoming one grows under its rising line, on a grid.
Picture Crossfade() {
    Picture p(242, 111, kNavy);
    p.Shade([](double x, double y, Rgb c) {
        if (int(x) % 22 == 10 || int(y) % 22 == 10)
            return Mix(c, kDarkBlue, 0.9);
        return c;
    });
    const double top = 14, bottom = 97, mid = (top + bottom) / 2, half = (bottom - top) / 2;
    const auto out = [](double x) { return std::clamp(1 - (x - 40) / 162, 0.0, 1.0); };
    const auto in = [](double x) { return std::clamp((x - 40) / 162, 0.0, 1.0); };
    p.Curve([&](double x) { return mid + half * 0.9 * out(x) * Wave(x, 34, 0.0); }, 4, 238, 1.3,
            kLightRed, [](double) { return 0.9; });
    p.Curve([&](double x) { return mid + half * 0.9 * in(x)*Wave(x, 26, 1.0); }, 4, 238, 1.3, kLime,
            [](double) { return 0.9; });
    p.Curve([&](double x) { return bottom - (bottom - top) * out(x); }, 4, 238, 2.0, kYellow,
            [](double) { return 1.0; });
    p.Curve([&](double x) { return bottom - (bottom - top) * in(x); }, 4, 238, 2.0, kWhite,
            [](double) { return 0.85; });
    p.FillRect(0, 0, 242, 1, kLightBlue);
    p.FillRect(0, 0, 1, 111, kLightBlue);
    p.FillRect(0, 110, 242, 111, kDarkBlue);
    p.FillRect(241, 0, 242, 111, kDarkBlue);
    return p;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hvq_aboutart <output folder>\n");
        return 2;
    }
    const std::string folder = std::string(argv[1]) + "/";
    const bool written = Emblem().WriteBmp(folder + "about_picture1.bmp") &&
                         Background().WriteBmp(folder + "about_picture2.bmp") &&
                         Title().WriteBmp(folder + "about_picture3.bmp") &&
                         Crossfade().WriteBmp(folder + "about_picture4.bmp");
    if (!written) {
        std::fprintf(stderr, "hvq_aboutart: cannot write into %s\n", argv[1]);
        return 1;
    }
    return 0;
}
