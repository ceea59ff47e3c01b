#include "PlayRequest.h"

#include "../hookedins/HookedInsUnit.h"
#include "../hostlink/FaultGuard.h"
#include "../hostlink/TestHooks.h"
#include "../sound/BlockMath.h"
#include "../sound/FadeOutChain.h"
#include "../sound/FadeOutConversion.h"
#include "../sound/Resampler.h"

#include <windows.h>

#include <algorithm>
#include <climits>

using namespace blockmath;
using transition::Entry;
using transition::Kind;
using transition::Output;

namespace {

// When the next track continues the stream, the host is told a track ended once the output
// holds no more than this: time enough for the host to ask for the next file and for its first
// block to follow, while the host's display changes near where the listener hears it.
constexpr int kHandOverLeadMs = 200;
// The longest the block loop waits for the look-ahead on an output that takes everything at
// once: nobody listens in real time there, and the transitions are to be the same.
constexpr int kAwaitOnFastOutputMs = 20000;
// How long the end of a track waits for the next entry's decoder that is still being opened.
constexpr int kAwaitOpenAtEndMs = 5000;

// Holds IsPlaying for the whole request, whatever way it ends.
class TIsPlayingBomb {
  public:
    explicit TIsPlayingBomb(TRequestState &state) : state_(state) { state_.IsPlaying = true; }
    ~TIsPlayingBomb() { state_.IsPlaying = false; }
    TIsPlayingBomb(const TIsPlayingBomb &) = delete;
    TIsPlayingBomb &operator=(const TIsPlayingBomb &) = delete;

  private:
    TRequestState &state_;
};

// A call into the host or another plug-in from the block loop; false when it raised anything.
template <class F> bool Foreign(F &&call) noexcept {
    try {
        return CallGuarded(std::forward<F>(call));
    } catch (...) {
        return false;
    }
}

TPcmFormat FormatOfDecoder(const TDecoder &decoder) {
    return {decoder.BitsPerSample, decoder.Channels, decoder.SampleRate};
}

// The outgoing track's decoder, read by the mixer after its request ended.
class TDecoderFadeOutSource : public TFadeOutSource {
  public:
    TDecoderFadeOutSource(TDecoder decoder, int blockBytes, int remainingMs, int *killSwitch)
        : decoder_(std::move(decoder)) {
        decoder_.KillSwitch = killSwitch;
        BitsPerSample = decoder_.BitsPerSample;
        Channels = decoder_.Channels;
        SampleRate = decoder_.SampleRate;
        SizeBytes = decoder_.SizeBytes;
        BlockBytes = blockBytes;
        RemainingMs = remainingMs;
    }
    int GetData(std::uint8_t *destination, int length) override {
        return decoder_.ReadFrames(destination, length);
    }
    void Close() noexcept override { decoder_.Close(); }

  private:
    TDecoder decoder_;
};

std::unique_ptr<TFadeOutSource> DecoderSource(TDecoder decoder, int blockBytes, int remainingMs,
                                              std::atomic<int> &killSwitch) {
    return std::make_unique<TDecoderFadeOutSource>(std::move(decoder), blockBytes, remainingMs,
                                                   reinterpret_cast<int *>(&killSwitch));
}

std::uint64_t Ticks() {
    return GetTickCount64();
}

// A nap while waiting for the look-ahead, no longer than the time left.
int NapUntil(std::uint64_t until) {
    const std::uint64_t now = Ticks();
    return static_cast<int>(std::min<std::uint64_t>(until > now ? until - now : 0, 50));
}

} // namespace

TPcmFormat TPlayRequest::PlayingFormat() const {
    return FormatOfDecoder(r_.Reader.Decoder);
}

