#include "Canvas.h"

#include "Utf8Text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstring>
#include <optional>

namespace draw {

namespace {

constexpr int kGlyphColumns = 5;
constexpr int kAdvance = 6;

// ASCII 32..126, five columns each, the lowest bit at the top (row 7 is for descenders).
constexpr std::array<std::array<std::uint8_t, kGlyphColumns>, 95> kFont = {{
    {0x00, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x5F, 0x00, 0x00}, {0x00, 0x07, 0x00, 0x07, 0x00},
    {0x14, 0x7F, 0x14, 0x7F, 0x14}, {0x24, 0x2A, 0x7F, 0x2A, 0x12}, {0x23, 0x13, 0x08, 0x64, 0x62},
    {0x36, 0x49, 0x56, 0x20, 0x50}, {0x00, 0x08, 0x07, 0x03, 0x00}, {0x00, 0x1C, 0x22, 0x41, 0x00},
    {0x00, 0x41, 0x22, 0x1C, 0x00}, {0x2A, 0x1C, 0x7F, 0x1C, 0x2A}, {0x08, 0x08, 0x3E, 0x08, 0x08},
    {0x00, 0x80, 0x70, 0x30, 0x00}, {0x08, 0x08, 0x08, 0x08, 0x08}, {0x00, 0x00, 0x60, 0x60, 0x00},
    {0x20, 0x10, 0x08, 0x04, 0x02}, {0x3E, 0x51, 0x49, 0x45, 0x3E}, {0x00, 0x42, 0x7F, 0x40, 0x00},
    {0x72, 0x49, 0x49, 0x49, 0x46}, {0x21, 0x41, 0x49, 0x4D, 0x33}, {0x18, 0x14, 0x12, 0x7F, 0x10},
    {0x27, 0x45, 0x45, 0x45, 0x39}, {0x3C, 0x4A, 0x49, 0x49, 0x31}, {0x41, 0x21, 0x11, 0x09, 0x07},
    {0x36, 0x49, 0x49, 0x49, 0x36}, {0x46, 0x49, 0x49, 0x29, 0x1E}, {0x00, 0x00, 0x14, 0x00, 0x00},
    {0x00, 0x40, 0x34, 0x00, 0x00}, {0x00, 0x08, 0x14, 0x22, 0x41}, {0x14, 0x14, 0x14, 0x14, 0x14},
    {0x00, 0x41, 0x22, 0x14, 0x08}, {0x02, 0x01, 0x59, 0x09, 0x06}, {0x3E, 0x41, 0x5D, 0x59, 0x4E},
    {0x7C, 0x12, 0x11, 0x12, 0x7C}, {0x7F, 0x49, 0x49, 0x49, 0x36}, {0x3E, 0x41, 0x41, 0x41, 0x22},
    {0x7F, 0x41, 0x41, 0x41, 0x3E}, {0x7F, 0x49, 0x49, 0x49, 0x41}, {0x7F, 0x09, 0x09, 0x09, 0x01},
    {0x3E, 0x41, 0x41, 0x51, 0x73}, {0x7F, 0x08, 0x08, 0x08, 0x7F}, {0x00, 0x41, 0x7F, 0x41, 0x00},
    {0x20, 0x40, 0x41, 0x3F, 0x01}, {0x7F, 0x08, 0x14, 0x22, 0x41}, {0x7F, 0x40, 0x40, 0x40, 0x40},
    {0x7F, 0x02, 0x1C, 0x02, 0x7F}, {0x7F, 0x04, 0x08, 0x10, 0x7F}, {0x3E, 0x41, 0x41, 0x41, 0x3E},
    {0x7F, 0x09, 0x09, 0x09, 0x06}, {0x3E, 0x41, 0x51, 0x21, 0x5E}, {0x7F, 0x09, 0x19, 0x29, 0x46},
    {0x26, 0x49, 0x49, 0x49, 0x32}, {0x03, 0x01, 0x7F, 0x01, 0x03}, {0x3F, 0x40, 0x40, 0x40, 0x3F},
    {0x1F, 0x20, 0x40, 0x20, 0x1F}, {0x3F, 0x40, 0x38, 0x40, 0x3F}, {0x63, 0x14, 0x08, 0x14, 0x63},
    {0x03, 0x04, 0x78, 0x04, 0x03}, {0x61, 0x59, 0x49, 0x4D, 0x43}, {0x00, 0x7F, 0x41, 0x41, 0x41},
    {0x02, 0x04, 0x08, 0x10, 0x20}, {0x00, 0x41, 0x41, 0x41, 0x7F}, {0x04, 0x02, 0x01, 0x02, 0x04},
    {0x40, 0x40, 0x40, 0x40, 0x40}, {0x00, 0x03, 0x07, 0x08, 0x00}, {0x20, 0x54, 0x54, 0x78, 0x40},
    {0x7F, 0x28, 0x44, 0x44, 0x38}, {0x38, 0x44, 0x44, 0x44, 0x28}, {0x38, 0x44, 0x44, 0x28, 0x7F},
    {0x38, 0x54, 0x54, 0x54, 0x18}, {0x00, 0x08, 0x7E, 0x09, 0x02}, {0x18, 0xA4, 0xA4, 0x9C, 0x78},
    {0x7F, 0x08, 0x04, 0x04, 0x78}, {0x00, 0x44, 0x7D, 0x40, 0x00}, {0x20, 0x40, 0x40, 0x3D, 0x00},
    {0x7F, 0x10, 0x28, 0x44, 0x00}, {0x00, 0x41, 0x7F, 0x40, 0x00}, {0x7C, 0x04, 0x78, 0x04, 0x78},
    {0x7C, 0x08, 0x04, 0x04, 0x78}, {0x38, 0x44, 0x44, 0x44, 0x38}, {0xFC, 0x18, 0x24, 0x24, 0x18},
    {0x18, 0x24, 0x24, 0x18, 0xFC}, {0x7C, 0x08, 0x04, 0x04, 0x08}, {0x48, 0x54, 0x54, 0x54, 0x24},
    {0x04, 0x04, 0x3F, 0x44, 0x24}, {0x3C, 0x40, 0x40, 0x20, 0x7C}, {0x1C, 0x20, 0x40, 0x20, 0x1C},
    {0x3C, 0x40, 0x30, 0x40, 0x3C}, {0x44, 0x28, 0x10, 0x28, 0x44}, {0x4C, 0x90, 0x90, 0x90, 0x7C},
    {0x44, 0x64, 0x54, 0x4C, 0x44}, {0x00, 0x08, 0x36, 0x41, 0x00}, {0x00, 0x00, 0x77, 0x00, 0x00},
    {0x00, 0x41, 0x36, 0x08, 0x00}, {0x02, 0x01, 0x02, 0x04, 0x02},
}};

enum class Accent {
    None,
    Grave,
    Acute,
    Circumflex,
    Tilde,
    Diaeresis,
    Ring,
    Caron,
    Macron,
    Breve,
    Dot,
    DoubleAcute,
    Cedilla,
    Ogonek,
    Stroke
};

// Two rows of five columns per mark, the lower bit the upper row.
constexpr std::array<std::array<std::uint8_t, kGlyphColumns>, 15> kMarks = {{
    {0, 0, 0, 0, 0},
    {0, 1, 2, 0, 0},
    {0, 0, 2, 1, 0},
    {0, 2, 1, 2, 0},
    {2, 1, 2, 1, 0},
    {0, 2, 0, 2, 0},
    {0, 3, 1, 3, 0},
    {0, 1, 2, 1, 0},
    {0, 2, 2, 2, 0},
    {0, 1, 2, 1, 0},
    {0, 0, 2, 0, 0},
    {0, 2, 1, 2, 1},
    {0, 2, 1, 0, 0},
    {0, 0, 0, 1, 2},
    {0, 0, 0, 0, 0},
}};

// A letter with a mark: base letter and mark, for the Latin-1 and Latin Extended-A letters.
struct Composed {
    char32_t Code;
    char Base;
    Accent Mark;
};

// U+00C0..U+00FF: the base letter of each (a space where a glyph of its own is drawn).
constexpr std::string_view kLatin1Bases =
    "AAAAAA CEEEEIIIIDNOOOOO  UUUUY  aaaaaa ceeeeiiii nooooo  uuuuy y";
constexpr std::string_view kLatin1Marks =
    "GACTDR_XGACDGACD-TGACTD__GACDA__GACTDR_XGACDGACD-TGACTD__GACDA_D";

// Latin Extended-A, in pairs: the capital at Code, the small letter after it.
constexpr std::array<Composed, 58> kExtendedA = {{
    {0x100, 'A', Accent::Macron},      {0x102, 'A', Accent::Breve},
    {0x104, 'A', Accent::Ogonek},      {0x106, 'C', Accent::Acute},
    {0x108, 'C', Accent::Circumflex},  {0x10A, 'C', Accent::Dot},
    {0x10C, 'C', Accent::Caron},       {0x10E, 'D', Accent::Caron},
    {0x110, 'D', Accent::Stroke},      {0x112, 'E', Accent::Macron},
    {0x114, 'E', Accent::Breve},       {0x116, 'E', Accent::Dot},
    {0x118, 'E', Accent::Ogonek},      {0x11A, 'E', Accent::Caron},
    {0x11C, 'G', Accent::Circumflex},  {0x11E, 'G', Accent::Breve},
    {0x120, 'G', Accent::Dot},         {0x122, 'G', Accent::Cedilla},
    {0x124, 'H', Accent::Circumflex},  {0x126, 'H', Accent::Stroke},
    {0x128, 'I', Accent::Tilde},       {0x12A, 'I', Accent::Macron},
    {0x12C, 'I', Accent::Breve},       {0x12E, 'I', Accent::Ogonek},
    {0x134, 'J', Accent::Circumflex},  {0x136, 'K', Accent::Cedilla},
    {0x139, 'L', Accent::Acute},       {0x13B, 'L', Accent::Cedilla},
    {0x13D, 'L', Accent::Caron},       {0x13F, 'L', Accent::Dot},
    {0x141, 'L', Accent::Stroke},      {0x143, 'N', Accent::Acute},
    {0x145, 'N', Accent::Cedilla},     {0x147, 'N', Accent::Caron},
    {0x14C, 'O', Accent::Macron},      {0x14E, 'O', Accent::Breve},
    {0x150, 'O', Accent::DoubleAcute}, {0x154, 'R', Accent::Acute},
    {0x156, 'R', Accent::Cedilla},     {0x158, 'R', Accent::Caron},
    {0x15A, 'S', Accent::Acute},       {0x15C, 'S', Accent::Circumflex},
    {0x15E, 'S', Accent::Cedilla},     {0x160, 'S', Accent::Caron},
    {0x162, 'T', Accent::Cedilla},     {0x164, 'T', Accent::Caron},
    {0x166, 'T', Accent::Stroke},      {0x168, 'U', Accent::Tilde},
    {0x16A, 'U', Accent::Macron},      {0x16C, 'U', Accent::Breve},
    {0x16E, 'U', Accent::Ring},        {0x170, 'U', Accent::DoubleAcute},
    {0x172, 'U', Accent::Ogonek},      {0x174, 'W', Accent::Circumflex},
    {0x176, 'Y', Accent::Circumflex},  {0x179, 'Z', Accent::Acute},
    {0x17B, 'Z', Accent::Dot},         {0x17D, 'Z', Accent::Caron},
}};

// Letters drawn whole rather than as a base and a mark.
struct OwnGlyph {
    char32_t Code;
    std::array<std::uint8_t, kGlyphColumns> Bits;
};
constexpr std::array<OwnGlyph, 14> kOwnGlyphs = {{
    {0xC6, {0x7E, 0x09, 0x7F, 0x49, 0x49}},
    {0xD7, {0x22, 0x14, 0x08, 0x14, 0x22}},
    {0xD8, {0x5E, 0x31, 0x49, 0x46, 0x3D}},
    {0xDE, {0x7F, 0x22, 0x22, 0x22, 0x1C}},
    {0xDF, {0x7E, 0x01, 0x49, 0x56, 0x20}},
    {0xE6, {0x20, 0x54, 0x78, 0x54, 0x58}},
    {0xF0, {0x30, 0x4A, 0x4D, 0x4A, 0x3C}},
    {0xF7, {0x08, 0x08, 0x2A, 0x08, 0x08}},
    {0xF8, {0x58, 0x64, 0x54, 0x4C, 0x34}},
    {0xFE, {0xFF, 0x24, 0x24, 0x24, 0x18}},
    {0x131, {0x00, 0x44, 0x7C, 0x40, 0x00}},
    {0x152, {0x3E, 0x41, 0x7F, 0x49, 0x49}},
    {0x153, {0x38, 0x44, 0x38, 0x54, 0x58}},
    {0xA0, {0x00, 0x00, 0x00, 0x00, 0x00}},
}};

// What the font draws for a code point: its pixels (up to two cells wide), how many cells it
// takes (0 for a combining mark drawn over the letter before), a mark to add and the letter it
// sits on.
struct Glyph {
    std::array<std::uint16_t, 11> Bits{};
    int Advance = 1;
    Accent Mark = Accent::None;
    char Base = 0;
    bool StandIn = false;
};

Accent LatinOneMark(char code) {
    switch (code) {
    case 'G':
        return Accent::Grave;
    case 'A':
        return Accent::Acute;
    case 'C':
        return Accent::Circumflex;
    case 'T':
        return Accent::Tilde;
    case 'D':
        return Accent::Diaeresis;
    case 'R':
        return Accent::Ring;
    case 'X':
        return Accent::Cedilla;
    case '-':
        return Accent::Stroke;
    default:
        return Accent::None;
    }
}

Accent CombiningMark(char32_t c) {
    switch (c) {
    case 0x300:
        return Accent::Grave;
    case 0x301:
        return Accent::Acute;
    case 0x302:
        return Accent::Circumflex;
    case 0x303:
        return Accent::Tilde;
    case 0x304:
        return Accent::Macron;
    case 0x306:
        return Accent::Breve;
    case 0x307:
        return Accent::Dot;
    case 0x308:
        return Accent::Diaeresis;
    case 0x30A:
        return Accent::Ring;
    case 0x30B:
        return Accent::DoubleAcute;
    case 0x30C:
        return Accent::Caron;
    case 0x327:
        return Accent::Cedilla;
    case 0x328:
        return Accent::Ogonek;
    default:
        return Accent::None;
    }
}

std::optional<Composed> Decompose(char32_t c) {
    if (c >= 0xC0 && c <= 0xFF && kLatin1Bases[c - 0xC0] != ' ')
        return Composed{c, kLatin1Bases[c - 0xC0], LatinOneMark(kLatin1Marks[c - 0xC0])};
    for (const Composed &pair : kExtendedA) {
        if (c == pair.Code)
            return pair;
        if (c == pair.Code + 1)
            return Composed{c, static_cast<char>(std::tolower(pair.Base)), pair.Mark};
    }
    if (c == 0x130)
        return Composed{c, 'I', Accent::Dot};
    return std::nullopt;
}

Glyph AsciiGlyph(char base) {
    Glyph glyph;
    glyph.Base = base;
    const auto &bits = kFont[static_cast<std::size_t>(base - 32)];
    std::copy(bits.begin(), bits.end(), glyph.Bits.begin());
    return glyph;
}

Glyph GlyphOf(char32_t c) {
    if (c >= 32 && c < 127)
        return AsciiGlyph(static_cast<char>(c));
    if (const Accent mark = CombiningMark(c); mark != Accent::None) {
        Glyph glyph;
        glyph.Advance = 0;
        glyph.Mark = mark;
        return glyph;
    }
    if (const auto composed = Decompose(c)) {
        Glyph glyph = AsciiGlyph(composed->Base);
        glyph.Mark = composed->Mark;
        if (glyph.Mark == Accent::Stroke) {
            glyph.Mark = Accent::None;
            for (int column = 0; column < 3; ++column)
                glyph.Bits[static_cast<std::size_t>(column)] |= 0x08;
        }
        // i and j lose their dot under a mark.
        if ((composed->Base == 'i' || composed->Base == 'j') && glyph.Mark != Accent::Ogonek)
            for (auto &column : glyph.Bits)
                column &= ~1u;
        return glyph;
    }
    for (const OwnGlyph &own : kOwnGlyphs)
        if (own.Code == c) {
            Glyph glyph;
            std::copy(own.Bits.begin(), own.Bits.end(), glyph.Bits.begin());
            glyph.Base = 'o';
            return glyph;
        }
    // Anything else: an empty box, one or two cells wide as a terminal shows the character;
    // invisible characters draw nothing.
    Glyph box;
    box.StandIn = true;
    box.Advance = demo::CharColumns(c);
    if (box.Advance == 0)
        return box;
    const int width = box.Advance == 2 ? 11 : kGlyphColumns;
    for (int column = 0; column < width; ++column)
        box.Bits[static_cast<std::size_t>(column)] =
            column == 0 || column == width - 1 ? 0x7F : 0x41;
    return box;
}

double DistanceToSegment(double px, double py, double x0, double y0, double x1, double y1) {
    const double dx = x1 - x0, dy = y1 - y0;
    const double length2 = dx * dx + dy * dy;
    double t = length2 > 0.0 ? ((px - x0) * dx + (py - y0) * dy) / length2 : 0.0;
    t = std::clamp(t, 0.0, 1.0);
    const double ex = x0 + t * dx - px, ey = y0 + t * dy - py;
    return std::sqrt(ex * ex + ey * ey);
}

} // namespace

Canvas::Canvas(int width, int height, Color background)
    : width_(std::max(width, 1)), height_(std::max(height, 1)), clipLeft_(0), clipRight_(width_),
      pixels_(static_cast<std::size_t>(width_) * height_, background) {}

void Canvas::ClipColumns(int left, int right) {
    clipLeft_ = std::clamp(left, 0, width_);
    clipRight_ = std::clamp(right, clipLeft_, width_);
}

Color Canvas::At(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_)
        return {};
    return pixels_[static_cast<std::size_t>(y) * width_ + x];
}

