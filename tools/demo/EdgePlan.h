// What the plug-in's options that follow the music make of a track, reckoned from the track's
// own PCM with the plug-in's pure rules: the end its look-ahead finds (read from the same point,
// with the same scanner), the fade that plan gives, and the leading silence it reads past block
// by block. The render tool's analysis models the transitions with it. Pure: no windows.h.
#pragma once

#include "RenderOptions.h"
#include "Transitions.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace demo {

// Frames [first, first + count) of one track's PCM (fewer at its end).
using FrameReader = std::function<std::vector<std::uint8_t>(std::int64_t first, std::int64_t count)>;

// The entry after the track, whose own fade-in may set the fade's length (no reader: none).
struct NextTrack {
    PcmFormat Format{};
    std::int64_t Frames = 0;
    FrameReader Read;
};

// The plan of one track of `frames` frames in `format`; ContinuesAlbum is the caller's (it needs
// the next entry's tags). Unset where neither silence nor own fade-outs are followed.
TrackEdgePlan PlanTrackEdges(const PcmFormat &format, std::int64_t frames,
                             const RenderOptions &options, const FrameReader &read,
                             const NextTrack &next = {});

} // namespace demo
