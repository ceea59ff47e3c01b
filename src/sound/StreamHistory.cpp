#include "StreamHistory.h"

#include <algorithm>
#include <cstring>
#include <numeric>

void TStreamHistory::Prepare(int frameBytes, int rate, int capacityFrames) {
    frameBytes_ = std::max(frameBytes, 0);
    rate_ = std::max(rate, 0);
    capacity_ = std::max(capacityFrames, 0);
    ring_.assign(static_cast<std::size_t>(capacity_ * frameBytes_), 0);
    Restart(0);
}

void TStreamHistory::Restart(int originMs) {
    originMs_ = originMs;
    frames_ = 0;
    valid_ = capacity_ > 0 && rate_ > 0;
}

void TStreamHistory::Append(const std::uint8_t *data, int frames) {
    if (!valid_ || frames <= 0)
        return;
    // Only the newest capacity_ frames can stay.
    const std::int64_t skipped = std::max<std::int64_t>(0, frames - capacity_);
    std::int64_t at = (frames_ + skipped) % capacity_;
    const std::uint8_t *from = data + skipped * frameBytes_;
    for (std::int64_t left = frames - skipped; left > 0;) {
        const std::int64_t run = std::min(left, capacity_ - at);
        std::memcpy(ring_.data() + at * frameBytes_, from, static_cast<std::size_t>(run * frameBytes_));
        from += run * frameBytes_;
        left -= run;
        at = 0;
    }
    frames_ += frames;
}

std::int64_t TStreamHistory::OldestFrame() const {
    return std::max<std::int64_t>(0, frames_ - capacity_);
}

std::int64_t TStreamHistory::FrameAt(std::int64_t ms) const {
    return (ms - originMs_) * rate_ / 1000;
}

std::int64_t TStreamHistory::ExactTimeFrom(std::int64_t ms) const {
    if (rate_ <= 0)
        return ms;
    const std::int64_t step = 1000 / std::gcd<std::int64_t>(rate_, 1000);
    const std::int64_t since = std::max<std::int64_t>(ms - originMs_, 0);
    return originMs_ + (since + step - 1) / step * step;
}

std::vector<std::uint8_t> TStreamHistory::CopyFrom(std::int64_t from) const {
    if (!IsValid())
        return {};
    from = std::clamp(from, OldestFrame(), frames_);
    std::vector<std::uint8_t> copy(static_cast<std::size_t>((frames_ - from) * frameBytes_));
    std::uint8_t *to = copy.data();
    for (std::int64_t frame = from; frame < frames_;) {
        const std::int64_t at = frame % capacity_;
        const std::int64_t run = std::min(frames_ - frame, capacity_ - at);
        std::memcpy(to, ring_.data() + at * frameBytes_, static_cast<std::size_t>(run * frameBytes_));
        to += run * frameBytes_;
        frame += run;
    }
    return copy;
}
