// What lies at a track's end, learnt ahead of time: a second decoder of its own reads the
// track's last seconds a few blocks at a time while the block loop waits for room in the output,
// and an end scanner finds where the sound ends and where the track starts fading out by itself.
// The playing decoder and the output are never touched: until the answer is ready (or where the
// owner refuses a second handle or a seek) the transition is the plain one.
#pragma once

#include "DecoderUnit.h"
#include "EndPlan.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TEndLookAhead {
  public:
    // A second handle is opened only while the output holds this much: its open may take as
    // long as a decoder's open does.
    static constexpr int kOpenWhenHeldMs = 600;
    // Reading stops after an eighth of what the output holds (2 to 20 ms), for the next wait:
    // a full output plays on for far longer than that.
    static constexpr int kLeastSliceMs = 2;
    static constexpr int kMostSliceMs = 20;

    // Readies everything the scan needs for a track (outside the block loop: all allocation is
    // here). Nothing is done when no wish is on or the track is too short to have an end apart
    // from its start.
    void Prepare(THookedInPlugin *plugin, const std::wstring &fileName, const TDecoder &playing,
                 int fadeTimeMs, const TLookAheadWishes &wishes, int *killSwitch);
    // Closes the second decoder; the answer stays.
    void Finish() noexcept;
    // A slice of the work, for a moment the block loop would otherwise sleep through.
    void Work(int heldMs);
    bool Wanted() const { return state_ == State::Waiting || state_ == State::Reading; }
    // The end found, once the whole tail is read; none before, or where it could not be read.
    const std::optional<TTrackEnd> &End() const { return end_; }

  private:
    enum class State { Off, Waiting, Reading, Done };
    bool Open();
    void ReadSlice(double sliceMs);
    void Conclude();

    State state_ = State::Off;
    THookedInPlugin *plugin_ = nullptr;
    std::wstring fileName_;
    TDecoder decoder_;
    int *killSwitch_ = nullptr;
    TLookAheadWishes wishes_;
    int lengthMs_ = 0;
    int fromMs_ = 0;
    int rate_ = 0, bits_ = 0, channels_ = 0;
    std::unique_ptr<TTrackEndScanner> scanner_;
    std::vector<std::uint8_t> block_;
    std::optional<TTrackEnd> end_;
};
