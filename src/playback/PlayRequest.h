// The play request, on the playback thread: adopts the track's decoder, opens or reuses the
// output, then reads, mixes, hands each block to the host's DSP and visualisation and writes it,
// until the track ends, is handed over to a crossfade, or is stopped or skipped. How the track
// gives way to the next is decided by the transition decision (TransitionDecision.h) from the
// facts gathered here; this carries the answer out.
#pragma once

#include "EngineLinks.h"
#include "EngineSettings.h"
#include "LookAheadReader.h"
#include "NextEntry.h"
#include "OutputClock.h"
#include "OutputLink.h"
#include "OutputWriter.h"
#include "RequestState.h"
#include "StopGraces.h"
#include "TrackReader.h"

#include "../sound/CrossfadeMixer.h"
#include "../sound/TransitionDecision.h"

#include <memory>
#include <string>
#include <vector>

// Everything of the engine the play request works with; one of each, owned by the thread.
struct TEngineRooms {
    const TEngineLinks &Links;
    const TEngineSettings &Settings;
    TRequestState &State;
    TOutputLink &Link;
    TOutputClock &Clock;
    TOutputWriter &Writer;
    TTrackReader &Reader;
    TNextEntry &Next;
    TLookAheadReader &LookAhead;
    TStopGraces &Graces;
    TCrossfadeState &Crossfade;
};

class TPlayRequest {
  public:
    explicit TPlayRequest(const TEngineRooms &rooms) : r_(rooms) {}

    // How a request ended: whether the host is to be told its track ended, and how long a
    // skip's grace still has (below 0: no skip waits).
    struct TEnd {
        bool TellHost = false;
        int SkipGraceLeftMs = -1;
    };
    TEnd Run(const std::wstring &fileName, TPreLoadPtr record, bool skip);

    // Between requests, on the playback thread. A user's stop while no request ran: let go of
    // what a request would have let go of.
    void CleanUpAfterStop();
    // The user's stop, between requests (a host's stop whose Play never came).
    void StopBetweenTracks();
    // A skip's Play never came: the stop it was.
    void SkipGraceOver();
    // The host ended after our end-of-track message (stop after current): what was handed over
    // to a crossfade is played to its end at full level; everything else is let go.
    void PlayOutHeldRest();
    // The host played a file of another plug-in: a held fade goes nowhere now.
    void ReleaseHeldFade();
    // The thread ends: every decoder is closed.
    void EndOfThread() noexcept;

  private:
    enum class LoopEnd { RanOut, HandedOver, Stopped, Skipped, OutputFailed };
    enum class BlockEnd { GoesOn, HandedOver, TrackEnds };

    bool AdoptDecoder(const std::wstring &fileName, TPreLoadPtr record);
    // Reuses the open output, or opens it in the track's format: at once when none is open,
    // else for the first block. Below 0 when it could not be opened.
    int PrepareOutput(Out_Module *output);
    LoopEnd RunBlockLoop(Out_Module *output);
    bool SeekNow(Out_Module *output);
    TEnd EndOfTrack(Out_Module *output, int pauseMs);
    TEnd EndAsStopped(Out_Module *output);
    TEnd EndAsSkipped(Out_Module *output);
    TEnd OutputFailed();
    TEnd GiveUp();

    // The transition: the facts it is decided from, the answer followed block by block.
    transition::TFacts Facts(std::int64_t writtenMs) const;
    BlockEnd FollowTransition(std::int64_t writtenMs, int &frames);
    bool HandOver(const transition::TTransition &t, std::int64_t writtenMs);
    // Waits (while the output can spare the time) until the look-ahead answers what the
    // transition is decided from where it matters by now.
    void AwaitLookAhead(Out_Module *output, std::int64_t writtenMs);
    transition::TNext LearnNext(Out_Module *output);
    int MixIncoming(std::uint8_t *buffer, int frames);
    // A skip into another format: the old output is flushed at a frame the listener hears, and
    // the skipped stream goes on, converted, from exactly that frame.
    void CutOverSkip(Out_Module *output, int flushToMs);
    // The first block of a skip (or a seek right after one): the flush is planned at a frame the
    // listener reaches a little ahead and the skipped stream goes on from there; it comes with
    // the block ready to be written (FinishSkipCut), which is mixed anew where the clock turned
    // elsewhere.
    void PlanSkipCut(Out_Module *output, int flushToMs);
    int FinishSkipCut(Out_Module *output, int frames);
    // The host's DSP over the block; false when it raised anything.
    bool RunDsp(int &frames);

    // The fade on skip: what the listener would have gone on hearing without the skip (the
    // output's unheard rest, then the skipped track from where it was read, still mixed with a
    // fade it was in); null when nothing is left of it.
    std::unique_ptr<TFadeOutSource> UnheardStream(Out_Module *output);
    std::unique_ptr<TFadeOutSource> StreamContinuation();
    // Whether this request fades in over a skipped track: only the skip's own Play takes it.
    bool TakeSkipSource(bool skipRequest);
    void ReleaseAll(bool prepared);
    TPcmFormat PlayingFormat() const;

    TEngineRooms r_;
    std::vector<std::uint8_t> buffer_; // the request's block buffer: two blocks, for the DSP
    // A skip's first block before it is mixed, and the frame its cut was planned at.
    std::vector<std::uint8_t> unmixed_;
    int unmixedFrames_ = 0;
    std::int64_t plannedCutFrame_ = 0;
    bool firstBlock_ = true; // nothing of the request is written yet
    std::wstring playingFile_;
    bool skipSource_ = false;            // the held source is a skipped track
    bool skipFadeRunning_ = false;       // this request fades in over the skip fade time
    bool flushBeforeFirstBlock_ = false; // the output still plays the skipped track
    // The transition decided for this track (once the next entry was learnt), and whether it is
    // carried out (handed over, or the reading ended).
    transition::TTransition transition_;
    bool transitionDone_ = false;
    // The next request reads past its leading silence when it plays this file.
    std::wstring trimsLeadOf_;
};
