// The last seconds of what the engine gave the output, as mixed (before the host's DSP), counted
// in frames from the moment the output was opened or flushed. A skip takes from here what the
// listener has not heard yet: the output is flushed at a frame the engine knows exactly, and the
// sound goes on from that frame without a sample heard twice or lost.
// Pure code over buffers.
#pragma once

#include <cstdint>
#include <vector>

class TStreamHistory {
  public:
    // Room for capacityFrames frames of frameBytes each, at the given rate; empties the history.
    // Allocates: called where the output is opened, never per block.
    void Prepare(int frameBytes, int rate, int capacityFrames);
    // The output's clock starts again at originMs with nothing held (an Open or a Flush).
    void Restart(int originMs);
    // Frames the output was given; the oldest fall out once the room is full.
    void Append(const std::uint8_t *data, int frames);
    // A block whose frames were not written one for one (a DSP that changed their count):
    // frame numbers no longer match the output's clock until the next Restart.
    void Invalidate() { valid_ = false; }

    bool IsValid() const { return valid_ && frameBytes_ > 0; }
    int FrameBytes() const { return frameBytes_; }
    int Rate() const { return rate_; }
    int OriginMs() const { return originMs_; }
    // Frames appended since the last Restart.
    std::int64_t Frames() const { return frames_; }
    // The oldest frame still held.
    std::int64_t OldestFrame() const;
    // The frame the output's clock reaches at ms (whole frames, rounded down).
    std::int64_t FrameAt(std::int64_t ms) const;
    // The first time at or after ms whose frame number is whole: the output's millisecond clock
    // meets a frame boundary exactly there (every 10 ms at 44.1 kHz, every ms at 48 kHz).
    std::int64_t ExactTimeFrom(std::int64_t ms) const;
    // The frames from `from` (held or not older than OldestFrame) to the end, copied.
    std::vector<std::uint8_t> CopyFrom(std::int64_t from) const;

  private:
    std::vector<std::uint8_t> ring_;
    int frameBytes_ = 0;
    int rate_ = 0;
    std::int64_t capacity_ = 0; // frames
    std::int64_t frames_ = 0;
    int originMs_ = 0;
    bool valid_ = false;
};
