// The look-ahead: a reader of its own, on a low-priority thread of its own, that learns what
// lies ahead of the playing track while the block loop goes on untouched: where the playing
// track's sound ends and whether it fades out by itself, how the next entry starts, and the next
// entry's decoder, opened for the play request that will adopt it. Its answers wait until the
// playback thread asks; an answer that comes late gives the plain transition. A fault or a stall
// of a plug-in here ends only the look-ahead: a fault turns it off for that plug-in.
#pragma once

#include "EdgeScan.h"
#include "PreLoad.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>


// The next entry's decoder, to be opened for playing: an entry the engine plays (its owner
// reads it for the engine, calls it audio and tells its length), told on the playback thread.
struct TPrepareJob {
    THookedInPlugin *Plugin = nullptr;
    std::wstring FileName;
    int LengthMs = 0;
};

class TLookAheadReader {
  public:
    enum class State { NotAsked, Pending, Ready };

    // The thread starts with the first work.
    TLookAheadReader();
    // Ends the thread; one stuck in a plug-in's call is left behind with what it holds.
    ~TLookAheadReader();
    TLookAheadReader(const TLookAheadReader &) = delete;
    TLookAheadReader &operator=(const TLookAheadReader &) = delete;

    // Called on the reader's thread whenever an answer is ready (the playback thread may wait
    // for one). Set before the first work.
    void OnAnswer(std::function<void()> notify);

    // Playback thread. A new track: everything of the last one is dropped (a read under way is
    // interrupted, a decoder prepared and not taken is closed) and these are asked for: the
    // decoder first, then the end, then the start.
    void Begin(std::optional<TEndScanJob> end, std::optional<TStartScanJob> start,
               std::optional<TPrepareJob> prepare);
    // Another next entry to prepare (the host's playlist changed); the end and start stay.
    void Prepare(TPrepareJob job);
    // Drops everything: a stop.
    void Forget();

    // The answers. Nothing here asks the heap but TakePrepared's hand-over.
    State EndState() const;
    std::optional<TTrackEnd> End() const;
    State StartState() const;
    std::optional<TTrackStart> Start() const;
    // Of the file asked for last: NotAsked for any other name.
    State PreparedState(const std::wstring &fileName) const;
    // The decoder prepared for fileName, once ready; null when it could not be opened (or was
    // asked for another name). From here on it is the caller's, guarding its owner as any.
    TPreLoadPtr TakePrepared(const std::wstring &fileName);
    // Takes back the open of fileName not begun yet (the reader busy with other work, or kept
    // from running): true when the caller is now to open it itself.
    bool Withdraw(const std::wstring &fileName);
    // Whether the look-ahead is off for plugin after a fault of it here.
    bool IsOffFor(const THookedInPlugin *plugin) const;

  private:
    struct TShared;
    static unsigned long __stdcall ThreadEntry(void *shared);
    void EnsureThread();
    std::shared_ptr<TShared> shared_;
    void *thread_ = nullptr;
};
