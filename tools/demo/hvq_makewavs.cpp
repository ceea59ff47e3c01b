// hvq_makewavs FOLDER: writes the demo's playlist, four short music-like tracks of 44.1 kHz
// 16-bit stereo, as 01-<name>.wav ... into FOLDER (created if needed), and prints their names.
#include "Synth.h"
#include "WavFile.h"

#include <cstdio>
#include <filesystem>
#include <span>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hvq_makewavs FOLDER\n");
        return 2;
    }
    constexpr int kRate = 44100;
    const std::filesystem::path folder = argv[1];
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const auto recipes = synth::DemoRecipes();
    for (std::size_t i = 0; i < recipes.size(); ++i) {
        const std::vector<std::int16_t> samples = synth::Render(recipes[i], kRate);
        char name[64];
        std::snprintf(name, sizeof name, "%02d-%s.wav", static_cast<int>(i + 1),
                      recipes[i].Name.c_str());
        // WAV samples are little-endian, as this machine's are.
        const std::span<const std::uint8_t> bytes(
            reinterpret_cast<const std::uint8_t *>(samples.data()),
            samples.size() * sizeof(std::int16_t));
        if (!wav::SaveFile(folder / name, {kRate, 2, 16}, bytes)) {
            std::fprintf(stderr, "hvq_makewavs: cannot write %s\n",
                         (folder / name).string().c_str());
            return 1;
        }
        std::printf("%s  %.1f s\n", (folder / name).generic_string().c_str(), recipes[i].Seconds);
    }
    return 0;
}
