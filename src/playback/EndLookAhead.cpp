#include "EndLookAhead.h"

#include <windows.h>

#include <algorithm>

namespace {

// A tail read short by more than this (a read error, an owner that stopped early) is no answer.
constexpr int kShortReadToleranceMs = 1000;

double MsSince(const LARGE_INTEGER &start) {
    LARGE_INTEGER now{}, frequency{};
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

} // namespace

void TEndLookAhead::Prepare(THookedInPlugin *plugin, const std::wstring &fileName,
                            const TDecoder &playing, int fadeTimeMs,
                            const TLookAheadWishes &wishes, int *killSwitch) {
    Finish();
    end_.reset();
    state_ = State::Off;
    if (!wishes.Any() || !plugin || playing.LengthMs <= 0 ||
        !plugin->CanExtendedRead || !HasUsableOpen(*plugin, true))
        return;
    plugin_ = plugin;
    fileName_ = fileName;
    wishes_ = wishes;
    killSwitch_ = killSwitch;
    lengthMs_ = playing.LengthMs;
    rate_ = playing.SampleRate;
    bits_ = playing.BitsPerSample;
    channels_ = playing.Channels;
    fromMs_ = endplan::ScanFromMs(lengthMs_, fadeTimeMs);
    scanner_ = std::make_unique<TTrackEndScanner>(rate_, bits_, channels_,
                                                  endplan::ScanSeconds(lengthMs_, fadeTimeMs));
    block_.resize(static_cast<std::size_t>(blockmath::BlockBytesFor(rate_, bits_, channels_)));
    state_ = State::Waiting;
}

void TEndLookAhead::Finish() noexcept {
    decoder_.Close();
    if (state_ != State::Done)
        state_ = State::Off;
}

void TEndLookAhead::Work(int heldMs) {
    if (state_ == State::Waiting) {
        if (heldMs < kOpenWhenHeldMs)
            return;
        // One open per wait: it may take as long as the wait itself.
        state_ = Open() ? State::Reading : State::Done;
        return;
    }
    if (state_ == State::Reading)
        ReadSlice(std::clamp(heldMs / 8, kLeastSliceMs, kMostSliceMs));
}

bool TEndLookAhead::Open() {
    auto decoder = OpenDecoder(*plugin_, fileName_, {0, true, lengthMs_});
    if (!decoder || decoder->SampleRate != rate_ || decoder->BitsPerSample != bits_ ||
        decoder->Channels != channels_)
        return false;
    decoder->KillSwitch = killSwitch_;
    if (fromMs_ > 0 && decoder->SetTime(fromMs_) != TDecoder::SeekResult::Moved)
        return false; // closed on the way out: an owner that cannot seek gets the plain end
    decoder_ = std::move(*decoder);
    scanner_->Reset(std::int64_t{fromMs_} * rate_ / 1000);
    return true;
}

void TEndLookAhead::ReadSlice(double sliceMs) {
    LARGE_INTEGER started{};
    QueryPerformanceCounter(&started);
    const int frameBytes = bits_ / 8 * channels_;
    do {
        const int bytes = decoder_.ReadFrames(block_.data(), static_cast<int>(block_.size()));
        if (bytes < 1) {
            Conclude();
            return;
        }
        scanner_->Feed(block_.data(), bytes / frameBytes);
    } while (MsSince(started) < sliceMs);
}

void TEndLookAhead::Conclude() {
    decoder_.Close();
    state_ = State::Done;
    // A read the engine interrupted, or one that ended early, tells nothing of the end.
    const std::int64_t expected = std::int64_t{lengthMs_} * rate_ / 1000;
    const std::int64_t tolerance = std::int64_t{kShortReadToleranceMs} * rate_ / 1000;
    if ((killSwitch_ && *killSwitch_ != 0) || scanner_->EndFrame() + tolerance < expected)
        return;
    end_ = endplan::TrackEndFrom(*scanner_, wishes_, rate_);
}
