#include "TrackEdges.h"

#include "BlockMath.h"
#include "CrossfadeMixer.h"
#include "FormatConverter.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int kWindowsPerSecond = 100;
// Half the short-term loudness span, in windows: 7 + 1 + 7 = 150 ms, long enough to even out
// single beats, short enough to find a ramp's start to a window or two.
constexpr int kShortTermHalf = 7;
constexpr double kBodyPercentile = 0.9;
// What makes a ramp a fade and not a quiet passage before an ending: it lasts, it ends far below
// the body, and it keeps falling (fitted over its length).
constexpr int kMinRampWindows = kWindowsPerSecond;
constexpr double kRampEndBelowBodyDb = 20.0;
constexpr double kMinRampFallDb = 10.0;
// Less body than this before a ramp, and its level cannot be told.
constexpr int kMinBodyWindows = kWindowsPerSecond / 2;
constexpr double kSilentDb = -150.0;

template <int Bits> std::uint32_t MagnitudeAt(const std::uint8_t *sample) {
    const std::int64_t value = pcm::ReadSampleAs<Bits>(sample) - (Bits == 8 ? 128 : 0);
    return static_cast<std::uint32_t>(value < 0 ? -value : value);
}

// 16-bit sums of squares are of the samples quartered, so that the eight-wide path can add
// sixteen groups of squares in 32 bits; 32-bit ones lose their low byte, so that a window's sum
// fits 64. What is lost lies below -78 dBFS, under any ramp that ends where sound does.
constexpr int SquareShift(int bits) {
    return bits == 16 ? 2 : bits == 32 ? 8 : 0;
}

#if defined(__SSE2__)
// The scanner sees every frame of a track's end and the skip every frame of its leading silence,
// beside a decoder that makes them; in the common 16-bit width they look at eight samples at a
// time, whatever the channels.

// How many of the leading samples, in whole groups of eight, stay below level.
int QuietSamples16(const std::uint8_t *pcm, int samples, std::uint32_t level) {
    const __m128i above = _mm_set1_epi16(static_cast<std::int16_t>(level - 1));
    const __m128i below = _mm_set1_epi16(static_cast<std::int16_t>(1 - static_cast<int>(level)));
    int done = 0;
    for (; done + 8 <= samples; done += 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pcm + 2 * done));
        const __m128i loud = _mm_or_si128(_mm_cmpgt_epi16(x, above), _mm_cmplt_epi16(x, below));
        if (_mm_movemask_epi8(loud) != 0)
            break;
    }
    return done;
}

// Adds the peak and the sum of squares (of the samples quartered) of 16-bit samples; returns
// the samples done, whole groups of eight.
int ScanGroups16(const std::uint8_t *pcm, int samples, std::uint32_t &peak, std::int64_t &sum) {
    const int groups = samples / 8;
    if (groups == 0)
        return 0;
    const __m128i zero = _mm_setzero_si128();
    __m128i high = _mm_set1_epi16(INT16_MIN), low = _mm_set1_epi16(INT16_MAX);
    __m128i wide = zero;
    // Two groups at a time: the extremes' chains are half as long.
    const auto squaresOfPair = [&](const std::uint8_t *groups) {
        __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i *>(groups));
        __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i *>(groups + 16));
        high = _mm_max_epi16(high, _mm_max_epi16(first, second));
        low = _mm_min_epi16(low, _mm_min_epi16(first, second));
        first = _mm_srai_epi16(first, SquareShift(16));
        second = _mm_srai_epi16(second, SquareShift(16));
        return _mm_add_epi32(_mm_madd_epi16(first, first), _mm_madd_epi16(second, second));
    };
    const auto widen = [&](__m128i squares) {
        wide = _mm_add_epi64(wide, _mm_add_epi64(_mm_unpacklo_epi32(squares, zero),
                                                 _mm_unpackhi_epi32(squares, zero)));
    };
    int g = 0;
    // A lane takes two squares of at most 2^26 per group: sixteen groups fit 32 bits unsigned.
    for (; g + 16 <= groups; g += 16) {
        __m128i squares = zero;
        for (int i = g; i < g + 16; i += 2)
            squares = _mm_add_epi32(squares, squaresOfPair(pcm + 16 * i));
        widen(squares);
    }
    __m128i squares = zero;
    for (; g + 2 <= groups; g += 2)
        squares = _mm_add_epi32(squares, squaresOfPair(pcm + 16 * g));
    if (g < groups) { // silence stands in for the group that is not there
        alignas(16) std::uint8_t last[32] = {};
        std::copy_n(pcm + 16 * g, 16, last);
        squares = _mm_add_epi32(squares, squaresOfPair(last));
    }
    widen(squares);
    // The lanes' extremes folded into the lowest: halves, quarters, then eighths.
    high = _mm_max_epi16(high, _mm_shuffle_epi32(high, 0x4E));
    low = _mm_min_epi16(low, _mm_shuffle_epi32(low, 0x4E));
    high = _mm_max_epi16(high, _mm_shuffle_epi32(high, 0xB1));
    low = _mm_min_epi16(low, _mm_shuffle_epi32(low, 0xB1));
    high = _mm_max_epi16(high, _mm_srli_epi32(high, 16));
    low = _mm_min_epi16(low, _mm_srli_epi32(low, 16));
    const int highest = static_cast<std::int16_t>(_mm_cvtsi128_si32(high));
    const int lowest = static_cast<std::int16_t>(_mm_cvtsi128_si32(low));
    peak = std::max(peak, static_cast<std::uint32_t>(std::max(highest, -lowest)));
    alignas(16) std::int64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes), wide);
    sum += lanes[0] + lanes[1];
    return groups * 8;
}
#else
int QuietSamples16(const std::uint8_t *, int, std::uint32_t) {
    return 0;
}
int ScanGroups16(const std::uint8_t *, int, std::uint32_t &, std::int64_t &) {
    return 0;
}
#endif

