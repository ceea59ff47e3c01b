// Where a track's sound starts and ends, and where it fades out or in by itself: measured on its
// decoded PCM, so that a transition can skip silence and lay the crossfade over a track's own
// ramp. Full scale is 0 dBFS. Peaks, of the loudest channel, decide what is sound; RMS levels,
// of the channels' mean power, decide what is a ramp: a ramp is judged against the track's own
// body, which a fixed balance between the channels does not move, and the mean is what the
// scanner can afford to sum for every frame.
// Pure code over buffers.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace trackedges {

constexpr double kDefaultThresholdDb = -50.0;

// The first of `frames` frames whose peak reaches thresholdDb, or `frames` when none does: fed
// block by block, this finds where a track's leading silence ends. A format the engine does not
// know counts as sound throughout (0), so nothing is ever skipped on nonsense.
int FirstSoundFrame(const std::uint8_t *pcm, int frames, int bits, int channels,
                    double thresholdDb);

// The frame after the last of `frames` frames whose peak reaches thresholdDb, 0 when none does:
// the scanner below finds the end to its 10 ms window, this pins it down in the block holding it.
int SoundEndInBlock(const std::uint8_t *pcm, int frames, int bits, int channels,
                    double thresholdDb);

} // namespace trackedges

// Keeps, per 10 ms window, the peak and the mean square of the last maxSeconds of a track's
// sound it is fed, and answers where the sound ends and where the track fades out by itself. Fed
// the first seconds of a track instead, it answers where the track's own fade-in ends.
// Frames are numbered from the track's start: Reset says which frame comes first.
// The results are computed when asked (a few thousand windows at most); not thread-safe.
class TTrackEndScanner {
  public:
    // The only allocation: the windows for maxSeconds, and the room to sort their levels. A
    // format the engine does not know leaves a scanner that hears nothing.
    TTrackEndScanner(int rate, int bits, int channels, double maxSeconds);

    // Starts over; the next frame fed is the track's frame firstFrame.
    void Reset(std::int64_t firstFrame);
    // Takes another format without allocating (for a track whose format an open tells later),
    // and starts over from frame 0. False, hearing nothing, where its windows would not hold
    // `seconds` of it.
    bool Reformat(int rate, int bits, int channels, double seconds);
    // The next `frames` frames of the track. Never allocates, so the block loop may call it:
    // fed more than maxSeconds, the oldest windows give way to the newest.
    void Feed(const std::uint8_t *pcm, int frames);

    // The frame after the last one whose peak reaches thresholdDb, rounded up to the end of its
    // 10 ms window (never cuts sound; SoundEndInBlock pins it down in that window), provided at
    // least minSilenceMs of silence follows it to the end of what was fed; the end of what was fed
    // when less does. None when no frame fed reaches the threshold: the caller cannot tell where
    // the sound ended, and plays it as it is.
    std::optional<std::int64_t> SoundEndFrame(double thresholdDb, int minSilenceMs) const;
    // Where the track fades out by itself before soundEnd: the first window from which its
    // loudness (RMS over 150 ms) stays below its body's by dropDb or more until soundEnd, where a
    // ramp of at least a second falls steadily to 20 dB or more below the body. The body is the
    // 90th percentile of the 10 ms windows' RMS levels before the ramp. None without such a ramp.
    std::optional<std::int64_t> OwnFadeOut(double dropDb, std::int64_t soundEnd) const;
    // The mirror for the first seconds of a track whose sound starts at soundStart: the first
    // frame of the window where its own rise of at least a second reaches its body less dropDb.
    // Fed no more than maxSeconds, or the rise has given way to what came after it.
    std::optional<std::int64_t> OwnFadeIn(double dropDb, std::int64_t soundStart) const;

    int WindowFrames() const { return windowFrames_; }
    std::int64_t EndFrame() const { return firstFrame_ + fedFrames_; }
    std::size_t WindowCapacity() const { return windows_.capacity(); }

  private:
    struct TWindow {
        std::uint32_t Peak = 0;  // the largest magnitude, in the format's sample units
        float MeanSquare = 0.0f; // over the channels, as a fraction of full scale squared
    };
    template <int Bits> void ScanInto(const std::uint8_t *pcm, int frames);
    void StoreWindow();
    // The windows kept, as numbers counted from firstFrame_: [FirstKept(), windowsStarted_).
    std::int64_t FirstKept() const;
    const TWindow &WindowAt(std::int64_t n) const;
    std::int64_t WindowNumberOf(std::int64_t frame) const;
    // Where the ramp at the end of levels_[0, count) begins, or none: see OwnFadeOut.
    std::optional<int> RampStart(int count, double dropDb) const;
    // levels_ and windowDb_ [0, count) from windows [first, end), in the order given.
    void FillLevels(std::int64_t first, std::int64_t end, bool reversed) const;
    double BodyDb(int count) const;

    void TakeFormat(int rate, int bits, int channels);

    int rate_;
    int bits_;
    int channels_;
    int frameBytes_;
    int windowFrames_;
    bool known_;
    double fullScaleSquared_; // in the units the mean squares are summed in
    std::vector<TWindow> windows_;
    std::int64_t firstFrame_ = 0;
    std::int64_t fedFrames_ = 0;
    std::int64_t windowsStarted_ = 0;
    std::size_t slot_ = 0; // the newest window's
    int inWindow_ = 0;     // frames of the newest window so far
    std::uint32_t peak_ = 0;
    std::int64_t sum_ = 0; // of the newest window's squares
    // The results' working room, in the order a ramp is looked for: short-term levels, the
    // windows' own levels, and those sorted for the body.
    mutable std::vector<float> levels_;
    mutable std::vector<float> windowDb_;
    mutable std::vector<float> sorted_;
};