void Canvas::Blend(int x, int y, Color color, double alpha) {
    if (x < clipLeft_ || y < 0 || x >= clipRight_ || y >= height_ || !(alpha > 0.0))
        return;
    alpha = std::min(alpha, 1.0);
    Color &p = pixels_[static_cast<std::size_t>(y) * width_ + x];
    const auto mix = [alpha](std::uint8_t under, std::uint8_t over) {
        return static_cast<std::uint8_t>(std::lround(under + (over - under) * alpha));
    };
    p = {mix(p.R, color.R), mix(p.G, color.G), mix(p.B, color.B)};
}

void Canvas::FillRect(int x, int y, int w, int h, Color color, double alpha) {
    const int x0 = std::max(x, 0), y0 = std::max(y, 0);
    const int x1 = std::min(x + w, width_), y1 = std::min(y + h, height_);
    for (int yy = y0; yy < y1; ++yy)
        for (int xx = x0; xx < x1; ++xx)
            Blend(xx, yy, color, alpha);
}

void Canvas::Polyline(const std::vector<Point> &points, Color color, double width) {
    if (points.empty())
        return;
    const double reach = width / 2 + 1.0;
    double minX = points[0].X, maxX = minX, minY = points[0].Y, maxY = minY;
    for (const Point &p : points) {
        minX = std::min(minX, p.X), maxX = std::max(maxX, p.X);
        minY = std::min(minY, p.Y), maxY = std::max(maxY, p.Y);
    }
    const int top = std::max(static_cast<int>(std::floor(minY - reach)), 0);
    const int bottom = std::min(static_cast<int>(std::ceil(maxY + reach)), height_ - 1);
    const int left = std::max(static_cast<int>(std::floor(minX - reach)), 0);
    const int right = std::min(static_cast<int>(std::ceil(maxX + reach)), width_ - 1);
    for (int x = left; x <= right; ++x) {
        const double cx = x + 0.5;
        for (int y = top; y <= bottom; ++y) {
            // Coverage of the pixel's centre by the nearest piece, one pixel of soft edge; the
            // nearest only, so that joints are not painted twice.
            double nearest = reach + 1.0;
            for (std::size_t i = 0; i < points.size(); ++i) {
                const Point &a = points[i];
                const Point &b = i + 1 < points.size() ? points[i + 1] : a;
                if (cx < std::min(a.X, b.X) - reach || cx > std::max(a.X, b.X) + reach)
                    continue;
                nearest = std::min(nearest, DistanceToSegment(cx, y + 0.5, a.X, a.Y, b.X, b.Y));
            }
            Blend(x, y, color, std::clamp(width / 2 + 0.5 - nearest, 0.0, 1.0));
        }
    }
}

