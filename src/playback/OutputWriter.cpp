#include "OutputWriter.h"

#include "../hostlink/TestHooks.h"

#include "../sound/BlockMath.h"
#include "../sound/CrossfadeMixer.h"

#include <windows.h>

#include <algorithm>

using namespace blockmath;

namespace {

// A call into the host from the playback thread; false when it raised anything.
template <class F> bool Foreign(F &&call) noexcept {
    try {
        return CallGuarded(std::forward<F>(call));
    } catch (...) {
        return false;
    }
}

} // namespace

void TOutputWriter::ForgetIfUsedElsewhere() {
    if (link_.UsedElsewhere.exchange(false))
        opened_ = nullptr;
}

void TOutputWriter::PrepareHistory(TStreamHistory &history, const TPcmFormat &format) const {
    const int frameBytes = FrameBytes(format.BitsPerSample, format.Channels);
    const int rate = format.SampleRate;
    history.Prepare(frameBytes, rate,
                    static_cast<int>(std::min<std::int64_t>(std::int64_t{rate} * kHistoryMs / 1000,
                                                            (64 << 20) / frameBytes)));
}

int TOutputWriter::Open(Out_Module *output, const TPcmFormat &format) {
    const int bits = format.BitsPerSample, channels = format.Channels, rate = format.SampleRate;
    BaseMs = 0;
    PendingPositionMs = -1;
    CountsOwnBytes = false;
    opened_ = output;
    openedFormat_ = format;
    writes_ = 0;
    clock_.RestartPace();
    if (nextHistory_.FrameBytes() == FrameBytes(bits, channels) && nextHistory_.Rate() == rate) {
        std::swap(history_, nextHistory_);
        history_.Restart(0);
    } else {
        PrepareHistory(history_, format);
    }
    int latency = -1;
    if (!link_.Call([&] { latency = output->Open(rate, channels, bits, -1, -1); }))
        latency = -1;
    if (latency < 0)
        return latency;
    In_Module &module = *links_.Module;
    if (module.SetInfo) {
        const int kbps = KbpsFor(bits, rate, channels), khz = KhzFor(rate);
        Foreign([&] { module.SetInfo(kbps, khz, channels, 1); });
    }
    if (module.SAVSAInit)
        Foreign([&] { module.SAVSAInit(latency, rate); });
    if (module.VSASetInfo)
        Foreign([&] { module.VSASetInfo(rate, channels); });
    return latency;
}

// Made now, not in the moment the output stands silent between its Close and Open.
void TOutputWriter::ScheduleReopen(const TPcmFormat &format) {
    reopenPending_ = true;
    reopenFormat_ = format;
    CountsOwnBytes = false;
    PrepareHistory(nextHistory_, format);
}

bool TOutputWriter::ReopenNow(Out_Module *output) {
    reopenPending_ = false;
    if (opened_) {
        PlayOut(opened_, 5, 0);
        CloseOpened();
        if (links_.Module->SAVSADeInit)
            Foreign([this] { links_.Module->SAVSADeInit(); });
    }
    return Open(output, reopenFormat_) >= 0;
}

void TOutputWriter::CloseOpened() {
    reopenPending_ = false;
    if (Out_Module *opened = std::exchange(opened_, nullptr))
        link_.Call([&] { opened->Close(); });
}

void TOutputWriter::Flush(Out_Module *output, int toMs) {
    link_.Call([&] { output->Flush(toMs); });
    writes_ = 0;
    history_.Restart(toMs);
    BaseMs = 0;
    CountsOwnBytes = false;
    PendingPositionMs = -1;
}

// The previous track may still sound from the output: the new one is written after it, and its
// times count from its own first sample. An output that holds nothing restarts its clock instead,
// as when tracks were not continued.
void TOutputWriter::ContinueOrRestart(Out_Module *output) {
    ForgetHeld();
    int playing = 0;
    link_.Call([&] { playing = output->IsPlaying(); });
    if ((playing || clock_.HeldMs(output) > 0) && ContinueStream(output))
        return;
    Flush(output, 0);
}

bool TOutputWriter::ContinueStream(Out_Module *output) {
    int written = 0;
    if (!link_.Call([&] { written = output->GetWrittenTime(); }))
        return false;
    BaseMs = written;
    CountsOwnBytes = true;
    PendingPositionMs = -1; // the track's time counts from its base on the output's clock
    return true;
}

int TOutputWriter::TrackWrittenMs(Out_Module *output, std::int64_t trackBytes,
                                  int bytesPerSecond) {
    if (CountsOwnBytes)
        return bytesPerSecond > 0 ? static_cast<int>(trackBytes * 1000 / bytesPerSecond) : 0;
    int written = 0;
    link_.Call([&] { written = output->GetWrittenTime(); });
    return written;
}

