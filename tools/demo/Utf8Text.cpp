#include "Utf8Text.h"

#include <algorithm>
#include <array>
#include <utility>

namespace demo {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

struct Range {
    char32_t First, Last;
};

// Combining marks and zero-width characters of the scripts file names are written in.
constexpr std::array<Range, 22> kZeroWidth = {{
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05C7}, {0x0610, 0x061A},
    {0x064B, 0x065F}, {0x0670, 0x0670}, {0x06D6, 0x06ED}, {0x0900, 0x0903}, {0x093A, 0x094F},
    {0x0E31, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
    {0x202A, 0x202E}, {0x2060, 0x2064}, {0x20D0, 0x20FF}, {0x3099, 0x309A}, {0xFE00, 0xFE0F},
    {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF},
}};

// East Asian wide and full-width characters, and the pictographs terminals draw two wide.
constexpr std::array<Range, 14> kWide = {{
    {0x1100, 0x115F},
    {0x2E80, 0x303E},
    {0x3041, 0x3098},
    {0x309B, 0x33FF},
    {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF},
    {0xAC00, 0xD7A3},
    {0xF900, 0xFAFF},
    {0xFE30, 0xFE4F},
    {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},
    {0x1F300, 0x1FAFF},
    {0x20000, 0x3FFFD},
}};

template <std::size_t N> bool InRanges(const std::array<Range, N> &ranges, char32_t c) {
    return std::any_of(ranges.begin(), ranges.end(),
                       [c](const Range &r) { return c >= r.First && c <= r.Last; });
}

} // namespace

std::u32string DecodeUtf8(std::string_view text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80                   ? 1
                           : lead >= 0xC2 && lead < 0xE0 ? 2
                           : lead >= 0xE0 && lead < 0xF0 ? 3
                           : lead >= 0xF0 && lead < 0xF5 ? 4
                                                         : 0;
        char32_t c = length == 1   ? lead
                     : length == 2 ? lead & 0x1F
                     : length == 3 ? lead & 0x0F
                                   : lead & 0x07;
        int taken = 1;
        for (; length > 1 && taken < length && i + taken < text.size(); ++taken) {
            const auto next = static_cast<unsigned char>(text[i + taken]);
            if ((next & 0xC0) != 0x80)
                break;
            c = c << 6 | (next & 0x3F);
        }
        const bool overlong = (length == 3 && c < 0x800) || (length == 4 && c < 0x10000);
        const bool invalid = length == 0 || taken < length || overlong || c > 0x10FFFF ||
                             (c >= 0xD800 && c <= 0xDFFF);
        out.push_back(invalid ? kReplacement : c);
        i += invalid ? std::max(taken, 1) : length;
    }
    return out;
}

std::string EncodeUtf8(std::u32string_view text) {
    std::string out;
    for (char32_t c : text) {
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = kReplacement;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | c >> 6));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | c >> 12));
            out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | c >> 18));
            out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

int CharColumns(char32_t c) {
    if (InRanges(kZeroWidth, c))
        return 0;
    return InRanges(kWide, c) ? 2 : 1;
}

int TextColumns(std::string_view text) {
    int columns = 0;
    for (char32_t c : DecodeUtf8(text))
        columns += CharColumns(c);
    return columns;
}

std::string PadColumns(std::string_view text, int columns) {
    std::string out(text);
    out.append(static_cast<std::size_t>(std::max(columns - TextColumns(text), 0)), ' ');
    return out;
}

} // namespace demo
