// Reading a track's edges ahead of time, on the look-ahead's thread: a decoder of its own reads
// the playing track's end, or the next entry's start, and the track-edge scanner tells where the
// sound ends (or starts) and where the track fades out (or in) by itself. The playing decoder is
// never touched, and a fault of the plug-in here ends only this reading.
#pragma once

#include "../sound/EndPlan.h"

#include <functional>
#include <optional>
#include <string>

class THookedInPlugin;

// The playing track's end: its owner, name and format, and the crossfade time it ends with.
struct TEndScanJob {
    THookedInPlugin *Plugin = nullptr;
    std::wstring FileName;
    int LengthMs = 0;
    int Rate = 0, Bits = 0, Channels = 0;
    int FadeTimeMs = 0;
    TLookAheadWishes Wishes;
};

// The next entry's start; its format comes with its open.
struct TStartScanJob {
    THookedInPlugin *Plugin = nullptr;
    std::wstring FileName;
    TLookAheadWishes Wishes;
};

// How a scan went besides its answer.
struct TScanContext {
    int *KillSwitch = nullptr;              // given to getData: set to interrupt a read
    std::function<bool()> Cancelled;        // asked between reads
    bool Faulted = false;                   // the plug-in faulted: no more look-aheads of it
};

// Where the sound ends and the track fades out; none where it could not be read (or the read
// was cancelled), or the track is silent throughout. A trailing silence longer than one read is
// followed back, window by window, as far as it goes.
std::optional<TTrackEnd> ScanTrackEnd(const TEndScanJob &job, TScanContext &context);
// Where the sound starts and how long the track's own rise lasts; none where it could not be
// read or nothing sounded in its first seconds.
std::optional<TTrackStart> ScanTrackStart(const TStartScanJob &job, TScanContext &context);
