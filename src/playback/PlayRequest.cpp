// The play request: adopt the decoder, open or reuse the output, then read, mix, hand to the
// host's DSP and visualisation, and write block by block until the track ends or is stopped.
#include "InPluginPlaybackThreadUnit.h"

#include "../hostlink/FaultGuard.h"
#include "../plugin/PluginGlobals.h"
#include "BlockMath.h"

#include <algorithm>

using namespace blockmath;

// Holds IsPlaying for the whole request, whatever way it ends.
class TInPluginPlaybackThread::IsPlayingBomb {
public:
    explicit IsPlayingBomb(TInPluginPlaybackThread &thread) : thread_(thread) { thread_.IsPlaying = true; }
    ~IsPlayingBomb() { thread_.IsPlaying = false; }
    IsPlayingBomb(const IsPlayingBomb &) = delete;
    IsPlayingBomb &operator=(const IsPlayingBomb &) = delete;

private:
    TInPluginPlaybackThread &thread_;
};

namespace {

// A call into the host or another plug-in from the block loop; false when it raised anything.
template <class F>
bool Foreign(F &&call) noexcept {
    try {
        return CallGuarded(std::forward<F>(call));
    } catch (...) {
        return false;
    }
}

} // namespace

void TInPluginPlaybackThread::PostEndOfTrack() const {
    PostMessageA(PluginModule.hMainWindow, hostapi::WM_WA_MPEG_EOF, 0, 0);
}

bool TInPluginPlaybackThread::KeepsGoing() const {
    return IsPlaying && !StopRequested;
}

void TInPluginPlaybackThread::WaitWhilePaused() const {
    while (Paused && KeepsGoing() && !terminated_)
        Sleep(5);
}

void TInPluginPlaybackThread::CloseOpenedOutput() {
    if (Out_Module *opened = std::exchange(OpenedOutModule, nullptr))
        Foreign([&] { opened->Close(); });
}

void TInPluginPlaybackThread::HandlePlayRequest(const std::wstring &fileName, TPreLoadPtr record) {
    if (IsPlaying)
        return; // the record closes its decoder on the way out
    IsPlayingBomb playing(*this);
    StopRequested = false;
    SeekPending = false;
    OutModule = PluginModule.outMod;

    Out_Module *output = OutModule.load();
    if (!output || fileName.empty() || !AdoptDecoder(fileName, std::move(record))) {
        GiveUpRequest();
        return;
    }
    LengthMs = Decoder.LengthMs;
    const int blockBytes = BlockBytesFor(Decoder.SampleRate, Decoder.BitsPerSample, Decoder.Channels);
    blockBytes_ = blockBytes;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(blockBytes) * 2);
    output = PluginModule.outMod ? PluginModule.outMod : output;
    OutModule = output;

    if (PrepareOutput(output) < 0) {
        if (PluginModule.SetInfo)
            Foreign([] { PluginModule.SetInfo(0, 0, -1, 0); });
        GiveUpRequest();
        return;
    }

    Crossfade.Armed = true;
    tooShortForFade_ = LengthMs < MinFileSizeMs();
    const int pauseMs = BlockDurationMs(blockBytes, Decoder.BitsPerSample, Decoder.Channels, Decoder.SampleRate);
    const LoopEnd end = RunBlockLoop(output, buffer, blockBytes);
    Decoder.Close(); // a decoder handed over to the crossfade is no longer ours to close
    if (end == LoopEnd::Stopped) {
        StopRequested = false;
        Foreign([&] { output->Flush(0); });
        CloseOpenedOutput();
        Crossfade.ReleaseSource();
        if (PluginModule.SAVSADeInit)
            Foreign([] { PluginModule.SAVSADeInit(); });
        return;
    }
    EndOfTrack(output, pauseMs);
}

// A request that cannot play: nothing is written, and the host is told to move on.
void TInPluginPlaybackThread::GiveUpRequest() {
    CloseOpenedOutput();
    Decoder.Close();
    PostEndOfTrack();
}

