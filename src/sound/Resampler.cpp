#include "Resampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <stdexcept>

namespace {

constexpr double kPi = 3.14159265358979323846;
// Where the band ends and where the stopband begins, as fractions of the lower rate.
constexpr double kPassbandEdge = 0.45;
constexpr double kStopbandEdge = 0.5;
// The window's attenuation, with room for the float arithmetic and the interpolated table.
constexpr double kAttenuationDb = 96.0;
// A rate pair with more phases than this, or whose table would hold more coefficients than that,
// interpolates between the rows of a finer table instead.
constexpr std::int64_t kMaxExactPhases = 1024;
constexpr std::int64_t kMaxExactCoefficients = 1 << 18;
// Rows of the interpolated table for a cutoff of half the input rate; a lower cutoff makes the
// kernel smoother, and as many fewer rows keep the interpolation error the same.
constexpr double kInterpolatedRowsAtHalf = 512;
constexpr int kMinInterpolatedRows = 64;

// The modified Bessel function of order 0, from its power series.
double BesselI0(double x) {
    const double quarterSquare = x * x / 4.0;
    double term = 1.0;
    double sum = 1.0;
    for (int k = 1; term > sum * 1e-17; ++k) {
        term *= quarterSquare / (static_cast<double>(k) * k);
        sum += term;
    }
    return sum;
}

using Float4 = float __attribute__((vector_size(16)));

Float4 Load4(const float *p) {
    Float4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

float Sum(Float4 v) {
    return (v[0] + v[1]) + (v[2] + v[3]);
}

// Dot products over a multiple of 16 taps, with independent sums so additions overlap. The
// plain version needs nothing beyond SSE2, which every build has.
float DotPlain(const float *coefficients, const float *samples, int taps) {
    Float4 a{}, b{};
    for (int j = 0; j < taps; j += 8) {
        a += Load4(coefficients + j) * Load4(samples + j);
        b += Load4(coefficients + j + 4) * Load4(samples + j + 4);
    }
    return Sum(a + b);
}

void Dot2Plain(const float *coefficients, const float *left, const float *right, int taps,
               float &outLeft, float &outRight) {
    Float4 a{}, b{}, c{}, d{};
    for (int j = 0; j < taps; j += 8) {
        const Float4 c0 = Load4(coefficients + j);
        const Float4 c1 = Load4(coefficients + j + 4);
        a += c0 * Load4(left + j);
        b += c1 * Load4(left + j + 4);
        c += c0 * Load4(right + j);
        d += c1 * Load4(right + j + 4);
    }
    outLeft = Sum(a + b);
    outRight = Sum(c + d);
}

#if defined(__x86_64__) && !defined(_WIN32)
// Eight lanes and fused multiply-adds where the processor has them: twice the taps per load.
// Only for 64-bit builds outside Windows, whose stacks keep the 32-byte alignment such code
// spills to.
#define HVQ_RESAMPLER_AVX2 1
using Float8 = float __attribute__((vector_size(32)));

__attribute__((target("avx2,fma"))) Float8 Load8(const float *p) {
    Float8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

__attribute__((target("avx2,fma"))) float Sum8(Float8 v) {
    return ((v[0] + v[1]) + (v[2] + v[3])) + ((v[4] + v[5]) + (v[6] + v[7]));
}

__attribute__((target("avx2,fma"))) float DotAvx2(const float *coefficients, const float *samples,
                                                  int taps) {
    Float8 a{}, b{};
    for (int j = 0; j < taps; j += 16) {
        a += Load8(coefficients + j) * Load8(samples + j);
        b += Load8(coefficients + j + 8) * Load8(samples + j + 8);
    }
    return Sum8(a + b);
}

__attribute__((target("avx2,fma"))) void Dot2Avx2(const float *coefficients, const float *left,
                                                  const float *right, int taps, float &outLeft,
                                                  float &outRight) {
    Float8 a{}, b{}, c{}, d{};
    for (int j = 0; j < taps; j += 16) {
        const Float8 c0 = Load8(coefficients + j);
        const Float8 c1 = Load8(coefficients + j + 8);
        a += c0 * Load8(left + j);
        b += c1 * Load8(left + j + 8);
        c += c0 * Load8(right + j);
        d += c1 * Load8(right + j + 8);
    }
    outLeft = Sum8(a + b);
    outRight = Sum8(c + d);
}

bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return has;
}
#endif

float Dot(const float *coefficients, const float *samples, int taps) {
#ifdef HVQ_RESAMPLER_AVX2
    if (HasAvx2())
        return DotAvx2(coefficients, samples, taps);
#endif
    return DotPlain(coefficients, samples, taps);
}

void Dot2(const float *coefficients, const float *left, const float *right, int taps,
          float &outLeft, float &outRight) {
#ifdef HVQ_RESAMPLER_AVX2
    if (HasAvx2())
        return Dot2Avx2(coefficients, left, right, taps, outLeft, outRight);
#endif
    Dot2Plain(coefficients, left, right, taps, outLeft, outRight);
}

} // namespace

namespace {

// The kernel with the window's divisor I0(beta) worked out once by the caller.
double KernelOf(const TResamplerDesign &design, double t, double windowDivisor) {
    const double half = design.Taps / 2.0;
    if (!(std::fabs(t) < half))
        return 0.0;
    const double x = 2.0 * design.Cutoff * t;
    const double sinc = x == 0.0 ? 1.0 : std::sin(kPi * x) / (kPi * x);
    const double r = t / half;
    const double window = BesselI0(design.Beta * std::sqrt(1.0 - r * r)) / windowDivisor;
    return 2.0 * design.Cutoff * sinc * window;
}

} // namespace

double TResamplerDesign::Kernel(double t) const {
    return KernelOf(*this, t, BesselI0(Beta));
}

TResamplerDesign ResamplerDesignFor(int inputRate, int outputRate) {
    TResamplerDesign design;
    design.InputRate = inputRate;
    design.OutputRate = outputRate;
    const double lower = std::min(inputRate, outputRate);
    design.Cutoff = (kPassbandEdge + kStopbandEdge) / 2.0 * lower / inputRate;
    const double transition = (kStopbandEdge - kPassbandEdge) * lower / inputRate;
    design.Beta = 0.1102 * (kAttenuationDb - 8.7);
    // Kaiser's estimate of the length for this attenuation and transition width.
    const double length = (kAttenuationDb - 7.95) / (2.285 * 2.0 * kPi * transition) + 1.0;
    design.Taps = static_cast<int>(std::ceil(length / 16.0)) * 16;
    return design;
}

bool TResampler::Supports(int inputRate, int outputRate) {
    return inputRate > 0 && outputRate > 0 &&
           static_cast<std::int64_t>(inputRate) <=
               static_cast<std::int64_t>(outputRate) * kMaxDownRatio &&
           static_cast<std::int64_t>(outputRate) <=
               static_cast<std::int64_t>(inputRate) * kMaxUpRatio;
}

TResampler::TResampler(int inputRate, int outputRate, int channels)
    : design_(ResamplerDesignFor(inputRate, outputRate)), channels_(channels) {
    if (!Supports(inputRate, outputRate) || channels < 1 || channels > kMaxChannels)
        throw std::invalid_argument("resampler: unsupported rates or channels");
    half_ = design_.Taps / 2;
    const std::int64_t divisor = std::gcd(inputRate, outputRate);
    up_ = outputRate / divisor;
    down_ = inputRate / divisor;
    exactPhases_ = up_ <= kMaxExactPhases && up_ * design_.Taps <= kMaxExactCoefficients;
    rows_ =
        exactPhases_
            ? static_cast<int>(up_)
            : std::max(kMinInterpolatedRows,
                       static_cast<int>(std::ceil(kInterpolatedRowsAtHalf * 2.0 * design_.Cutoff)));
    BuildTable();
    // The input before the first frame is silence.
    historyStart_ = -(half_ - 1);
    for (int c = 0; c < channels_; ++c)
        history_[c].assign(static_cast<std::size_t>(half_ - 1), 0.0f);
}

// Row r holds the kernel for an output at fraction r / rows_ past an input sample, over the taps
// from half_ - 1 samples before that sample to half_ after it.
void TResampler::BuildTable() {
    const int taps = design_.Taps;
    const int tableRows = exactPhases_ ? rows_ : rows_ + 1;
    table_.resize(static_cast<std::size_t>(tableRows) * taps);
    const double windowDivisor = BesselI0(design_.Beta);
    for (int r = 0; r < tableRows; ++r) {
        const double fraction = static_cast<double>(r) / rows_;
        float *row = table_.data() + static_cast<std::size_t>(r) * taps;
        for (int j = 0; j < taps; ++j)
            row[j] =
                static_cast<float>(KernelOf(design_, fraction + (half_ - 1 - j), windowDivisor));
    }
    if (!exactPhases_)
        scratch_.resize(static_cast<std::size_t>(taps));
}

const float *TResampler::CoefficientsFor(std::int64_t phase) {
    const int taps = design_.Taps;
    if (exactPhases_)
        return table_.data() + static_cast<std::size_t>(phase) * taps;
    const double position = static_cast<double>(phase) / static_cast<double>(up_) * rows_;
    const int row = std::min(static_cast<int>(position), rows_ - 1);
    const auto weight = static_cast<float>(position - row);
    const float *lower = table_.data() + static_cast<std::size_t>(row) * taps;
    const float *upper = lower + taps;
    for (int j = 0; j < taps; ++j)
        scratch_[j] = lower[j] + weight * (upper[j] - lower[j]);
    return scratch_.data();
}

std::int64_t TResampler::OutputFramesFor(std::int64_t inputFrames, int inputRate, int outputRate) {
    if (inputFrames <= 0)
        return 0;
    const std::int64_t divisor = std::gcd(inputRate, outputRate);
    const std::int64_t up = outputRate / divisor;
    const std::int64_t down = inputRate / divisor;
    // Frames n with n * down / up < inputFrames.
    return (inputFrames * up + down - 1) / down;
}

void TResampler::Append(std::span<const float> frames) {
    const std::size_t count = frames.size() / channels_;
    for (int c = 0; c < channels_; ++c) {
        auto &history = history_[c];
        const std::size_t start = history.size();
        history.resize(start + count);
        for (std::size_t i = 0; i < count; ++i)
            history[start + i] = frames[i * channels_ + c];
    }
    received_ += static_cast<std::int64_t>(count);
}

void TResampler::AppendSilence(int frames) {
    for (int c = 0; c < channels_; ++c)
        history_[c].resize(history_[c].size() + static_cast<std::size_t>(frames), 0.0f);
    received_ += frames;
}

// The history never holds more than twice the taps and a push before it drops what is consumed.
void TResampler::Reserve(int framesPerPush) {
    const auto frames = static_cast<std::size_t>(std::max(framesPerPush, 0));
    const auto taps = static_cast<std::size_t>(design_.Taps);
    for (int c = 0; c < channels_; ++c)
        history_[c].reserve(2 * (taps + frames) + taps);
}

std::int64_t TResampler::MaxOutputFramesPerPush(int framesPerPush) const {
    const std::int64_t frames = std::max(framesPerPush, half_) + design_.Taps;
    return OutputFramesFor(frames, design_.InputRate, design_.OutputRate) + 1;
}

int TResampler::PrimerFramesFor(int inputRate, int outputRate) {
    return ResamplerDesignFor(inputRate, outputRate).Taps / 2 - 1;
}

// The history holds exactly the half_ - 1 frames of silence before the first frame until the
// first push: the primer takes their place, newest last.
void TResampler::Prime(std::span<const float> frames) {
    if (received_ > 0 || limit_ >= 0)
        return;
    const std::size_t whole = frames.size() / channels_;
    const std::size_t count = std::min(whole, static_cast<std::size_t>(PrimerFrames()));
    if (count == 0)
        return;
    const float *newest = frames.data() + (whole - count) * channels_;
    for (int c = 0; c < channels_; ++c) {
        float *into = history_[c].data() + (history_[c].size() - count);
        for (std::size_t i = 0; i < count; ++i)
            into[i] = newest[i * channels_ + c];
    }
}

void TResampler::Push(std::span<const float> frames, std::vector<float> &output) {
    if (limit_ >= 0)
        return;
    const std::size_t whole = frames.size() - frames.size() % channels_;
    Append(frames.first(whole));
    realInput_ += static_cast<std::int64_t>(whole / channels_);
    ProduceReady(output);
}

void TResampler::Finish(std::vector<float> &output) {
    if (limit_ >= 0)
        return;
    limit_ = OutputFramesFor(realInput_, design_.InputRate, design_.OutputRate);
    // The last output's kernel reaches half_ frames past the last input frame.
    AppendSilence(half_);
    ProduceReady(output);
}

// Every output frame whose taps have all arrived.
void TResampler::ProduceReady(std::vector<float> &output) {
    const int taps = design_.Taps;
    const std::int64_t wholeSteps = down_ / up_;
    const std::int64_t stepRest = down_ % up_;
    while (base_ + half_ < received_ && (limit_ < 0 || produced_ < limit_)) {
        const float *coefficients = CoefficientsFor(phase_);
        const auto offset = static_cast<std::size_t>(base_ - (half_ - 1) - historyStart_);
        if (channels_ == 2) {
            float left = 0.0f, right = 0.0f;
            Dot2(coefficients, history_[0].data() + offset, history_[1].data() + offset, taps, left,
                 right);
            output.push_back(left);
            output.push_back(right);
        } else {
            output.push_back(Dot(coefficients, history_[0].data() + offset, taps));
        }
        ++produced_;
        base_ += wholeSteps;
        phase_ += stepRest;
        if (phase_ >= up_) {
            phase_ -= up_;
            ++base_;
        }
    }
    DropConsumed();
}

// Forgets the input no later output reaches back to, once that is half the history, so the
// history stays short and each sample moves only a few times.
void TResampler::DropConsumed() {
    const std::int64_t needed = base_ - (half_ - 1);
    const std::int64_t unused = std::min(needed - historyStart_, received_ - historyStart_);
    if (unused <= 0 || static_cast<std::size_t>(unused) * 2 < history_[0].size())
        return;
    for (int c = 0; c < channels_; ++c)
        history_[c].erase(history_[c].begin(), history_[c].begin() + unused);
    historyStart_ += unused;
}
