// Why the render tool cannot take a file, in words that say what to do about it. Pure: no
// windows.h.
#pragma once

#include "WavFile.h"

#include <span>
#include <string>

namespace demo {

// For a file the WAV reader refused: what it is instead of integer PCM the WAV plug-in plays
// (a float or compressed WAV, an odd sample width, too many channels, no samples, no WAV at all).
std::string WhyNotPlayable(wav::ByteSource &file);

// A playlist entry's name and format, as the format check sees it.
struct NamedFormat {
    std::string Name;
    wav::WavFormat Format;
};

// Empty when the playlist can be rendered: all of one format, or of any formats when the tracks
// are to crossfade across formats. Otherwise why not, naming the first track of another format,
// with what to do.
std::string WhyNotOneFormat(std::span<const NamedFormat> tracks, bool fadeAcrossFormats);

} // namespace demo
