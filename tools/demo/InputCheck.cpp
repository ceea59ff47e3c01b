#include "InputCheck.h"

#include "RenderReport.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string_view>

namespace demo {

namespace {

constexpr std::uint16_t kFormatFloat = 3;
constexpr std::size_t kExtensibleBytes = 40;
constexpr std::string_view kConvert = ": convert them to 8-, 16-, 24- or 32-bit integer PCM";

std::uint16_t Le16(const std::uint8_t *p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::uint32_t Le32(const std::uint8_t *p) {
    return static_cast<std::uint32_t>(Le16(p)) | static_cast<std::uint32_t>(Le16(p + 2)) << 16;
}

std::string CompressedName(std::uint16_t tag) {
    switch (tag) {
    case 0x0002:
        return "MS ADPCM";
    case 0x0006:
        return "A-law";
    case 0x0007:
        return "mu-law";
    case 0x0011:
        return "IMA ADPCM";
    case 0x0031:
        return "GSM 6.10";
    case 0x0050:
        return "MPEG audio";
    case 0x0055:
        return "MP3";
    default: {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%04X", tag);
        return std::string("format tag ") + hex;
    }
    }
}

// The format chunk's verdict, or empty when it describes what the WAV plug-in plays.
std::string JudgeFormat(const std::uint8_t *body, std::size_t size) {
    if (size < 16)
        return "its format chunk is too short to describe the samples";
    std::uint16_t tag = Le16(body);
    const int channels = Le16(body + 2);
    const std::uint32_t rate = Le32(body + 4);
    const int blockAlign = Le16(body + 12);
    const int bits = Le16(body + 14);
    if (tag == wav::kFormatExtensible && size >= kExtensibleBytes)
        tag = Le16(body + 24); // the sub-format
    if (tag == kFormatFloat)
        return std::to_string(bits) + "-bit float WAV files are not supported" +
               std::string(kConvert);
    if (tag != wav::kFormatPcm)
        return "compressed WAV files (" + CompressedName(tag) + ") are not supported" +
               std::string(kConvert);
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32)
        return std::to_string(bits) + "-bit samples are not supported" + std::string(kConvert);
    if (channels < 1 || channels > 8)
        return std::to_string(channels) + " channels: the WAV plug-in plays 1 to 8";
    if (rate < 1)
        return "its format chunk gives a sample rate of 0";
    if (blockAlign != channels * (bits / 8))
        return "its format chunk does not add up (" + std::to_string(blockAlign) +
               " bytes per frame for " + std::to_string(channels) + " channels of " +
               std::to_string(bits) + " bits)";
    return {};
}

} // namespace

std::string WhyNotPlayable(wav::ByteSource &file) {
    std::uint8_t riff[12];
    if (file.ReadAt(0, riff, sizeof riff) != sizeof riff)
        return "not a WAV file (too short for a RIFF header)";
    if (std::memcmp(riff, "RF64", 4) == 0 || std::memcmp(riff, "BW64", 4) == 0)
        return "RF64 WAV files (over 4 GiB) are not supported: split or convert it to a plain "
               "RIFF WAV";
    if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0)
        return "not a WAV file (no RIFF/WAVE header)";
    bool formatSeen = false, dataSeen = false;
    for (std::uint64_t at = sizeof riff; at + 8 <= file.Size();) {
        std::uint8_t header[8];
        if (file.ReadAt(at, header, sizeof header) != sizeof header)
            break;
        const std::uint32_t size = Le32(header + 4);
        if (std::memcmp(header, "fmt ", 4) == 0 && !formatSeen) {
            formatSeen = true;
            std::uint8_t body[kExtensibleBytes] = {};
            const std::size_t want = size < sizeof body ? size : sizeof body;
            const std::size_t got = file.ReadAt(at + 8, body, want);
            if (std::string verdict = JudgeFormat(body, got); !verdict.empty())
                return verdict;
        } else if (std::memcmp(header, "data", 4) == 0) {
            dataSeen = true;
        }
        at += 8 + std::uint64_t{size} + (size & 1);
    }
    if (!formatSeen)
        return "a WAV file without a format chunk: it does not say how its samples are stored";
    if (!dataSeen)
        return "a WAV file without a data chunk: it holds no samples";
    return "not a WAV file of 8-, 16-, 24- or 32-bit integer PCM with 1 to 8 channels";
}

std::string WhyNotReadable(const std::filesystem::path &path, bool wav) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status))
        return "there is no such file";
    if (std::filesystem::is_directory(status))
        return wav ? "is a folder, not a WAV file: give the WAV files in it"
                   : "is a folder, not a track: give the files in it";
    if (!std::ifstream(path, std::ios::binary))
        return "cannot be opened (does another program hold it, or may you not read it?)";
    return {};
}

std::string WhyNotWritable(const std::filesystem::path &path, const std::string &asGiven) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        return "is a folder: give the name of the file to write";
    const std::filesystem::path folder = path.parent_path();
    if (folder.empty() || std::filesystem::is_directory(folder, error))
        return {};
    // The folder as typed: everything before the last separator.
    const std::size_t cut = asGiven.find_last_of("/\\");
    const std::string typed = cut == std::string::npos ? asGiven : asGiven.substr(0, cut);
    if (std::filesystem::exists(folder, error))
        return typed + " is a file, not a folder";
    return "there is no folder " + typed + " to write it in: make it first, or give another";
}

std::string WhySkipNeverComes(std::span<const double> skipAtSeconds, double playlistSeconds) {
    for (const double at : skipAtSeconds)
        if (at >= playlistSeconds)
            return "--skip-at " + FormatTime(at, true) + " is past the end: the tracks last " +
                   FormatTime(playlistSeconds, true) +
                   " one after the other, and the crossfades make the output shorter still";
    return {};
}

std::string WhyNotOneFormat(std::span<const NamedFormat> tracks, bool fadeAcrossFormats) {
    if (tracks.empty() || fadeAcrossFormats)
        return {};
    const NamedFormat &first = tracks.front();
    for (const NamedFormat &t : tracks) {
        if (t.Format == first.Format)
            continue;
        const auto describe = [](const wav::WavFormat &f) {
            return FormatDescription({f.Rate, f.Channels, f.Bits});
        };
        return "mixed formats: " + first.Name + " is " + describe(first.Format) + ", " + t.Name +
               " is " + describe(t.Format) +
               ". Without --fade-across-formats the plug-in crossfades only between tracks of "
               "one format; give it to crossfade them all (the output then changes format, one "
               "file per run of one format), or convert them to one format first.";
    }
    return {};
}

} // namespace demo
