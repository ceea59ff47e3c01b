// The play request: adopt the decoder, open or reuse the output, then read, mix, hand to the
// host's DSP and visualisation, and write block by block until the track ends or is stopped.
#include "InPluginPlaybackThreadUnit.h"

#include "../sound/FadeOutConversion.h"

#include "../hostlink/FaultGuard.h"
#include "../sound/BlockMath.h"

#include <algorithm>

using namespace blockmath;

// Holds IsPlaying for the whole request, whatever way it ends.
class TInPluginPlaybackThread::IsPlayingBomb {
  public:
    explicit IsPlayingBomb(TInPluginPlaybackThread &thread) : thread_(thread) {
        thread_.IsPlaying = true;
    }
    ~IsPlayingBomb() { thread_.IsPlaying = false; }
    IsPlayingBomb(const IsPlayingBomb &) = delete;
    IsPlayingBomb &operator=(const IsPlayingBomb &) = delete;

  private:
    TInPluginPlaybackThread &thread_;
};

namespace {

// A call into the host or another plug-in from the block loop; false when it raised anything.
template <class F> bool Foreign(F &&call) noexcept {
    try {
        return CallGuarded(std::forward<F>(call));
    } catch (...) {
        return false;
    }
}

} // namespace

void TInPluginPlaybackThread::PostEndOfTrack() const {
    PostMessageA(Module.hMainWindow, hostapi::WM_WA_MPEG_EOF, 0, 0);
}

bool TInPluginPlaybackThread::KeepsGoing() const {
    return IsPlaying && !Stopped() && !skipRequested_;
}

bool TInPluginPlaybackThread::WaitWhilePaused() const {
    bool waited = false;
    for (; Paused && KeepsGoing(); waited = true)
        Sleep(5);
    return waited;
}

void TInPluginPlaybackThread::CloseOpenedOutput() {
    if (Out_Module *opened = std::exchange(OpenedOutModule, nullptr))
        CallOutput([&] { opened->Close(); });
}

bool TInPluginPlaybackThread::HandlePlayRequest(const std::wstring &fileName, TPreLoadPtr record) {
    if (IsPlaying)
        return false; // the record closes its decoder on the way out
    IsPlayingBomb playing(*this);
    StopRequested = false;
    // A seek given between Play and now is this track's: Play cleared any older one.
    RequestQueued = false;
    OutModule = Module.outMod;

    Out_Module *output = OutModule.load();
    if (!output || fileName.empty() || !AdoptDecoder(fileName, std::move(record)))
        return GiveUpRequest();
    Decoder.KillSwitch = reinterpret_cast<int *>(&decoderKill_);
    // A fade goes only into the track its hand-over prepared, or a skip's into the skip's Play.
    skipFadeRunning_ = TakeSkipSource(requestIsSkip_);
    if (Crossfade.Source && !skipFadeRunning_ && fileName != fadeInto_)
        Crossfade.ReleaseSource();
    LengthMs = Decoder.LengthMs;
    playingFile_ = fileName;
    const int blockBytes =
        BlockBytesFor(Decoder.SampleRate, Decoder.BitsPerSample, Decoder.Channels);
    blockBytes_ = blockBytes;
    recentFrames_.Reset(FrameBytes(Decoder.BitsPerSample, Decoder.Channels));
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(blockBytes) * 2);
    output = Module.outMod ? Module.outMod : output;
    OutModule = output;

    reopenPending_ = false;
    if (PrepareOutput(output) < 0)
        return OutputFailed();

    Crossfade.Armed = true;
    tooShortForFade_ = LengthMs < MinFileSizeMs();
    RestartLeadingSilence(Crossfade.Source && LookAheadWishes().SkipSilence);
    PrepareLookAheads(fileName);
    struct TFinishLookAheads {
        TEdgeLookAhead &End, &NextStart;
        ~TFinishLookAheads() {
            End.Finish();
            NextStart.Finish();
        }
    } finishLookAheads{lookAhead_, nextStart_};
    const int pauseMs =
        BlockDurationMs(blockBytes, Decoder.BitsPerSample, Decoder.Channels, Decoder.SampleRate);
    skippable_ = true;
    const LoopEnd end = RunBlockLoop(output, buffer, blockBytes);
    skippable_ = false;
    pendingPositionMs_ = -1;
    if (end == LoopEnd::OutputFailed)
        return OutputFailed();
    if (end == LoopEnd::Skipped || skipRequested_)
        return EndAsSkipped(output);
    Decoder.Close(); // a decoder handed over to the crossfade is no longer ours to close
    if (end == LoopEnd::Stopped)
        return EndAsStopped(output);
    return EndOfTrack(output, pauseMs);
}