// The smallest magnitude that reaches thresholdDb; at least one step, so that digital silence is
// silence whatever the threshold.
std::uint32_t ThresholdLevel(int bits, double thresholdDb) {
    const double fullScale = pcmformat::FullScale(bits);
    const double level = std::ceil(std::pow(10.0, thresholdDb / 20.0) * fullScale);
    return static_cast<std::uint32_t>(std::clamp(level, 1.0, fullScale)); // NaN gives 1
}

template <int Bits>
bool FrameReaches(const std::uint8_t *frame, int channels, std::uint32_t level) {
    for (int c = 0; c < channels; ++c)
        if (MagnitudeAt<Bits>(frame + c * (Bits / 8)) >= level)
            return true;
    return false;
}

// Calls scan with the width as a compile-time constant, or returns fallback for a width the
// engine does not know.
template <class Scan, class Result> Result ForWidth(int bits, Result fallback, Scan &&scan) {
    switch (bits) {
    case 8:
        return scan(std::integral_constant<int, 8>{});
    case 16:
        return scan(std::integral_constant<int, 16>{});
    case 24:
        return scan(std::integral_constant<int, 24>{});
    case 32:
        return scan(std::integral_constant<int, 32>{});
    default:
        return fallback;
    }
}

bool IsKnown(int bits, int channels) {
    return blockmath::IsPlayableFormat(bits, channels, 1);
}

float DbOf(double meanSquare) {
    return meanSquare > 0.0 ? static_cast<float>(std::max(10.0 * std::log10(meanSquare), kSilentDb))
                            : static_cast<float>(kSilentDb);
}

} // namespace

namespace trackedges {

int FirstSoundFrame(const std::uint8_t *pcm, int frames, int bits, int channels,
                    double thresholdDb) {
    if (!IsKnown(bits, channels))
        return 0;
    const std::uint32_t level = ThresholdLevel(bits, thresholdDb);
    const int frameBytes = blockmath::FrameBytes(bits, channels);
    return ForWidth(bits, 0, [&](auto width) {
        const int quiet =
            decltype(width)::value == 16 ? QuietSamples16(pcm, frames * channels, level) : 0;
        for (int f = quiet / channels; f < frames; ++f)
            if (FrameReaches<decltype(width)::value>(pcm + static_cast<std::size_t>(f) * frameBytes,
                                                     channels, level))
                return f;
        return std::max(frames, 0);
    });
}

int SoundEndInBlock(const std::uint8_t *pcm, int frames, int bits, int channels,
                    double thresholdDb) {
    if (!IsKnown(bits, channels))
        return std::max(frames, 0);
    const std::uint32_t level = ThresholdLevel(bits, thresholdDb);
    const int frameBytes = blockmath::FrameBytes(bits, channels);
    return ForWidth(bits, 0, [&](auto width) {
        for (int f = frames; f > 0; --f)
            if (FrameReaches<decltype(width)::value>(
                    pcm + static_cast<std::size_t>(f - 1) * frameBytes, channels, level))
                return f;
        return 0;
    });
}

} // namespace trackedges

