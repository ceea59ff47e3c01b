#include "IconArt.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace icon {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kSamplesPerAxis = 4;
constexpr int kCurveSegments = 48;

struct Colour {
    double R = 0, G = 0, B = 0, A = 0; // premultiplied, 0..1
};

struct Point {
    double X = 0, Y = 0;
};

Colour Opaque(int r, int g, int b) {
    return {r / 255.0, g / 255.0, b / 255.0, 1.0};
}

Colour Over(const Colour &top, const Colour &below) {
    const double keep = 1.0 - top.A;
    return {top.R + below.R * keep, top.G + below.G * keep, top.B + below.B * keep,
            top.A + below.A * keep};
}

// The tile: a rounded square, lighter at the top.
bool InsideTile(double x, double y) {
    constexpr double inset = 0.03, radius = 0.19;
    const double cx = std::clamp(x, inset + radius, 1.0 - inset - radius);
    const double cy = std::clamp(y, inset + radius, 1.0 - inset - radius);
    return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius;
}

Colour TileColour(double y) {
    const Colour top = Opaque(0x2C, 0x3E, 0x73), bottom = Opaque(0x10, 0x18, 0x34);
    return {top.R + (bottom.R - top.R) * y, top.G + (bottom.G - top.G) * y,
            top.B + (bottom.B - top.B) * y, 1.0};
}

// A gain curve over the fade: full gain high on the tile, silence low. fadingIn mirrors it.
std::vector<Point> GainCurve(bool fadingIn) {
    constexpr double left = 0.16, right = 0.84, high = 0.26, low = 0.74;
    std::vector<Point> points;
    for (int i = 0; i <= kCurveSegments; ++i) {
        const double t = static_cast<double>(i) / kCurveSegments;
        const double gain = fadingIn ? std::sin(t * kPi / 2) : std::cos(t * kPi / 2);
        points.push_back({left + (right - left) * t, low - (low - high) * gain});
    }
    return points;
}

double DistanceToSegment(const Point &p, const Point &a, const Point &b) {
    const double dx = b.X - a.X, dy = b.Y - a.Y;
    const double along =
        std::clamp(((p.X - a.X) * dx + (p.Y - a.Y) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
    const double ex = p.X - (a.X + along * dx), ey = p.Y - (a.Y + along * dy);
    return std::sqrt(ex * ex + ey * ey);
}

bool OnCurve(const std::vector<Point> &curve, const Point &p, double halfWidth) {
    for (std::size_t i = 1; i < curve.size(); ++i) {
        if (DistanceToSegment(p, curve[i - 1], curve[i]) <= halfWidth)
            return true;
    }
    return false;
}

struct Scene {
    std::vector<Point> FadeOut = GainCurve(false);
    std::vector<Point> FadeIn = GainCurve(true);
    double HalfWidth; // of the curves, in tile units

    explicit Scene(int size)
        // Small sizes get thicker strokes, so that the curves stay at least two pixels wide.
        : HalfWidth(std::max(0.045, 1.1 / size)) {}

    Colour At(double x, double y) const {
        if (!InsideTile(x, y))
            return {};
        Colour colour = TileColour(y);
        const Point p{x, y};
        if (OnCurve(FadeOut, p, HalfWidth))
            colour = Over(Opaque(0x46, 0xC8, 0xFF), colour);
        if (OnCurve(FadeIn, p, HalfWidth))
            colour = Over(Opaque(0xFF, 0xB4, 0x2E), colour);
        return colour;
    }
};

std::uint8_t Byte(double value) {
    return static_cast<std::uint8_t>(std::lround(std::clamp(value, 0.0, 1.0) * 255.0));
}

} // namespace

Rgba DrawArtwork(int size) {
    const Scene scene(size);
    Rgba image{size, std::vector<std::uint8_t>(static_cast<std::size_t>(size) * size * 4, 0)};
    constexpr int samples = kSamplesPerAxis * kSamplesPerAxis;
    for (int row = 0; row < size; ++row) {
        for (int column = 0; column < size; ++column) {
            Colour sum;
            for (int sy = 0; sy < kSamplesPerAxis; ++sy) {
                for (int sx = 0; sx < kSamplesPerAxis; ++sx) {
                    const Colour c = scene.At((column + (sx + 0.5) / kSamplesPerAxis) / size,
                                              (row + (sy + 0.5) / kSamplesPerAxis) / size);
                    sum = {sum.R + c.R, sum.G + c.G, sum.B + c.B, sum.A + c.A};
                }
            }
            std::uint8_t *pixel =
                &image.Pixels[(static_cast<std::size_t>(row) * size + column) * 4];
            const double alpha = sum.A / samples;
            if (alpha > 0) { // back from premultiplied to straight alpha
                pixel[0] = Byte(sum.R / sum.A);
                pixel[1] = Byte(sum.G / sum.A);
                pixel[2] = Byte(sum.B / sum.A);
            }
            pixel[3] = Byte(alpha);
        }
    }
    return image;
}

} // namespace icon
