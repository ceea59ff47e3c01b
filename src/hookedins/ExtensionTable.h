// The extension lists that input plug-ins declare in FileExtensions, and the match of a file
// name against them. Pure text handling: no Windows headers, so it builds natively as well.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// One declared pair: the pattern exactly as declared ("MP3;MP2") and its description.
struct TRFEItem {
    std::string Pattern;
    std::string Description;
};

struct TExtensionTable {
    // Every pattern in lower case followed by ";", in declaration order: "mp3;mp2;wav;".
    std::string Extensions;
    std::vector<TRFEItem> Items;
};

// Lower case of the ASCII letters only; other bytes of the ANSI code page stay as they are.
std::string LowerAscii(std::string_view text);

// Reads the host's list of NUL-terminated strings (pattern, description, pattern, ... then an
// empty string). A null list gives the empty table. A declaration that ends right after a
// pattern gives that pattern an empty description.
TExtensionTable ParseFileExtensions(const char *list);

// The lower-case extension of a narrow file name: what follows its last '.', provided no '\'
// or ':' comes after that dot. '/' is no separator here, so "some.host/live" has the extension
// "host/live". Empty when there is none.
std::string ExtensionOf(std::string_view narrowName);

// Whether the extension equals one whole pattern of extensions, as the host compares them: "p3"
// is not listed in "mp3;", nor "psf" in "minipsf;". An empty extension is never listed.
bool ExtensionListed(std::string_view extensions, std::string_view lowerExtension);

// Bytes of a declaration list up to and including its terminating empty string, reading
// nothing beyond it. Allocates nothing, so it may run under a fault guard.
std::size_t ExtensionListSize(const char *list);
