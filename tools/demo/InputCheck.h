// Why the render tool cannot take a file, in words that say what to do about it. Pure: no
// windows.h.
#pragma once

#include "WavFile.h"

#include <string>

namespace demo {

// For a file the WAV reader refused: what it is instead of integer PCM the WAV plug-in plays
// (a float or compressed WAV, an odd sample width, too many channels, no samples, no WAV at all).
std::string WhyNotPlayable(wav::ByteSource &file);

} // namespace demo