TPlayRequest::TEnd TPlayRequest::Run(const std::wstring &fileName, TPreLoadPtr record,
                                     bool skip) {
    TRequestState &state = r_.State;
    if (state.IsPlaying)
        return {}; // the record closes its decoder on the way out
    TIsPlayingBomb playing(state);
    state.StopRequested = false;
    // A seek given between Play and now is this track's: Play cleared any older one.
    state.RequestQueued = false;
    r_.Link.Restore();
    In_Module &module = *r_.Links.Module;
    state.OutModule = module.outMod;
    Out_Module *output = state.OutModule;
    if (!output || fileName.empty() || !AdoptDecoder(fileName, std::move(record)))
        return GiveUp();
    TDecoder &decoder = r_.Reader.Decoder;
    decoder.KillSwitch = reinterpret_cast<int *>(&state.DecoderKill);
    // A fade goes only into the track its hand-over prepared, or a skip's into the skip's Play.
    skipFadeRunning_ = TakeSkipSource(skip);
    if (r_.Crossfade.Source && !skipFadeRunning_ && fileName != r_.Next.FadeInto)
        r_.Crossfade.ReleaseSource();
    state.LengthMs = decoder.LengthMs;
    playingFile_ = fileName;
    const TLookAheadWishes wishes = r_.Settings.LookAheadWishes();
    const bool trimsLead =
        wishes.SkipSilence && (r_.Crossfade.Source != nullptr || trimsLeadOf_ == fileName);
    trimsLeadOf_.clear();
    r_.Reader.Start(trimsLead, wishes.SilenceThresholdDb);
    buffer_.assign(static_cast<std::size_t>(r_.Reader.BlockBytes()) * 2, 0);
    unmixed_.assign(buffer_.size(), 0);
    firstBlock_ = true;
    output = module.outMod ? module.outMod : output;
    state.OutModule = output;
    if (PrepareOutput(output) < 0)
        return OutputFailed();

    r_.Crossfade.Armed = true;
    transition_ = {};
    transitionDone_ = false;
    r_.Next.BeginTrack(decoder.Plugin, fileName, decoder);
    const int pauseMs = BlockDurationMs(r_.Reader.BlockBytes(), decoder.BitsPerSample,
                                        decoder.Channels, decoder.SampleRate);
    state.Skippable = true;
    const LoopEnd end = RunBlockLoop(output);
    state.Skippable = false;
    if (end == LoopEnd::OutputFailed)
        return OutputFailed();
    if (end == LoopEnd::Skipped || state.SkipRequested)
        return EndAsSkipped(output);
    decoder.Close(); // a decoder handed over to the crossfade is no longer ours to close
    if (end == LoopEnd::Stopped)
        return EndAsStopped(output);
    return EndOfTrack(output, pauseMs);
}

// The request's decoder: the prepared record's, or one opened here for a plug-in that can also
// seek. False when there is none.
bool TPlayRequest::AdoptDecoder(const std::wstring &fileName, TPreLoadPtr record) {
    TDecoder &decoder = r_.Reader.Decoder;
    if (record) {
        decoder = std::move(record->Decoder);
        return decoder.IsOpen();
    }
    THookedInPlugins *registry = r_.Links.Registry;
    THookedInPlugin *plugin = registry ? registry->FindForFile(fileName.c_str()) : nullptr;
    if (!plugin)
        return false;
    auto opened = OpenDecoder(*plugin, fileName, {0, true, 0});
    if (!opened)
        return false;
    decoder = std::move(*opened);
    return true;
}

int TPlayRequest::PrepareOutput(Out_Module *output) {
    TOutputWriter &writer = r_.Writer;
    const TPcmFormat format = PlayingFormat();
    writer.ForgetIfUsedElsewhere();
    flushBeforeFirstBlock_ = false;
    if (writer.IsOpenFor(output, format)) {
        // After a skip the output plays the skipped track on until the first mixed block.
        if (!skipFadeRunning_) {
            writer.ContinueOrRestart(output);
            return 0;
        }
        flushBeforeFirstBlock_ = true;
        writer.ForgetHeld();
        writer.BaseMs = 0;
        writer.CountsOwnBytes = false;
        return 0;
    }
    // Another format (or output): the skip stops as any stop unless the option lets the
    // skipped stream go on converted, from the frame where the old output is flushed.
    if (skipFadeRunning_) {
        TCrossfadeState &crossfade = r_.Crossfade;
        const bool goesOnConverted =
            r_.Settings.FadeAcrossFormats() && crossfade.Source &&
            (FormatOf(*crossfade.Source) == format || CanConvertFadeOut(*crossfade.Source, format));
        if (!goesOnConverted) {
            skipFadeRunning_ = false;
            crossfade.ReleaseSource();
        }
        // An output that plays out all it holds before the flush could come is played out below.
        Out_Module *opened = writer.Opened();
        if (opened && goesOnConverted && opened == output) {
            TUrgentThread urgent;
            CutOverSkip(opened, 0);
        }
        else if (opened)
            r_.Link.Call([&] { opened->Flush(0); });
        writer.PendingPositionMs = -1;
    }
    writer.ForgetHeld();
    writer.CountsOwnBytes = false;
    // What the previous track left in the output is heard before it closes: the new track's
    // first block is mixed meanwhile, and the output re-opened just before it is written.
    if (!writer.Opened())
        return writer.Open(output, format);
    writer.ScheduleReopen(format);
    return 0;
}

void TPlayRequest::PlanSkipCut(Out_Module *output, int flushToMs) {
    auto *rest = dynamic_cast<TUnheardRestSource *>(r_.Crossfade.Source.get());
    const std::optional<std::int64_t> planned = r_.Writer.PlanCut(output, flushToMs);
    if (!planned) {
        // All of it is heard from the output: the stream goes on after it.
        if (rest)
            rest->StartAt(rest->EndFrame());
        if (flushToMs == 0)
            r_.Writer.ContinueStream(output);
        else
            r_.Writer.Flush(output, flushToMs);
        return;
    }
    if (rest)
        rest->StartAt(*planned);
    plannedCutFrame_ = *planned;
}

