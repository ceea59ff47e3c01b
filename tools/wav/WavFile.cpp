#include "WavFile.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <utility>

namespace wav {

namespace {

constexpr std::size_t kChunkHeaderBytes = 8;
constexpr std::size_t kMinFormatBytes = 16;
constexpr std::size_t kExtensibleFormatBytes = 40;
// The tail shared by every KSDATAFORMAT_SUBTYPE_* GUID; the first two bytes hold the format tag.
constexpr std::array<uint8_t, 14> kSubFormatTail = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                    0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint16_t Le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void Put16(std::vector<uint8_t> &out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t> &out, uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

void PutTag(std::vector<uint8_t> &out, const char (&tag)[5]) {
    out.insert(out.end(), tag, tag + 4);
}

bool IsTag(const uint8_t *p, const char (&tag)[5]) {
    return std::memcmp(p, tag, 4) == 0;
}

// The body of a "fmt " chunk, when it describes integer PCM this reader plays.
std::optional<WavLayout> ParseFormat(const uint8_t *body, std::size_t size) {
    if (size < kMinFormatBytes)
        return std::nullopt;
    WavLayout layout;
    layout.FormatTag = Le16(body);
    layout.Format.Channels = Le16(body + 2);
    layout.Format.Rate = static_cast<int>(std::min<uint32_t>(Le32(body + 4), INT32_MAX));
    const int blockAlign = Le16(body + 12);
    layout.Format.Bits = Le16(body + 14);
    if (layout.FormatTag == kFormatExtensible) {
        if (size < kExtensibleFormatBytes || Le16(body + 24) != kFormatPcm ||
            !std::equal(kSubFormatTail.begin(), kSubFormatTail.end(), body + 26))
            return std::nullopt;
        const int validBits = Le16(body + 18);
        if (validBits > layout.Format.Bits)
            return std::nullopt;
    } else if (layout.FormatTag != kFormatPcm) {
        return std::nullopt;
    }
    const WavFormat &f = layout.Format;
    const bool knownBits = f.Bits == 8 || f.Bits == 16 || f.Bits == 24 || f.Bits == 32;
    if (!knownBits || f.Channels < 1 || f.Channels > 8 || f.Rate < 1 ||
        blockAlign != f.FrameBytes())
        return std::nullopt;
    return layout;
}

// The data chunk's body, cut at the end of the file and to whole frames.
void PlaceData(WavLayout &layout, uint64_t body, uint32_t size, uint64_t fileSize) {
    const uint64_t available = std::min<uint64_t>(size, fileSize - body);
    layout.DataOffset = body;
    layout.DataBytes = available - available % layout.Format.FrameBytes();
}

} // namespace

std::size_t MemorySource::ReadAt(uint64_t offset, void *dest, std::size_t count) {
    if (count == 0 || offset >= bytes_.size())
        return 0;
    const std::size_t n =
        static_cast<std::size_t>(std::min<uint64_t>(count, bytes_.size() - offset));
    std::memcpy(dest, bytes_.data() + offset, n);
    return n;
}

std::optional<WavLayout> ReadLayout(ByteSource &source) {
    const uint64_t fileSize = source.Size();
    uint8_t riff[12];
    if (source.ReadAt(0, riff, sizeof riff) != sizeof riff || !IsTag(riff, "RIFF") ||
        !IsTag(riff + 8, "WAVE"))
        return std::nullopt;
    // The RIFF size is not trusted: writers that stream leave it 0 or too large.
    std::optional<WavLayout> layout;
    std::optional<std::pair<uint64_t, uint32_t>> data; // a data chunk seen before the format
    for (uint64_t at = sizeof riff; at + kChunkHeaderBytes <= fileSize;) {
        uint8_t header[kChunkHeaderBytes];
        if (source.ReadAt(at, header, sizeof header) != sizeof header)
            break;
        const uint32_t size = Le32(header + 4);
        const uint64_t body = at + kChunkHeaderBytes;
        if (IsTag(header, "fmt ") && !layout) {
            std::vector<uint8_t> bytes(std::min<std::size_t>(size, kExtensibleFormatBytes));
            if (source.ReadAt(body, bytes.data(), bytes.size()) != bytes.size())
                return std::nullopt;
            layout = ParseFormat(bytes.data(), bytes.size());
            if (!layout)
                return std::nullopt;
        } else if (IsTag(header, "data") && !data) {
            data.emplace(body, size);
        }
        if (layout && data) {
            PlaceData(*layout, data->first, data->second, fileSize);
            return layout;
        }
        at = body + size + (size & 1);
    }
    return std::nullopt;
}

std::vector<uint8_t> CanonicalHeader(const WavFormat &format, uint32_t dataBytes) {
    std::vector<uint8_t> out;
    out.reserve(kCanonicalHeaderBytes);
    PutTag(out, "RIFF");
    Put32(out, 36 + dataBytes + (dataBytes & 1));
    PutTag(out, "WAVE");
    PutTag(out, "fmt ");
    Put32(out, 16);
    Put16(out, kFormatPcm);
    Put16(out, static_cast<uint32_t>(format.Channels));
    Put32(out, static_cast<uint32_t>(format.Rate));
    Put32(out, static_cast<uint32_t>(format.BytesPerSecond()));
    Put16(out, static_cast<uint32_t>(format.FrameBytes()));
    Put16(out, static_cast<uint32_t>(format.Bits));
    PutTag(out, "data");
    Put32(out, dataBytes);
    return out;
}

std::vector<uint8_t> MakeFile(const WavFormat &format, std::span<const uint8_t> pcm) {
    std::vector<uint8_t> file = CanonicalHeader(format, static_cast<uint32_t>(pcm.size()));
    file.insert(file.end(), pcm.begin(), pcm.end());
    if (pcm.size() & 1)
        file.push_back(0);
    return file;
}

bool SaveFile(const std::filesystem::path &path, const WavFormat &format,
              std::span<const uint8_t> pcm) {
    const std::vector<uint8_t> file = MakeFile(format, pcm);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(file.data()),
              static_cast<std::streamsize>(file.size()));
    return static_cast<bool>(out.flush());
}

} // namespace wav
