// A band-limited sample-rate converter for the outgoing track's tail: a Kaiser-windowed sinc,
// evaluated as a polyphase filter, streaming block by block. Pure code over float frames.
//
// Its band: flat (far within 0.1 dB) up to 0.45 of the lower rate, and everything from 0.5 of the
// lower rate on (images when going up, aliases when going down) at least 90 dB down.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

// The filter for one pair of rates; the kernel is a plain function of time, so that a reference
// can evaluate the same sum directly.
struct TResamplerDesign {
    int InputRate = 0;
    int OutputRate = 0;
    double Cutoff = 0.0; // of the ideal low-pass, in cycles per input sample
    double Beta = 0.0;   // of the Kaiser window
    int Taps = 0;        // input samples per output sample; a multiple of 16

    // The kernel t input samples away from the output's instant; 0 at Taps/2 and beyond.
    double Kernel(double t) const;
};

// The design for a pair of rates, both positive.
TResamplerDesign ResamplerDesignFor(int inputRate, int outputRate);

// Converts interleaved float frames of one or two channels from one rate to another. Output
// frame n stands at input time n * inputRate / outputRate, without delay: the input before the
// first frame counts as silence, and Finish supplies silence after the last.
class TResampler {
  public:
    static constexpr int kMaxChannels = 2;
    // Rates further apart downwards than this would need kernels of thousands of taps.
    static constexpr int kMaxDownRatio = 24;
    // Upwards, every input frame costs this many output frames at most: 8 kHz to 768 kHz, the
    // widest pair of playable rates. A tail of 1 Hz audio would otherwise turn one block into
    // gigabytes of output.
    static constexpr int kMaxUpRatio = 96;
    // Whether the pair can be resampled: both rates positive, the input at most kMaxDownRatio
    // times the output and the output at most kMaxUpRatio times the input.
    static bool Supports(int inputRate, int outputRate);

    // Rates as Supports accepts them (else std::invalid_argument), channels 1 or 2.
    TResampler(int inputRate, int outputRate, int channels);

    const TResamplerDesign &Design() const { return design_; }
    int Channels() const { return channels_; }

    // Input frames before the first one that the first outputs reach back to, for this pair
    // of rates (as Supports accepts them).
    int PrimerFrames() const { return half_ - 1; }
    static int PrimerFramesFor(int inputRate, int outputRate);
    // The most any pair the resampler supports reaches back: at the largest step down.
    static int MaxPrimerFrames() { return PrimerFramesFor(kMaxDownRatio, 1); }
    // Before the first Push: the input that came before it, whole interleaved frames, oldest
    // first, in place of the silence the first outputs would otherwise reach back into (an
    // output near a sudden start of sound rings with every frequency at once). Only the last
    // PrimerFrames count; fewer leave silence before them. It adds no output. Ignored once
    // input was pushed.
    void Prime(std::span<const float> frames);

    // Takes whole interleaved frames and appends the output frames they complete.
    void Push(std::span<const float> frames, std::vector<float> &output);
    // The end of the input: appends the frames still held back, so that the whole output has
    // OutputFramesFor(all input frames) frames. Later pushes are ignored.
    void Finish(std::vector<float> &output);

    // Room for pushes of up to this many frames and for Finish, so that a stream of such pushes
    // allocates nothing more.
    void Reserve(int framesPerPush);
    // Output frames one push of this many frames can complete at most, with those held back
    // from earlier pushes, or Finish's.
    std::int64_t MaxOutputFramesPerPush(int framesPerPush) const;

    // Output frames for a whole input of this many frames: those whose instant lies before the
    // input's end.
    static std::int64_t OutputFramesFor(std::int64_t inputFrames, int inputRate, int outputRate);

  private:
    void BuildTable();
    void Append(std::span<const float> frames);
    void AppendSilence(int frames);
    void ProduceReady(std::vector<float> &output);
    const float *CoefficientsFor(std::int64_t phase);
    void DropConsumed();

    TResamplerDesign design_;
    int channels_ = 1;
    int half_ = 0;               // Taps / 2
    std::int64_t up_ = 1;        // output rate over the rates' common divisor
    std::int64_t down_ = 1;      // input rate over the same
    bool exactPhases_ = true;    // one table row per phase, else rows interpolated
    int rows_ = 0;               // table rows besides the closing one of the interpolated table
    std::vector<float> table_;   // rows of Taps coefficients
    std::vector<float> scratch_; // an interpolated row
    std::vector<float> history_[kMaxChannels];
    std::int64_t historyStart_ = 0; // input index of history_[c][0]
    std::int64_t received_ = 0;     // input frames, and the silence Finish added
    std::int64_t realInput_ = 0;    // input frames pushed
    std::int64_t produced_ = 0;     // output frames so far
    std::int64_t base_ = 0;         // floor(produced_ * down_ / up_)
    std::int64_t phase_ = 0;        // produced_ * down_ mod up_
    std::int64_t limit_ = -1;       // output frames in all, once finished
};