int TPlayRequest::FinishSkipCut(Out_Module *output, int frames) {
    using Cut = TOutputWriter::TCut::Kind;
    const TOutputWriter::TCut cut = r_.Writer.CutAtPlannedMoment(output);
    if (cut.What == Cut::Failed || (cut.What == Cut::At && cut.Frame == plannedCutFrame_))
        return frames;
    TCrossfadeState &crossfade = r_.Crossfade;
    if (cut.What == Cut::At) {
        if (auto *rest = dynamic_cast<TUnheardRestSource *>(crossfade.Source.get()))
            rest->RewindTo(cut.Frame);
        crossfade.RestartFade();
    } else { // the clock stood still: no fade from a frame nobody can name, the cut
        skipFadeRunning_ = false;
        crossfade.ReleaseSource();
    }
    const int frameBytes = FrameBytes(r_.Reader.Decoder.BitsPerSample, r_.Reader.Decoder.Channels);
    std::copy_n(unmixed_.begin(), static_cast<std::size_t>(unmixedFrames_) * frameBytes,
                buffer_.begin());
    frames = MixIncoming(buffer_.data(), unmixedFrames_);
    r_.Writer.History().Restart(r_.Writer.PlannedFlushToMs());
    r_.Writer.History().Append(buffer_.data(), frames);
    RunDsp(frames);
    return frames;
}

bool TPlayRequest::RunDsp(int &frames) {
    In_Module &module = *r_.Links.Module;
    if (!module.dsp_isactive || !module.dsp_dosamples)
        return true;
    const TDecoder &decoder = r_.Reader.Decoder;
    const int bits = decoder.BitsPerSample, channels = decoder.Channels, rate = decoder.SampleRate;
    int active = 0;
    if (!Foreign([&] { active = module.dsp_isactive(); }))
        return false;
    if (!active)
        return true;
    auto *samples = reinterpret_cast<short *>(buffer_.data());
    const int given = frames;
    if (!Foreign([&] { frames = module.dsp_dosamples(samples, frames, bits, channels, rate); }))
        return false;
    if (frames != given)
        r_.Writer.History().Invalidate();
    // The host's DSP may at most double a block: that is the room the buffer has.
    frames = std::clamp(frames, 0, 2 * r_.Reader.BlockBytes() / FrameBytes(bits, channels));
    return true;
}

void TPlayRequest::CutOverSkip(Out_Module *output, int flushToMs) {
    auto *rest = dynamic_cast<TUnheardRestSource *>(r_.Crossfade.Source.get());
    const TOutputWriter::TCut cut = r_.Writer.FlushAtHeardFrame(output, flushToMs);
    using Cut = TOutputWriter::TCut::Kind;
    switch (cut.What) {
    case Cut::At:
        if (rest)
            rest->StartAt(cut.Frame);
        return;
    case Cut::AllHeard: // all of it is heard from the output: the stream goes on after it
        if (rest)
            rest->StartAt(rest->EndFrame());
        r_.Writer.ContinueStream(output);
        return;
    case Cut::StandsStill: // nothing plays: no fade from a frame nobody can name, the cut
        skipFadeRunning_ = false;
        r_.Crossfade.ReleaseSource();
        return;
    case Cut::Failed:
        return;
    }
}

