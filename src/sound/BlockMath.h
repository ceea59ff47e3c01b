// Block arithmetic of the playback engine: pure functions over formats and byte counts.
#pragma once

#include <cstdint>
#include <vector>

namespace blockmath {

// Nearest integer, halves away from zero.
std::int64_t RoundHalfAway(double value);

// What an output plug-in can take: anything beyond is a decoder's nonsense.
constexpr int kMaxSampleRate = 768'000;
constexpr int kMaxChannels = 8;
constexpr int kMaxFrameBytes = 4 * kMaxChannels;

// Whether a decoder's reported format can be played: whole bytes per sample the engine knows,
// one to kMaxChannels channels and a positive rate up to kMaxSampleRate. Anything else would
// divide by zero further on or ask for block buffers no allocation gives.
bool IsPlayableFormat(int bitsPerSample, int channels, int sampleRate);

int FrameBytes(int bitsPerSample, int channels);

// 1/64 second of sound in whole frames; 4096 when that comes below 20 bytes.
int BlockBytesFor(int sampleRate, int bitsPerSample, int channels);

// Track length in ms from its decoded size.
int LengthMsFor(std::int64_t sizeBytes, int bitsPerSample, int channels, int sampleRate);

// The bitrate (kbps) and rate (kHz) the host's SetInfo is given.
int KbpsFor(int bitsPerSample, int sampleRate, int channels);
int KhzFor(int sampleRate);

// A block's duration in whole milliseconds: the engine's pause between polls of the output.
int BlockDurationMs(int bytes, int bitsPerSample, int channels, int sampleRate);

// The largest write the output plug-in contract allows, in whole frames.
constexpr int kMaxWriteBytes = 8192;
int MaxWritePiece(int frameBytes);

} // namespace blockmath