void Canvas::Text(int x, int y, std::string_view text, Color color, int scale) {
    const auto pixel = [&](int px, int py) { FillRect(px, py, scale, scale, color); };
    char previousBase = 0;
    int previousX = x;
    for (char32_t c : demo::DecodeUtf8(text)) {
        const Glyph glyph = GlyphOf(c);
        const int at = glyph.Advance == 0 ? previousX : x;
        const char base = glyph.Advance == 0 ? previousBase : glyph.Base;
        for (int column = 0; column < kGlyphColumns * glyph.Advance && column < 11; ++column) {
            const std::uint16_t bits = glyph.Bits[static_cast<std::size_t>(column)];
            for (int row = 0; row < 8; ++row)
                if (bits >> row & 1)
                    pixel(at + column * scale, y + row * scale);
        }
        if (glyph.Mark != Accent::None) {
            // Marks above sit over the letter's top: in the cell's first two rows over short
            // lower-case letters, just above the cell over capitals and tall letters.
            const bool below = glyph.Mark == Accent::Cedilla || glyph.Mark == Accent::Ogonek;
            const bool tall = base == 0 || std::isupper(static_cast<unsigned char>(base)) ||
                              std::strchr("bdfhklt", base) != nullptr;
            const int top = below ? 7 : tall ? -2 : 0;
            const auto &mark = kMarks[static_cast<std::size_t>(glyph.Mark)];
            for (int column = 0; column < kGlyphColumns; ++column)
                for (int row = 0; row < 2; ++row)
                    if (mark[static_cast<std::size_t>(column)] >> row & 1)
                        pixel(at + column * scale, y + (top + row) * scale);
        }
        if (glyph.Advance > 0) {
            previousX = x;
            previousBase = glyph.Base;
        }
        x += kAdvance * glyph.Advance * scale;
    }
}

