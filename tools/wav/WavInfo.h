// The album tags a RIFF/WAVE file carries in a LIST chunk of form type INFO, the one place
// plain WAV files keep them: IPRD the album (its "product"), IART the artist, ITRK the track
// number (IPRT, the "part", where ITRK is missing: both are written by common taggers) and the
// unofficial IAAR the album artist. Pure: bytes come through a ByteSource.
#pragma once

#include "WavFile.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace wav {

// The values as their bytes stand, up to the first NUL, trailing blanks left out; the reader
// decides their character set.
struct InfoTags {
    std::string Album;
    std::string Artist;
    std::string AlbumArtist;
    std::string Track;
    friend bool operator==(const InfoTags &, const InfoTags &) = default;
};

// A LIST chunk's body (after its 8-byte header): the tags when its form type is INFO. Sub-chunks
// whose size runs past the body end the walk; values without their terminating NUL are taken
// to the end of their sub-chunk.
std::optional<InfoTags> ParseInfoList(std::span<const uint8_t> body);
// The tags of the file's LIST/INFO chunks (the first value of each kept); empty tags when it
// has none or is no RIFF/WAVE file.
InfoTags ReadInfoTags(ByteSource &source);
// Appends a LIST/INFO chunk with the tags that are not empty and fixes the RIFF size.
void AppendInfoList(std::vector<uint8_t> &file, const InfoTags &tags);

} // namespace wav