bool TOutputWriter::WriteBlock(Out_Module *output, std::uint8_t *data, int bytes, int pauseMs) {
    const int frameBytes = FrameBytes(openedFormat_.BitsPerSample, openedFormat_.Channels);
    const int piece = MaxWritePiece(frameBytes);
    // The block was added to the history just before: its frames are the history's last.
    std::int64_t written = history_.Frames() - bytes / std::max(frameBytes, 1);
    for (int offset = 0; offset < bytes;) {
        const int room = WaitForRoom(output, std::min(piece, bytes - offset), frameBytes, pauseMs);
        if (room <= 0)
            return false;
        char *chunk = reinterpret_cast<char *>(data + offset);
        int refused = 0;
        for (;;) {
            if (!link_.Call([&] { refused = output->Write(chunk, room); }))
                return false;
            if (refused <= 0)
                break;
            if (!state_.KeepsWriting())
                return false;
            state_.Nap(pauseMs);
            state_.WaitWhilePaused();
        }
        offset += room;
        written += room / frameBytes;
        NoteWriteEnd(written);
    }
    return true;
}

std::optional<std::int64_t> TOutputWriter::WriteEndAt(const TOutputClock::TTurn &turn,
                                                      int originMs) const {
    const std::int64_t rate = history_.Rate();
    const auto msOf = [&](std::int64_t frame) { return originMs + frame * 1000 / rate; };
    const std::size_t kept = std::min(writes_, writeEnds_.size());
    for (std::size_t back = 1; back < kept; ++back) {
        const std::int64_t end = writeEnds_[(writes_ - back) % writeEnds_.size()];
        const std::int64_t before = writeEnds_[(writes_ - back - 1) % writeEnds_.size()];
        if (msOf(end) == turn.Ms && msOf(before) == turn.FromMs)
            return end;
    }
    return std::nullopt;
}

// An output whose whole buffer is smaller than the piece (a 4096-byte block of a 1 kHz track,
// say) never finds that room: once it holds nothing, it gets what fits.
int TOutputWriter::WaitForRoom(Out_Module *output, int bytes, int frameBytes, int pauseMs) {
    for (;;) {
        int room = 0;
        if (!link_.Call([&] { room = output->CanWrite(); }))
            return 0;
        if (room >= bytes)
            return bytes;
        if (!state_.KeepsWriting())
            return 0;
        int playing = 1;
        if (room >= frameBytes && link_.Call([&] { playing = output->IsPlaying(); }) && !playing)
            return room - room % frameBytes;
        state_.Nap(pauseMs);
        state_.WaitWhilePaused();
    }
}

// An output whose clock does not move (though neither paused by the host nor stopped) is not
// waited for beyond TOutputClock::kStillClockMs, even while it says it plays.
void TOutputWriter::PlayOut(Out_Module *output, int pauseMs, int leadMs) {
    TOutputClock::TStillWatch still;
    for (;;) {
        int playing = 0;
        if (state_.Stopped() || state_.SkipRequested ||
            !link_.Call([&] { playing = output->IsPlaying(); }))
            return;
        const int held = clock_.HeldMs(output);
        if (held < 0)
            return;
        if (leadMs > 0 ? !playing || held <= leadMs : !playing && held == 0)
            return;
        if (still.StandsStill(held))
            return;
        // Close to the moment it waits for, it looks again at once: an output played out to be
        // re-opened is silent from its last sample until the next track's first. (Milliseconds
        // are whole, a sleep of one takes a little longer, and a yield may take as long.)
        const int left = held - leadMs;
        if (left > 2)
            state_.Nap(std::clamp(left - 2, 1, std::max(pauseMs, 1)));
        if (state_.WaitWhilePaused())
            still.Restart();
    }
}

void TOutputWriter::DeclickStart(std::uint8_t *block, int frames, const TPcmFormat &format) const {
    const int ramp = std::min(frames, std::max(format.SampleRate * kDeclickMs / 1000, 1));
    pcm::Ramp(block, ramp, format.BitsPerSample, format.Channels, true);
}

void TOutputWriter::DeclickEnd(std::uint8_t *block, int frames, const TPcmFormat &format) const {
    const int ramp = std::min(frames, std::max(format.SampleRate * kDeclickMs / 1000, 1));
    const int frameBytes = FrameBytes(format.BitsPerSample, format.Channels);
    pcm::Ramp(block + static_cast<std::size_t>(frames - ramp) * frameBytes, ramp,
              format.BitsPerSample, format.Channels, false);
}

