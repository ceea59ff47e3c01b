// The writer to the host's output plug-in: opens it in a track's format or reuses it, writes the
// blocks as the output takes them, plays it out, re-opens it for another format at the moment
// the old one runs dry, and flushes it at a frame the listener hears, for a skip. It keeps the
// last seconds it wrote (what a skip fades out from) and where the current track begins on the
// output's clock (what the host is shown as the position).
#pragma once

#include "EngineLinks.h"
#include "OutputClock.h"
#include "OutputLink.h"
#include "RequestState.h"

#include "../sound/FormatConverter.h"
#include "../sound/StreamHistory.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>

class TOutputWriter {
  public:
    // What the engine keeps of the sound it gave the output, for a skip to go on from the frame
    // the listener hears (an output's buffer beyond this loses its oldest part at a skip).
    static constexpr int kHistoryMs = 5000;
    // How far ahead of the listener a skip's flush is placed: time to trim the rest and mix.
    static constexpr int kSwitchLeadMs = 30;
    // Sound that goes on across a re-opened output (a crossfade into another format) stops for
    // the moment between the old output's last sample and the new one's first: the old output's
    // last kDeclickMs fall to silence and the new one's first rise from it, instead of a click.
    static constexpr int kDeclickMs = 1;

    TOutputWriter(const TEngineLinks &links, TRequestState &state, TOutputLink &link,
                  TOutputClock &clock)
        : links_(links), state_(state), link_(link), clock_(clock) {}

    // ---- the open output (playback thread)
    Out_Module *Opened() const { return opened_; }
    TPcmFormat OpenedFormat() const { return openedFormat_; }
    bool IsOpenFor(Out_Module *output, const TPcmFormat &format) const {
        return opened_ == output && openedFormat_ == format;
    }
    // Another plug-in opened and closed the output meanwhile: it is not ours to close, nor open.
    void ForgetIfUsedElsewhere();
    // Opens the output in the format: answers its latency, below 0 when it could not be opened.
    int Open(Out_Module *output, const TPcmFormat &format);
    // The output still plays the last track in another format: it is re-opened in this one once
    // the first block of the new track is ready (ReopenNow), after it has played out.
    void ScheduleReopen(const TPcmFormat &format);
    bool ReopenPending() const { return reopenPending_; }
    bool ReopenNow(Out_Module *output);
    void CloseOpened();
    // Writes the first block of a request on the open output of the same format: after what
    // it still holds (the stream goes on), or from a restarted clock when it holds nothing.
    void ContinueOrRestart(Out_Module *output);
    // The current track writes on after what the output holds; its times count from there.
    bool ContinueStream(Out_Module *output);
    void Flush(Out_Module *output, int toMs);

    // ---- writing (playback thread)
    // Writes a block in pieces the output plug-in contract allows, each after its own room
    // check; false when the request is stopped meanwhile or the output fails.
    bool WriteBlock(Out_Module *output, std::uint8_t *data, int bytes, int pauseMs);
    // Waits until the output holds at most leadMs of sound (with a lead, also once it says it
    // wants the next track), until a stop or a skip, or until its clock stands still.
    void PlayOut(Out_Module *output, int pauseMs, int leadMs);
    // The written time of the current track on its own clock.
    int TrackWrittenMs(Out_Module *output, std::int64_t trackBytes, int bytesPerSecond);
    // The de-click of a block around a re-open: the new output's first kDeclickMs rise, the old
    // one's last fall.
    void DeclickStart(std::uint8_t *block, int frames, const TPcmFormat &format) const;
    void DeclickEnd(std::uint8_t *block, int frames, const TPcmFormat &format) const;

