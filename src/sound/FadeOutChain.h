// What fades out at a skip is what the listener was hearing: the rest of it still waiting in the
// output, then the skipped track going on from where it was read, with the track it was still
// fading in over mixed in as before. These sources chain those parts for the mixer.
// Pure code over buffers.
#pragma once

#include "CrossfadeMixer.h"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// A track that was still fading in over the one before it: each read is its own sound with the
// older track's rest mixed in, that older fade going on where it stood.
class TStillMixingSource final : public TFadeOutSource {
  public:
    TStillMixingSource(std::unique_ptr<TFadeOutSource> track,
                       std::unique_ptr<TCrossfadeState> olderFade);
    int GetData(std::uint8_t *destination, int length) override;
    void Close() noexcept override;

  private:
    std::unique_ptr<TFadeOutSource> track_;
    std::unique_ptr<TCrossfadeState> olderFade_;
};

// Frames the output had been given and the listener had not heard yet, then the stream's
// continuation (none when the track had ended). The frames are numbered as the output's
// history counts them; some heard ones before them may be kept, to prime a converter.
class TUnheardRestSource final : public TFadeOutSource {
  public:
    // frames: from firstFrame on, of which those before startFrame were heard. continuation
    // may be null; otherwise it must deliver the format given here.
    TUnheardRestSource(std::vector<std::uint8_t> frames, std::int64_t firstFrame,
                       std::int64_t startFrame, std::unique_ptr<TFadeOutSource> continuation,
                       int bits, int channels, int rate, int blockBytes);
    // The output is flushed where the listener is at frame: what came before it was heard.
    // Frames not held here are not moved past.
    void StartAt(std::int64_t frame);
    // The same, also back to a frame already read (within the frames held): the first block of a
    // fade mixed anew from another frame.
    void RewindTo(std::int64_t frame);
    // Up to `frames` of the frames right before the next one, oldest first.
    std::span<const std::uint8_t> FramesBefore(int frames) const;
    std::int64_t NextFrame() const { return firstFrame_ + static_cast<std::int64_t>(read_ / frameBytes_); }
    std::int64_t EndFrame() const;
    int GetData(std::uint8_t *destination, int length) override;
    void Close() noexcept override;

  private:
    // RemainingMs: what is unread here and what the continuation still has.
    void UpdateRemaining();

    std::vector<std::uint8_t> unheard_;
    std::size_t read_ = 0;
    std::int64_t firstFrame_ = 0;
    int frameBytes_ = 1;
    int continuationMs_ = 0;
    std::unique_ptr<TFadeOutSource> continuation_;
};