// A stopped request flushes and closes the output and lets go of everything it prepared for a
// next track: the host plays whatever comes next on its own. The next entry opened at the end of
// the track as the user's stop came goes too (the stop itself may have looked before it was
// there); after the host's own stop it waits for the host's Play.
bool TInPluginPlaybackThread::EndAsStopped(Out_Module *output) {
    if (StopRequested.exchange(false))
        FreePreLoad(NextPreLoad.Take());
    CallOutput([&] { output->Flush(0); });
    CloseOpenedOutput();
    Crossfade.ReleaseSource();
    FreePreLoad(std::move(FadePreLoad));
    if (Module.SAVSADeInit)
        Foreign([this] { Module.SAVSADeInit(); });
    return false;
}

bool TInPluginPlaybackThread::OutputFailed() {
    if (Module.SetInfo)
        Foreign([this] { Module.SetInfo(0, 0, -1, 0); });
    return GiveUpRequest();
}

// A request that cannot play: nothing is written, and the host is told to move on.
bool TInPluginPlaybackThread::GiveUpRequest() {
    CloseOpenedOutput();
    Decoder.Close();
    return true;
}

// The request's decoder: the prepared record's, or one opened here for a plug-in that can also
// seek. False when there is none.
bool TInPluginPlaybackThread::AdoptDecoder(const std::wstring &fileName, TPreLoadPtr record) {
    if (record) {
        Decoder = std::move(record->Decoder);
        return Decoder.IsOpen();
    }
    THookedInPlugin *plugin = OwnerOf(fileName);
    if (!plugin)
        return false;
    auto decoder = OpenDecoder(*plugin, fileName, {0, true, 0});
    if (!decoder)
        return false;
    Decoder = std::move(*decoder);
    return true;
}

// The previous track may still sound from the output: the new one is written after it, and its
// times count from its own first sample. An output that holds nothing restarts its clock instead,
// as when tracks were not continued.
void TInPluginPlaybackThread::ContinueOrRestart(Out_Module *output) {
    heldEndMs_ = -1;
    heldOutput_ = nullptr;
    int playing = 0;
    CallOutput([&] { playing = output->IsPlaying(); });
    if ((playing || HeldMs(output) > 0) && ContinueStream(output))
        return;
    CallOutput([&] { output->Flush(0); });
    history_.Restart(0);
    outputBaseMs_ = 0;
    countsOwnBytes_ = false;
}

int TInPluginPlaybackThread::HeldMs(Out_Module *output) {
    int written = 0, heard = 0;
    if (!CallOutput([&] { written = output->GetWrittenTime(); }) ||
        !CallOutput([&] { heard = output->GetOutputTime(); }))
        return -1;
    return std::max(0, written - heard);
}

int TInPluginPlaybackThread::TrackWrittenMs(Out_Module *output, std::int64_t trackBytes,
                                            int bytesPerSecond) {
    if (countsOwnBytes_)
        return bytesPerSecond > 0 ? static_cast<int>(trackBytes * 1000 / bytesPerSecond) : 0;
    int written = 0;
    CallOutput([&] { written = output->GetWrittenTime(); });
    return written;
}

