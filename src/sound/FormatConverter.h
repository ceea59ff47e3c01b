// Turns the outgoing track's PCM into the incoming track's format, block by block, so that a
// tail of another rate, width or channel count can be mixed into the incoming track.
// Pure code over buffers.
#pragma once

#include "Resampler.h"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

struct TPcmFormat {
    int BitsPerSample = 0;
    int Channels = 0;
    int SampleRate = 0;

    bool operator==(const TPcmFormat &) const = default;
    int FrameBytes() const { return BitsPerSample / 8 * Channels; }
};

// Triangular (TPDF) noise of one step peak for dithering, from a fixed seed: the same input
// always gives the same output.
class TTpdfNoise {
  public:
    // A value in [-1, 1), triangular around 0: the sum of two uniform ones.
    double Next() { return Uniform() + Uniform() - 1.0; }

  private:
    double Uniform() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<double>(state_ >> 8) * (1.0 / 16777216.0);
    }
    std::uint32_t state_ = 0x2545F491u;
};

// Channels: one to two by copying, two to one by averaging, equal counts as they are. Widths 8,
// 16, 24 and 32 bits in any direction through the sample's value as a fraction of full scale;
// towards fewer bits rounded to the nearest step, halves away from zero, and held at full scale.
// Rates through TResampler. Input bytes that end inside a frame wait for the next block.
// With dither on, values the output cannot hold exactly get TPDF noise of one output step
// before they are rounded.
class TFormatConverter {
  public:
    // Whether blocks of one format can be turned into the other: playable widths and rates, one
    // or two channels on each side, rates the resampler supports.
    static bool CanConvert(const TPcmFormat &from, const TPcmFormat &to);
    // A converter for the pair, or none when CanConvert refuses it.
    static std::unique_ptr<TFormatConverter> Create(const TPcmFormat &from, const TPcmFormat &to);

    const TPcmFormat &From() const { return from_; }
    const TPcmFormat &To() const { return to_; }

    // Input frames before the first converted one that the first outputs depend on: those the
    // resampler reaches back to, none without a change of rate.
    int PrimerFrames() const;
    // Before the first Convert: the input that came before it (whole frames of From(), oldest
    // first; a part frame at their front is skipped), so that the first outputs are what
    // converting the whole signal would give, instead of a start from silence that rings. Only
    // the last PrimerFrames count. It adds no output, and nothing once input was converted.
    void Prime(std::span<const std::uint8_t> frames);

    // Appends the frames these input bytes complete; answers how many frames it appended.
    int Convert(std::span<const std::uint8_t> input, std::vector<std::uint8_t> &output);
    // The end of the outgoing track: appends the frames the resampler still holds back. A part
    // frame left over is dropped. Later calls append nothing.
    int Finish(std::vector<std::uint8_t> &output);
    // Frames the whole output has, after Finish, for this many whole input frames.
    std::int64_t OutputFramesFor(std::int64_t inputFrames) const;

    // Room for blocks of up to this many input frames, so that converting a stream of them (and
    // finishing it) allocates nothing in the converter. Answers the frames one such block, or
    // Finish, appends at most: the room the caller's output needs.
    int Reserve(int framesPerBlock);

    // Off at first; takes effect with the next block.
    void SetDither(bool dither) { dither_ = dither; }
    // Whether dither is on and this pair rounds: fewer bits, a mean of two channels in as many
    // bits or fewer, or another rate. Other pairs are exact and get none.
    bool Dithers() const;

    // Formats as CanConvert accepts them, else std::invalid_argument.
    TFormatConverter(const TPcmFormat &from, const TPcmFormat &to);

  private:
    int ConvertFrames(const std::uint8_t *frames, int count, std::vector<std::uint8_t> &output);
    int WriteResampled(std::vector<std::uint8_t> &output);
    int MappedChannels() const; // what goes through the resampler: the fewer of the two

    TPcmFormat from_;
    TPcmFormat to_;
    std::vector<std::uint8_t> partial_; // the start of a frame a block ended in
    std::unique_ptr<TResampler> resampler_;
    std::vector<float> mapped_;    // input frames in the resampler's channels
    std::vector<float> resampled_; // its output, waiting to be written
    std::vector<double> exact_;    // input frames in the output's channels, at the same rate
    bool finished_ = false;
    bool dither_ = false;
    TTpdfNoise noise_;
};

namespace pcmformat {
// Full scale of a sample width: 2 to the power of bits - 1.
constexpr double FullScale(int bits) {
    return bits == 8 ? 128.0 : bits == 16 ? 32768.0 : bits == 24 ? 8388608.0 : 2147483648.0;
}

// A sample's value as a fraction of full scale, in [-1, 1); 8-bit samples are unsigned.
inline double FractionOf(std::int64_t sample, int bits) {
    if (bits == 8)
        sample -= 128;
    return static_cast<double>(sample) * (1.0 / FullScale(bits)); // a power of two: exact
}

// The sample of the given width nearest to a fraction, halves away from zero, held within full
// scale. Inline: it runs once per converted sample.
inline std::int64_t SampleFor(double fraction, int bits) {
    const double fullScale = FullScale(bits);
    double scaled = fraction * fullScale;
    if (!(scaled >= -fullScale)) // also not a number
        scaled = scaled != scaled ? 0.0 : -fullScale;
    else if (scaled > fullScale - 1.0)
        scaled = fullScale - 1.0;
    // The difference to the truncated value is exact in double; no branches on it, for its
    // sign is as random as the sound.
    const auto truncated = static_cast<std::int64_t>(scaled);
    const double rest = scaled - static_cast<double>(truncated);
    const std::int64_t value = truncated + (rest >= 0.5) - (rest <= -0.5);
    return bits == 8 ? value + 128 : value;
}
} // namespace pcmformat
