#include "EdgeLookAhead.h"

#include "../hostlink/TextConvert.h"

#include <windows.h>

#include <algorithm>

namespace {

// A part read short by more than this (a read error, an owner that stopped early) is no answer.
constexpr int kShortReadToleranceMs = 1000;
// Each read asks for this much: any frame fits, whatever the format an open tells.
constexpr std::size_t kReadBytes = 16384;
// The start's scanner reads this much, and is made to keep a little more: a rate's windows of
// whole frames take slightly more than a hundred a second.
constexpr double kStartScanSeconds = endplan::kStartScanMs / 1000.0 + 1.0;
constexpr double kStartScannerSeconds = kStartScanSeconds * 1.05;

double MsSince(const LARGE_INTEGER &start) {
    LARGE_INTEGER now{}, frequency{};
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

} // namespace

void TEdgeLookAhead::Clear() noexcept {
    Finish();
    end_.reset();
    start_.reset();
    state_ = State::Off;
}

bool TEdgeLookAhead::Begin(THookedInPlugin *plugin, const std::wstring &fileName,
                           const TLookAheadWishes &wishes, int *killSwitch, Part part) {
    if (!plugin || fileName.empty() || !plugin->CanExtendedRead ||
        !HasUsableOpen(*plugin, part == Part::End))
        return false;
    part_ = part;
    plugin_ = plugin;
    fileName_ = fileName;
    ansiName_ = plugin->ExtendedReadOpenW ? std::string() : WideToAnsi(fileName);
    wishes_ = wishes;
    killSwitch_ = killSwitch;
    soundStart_ = -1;
    lengthMs_ = 0; // the end's is the playing track's; the start's its open tells
    block_.resize(kReadBytes);
    state_ = State::Waiting;
    return true;
}

void TEdgeLookAhead::PrepareEnd(THookedInPlugin *plugin, const std::wstring &fileName,
                                const TDecoder &playing, int fadeTimeMs,
                                const TLookAheadWishes &wishes, int *killSwitch) {
    Clear();
    if (!wishes.Any() || playing.LengthMs <= 0 ||
        !Begin(plugin, fileName, wishes, killSwitch, Part::End))
        return;
    lengthMs_ = playing.LengthMs;
    rate_ = playing.SampleRate;
    bits_ = playing.BitsPerSample;
    channels_ = playing.Channels;
    fromMs_ = endplan::ScanFromMs(lengthMs_, fadeTimeMs);
    scanner_ = std::make_unique<TTrackEndScanner>(rate_, bits_, channels_,
                                                  endplan::ScanSeconds(lengthMs_, fadeTimeMs));
}

void TEdgeLookAhead::PrepareStart(THookedInPlugin *plugin, const std::wstring &fileName,
                                  const TLookAheadWishes &wishes, int *killSwitch) {
    Clear();
    if (!wishes.FollowOwnFadeOut || !Begin(plugin, fileName, wishes, killSwitch, Part::Start))
        return;
    fromMs_ = 0;
    // Made for one format now, taken over by the one the open tells.
    scanner_ = std::make_unique<TTrackEndScanner>(8000, 16, 2, kStartScannerSeconds);
}

void TEdgeLookAhead::Finish() noexcept {
    decoder_.Close();
    if (state_ != State::Done)
        state_ = State::Off;
}

void TEdgeLookAhead::Work(int heldMs) {
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

bool TEdgeLookAhead::Open() {
    auto decoder = OpenDecoder(*plugin_, fileName_, {0, part_ == Part::End, lengthMs_, &ansiName_});
    if (!decoder)
        return false;
    if (part_ == Part::Start) {
        lengthMs_ = decoder->LengthMs;
        rate_ = decoder->SampleRate;
        bits_ = decoder->BitsPerSample;
        channels_ = decoder->Channels;
        if (!scanner_->Reformat(rate_, bits_, channels_, kStartScanSeconds))
            return false;
    } else if (decoder->SampleRate != rate_ || decoder->BitsPerSample != bits_ ||
               decoder->Channels != channels_) {
        return false;
    }
    decoder->KillSwitch = killSwitch_;
    if (fromMs_ > 0 && decoder->SetTime(fromMs_) != TDecoder::SeekResult::Moved)
        return false; // closed on the way out: an owner that cannot seek gets the plain end
    decoder_ = std::move(*decoder);
    scanner_->Reset(std::int64_t{fromMs_} * rate_ / 1000);
    return true;
}

// The end is read to the track's end; the start for kStartScanMs.
bool TEdgeLookAhead::ReadAll() const {
    return part_ == Part::Start &&
           scanner_->EndFrame() >= std::int64_t{endplan::kStartScanMs} * rate_ / 1000;
}

void TEdgeLookAhead::ReadSlice(double sliceMs) {
    LARGE_INTEGER started{};
    QueryPerformanceCounter(&started);
    const int frameBytes = bits_ / 8 * channels_;
    do {
        const int bytes = decoder_.ReadFrames(block_.data(), static_cast<int>(block_.size()));
        if (bytes < 1) {
            Conclude();
            return;
        }
        const int frames = bytes / frameBytes;
        if (part_ == Part::Start && soundStart_ < 0) {
            // Leading silence the engine does not read past is part of the rise.
            const int threshold =
                wishes_.SkipSilence ? wishes_.SilenceThresholdDb : endplan::kInaudibleDb;
            const int first =
                trackedges::FirstSoundFrame(block_.data(), frames, bits_, channels_, threshold);
            if (first < frames)
                soundStart_ = scanner_->EndFrame() + first;
        }
        scanner_->Feed(block_.data(), frames);
        if (ReadAll()) {
            Conclude();
            return;
        }
    } while (MsSince(started) < sliceMs);
}

void TEdgeLookAhead::Conclude() {
    decoder_.Close();
    state_ = State::Done;
    // A read the engine interrupted, or one that ended early, tells nothing.
    const std::int64_t tolerance = std::int64_t{kShortReadToleranceMs} * rate_ / 1000;
    const std::int64_t expected = std::int64_t{lengthMs_} * rate_ / 1000;
    if ((killSwitch_ && *killSwitch_ != 0) ||
        (!ReadAll() && scanner_->EndFrame() + tolerance < expected))
        return;
    if (part_ == Part::End)
        end_ = endplan::TrackEndFrom(*scanner_, wishes_, rate_);
    else
        start_ = endplan::TrackStartFrom(*scanner_, soundStart_, wishes_, rate_);
}
