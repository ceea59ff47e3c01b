// Crossfade and track transition: near the end of a track the host's next playlist entry is
// opened early and the outgoing decoder is kept as the fade-out source of the next request.
#include "InPluginPlaybackThreadUnit.h"

#include "../config/PluginConfigUnit.h"
#include "../hookedins/FileInfoQueries.h"
#include "../hostlink/WinAmpAPIUnit.h"
#include "../sound/AlbumJoin.h"
#include "../sound/TrackEdges.h"
#include "../sound/BlockMath.h"
#include "../sound/FadeOutChain.h"
#include "../sound/FadeOutConversion.h"

#include <algorithm>
#include <cstring>

using namespace hostapi;

int FadeTimeMs(const TPluginConfig *settings) {
    return settings ? settings->FadeTime() : 5000;
}

int MinFileSizeMs(const TPluginConfig *settings) {
    return settings ? settings->MinFileSize() : 10000;
}

int SkipFadeMs(const TPluginConfig *settings) {
    return settings && settings->SkipFade() ? std::max(settings->SkipFadeTime(), 0) : 0;
}

namespace {

// The outgoing track's decoder, read by the mixer after its play request ended.
class TDecoderFadeOutSource : public TFadeOutSource {
  public:
    TDecoderFadeOutSource(TDecoder decoder, int blockBytes, int remainingMs, int *killSwitch)
        : decoder_(std::move(decoder)) {
        decoder_.KillSwitch = killSwitch;
        BitsPerSample = decoder_.BitsPerSample;
        Channels = decoder_.Channels;
        SampleRate = decoder_.SampleRate;
        SizeBytes = decoder_.SizeBytes;
        BlockBytes = blockBytes;
        RemainingMs = remainingMs;
    }
    int GetData(std::uint8_t *destination, int length) override {
        return decoder_.ReadFrames(destination, length);
    }
    void Close() noexcept override { decoder_.Close(); }

  private:
    TDecoder decoder_;
};

} // namespace

std::unique_ptr<TFadeOutSource> MakeDecoderFadeOutSource(TDecoder decoder, int blockBytes,
                                                         int remainingMs, int *killSwitch) {
    return std::make_unique<TDecoderFadeOutSource>(std::move(decoder), blockBytes, remainingMs,
                                                   killSwitch);
}

TCrossfadeState CrossfadeState;

void SetLogCurve(bool logCurve) {
    CrossfadeState.SetLogCurve(logCurve);
}

void SetFadeCurve(TFadeCurve curve) {
    CrossfadeState.SetCurve(curve);
}

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

std::wstring TInPluginPlaybackThread::NextPlaylistFile() const {
    const int index = NextPlaylistIndex(Links.Host);
    return index < 0 ? std::wstring() : PlaylistFile(index);
}

std::wstring TInPluginPlaybackThread::PlaylistFile(int index) const {
    const TWinAmpAPIMan *host = Links.Host;
    if (!host)
        return {};
    return host->GetPlaylistFile(index);
}

bool FadeAcrossFormats(const TPluginConfig *settings) {
    return settings && settings->FadeAcrossFormats();
}

bool PlayAlbumsThrough(const TPluginConfig *settings) {
    return settings && settings->PlayAlbumsThrough();
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

} // namespace

bool TInPluginPlaybackThread::NextContinuesAlbum() const {
    if (!::PlayAlbumsThrough(Links.Settings) || !Decoder.Plugin || playingFile_.empty())
        return false;
    const std::wstring name = NextPlaylistFile();
    const THookedInPlugin *plugin = name.empty() ? nullptr : OwnerOf(name);
    return plugin && ContinuesAlbum(AlbumTagsOf(*Decoder.Plugin, playingFile_),
                                    AlbumTagsOf(*plugin, name));
}

TLookAheadWishes TInPluginPlaybackThread::LookAheadWishes() const {
    const TPluginConfig *settings = Links.Settings;
    if (!settings)
        return {};
    return {settings->SkipSilence(), settings->SilenceThresholdDb(), settings->FadeOverOwnFadeOut(),
            settings->OwnFadeOutDropDb()};
}

endplan::TPlannedEnd TInPluginPlaybackThread::PlannedEnd() const {
    return endplan::PlanEnd(LengthMs.load(), FadeTimeMs(), lookAhead_.End(), nextStart_.Start());
}

