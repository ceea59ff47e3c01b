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

// The levels of the options that follow the music, in dB, with the ranges the store accepts.
// The silence threshold is a peak level in dBFS; the drop is how far below a track's body its
// own fade-out has fallen where the crossfade may start.
inline constexpr std::int32_t kDefaultSilenceThresholdDb = -50;
inline constexpr std::int32_t kLowestSilenceThresholdDb = -90;
inline constexpr std::int32_t kHighestSilenceThresholdDb = -20;
inline constexpr std::int32_t kDefaultOwnFadeOutDropDb = 12;
inline constexpr std::int32_t kLeastOwnFadeOutDropDb = 3;
inline constexpr std::int32_t kMostOwnFadeOutDropDb = 40;

// The level where it lies in lowest..highest, else the fallback: a level outside its range would
// have the engine trim music or never find a fade-out, which nobody chose.
std::int32_t LevelInRange(std::optional<std::int32_t> level, std::int32_t lowest,
                          std::int32_t highest, std::int32_t fallback);

// A value of the settings file as a 32-bit integer: decimal with an optional sign, or "0x"/"0X"
// followed by up to 32 bits of hexadecimal digits (taken as the bit pattern, so 0xFFFFFFFF is -1).
// Anything else, blanks and an empty text included, is no integer.
std::optional<std::int32_t> ParseIniInteger(std::string_view text);