namespace {

// The windows maxSeconds take at that many frames a window.
std::size_t WindowsFor(double maxSeconds, int rate, int windowFrames) {
    double count = std::ceil(maxSeconds * rate / windowFrames) + 1.0;
    if (!(count >= 2.0))
        count = 2.0;
    return static_cast<std::size_t>(std::min(count, 1e7));
}

} // namespace

TTrackEndScanner::TTrackEndScanner(int rate, int bits, int channels, double maxSeconds) {
    TakeFormat(rate, bits, channels);
    const std::size_t windows = WindowsFor(maxSeconds, rate_, windowFrames_);
    windows_.resize(windows);
    levels_.resize(windows);
    windowDb_.resize(windows);
    sorted_.resize(windows);
}

void TTrackEndScanner::TakeFormat(int rate, int bits, int channels) {
    rate_ = std::max(rate, 1);
    bits_ = bits;
    channels_ = channels;
    frameBytes_ = blockmath::FrameBytes(bits, channels);
    windowFrames_ = std::max(1, static_cast<int>(std::lround(rate_ / 100.0)));
    known_ = IsKnown(bits, channels);
    const double fullScale = pcmformat::FullScale(bits) / (1 << SquareShift(bits));
    fullScaleSquared_ = fullScale * fullScale;
}

bool TTrackEndScanner::Reformat(int rate, int bits, int channels, double seconds) {
    TakeFormat(rate, bits, channels);
    Reset(0);
    if (WindowsFor(seconds, rate_, windowFrames_) <= windows_.size())
        return true;
    known_ = false;
    return false;
}

void TTrackEndScanner::Reset(std::int64_t firstFrame) {
    firstFrame_ = firstFrame;
    fedFrames_ = 0;
    windowsStarted_ = 0;
    inWindow_ = 0;
}

void TTrackEndScanner::Feed(const std::uint8_t *pcm, int frames) {
    if (!known_)
        return;
    while (frames > 0) {
        if (inWindow_ == 0) {
            ++windowsStarted_;
            slot_ = windowsStarted_ == 1 || slot_ + 1 == windows_.size() ? 0 : slot_ + 1;
            peak_ = 0;
            sum_ = 0;
        }
        const int take = std::min(frames, windowFrames_ - inWindow_);
        ForWidth(bits_, 0, [&](auto width) {
            ScanInto<decltype(width)::value>(pcm, take);
            return 0;
        });
        inWindow_ += take;
        fedFrames_ += take;
        pcm += static_cast<std::size_t>(take) * frameBytes_;
        frames -= take;
        StoreWindow();
        if (inWindow_ == windowFrames_)
            inWindow_ = 0;
    }
}

template <int Bits> void TTrackEndScanner::ScanInto(const std::uint8_t *pcm, int frames) {
    constexpr int kWidth = Bits / 8;
    const int samples = frames * channels_;
    std::uint32_t peak = peak_;
    std::int64_t sum = sum_;
    const int done = Bits == 16 ? ScanGroups16(pcm, samples, peak, sum) : 0;
    for (int i = done; i < samples; ++i) {
        const std::int64_t value =
            pcm::ReadSampleAs<Bits>(pcm + i * kWidth) - (Bits == 8 ? 128 : 0);
        peak = std::max(peak, static_cast<std::uint32_t>(value < 0 ? -value : value));
        const std::int64_t scaled = value >> SquareShift(Bits);
        sum += scaled * scaled;
    }
    peak_ = peak;
    sum_ = sum;
}

void TTrackEndScanner::StoreWindow() {
    TWindow &window = windows_[slot_];
    window.Peak = peak_;
    window.MeanSquare =
        static_cast<float>(static_cast<double>(sum_) /
                           (static_cast<double>(inWindow_) * channels_) / fullScaleSquared_);
}

std::int64_t TTrackEndScanner::FirstKept() const {
    return std::max<std::int64_t>(0, windowsStarted_ - static_cast<std::int64_t>(windows_.size()));
}

const TTrackEndScanner::TWindow &TTrackEndScanner::WindowAt(std::int64_t n) const {
    return windows_[static_cast<std::size_t>(n % static_cast<std::int64_t>(windows_.size()))];
}

std::int64_t TTrackEndScanner::WindowNumberOf(std::int64_t frame) const {
    return std::max<std::int64_t>(0, (frame - firstFrame_) / windowFrames_);
}