TPlayRequest::LoopEnd TPlayRequest::RunBlockLoop(Out_Module *output) {
    TRequestState &state = r_.State;
    TOutputWriter &writer = r_.Writer;
    TTrackReader &reader = r_.Reader;
    In_Module &module = *r_.Links.Module;
    const TPcmFormat format = PlayingFormat();
    const int bits = format.BitsPerSample, channels = format.Channels, rate = format.SampleRate;
    const int frameBytes = FrameBytes(bits, channels);
    const int bytesPerSecond = frameBytes * rate;
    const int blockBytes = reader.BlockBytes();
    std::uint8_t *buffer = buffer_.data();
    int pauseMs = 0;
    std::int64_t trackBytes = 0; // written since the track began
    for (;;) {
        state.WaitWhilePaused();
        if (state.SkipRequested)
            return LoopEnd::Skipped;
        if (state.SeekPending.exchange(false) && !SeekNow(output))
            return state.Stopped() ? LoopEnd::Stopped : LoopEnd::RanOut;
        int bytes = reader.ReadBlock(buffer, blockBytes);
        // A stop while the decoder read: nothing more reaches the host or its output.
        if (state.Stopped())
            return LoopEnd::Stopped;
        if (bytes < 0)
            return LoopEnd::RanOut;
        if (bytes == 0)
            continue; // leading silence read past
        int frames = bytes / frameBytes;
        // After a skip the output holds the skipped track until this first block goes in.
        if (std::exchange(flushBeforeFirstBlock_, false))
            PlanSkipCut(output, 0);
        if (writer.CutPlanned()) {
            std::copy_n(buffer, bytes, unmixed_.begin());
            unmixedFrames_ = frames;
        }
        const std::int64_t written =
            writer.CutPlanned()      ? writer.PlannedFlushToMs()
            : writer.ReopenPending() ? 0
                                     : writer.TrackWrittenMs(output, trackBytes, bytesPerSecond);
        const std::int64_t trackMs = written + reader.SkippedLeadMs.load();
        AwaitLookAhead(output, trackMs);
        frames = MixIncoming(buffer, frames);
        const BlockEnd blockEnd = FollowTransition(trackMs, frames);
        bytes = frames * frameBytes;
        if (writer.ReopenPending() && r_.Crossfade.Started)
            writer.DeclickStart(buffer, frames, format);
        if (blockEnd == BlockEnd::HandedOver && !r_.Next.Known().SameFormat)
            writer.DeclickEnd(buffer, frames, format);
        writer.History().Append(buffer, frames);
        if (!RunDsp(frames))
            return LoopEnd::RanOut;
        bytes = frames * frameBytes;
        if (writer.ReopenPending() && !writer.ReopenNow(output))
            return LoopEnd::OutputFailed;
        char *data = reinterpret_cast<char *>(buffer);
        const int visTime = static_cast<int>(written);
        if (module.SAAddPCMData &&
            !Foreign([&] { module.SAAddPCMData(data, channels, bits, visTime); }))
            return LoopEnd::RanOut;
        if (module.VSAAddPCMData &&
            !Foreign([&] { module.VSAAddPCMData(data, channels, bits, visTime); }))
            return LoopEnd::RanOut;

        // The planned flush comes with the block ready: the output never holds nothing.
        std::optional<TUrgentThread> urgent;
        if (writer.CutPlanned()) {
            urgent.emplace();
            frames = FinishSkipCut(output, frames);
            bytes = frames * frameBytes;
        }
        const bool wrote = writer.WriteBlock(output, buffer, bytes, pauseMs);
        urgent.reset();
        if (!wrote && state.SeekPending && state.KeepsGoing() && blockEnd == BlockEnd::GoesOn)
            continue; // the seek drops the block: the output is flushed at its target
        if (!wrote) {
            if (state.SkipRequested && !state.Stopped())
                return LoopEnd::Skipped;
            return state.Stopped() || !state.IsPlaying ? LoopEnd::Stopped : LoopEnd::RanOut;
        }
        trackBytes += bytes;
        firstBlock_ = false;
        r_.Clock.WatchPace(output);
        pauseMs = BlockDurationMs(bytes, bits, channels, rate);
        if (blockEnd == BlockEnd::HandedOver)
            return LoopEnd::HandedOver;
        if (blockEnd == BlockEnd::TrackEnds)
            return LoopEnd::RanOut;
        if (state.Stopped() || !state.IsPlaying)
            return LoopEnd::Stopped;
    }
}

// Answers false when the track is to end: a decoder that failed to seek.
bool TPlayRequest::SeekNow(Out_Module *output) {
    TOutputWriter &writer = r_.Writer;
    const int target = r_.State.SeekTargetMs.load();
    const auto seek = r_.Reader.Seek(target);
    if (seek == TDecoder::SeekResult::Failed)
        return false;
    if (seek != TDecoder::SeekResult::Moved)
        return true;
    if (writer.ReopenPending() && !writer.ReopenNow(output))
        return false;
    // Whatever the output still held of the previous track goes with it; right after a skip the
    // skipped track fades on from the frame where it is flushed.
    if (std::exchange(flushBeforeFirstBlock_, false))
        PlanSkipCut(output, target);
    else
        writer.Flush(output, target);
    return true;
}

transition::TFacts TPlayRequest::Facts(std::int64_t writtenMs) const {
    using State = TLookAheadReader::State;
    const TEngineSettings &settings = r_.Settings;
    const TLookAheadWishes wishes = settings.LookAheadWishes();
    transition::TFacts facts;
    facts.LengthMs = r_.State.LengthMs.load();
    facts.WrittenMs = writtenMs;
    facts.Next = r_.Next.Known();
    facts.Options.FadeMs = settings.FadeTimeMs();
    facts.Options.MinFileSizeMs = settings.MinFileSizeMs();
    facts.Options.SkipFadeMs = settings.SkipFadeMs();
    facts.Options.AcrossFormats = settings.FadeAcrossFormats();
    facts.Options.AlbumsThrough = settings.PlayAlbumsThrough();
    facts.Options.SkipSilence = wishes.SkipSilence;
    facts.Options.FollowOwnRamps = wishes.FollowOwnFadeOut;
    if (r_.LookAhead.EndState() == State::Ready)
        facts.End = r_.LookAhead.End();
    if (r_.LookAhead.StartState() == State::Ready && r_.Next.StartIsOfNext())
        facts.NextStart = r_.LookAhead.Start();
    return facts;
}

