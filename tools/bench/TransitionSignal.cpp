#include "TransitionSignal.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace audit {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kEdgeSeconds = 0.002;
// Five tones of 0.09 peak: the track peaks below -7 dBFS, so that two of them on the
// equal-power curve stay clear of full scale.
constexpr double kAmplitude = 0.09;

// Low bands keep a track's own step small, so that a click stands out against it; each band is
// far enough from the next that a window of a few milliseconds tells them apart.
struct Band {
    double Low;
    double High;
};
constexpr std::array<Band, kSlots> kBands = {{{180, 330}, {480, 700}, {900, 1200}, {1450, 1800}}};

// Periods and phases without a common measure, so that no stretch of a track looks like another.
constexpr std::array<double, 5> kPeriods = {1.31, 1.93, 2.71, 1.57, 2.23};
constexpr std::array<double, 5> kPhases = {0.13, 0.61, 0.37, 0.82, 0.05};

} // namespace

// The frequency runs from LowHz up by WidthHz over each period and starts again; the phase is its
// integral: whole periods, then the part of the present one.
double ToneTrack::Sweep::Cycles(double t) const {
    const double periods = std::floor(t / PeriodSeconds);
    const double into = t - periods * PeriodSeconds;
    return Phase + periods * PeriodSeconds * (LowHz + WidthHz / 2) + LowHz * into +
           0.5 * WidthHz / PeriodSeconds * into * into;
}

double ToneTrack::Sweep::Hz(double t) const {
    const double into = t - std::floor(t / PeriodSeconds) * PeriodSeconds;
    return LowHz + WidthHz * into / PeriodSeconds;
}

ToneTrack::ToneTrack(int slot, double seconds) : seconds_(seconds) {
    const Band band = kBands[static_cast<std::size_t>(std::clamp(slot, 0, kSlots - 1))];
    // Each tone has a fifth of the band, less a gap to its neighbour.
    const double part = (band.High - band.Low) / static_cast<double>(sweeps_.size());
    for (std::size_t i = 0; i < sweeps_.size(); ++i)
        sweeps_[i] = {band.Low + part * static_cast<double>(i), part * 0.9, kPeriods[i], kAmplitude,
                      kPhases[i] + 0.11 * slot};
}

double ToneTrack::Edge(double t) const {
    const double fromEdge = std::min(t, seconds_ - t);
    if (fromEdge <= 0.0)
        return 0.0;
    if (fromEdge >= kEdgeSeconds)
        return 1.0;
    const double s = std::sin(std::numbers::pi / 2 * fromEdge / kEdgeSeconds);
    return s * s;
}

double ToneTrack::EdgeSlope(double t) const {
    const double fromStart = t, fromEnd = seconds_ - t;
    const double fromEdge = std::min(fromStart, fromEnd);
    if (fromEdge <= 0.0 || fromEdge >= kEdgeSeconds)
        return 0.0;
    const double angle = std::numbers::pi / 2 * fromEdge / kEdgeSeconds;
    const double slope = std::sin(2 * angle) * std::numbers::pi / 2 / kEdgeSeconds;
    return fromStart < fromEnd ? slope : -slope;
}

double ToneTrack::Tone(double t) const {
    double sum = 0.0;
    for (const Sweep &s : sweeps_) {
        const double cycles = s.Cycles(t);
        sum += s.Amplitude * std::sin(kTwoPi * (cycles - std::floor(cycles)));
    }
    return sum;
}

double ToneTrack::ToneSlope(double t) const {
    double sum = 0.0;
    for (const Sweep &s : sweeps_) {
        const double cycles = s.Cycles(t);
        sum += s.Amplitude * kTwoPi * s.Hz(t) * std::cos(kTwoPi * (cycles - std::floor(cycles)));
    }
    return sum;
}

double ToneTrack::Value(double t) const {
    const double edge = Edge(t);
    return edge > 0.0 ? edge * Tone(t) : 0.0;
}

double ToneTrack::Slope(double t) const {
    if (t <= 0.0 || t >= seconds_)
        return 0.0;
    return Edge(t) * ToneSlope(t) + EdgeSlope(t) * Tone(t);
}

void ToneTrack::Sample(double start, double rate, std::span<double> out) const {
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = Value(start + static_cast<double>(i) / rate);
}

double ToneTrack::OwnStep(int rate) const {
    const auto frames = static_cast<std::int64_t>(seconds_ * rate);
    double largest = 0.0, before = Value(0.0);
    for (std::int64_t n = 1; n <= frames; ++n) {
        const double now = Value(static_cast<double>(n) / rate);
        largest = std::max(largest, std::abs(now - before));
        before = now;
    }
    return largest;
}

double ToneTrack::Peak() const {
    double peak = 0.0;
    for (const Sweep &sweep : sweeps_)
        peak += sweep.Amplitude;
    return peak;
}

void ToneTrack::Pcm(int rate, int channels, int bits, std::int64_t first, std::int64_t frames,
                    std::uint8_t *out) const {
    const int bytes = bits / 8;
    const double full = std::ldexp(1.0, bits - 1);
    for (std::int64_t n = first; n < first + frames; ++n) {
        auto value = static_cast<std::int64_t>(std::llround(Value(static_cast<double>(n) / rate) * full));
        value = std::clamp<std::int64_t>(value, static_cast<std::int64_t>(-full),
                                         static_cast<std::int64_t>(full) - 1);
        if (bits == 8)
            value += 128;
        for (int c = 0; c < channels; ++c)
            for (int b = 0; b < bytes; ++b)
                *out++ = static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * b));
    }
}

} // namespace audit