    // ---- the sound given to the output, for a skip (playback thread)
    TStreamHistory &History() { return history_; }
    // A skip's flush at the frame the listener hears: made the moment the output's clock turns,
    // a little ahead (kSwitchLeadMs), to a time it can tell the listener's frame by (a running
    // clock: a time of a whole frame; one that steps: wherever it turns). A turn the thread sees
    // only late (held up on the way) is let pass for the next one. The history then counts the
    // new stream from flushToMs.
    struct TCut {
        enum class Kind {
            At,          // flushed where the old stream's frame Frame begins (the history's numbers)
            AllHeard,    // the output plays out all it holds before then: nothing flushed
            StandsStill, // the clock stood still: flushed as it stood, the frame unknown
            Failed,      // no history, the output failed or the request was stopped
        } What = Kind::Failed;
        std::int64_t Frame = 0;
    };
    TCut FlushAtHeardFrame(Out_Module *output, int flushToMs);
    // The same in two steps, for a block to follow the flush at once: the frame planned (a
    // little ahead, at a time of a whole frame) and the history counting the new stream from
    // flushToMs; none, planning nothing, when the output plays out all it holds before then.
    std::optional<std::int64_t> PlanCut(Out_Module *output, int flushToMs);
    bool CutPlanned() const { return cutAtMs_ >= 0; }
    int PlannedFlushToMs() const { return flushToMs_; }
    // Then, with the block ready, the flush at the planned turn of the clock, or at the first
    // such turn after it (the thread held up, or a clock that steps past it): the frame cut at
    // may then differ from the one planned.
    TCut CutAtPlannedMoment(Out_Module *output);

    // ---- what the host is shown, and the rest a track leaves in the output
    // The output's clock where the current track begins (0 after an Open, a Flush or a seek):
    // playback writes it, the host's thread reads it for the position.
    std::atomic<int> BaseMs{0};
    // The position the host is told until the output's clock tells the new track's: its own
    // (0, or where the host sought); -1 when the clock tells. The host's Play sets it (and a
    // seek moves it); the request it was set for clears it where the clock takes over (its cut,
    // the output's Open, the stream written on after what the output holds), a stop clears it.
    std::atomic<int> PendingPositionMs{-1};
    // Where the last track ended on the output's clock while the output still holds its rest,
    // for the next request; -1 and null when nothing is held. Playback writes them; the host's
    // thread clears them when a stop or another plug-in takes the output.
    std::atomic<int> HeldEndMs{-1};
    std::atomic<Out_Module *> HeldOutput{nullptr};
    void ForgetHeld() {
        HeldEndMs = -1;
        HeldOutput = nullptr;
    }
    // The track's written time counts its own bytes while it continues the stream (its base is
    // not 0), so that its times are exactly what a restarted output's would be.
    bool CountsOwnBytes = false;
    // Host's thread, before another plug-in takes the output: the rest of the engine's last
    // track is heard first. The playback thread is idle then.
    void LetHeldRestPlayOut();

  private:
    // Waits until the output takes bytes and answers them; 0 when the request is stopped or the
    // output fails.
    int WaitForRoom(Out_Module *output, int bytes, int frameBytes, int pauseMs);
    void PrepareHistory(TStreamHistory &history, const TPcmFormat &format) const;

    const TEngineLinks &links_;
    TRequestState &state_;
    TOutputLink &link_;
    TOutputClock &clock_;
    Out_Module *opened_ = nullptr;
    TPcmFormat openedFormat_{};
    TPcmFormat reopenFormat_{};
    bool reopenPending_ = false;
    // The sound given to the open output since its Open or last Flush; and the one made ready
    // for an output to be re-opened in another format.
    TStreamHistory history_;
    TStreamHistory nextHistory_;
    // The planned cut: the clock's time it is due at, the time the flush restarts the clock at,
    // and the history's origin before it (the old stream's frames are numbered from there).
    std::int64_t cutAtMs_ = -1;
    int flushToMs_ = 0;
    int oldOriginMs_ = 0;
    // Where the latest writes ended, in the history's frames: an output whose clock steps a
    // whole write at a time tells these, and the frame heard at its turn is one of them.
    std::array<std::int64_t, 64> writeEnds_{};
    std::size_t writes_ = 0;
    void NoteWriteEnd(std::int64_t frame) { writeEnds_[writes_++ % writeEnds_.size()] = frame; }
    // The frame the listener is at as a stepping clock turns: the end of the write whose time it
    // turned to, where the time before it was the end of the write before; none otherwise.
    std::optional<std::int64_t> WriteEndAt(const TOutputClock::TTurn &turn, int originMs) const;
    // Waits for the clock to turn to a time it tells the listener's frame by, at or after fromMs,
    // and flushes then; sets the frame (numbered from originMs) the listener was at.
    TOutputClock::TurnResult FlushAtTurn(Out_Module *output, std::int64_t fromMs, int originMs,
                                         int flushToMs, std::int64_t &cutFrame);
};