// Once per block: the transition decided from what is known now, carried out when its moment
// has come. The next entry is learnt once, where the fade would start.
TPlayRequest::BlockEnd TPlayRequest::FollowTransition(std::int64_t writtenMs, int &frames) {
    const TRequestState &state = r_.State;
    if (transitionDone_ || state.StopRequested || state.Stopped() || r_.Crossfade.Source)
        return BlockEnd::GoesOn;
    transition::TFacts facts = Facts(writtenMs);
    if (r_.Next.Asked())
        facts.Next = r_.Next.Learn(PlayingFormat());
    transition::TTransition t = transition::Decide(facts);
    if (t.What == Kind::PlayOn) {
        if (writtenMs <= t.FadeStartMs)
            return BlockEnd::GoesOn;
        facts.Next = LearnNext(r_.State.OutModule.load());
        if (!r_.Next.StartIsOfNext())
            facts.NextStart.reset();
        t = transition::Decide(facts);
        if (t.What == Kind::PlayOn)
            return BlockEnd::GoesOn; // its decoder still opens: the next block looks again
    }
    transition_ = t;
    if (t.What == Kind::Crossfade) {
        if (writtenMs <= t.FadeStartMs || !HandOver(t, writtenMs))
            return BlockEnd::GoesOn;
        transitionDone_ = true;
        return BlockEnd::HandedOver;
    }
    if (t.EndMs >= facts.LengthMs)
        return BlockEnd::GoesOn; // read to the decoder's end
    const std::int64_t rate = std::max(r_.Reader.Decoder.SampleRate, 1);
    const std::int64_t blockEndMs = writtenMs + std::int64_t{frames} * 1000 / rate;
    if (blockEndMs < t.EndMs)
        return BlockEnd::GoesOn;
    frames = static_cast<int>(std::clamp<std::int64_t>((t.EndMs - writtenMs) * rate / 1000, 0, frames));
    transitionDone_ = true;
    return BlockEnd::TrackEnds;
}

// The track's decoder becomes the fade's outgoing source; answers false when the next entry's
// decoder is not there after all.
bool TPlayRequest::HandOver(const transition::TTransition &t, std::int64_t writtenMs) {
    const TInPluginPlaybackThreadPreLoad *next = r_.Next.Record();
    if (!next)
        return false;
    r_.State.FadeKill = 0;
    TTrackReader &reader = r_.Reader;
    std::unique_ptr<TFadeOutSource> outgoing =
        DecoderSource(std::move(reader.Decoder), reader.BlockBytes(),
                      static_cast<int>(t.EndMs - writtenMs), r_.State.FadeKill);
    // A converter is built here, in the last block of the outgoing track, so that the fade's
    // blocks find everything ready; it starts from the track's own last frames.
    if (r_.Settings.FadeAcrossFormats())
        outgoing = ConvertFadeOut(std::move(outgoing), FormatOfDecoder(next->Decoder),
                                  reader.RecentFrames());
    r_.Crossfade.HoldSource(std::move(outgoing));
    r_.Crossfade.InSpeed = t.InSpeed;
    r_.Crossfade.OutSpeed = t.OutSpeed;
    r_.Crossfade.Armed = false;
    r_.Next.FadeInto = next->FileName;
    return true;
}

// Where an answer of the look-ahead changes the transition from here on, the block loop waits
// for it as long as the output can spare the time: on an output that plays in real time, while
// it holds enough; on one that takes everything at once, from the track's start (nobody hears
// the wait, and a late answer would change the transition).
void TPlayRequest::AwaitLookAhead(Out_Module *output, std::int64_t writtenMs) {
    using State = TLookAheadReader::State;
    const TLookAheadReader &lookAhead = r_.LookAhead;
    const auto pending = [&] {
        return lookAhead.EndState() == State::Pending || lookAhead.StartState() == State::Pending;
    };
    if (!output || transitionDone_ || r_.Crossfade.Source || !pending())
        return;
    const std::int64_t length = r_.State.LengthMs.load();
    const int fadeMs = r_.Settings.FadeTimeMs();
    const bool endMatters = lookAhead.EndState() == State::Pending &&
                            writtenMs >= endplan::ScanFromMs(static_cast<int>(length), fadeMs);
    const bool startMatters =
        lookAhead.StartState() == State::Pending && writtenMs >= length - 2 * std::int64_t{fadeMs};
    const int canHold = r_.Clock.CanHoldBackMs(output, firstBlock_);
    if (!endMatters && !startMatters && canHold != INT_MAX)
        return;
    const std::uint64_t until = Ticks() + (canHold == INT_MAX ? kAwaitOnFastOutputMs : canHold);
    while (pending() && r_.State.KeepsGoing() && !r_.State.SeekPending && Ticks() < until)
        r_.State.Nap(NapUntil(until)); // the look-ahead wakes it with its answer
}

