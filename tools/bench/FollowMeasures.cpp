#include "FollowMeasures.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace follow {

namespace {

// A frame's first two samples as one key: the synthetic tracks' samples are hashes, so a key
// nearly always names one frame of a track. Keys of digital silence name nothing.
std::uint32_t KeyOf(const Pcm16 &pcm, std::int64_t frame) {
    const std::size_t at = static_cast<std::size_t>(frame) * pcm.Channels;
    const auto first = static_cast<std::uint16_t>(pcm.Samples[at]);
    const auto second = static_cast<std::uint16_t>(pcm.Channels > 1 ? pcm.Samples[at + 1] : 0);
    return static_cast<std::uint32_t>(first) << 16 | second;
}

// Key -> frame of one track, sorted; a key that several frames share is left out.
class FrameIndex {
  public:
    explicit FrameIndex(const Pcm16 &track) {
        entries_.reserve(static_cast<std::size_t>(track.Frames()));
        for (std::int64_t frame = 0; frame < track.Frames(); ++frame)
            if (const std::uint32_t key = KeyOf(track, frame); key != 0)
                entries_.push_back(static_cast<std::uint64_t>(key) << 32 | static_cast<std::uint32_t>(frame));
        std::sort(entries_.begin(), entries_.end());
    }
    std::optional<std::int64_t> Find(std::uint32_t key) const {
        const std::uint64_t low = static_cast<std::uint64_t>(key) << 32;
        const auto first = std::lower_bound(entries_.begin(), entries_.end(), low);
        if (first == entries_.end() || *first >> 32 != key)
            return std::nullopt;
        if (first + 1 != entries_.end() && first[1] >> 32 == key)
            return std::nullopt;
        return static_cast<std::int64_t>(*first & 0xFFFFFFFFu);
    }

  private:
    std::vector<std::uint64_t> entries_;
};

bool FrameEqual(const Pcm16 &a, std::int64_t frameA, const Pcm16 &b, std::int64_t frameB) {
    const auto *x = &a.Samples[static_cast<std::size_t>(frameA) * a.Channels];
    const auto *y = &b.Samples[static_cast<std::size_t>(frameB) * b.Channels];
    return std::equal(x, x + a.Channels, y);
}

// How many frames from (outFrame, trackFrame) on are alike.
std::int64_t AlikeFrom(const Pcm16 &output, std::int64_t outFrame, const Pcm16 &track,
                       std::int64_t trackFrame) {
    std::int64_t n = 0;
    while (outFrame + n < output.Frames() && trackFrame + n < track.Frames() &&
           FrameEqual(output, outFrame + n, track, trackFrame + n))
        ++n;
    return n;
}

} // namespace

Pcm16 FromBytes(const std::vector<std::uint8_t> &bytes, int channels, int rate) {
    Pcm16 pcm;
    pcm.Channels = channels;
    pcm.Rate = rate;
    pcm.Samples.resize(bytes.size() / 2);
    for (std::size_t i = 0; i < pcm.Samples.size(); ++i)
        pcm.Samples[i] = static_cast<std::int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return pcm;
}

std::vector<Run> UntouchedRuns(const Pcm16 &output, const std::vector<Pcm16> &tracks,
                               std::int64_t minFrames) {
    std::vector<Run> runs;
    if (tracks.empty())
        return runs;
    // Only the playing track and the next are looked for: two indexes at a time.
    std::size_t current = 0;
    std::optional<FrameIndex> here(tracks[0]), next;
    if (tracks.size() > 1)
        next.emplace(tracks[1]);
    for (std::int64_t frame = 0; frame < output.Frames();) {
        const std::uint32_t key = KeyOf(output, frame);
        bool found = false;
        for (std::size_t which = 0; which < 2 && key != 0 && !found; ++which) {
            const std::optional<FrameIndex> &index = which == 0 ? here : next;
            if (!index)
                continue;
            const std::size_t track = current + which;
            const std::optional<std::int64_t> at = index->Find(key);
            if (!at)
                continue;
            const std::int64_t alike = AlikeFrom(output, frame, tracks[track], *at);
            const std::int64_t needed = std::min({minFrames, output.Frames() - frame, tracks[track].Frames() - *at});
            if (alike < needed)
                continue;
            runs.push_back({static_cast<int>(track), frame, frame + alike, *at});
            frame += alike;
            found = true;
            if (which == 1) {
                current = track;
                here = std::move(next);
                next.reset();
                if (current + 1 < tracks.size())
                    next.emplace(tracks[current + 1]);
            }
        }
        if (!found)
            ++frame;
    }
    return runs;
}

double RmsDb(const Pcm16 &pcm, std::int64_t from, std::int64_t to) {
    from = std::max<std::int64_t>(from, 0);
    to = std::min(to, pcm.Frames());
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t i = static_cast<std::size_t>(from) * pcm.Channels;
         i < static_cast<std::size_t>(std::max(from, to)) * pcm.Channels; ++i, ++count)
        sum += static_cast<double>(pcm.Samples[i]) * pcm.Samples[i];
    if (count == 0 || sum == 0.0)
        return -std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(sum / static_cast<double>(count) / (32768.0 * 32768.0));
}

int LongestSilenceMs(const Pcm16 &pcm, std::int64_t from, std::int64_t to, double thresholdDb) {
    const std::int64_t ms = pcm.Rate / 1000;
    int longest = 0, run = 0;
    for (std::int64_t at = std::max<std::int64_t>(from, 0); at + ms <= std::min(to, pcm.Frames()); at += ms) {
        run = RmsDb(pcm, at, at + ms) < thresholdDb ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

} // namespace follow