// The request's decoder: the prepared record's, or one opened here for a plug-in that can also
// seek. False when there is none.
bool TInPluginPlaybackThread::AdoptDecoder(const std::wstring &fileName, TPreLoadPtr record) {
    if (record) {
        Decoder = std::move(record->Decoder);
        return Decoder.IsOpen();
    }
    THookedInPlugin *plugin = HookedInPlugins ? HookedInPlugins->FindForFile(fileName.c_str()) : nullptr;
    if (!plugin)
        return false;
    auto decoder = OpenDecoder(*plugin, fileName, {0, true, 0});
    if (!decoder)
        return false;
    Decoder = std::move(*decoder);
    return true;
}

// Opens the output for the track's format, or reuses the open one with Flush(0). Answers the
// latency, below 0 when the output could not be opened.
int TInPluginPlaybackThread::PrepareOutput(Out_Module *output) {
    const int bits = Decoder.BitsPerSample, channels = Decoder.Channels, rate = Decoder.SampleRate;
    if (OpenedOutModule == output && OpenedBits == bits && OpenedChannels == channels &&
        OpenedRate == rate) {
        Foreign([&] { output->Flush(0); });
        return 0;
    }
    if (OpenedOutModule) {
        CloseOpenedOutput();
        if (PluginModule.SAVSADeInit)
            Foreign([] { PluginModule.SAVSADeInit(); });
    }
    OpenedOutModule = output;
    OpenedBits = bits;
    OpenedChannels = channels;
    OpenedRate = rate;
    int latency = -1;
    if (!Foreign([&] { latency = output->Open(rate, channels, bits, -1, -1); }))
        latency = -1;
    if (latency < 0)
        return latency;
    if (PluginModule.SetInfo) {
        const int kbps = KbpsFor(bits, rate, channels), khz = KhzFor(rate);
        Foreign([&] { PluginModule.SetInfo(kbps, khz, channels, 1); });
    }
    if (PluginModule.SAVSAInit)
        Foreign([&] { PluginModule.SAVSAInit(latency, rate); });
    if (PluginModule.VSASetInfo)
        Foreign([&] { PluginModule.VSASetInfo(rate, channels); });
    return latency;
}

TInPluginPlaybackThread::LoopEnd TInPluginPlaybackThread::RunBlockLoop(Out_Module *output,
                                                                      std::vector<std::uint8_t> &buffer,
                                                                      int blockBytes) {
    const int bits = Decoder.BitsPerSample, channels = Decoder.Channels, rate = Decoder.SampleRate;
    const int frameBytes = FrameBytes(bits, channels);
    int pauseMs = 0;
    for (;;) {
        WaitWhilePaused();
        if (SeekPending.exchange(false)) {
            const int target = SeekTargetMs.load();
            const auto seek = Decoder.SetTime(target);
            if (seek == TDecoder::SeekResult::Failed)
                return LoopEnd::RanOut;
            if (seek == TDecoder::SeekResult::Moved)
                Foreign([&] { output->Flush(target); });
        }
        int bytes = Decoder.GetData(buffer.data(), blockBytes);
        if (bytes < 1)
            return StopRequested || terminated_ ? LoopEnd::Stopped : LoopEnd::RanOut;
        int frames = bytes / frameBytes;
        bytes = frames * frameBytes; // a torn last frame is not written
        int written = 0;
        Foreign([&] { written = output->GetWrittenTime(); });

        frames = MixIncoming(buffer.data(), frames);
        const bool handedOver = FadeOutTrigger(written);

        if (PluginModule.dsp_isactive && PluginModule.dsp_dosamples) {
            int active = 0;
            if (!Foreign([&] { active = PluginModule.dsp_isactive(); }))
                return LoopEnd::RanOut;
            if (active) {
                auto *samples = reinterpret_cast<short *>(buffer.data());
                if (!Foreign([&] { frames = PluginModule.dsp_dosamples(samples, frames, bits, channels, rate); }))
                    return LoopEnd::RanOut;
                // The host's DSP may at most double a block: that is the room the buffer has.
                frames = std::clamp(frames, 0, 2 * blockBytes / frameBytes);
                bytes = frames * frameBytes;
            }
        }
        char *data = reinterpret_cast<char *>(buffer.data());
        if (PluginModule.SAAddPCMData &&
            !Foreign([&] { PluginModule.SAAddPCMData(data, channels, bits, written); }))
            return LoopEnd::RanOut;
        if (PluginModule.VSAAddPCMData &&
            !Foreign([&] { PluginModule.VSAAddPCMData(data, channels, bits, written); }))
            return LoopEnd::RanOut;

        if (!WriteBlock(output, buffer.data(), bytes, pauseMs))
            return StopRequested || !IsPlaying || terminated_ ? LoopEnd::Stopped : LoopEnd::RanOut;
        pauseMs = BlockDurationMs(bytes, bits, channels, rate);
        if (handedOver)
            return LoopEnd::HandedOver;
        if (StopRequested || terminated_ || !IsPlaying)
            return LoopEnd::Stopped;
    }
}

