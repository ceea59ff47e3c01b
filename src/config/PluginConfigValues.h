// The value rules of the settings file, kept free of <windows.h> so they build and test natively:
// the playback-thread priority levels with their names, and the integer form of the values.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Priority of the playback thread; the numbers are also the positions of the dialog's track bar.
enum class TPriorityLevel : std::uint8_t {
    Idle = 0,
    Lowest = 1,
    Lower = 2,
    Normal = 3,
    Higher = 4,
    Highest = 5,
    TimeCritical = 6,
};

inline constexpr int kPriorityLevelCount = 7;

// The level's name as the settings file and the dialog show it; "Normal" for a value outside 0..6.
const char *PriorityLevelToName(TPriorityLevel level);

// The level whose name matches exactly, letter case included. Any other text, an empty one too,
// gives Normal: a damaged name must not leave the thread at a priority nobody chose.
TPriorityLevel PriorityLevelFromName(std::string_view name);

// A value of the settings file as a 32-bit integer: decimal with an optional sign, or "0x"/"0X"
// followed by up to 32 bits of hexadecimal digits (taken as the bit pattern, so 0xFFFFFFFF is -1).
// Anything else, blanks and an empty text included, is no integer.
std::optional<std::int32_t> ParseIniInteger(std::string_view text);
