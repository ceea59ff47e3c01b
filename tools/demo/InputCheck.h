// Why the render tool cannot take a file, in words that say what to do about it. Pure: no
// windows.h.
#pragma once

#include "WavFile.h"

#include <filesystem>
#include <span>
#include <string>

namespace demo {

// Why a file given as a track cannot be read, or empty when it can: there is none, it is a
// folder, or it cannot be opened (say, another program holds it). wav: the tracks are to be WAV
// files (without --plugins).
std::string WhyNotReadable(const std::filesystem::path &path, bool wav = true);

// Why a file to be written after the render (the mixed WAV, the picture) cannot be made at path,
// as far as can be seen before the render starts, or empty. asGiven is the path as the user typed
// it: the answer names its folder that way, not as the system sees it.
std::string WhyNotWritable(const std::filesystem::path &path, const std::string &asGiven);

// Why a --skip-at time can never come, or empty: a time at or past the end of the tracks played
// one after the other (crossfades only make the output shorter).
std::string WhySkipNeverComes(std::span<const double> skipAtSeconds, double playlistSeconds);

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
