#include "FadeOutChain.h"

#include <algorithm>
#include <cstring>

TStillMixingSource::TStillMixingSource(std::unique_ptr<TFadeOutSource> track,
                                       std::unique_ptr<TCrossfadeState> olderFade)
    : track_(std::move(track)), olderFade_(std::move(olderFade)) {
    BitsPerSample = track_->BitsPerSample;
    Channels = track_->Channels;
    SampleRate = track_->SampleRate;
    SizeBytes = track_->SizeBytes;
    BlockBytes = track_->BlockBytes;
    RemainingMs = track_->RemainingMs;
}

// The track is read in the block size it was played in, so the older fade moves on exactly as
// it would have in the track's own blocks.
int TStillMixingSource::GetData(std::uint8_t *destination, int length) {
    const int bytes = track_->GetData(destination, length);
    const int frameBytes = BitsPerSample / 8 * Channels;
    if (bytes < 1 || frameBytes <= 0 || !olderFade_->Armed)
        return bytes;
    olderFade_->MixingStep(destination, bytes / frameBytes, BitsPerSample, Channels, SampleRate, 0);
    return bytes;
}

void TStillMixingSource::Close() noexcept {
    track_->Close();
    olderFade_->ReleaseSource();
}

TUnheardRestSource::TUnheardRestSource(std::vector<std::uint8_t> frames, std::int64_t firstFrame,
                                       std::int64_t startFrame,
                                       std::unique_ptr<TFadeOutSource> continuation, int bits,
                                       int channels, int rate, int blockBytes)
    : unheard_(std::move(frames)), firstFrame_(firstFrame),
      continuation_(std::move(continuation)) {
    BitsPerSample = bits;
    Channels = channels;
    SampleRate = rate;
    BlockBytes = blockBytes;
    frameBytes_ = std::max(bits / 8 * channels, 1);
    read_ = static_cast<std::size_t>(std::clamp<std::int64_t>(startFrame - firstFrame_, 0,
                                                              EndFrame() - firstFrame_) *
                                     frameBytes_);
    continuationMs_ = continuation_ ? std::max(continuation_->RemainingMs, 0) : 0;
    SizeBytes = static_cast<std::int64_t>(unheard_.size()) +
                (continuation_ ? std::max<std::int64_t>(continuation_->SizeBytes, 0) : 0);
    UpdateRemaining();
}

std::int64_t TUnheardRestSource::EndFrame() const {
    return firstFrame_ + static_cast<std::int64_t>(unheard_.size() / frameBytes_);
}

void TUnheardRestSource::StartAt(std::int64_t frame) {
    const std::int64_t to = std::clamp(frame, NextFrame(), EndFrame());
    read_ = static_cast<std::size_t>((to - firstFrame_) * frameBytes_);
    UpdateRemaining();
}

void TUnheardRestSource::RewindTo(std::int64_t frame) {
    const std::int64_t to = std::clamp(frame, firstFrame_, EndFrame());
    read_ = static_cast<std::size_t>((to - firstFrame_) * frameBytes_);
    UpdateRemaining();
}

std::span<const std::uint8_t> TUnheardRestSource::FramesBefore(int frames) const {
    const std::size_t bytes =
        std::min(read_, static_cast<std::size_t>(std::max(frames, 0)) * frameBytes_);
    return {unheard_.data() + read_ - bytes, bytes};
}

int TUnheardRestSource::GetData(std::uint8_t *destination, int length) {
    if (read_ < unheard_.size()) {
        const std::size_t whole = static_cast<std::size_t>(length / frameBytes_ * frameBytes_);
        const std::size_t bytes = std::min(unheard_.size() - read_, std::max<std::size_t>(whole, frameBytes_));
        const std::size_t fits = std::min(bytes, static_cast<std::size_t>(std::max(length, 0)));
        std::memcpy(destination, unheard_.data() + read_, fits);
        read_ += fits;
        UpdateRemaining();
        return static_cast<int>(fits);
    }
    return continuation_ ? continuation_->GetData(destination, length) : 0;
}

void TUnheardRestSource::Close() noexcept {
    if (continuation_)
        continuation_->Close();
}

void TUnheardRestSource::UpdateRemaining() {
    const auto unreadMs =
        SampleRate > 0
            ? static_cast<std::int64_t>((unheard_.size() - read_) / frameBytes_) * 1000 / SampleRate
            : 0;
    RemainingMs = static_cast<int>(std::min<std::int64_t>(unreadMs + continuationMs_, 1 << 30));
}