// The next entry as the host lists it at the track's Play: a playlist changed later leaves the
// fade's length to the start read here, nothing else.
void TInPluginPlaybackThread::PrepareLookAheads(const std::wstring &fileName) {
    const TLookAheadWishes wishes = LookAheadWishes();
    auto *killSwitch = reinterpret_cast<int *>(&decoderKill_);
    lookAhead_.PrepareEnd(Decoder.Plugin, fileName, Decoder, FadeTimeMs(), wishes, killSwitch);
    nextStart_.Clear();
    if (!wishes.FollowOwnFadeOut)
        return;
    const std::wstring next = NextPlaylistFile();
    nextStart_.PrepareStart(next.empty() ? nullptr : OwnerOf(next), next, wishes, killSwitch);
}

void TInPluginPlaybackThread::RestartLeadingSilence(bool trims) {
    trimsLeadingSilence_ = trims;
    leadingSilenceFrames_ = 0;
    skippedLeadMs_ = 0;
}

// A silence longer than the most read past (a silent track, an interlude) is played as it is:
// from the track's start where the decoder can go back there.
bool TInPluginPlaybackThread::PlayFromItsStart() {
    RestartLeadingSilence(false);
    if (Decoder.SetTime(0) != TDecoder::SeekResult::Moved)
        return false;
    decodedFrames_ = 0;
    recentFrames_.Clear();
    return true;
}

int TInPluginPlaybackThread::SkipLeadingSilence(std::uint8_t *block, int frames) {
    const int bits = Decoder.BitsPerSample, channels = Decoder.Channels;
    const int first = trackedges::FirstSoundFrame(block, frames, bits, channels,
                                                  LookAheadWishes().SilenceThresholdDb);
    const std::int64_t most =
        std::int64_t{Decoder.SampleRate} * endplan::kMaxLeadingSilenceMs / 1000;
    if (first >= frames && leadingSilenceFrames_ + frames <= most) {
        leadingSilenceFrames_ += frames;
        return 0;
    }
    trimsLeadingSilence_ = false;
    if (first >= frames)
        return PlayFromItsStart() ? 0 : frames;
    leadingSilenceFrames_ += first;
    skippedLeadMs_ =
        static_cast<int>(leadingSilenceFrames_ * 1000 / std::max(Decoder.SampleRate, 1));
    const int frameBytes = blockmath::FrameBytes(bits, channels);
    std::memmove(block, block + static_cast<std::size_t>(first) * frameBytes,
                 static_cast<std::size_t>(frames - first) * frameBytes);
    return frames - first;
}

TPcmFormat FormatOf(const TDecoder &decoder) {
    return {decoder.BitsPerSample, decoder.Channels, decoder.SampleRate};
}

TPcmFormat TInPluginPlaybackThread::PlayingFormat() const {
    return FormatOf(Decoder);
}

int TInPluginPlaybackThread::MixIncoming(std::uint8_t *buffer, int frames) {
    if (!Crossfade.Armed)
        return frames;
    // The outgoing track of a skip, of another format, is converted before its first block is
    // mixed; one that cannot be converted ends the fade in the mixer as it always did.
    if (!Crossfade.Started && FadeAcrossFormats() && Crossfade.Source) {
        // A skipped stream is primed with what the listener heard just before its rest.
        std::span<const std::uint8_t> primer;
        if (const auto *rest = dynamic_cast<const TUnheardRestSource *>(Crossfade.Source.get()))
            primer = rest->FramesBefore(
                FadeOutPrimerFrames(FormatOf(*Crossfade.Source), PlayingFormat()));
        Crossfade.Source = ConvertFadeOut(std::move(Crossfade.Source), PlayingFormat(), primer);
    }
    // A fade ends with the incoming track at the latest: the outgoing one reaches silence even
    // when the track it fades into is shorter than the fade.
    const int fadeMs = std::min(skipFadeRunning_ ? SkipFadeMs() : FadeTimeMs(),
                                std::max(Decoder.LengthMs, 0));
    return Crossfade.MixingStep(buffer, frames, Decoder.BitsPerSample, Decoder.Channels,
                                Decoder.SampleRate, fadeMs);
}

