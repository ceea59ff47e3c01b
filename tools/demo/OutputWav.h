// The render's output file. It is written under a temporary name beside the final one (the
// final name with ".part" added) and its header is made true after every piece, so that a
// render stopped half way leaves a playable part file, never a WAV whose header says it is
// empty; Commit renames it to the final name. Destroyed without Commit, it removes the part
// file. Pure: no windows.h.
#pragma once

#include "WavFile.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>

namespace demo {

class OutputWav {
  public:
    // Throws std::runtime_error when the part file cannot be created.
    OutputWav(const std::filesystem::path &finalPath, const wav::WavFormat &format);
    ~OutputWav();
    OutputWav(const OutputWav &) = delete;
    OutputWav &operator=(const OutputWav &) = delete;

    // Appends samples and rewrites the header's sizes. Throws when the disk refuses them or
    // the file would pass the 4 GiB a WAV file can hold.
    void Append(std::span<const std::uint8_t> pcm);
    // Pads to an even length, closes and renames over the final name (replacing a file there).
    void Commit();
    std::uint64_t Bytes() const { return bytes_; }
    const std::filesystem::path &PartPath() const { return partPath_; }

    static std::filesystem::path PartPathFor(const std::filesystem::path &finalPath);

  private:
    void Put(std::span<const std::uint8_t> bytes);
    void WriteHeader();

    std::filesystem::path finalPath_;
    std::filesystem::path partPath_;
    wav::WavFormat format_;
    std::ofstream out_;
    std::uint64_t bytes_ = 0;
    bool committed_ = false;
};

// A path as UTF-8, for messages.
std::string Utf8Path(const std::filesystem::path &path);

} // namespace demo