// Opens the output for the track's format, or reuses the open one. Answers the latency, below 0
// when the output could not be opened.
int TInPluginPlaybackThread::PrepareOutput(Out_Module *output) {
    const int bits = Decoder.BitsPerSample, channels = Decoder.Channels, rate = Decoder.SampleRate;
    // Another plug-in opened and closed it meanwhile: it is not ours to close, nor open.
    if (outputUsedElsewhere_.exchange(false))
        OpenedOutModule = nullptr;
    if (OpenedOutModule == output && OpenedBits == bits && OpenedChannels == channels &&
        OpenedRate == rate) {
        // After a skip the output plays the skipped track on until the first mixed block,
        // which restarts its clock.
        flushBeforeFirstBlock_ = skipFadeRunning_;
        if (!flushBeforeFirstBlock_) {
            ContinueOrRestart(output);
            return 0;
        }
        heldEndMs_ = -1;
        heldOutput_ = nullptr;
        outputBaseMs_ = 0;
        countsOwnBytes_ = false;
        return 0;
    }
    // Another format (or output): the skip stops as any stop unless the option lets the
    // skipped stream go on converted, from the frame where the old output is flushed.
    if (skipFadeRunning_) {
        const bool goesOnConverted = FadeAcrossFormats() && Crossfade.Source &&
                                     CanFade(FormatOf(*Crossfade.Source), PlayingFormat());
        if (!goesOnConverted) {
            skipFadeRunning_ = false;
            Crossfade.ReleaseSource();
        }
        // An output that plays out all it holds before the flush could come is played out below.
        if (OpenedOutModule && goesOnConverted && OpenedOutModule == output)
            FlushAtHeardFrame(OpenedOutModule, 0);
        else if (OpenedOutModule)
            CallOutput([&] { OpenedOutModule->Flush(0); });
        pendingPositionMs_ = -1;
    }
    heldEndMs_ = -1;
    heldOutput_ = nullptr;
    countsOwnBytes_ = false;
    // What the previous track left in the output is heard before it closes: the new track's
    // first block is mixed meanwhile, and the output re-opened just before it is written.
    reopenPending_ = OpenedOutModule != nullptr;
    if (!reopenPending_)
        return OpenInTrackFormat(output);
    // Made now, not in the moment the output stands silent between its Close and Open.
    PrepareHistory(nextHistory_);
    return 0;
}

void TInPluginPlaybackThread::PrepareHistory(TStreamHistory &history) const {
    const int frameBytes = FrameBytes(Decoder.BitsPerSample, Decoder.Channels);
    const int rate = Decoder.SampleRate;
    history.Prepare(frameBytes, rate,
                    static_cast<int>(std::min<std::int64_t>(std::int64_t{rate} * kHistoryMs / 1000,
                                                            (64 << 20) / frameBytes)));
}

bool TInPluginPlaybackThread::ReopenOutput(Out_Module *output) {
    reopenPending_ = false;
    if (OpenedOutModule) {
        PlayOut(OpenedOutModule, 5, 0);
        CloseOpenedOutput();
        if (Module.SAVSADeInit)
            Foreign([this] { Module.SAVSADeInit(); });
    }
    return OpenInTrackFormat(output) >= 0;
}

int TInPluginPlaybackThread::OpenInTrackFormat(Out_Module *output) {
    const int bits = Decoder.BitsPerSample, channels = Decoder.Channels, rate = Decoder.SampleRate;
    outputBaseMs_ = 0;
    pendingPositionMs_ = -1;
    OpenedOutModule = output;
    OpenedBits = bits;
    OpenedChannels = channels;
    OpenedRate = rate;
    if (nextHistory_.FrameBytes() == FrameBytes(bits, channels) && nextHistory_.Rate() == rate) {
        std::swap(history_, nextHistory_);
        history_.Restart(0);
    } else {
        PrepareHistory(history_);
    }
    int latency = -1;
    if (!CallOutput([&] { latency = output->Open(rate, channels, bits, -1, -1); }))
        latency = -1;
    if (latency < 0)
        return latency;
    if (Module.SetInfo) {
        const int kbps = KbpsFor(bits, rate, channels), khz = KhzFor(rate);
        Foreign([&] { Module.SetInfo(kbps, khz, channels, 1); });
    }
    if (Module.SAVSAInit)
        Foreign([&] { Module.SAVSAInit(latency, rate); });
    if (Module.VSASetInfo)
        Foreign([&] { Module.VSASetInfo(rate, channels); });
    return latency;
}

