// Music-like test material for the demo: chord progressions with a pad, a bass line, a plucked
// arpeggio and a little drum kit, each track in its own key and tempo so that a crossfade between
// two of them is easy to hear and to see. Deterministic. Pure: no windows.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace synth {

struct Recipe {
    std::string Name;
    double Seconds = 15.0;
    double Bpm = 100.0;
    // Four chords, one bar each, as MIDI note numbers (root first), repeated.
    std::vector<std::vector<int>> Chords;
    bool Snare = true;
    bool Arpeggio = true;
    double Brightness = 0.5; // how strong the upper harmonics of the pad are
    std::uint32_t Seed = 1;  // of the noise the drums are made of
};

// The demo playlist: four tracks of 12 to 17 seconds.
std::vector<Recipe> DemoRecipes();

// Interleaved stereo 16-bit samples at the given rate, peaking a few dB below full scale, with a
// short fade at either end so that the file itself starts and stops without a click.
std::vector<std::int16_t> Render(const Recipe &recipe, int rate);
// The same in any format: the samples as a WAV file holds them, 8 bits unsigned, 16, 24 or 32
// bits signed little-endian, interleaved; one channel is the two sides' mean.
std::vector<std::uint8_t> RenderPcm(const Recipe &recipe, int rate, int channels, int bits);

} // namespace synth
