// Measures the crossfade mixer at 44.1 kHz 16-bit stereo: its cost per sample for the linear and
// the logarithmic curve beside a plain copy of the same samples, all in one run, and how many
// times faster than real time it mixes.
#include "sound/CrossfadeMixer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr int kBits = 16;
constexpr int kBlockFrames = 689; // 1/64 second, as the engine reads
constexpr int kSeconds = 60;      // of sound per measured pass

// An endless outgoing track of a fixed pattern.
class PatternSource : public TFadeOutSource {
  public:
    PatternSource() {
        BitsPerSample = kBits;
        Channels = kChannels;
        SampleRate = kRate;
        BlockBytes = kBlockFrames * kChannels * 2;
        RemainingMs = kSeconds * 1000;
        pattern_.resize(static_cast<std::size_t>(BlockBytes));
        for (std::size_t i = 0; i < pattern_.size(); ++i)
            pattern_[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    int GetData(std::uint8_t *destination, int length) override {
        std::memcpy(destination, pattern_.data(), static_cast<std::size_t>(length));
        return length;
    }
    void Close() noexcept override {}

  private:
    std::vector<std::uint8_t> pattern_;
};

std::vector<std::uint8_t> IncomingTrack() {
    std::vector<std::uint8_t> pcm(static_cast<std::size_t>(kSeconds) * kRate * kChannels * 2);
    for (std::size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<std::uint8_t>(i * 101 + 7);
    return pcm;
}

// Tells the compiler the buffer's bytes are used, so no pass can be optimised away.
void KeepBytes(const std::vector<std::uint8_t> &buffer) {
    asm volatile("" : : "r"(buffer.data()) : "memory");
}

// Seconds for one pass over the track, block by block; the best of several passes.
template <class Pass> double BestSeconds(Pass &&pass) {
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
        const auto start = std::chrono::steady_clock::now();
        pass();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return best;
}

double MixSeconds(const std::vector<std::uint8_t> &track, bool logCurve, std::uint64_t &checksum) {
    std::vector<std::uint8_t> work(track.size());
    return BestSeconds([&] {
        std::memcpy(work.data(), track.data(), track.size());
        TCrossfadeState state;
        state.SetLogCurve(logCurve);
        state.HoldSource(std::make_unique<PatternSource>());
        // A fade over the whole pass, so every sample is mixed.
        state.FadeSecondsIn = state.FadeSecondsOut = kSeconds + 1.0;
        state.FadePosition = 1.0;
        state.FadeComplement = 0.0;
        state.FadeTarget = 0.0;
        const std::size_t blockBytes = kBlockFrames * kChannels * 2;
        for (std::size_t offset = 0; offset + blockBytes <= work.size(); offset += blockBytes)
            state.MixBlock(work.data() + offset, kBlockFrames, kBits, kChannels, kRate);
        KeepBytes(work);
        checksum += work[work.size() / 3];
    });
}

double CopySeconds(const std::vector<std::uint8_t> &track, std::uint64_t &checksum) {
    std::vector<std::uint8_t> work(track.size());
    return BestSeconds([&] {
        const std::size_t blockBytes = kBlockFrames * kChannels * 2;
        for (std::size_t offset = 0; offset + blockBytes <= work.size(); offset += blockBytes)
            std::memcpy(work.data() + offset, track.data() + offset, blockBytes);
        KeepBytes(work);
        checksum += work[work.size() / 3];
    });
}

} // namespace

int main() {
    const std::vector<std::uint8_t> track = IncomingTrack();
    const double samples = static_cast<double>(track.size() / 2);
    std::uint64_t checksum = 0;
    const double copy = CopySeconds(track, checksum);
    const double linear = MixSeconds(track, false, checksum);
    const double logarithmic = MixSeconds(track, true, checksum);

    std::printf("crossfade mixer, %d s of 44.1 kHz 16-bit stereo (%.0f samples), best of 5\n",
                kSeconds, samples);
    std::printf("  %-12s %8.2f ns/sample\n", "plain copy", copy * 1e9 / samples);
    const struct {
        const char *name;
        double seconds;
    } curves[] = {{"linear", linear}, {"logarithmic", logarithmic}};
    for (const auto &curve : curves)
        std::printf("  %-12s %8.2f ns/sample  %7.1fx the copy  %10.0fx real time\n", curve.name,
                    curve.seconds * 1e9 / samples, curve.seconds / copy, kSeconds / curve.seconds);
    std::printf("(checksum %llu)\n", static_cast<unsigned long long>(checksum));
    return 0;
}
