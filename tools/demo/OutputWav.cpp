#include "OutputWav.h"

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

} // namespace demo