// The next entry's decoder is the look-ahead's to open; one it has not begun yet (it was kept
// from running) is opened here at once, one it opens is waited for while the output can spare
// the time.
transition::TNext TPlayRequest::LearnNext(Out_Module *output) {
    transition::TNext next = r_.Next.LearnHere(PlayingFormat());
    if (next.Kind != Entry::Unknown || !output)
        return next;
    const int canHold = r_.Clock.CanHoldBackMs(output, firstBlock_);
    const std::uint64_t until = Ticks() + (canHold == INT_MAX ? kAwaitOnFastOutputMs : canHold);
    while (next.Kind == Entry::Unknown && r_.State.KeepsGoing() && !r_.State.SeekPending &&
           Ticks() < until) {
        r_.State.Nap(NapUntil(until)); // the look-ahead wakes it with its answer
        next = r_.Next.Learn(PlayingFormat());
    }
    return next;
}

int TPlayRequest::MixIncoming(std::uint8_t *buffer, int frames) {
    TCrossfadeState &crossfade = r_.Crossfade;
    if (!crossfade.Armed)
        return frames;
    // The outgoing track of a skip, of another format, is converted before its first block is
    // mixed; one that cannot be converted ends the fade in the mixer as it always did.
    if (!crossfade.Started && r_.Settings.FadeAcrossFormats() && crossfade.Source) {
        // A skipped stream is primed with what the listener heard just before its rest.
        std::span<const std::uint8_t> primer;
        if (const auto *rest = dynamic_cast<const TUnheardRestSource *>(crossfade.Source.get()))
            primer = rest->FramesBefore(
                FadeOutPrimerFrames(FormatOf(*crossfade.Source), PlayingFormat()));
        crossfade.Source = ConvertFadeOut(std::move(crossfade.Source), PlayingFormat(), primer);
    }
    // A fade ends with the incoming track at the latest: the outgoing one reaches silence even
    // when the track it fades into is shorter than the fade.
    const TDecoder &decoder = r_.Reader.Decoder;
    const int fadeMs = std::min(skipFadeRunning_ ? r_.Settings.SkipFadeMs() : r_.Settings.FadeTimeMs(),
                                std::max(decoder.LengthMs, 0));
    return crossfade.MixingStep(buffer, frames, decoder.BitsPerSample, decoder.Channels,
                                decoder.SampleRate, fadeMs);
}

// The track ran out (or went on into a crossfade): prepare the next one, then tell the host.
// When the next track continues the stream, the host is told while the output still holds the
// last moments of this one, so that the next track's first block follows them without a gap and
// nothing is flushed away; otherwise the output plays out first, and a next entry the engine does
// not play closes it. A stop meanwhile ends the request as a stop.
TPlayRequest::TEnd TPlayRequest::EndOfTrack(Out_Module *output, int pauseMs) {
    TRequestState &state = r_.State;
    TOutputWriter &writer = r_.Writer;
    // A fade this track still mixed in ends with it: the outgoing track has reached silence.
    if (r_.Crossfade.Armed && r_.Crossfade.Source)
        r_.Crossfade.ReleaseSource();
    // A decoder the look-ahead has not begun to open is opened here; one it still opens (a slow
    // owner) is waited for, while the output plays out and a while after.
    transition::TNext next = r_.Next.LearnHere(PlayingFormat());
    for (const std::uint64_t giveUpAt = Ticks() + kAwaitOpenAtEndMs;
         next.Kind == Entry::Unknown && state.KeepsGoing() && Ticks() < giveUpAt;
         next = r_.Next.LearnHere(PlayingFormat()))
        state.Nap(NapUntil(giveUpAt)); // the look-ahead wakes it with its answer
    if (next.Kind == Entry::Unknown)
        next.Kind = Entry::Unopenable;
    HvqHookPoint("end-of-track.next-learnt");
    if (r_.Next.Slot.IsEmpty())
        r_.Next.Slot.Put(r_.Next.TakeRecord());
    transition::TFacts facts = Facts(state.LengthMs.load());
    facts.Next = next;
    const transition::TTransition t = transitionDone_ ? transition_ : transition::Decide(facts);
    if (t.TrimsLeading && next.Kind == Entry::Engines)
        trimsLeadOf_ = r_.Next.Name();
    const bool ours = !state.StopRequested && !state.Stopped() && !r_.Link.UsedElsewhere &&
                      !r_.Link.GivenUp() && writer.Opened() == output &&
                      r_.Links.Module->outMod == output && !r_.Next.Slot.IsEmpty();
    const bool continues =
        ours && r_.Next.Slot.Inspect([&](const TInPluginPlaybackThreadPreLoad &record) {
            return FormatOfDecoder(record.Decoder) == writer.OpenedFormat();
        });
    // A next track of another format re-opens the output only once its first block is ready:
    // the host is told as early as when the stream goes on, and the output plays out meanwhile.
    const bool reopensForNext = ours && !continues;
    state.Skippable = true;
    writer.PlayOut(output, pauseMs, continues || reopensForNext ? kHandOverLeadMs : 0);
    state.Skippable = false;
    if (state.SkipRequested && !state.Stopped())
        return EndAsSkipped(output);
    if (state.Stopped())
        return EndAsStopped(output);
    int written = 0;
    if (continues && r_.Link.Call([&] { written = output->GetWrittenTime(); })) {
        writer.HeldEndMs = written;
        writer.HeldOutput = output;
        return {true};
    }
    if (reopensForNext) {
        writer.HeldOutput = output; // heard out before another plug-in may take the output
        return {true};
    }
    if (t.Out == Output::Closes || state.StopRequested)
        writer.CloseOpened();
    return {true};
}

