// The crossfade mixer: mixes what the outgoing track's decoder still delivers into the blocks of
// the incoming track, sample by sample, with a linear, logarithmic or equal-power gain curve.
// Pure code over buffers: it never sees a window, a thread or a plug-in.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

// The gain curve of a fade. The equal-power curve keeps the summed power of unrelated tracks
// constant; its sum of gains exceeds 1 in the middle, so similar tracks can exceed full scale.
enum class TFadeCurve : std::uint8_t { Linear = 0, Logarithmic = 1, EqualPower = 2 };

// The curve the two settings choose: equal power wins over the logarithmic check box.
constexpr TFadeCurve FadeCurveFor(bool logTrans, bool equalPower) {
    return equalPower ? TFadeCurve::EqualPower
                      : (logTrans ? TFadeCurve::Logarithmic : TFadeCurve::Linear);
}

// The outgoing track's decoder, kept open after its play request ended. The engine implements
// the two calls with the owning plug-in's getData and close.
class TFadeOutSource {
  public:
    virtual ~TFadeOutSource() = default;
    // Up to length bytes of PCM into destination; below 1 means the end.
    virtual int GetData(std::uint8_t *destination, int length) = 0;
    // Closes the decoder; errors are the implementation's to swallow.
    virtual void Close() noexcept = 0;

    int BitsPerSample = 0;
    int Channels = 0;
    int SampleRate = 0;
    std::int64_t SizeBytes = 0;
    int BlockBytes = 0;  // read size of the outgoing track
    int RemainingMs = 0; // of the track not yet written when it was handed over
};

// One block read from the source; OldPos in TCrossfadeState is the next unread sample.
struct TOldBlock {
    std::vector<std::uint8_t> Data; // room for 2 x the source's BlockBytes, or more
    int Bytes = 0;
    int BitsPerSample = 0;
    int Channels = 0;
    int SampleRate = 0;
    int Samples = 0; // over all channels
};

// The crossfade of the playback thread. Only the playback thread touches it, except the curve.
class TCrossfadeState {
  public:
    bool Armed = false;   // the current track may be mixed
    bool Started = false; // the fade of the current track has been initialised
    double FadeSecondsIn = 1.0;
    double FadeSecondsOut = 1.0;
    // Where one track has a ramp of its own (a fade-out, a fade-in), the other's gain moves this
    // many times faster than the fade: at 2 the incoming track is in by the fade's middle, or the
    // outgoing one holds until then. 1 for every other fade.
    double InSpeed = 1.0;
    double OutSpeed = 1.0;
    std::unique_ptr<TFadeOutSource> Source;
    TOldBlock Block;
    bool HasBlock = false;
    int OldPos = 0;
    double FadeTarget = 0.0;
    double FadePosition = 0.0; // weight position p of the outgoing track
    double FadeComplement = 1.0;
    double StepUp = 1.0 / 44100;
    double StepDown = 1.0 / 44100;
    bool Reached = false;
    int LastBits = 0;
    std::int64_t ZeroLevel = 0;
    // Mixed samples held at the format's limits since the state was made; linear and
    // logarithmic fades never get there.
    std::int64_t SaturatedSamples = 0;

    // Written by the host's thread at any time; read once per frame.
    void SetCurve(TFadeCurve curve) { Curve.store(curve, std::memory_order_relaxed); }
    TFadeCurve GetCurve() const { return Curve.load(std::memory_order_relaxed); }
    void SetLogCurve(bool logCurve) {
        SetCurve(logCurve ? TFadeCurve::Logarithmic : TFadeCurve::Linear);
    }
    bool IsLogCurve() const { return GetCurve() == TFadeCurve::Logarithmic; }

    // The per-block mixing step of the incoming track while Armed.
    int MixingStep(std::uint8_t *buffer, int frames, int bits, int channels, int rate,
                   int fadeTimeMs);
    // Mixes the old block into buffer in place; answers the frames it was given.
    int MixBlock(std::uint8_t *buffer, int frames, int bits, int channels, int rate);
    double Gain(double x) const { return GainOf(x, GetCurve()); }
    // The gain of the track whose weight position is x: 0 at x = 0, 1 at x = 1.
    static double GainOf(double x, TFadeCurve curve);
    static double GainOf(double x, bool logCurve) {
        return GainOf(x, logCurve ? TFadeCurve::Logarithmic : TFadeCurve::Linear);
    }

    // Hands a decoder over as the outgoing track (the current one is released first); its fade
    // starts afresh, with the outgoing track at full level.
    void HoldSource(std::unique_ptr<TFadeOutSource> source);
    // Gives the running fade (source, old block, position and curve) to another state and is
    // left without one.
    void MoveFadeInto(TCrossfadeState &other);
    // Closes and drops the source with its current block.
    void ReleaseSource() noexcept;
    // The fade that has just begun begins again with its next block, from wherever the source
    // then reads: its first block is mixed anew.
    void RestartFade();

    bool EnsureOldBlock(int bits, int channels, int rate);
    bool FetchOldBlock();

  private:
    bool BlockMatches(int bits, int channels, int rate) const;
    bool FetchMatchingBlock(int bits, int channels, int rate);
    void DropBlock();
    // Grows the block buffer to the held source's block size.
    void MakeBlockRoom();
    // Moves p one frame towards the target.
    void MovePosition();
    std::atomic<TFadeCurve> Curve{TFadeCurve::Linear};
};

namespace pcm {
// One sample of the given width: 8 bits unsigned, 16/24/32 bits signed little-endian.
std::int64_t ReadSample(const std::uint8_t *sample, int bits);
// Stores the low bits of value in place of the sample.
void WriteSample(std::uint8_t *sample, int bits, std::int64_t value);

// The same for a width known at compile time, for the inner loops of the mixer and converter.
template <int Bits> std::int64_t ReadSampleAs(const std::uint8_t *sample) {
    if constexpr (Bits == 8)
        return sample[0];
    else if constexpr (Bits == 16)
        return static_cast<std::int16_t>(sample[0] | (sample[1] << 8));
    else
        return ReadSample(sample, Bits);
}

template <int Bits> void WriteSampleAs(std::uint8_t *sample, std::int64_t value) {
    if constexpr (Bits == 16) {
        sample[0] = static_cast<std::uint8_t>(value);
        sample[1] = static_cast<std::uint8_t>(value >> 8);
    } else {
        WriteSample(sample, Bits, value);
    }
}
// Scales `count` frames by a straight line from silence (up) or down to it, without reaching
// either end: frame k of n gets (k + 1) / (n + 1), or (n - k) / (n + 1). Truncated toward zero
// as the mixer does; 8-bit samples about their midpoint.
void Ramp(std::uint8_t *frames, int count, int bits, int channels, bool up);
// The smallest and largest value a sample of the width holds (8 bits: 0 and 255).
constexpr std::int64_t MinSample(int bits) {
    return bits == 8 ? 0 : -(std::int64_t{1} << (bits - 1));
}
constexpr std::int64_t MaxSample(int bits) {
    return bits == 8 ? 255 : (std::int64_t{1} << (bits - 1)) - 1;
}
} // namespace pcm
