// The small rules of the hooked-in unit that need no system: which folder entries are input
// plug-ins, where a path's folder ends, and how information values read. Pure, builds natively.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// An input plug-in library by its name: "IN_" at the start and ".DLL" at the end, in any case.
// A name of four characters or fewer is none.
bool IsInputPluginName(std::wstring_view entryName);

// Everything up to and including the last '\' or ':', made to end in '\'; empty when the path
// has neither.
std::wstring FolderPartOf(std::wstring_view path);

// A "length" information value in milliseconds: a decimal whole number that fits 32 bits,
// optionally signed and surrounded by blanks. Anything else is -1, as the host's "unknown".
int ParseLengthText(std::string_view text);

// Whether a "type" information value names an audio file: exactly "0".
bool IsAudioTypeText(std::wstring_view text);