TInPluginPlaybackThread::LoopEnd
TInPluginPlaybackThread::RunBlockLoop(Out_Module *output, std::vector<std::uint8_t> &buffer,
                                      int blockBytes) {
    const int bits = Decoder.BitsPerSample, channels = Decoder.Channels, rate = Decoder.SampleRate;
    const int frameBytes = FrameBytes(bits, channels);
    const int bytesPerSecond = frameBytes * rate;
    int pauseMs = 0;
    std::int64_t trackBytes = 0; // written since the track began
    decodedFromMs_ = 0;
    decodedFrames_ = 0;
    flushAtMs_ = -1;
    for (;;) {
        WaitWhilePaused();
        if (skipRequested_)
            return LoopEnd::Skipped;
        if (SeekPending.exchange(false)) {
            const int target = SeekTargetMs.load();
            const auto seek = Decoder.SetTime(target);
            if (seek == TDecoder::SeekResult::Failed)
                return LoopEnd::RanOut;
            if (seek == TDecoder::SeekResult::Moved) {
                if (reopenPending_ && !ReopenOutput(output))
                    return LoopEnd::OutputFailed;
                // Whatever the output still held of the previous track goes with it; right after
                // a skip the skipped track fades on from the frame where it will be flushed.
                if (!std::exchange(flushBeforeFirstBlock_, false) ||
                    !PlanFlushAtHeardFrame(output, target)) {
                    CallOutput([&] { output->Flush(target); });
                    history_.Restart(target);
                    outputBaseMs_ = 0;
                    countsOwnBytes_ = false;
                    pendingPositionMs_ = -1;
                }
                decodedFromMs_ = target;
                decodedFrames_ = 0;
                // The output's clock counts from the target now: silence read past before it
                // no longer counts.
                RestartLeadingSilence(false);
                recentFrames_.Clear();
            }
        }
        int bytes = Decoder.ReadFrames(buffer.data(), blockBytes);
        // A track silent to its end plays as it is.
        if (bytes < 1 && trimsLeadingSilence_ && !Stopped() && PlayFromItsStart())
            continue;
        // A stop while the decoder read: nothing more reaches the host or its output.
        if (bytes < 1 || Stopped())
            return Stopped() ? LoopEnd::Stopped : LoopEnd::RanOut;
        int frames = bytes / frameBytes;
        decodedFrames_ += frames;
        recentFrames_.Keep(buffer.data(), frames * frameBytes);
        if (trimsLeadingSilence_) {
            frames = SkipLeadingSilence(buffer.data(), frames);
            if (frames == 0)
                continue;
            bytes = frames * frameBytes;
        }
        // After a skip the output holds the skipped track until this first block goes in.
        if (std::exchange(flushBeforeFirstBlock_, false) && !PlanFlushAtHeardFrame(output, 0))
            ContinueStream(output);
        const int written = flushAtMs_ >= 0 ? flushToMs_
                            : reopenPending_ ? 0
                                             : TrackWrittenMs(output, trackBytes, bytesPerSecond);

        frames = MixIncoming(buffer.data(), frames);
        const bool handedOver = FadeOutTrigger(written + skippedLeadMs_.load());
        DeclickAroundReopen(buffer.data(), frames, handedOver);
        history_.Append(buffer.data(), frames);

        if (Module.dsp_isactive && Module.dsp_dosamples) {
            int active = 0;
            if (!Foreign([&] { active = Module.dsp_isactive(); }))
                return LoopEnd::RanOut;
            if (active) {
                auto *samples = reinterpret_cast<short *>(buffer.data());
                const int given = frames;
                if (!Foreign([&] {
                        frames = Module.dsp_dosamples(samples, frames, bits, channels, rate);
                    }))
                    return LoopEnd::RanOut;
                if (frames != given)
                    history_.Invalidate();
                // The host's DSP may at most double a block: that is the room the buffer has.
                frames = std::clamp(frames, 0, 2 * blockBytes / frameBytes);
                bytes = frames * frameBytes;
            }
        }
        if (reopenPending_ && !ReopenOutput(output))
            return LoopEnd::OutputFailed;
        char *data = reinterpret_cast<char *>(buffer.data());
        if (Module.SAAddPCMData &&
            !Foreign([&] { Module.SAAddPCMData(data, channels, bits, written); }))
            return LoopEnd::RanOut;
        if (Module.VSAAddPCMData &&
            !Foreign([&] { Module.VSAAddPCMData(data, channels, bits, written); }))
            return LoopEnd::RanOut;

        // The planned flush comes with the block ready: the output never holds nothing.
        if (flushAtMs_ >= 0)
            FlushAtPlannedMoment(output);
        if (!WriteBlock(output, buffer.data(), bytes, pauseMs)) {
            if (skipRequested_ && !Stopped())
                return LoopEnd::Skipped;
            return Stopped() || !IsPlaying ? LoopEnd::Stopped : LoopEnd::RanOut;
        }
        trackBytes += bytes;
        pauseMs = BlockDurationMs(bytes, bits, channels, rate);
        if (handedOver)
            return LoopEnd::HandedOver;
        if (Stopped() || !IsPlaying)
            return LoopEnd::Stopped;
    }
}

