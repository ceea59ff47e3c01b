// The follow audit's analysis of a recorded playlist: where the output is one of its tracks
// untouched, and how loud or silent a stretch of it is. Pure, 16-bit PCM only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace follow {

// Interleaved 16-bit PCM.
struct Pcm16 {
    std::vector<std::int16_t> Samples;
    int Channels = 2;
    int Rate = 44100;
    std::int64_t Frames() const { return static_cast<std::int64_t>(Samples.size()) / Channels; }
};

Pcm16 FromBytes(const std::vector<std::uint8_t> &bytes, int channels, int rate);

// Output frames [OutStart, OutEnd) equal frames TrackStart... of track Track, sample for sample.
struct Run {
    int Track = 0;
    std::int64_t OutStart = 0;
    std::int64_t OutEnd = 0;
    std::int64_t TrackStart = 0;
    // The track's frame that an output frame stands for, had the track gone on at its pace.
    std::int64_t TrackFrameAt(std::int64_t outFrame) const { return outFrame - OutStart + TrackStart; }
    std::int64_t OutFrameOf(std::int64_t trackFrame) const { return trackFrame - TrackStart + OutStart; }
};

// The runs of the output that are a track of the playlist untouched, in order: a mix of two
// tracks, or a track at any gain but one, is in none. The tracks follow one another in the output
// as in the playlist; a run is only taken once at least minFrames agree, so that chance matches
// of a few quiet samples do not count.
std::vector<Run> UntouchedRuns(const Pcm16 &output, const std::vector<Pcm16> &tracks,
                               std::int64_t minFrames = 32);

// The RMS of frames [from, to) over every channel, in dB below full scale (-inf when silent).
double RmsDb(const Pcm16 &pcm, std::int64_t from, std::int64_t to);

// The longest stretch of consecutive whole milliseconds in [from, to) whose RMS lies below
// thresholdDb, in milliseconds.
int LongestSilenceMs(const Pcm16 &pcm, std::int64_t from, std::int64_t to, double thresholdDb);

} // namespace follow
