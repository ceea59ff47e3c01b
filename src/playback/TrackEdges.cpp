#include "TrackEdges.h"

#include "BlockMath.h"
#include "CrossfadeMixer.h"
#include "FormatConverter.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

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

// The smallest magnitude that reaches thresholdDb; at least one step, so that digital silence is
// silence whatever the threshold.
std::uint32_t ThresholdLevel(int bits, double thresholdDb) {
    const double fullScale = pcmformat::FullScale(bits);
    const double level = std::ceil(std::pow(10.0, thresholdDb / 20.0) * fullScale);
    return static_cast<std::uint32_t>(std::clamp(level, 1.0, fullScale)); // NaN gives 1
}

template <int Bits> bool FrameReaches(const std::uint8_t *frame, int channels, std::uint32_t level) {
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
        for (int f = 0; f < frames; ++f)
            if (FrameReaches<decltype(width)::value>(pcm + static_cast<std::size_t>(f) * frameBytes, channels, level))
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
            if (FrameReaches<decltype(width)::value>(pcm + static_cast<std::size_t>(f - 1) * frameBytes, channels, level))
                return f;
        return 0;
    });
}

} // namespace trackedges

TTrackEndScanner::TTrackEndScanner(int rate, int bits, int channels, double maxSeconds)
    : rate_(std::max(rate, 1)), bits_(bits), channels_(channels),
      frameBytes_(blockmath::FrameBytes(bits, channels)),
      windowFrames_(std::max(1, static_cast<int>(std::lround(rate_ / 100.0)))),
      known_(IsKnown(bits, channels)) {
    // 32-bit samples lose their low byte before they are squared, so that a window's sum of
    // squares fits 64 bits.
    const double fullScale = bits == 32 ? 8388608.0 : pcmformat::FullScale(bits);
    fullScaleSquared_ = fullScale * fullScale;
    double count = std::ceil(maxSeconds * rate_ / windowFrames_) + 1.0;
    if (!(count >= 2.0))
        count = 2.0;
    const auto windows = static_cast<std::size_t>(std::min(count, 1e7));
    windows_.resize(windows);
    levels_.resize(windows);
    windowDb_.resize(windows);
    sorted_.resize(windows);
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
            peak_ = 0;
            std::fill(std::begin(sums_), std::end(sums_), 0);
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
    constexpr int kShift = Bits == 32 ? 8 : 0;
    std::uint32_t peak = peak_;
    for (int f = 0; f < frames; ++f) {
        for (int c = 0; c < channels_; ++c, pcm += kWidth) {
            const std::int64_t value = pcm::ReadSampleAs<Bits>(pcm) - (Bits == 8 ? 128 : 0);
            const auto magnitude = static_cast<std::uint32_t>(value < 0 ? -value : value);
            peak = std::max(peak, magnitude);
            const std::int64_t scaled = value >> kShift;
            sums_[c] += scaled * scaled;
        }
    }
    peak_ = peak;
}

void TTrackEndScanner::StoreWindow() {
    const std::int64_t loudest = *std::max_element(sums_, sums_ + channels_);
    TWindow &window = windows_[static_cast<std::size_t>((windowsStarted_ - 1) % windows_.size())];
    window.Peak = peak_;
    window.MeanSquare =
        static_cast<float>(static_cast<double>(loudest) / inWindow_ / fullScaleSquared_);
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
