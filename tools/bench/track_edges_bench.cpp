// Measures what finding a track's edges costs at 44.1 kHz 16-bit stereo, against decoding the
// same frames: the yardstick is the synthetic test decoder, which hashes every sample. Its cost is
// far below a real codec's, so the shares printed are upper bounds. Target: the scanner, which
// sees every frame of a track's last seconds, at most 5 % of decoding them.
#include "SynthSignal.h"
#include "sound/TrackEdges.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr int kBlockFrames = 689; // 1/64 second, as the engine reads
constexpr int kSeconds = 20;      // the longest tail the engine scans
constexpr int kFrameBytes = 4;
constexpr double kTargetPercent = 5.0;

void KeepBytes(const void *bytes) {
    asm volatile("" : : "r"(bytes) : "memory");
}

// Seconds for one pass; the best of several.
template <class Pass> double BestSeconds(Pass &&pass) {
    double best = 1e30;
    for (int run = 0; run < 7; ++run) {
        const auto start = std::chrono::steady_clock::now();
        pass();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return best;
}

} // namespace

int main() {
    const SynthFormat format{kRate, 2, 16, kSeconds * 1000, 7};
    const int blocks = kRate * kSeconds / kBlockFrames;
    // The engine scans each block it has just decoded: one block, in the cache, as there.
    std::vector<std::uint8_t> block(static_cast<std::size_t>(kBlockFrames) * kFrameBytes);
    const std::vector<std::uint8_t> silence(block.size());

    const double decode = BestSeconds([&] {
        for (int b = 0; b < blocks; ++b) {
            SynthPcm(format, static_cast<std::int64_t>(b) * kBlockFrames, kBlockFrames,
                     block.data());
            KeepBytes(block.data());
        }
    });
    TTrackEndScanner scanner(kRate, 16, 2, kSeconds);
    std::int64_t answers = 0;
    const double scan = BestSeconds([&] {
        scanner.Reset(0);
        for (int b = 0; b < blocks; ++b) {
            KeepBytes(block.data());
            scanner.Feed(block.data(), kBlockFrames);
        }
        answers += scanner.EndFrame();
    });
    // Answering costs once per track, not per frame.
    const double answer = BestSeconds([&] {
        const auto end = scanner.SoundEndFrame(trackedges::kDefaultThresholdDb, 500);
        answers += scanner.OwnFadeOut(12, end.value_or(scanner.EndFrame())).value_or(0);
    });
    // Leading silence is the worst case: every frame is looked at.
    const double skip = BestSeconds([&] {
        for (int b = 0; b < blocks; ++b) {
            KeepBytes(silence.data());
            answers += trackedges::FirstSoundFrame(silence.data(), kBlockFrames, 16, 2,
                                                   trackedges::kDefaultThresholdDb);
        }
    });

    const double perFrame = 1e9 / (static_cast<double>(blocks) * kBlockFrames);
    const double share = 100.0 * scan / decode;
    std::printf("track edges, %d s of 44.1 kHz 16-bit stereo, 1/64 s blocks in the cache, "
                "best of 7\n",
                kSeconds);
    std::printf("  %-34s %7.2f ns/frame\n", "synthetic decoder (the yardstick)", decode * perFrame);
    std::printf("  %-34s %7.2f ns/frame  %5.1f %% of decoding (target <= %.0f %%)\n",
                "end scanner, fed every frame", scan * perFrame, share, kTargetPercent);
    std::printf("  %-34s %7.2f ns/frame  %5.1f %% of decoding\n", "first sound, over silence",
                skip * perFrame, 100.0 * skip / decode);
    std::printf("  %-34s %7.1f us once per track\n", "sound end and own fade-out", answer * 1e6);
    std::printf("(checksum %lld)\n", static_cast<long long>(answers));
    return share <= kTargetPercent ? 0 : 1;
}