std::optional<std::int64_t> TTrackEndScanner::SoundEndFrame(double thresholdDb,
                                                            int minSilenceMs) const {
    const std::uint32_t level = ThresholdLevel(bits_, thresholdDb);
    for (std::int64_t n = windowsStarted_ - 1; n >= FirstKept(); --n) {
        if (WindowAt(n).Peak < level)
            continue;
        const std::int64_t end = std::min(firstFrame_ + (n + 1) * windowFrames_, EndFrame());
        const std::int64_t minSilence = static_cast<std::int64_t>(minSilenceMs) * rate_ / 1000;
        return EndFrame() - end >= minSilence ? end : EndFrame();
    }
    return std::nullopt;
}

std::optional<std::int64_t> TTrackEndScanner::OwnFadeOut(double dropDb,
                                                         std::int64_t soundEnd) const {
    const std::int64_t first = FirstKept();
    const std::int64_t end = std::min(windowsStarted_, WindowNumberOf(soundEnd - 1) + 1);
    if (end - first < kMinBodyWindows + kMinRampWindows)
        return std::nullopt;
    FillLevels(first, end, false);
    const auto start = RampStart(static_cast<int>(end - first), dropDb);
    if (!start)
        return std::nullopt;
    return firstFrame_ + (first + *start) * windowFrames_;
}

std::optional<std::int64_t> TTrackEndScanner::OwnFadeIn(double dropDb,
                                                        std::int64_t soundStart) const {
    const std::int64_t first = std::max(FirstKept(), WindowNumberOf(soundStart));
    const std::int64_t end = windowsStarted_;
    if (end - first < kMinBodyWindows + kMinRampWindows)
        return std::nullopt;
    // Backwards, a rise is a fade-out: its start read back is the rise's first loud window.
    FillLevels(first, end, true);
    const auto start = RampStart(static_cast<int>(end - first), dropDb);
    if (!start)
        return std::nullopt;
    return firstFrame_ + (end - *start) * windowFrames_;
}

void TTrackEndScanner::FillLevels(std::int64_t first, std::int64_t end, bool reversed) const {
    // A running sum over the short-term span, clipped to [first, end).
    double sum = 0.0;
    std::int64_t low = first, high = first;
    for (std::int64_t n = first; n < end; ++n) {
        for (; high < std::min(end, n + kShortTermHalf + 1); ++high)
            sum += WindowAt(high).MeanSquare;
        for (; low < n - kShortTermHalf; ++low)
            sum -= WindowAt(low).MeanSquare;
        const auto i = static_cast<std::size_t>(reversed ? end - 1 - n : n - first);
        levels_[i] = DbOf(sum / static_cast<double>(high - low));
        windowDb_[i] = DbOf(WindowAt(n).MeanSquare);
    }
}

double TTrackEndScanner::BodyDb(int count) const {
    std::copy_n(windowDb_.begin(), count, sorted_.begin());
    const auto nth = sorted_.begin() + static_cast<int>(kBodyPercentile * (count - 1));
    std::nth_element(sorted_.begin(), nth, sorted_.begin() + count);
    return *nth;
}

std::optional<int> TTrackEndScanner::RampStart(int count, double dropDb) const {
    const auto startBelow = [&](double limit) {
        int start = count;
        while (start > 0 && levels_[static_cast<std::size_t>(start - 1)] < limit)
            --start;
        return start;
    };
    double body = BodyDb(count);
    int start = startBelow(body - dropDb);
    // The body measured again without the ramp, which lowered it.
    if (start >= kMinBodyWindows && start < count) {
        body = BodyDb(start);
        start = startBelow(body - dropDb);
    }
    const int length = count - start;
    if (start < kMinBodyWindows || length < kMinRampWindows ||
        levels_[static_cast<std::size_t>(count - 1)] > body - kRampEndBelowBodyDb)
        return std::nullopt;
    // The least-squares slope of the levels over the ramp.
    double meanX = 0.0, meanY = 0.0;
    for (int i = start; i < count; ++i) {
        meanX += i;
        meanY += levels_[static_cast<std::size_t>(i)];
    }
    meanX /= length;
    meanY /= length;
    double covariance = 0.0, variance = 0.0;
    for (int i = start; i < count; ++i) {
        covariance += (i - meanX) * (levels_[static_cast<std::size_t>(i)] - meanY);
        variance += (i - meanX) * (i - meanX);
    }
    const double fall = -covariance / variance * (length - 1);
    if (fall < kMinRampFallDb)
        return std::nullopt;
    return start;
}
