// hvq_makewavs FOLDER: writes the demo's playlist, four short music-like tracks of 44.1 kHz
// 16-bit stereo, as 01-<name>.wav ... into FOLDER (created if needed), and prints their names.
// hvq_makewavs --unrelated FOLDER: two tracks of independent noise instead, 1-noise.wav and
// 2-noise.wav, 8 s each: unrelated material, on which a crossfade's loudness dip is measured.
// hvq_makewavs --mixed FOLDER: the same four tracks as a library of mixed formats has them: a CD
// rip (44.1 kHz 16-bit stereo), a studio master (48 kHz 24-bit stereo), an old mono recording
// (22.05 kHz 16-bit mono) and another CD rip.
// hvq_makewavs --edges FOLDER: a playlist for the options that follow the music: a track that
// ends in seconds of silence, one that starts after a breath of silence and fades out by itself,
// one with silence at both ends, and an album of three tracks cut from one continuous piece,
// tagged as one (LIST/INFO: IPRD album, IART artist, ITRK track number).
#include "Synth.h"
#include "WavFile.h"
#include "WavInfo.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
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

// A track of the edges playlist: music of a demo recipe with silence before and after it, and
// optionally a fade-out of its own over its last seconds.
struct EdgeTrack {
    const char *Name;
    std::size_t Recipe; // in DemoRecipes()
    double Music = 0.0, Before = 0.0, After = 0.0, FadeOut = 0.0; // seconds
};

// Falls steadily from full level to -70 dB over its frames, in dB: as a mastered fade-out does.
double FadeOutGain(std::size_t i, std::size_t frames) {
    return std::pow(10.0, -70.0 / 20.0 * static_cast<double>(i) / static_cast<double>(frames));
}

std::vector<std::int16_t> EdgeSamples(const EdgeTrack &track) {
    synth::Recipe recipe = synth::DemoRecipes()[track.Recipe];
    recipe.Seconds = track.Music;
    std::vector<std::int16_t> music = synth::Render(recipe, kRate);
    const auto fadeFrames = static_cast<std::size_t>(track.FadeOut * kRate);
    const std::size_t frames = music.size() / 2;
    for (std::size_t i = 0; i < fadeFrames && i < frames; ++i)
        for (std::size_t c = 0; c < 2; ++c) {
            std::int16_t &s = music[2 * (frames - fadeFrames + i) + c];
            s = static_cast<std::int16_t>(std::lround(s * FadeOutGain(i, fadeFrames)));
        }
    std::vector<std::int16_t> samples(static_cast<std::size_t>(track.Before * kRate) * 2, 0);
    samples.insert(samples.end(), music.begin(), music.end());
    samples.resize(samples.size() + static_cast<std::size_t>(track.After * kRate) * 2, 0);
    return samples;
}

bool SaveTagged(const std::filesystem::path &file, std::span<const std::int16_t> samples,
                const wav::InfoTags &tags) {
    std::vector<std::uint8_t> bytes = wav::MakeFile(
        {kRate, 2, 16}, {reinterpret_cast<const std::uint8_t *>(samples.data()),
                         samples.size() * sizeof(std::int16_t)});
    wav::AppendInfoList(bytes, tags);
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (out)
        return true;
    std::fprintf(stderr, "hvq_makewavs: cannot write %s\n", file.string().c_str());
    return false;
}

constexpr double kAlbumTrackSeconds = 12.0;
constexpr int kAlbumTracks = 3;

int WriteEdges(const std::filesystem::path &folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const EdgeTrack tracks[] = {{"01-silence-after.wav", 0, 13.0, 0.0, 7.0, 0.0},
                                {"02-breath-and-fade-out.wav", 1, 15.0, 2.5, 1.0, 6.0},
                                {"03-silence-both-ends.wav", 2, 13.0, 1.5, 4.0, 0.0}};
    for (const EdgeTrack &track : tracks) {
        const auto file = folder / track.Name;
        if (!SaveTagged(file, EdgeSamples(track), {}))
            return 1;
        std::printf("%s  %.1f s: %.1f s silence, %.1f s music%s, %.1f s silence\n",
                    file.generic_string().c_str(), track.Before + track.Music + track.After,
                    track.Before, track.Music, track.FadeOut > 0.0 ? " fading out by itself" : "",
                    track.After);
    }
    // One piece cut in three: played through, the album gives the piece back sample for sample.
    const std::vector<std::int16_t> piece =
        EdgeSamples({"", 3, kAlbumTrackSeconds * kAlbumTracks, 0.0, 0.0, 0.0});
    const std::size_t part = static_cast<std::size_t>(kAlbumTrackSeconds * kRate) * 2;
    for (int n = 0; n < kAlbumTracks; ++n) {
        char name[64];
        std::snprintf(name, sizeof name, "%02d-suite-part-%d.wav", 4 + n, n + 1);
        const std::span<const std::int16_t> samples(piece.data() + n * part, part);
        if (!SaveTagged(folder / name, samples,
                        {"Homeward Suite", "Halvern Demo", "", std::to_string(n + 1)}))
            return 1;
        std::printf("%s  %.1f s: album \"Homeward Suite\", track %d of one continuous piece\n",
                    (folder / name).generic_string().c_str(), kAlbumTrackSeconds, n + 1);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    const bool unrelated = argc == 3 && std::string_view(argv[1]) == "--unrelated";
    const bool mixed = argc == 3 && std::string_view(argv[1]) == "--mixed";
    const bool edges = argc == 3 && std::string_view(argv[1]) == "--edges";
    if (argc != 2 && !unrelated && !mixed && !edges) {
        std::fprintf(stderr, "usage: hvq_makewavs [--unrelated | --mixed | --edges] FOLDER\n");
        return 2;
    }
    const std::filesystem::path folder = argv[argc - 1];
    if (edges)
        return WriteEdges(folder);
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
