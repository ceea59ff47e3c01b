// The synthetic tone that the test input plug-ins decode and the tests predict: the format comes
// from the file name alone, and every sample is a hash of its frame, channel and seed, so any
// byte that is dropped, doubled or shifted on its way through a player shows up in a comparison.
// Shaping tokens in the name give a track the edges real music has (silence, fades of its own)
// and make consecutive tracks cuts of one piece, tagged as one album.
// Pure: no windows.h, header only, shared by the test plug-ins and the test programs.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

// What the tokens L, T, F, I, B, P, A and N of a name ask for. Without any token a track is the
// bare hash at full scale, as every older name plays.
struct SynthShape {
    bool Shaped = false; // any token: the body sits BodyDb below full scale
    int LeadMs = 0;      // L: digital silence at the start
    int TrailMs = 0;     // T: digital silence at the end
    int FadeInMs = 0;    // I: after the leading silence, -60 dB up to the body
    int FadeOutMs = 0;   // F: ending where the trailing silence begins, the body down to -60 dB
    int BodyDb = 6;      // B: headroom for the fades' and mixes' sums
    uint32_t Piece = 0;  // P: the hash's frame offset, so tracks are cuts of one piece
    int GapAtMs = 0;     // M: where a silence inside the track starts (a hidden track's gap)
    int GapMs = 0;       // D: how long that silence lasts
    std::optional<uint32_t> Album; // A: "Album <n>" by "Synth Artist"
    std::optional<uint32_t> Track; // N: the track number
};

struct SynthFormat {
    int Rate = 0;
    int Channels = 0;
    int Bits = 0;
    int LengthMs = 0;
    uint32_t Seed = 0;
    SynthShape Shape{};
};

// Where a track's parts lie, in frames: silence [0, SoundStart), fade-in [SoundStart, BodyStart),
// body [BodyStart, FadeOutStart), fade-out [FadeOutStart, SoundEnd), silence [SoundEnd, Total);
// and silence [GapStart, GapEnd) wherever it lies.
struct SynthLayout {
    int64_t SoundStart = 0;
    int64_t BodyStart = 0;
    int64_t FadeOutStart = 0;
    int64_t SoundEnd = 0;
    int64_t Total = 0;
    int64_t GapStart = 0;
    int64_t GapEnd = 0;
};

// The depth both fades reach at their quiet end.
inline constexpr double kSynthFadeFloorDb = -60.0;

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

inline int64_t MsToFrames(int rate, int64_t ms) {
    return static_cast<int64_t>(rate) * ms / 1000;
}

// One shaping token: an upper-case letter and a decimal number. Anything else is a marker the
// tests use for other purposes and leaves the shape alone.
inline void ApplyShapingToken(std::wstring_view token, SynthShape &shape) {
    static constexpr std::pair<wchar_t, int SynthShape::*> kIntFields[] = {
        {L'L', &SynthShape::LeadMs},    {L'T', &SynthShape::TrailMs}, {L'I', &SynthShape::FadeInMs},
        {L'F', &SynthShape::FadeOutMs}, {L'B', &SynthShape::BodyDb},  {L'M', &SynthShape::GapAtMs},
        {L'D', &SynthShape::GapMs}};
    if (token.size() < 2)
        return;
    const auto number = ParseDecimal(token.substr(1));
    if (!number)
        return;
    const auto n32 = static_cast<uint32_t>(std::min<int64_t>(*number, UINT32_MAX));
    if (token[0] == L'P') {
        shape.Piece = n32;
    } else if (token[0] == L'A') {
        shape.Album = n32;
    } else if (token[0] == L'N') {
        shape.Track = n32;
    } else {
        const auto field = std::find_if(std::begin(kIntFields), std::end(kIntFields),
                                        [&](const auto &entry) { return entry.first == token[0]; });
        if (field == std::end(kIntFields))
            return;
        shape.*(field->second) = static_cast<int>(std::min<int64_t>(*number, INT32_MAX));
    }
    shape.Shaped = true;
}

} // namespace synth_detail

inline SynthLayout SynthLayoutOf(const SynthFormat &format) {
    using synth_detail::MsToFrames;
    const SynthShape &shape = format.Shape;
    SynthLayout layout;
    layout.Total = MsToFrames(format.Rate, format.LengthMs);
    layout.SoundStart = MsToFrames(format.Rate, shape.LeadMs);
    layout.BodyStart = layout.SoundStart + MsToFrames(format.Rate, shape.FadeInMs);
    layout.SoundEnd = layout.Total - MsToFrames(format.Rate, shape.TrailMs);
    layout.FadeOutStart = layout.SoundEnd - MsToFrames(format.Rate, shape.FadeOutMs);
    layout.GapStart = MsToFrames(format.Rate, shape.GapAtMs);
    layout.GapEnd = layout.GapStart + MsToFrames(format.Rate, shape.GapMs);
    return layout;
}

