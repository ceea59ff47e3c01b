// hvq_makewavs FOLDER: writes the demo's playlist, four short music-like tracks of 44.1 kHz
// 16-bit stereo, as 01-<name>.wav ... into FOLDER (created if needed), and prints their names.
// hvq_makewavs --unrelated FOLDER: two tracks of independent noise instead, 1-noise.wav and
// 2-noise.wav, 8 s each: unrelated material, on which a crossfade's loudness dip is measured.
// hvq_makewavs --mixed FOLDER: the same four tracks as a library of mixed formats has them: a CD
// rip (44.1 kHz 16-bit stereo), a studio master (48 kHz 24-bit stereo), an old mono recording
// (22.05 kHz 16-bit mono) and another CD rip.
#include "Synth.h"
#include "WavFile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <span>
#include <string_view>

namespace {

constexpr int kRate = 44100;

// Gaussian noise at an RMS of 0.15 of full scale (about -16.5 dBFS), both channels independent.
std::vector<std::int16_t> Noise(std::uint32_t seed, double seconds) {
    std::mt19937 random(seed);
    std::normal_distribution<double> normal(0.0, 0.15 * 32767.0);
    std::vector<std::int16_t> samples(static_cast<std::size_t>(seconds * kRate) * 2);
    for (std::int16_t &s : samples)
        s = static_cast<std::int16_t>(std::clamp(std::lround(normal(random)), -32768L, 32767L));
    return samples;
}

// The format of each track of the mixed playlist, in the order of the demo's recipes.
constexpr wav::WavFormat kMixedFormats[] = {
    {44100, 2, 16}, {48000, 2, 24}, {22050, 1, 16}, {44100, 2, 16}};

int WriteMixed(const std::filesystem::path &folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const auto recipes = synth::DemoRecipes();
    for (std::size_t i = 0; i < recipes.size() && i < std::size(kMixedFormats); ++i) {
        const wav::WavFormat &format = kMixedFormats[i];
        char name[64];
        std::snprintf(name, sizeof name, "%02d-%s.wav", static_cast<int>(i + 1),
                      recipes[i].Name.c_str());
        const std::vector<std::uint8_t> pcm =
            synth::RenderPcm(recipes[i], format.Rate, format.Channels, format.Bits);
        if (!wav::SaveFile(folder / name, format, pcm)) {
            std::fprintf(stderr, "hvq_makewavs: cannot write %s\n",
                         (folder / name).string().c_str());
            return 1;
        }
        std::printf("%s  %.1f s  %d Hz %d-bit %s\n", (folder / name).generic_string().c_str(),
                    recipes[i].Seconds, format.Rate, format.Bits,
                    format.Channels == 1 ? "mono" : "stereo");
    }
    return 0;
}

bool Save(const std::filesystem::path &file, const std::vector<std::int16_t> &samples) {
    // WAV samples are little-endian, as this machine's are.
    const std::span<const std::uint8_t> bytes(
        reinterpret_cast<const std::uint8_t *>(samples.data()),
        samples.size() * sizeof(std::int16_t));
    if (wav::SaveFile(file, {kRate, 2, 16}, bytes))
        return true;
    std::fprintf(stderr, "hvq_makewavs: cannot write %s\n", file.string().c_str());
    return false;
}

} // namespace

int main(int argc, char **argv) {
    const bool unrelated = argc == 3 && std::string_view(argv[1]) == "--unrelated";
    const bool mixed = argc == 3 && std::string_view(argv[1]) == "--mixed";
    if (argc != 2 && !unrelated && !mixed) {
        std::fprintf(stderr, "usage: hvq_makewavs [--unrelated | --mixed] FOLDER\n");
        return 2;
    }
    const std::filesystem::path folder = argv[argc - 1];
    if (mixed)
        return WriteMixed(folder);
    if (unrelated) {
        std::error_code error;
        std::filesystem::create_directories(folder, error);
        for (std::uint32_t seed : {1u, 2u}) {
            const auto file = folder / (std::to_string(seed) + "-noise.wav");
            if (!Save(file, Noise(seed, 8.0)))
                return 1;
            std::printf("%s  8.0 s\n", file.generic_string().c_str());
        }
        return 0;
    }
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const auto recipes = synth::DemoRecipes();
    for (std::size_t i = 0; i < recipes.size(); ++i) {
        const std::vector<std::int16_t> samples = synth::Render(recipes[i], kRate);
        char name[64];
        std::snprintf(name, sizeof name, "%02d-%s.wav", static_cast<int>(i + 1),
                      recipes[i].Name.c_str());
        if (!Save(folder / name, samples))
            return 1;
        std::printf("%s  %.1f s\n", (folder / name).generic_string().c_str(), recipes[i].Seconds);
    }
    return 0;
}