// A running clock is acted on only where it turns to a time of a whole frame (elsewhere the
// listener's frame is off by a fraction); one that steps, wherever it turns. The clock turns on
// within kStillClockMs, or it stands still. A thread held up between the look that saw the turn
// and the flush lets the listener hear on meanwhile: the cut is where the listener was when the
// flush went out, so that nothing is heard twice.
TOutputClock::TurnResult TOutputWriter::FlushAtTurn(Out_Module *output, std::int64_t fromMs,
                                                    int originMs, int flushToMs,
                                                    std::int64_t &cutFrame) {
    const std::int64_t rate = history_.Rate();
    const auto wholeFrame = [&](std::int64_t ms) { return (ms - originMs) * rate % 1000 == 0; };
    return clock_.ActAtTurn(
        output, fromMs,
        [&](const TOutputClock::TTurn &turn) { return turn.Steps || wholeFrame(turn.Ms); },
        [&](const TOutputClock::TTurn &turn) {
            HvqHookPoint("skip.flush");
            // The flush took hold somewhere within its call: its middle is nearest either way.
            const std::uint64_t before = TOutputClock::NowUs();
            link_.Call([&] { output->Flush(flushToMs); });
            // The turn itself lies within kCloseLooksUs after the look that still saw it short.
            const auto lateUs = static_cast<std::int64_t>((before + TOutputClock::NowUs()) / 2 -
                                                          turn.SeenAtUs) -
                                TOutputClock::kCloseLooksUs / 2;
            const std::int64_t heldUp =
                lateUs > TOutputClock::kCloseLooksUs ? (lateUs * rate + 500'000) / 1'000'000 : 0;
            const std::optional<std::int64_t> writeEnd =
                turn.Steps ? WriteEndAt(turn, originMs) : std::nullopt;
            cutFrame = writeEnd.value_or((turn.Ms - originMs) * rate / 1000) + heldUp;
        },
        static_cast<int>(TOutputClock::kStillClockMs));
}

namespace {

// What a turn that was waited for tells of the cut; a clock that never turned in time is as one
// that stands still, and the output is flushed as it stands.
TOutputWriter::TCut CutOf(TOutputClock::TurnResult result, std::int64_t frame) {
    using Kind = TOutputWriter::TCut::Kind;
    switch (result) {
    case TOutputClock::TurnResult::Acted:
        return {Kind::At, frame};
    case TOutputClock::TurnResult::StandsStill:
    case TOutputClock::TurnResult::Failed:
        return {Kind::StandsStill, 0};
    case TOutputClock::TurnResult::Stopped:
        break;
    }
    return {};
}

} // namespace

TOutputWriter::TCut TOutputWriter::FlushAtHeardFrame(Out_Module *output, int flushToMs) {
    const std::optional<std::int64_t> planned = PlanCut(output, flushToMs);
    if (!planned) {
        const bool failed = !history_.IsValid();
        return {failed ? TCut::Kind::Failed : TCut::Kind::AllHeard, 0};
    }
    return CutAtPlannedMoment(output);
}

std::optional<std::int64_t> TOutputWriter::PlanCut(Out_Module *output, int flushToMs) {
    const std::optional<int> now = history_.IsValid() ? clock_.HeardMs(output) : std::nullopt;
    if (!now)
        return std::nullopt;
    const std::int64_t at = history_.ExactTimeFrom(std::int64_t{*now} + kSwitchLeadMs);
    const std::int64_t frame = history_.FrameAt(at);
    if (frame >= history_.Frames())
        return std::nullopt;
    oldOriginMs_ = history_.OriginMs();
    history_.Restart(flushToMs); // what follows is the new stream's
    cutAtMs_ = at;
    flushToMs_ = flushToMs;
    return frame;
}

TOutputWriter::TCut TOutputWriter::CutAtPlannedMoment(Out_Module *output) {
    const std::int64_t at = std::exchange(cutAtMs_, -1);
    std::int64_t cutFrame = 0;
    const auto result = FlushAtTurn(output, at, oldOriginMs_, flushToMs_, cutFrame);
    const TCut cut = CutOf(result, cutFrame);
    if (cut.What == TCut::Kind::StandsStill)
        link_.Call([&] { output->Flush(flushToMs_); });
    if (cut.What != TCut::Kind::Failed) {
        writes_ = 0;
        BaseMs = 0;
        CountsOwnBytes = false;
        PendingPositionMs = -1;
    }
    return cut;
}

void TOutputWriter::LetHeldRestPlayOut() {
    HeldEndMs = -1;
    Out_Module *output = HeldOutput.exchange(nullptr);
    if (!output)
        return;
    TOutputClock::TStillWatch still;
    for (;;) {
        int playing = 0, written = 0, heard = 0;
        if (!CallGuarded([&] {
                playing = output->IsPlaying();
                written = output->GetWrittenTime();
                heard = output->GetOutputTime();
            }))
            return;
        const int held = std::max(0, written - heard);
        if ((!playing && held == 0) || still.StandsStill(held))
            return;
        WaitServicingSends(nullptr, 5);
    }
}
