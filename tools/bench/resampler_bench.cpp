// Measures the resampler that converts an outgoing track's tail to the incoming track's rate, for
// the rate pairs real libraries mix: how flat its band is, how far down the images and aliases
// lie, and how many times faster than real time it converts 16-bit stereo.
//
// Flatness: sine tones across the band up to 0.45 of the lower rate; the gain of each is the
// amplitude of the output's least-squares fit at the tone's frequency. Images and aliases: tones
// across the whole input band; what the fit leaves over (or the whole output, for a tone the
// output rate cannot carry) is unwanted sound, taken relative to the tone.
//
// Then the start of a converted tail, as a crossfade converts the outgoing track's last seconds
// alone: its error against the ideal, the same filter over the whole track in double precision,
// in its first 2 ms and after them; started from silence (unprimed) and from the track's frames
// before the tail (primed).
#include "ResamplerReference.h"
#include "sound/FormatConverter.h"
#include "sound/Resampler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <numeric>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kAmplitude = 0.5;
constexpr int kToneInputFrames = 40000;
constexpr int kTones = 160;
constexpr int kCostSeconds = 30;

constexpr double kPassbandEdge = 0.45;
constexpr double kStopbandEdge = 0.5;
constexpr double kMaxRippleDb = 0.1;
constexpr double kMaxUnwantedDb = -90.0;
constexpr double kMinRealTime = 200.0;

struct TRatePair {
    int From;
    int To;
};
constexpr TRatePair kPairs[] = {{44100, 48000}, {48000, 44100}, {96000, 44100}, {22050, 48000}};

struct TToneResult {
    double GainDb = 0.0;     // of the tone itself, when the output rate carries it
    double UnwantedDb = 0.0; // everything else, relative to the tone's level
};

std::vector<float> Resample(const TRatePair &pair, const std::vector<float> &input) {
    TResampler resampler(pair.From, pair.To, 1);
    std::vector<float> output;
    constexpr std::size_t kBlock = 4096;
    for (std::size_t start = 0; start < input.size(); start += kBlock) {
        const std::size_t count = std::min(kBlock, input.size() - start);
        resampler.Push(std::span<const float>(input).subspan(start, count), output);
    }
    resampler.Finish(output);
    return output;
}

double Db(double ratio) {
    return 20.0 * std::log10(std::max(ratio, 1e-30));
}

TToneResult MeasureTone(const TRatePair &pair, double frequency) {
    std::vector<float> input(kToneInputFrames);
    for (int n = 0; n < kToneInputFrames; ++n)
        input[n] = static_cast<float>(kAmplitude * std::sin(2.0 * kPi * frequency * n / pair.From));
    const std::vector<float> output = Resample(pair, input);

    // Leave out the ends, where the kernel reaches into the silence around the input.
    const int taps = ResamplerDesignFor(pair.From, pair.To).Taps;
    const int margin = static_cast<int>(std::ceil(taps * double(pair.To) / pair.From)) + 8;
    const int first = margin;
    const int last = static_cast<int>(output.size()) - margin;
    const double omega = 2.0 * kPi * frequency / pair.To;
    const bool carried = frequency < kStopbandEdge * pair.To;

    // Least-squares fit of a cos + b sin at the tone's frequency.
    double cc = 0, ss = 0, cs = 0, yc = 0, ys = 0;
    for (int n = first; n < last; ++n) {
        const double c = std::cos(omega * n), s = std::sin(omega * n);
        cc += c * c;
        ss += s * s;
        cs += c * s;
        yc += output[n] * c;
        ys += output[n] * s;
    }
    double a = 0, b = 0;
    if (carried) {
        const double determinant = cc * ss - cs * cs;
        a = (yc * ss - ys * cs) / determinant;
        b = (ys * cc - yc * cs) / determinant;
    }
    double residual = 0;
    for (int n = first; n < last; ++n) {
        const double rest = output[n] - a * std::cos(omega * n) - b * std::sin(omega * n);
        residual += rest * rest;
    }
    const double toneRms = kAmplitude / std::sqrt(2.0);
    TToneResult result;
    result.GainDb = Db(std::hypot(a, b) / kAmplitude);
    result.UnwantedDb = Db(std::sqrt(residual / (last - first)) / toneRms);
    return result;
}

struct TQuality {
    double RippleDb = 0.0; // largest deviation from 0 dB within the band
    double WorstUnwantedDb = -300.0;
    double WorstAtHz = 0.0;
};

TQuality MeasureQuality(const TRatePair &pair) {
    const double lower = std::min(pair.From, pair.To);
    std::vector<double> tones;
    for (int i = 0; i < kTones; ++i)
        tones.push_back((i + 0.5) / kTones * 0.5 * pair.From);
    // The edges themselves: the band's last tone and the first one the stopband must remove.
    tones.push_back(kPassbandEdge * lower);
    tones.push_back(kStopbandEdge * lower * 1.0005);
    TQuality quality;
    for (const double frequency : tones) {
        const TToneResult result = MeasureTone(pair, frequency);
        if (frequency <= kPassbandEdge * lower)
            quality.RippleDb = std::max(quality.RippleDb, std::fabs(result.GainDb));
        if (result.UnwantedDb > quality.WorstUnwantedDb) {
            quality.WorstUnwantedDb = result.UnwantedDb;
            quality.WorstAtHz = frequency;
        }
    }
    return quality;
}

