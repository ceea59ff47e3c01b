// Follows the audit's tracks through what a listener heard: for every few milliseconds of sound
// it finds which tracks sound, at which of their samples and at what gain, by a least-squares fit
// of the known signals (position refined to a fraction of a sample); where the fit breaks, a
// search over each whole track finds the new state and the sample where it changed.
// Pure: no windows.h, built and tested natively too.
#pragma once

#include "TransitionSignal.h"

#include <span>
#include <vector>

namespace audit {

// Sound heard without a break, in one sample rate: mono, full scale 1.
struct HeardRun {
    int Rate = 44100;
    int Channels = 2;
    int Bits = 16;
    double StartSeconds = 0.0; // on the listener's clock, silences included
    double PcmSeconds = 0.0;   // where it begins in the heard PCM alone
    std::vector<double> Samples;
    double EndSeconds() const {
        return StartSeconds + static_cast<double>(Samples.size()) / Rate;
    }
};

struct GainPoint {
    double Time = 0.0;
    double Gain = 0.0;
};

// A stretch of one run in which one track sounds, its position running on without a break.
struct Piece {
    int Track = 0;
    int Run = 0;
    double Start = 0.0; // listener time
    double End = 0.0;
    double Position = 0.0; // the track's time at Start
    std::vector<GainPoint> Gains;
    double PositionAt(double t) const { return Position + (t - Start); }
    double EndPosition() const { return PositionAt(End); }
    // The measured gain at t, from the nearest points; 0 outside the piece.
    double GainAt(double t) const;
};

struct Span {
    double Start = 0.0;
    double End = 0.0;
};

struct Tracking {
    std::vector<Piece> Pieces;     // in the order they start
    std::vector<Span> Unexplained; // sound that no combination of the tracks accounts for
    std::vector<double> FitTimes;  // centres of the windows the fit explained
};

// The fit's limits: a window is explained when what the tracks leave is below kResidualRms
// (-74 dBFS, well above 16-bit rounding); a track fainter than kDropGain is no longer followed.
constexpr double kResidualRms = 2e-4;
constexpr double kDropGain = 3e-4;
constexpr double kWindowSeconds = 0.006;

Tracking TrackHeard(std::span<const HeardRun> runs, std::span<const ToneTrack> tracks);

} // namespace audit
