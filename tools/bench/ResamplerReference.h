// The resampler's filter evaluated directly: the windowed-sinc sum over the whole input in double
// precision, with the kernel written out again from the design's three numbers. The ideal that
// the resampler's tests and its benchmark hold it against. Header only.
#pragma once

#include "sound/Resampler.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace bench {

// Kaiser window over the taps, sinc of the cutoff, scaled for unit gain at 0 Hz.
inline double ReferenceKernel(const TResamplerDesign &design, double t) {
    constexpr double kPi = 3.14159265358979323846;
    const double half = design.Taps / 2.0;
    if (std::fabs(t) >= half)
        return 0.0;
    const double x = 2.0 * design.Cutoff * t;
    const double sinc = x == 0.0 ? 1.0 : std::sin(kPi * x) / (kPi * x);
    const double window =
        std::cyl_bessel_i(0.0, design.Beta * std::sqrt(1.0 - (t / half) * (t / half))) /
        std::cyl_bessel_i(0.0, design.Beta);
    return 2.0 * design.Cutoff * sinc * window;
}

// Output frames first to first + count - 1 of one channel: frame n = sum over k of
// x[k] h(n * in / out - k), with silence around the input.
inline std::vector<double> ReferenceOutput(const TResamplerDesign &design,
                                           const std::vector<double> &input, std::int64_t first,
                                           std::int64_t count) {
    std::vector<double> output(static_cast<std::size_t>(count));
    const double half = design.Taps / 2.0;
    const auto inputs = static_cast<std::int64_t>(input.size());
    for (std::int64_t i = 0; i < count; ++i) {
        const double instant =
            static_cast<double>(first + i) * design.InputRate / design.OutputRate;
        const std::int64_t last = std::min(static_cast<std::int64_t>(instant + half), inputs - 1);
        double sum = 0.0;
        for (auto k =
                 std::max<std::int64_t>(static_cast<std::int64_t>(std::floor(instant - half)), 0);
             k <= last; ++k)
            sum += input[static_cast<std::size_t>(k)] *
                   ReferenceKernel(design, instant - static_cast<double>(k));
        output[static_cast<std::size_t>(i)] = sum;
    }
    return output;
}

} // namespace bench
