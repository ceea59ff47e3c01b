// The render's output files. Each is written under a temporary name beside the final one (the
// final name with ".part" added) and its header is made true after every piece, so that a
// render stopped half way leaves a playable part file, never a WAV whose header says it is
// empty; Commit renames it to the final name. Destroyed without Commit, it removes the part
// file. Pure: no windows.h.
#pragma once

#include "Transitions.h"
#include "WavFile.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <vector>

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

// What the output received, one WAV file per run of one format: the output re-opens in the
// next track's format where a track of another format comes, and a WAV file cannot change format
// half way. The first run is written under the name given, each later one under that name with
// "-2", "-3", ... before its extension. Every file is an OutputWav: a part file until Commit.
class OutputFiles {
  public:
    // The first file is made at once, in the format given (the first track's): a render that
    // received nothing still leaves an empty WAV file. Throws as OutputWav does.
    OutputFiles(const std::filesystem::path &finalPath, const PcmFormat &format);

    // The calls the output received since the last Take, in order (refused writes left out),
    // and the bytes its writes left, without what a Flush or Close threw away unplayed. Each
    // accepted Write's bytes go to the run of the format the output was last opened in.
    void Take(std::span<const OutputCall> calls, std::span<const std::uint8_t> pcm);
    // Commits every file, in order.
    void Commit();

    struct Run {
        std::filesystem::path Path; // the final name
        PcmFormat Format;
        std::uint64_t Bytes = 0;
    };
    std::vector<Run> Runs() const;
    std::uint64_t Bytes() const;
    // What all runs hold, each at its own rate.
    double Seconds() const;

    // The final name of run `index` (0 is the name given), and the same of a name as typed.
    static std::filesystem::path RunPath(const std::filesystem::path &finalPath, int index);
    static std::string RunName(const std::string &finalName, std::size_t index);

  private:
    struct Piece {
        std::size_t Run;
        std::int64_t Bytes;
    };
    void StartRun(const PcmFormat &format, const std::vector<Piece> &pending);

    std::filesystem::path finalPath_;
    std::vector<std::unique_ptr<OutputWav>> files_;
    std::vector<PcmFormat> formats_;
    bool outputOpen_ = false;
};

// A path as UTF-8, for messages.
std::string Utf8Path(const std::filesystem::path &path);

} // namespace demo
