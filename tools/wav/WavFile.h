// RIFF/WAVE PCM: reading the layout of a file (where its format and its samples are) and writing
// canonical files with a 44-byte header. Pure: no windows.h; bytes come through a ByteSource so
// the same walk serves files on disk and buffers in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace wav {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;
constexpr std::size_t kCanonicalHeaderBytes = 44;

// The sample format; Bits is the container width (8, 16, 24 or 32).
struct WavFormat {
    int Rate = 0;
    int Channels = 0;
    int Bits = 0;
    int FrameBytes() const { return Channels * (Bits / 8); }
    int64_t BytesPerSecond() const { return int64_t{Rate} * FrameBytes(); }
    friend bool operator==(const WavFormat &, const WavFormat &) = default;
};

// Where the samples of a file lie. DataBytes is clamped to the file and to whole frames.
struct WavLayout {
    WavFormat Format;
    uint16_t FormatTag = kFormatPcm; // as declared: PCM or extensible with a PCM sub-format
    uint64_t DataOffset = 0;
    uint64_t DataBytes = 0;
    int64_t Frames() const { return static_cast<int64_t>(DataBytes / Format.FrameBytes()); }
    int64_t LengthMs() const { return Frames() * 1000 / Format.Rate; }
};

// Random access to the bytes of a file.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    virtual uint64_t Size() const = 0;
    // Copies up to count bytes from offset; answers how many it copied.
    virtual std::size_t ReadAt(uint64_t offset, void *dest, std::size_t count) = 0;
};

class MemorySource : public ByteSource {
  public:
    explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint64_t Size() const override { return bytes_.size(); }
    std::size_t ReadAt(uint64_t offset, void *dest, std::size_t count) override;

  private:
    std::span<const uint8_t> bytes_;
};

// Walks the chunks of a RIFF/WAVE file: odd chunk sizes are padded, a data chunk that claims more
// than the file holds is cut at the end of the file. No format chunk, no data chunk, or a format
// other than 8/16/24/32-bit integer PCM with 1..8 channels: no layout.
std::optional<WavLayout> ReadLayout(ByteSource &source);

// The canonical header for dataBytes bytes of PCM in format (format tag 1).
std::vector<uint8_t> CanonicalHeader(const WavFormat &format, uint32_t dataBytes);
// A whole canonical file: header, then pcm (padded to an even length as RIFF asks).
std::vector<uint8_t> MakeFile(const WavFormat &format, std::span<const uint8_t> pcm);
bool SaveFile(const std::filesystem::path &path, const WavFormat &format,
              std::span<const uint8_t> pcm);

} // namespace wav