// Writes a block in pieces the output plug-in contract allows, each after its own room check.
// False when the request is stopped meanwhile or the output fails.
bool TInPluginPlaybackThread::WriteBlock(Out_Module *output, std::uint8_t *data, int bytes,
                                         int pauseMs) {
    const int frameBytes = FrameBytes(Decoder.BitsPerSample, Decoder.Channels);
    const int piece = MaxWritePiece(frameBytes);
    for (int offset = 0; offset < bytes;) {
        const int room = WaitForRoom(output, std::min(piece, bytes - offset), frameBytes, pauseMs);
        if (room <= 0)
            return false;
        char *chunk = reinterpret_cast<char *>(data + offset);
        int refused = 0;
        for (;;) {
            if (!CallOutput([&] { refused = output->Write(chunk, room); }))
                return false;
            if (refused <= 0)
                break;
            if (!KeepsGoing())
                return false;
            Sleep(static_cast<DWORD>(pauseMs));
            WaitWhilePaused();
        }
        offset += room;
    }
    return true;
}

// Waits until the output takes bytes and answers them; 0 when the request is stopped or the
// output fails. An output whose whole buffer is smaller than the piece (a 4096-byte block of a
// 1 kHz track, say) never finds that room: once it holds nothing, it gets what fits.
int TInPluginPlaybackThread::WaitForRoom(Out_Module *output, int bytes, int frameBytes,
                                         int pauseMs) {
    for (;;) {
        int room = 0;
        if (!CallOutput([&] { room = output->CanWrite(); }))
            return 0;
        if (room >= bytes)
            return bytes;
        if (!KeepsGoing())
            return 0;
        int playing = 1;
        if (room >= frameBytes && CallOutput([&] { playing = output->IsPlaying(); }) && !playing)
            return room - room % frameBytes;
        // The output is full: a moment to read ahead at the track's end, then the next one's start.
        if (lookAhead_.Wanted())
            lookAhead_.Work(HeldMs(output));
        else if (nextStart_.Wanted())
            nextStart_.Work(HeldMs(output));
        Sleep(static_cast<DWORD>(pauseMs));
        WaitWhilePaused();
    }
}

// The track ran out (or went on into a crossfade): prepare the next one, then tell the host
// (answers whether to). When the next track continues the stream, the host is told while the
// output still holds the last moments of this one, so that the next track's first block follows
// them without a gap and nothing is flushed away; otherwise the output plays out first, and a
// next entry the engine cannot open closes it. A stop meanwhile ends the request as a stop.
bool TInPluginPlaybackThread::EndOfTrack(Out_Module *output, int pauseMs) {
    if (NextPreLoad.IsEmpty())
        NextPreLoad.Put(TakeNextPreLoad());
    const bool continues = NextTrackContinues(output);
    // A next track of another format re-opens the output only once its first block is ready:
    // the host is told as early as when the stream goes on, and the output plays out meanwhile.
    const bool reopensForNext = !continues && NextIsTheEngines(output);
    skippable_ = true;
    PlayOut(output, pauseMs, continues || reopensForNext ? kHandOverLeadMs : 0);
    skippable_ = false;
    if (skipRequested_ && !Stopped())
        return EndAsSkipped(output);
    if (Stopped())
        return EndAsStopped(output);
    int written = 0;
    if (continues && CallOutput([&] { written = output->GetWrittenTime(); })) {
        heldEndMs_ = written;
        heldOutput_ = output;
        return true;
    }
    if (reopensForNext) {
        heldOutput_ = output; // heard out before another plug-in may take the output
        return true;
    }
    if (StopRequested) {
        OpenedOutModule = nullptr;
        CallOutput([&] { output->Close(); });
    }
    return true;
}

// An output whose clock does not move (though neither paused by the host nor stopped) is not
// waited for beyond kStillClockMs, even while it says it plays.
void TInPluginPlaybackThread::PlayOut(Out_Module *output, int pauseMs, int leadMs) {
    TStillClock clock;
    for (;;) {
        int playing = 0;
        if (Stopped() || skipRequested_ || !CallOutput([&] { playing = output->IsPlaying(); }))
            return;
        const int held = HeldMs(output);
        if (held < 0)
            return;
        if (leadMs > 0 ? !playing || held <= leadMs : !playing && held == 0)
            return;
        if (clock.StandsStill(held))
            return;
        // Close to the moment it waits for, it looks again at once: an output played out to be
        // re-opened is silent from its last sample until the next track's first. (Milliseconds
        // are whole, a sleep of one takes a little longer, and a yield may take as long.)
        const int left = held - leadMs;
        if (left > 2)
            Sleep(static_cast<DWORD>(std::clamp(left - 2, 1, std::max(pauseMs, 1))));
        if (WaitWhilePaused())
            clock.Restart();
    }
}
