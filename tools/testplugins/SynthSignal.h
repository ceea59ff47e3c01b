// The synthetic tone that the test input plug-ins decode and the tests predict: the format comes
// from the file name alone, and every sample is a hash of its frame, channel and seed, so any
// byte that is dropped, doubled or shifted on its way through a player shows up in a comparison.
// Pure: no windows.h, header only, shared by the test plug-ins and the test programs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

struct SynthFormat {
    int Rate = 0;
    int Channels = 0;
    int Bits = 0;
    int LengthMs = 0;
    uint32_t Seed = 0;
};

namespace synth_detail {

// A decimal number of at most ten digits; anything else (signs, spaces, empty) is none.
inline std::optional<int64_t> ParseDecimal(std::wstring_view token) {
    if (token.empty() || token.size() > 10)
        return std::nullopt;
    int64_t value = 0;
    for (wchar_t c : token) {
        if (c < L'0' || c > L'9')
            return std::nullopt;
        value = value * 10 + (c - L'0');
    }
    return value;
}

// Splits off the next '_'-separated token of rest.
inline std::wstring_view NextToken(std::wstring_view &rest) {
    const std::size_t end = rest.find(L'_');
    const std::wstring_view token = rest.substr(0, end);
    rest = end == std::wstring_view::npos ? std::wstring_view{} : rest.substr(end + 1);
    return token;
}

inline bool StartsWithToneNoCase(std::wstring_view name) {
    constexpr std::wstring_view prefix = L"tone_";
    if (name.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        wchar_t c = name[i];
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

// Murmur3's finaliser over the three inputs: cheap, and every input bit moves every output bit.
inline uint32_t Hash(uint32_t frame, uint32_t channel, uint32_t seed) {
    uint32_t h =
        frame * 0x9E3779B1u ^ (channel + 1u) * 0x85EBCA77u ^ (seed + 0x165667B1u) * 0xC2B2AE3Du;
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    h ^= h >> 16;
    return h;
}

} // namespace synth_detail

// The base name (after the last '\' or '/') must read
// tone_<rate>_<channels>_<bits>_<ms>[_<seed>][_<anything>].<ext>.
inline std::optional<SynthFormat> ParseSynthName(std::wstring_view fileName) {
    using namespace synth_detail;
    const std::size_t slash = fileName.find_last_of(L"\\/");
    std::wstring_view base =
        slash == std::wstring_view::npos ? fileName : fileName.substr(slash + 1);
    const std::size_t dot = base.find_last_of(L'.');
    if (dot == std::wstring_view::npos || !StartsWithToneNoCase(base))
        return std::nullopt;
    std::wstring_view rest = base.substr(5, dot - 5);
    int64_t values[4] = {};
    for (int64_t &value : values) {
        const auto number = ParseDecimal(NextToken(rest));
        if (!number)
            return std::nullopt;
        value = *number;
    }
    SynthFormat format;
    if (values[0] < 1 || values[0] > 768000 || values[1] < 1 || values[1] > 8 ||
        (values[2] != 8 && values[2] != 16 && values[2] != 24 && values[2] != 32) ||
        values[3] > INT32_MAX)
        return std::nullopt;
    format.Rate = static_cast<int>(values[0]);
    format.Channels = static_cast<int>(values[1]);
    format.Bits = static_cast<int>(values[2]);
    format.LengthMs = static_cast<int>(values[3]);
    // An optional seed, then any tokens the tests use as markers.
    if (!rest.empty()) {
        std::wstring_view markers = rest;
        if (const auto seed = ParseDecimal(NextToken(markers))) {
            if (*seed > UINT32_MAX)
                return std::nullopt;
            format.Seed = static_cast<uint32_t>(*seed);
        }
    }
    return format;
}

inline int64_t SynthTotalFrames(const SynthFormat &format) {
    return static_cast<int64_t>(format.Rate) * format.LengthMs / 1000;
}

inline int SynthFrameBytes(const SynthFormat &format) {
    return format.Channels * (format.Bits / 8);
}

inline int64_t SynthTotalBytes(const SynthFormat &format) {
    return SynthTotalFrames(format) * SynthFrameBytes(format);
}

// Full range for the width: 8-bit 0..255 (unsigned), 16/24/32-bit signed.
inline int32_t SynthSample(uint32_t frame, uint32_t channel, const SynthFormat &format) {
    const uint32_t h = synth_detail::Hash(frame, channel, format.Seed);
    switch (format.Bits) {
    case 8:
        return static_cast<int32_t>(h >> 24);
    case 16:
        return static_cast<int16_t>(h >> 16);
    case 24:
        return static_cast<int32_t>(h) >> 8;
    default:
        return static_cast<int32_t>(h);
    }
}

// Interleaved little-endian PCM of frames [firstFrame, firstFrame + frames); 24-bit samples take
// three bytes. out must hold frames * SynthFrameBytes(format) bytes.
inline void SynthPcm(const SynthFormat &format, int64_t firstFrame, int64_t frames, uint8_t *out) {
    const int sampleBytes = format.Bits / 8;
    for (int64_t f = 0; f < frames; ++f) {
        const auto frame = static_cast<uint32_t>(firstFrame + f);
        for (int c = 0; c < format.Channels; ++c) {
            const auto value =
                static_cast<uint32_t>(SynthSample(frame, static_cast<uint32_t>(c), format));
            for (int b = 0; b < sampleBytes; ++b)
                *out++ = static_cast<uint8_t>(value >> (8 * b));
        }
    }
}
