#include "BlockMath.h"

#include <cmath>

namespace blockmath {

std::int64_t RoundHalfAway(double value) {
    return static_cast<std::int64_t>(std::round(value));
}

bool IsPlayableFormat(int bitsPerSample, int channels, int sampleRate) {
    const bool knownWidth =
        bitsPerSample == 8 || bitsPerSample == 16 || bitsPerSample == 24 || bitsPerSample == 32;
    return knownWidth && channels >= 1 && channels <= kMaxChannels && sampleRate > 0 &&
           sampleRate <= kMaxSampleRate;
}

int FrameBytes(int bitsPerSample, int channels) {
    return bitsPerSample / 8 * channels;
}

int BlockBytesFor(int sampleRate, int bitsPerSample, int channels) {
    const int frame = FrameBytes(bitsPerSample, channels);
    std::int64_t bytes = static_cast<std::int64_t>(sampleRate) * frame / 64;
    if (bytes < 20)
        bytes = 4096;
    return static_cast<int>(bytes - bytes % frame);
}

int LengthMsFor(std::int64_t sizeBytes, int bitsPerSample, int channels, int sampleRate) {
    const std::int64_t frames = sizeBytes / (bitsPerSample / 8) / channels;
    return static_cast<int>(RoundHalfAway(static_cast<double>(frames) / (sampleRate * 0.001)));
}

int KbpsFor(int bitsPerSample, int sampleRate, int channels) {
    return static_cast<int>(
        RoundHalfAway(static_cast<double>(bitsPerSample) * sampleRate * channels) / 1000);
}

int KhzFor(int sampleRate) {
    return static_cast<int>(RoundHalfAway(sampleRate * 0.001));
}

int BlockDurationMs(int bytes, int bitsPerSample, int channels, int sampleRate) {
    return static_cast<int>(static_cast<double>(bytes) * 1000.0 / (bitsPerSample / 8) / channels /
                            sampleRate);
}

int MaxWritePiece(int frameBytes) {
    return frameBytes > kMaxWriteBytes ? frameBytes : kMaxWriteBytes - kMaxWriteBytes % frameBytes;
}

} // namespace blockmath