// A stopped request flushes and closes the output and lets go of everything it prepared for a
// next track: the host plays whatever comes next on its own. The next entry opened at the end of
// the track as the user's stop came goes too (the stop itself may have looked before it was
// there); after the host's own stop it waits for the host's Play.
TPlayRequest::TEnd TPlayRequest::EndAsStopped(Out_Module *output) {
    if (r_.State.StopRequested.exchange(false))
        FreePreLoad(r_.Next.Slot.Take());
    r_.Link.Call([&] { output->Flush(0); });
    r_.Writer.CloseOpened();
    ReleaseAll(false);
    if (r_.Links.Module->SAVSADeInit)
        Foreign([this] { r_.Links.Module->SAVSADeInit(); });
    return {};
}

void TPlayRequest::ReleaseAll(bool prepared) {
    r_.Crossfade.ReleaseSource();
    r_.Next.Forget();
    r_.LookAhead.Forget();
    if (prepared)
        FreePreLoad(r_.Next.Slot.Take());
}

TPlayRequest::TEnd TPlayRequest::OutputFailed() {
    In_Module &module = *r_.Links.Module;
    if (module.SetInfo)
        Foreign([&] { module.SetInfo(0, 0, -1, 0); });
    return GiveUp();
}

// A request that cannot play: nothing is written, and the host is told to move on.
TPlayRequest::TEnd TPlayRequest::GiveUp() {
    r_.Writer.CloseOpened();
    r_.Reader.Decoder.Close();
    return {true};
}

// The stopped track goes on from the heard position as the outgoing track of the next request;
// the grace timer ends it as a stop if no Play comes. The host is not told.
TPlayRequest::TEnd TPlayRequest::EndAsSkipped(Out_Module *output) {
    r_.State.SkipRequested = false;
    std::uint64_t deadline = 0;
    const TStopGraces::Skip skip = r_.Graces.SkipState(deadline);
    std::unique_ptr<TFadeOutSource> unheard =
        skip != TStopGraces::Skip::None && !r_.State.Stopped() ? UnheardStream(output) : nullptr;
    if (!unheard) {
        r_.Reader.Decoder.Close();
        r_.State.StopRequested = true;
        FreePreLoad(r_.Next.Slot.Take());
        return EndAsStopped(output);
    }
    // What was prepared for the track's natural end goes nowhere now.
    r_.Next.Forget();
    r_.LookAhead.Forget();
    FreePreLoad(r_.Next.Slot.Take());
    r_.Crossfade.HoldSource(std::move(unheard));
    r_.Crossfade.Armed = false;
    skipSource_ = true;
    r_.Next.FadeInto.clear();
    TEnd end;
    if (skip == TStopGraces::Skip::Pending) {
        const std::uint64_t now = Ticks();
        end.SkipGraceLeftMs = static_cast<int>(deadline > now ? deadline - now : 0);
    }
    return end;
}

bool TPlayRequest::TakeSkipSource(bool skipRequest) {
    const bool takes = skipRequest && skipSource_ && r_.Crossfade.Source;
    skipSource_ = false;
    return takes;
}

std::unique_ptr<TFadeOutSource> TPlayRequest::UnheardStream(Out_Module *output) {
    r_.State.FadeKill = 0;
    std::unique_ptr<TFadeOutSource> continuation = StreamContinuation();
    const TPcmFormat format = r_.Writer.OpenedFormat();
    if (continuation && FormatOf(*continuation) != format)
        continuation.reset(); // already converted for a next track: only the rest fades
    TStreamHistory &history = r_.Writer.History();
    std::vector<std::uint8_t> frames;
    std::int64_t first = history.Frames(), start = first;
    const std::optional<int> heard = history.IsValid() ? r_.Clock.HeardMs(output) : std::nullopt;
    if (heard) {
        // Rounded down to whole milliseconds: the flush trims what is heard by then. Heard
        // frames before it are kept to prime a converter, should the next track need one.
        start = std::max(history.FrameAt(*heard), history.OldestFrame());
        first = std::max(start - TResampler::MaxPrimerFrames(), history.OldestFrame());
        frames = history.CopyFrom(first);
    }
    if (start >= history.Frames() && !continuation)
        return nullptr;
    return std::make_unique<TUnheardRestSource>(std::move(frames), first, start,
                                                std::move(continuation), format.BitsPerSample,
                                                format.Channels, format.SampleRate,
                                                r_.Reader.BlockBytes());
}

