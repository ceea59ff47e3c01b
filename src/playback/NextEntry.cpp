#include "NextEntry.h"

#include "../hookedins/FileInfoQueries.h"
#include "../hookedins/HookedInsUnit.h"
#include "../hostlink/WinAmpAPIUnit.h"
#include "../sound/AlbumJoin.h"
#include "../sound/BlockMath.h"

using namespace hostapi;
using transition::Entry;

int NextPlaylistIndex(const TWinAmpAPIMan *host) {
    if (!host)
        return -1;
    const bool newHost = host->HostVersionMajor > 0x50 ||
                         (host->HostVersionMajor == 0x50 && host->HostVersionMinor > 0x60);
    const auto manualAdvance = static_cast<int>(host->SendIpc(0, IPC_GET_MANUALPLADVANCE));
    if (manualAdvance != -1 && manualAdvance != 0)
        return -1;
    int repeat = static_cast<int>(host->SendIpc(0, IPC_GET_REPEAT));
    if (repeat == -1)
        repeat = 1;
    int next = static_cast<int>(host->SendIpc(0, IPC_GET_NEXT_PLITEM));
    if (next == -1 && newHost)
        next = static_cast<int>(host->SendIpc(0, IPC_GETNEXTLISTPOS));
    const int position = host->GetPlaylistPosition();
    const int count = host->GetPlaylistLength();
    if (count < 1 || (next == -1 && newHost))
        return -1;
    if (next == -1)
        next = position + 1;
    if (repeat == 0 && next >= count)
        return -1;
    while (next >= count)
        next -= count;
    return next;
}

namespace {

TAlbumTags AlbumTagsOf(const THookedInPlugin &plugin, const std::wstring &fileName) {
    TAlbumTags tags;
    QueryFileInfo(plugin, fileName, "album", tags.Album);
    QueryFileInfo(plugin, fileName, "albumartist", tags.AlbumArtist);
    QueryFileInfo(plugin, fileName, "artist", tags.Artist);
    QueryFileInfo(plugin, fileName, "track", tags.Track);
    return tags;
}

TPcmFormat FormatOf(const TDecoder &decoder) {
    return {decoder.BitsPerSample, decoder.Channels, decoder.SampleRate};
}

// The entry is the engine's: owned, read for the engine, audio, of a known length. Its length,
// or 0 when it is not the engine's (a stream address is never asked about).
int EnginesLength(THookedInPlugin *plugin, const std::wstring &fileName) {
    if (fileName.empty() || IsStreamAddress(fileName) || !plugin || !plugin->CanExtendedRead ||
        plugin->IsFaulted() || !HasUsableOpen(*plugin, false) || !IsAudioFile(*plugin, fileName))
        return 0;
    return std::max(GetLengthMs(*plugin, fileName), 0);
}

} // namespace

std::wstring TNextEntry::PlaylistFile(int index) const {
    return links_.Host && index >= 0 ? links_.Host->GetPlaylistFile(index) : std::wstring();
}

THookedInPlugin *TNextEntry::OwnerOf(const std::wstring &fileName) const {
    return links_.Registry && !fileName.empty() ? links_.Registry->FindForFile(fileName.c_str())
                                                : nullptr;
}

void TNextEntry::Forget() {
    asked_ = false;
    name_.clear();
    next_ = {};
    FreePreLoad(std::move(record_));
}

// The next entry as the host lists it at the track's Play: its start is read and its decoder
// opened from then on; the host is asked again where the fade would start.
void TNextEntry::BeginTrack(THookedInPlugin *plugin, const std::wstring &fileName,
                            const TDecoder &playing) {
    Forget();
    playingPlugin_ = plugin;
    playingFile_ = fileName;
    const TLookAheadWishes wishes = settings_.LookAheadWishes();
    std::optional<TEndScanJob> end;
    if (wishes.Any() && playing.LengthMs > 0 && plugin && HasUsableOpen(*plugin, true))
        end = TEndScanJob{plugin,           fileName, playing.LengthMs, playing.SampleRate,
                          playing.BitsPerSample, playing.Channels, settings_.FadeTimeMs(), wishes};
    const std::wstring next = PlaylistFile(NextPlaylistIndex(links_.Host));
    THookedInPlugin *owner = OwnerOf(next);
    const int nextLength = EnginesLength(owner, next);
    std::optional<TStartScanJob> start;
    std::optional<TPrepareJob> prepare;
    startOf_.clear();
    if (nextLength > 0) {
        if (wishes.FollowOwnFadeOut) {
            start = TStartScanJob{owner, next, wishes};
            startOf_ = next;
        }
        prepare = TPrepareJob{owner, next, nextLength};
    }
    lookAhead_.Begin(std::move(end), std::move(start), std::move(prepare));
}

