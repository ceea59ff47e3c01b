#include "WavInfo.h"

#include <algorithm>
#include <cstring>

namespace wav {

namespace {

constexpr std::size_t kHeaderBytes = 8;
constexpr std::size_t kRiffHeaderBytes = 12;
// Tags are short; a larger LIST chunk is read only this far.
constexpr std::size_t kMostListBytes = 64 * 1024;

uint32_t Le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void Put32(std::vector<uint8_t> &out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void Put32At(std::vector<uint8_t> &out, std::size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[at + static_cast<std::size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

bool IsTag(const uint8_t *p, const char *tag) {
    return std::memcmp(p, tag, 4) == 0;
}

std::string Value(const uint8_t *p, std::size_t size) {
    const auto *end = static_cast<const uint8_t *>(std::memchr(p, 0, size));
    std::string text(reinterpret_cast<const char *>(p), end ? static_cast<std::size_t>(end - p) : size);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    return text;
}

void Keep(std::string &field, std::string value) {
    if (field.empty())
        field = std::move(value);
}

void Merge(InfoTags &into, const InfoTags &from) {
    Keep(into.Album, from.Album);
    Keep(into.Artist, from.Artist);
    Keep(into.AlbumArtist, from.AlbumArtist);
    Keep(into.Track, from.Track);
}

} // namespace

std::optional<InfoTags> ParseInfoList(std::span<const uint8_t> body) {
    if (body.size() < 4 || !IsTag(body.data(), "INFO"))
        return std::nullopt;
    InfoTags tags;
    std::string part; // IPRT: the track number where ITRK is missing
    for (std::size_t at = 4; at + kHeaderBytes <= body.size();) {
        const uint8_t *header = body.data() + at;
        const uint32_t size = Le32(header + 4);
        if (size > body.size() - at - kHeaderBytes)
            break;
        const std::string value = Value(header + kHeaderBytes, size);
        if (IsTag(header, "IPRD"))
            Keep(tags.Album, value);
        else if (IsTag(header, "IART"))
            Keep(tags.Artist, value);
        else if (IsTag(header, "IAAR"))
            Keep(tags.AlbumArtist, value);
        else if (IsTag(header, "ITRK"))
            Keep(tags.Track, value);
        else if (IsTag(header, "IPRT"))
            Keep(part, value);
        at += kHeaderBytes + size + (size & 1);
    }
    Keep(tags.Track, part);
    return tags;
}

InfoTags ReadInfoTags(ByteSource &source) {
    InfoTags tags;
    const uint64_t fileSize = source.Size();
    uint8_t riff[kRiffHeaderBytes];
    if (source.ReadAt(0, riff, sizeof riff) != sizeof riff || !IsTag(riff, "RIFF") ||
        !IsTag(riff + 8, "WAVE"))
        return tags;
    for (uint64_t at = kRiffHeaderBytes; at + kHeaderBytes <= fileSize;) {
        uint8_t header[kHeaderBytes];
        if (source.ReadAt(at, header, sizeof header) != sizeof header)
            break;
        const uint32_t size = Le32(header + 4);
        if (IsTag(header, "LIST")) {
            std::vector<uint8_t> body(static_cast<std::size_t>(
                std::min<uint64_t>({size, kMostListBytes, fileSize - at - kHeaderBytes})));
            body.resize(source.ReadAt(at + kHeaderBytes, body.data(), body.size()));
            if (const auto found = ParseInfoList(body))
                Merge(tags, *found);
        }
        at += kHeaderBytes + uint64_t{size} + (size & 1);
    }
    return tags;
}

void AppendInfoList(std::vector<uint8_t> &file, const InfoTags &tags) {
    if (file.size() < kRiffHeaderBytes)
        return;
    std::vector<uint8_t> list = {'I', 'N', 'F', 'O'};
    const auto add = [&](const char *id, const std::string &value) {
        if (value.empty())
            return;
        const auto size = static_cast<uint32_t>(value.size() + 1); // with its NUL
        list.insert(list.end(), id, id + 4);
        Put32(list, size);
        list.insert(list.end(), value.begin(), value.end());
        list.push_back(0);
        if (size & 1)
            list.push_back(0);
    };
    add("IPRD", tags.Album);
    add("IART", tags.Artist);
    add("IAAR", tags.AlbumArtist);
    add("ITRK", tags.Track);
    if (file.size() & 1)
        file.push_back(0);
    file.insert(file.end(), {'L', 'I', 'S', 'T'});
    Put32(file, static_cast<uint32_t>(list.size()));
    file.insert(file.end(), list.begin(), list.end());
    Put32At(file, 4, static_cast<uint32_t>(file.size() - 8));
}

} // namespace wav