// The track read on from where the block loop left it; a fade it was still mixing in goes on
// inside it. After the loop (the output playing out the end) only a track handed over to a
// crossfade is left of it.
std::unique_ptr<TFadeOutSource> TPlayRequest::StreamContinuation() {
    TCrossfadeState &crossfade = r_.Crossfade;
    TDecoder &decoder = r_.Reader.Decoder;
    if (!decoder.IsOpen()) {
        if (crossfade.Source && !crossfade.Armed)
            return std::move(crossfade.Source);
        crossfade.ReleaseSource();
        return nullptr;
    }
    const int remaining = std::max(decoder.LengthMs - r_.Reader.ReadMs(), 0);
    auto track = DecoderSource(std::move(decoder), r_.Reader.BlockBytes(), remaining,
                               r_.State.FadeKill);
    if (!crossfade.Armed || !crossfade.Source) {
        crossfade.ReleaseSource();
        return track;
    }
    auto olderFade = std::make_unique<TCrossfadeState>();
    crossfade.MoveFadeInto(*olderFade);
    return std::make_unique<TStillMixingSource>(std::move(track), std::move(olderFade));
}

void TPlayRequest::CleanUpAfterStop() {
    ReleaseAll(false);
    if (r_.Writer.Opened()) {
        r_.Writer.CloseOpened();
        if (r_.Links.Module->SAVSADeInit)
            Foreign([this] { r_.Links.Module->SAVSADeInit(); });
    }
}

void TPlayRequest::StopBetweenTracks() {
    TRequestState &state = r_.State;
    state.RequestQueued = false;
    state.ForgetEndOfTrack();
    r_.Writer.ForgetHeld();
    FreePreLoad(r_.Next.Slot.Take());
    if (Out_Module *opened = r_.Writer.Opened())
        EndAsStopped(opened);
    else
        ReleaseAll(false);
    state.StopRequested = true;
}

void TPlayRequest::SkipGraceOver() {
    skipSource_ = false;
    if (Out_Module *opened = r_.Writer.Opened())
        EndAsStopped(opened);
    else
        r_.Crossfade.ReleaseSource();
}

void TPlayRequest::ReleaseHeldFade() {
    r_.Crossfade.ReleaseSource();
}

void TPlayRequest::EndOfThread() noexcept {
    r_.Reader.Decoder.Close();
    ReleaseAll(true);
}

// The rest handed over to a fade is what the listener has not heard of the track yet: it is
// written at full level, in the track's own format, as far as the track was to be heard.
void TPlayRequest::PlayOutHeldRest() {
    TRequestState &state = r_.State;
    TIsPlayingBomb playing(state);
    FreePreLoad(r_.Next.Slot.Take());
    r_.Next.Forget();
    r_.LookAhead.Forget();
    r_.Next.FadeInto.clear();
    skipSource_ = false;
    TCrossfadeState &crossfade = r_.Crossfade;
    std::unique_ptr<TFadeOutSource> rest = std::move(crossfade.Source);
    crossfade.ReleaseSource();
    if (auto *converting = dynamic_cast<TConvertingFadeOutSource *>(rest.get())) {
        std::unique_ptr<TFadeOutSource> unread = converting->TakeUnread();
        rest->Close();
        rest = std::move(unread);
    }
    Out_Module *output = r_.Writer.Opened();
    if (!rest || !output || FormatOf(*rest) != r_.Writer.OpenedFormat()) {
        if (rest)
            rest->Close();
        return;
    }
    const TPcmFormat format = r_.Writer.OpenedFormat();
    const int frameBytes = FrameBytes(format.BitsPerSample, format.Channels);
    const int blockBytes = std::max(rest->BlockBytes / frameBytes, 1) * frameBytes;
    std::vector<std::uint8_t> block(static_cast<std::size_t>(blockBytes));
    std::int64_t left = std::int64_t{std::max(rest->RemainingMs, 0)} * format.SampleRate / 1000;
    const int pauseMs = BlockDurationMs(blockBytes, format.BitsPerSample, format.Channels,
                                        format.SampleRate);
    r_.State.FadeKill = 0;
    while (left > 0 && state.KeepsGoing() && !state.RequestQueued) {
        const int wanted = static_cast<int>(std::min<std::int64_t>(blockBytes, left * frameBytes));
        int bytes = rest->GetData(block.data(), wanted);
        bytes -= bytes % frameBytes;
        if (bytes < 1)
            break;
        r_.Writer.History().Append(block.data(), bytes / frameBytes);
        if (!r_.Writer.WriteBlock(output, block.data(), bytes, pauseMs))
            break;
        left -= bytes / frameBytes;
    }
    rest->Close();
    // A Play that came meanwhile starts clean: nothing of this rest is heard before it.
    if (state.RequestQueued) {
        r_.Writer.Flush(output, 0);
        return;
    }
    if (state.KeepsGoing())
        r_.Writer.PlayOut(output, pauseMs, 0);
}
