// The tracks the transition audit plays: each a sum of five tones in a frequency band of its own,
// each tone sweeping its own part of the band again and again with a period of its own (a
// sawtooth of frequency, the phase running on unbroken). Defined in continuous time, so that a
// few milliseconds of what a listener hears tell which track sounds, which sample of it and at
// what gain, in any sample format, converted or not: no 24 ms of a track resemble another 24 ms
// of it closer than 15 % RMS. Pure: no windows.h, built and tested natively too.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace audit {

// Tracks playing at once must use different slots: their bands do not overlap.
constexpr int kSlots = 4;

class ToneTrack {
  public:
    ToneTrack(int slot, double seconds);

    double Seconds() const { return seconds_; }
    // The sound at time t of the track (full scale 1); 0 outside it.
    double Value(double t) const;
    // Its rate of change, per second.
    double Slope(double t) const;
    // out[i] = Value(start + i / rate).
    void Sample(double start, double rate, std::span<double> out) const;
    // The largest difference between neighbouring samples of the whole track at that rate: the
    // step the track makes by itself, against which a join's step is judged.
    double OwnStep(int rate) const;
    // The largest value the track can reach: its tones' amplitudes together.
    double Peak() const;
    // Frames [first, first + frames) of the track at that rate as a decoder delivers them: 8 bits
    // unsigned, 16, 24, 32 bits signed little-endian, interleaved, every channel the same sound.
    // out holds frames * channels * bits / 8 bytes.
    void Pcm(int rate, int channels, int bits, std::int64_t first, std::int64_t frames,
             std::uint8_t *out) const;

  private:
    struct Sweep {
        double LowHz = 0.0;
        double WidthHz = 0.0;
        double PeriodSeconds = 1.0;
        double Amplitude = 0.0;
        double Phase = 0.0; // in cycles
        double Cycles(double t) const;
        double Hz(double t) const;
    };
    // The short rise and fall at the track's own ends, so that it starts and stops without a
    // click of its own: its gain and the gain's slope at t.
    double Edge(double t) const;
    double EdgeSlope(double t) const;
    double Tone(double t) const;
    double ToneSlope(double t) const;

    std::array<Sweep, 5> sweeps_{};
    double seconds_ = 0.0;
};

} // namespace audit