// The processor time this thread has used: on a machine shared with other work the wall clock
// would count their time too.
double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

// Times real time for 16-bit stereo through the whole converter, dithered, read in blocks of 1/64
// second as the engine reads, in processor time; the best of three passes.
double MeasureRealTime(const TRatePair &pair, std::uint64_t &checksum) {
    const TPcmFormat from{16, 2, pair.From};
    const TPcmFormat to{16, 2, pair.To};
    std::vector<std::uint8_t> pcm(static_cast<std::size_t>(kCostSeconds) * pair.From * 4);
    for (std::size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<std::uint8_t>(i * 101 + 7);
    const std::size_t blockBytes = static_cast<std::size_t>(pair.From / 64) * 4;
    double best = 1e30;
    for (int pass = 0; pass < 3; ++pass) {
        auto converter = TFormatConverter::Create(from, to);
        converter->SetDither(true); // as a crossfade converts
        std::vector<std::uint8_t> output;
        const double start = ThreadSeconds();
        for (std::size_t offset = 0; offset < pcm.size(); offset += blockBytes) {
            output.clear();
            const std::size_t count = std::min(blockBytes, pcm.size() - offset);
            converter->Convert(std::span<const std::uint8_t>(pcm).subspan(offset, count), output);
            if (!output.empty())
                checksum += output[output.size() / 2];
        }
        converter->Finish(output);
        best = std::min(best, ThreadSeconds() - start);
    }
    return kCostSeconds / best;
}

const char *Verdict(bool met) {
    return met ? "ok" : "MISSED";
}

// ---- the start of a converted tail ----

constexpr double kTailSignalPeak = 0.9;
constexpr double kTailStartSeconds = 0.002;

struct TTailCase {
    const char *Content;
    int From;
    int Channels;
    int To;
    std::vector<double> TonesHz; // of equal amplitude, together at most the signal's peak
};

const TTailCase kTailCases[] = {
    {"music-like", 22050, 1, 48000, {441.0, 3100.0, 7900.0}},
    {"music-like", 96000, 2, 44100, {997.0, 6300.0, 18500.0, 30000.0}},
    {"music-like", 48000, 2, 44100, {997.0, 6300.0, 18500.0}},
    {"all above 4 kHz", 192000, 1, 8000, {4500.0, 9000.0, 20000.0, 50000.0}},
};

struct TTailError {
    double FirstDb = -300.0; // peak error in the first 2 ms, dBFS
    double RestDb = -300.0;  // after them, to the end of the tail
};

// The case's signal in one channel, phases apart from channel to channel.
std::vector<double> TailSignal(const TTailCase &c, int channel, std::int64_t frames) {
    std::vector<double> signal(static_cast<std::size_t>(frames));
    const double amplitude = kTailSignalPeak / static_cast<double>(c.TonesHz.size());
    for (std::size_t t = 0; t < c.TonesHz.size(); ++t)
        for (std::int64_t n = 0; n < frames; ++n)
            signal[static_cast<std::size_t>(n)] +=
                amplitude * std::sin(2.0 * kPi * c.TonesHz[t] * static_cast<double>(n) / c.From +
                                     0.7 * static_cast<double>(t + 1) * (channel + 1));
    return signal;
}

// Frames from..to - 1 of the channels as 32-bit PCM: as exact as the converter's float path.
std::vector<std::uint8_t> Pcm32(const std::vector<std::vector<double>> &channels, std::int64_t from,
                                std::int64_t to) {
    std::vector<std::uint8_t> pcm;
    for (std::int64_t n = from; n < to; ++n)
        for (const auto &channel : channels) {
            const auto value = static_cast<std::uint32_t>(
                pcmformat::SampleFor(channel[static_cast<std::size_t>(n)], 32));
            for (int byte = 0; byte < 4; ++byte)
                pcm.push_back(static_cast<std::uint8_t>(value >> (8 * byte)));
        }
    return pcm;
}

TTailError MeasureTailStart(const TTailCase &c, bool primed) {
    const TPcmFormat from{32, c.Channels, c.From}, to{32, c.Channels, c.To};
    // The tail starts where an output instant meets an input frame, so that the ideal has an
    // output frame at the tail's first instant.
    const std::int64_t step = c.From / std::gcd(c.From, c.To);
    const std::int64_t before = (TResampler::MaxPrimerFrames() / step + 1) * step;
    const std::int64_t tailFrames = c.From / 20;
    std::vector<std::vector<double>> channels;
    for (int channel = 0; channel < c.Channels; ++channel)
        channels.push_back(TailSignal(c, channel, before + tailFrames));

    TFormatConverter converter(from, to);
    if (primed)
        converter.Prime(Pcm32(channels, 0, before));
    std::vector<std::uint8_t> tail;
    converter.Convert(Pcm32(channels, before, before + tailFrames), tail);
    converter.Finish(tail);

    const TResamplerDesign design = ResamplerDesignFor(c.From, c.To);
    const std::int64_t outputs = converter.OutputFramesFor(tailFrames);
    const auto startFrames = static_cast<std::int64_t>(std::ceil(kTailStartSeconds * c.To));
    TTailError error;
    for (int channel = 0; channel < c.Channels; ++channel) {
        // Whole-track frames as they went into the converter.
        std::vector<double> exact(channels[static_cast<std::size_t>(channel)].size());
        for (std::size_t n = 0; n < exact.size(); ++n)
            exact[n] = pcmformat::FractionOf(pcmformat::SampleFor(channels[channel][n], 32), 32);
        const std::vector<double> ideal =
            bench::ReferenceOutput(design, exact, before * c.To / c.From, outputs);
        for (std::int64_t n = 0; n < outputs; ++n) {
            const std::uint8_t *sample =
                &tail[static_cast<std::size_t>((n * c.Channels + channel) * 4)];
            const auto raw =
                static_cast<std::int32_t>(sample[0] | sample[1] << 8 | sample[2] << 16 |
                                          static_cast<std::uint32_t>(sample[3]) << 24);
            const double difference =
                std::fabs(pcmformat::FractionOf(raw, 32) - ideal[static_cast<std::size_t>(n)]);
            double &peak = n < startFrames ? error.FirstDb : error.RestDb;
            peak = std::max(peak, Db(difference));
        }
    }
    return error;
}

// Answers whether every primed tail meets the filter's own figure from its first sample.
bool ReportTailStarts() {
    const double targetDb = Db(kTailSignalPeak) + kMaxUnwantedDb;
    std::printf("converted tail's start: peak error against the whole track's conversion, signal "
                "peak %.1f dBFS\n",
                Db(kTailSignalPeak));
    std::printf("  target: %.1f dBFS (%.0f dB below the signal) from the first sample on\n",
                targetDb, -kMaxUnwantedDb);
    std::printf("  %-18s %-16s %19s %19s %16s\n", "rates (Hz)", "content", "first 2 ms unprimed",
                "first 2 ms primed", "after, primed");
    bool allMet = true;
    for (const TTailCase &c : kTailCases) {
        const TTailError unprimed = MeasureTailStart(c, false);
        const TTailError primed = MeasureTailStart(c, true);
        const bool met = std::max(primed.FirstDb, primed.RestDb) <= targetDb;
        allMet = allMet && met;
        char rates[32];
        std::snprintf(rates, sizeof rates, "%d->%d%s", c.From, c.To,
                      c.Channels == 1 ? " mono" : "");
        std::printf("  %-18s %-16s %14.1f dBFS %14.1f dBFS %11.1f dBFS %s\n", rates, c.Content,
                    unprimed.FirstDb, primed.FirstDb, primed.RestDb, Verdict(met));
    }
    return allMet;
}

} // namespace

