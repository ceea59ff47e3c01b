// Names as the user wrote them: UTF-8 text taken apart into code points and measured in the
// columns a terminal gives them (wide East Asian characters take two, combining marks none), so
// that report columns stay aligned whatever the names hold. Pure: no windows.h.
#pragma once

#include <string>
#include <string_view>

namespace demo {

// Code points of UTF-8 text; a byte that does not begin a valid sequence gives U+FFFD.
std::u32string DecodeUtf8(std::string_view text);
std::string EncodeUtf8(std::u32string_view text);

// Terminal columns of one code point: 0 for combining marks and zero-width characters, 2 for
// wide and full-width characters, 1 for the rest.
int CharColumns(char32_t c);
int TextColumns(std::string_view text);

// The text followed by spaces up to the given columns (as it is when it is wider already).
std::string PadColumns(std::string_view text, int columns);

} // namespace demo
