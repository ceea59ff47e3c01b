// The reader of the playing track: its decoder, where it reads, the frames it read last (what
// primes a conversion of its tail) and the leading silence it reads past when a transition asks.
#pragma once

#include "DecoderUnit.h"
#include "RequestState.h"

#include "../sound/FadeOutConversion.h"

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

class TTrackReader {
  public:
    explicit TTrackReader(TRequestState &state) : state_(state) {}

    // Playback thread: the track's decoder, adopted as its request starts.
    TDecoder Decoder;

    // Readies a request's reading (all allocation is here): its block size, and whether its
    // leading silence (below thresholdDb, at least the shortest skipped) is read past.
    void Start(bool trimsLeading, int thresholdDb);
    int BlockBytes() const { return blockBytes_; }
    // Reads the next whole frames of the track into block (at most bytes). With the leading
    // silence read past, the first frames answered are the sound's; a silence too short to be
    // skipped comes back as it was. 0: nothing yet, read again; below 0: the track's end.
    int ReadBlock(std::uint8_t *block, int bytes);
    // Moves the decoder to ms; after a move the track's time counts from there and no leading
    // silence is read past any more.
    TDecoder::SeekResult Seek(int milliseconds);
    // The ms of the track the decoder reads at: its last seek (or 0) and the frames since.
    int ReadMs() const;
    // The track's last decoded frames, as decoded (before any mix).
    std::span<const std::uint8_t> RecentFrames() const { return recent_.Frames(); }
    bool TrimsLeading() const { return trimming_; }

    // Host's thread reads it for the position: the leading silence read past (the host is shown
    // the file's time, as the length does and a seek expects). Playback writes it.
    std::atomic<int> SkippedLeadMs{0};

  private:
    int ReadDecoded(std::uint8_t *block, int bytes);
    int TrimLeading(std::uint8_t *block, int frames);
    int Replay(std::uint8_t *block, int bytes);
    // A silence longer than the most read past is played as it is, from the track's start where
    // the decoder can go back there.
    bool PlayFromItsStart();
    void StopTrimming();

    TRequestState &state_;
    int blockBytes_ = 0;
    int frameBytes_ = 0;
    int thresholdDb_ = -50;
    int decodedFromMs_ = 0;
    std::int64_t decodedFrames_ = 0;
    TRecentFrames recent_;
    bool trimming_ = false;
    std::int64_t silenceFrames_ = 0;
    // The silence read so far, kept while it is shorter than the shortest skipped; and what of it
    // is still to be handed out once it proved too short.
    std::vector<std::uint8_t> kept_;
    std::size_t keptBytes_ = 0;
    std::size_t replayed_ = 0;
    bool replaying_ = false; // the kept silence proved too short: it is handed out first
};
