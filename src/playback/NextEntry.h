// The host's next playlist entry as the engine learns it: which entry comes next (the host's
// IPC answers), what it is to the engine (its own file, a stream or file handed back, the next
// track of the same album), and its decoder, opened ahead by the look-ahead's reader so that no
// open ever holds up the block loop.
#pragma once

#include "EngineLinks.h"
#include "EngineSettings.h"
#include "LookAheadReader.h"
#include "PreLoad.h"

#include "../sound/FormatConverter.h"
#include "../sound/TransitionDecision.h"

#include <string>

class THookedInPlugin;

// The host's next playlist entry as the engine learns it from the host's IPC answers; -1 when
// there is none.
int NextPlaylistIndex(const TWinAmpAPIMan *host);

class TNextEntry {
  public:
    TNextEntry(const TEngineLinks &links, const TEngineSettings &settings,
               TLookAheadReader &lookAhead)
        : links_(links), settings_(settings), lookAhead_(lookAhead) {}

    // Host's thread and playback thread: the decoder prepared for the host's next Play.
    TPreLoadSlot Slot;

    // Playback thread. A track starts: the next entry as the host lists it now, and what the
    // look-ahead reads for it (the playing track's end, the next entry's start, its decoder).
    void BeginTrack(THookedInPlugin *plugin, const std::wstring &fileName, const TDecoder &playing);
    // Asks the host which entry comes next and what it is (once per track; a second call only
    // looks whether its decoder is ready). Unknown while its decoder is being opened.
    transition::TNext Learn(const TPcmFormat &playing);
    // The same, but an open the look-ahead has not begun is made here and now, on this thread.
    transition::TNext LearnHere(const TPcmFormat &playing);
    bool Asked() const { return asked_; }
    // The learnt entry's file name; empty before it was learnt, or where there is none.
    const std::wstring &Name() const { return name_; }
    // The look-ahead's start was read of the entry learnt (or none was learnt yet).
    bool StartIsOfNext() const { return !asked_ || name_ == startOf_; }
    transition::TNext Known() const { return next_; }
    // The learnt entry's decoder, for the fade into it or the host's Play; null if none.
    TPreLoadPtr TakeRecord() { return std::move(record_); }
    const TInPluginPlaybackThreadPreLoad *Record() const { return record_.get(); }
    // At a track's end: the decoder for the host's next Play (the Part's TakeNextPreLoad), with
    // what the next entry is to the engine.
    TPreLoadPtr TakeForPlay(const TPcmFormat &playing, transition::TNext &next);
    // Lets go of everything learnt.
    void Forget();
    // The file a held fade-out source goes into (its hand-over prepared it); empty for none.
    std::wstring FadeInto;

    // The file name of the host's playlist entry at index, copied at once; empty for none.
    std::wstring PlaylistFile(int index) const;

  private:
    THookedInPlugin *OwnerOf(const std::wstring &fileName) const;
    transition::TNext Classify(const TPcmFormat &playing);
    transition::TNext ClassifyRecord(const TPcmFormat &playing);
    bool ContinuesAlbum(const std::wstring &next, const THookedInPlugin &owner) const;

    const TEngineLinks &links_;
    const TEngineSettings &settings_;
    TLookAheadReader &lookAhead_;
    // The playing track (for the album rule).
    THookedInPlugin *playingPlugin_ = nullptr;
    std::wstring playingFile_;
    // What was learnt of the next entry this track.
    bool asked_ = false;
    std::wstring name_;
    THookedInPlugin *owner_ = nullptr;
    int lengthMs_ = 0;
    std::wstring startOf_; // the entry the look-ahead reads the start of
    transition::TNext next_;
    TPreLoadPtr record_;
};
