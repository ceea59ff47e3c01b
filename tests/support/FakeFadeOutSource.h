// An outgoing decoder for the mixer's tests: delivers fixed PCM in reads of any size and counts
// its closes.
#pragma once

#include "sound/CrossfadeMixer.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace support {

class FakeFadeOutSource : public TFadeOutSource {
  public:
    FakeFadeOutSource(std::vector<std::uint8_t> pcm, int bits, int channels, int rate, int *closes)
        : pcm_(std::move(pcm)), closes_(closes) {
        BitsPerSample = bits;
        Channels = channels;
        SampleRate = rate;
        SizeBytes = static_cast<std::int64_t>(pcm_.size());
        BlockBytes = 64 * (bits / 8) * channels;
        RemainingMs = 5000;
    }
    int GetData(std::uint8_t *destination, int length) override {
        const int n = static_cast<int>(std::min<std::size_t>(length, pcm_.size() - position_));
        std::memcpy(destination, pcm_.data() + position_, static_cast<std::size_t>(n));
        position_ += static_cast<std::size_t>(n);
        return n;
    }
    void Close() noexcept override { ++*closes_; }

  private:
    std::vector<std::uint8_t> pcm_;
    std::size_t position_ = 0;
    int *closes_;
};

} // namespace support