// The base name (after the last '\' or '/') must read
// tone_<rate>_<channels>_<bits>_<ms>[_<seed>][_<token>...][_<anything>].<ext>, where a token is
// L<ms>, T<ms>, I<ms>, F<ms>, B<dB>, P<frame>, M<ms>, D<ms>, A<n> or N<k> in any order; a shape
// whose silences and fades do not fit in the track is refused.
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
    // An optional seed, then shaping tokens and any tokens the tests use as markers.
    if (!rest.empty()) {
        std::wstring_view markers = rest;
        if (const auto seed = ParseDecimal(NextToken(markers))) {
            if (*seed > UINT32_MAX)
                return std::nullopt;
            format.Seed = static_cast<uint32_t>(*seed);
            rest = markers;
        }
    }
    while (!rest.empty())
        ApplyShapingToken(NextToken(rest), format.Shape);
    const SynthLayout layout = SynthLayoutOf(format);
    if (layout.BodyStart > layout.FadeOutStart || layout.GapEnd > layout.Total)
        return std::nullopt;
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

// The level of frame in dB below full scale (0 for an unshaped track); minus infinity in the
// silences. The fades are straight lines in dB: the fade-out's last frame lies one step above
// -60 dB, the fade-in's first at -60 dB.
inline double SynthLevelDb(int64_t frame, const SynthFormat &format) {
    const SynthShape &shape = format.Shape;
    if (!shape.Shaped)
        return 0.0;
    const SynthLayout layout = SynthLayoutOf(format);
    if (frame < layout.SoundStart || frame >= layout.SoundEnd ||
        (frame >= layout.GapStart && frame < layout.GapEnd))
        return -std::numeric_limits<double>::infinity();
    double fade = 0.0;
    if (frame < layout.BodyStart)
        fade = kSynthFadeFloorDb * static_cast<double>(layout.BodyStart - frame) /
               static_cast<double>(layout.BodyStart - layout.SoundStart);
    else if (frame >= layout.FadeOutStart)
        fade = kSynthFadeFloorDb * static_cast<double>(frame - layout.FadeOutStart) /
               static_cast<double>(layout.SoundEnd - layout.FadeOutStart);
    return fade - shape.BodyDb;
}

namespace synth_detail {

// The bare hash sample of the piece's frame: full range for the width, 8-bit 0..255 (unsigned),
// 16/24/32-bit signed.
inline int32_t RawSample(uint32_t frame, uint32_t channel, const SynthFormat &format) {
    const uint32_t h = Hash(frame, channel, format.Seed);
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

// A raw sample at gain, rounded; 8-bit samples scale around their middle, 128.
inline int32_t Scaled(int32_t raw, double gain, int bits) {
    const int64_t middle = bits == 8 ? 128 : 0;
    return static_cast<int32_t>(middle + std::llround(static_cast<double>(raw - middle) * gain));
}

inline double GainOf(double levelDb) {
    return std::isinf(levelDb) ? 0.0 : std::pow(10.0, levelDb / 20.0);
}

} // namespace synth_detail

// The sample a track's frame holds: the bare hash for an unshaped track, else the hash of the
// piece's frame (frame + P) at the frame's level.
inline int32_t SynthSample(uint32_t frame, uint32_t channel, const SynthFormat &format) {
    using namespace synth_detail;
    if (!format.Shape.Shaped)
        return RawSample(frame, channel, format);
    const int32_t raw = RawSample(frame + format.Shape.Piece, channel, format);
    return Scaled(raw, GainOf(SynthLevelDb(frame, format)), format.Bits);
}

// Interleaved little-endian PCM of frames [firstFrame, firstFrame + frames); 24-bit samples take
// three bytes. out must hold frames * SynthFrameBytes(format) bytes.
inline void SynthPcm(const SynthFormat &format, int64_t firstFrame, int64_t frames, uint8_t *out) {
    using namespace synth_detail;
    const int sampleBytes = format.Bits / 8;
    const bool shaped = format.Shape.Shaped;
    for (int64_t f = 0; f < frames; ++f) {
        const auto frame = static_cast<uint32_t>(firstFrame + f);
        // One level per frame: the fades' powers are the costly part.
        const double gain = shaped ? GainOf(SynthLevelDb(firstFrame + f, format)) : 1.0;
        const uint32_t pieceFrame = frame + format.Shape.Piece;
        for (int c = 0; c < format.Channels; ++c) {
            const int32_t raw = RawSample(pieceFrame, static_cast<uint32_t>(c), format);
            const auto value = static_cast<uint32_t>(shaped ? Scaled(raw, gain, format.Bits) : raw);
            for (int b = 0; b < sampleBytes; ++b)
                *out++ = static_cast<uint8_t>(value >> (8 * b));
        }
    }
}
