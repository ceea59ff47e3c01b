#include "Synth.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace synth {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kPeak = 0.7;          // about -3 dBFS
constexpr double kEdgeSeconds = 0.008; // the fade at either end of the file

double NoteHz(int midi) {
    return 440.0 * std::pow(2.0, (midi - 69) / 12.0);
}

// A small deterministic noise source for the drums.
class Noise {
  public:
    explicit Noise(std::uint32_t seed) : state_(seed ? seed : 1) {}
    double Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<double>(state_) / 2147483648.0 - 1.0;
    }

  private:
    std::uint32_t state_;
};

struct Stereo {
    std::vector<double> Left, Right;
    explicit Stereo(std::size_t frames) : Left(frames, 0.0), Right(frames, 0.0) {}
    void Add(std::size_t at, double value, double pan) { // pan -1 (left) .. 1 (right)
        if (at >= Left.size())
            return;
        Left[at] += value * std::sqrt(0.5 * (1.0 - pan));
        Right[at] += value * std::sqrt(0.5 * (1.0 + pan));
    }
};

// A held chord: a few harmonics per note, slightly detuned between left and right, with a slow
// attack and release inside the bar.
void AddPad(Stereo &out, const Recipe &r, int rate, std::size_t first, std::size_t frames,
            const std::vector<int> &chord) {
    const double attack = 0.12 * rate, release = 0.35 * rate;
    for (std::size_t n = 0; n < chord.size(); ++n) {
        const double hz = NoteHz(chord[n] + (n == 0 ? 0 : 12));
        for (int side = 0; side < 2; ++side) {
            const double detune = side == 0 ? 0.9985 : 1.0015;
            for (std::size_t i = 0; i < frames; ++i) {
                const double t = static_cast<double>(i) / rate;
                const double env = std::min({1.0, i / attack, (frames - i) / release});
                const double phase = kTwoPi * hz * detune * t;
                const double v = std::sin(phase) + r.Brightness * 0.5 * std::sin(2 * phase) +
                                 r.Brightness * 0.25 * std::sin(3 * phase);
                (side == 0 ? out.Left : out.Right)[first + i] += 0.05 * env * v;
            }
        }
    }
}

// A plucked note: a decaying mix of a tone and its octave.
void AddPluck(Stereo &out, int rate, std::size_t at, double hz, double level, double decay,
              double pan) {
    const auto length = static_cast<std::size_t>(decay * 5 * rate);
    for (std::size_t i = 0; i < length; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double env = std::exp(-t / decay) * std::min(1.0, i / (0.004 * rate));
        const double v = std::sin(kTwoPi * hz * t) + 0.3 * std::sin(kTwoPi * 2 * hz * t);
        out.Add(at + i, level * env * v, pan);
    }
}

void AddKick(Stereo &out, int rate, std::size_t at) {
    double phase = 0.0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(0.35 * rate); ++i) {
        const double t = static_cast<double>(i) / rate;
        phase += kTwoPi * (45.0 + 90.0 * std::exp(-t / 0.04)) / rate;
        out.Add(at + i, 0.55 * std::exp(-t / 0.11) * std::sin(phase), 0.0);
    }
}

void AddSnare(Stereo &out, Noise &noise, int rate, std::size_t at) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(0.25 * rate); ++i) {
        const double t = static_cast<double>(i) / rate;
        const double v = 0.6 * noise.Next() + 0.5 * std::sin(kTwoPi * 185.0 * t);
        out.Add(at + i, 0.22 * std::exp(-t / 0.06) * v, 0.1);
    }
}

// A hi-hat: noise with its low part taken away by a one-pole filter.
void AddHat(Stereo &out, Noise &noise, int rate, std::size_t at, double level) {
    double low = 0.0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(0.08 * rate); ++i) {
        const double t = static_cast<double>(i) / rate;
        const double n = noise.Next();
        low += 0.3 * (n - low);
        out.Add(at + i, level * std::exp(-t / 0.018) * (n - low), -0.35);
    }
}