int main() {
    std::printf("resampler: Kaiser-windowed sinc, band to %.2f and stopband from %.2f of the lower "
                "rate\n",
                kPassbandEdge, kStopbandEdge);
    std::printf("  targets: ripple within %.1f dB, images and aliases %.0f dB down, %.0fx real "
                "time for 16-bit stereo\n",
                kMaxRippleDb, -kMaxUnwantedDb, kMinRealTime);
    std::printf("  %-15s %5s %16s %26s %20s\n", "rates (Hz)", "taps", "passband ripple",
                "worst image/alias", "stereo cost (CPU)");
    std::uint64_t checksum = 0;
    bool allMet = true;
    for (const TRatePair &pair : kPairs) {
        const TQuality quality = MeasureQuality(pair);
        const double realTime = MeasureRealTime(pair, checksum);
        const bool rippleMet = quality.RippleDb <= kMaxRippleDb;
        const bool unwantedMet = quality.WorstUnwantedDb <= kMaxUnwantedDb;
        const bool costMet = realTime >= kMinRealTime;
        allMet = allMet && rippleMet && unwantedMet && costMet;
        std::printf("  %6d->%-6d %5d %9.5f dB %-6s %7.1f dB at %7.0f Hz %-6s %8.0fx %-6s\n",
                    pair.From, pair.To, ResamplerDesignFor(pair.From, pair.To).Taps,
                    quality.RippleDb, Verdict(rippleMet), quality.WorstUnwantedDb,
                    quality.WorstAtHz, Verdict(unwantedMet), realTime, Verdict(costMet));
    }
    const bool tailsMet = ReportTailStarts();
    allMet = allMet && tailsMet;
    std::printf("  %s (checksum %llu)\n", allMet ? "all targets met" : "TARGETS MISSED",
                static_cast<unsigned long long>(checksum));
    return allMet ? 0 : 1;
}
