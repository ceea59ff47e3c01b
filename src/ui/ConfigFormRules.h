// The text rules of the configuration dialog, kept free of <windows.h> so they build and test
// natively: what the edits' texts mean and what the priority group says.
#pragma once

#include "../config/PluginConfigValues.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// An edit's text as a decimal integer: an optional sign and at least one digit, nothing else, in
// the 32-bit range. Anything else (an empty text, blanks, "0x1F4", "12a") is no integer.
std::optional<std::int32_t> ParseEditInteger(std::wstring_view text);

// Twice a time in ms, held inside the 32-bit range: the dialog keeps the minimum length at least
// twice the crossfade time, and a huge crossfade time must not wrap round to a negative length.
std::int32_t TwiceTime(std::int32_t milliseconds);

// "Playback Thread Priority (" + the level's name + ")".
std::wstring PriorityGroupCaption(TPriorityLevel level);
