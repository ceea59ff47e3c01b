// A small RGB drawing surface for the render tool's picture: filled and blended rectangles,
// anti-aliased lines and text in a 5x7 pixel font. Pure: no windows.h.
#pragma once

#include "PngWriter.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace draw {

struct Color {
    std::uint8_t R = 0, G = 0, B = 0;
};

class Canvas {
  public:
    Canvas(int width, int height, Color background);
    int Width() const { return width_; }
    int Height() const { return height_; }
    Color At(int x, int y) const;

    // Lays color over the pixel with the given opacity; pixels outside, or outside the columns
    // drawing is kept to, are ignored.
    void Blend(int x, int y, Color color, double alpha = 1.0);
    // Keeps drawing to the columns [left, right) until Unclip: a picture of part of a timeline
    // draws what lies beyond it off its panels.
    void ClipColumns(int left, int right);
    void Unclip() { ClipColumns(0, width_); }
    void FillRect(int x, int y, int w, int h, Color color, double alpha = 1.0);
    struct Point {
        double X = 0, Y = 0;
    };
    // Connected lines of the given width with soft edges, through points in pixel coordinates.
    void Polyline(const std::vector<Point> &points, Color color, double width = 1.0);
    // UTF-8 text in the 5x7 font, each font pixel scale x scale; (x, y) is the top left corner.
    // The font has ASCII and the Latin letters of Western and Central Europe (marks above
    // capitals reach two pixels over the top); any other character is drawn as an empty box, two
    // cells wide where a terminal gives it two columns.
    void Text(int x, int y, std::string_view text, Color color, int scale = 1);
    static int TextWidth(std::string_view text, int scale = 1);
    // The text cut with ".." at the end to fit a width, whole characters only; empty when not
    // even one character fits.
    static std::string FitText(std::string_view text, int width, int scale = 1);
    static bool HasGlyph(char32_t c);
    static int TextHeight(int scale = 1) { return 8 * scale; }

    png::Image ToImage() const;

  private:
    int width_, height_;
    int clipLeft_, clipRight_;
    std::vector<Color> pixels_;
};

} // namespace draw