// Answers true when the track's decoder was handed over: this block is its last. The fade is
// at most what is left of the track (nothing after a seek past its end); a fade time of 0 or
// below, from a hand-edited settings file, is no fade.
bool TInPluginPlaybackThread::FadeOutTrigger(int writtenMs) {
    if (StopRequested || Stopped() || tooShortForFade_ || Crossfade.Source)
        return false;
    const std::int64_t length = LengthMs.load();
    if (FadeTimeMs() <= 0) {
        tooShortForFade_ = true;
        return false;
    }
    endplan::TPlannedEnd plan = PlannedEnd();
    if (writtenMs <= plan.EndMs - plan.FadeMs)
        return false;
    // A look-ahead's answer that came after half its fade's time had passed is no use: the
    // transition is the plain one, as without it.
    if (plan.EndMs - writtenMs < plan.FadeMs / 2) {
        plan = endplan::PlanEnd(length, FadeTimeMs(), std::nullopt);
        if (writtenMs <= plan.EndMs - plan.FadeMs)
            return false;
    }
    const std::int64_t end = plan.EndMs;
    // An album played through runs out into its next track, which writes straight on.
    if (NextContinuesAlbum()) {
        tooShortForFade_ = true;
        return false;
    }
    const std::int64_t remaining = end - writtenMs;
    if (remaining > 0 && length > MinFileSizeMs() && PreLoadNext()) {
        fadeKill_ = 0;
        std::unique_ptr<TFadeOutSource> outgoing = std::make_unique<TDecoderFadeOutSource>(
            std::move(Decoder), blockBytes_, static_cast<int>(remaining),
            reinterpret_cast<int *>(&fadeKill_));
        // A converter is built here, in the last block of the outgoing track, so that the
        // fade's blocks find everything ready; it starts from the track's own last frames.
        if (FadeAcrossFormats())
            outgoing = ConvertFadeOut(std::move(outgoing), FormatOf(FadePreLoad->Decoder),
                                      recentFrames_.Frames());
        Crossfade.HoldSource(std::move(outgoing));
        Crossfade.InSpeed = plan.OverFadeOut ? endplan::kRampSpeed : 1.0;
        Crossfade.OutSpeed = plan.OverFadeIn ? endplan::kRampSpeed : 1.0;
        Crossfade.Armed = false;
        fadeInto_ = FadePreLoad->FileName;
        return true;
    }
    tooShortForFade_ = true;
    return false;
}

bool TInPluginPlaybackThread::PreLoadNext() {
    const std::wstring name = NextPlaylistFile();
    THookedInPlugin *plugin = name.empty() ? nullptr : OwnerOf(name);
    if (!plugin || !plugin->CanExtendedRead || !IsAudioFile(*plugin, name) ||
        !HasUsableOpen(*plugin, false))
        return false;
    const int lengthMs = ::GetLengthMs(*plugin, name);
    if (lengthMs < 1)
        return false;
    auto decoder = OpenDecoder(*plugin, name, {lengthMs, false, lengthMs});
    if (!decoder || decoder->LengthMs < 1)
        return false;
    if (!CanFade(PlayingFormat(), FormatOf(*decoder)))
        return false;
    const double duration =
        decoder->SizeBytes > 0
            ? static_cast<double>(blockmath::RoundHalfAway(
                  static_cast<double>(decoder->SizeBytes) / (decoder->BitsPerSample / 8) /
                  decoder->Channels / (decoder->SampleRate * 0.001)))
            : decoder->LengthMs;
    if (duration < MinFileSizeMs())
        return false;

    if (FadePreLoad) {
        if (FadePreLoad->FileName == name)
            return true; // the new decoder closes on the way out
        FreePreLoad(std::move(FadePreLoad));
    }
    FadePreLoad = std::make_unique<TInPluginPlaybackThreadPreLoad>();
    FadePreLoad->FileName = name;
    FadePreLoad->Decoder = std::move(*decoder);
    return true;
}

bool TInPluginPlaybackThread::CanFade(const TPcmFormat &outgoing,
                                      const TPcmFormat &incoming) const {
    return outgoing == incoming ||
           (FadeAcrossFormats() && TFormatConverter::CanConvert(outgoing, incoming));
}

TPreLoadPtr TInPluginPlaybackThread::TakeNextPreLoad() {
    if (FadePreLoad)
        return std::move(FadePreLoad);
    const int index = NextPlaylistIndex(Links.Host);
    if (index < 0)
        return nullptr;
    const std::wstring name = PlaylistFile(index);
    if (name.empty()) {
        StopRequested = true;
        return nullptr;
    }
    TPreLoadPtr record = OpenPreLoad(Links.Registry, name);
    if (!record)
        StopRequested = true;
    return record;
}

void TInPluginPlaybackThread::DeclickAroundReopen(std::uint8_t *block, int frames, bool handedOver) {
    const int bits = Decoder.BitsPerSample, channels = Decoder.Channels;
    const int ramp = std::min(frames, std::max(Decoder.SampleRate * kDeclickMs / 1000, 1));
    if (reopenPending_ && Crossfade.Started)
        pcm::Ramp(block, ramp, bits, channels, true);
    const bool reopensAfter =
        handedOver && FadePreLoad && FormatOf(FadePreLoad->Decoder) != PlayingFormat();
    if (reopensAfter)
        pcm::Ramp(block + static_cast<std::size_t>(frames - ramp) * bits / 8 * channels, ramp, bits,
                  channels, false);
}