// Writes a block in pieces the output plug-in contract allows, each after its own room check.
// False when the request is stopped meanwhile or the output fails.
bool TInPluginPlaybackThread::WriteBlock(Out_Module *output, std::uint8_t *data, int bytes,
                                         int pauseMs) {
    const int frameBytes = FrameBytes(Decoder.BitsPerSample, Decoder.Channels);
    const int piece = MaxWritePiece(frameBytes);
    for (int offset = 0; offset < bytes;) {
        const int room = WaitForRoom(output, std::min(piece, bytes - offset), frameBytes, pauseMs);
        if (room <= 0)
            return false;
        char *chunk = reinterpret_cast<char *>(data + offset);
        int refused = 0;
        for (;;) {
            if (!Foreign([&] { refused = output->Write(chunk, room); }))
                return false;
            if (refused <= 0)
                break;
            if (!KeepsGoing())
                return false;
            Sleep(static_cast<DWORD>(pauseMs));
            WaitWhilePaused();
        }
        offset += room;
    }
    return true;
}

// Waits until the output takes bytes and answers them; 0 when the request is stopped or the
// output fails. An output whose whole buffer is smaller than the piece (a 4096-byte block of a
// 1 kHz track, say) never finds that room: once it holds nothing, it gets what fits.
int TInPluginPlaybackThread::WaitForRoom(Out_Module *output, int bytes, int frameBytes, int pauseMs) {
    for (;;) {
        int room = 0;
        if (!Foreign([&] { room = output->CanWrite(); }))
            return 0;
        if (room >= bytes)
            return bytes;
        if (!KeepsGoing())
            return 0;
        int playing = 1;
        if (room >= frameBytes && Foreign([&] { playing = output->IsPlaying(); }) && !playing)
            return room - room % frameBytes;
        Sleep(static_cast<DWORD>(pauseMs));
        WaitWhilePaused();
    }
}

// The track ran out (or went on into a crossfade): prepare the next one, let the output play
// out what it holds, then tell the host.
void TInPluginPlaybackThread::EndOfTrack(Out_Module *output, int pauseMs) {
    const unsigned generation = stopGeneration_.load();
    if (NextPreLoad.IsEmpty())
        NextPreLoad.Put(TakeNextPreLoad());
    for (;;) {
        int playing = 0;
        if (!Foreign([&] { playing = output->IsPlaying(); }) || !playing)
            break;
        if (StopRequested || terminated_)
            break;
        Sleep(static_cast<DWORD>(std::max(pauseMs, 1)));
        WaitWhilePaused();
    }
    if (StopRequested) {
        OpenedOutModule = nullptr;
        Foreign([&] { output->Close(); });
    }
    // The user's stop while the output played out: the host must not move on to the next entry.
    if (stopGeneration_.load() == generation)
        PostEndOfTrack();
}