void AddBar(Stereo &out, Noise &noise, const Recipe &r, int rate, std::size_t first,
            std::size_t beat, const std::vector<int> &chord) {
    AddPad(out, r, rate, first, 4 * beat, chord);
    for (int b = 0; b < 4; ++b) {
        const std::size_t at = first + b * beat;
        AddPluck(out, rate, at, NoteHz(chord[0] - 12), 0.32, 0.22, 0.0); // bass on every beat
        if (b % 2 == 0)
            AddKick(out, rate, at);
        else if (r.Snare)
            AddSnare(out, noise, rate, at);
        AddHat(out, noise, rate, at + beat / 2, 0.10);
        AddHat(out, noise, rate, at, 0.05);
    }
    if (!r.Arpeggio)
        return;
    for (int step = 0; step < 8; ++step) { // chord tones on eighths, up an octave, left and right
        const int note = chord[step % chord.size()] + 12 + (step >= 4 ? 12 : 0);
        AddPluck(out, rate, first + step * beat / 2, NoteHz(note), 0.09, 0.16,
                 step % 2 ? 0.45 : -0.45);
    }
}

} // namespace

std::vector<Recipe> DemoRecipes() {
    return {
        {"sunrise",
         16.0,
         100.0,
         {{60, 64, 67}, {55, 59, 62}, {57, 60, 64}, {53, 57, 60}},
         true,
         true,
         0.6,
         11},
        {"night-drive",
         13.0,
         124.0,
         {{57, 60, 64}, {53, 57, 60}, {48, 52, 55}, {55, 59, 62}},
         true,
         true,
         0.9,
         23},
        {"glass",
         17.0,
         90.0,
         {{53, 57, 60, 64}, {50, 53, 57, 60}, {46, 50, 53, 57}, {48, 52, 55, 58}},
         false,
         true,
         0.3,
         37},
        {"homeward",
         14.0,
         112.0,
         {{50, 54, 57}, {45, 49, 52}, {47, 50, 54}, {43, 47, 50}},
         true,
         false,
         0.7,
         41},
    };
}

namespace {

Stereo MixOf(const Recipe &recipe, int rate) {
    const auto frames = static_cast<std::size_t>(recipe.Seconds * rate);
    Stereo mix(frames);
    Noise noise(recipe.Seed);
    const auto beat = static_cast<std::size_t>(60.0 / recipe.Bpm * rate);
    for (std::size_t bar = 0, at = 0; at < frames && !recipe.Chords.empty();
         ++bar, at += 4 * beat) {
        // The bar's sound may run past the end of the file: render it into room for it.
        Stereo barMix(6 * beat);
        AddBar(barMix, noise, recipe, rate, 0, beat, recipe.Chords[bar % recipe.Chords.size()]);
        for (std::size_t i = 0; i < barMix.Left.size() && at + i < frames; ++i) {
            mix.Left[at + i] += barMix.Left[i];
            mix.Right[at + i] += barMix.Right[i];
        }
    }
    return mix;
}

// The largest value of a signed sample of that width.
double FullScale(int bits) {
    return std::ldexp(1.0, bits - 1) - 1.0;
}

} // namespace

std::vector<std::uint8_t> RenderPcm(const Recipe &recipe, int rate, int channels, int bits) {
    const Stereo mix = MixOf(recipe, rate);
    const std::size_t frames = mix.Left.size();
    double peak = 1e-9;
    for (std::size_t i = 0; i < frames; ++i)
        peak = std::max({peak, std::abs(mix.Left[i]), std::abs(mix.Right[i])});
    const double scale = kPeak / peak * FullScale(bits);
    const double edge = kEdgeSeconds * rate;
    const int width = bits / 8;
    std::vector<std::uint8_t> pcm;
    pcm.reserve(frames * static_cast<std::size_t>(channels * width));
    for (std::size_t i = 0; i < frames; ++i) {
        const double env = std::min({1.0, i / edge, (frames - 1 - i) / edge});
        for (int c = 0; c < channels; ++c) {
            // Mono takes both sides; more channels than two repeat them.
            const double v = channels == 1 ? (mix.Left[i] + mix.Right[i]) / 2
                             : c % 2 == 0  ? mix.Left[i]
                                           : mix.Right[i];
            long long q = std::llround(v * scale * env);
            if (bits == 8)
                q += 128; // unsigned, silence in the middle
            for (int b = 0; b < width; ++b)
                pcm.push_back(
                    static_cast<std::uint8_t>(static_cast<unsigned long long>(q) >> (8 * b)));
        }
    }
    return pcm;
}

std::vector<std::int16_t> Render(const Recipe &recipe, int rate) {
    const std::vector<std::uint8_t> bytes = RenderPcm(recipe, rate, 2, 16);
    std::vector<std::int16_t> pcm(bytes.size() / 2);
    for (std::size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<std::int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return pcm;
}

} // namespace synth