transition::TNext TNextEntry::Learn(const TPcmFormat &playing) {
    if (asked_) {
        if (next_.Kind == Entry::Unknown && !name_.empty())
            return Classify(playing);
        return next_;
    }
    asked_ = true;
    const int index = NextPlaylistIndex(links_.Host);
    if (index < 0) {
        next_.Kind = Entry::None;
        return next_;
    }
    name_ = PlaylistFile(index);
    if (name_.empty()) {
        next_.Kind = Entry::Unopenable;
        return next_;
    }
    THookedInPlugin *owner = OwnerOf(name_);
    const int length = EnginesLength(owner, name_);
    if (length < 1) {
        next_.Kind = Entry::HandedBack;
        return next_;
    }
    next_.ContinuesAlbum = ContinuesAlbum(name_, *owner);
    owner_ = owner;
    lengthMs_ = length;
    lookAhead_.Prepare({owner, name_, length});
    return Classify(playing);
}

transition::TNext TNextEntry::LearnHere(const TPcmFormat &playing) {
    const transition::TNext next = Learn(playing);
    if (next.Kind != Entry::Unknown || !lookAhead_.Withdraw(name_))
        return next;
    TDecoderOpenOptions options;
    options.PresetSize = lengthMs_;
    options.KnownLengthMs = lengthMs_;
    if (auto decoder = owner_ ? OpenDecoder(*owner_, name_, options) : std::nullopt) {
        record_ = std::make_unique<TInPluginPlaybackThreadPreLoad>();
        record_->FileName = name_;
        record_->Decoder = std::move(*decoder);
    }
    return ClassifyRecord(playing);
}

// What the prepared decoder tells: its format against the playing track's, and its length.
transition::TNext TNextEntry::Classify(const TPcmFormat &playing) {
    using State = TLookAheadReader::State;
    if (lookAhead_.PreparedState(name_) != State::Ready)
        return next_; // Unknown while it opens
    record_ = lookAhead_.TakePrepared(name_);
    return ClassifyRecord(playing);
}

transition::TNext TNextEntry::ClassifyRecord(const TPcmFormat &playing) {
    if (!record_) {
        next_.Kind = Entry::Unopenable;
        return next_;
    }
    const TDecoder &decoder = record_->Decoder;
    const TPcmFormat format = FormatOf(decoder);
    next_.Kind = Entry::Engines;
    next_.SameFormat = format == playing;
    next_.Convertible = TFormatConverter::CanConvert(playing, format);
    next_.LengthMs =
        decoder.SizeBytes > 0
            ? blockmath::RoundHalfAway(static_cast<double>(decoder.SizeBytes) /
                                       (decoder.BitsPerSample / 8) / decoder.Channels /
                                       (decoder.SampleRate * 0.001))
            : decoder.LengthMs;
    return next_;
}

bool TNextEntry::ContinuesAlbum(const std::wstring &next, const THookedInPlugin &owner) const {
    if (!settings_.PlayAlbumsThrough() || !playingPlugin_ || playingFile_.empty())
        return false;
    return ::ContinuesAlbum(AlbumTagsOf(*playingPlugin_, playingFile_), AlbumTagsOf(owner, next));
}

TPreLoadPtr TNextEntry::TakeForPlay(const TPcmFormat &playing, transition::TNext &next) {
    next = Learn(playing);
    return std::move(record_);
}