int Canvas::TextWidth(std::string_view text, int scale) {
    int columns = 0;
    for (char32_t c : demo::DecodeUtf8(text))
        columns += GlyphOf(c).Advance;
    return columns == 0 ? 0 : (columns * kAdvance - 1) * scale;
}

std::string Canvas::FitText(std::string_view text, int width, int scale) {
    if (TextWidth(text, scale) <= width)
        return std::string(text);
    std::u32string kept = demo::DecodeUtf8(text);
    const auto fits = [&] { return TextWidth(demo::EncodeUtf8(kept) + "..", scale) <= width; };
    while (!kept.empty() && !fits()) {
        // A letter goes together with the marks over it.
        while (!kept.empty() && GlyphOf(kept.back()).Advance == 0)
            kept.pop_back();
        if (!kept.empty())
            kept.pop_back();
    }
    return kept.empty() ? std::string() : demo::EncodeUtf8(kept) + "..";
}

bool Canvas::HasGlyph(char32_t c) {
    return !GlyphOf(c).StandIn;
}

png::Image Canvas::ToImage() const {
    png::Image image{width_, height_, {}};
    image.Rgb.reserve(pixels_.size() * 3);
    for (const Color &p : pixels_)
        image.Rgb.insert(image.Rgb.end(), {p.R, p.G, p.B});
    return image;
}

} // namespace draw
