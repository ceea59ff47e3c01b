#include "OutputWav.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

namespace demo {

std::string Utf8Path(const std::filesystem::path &path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::filesystem::path OutputWav::PartPathFor(const std::filesystem::path &finalPath) {
    std::filesystem::path part = finalPath;
    part += ".part";
    return part;
}

OutputWav::OutputWav(const std::filesystem::path &finalPath, const wav::WavFormat &format)
    : finalPath_(finalPath), partPath_(PartPathFor(finalPath)), format_(format),
      out_(partPath_, std::ios::binary | std::ios::trunc) {
    if (!out_)
        throw std::runtime_error("cannot write " + Utf8Path(partPath_));
    WriteHeader();
}

OutputWav::~OutputWav() {
    if (committed_)
        return;
    out_.close();
    std::error_code ignored;
    std::filesystem::remove(partPath_, ignored);
}

void OutputWav::Append(std::span<const std::uint8_t> pcm) {
    if (bytes_ + pcm.size() > UINT32_MAX - wav::kCanonicalHeaderBytes - 1)
        throw std::runtime_error("the output would be larger than a WAV file can be (4 GiB)");
    Put(pcm);
    bytes_ += pcm.size();
    WriteHeader();
    if (!out_)
        throw std::runtime_error("cannot write " + Utf8Path(partPath_) + " (is the disk full?)");
}

void OutputWav::Commit() {
    if (bytes_ & 1)
        Put(std::vector<std::uint8_t>{0});
    out_.close();
    if (!out_)
        throw std::runtime_error("cannot write " + Utf8Path(partPath_));
    std::error_code error;
    std::filesystem::rename(partPath_, finalPath_, error);
    if (error)
        throw std::runtime_error("cannot rename " + Utf8Path(partPath_) + " to " +
                                 Utf8Path(finalPath_) + ": " + error.message());
    committed_ = true;
}

void OutputWav::Put(std::span<const std::uint8_t> bytes) {
    out_.write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// The header's two sizes follow the samples written; the write position goes back to the end.
void OutputWav::WriteHeader() {
    out_.seekp(0);
    Put(wav::CanonicalHeader(format_, static_cast<std::uint32_t>(bytes_)));
    out_.seekp(0, std::ios::end);
    out_.flush();
}

namespace {

wav::WavFormat WavFormatOf(const PcmFormat &format) {
    return {format.Rate, format.Channels, format.Bits};
}

} // namespace

OutputFiles::OutputFiles(const std::filesystem::path &finalPath, const PcmFormat &format)
    : finalPath_(finalPath) {
    files_.push_back(std::make_unique<OutputWav>(finalPath_, WavFormatOf(format)));
    formats_.push_back(format);
}

std::filesystem::path OutputFiles::RunPath(const std::filesystem::path &finalPath, int index) {
    if (index == 0)
        return finalPath;
    std::filesystem::path name = finalPath.stem();
    name += "-" + std::to_string(index + 1);
    name += finalPath.extension();
    return finalPath.parent_path() / name;
}

// The same cut as RunPath's: before the last dot of the file's name, unless the name starts
// with it.
std::string OutputFiles::RunName(const std::string &finalName, std::size_t index) {
    if (index == 0)
        return finalName;
    const std::size_t nameStart = finalName.find_last_of("/\\") + 1; // 0 without a folder
    const std::size_t dot = finalName.find_last_of('.');
    const std::size_t cut =
        dot != std::string::npos && dot > nameStart && finalName.substr(nameStart) != ".."
            ? dot
            : finalName.size();
    return finalName.substr(0, cut) + "-" + std::to_string(index + 1) + finalName.substr(cut);
}

// A run that holds nothing yet, nor will from this Take, takes the new format itself.
void OutputFiles::StartRun(const PcmFormat &format, const std::vector<Piece> &pending) {
    const std::size_t last = files_.size() - 1;
    const bool lastEmpty = files_[last]->Bytes() == 0 &&
                           std::none_of(pending.begin(), pending.end(), [&](const Piece &p) {
                               return p.Run == last && p.Bytes > 0;
                           });
    if (lastEmpty) {
        files_[last].reset();
        files_[last] = std::make_unique<OutputWav>(RunPath(finalPath_, static_cast<int>(last)),
                                                   WavFormatOf(format));
        formats_[last] = format;
        return;
    }
    files_.push_back(std::make_unique<OutputWav>(
        RunPath(finalPath_, static_cast<int>(files_.size())), WavFormatOf(format)));
    formats_.push_back(format);
}

void OutputFiles::Take(std::span<const OutputCall> calls, std::span<const std::uint8_t> pcm) {
    std::vector<Piece> pieces;
    for (const OutputCall &call : calls) {
        // What the output threw away unplayed was the last written of the run open now: it
        // comes off the end.
        if (call.Discarded > 0 &&
            (call.Kind == OutputCallKind::Flush || call.Kind == OutputCallKind::Close)) {
            std::int64_t left = call.Discarded;
            for (auto piece = pieces.rbegin();
                 piece != pieces.rend() && piece->Run == files_.size() - 1 && left > 0; ++piece) {
                const std::int64_t taken = std::min(left, piece->Bytes);
                piece->Bytes -= taken;
                left -= taken;
            }
        }
        if (call.Kind == OutputCallKind::Open) {
            if (StartsAnotherRun(call, formats_.back()))
                StartRun(call.Format, pieces);
            outputOpen_ = true;
        } else if (call.Kind == OutputCallKind::Close) {
            outputOpen_ = false;
        } else if (call.Kind == OutputCallKind::Write && outputOpen_ && call.Arg > 0) {
            const std::size_t run = files_.size() - 1;
            if (!pieces.empty() && pieces.back().Run == run)
                pieces.back().Bytes += call.Arg;
            else
                pieces.push_back({run, call.Arg});
        }
    }
    // Bytes the calls do not account for stay with the run written last.
    const std::int64_t counted =
        std::accumulate(pieces.begin(), pieces.end(), std::int64_t{0},
                        [](std::int64_t sum, const Piece &p) { return sum + p.Bytes; });
    if (counted < static_cast<std::int64_t>(pcm.size()))
        pieces.push_back({files_.size() - 1, static_cast<std::int64_t>(pcm.size()) - counted});
    std::size_t at = 0;
    for (const Piece &piece : pieces) {
        const std::size_t bytes = std::min(static_cast<std::size_t>(piece.Bytes), pcm.size() - at);
        if (bytes > 0)
            files_[piece.Run]->Append(pcm.subspan(at, bytes));
        at += bytes;
    }
}

void OutputFiles::Commit() {
    for (const auto &file : files_)
        file->Commit();
}

std::vector<OutputFiles::Run> OutputFiles::Runs() const {
    std::vector<Run> runs;
    for (std::size_t i = 0; i < files_.size(); ++i)
        runs.push_back({RunPath(finalPath_, static_cast<int>(i)), formats_[i], files_[i]->Bytes()});
    return runs;
}

std::uint64_t OutputFiles::Bytes() const {
    std::uint64_t bytes = 0;
    for (const auto &file : files_)
        bytes += file->Bytes();
    return bytes;
}

double OutputFiles::Seconds() const {
    double seconds = 0.0;
    for (std::size_t i = 0; i < files_.size(); ++i)
        if (formats_[i].BytesPerSecond() > 0)
            seconds += static_cast<double>(files_[i]->Bytes()) /
                       static_cast<double>(formats_[i].BytesPerSecond());
    return seconds;
}

} // namespace demo
