// A decoder opened ahead of the play request that adopts it, and the slot that holds the one
// prepared for the host's next Play.
#pragma once

#include "DecoderUnit.h"

#include <memory>
#include <mutex>
#include <string>

class THookedInPlugins;

// One opened decoder of one file, prepared for a play request. Destroying it closes the
// decoder; a play request adopts the decoder instead.
struct TInPluginPlaybackThreadPreLoad {
    std::wstring FileName; // as the host gave it
    TDecoder Decoder;
};
using TPreLoadPtr = std::unique_ptr<TInPluginPlaybackThreadPreLoad>;

// Whether the host's Play of this file comes to the engine at all: stream addresses are left to
// their own plug-in.
bool IsStreamAddress(const std::wstring &fileName);

// Opens fileName for the engine, or answers null: a stream address, not owned, no extended
// read, not audio, no known length, open failed or a format that cannot be played. options
// choose how the open is guarded.
TPreLoadPtr OpenPreLoad(THookedInPlugins *registry, const std::wstring &fileName,
                        const TDecoderOpenOptions &options = {});
// Closes the record's decoder and frees it.
void FreePreLoad(TPreLoadPtr record) noexcept;

// The slot for the decoder prepared for the next play request. The playback thread fills it at
// the end of a track while the host's thread may take or release it in Play, Stop or shut-down:
// every exchange happens under its own lock, and a record is only ever owned by one side.
class TPreLoadSlot {
  public:
    TPreLoadPtr Take();
    void Put(TPreLoadPtr record);
    bool IsEmpty() const;
    // Answers look(record) under the lock, or false when the slot is empty.
    template <class F> bool Inspect(F &&look) const {
        std::lock_guard guard(lock_);
        return record_ && look(*record_);
    }

  private:
    mutable std::mutex lock_;
    TPreLoadPtr record_;
};
