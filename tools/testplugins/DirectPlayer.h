// Direct-mode playback as a real input plug-in does it: Play opens the host's output plug-in and
// a writer thread of the plug-in's own feeds it in blocks, then posts the host's end-of-track
// message once the output has played everything out.
#pragma once

#include "hostlink/WinampApi.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace plugkit {

struct PcmShape {
    int Rate = 0;
    int Channels = 0;
    int Bits = 0;
    int FrameBytes() const { return Channels * (Bits / 8); }
};

// Where the writer takes its sound from. Read is called on the writer thread only.
class PcmSource {
  public:
    virtual ~PcmSource() = default;
    virtual PcmShape Shape() const = 0;
    virtual int64_t TotalFrames() const = 0;
    // Fills out with up to frames frames from firstFrame on; answers how many it gave, 0 at the
    // end (which may come before TotalFrames when the file is shorter than it claimed).
    virtual int64_t Read(int64_t firstFrame, int64_t frames, uint8_t *out) = 0;
};

// The name and length of the file now playing. Written by Play and Stop on the host's thread;
// GetFileInfo for "the playing file" may come from any thread (a player's own, for one).
class PlayingFile {
  public:
    void Set(std::wstring name, int lengthMs) {
        std::lock_guard guard(lock_);
        name_ = std::move(name);
        lengthMs_ = lengthMs;
    }
    void Clear() { Set({}, 0); }
    std::wstring Name() const {
        std::lock_guard guard(lock_);
        return name_;
    }
    int LengthMs() const {
        std::lock_guard guard(lock_);
        return lengthMs_;
    }

  private:
    mutable std::mutex lock_;
    std::wstring name_;
    int lengthMs_ = 0;
};

class DirectPlayer {
  public:
    // The host's largest Write, in bytes.
    static constexpr int kMaxBlockBytes = hostapi::kOutWriteMaxBytes;

    explicit DirectPlayer(In_Module &module) : module_(module) {}
    ~DirectPlayer() { Stop(); }
    DirectPlayer(const DirectPlayer &) = delete;
    DirectPlayer &operator=(const DirectPlayer &) = delete;

    // Opens the module's current outMod with the source's format and starts writing. Answers 0,
    // or 1 when there is no output or it refused the format (nothing runs then).
    int Start(std::unique_ptr<PcmSource> source);
    // Ends the writer (waiting for it) and closes the output. Harmless when nothing plays.
    void Stop();
    void Pause();
    void UnPause();
    bool IsPaused() const { return paused_; }
    bool IsPlaying() const { return output_ != nullptr; }
    int GetOutputTime() const;
    // The writer drops what the output holds and goes on from ms.
    void Seek(int ms);

  private:
    void Run();
    // One step of the writer; answers false once the track has ended and the host was told.
    bool Step(std::unique_ptr<uint8_t[]> &block, int64_t &total);
    bool WriteAll(const uint8_t *data, int bytes);

    In_Module &module_;
    Out_Module *output_ = nullptr; // the output opened by Start; host thread only
    std::unique_ptr<PcmSource> source_;
    PcmShape shape_;
    std::thread writer_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> paused_{false};
    std::atomic<int> seekMs_{-1}; // pending seek, -1 = none; taken by the writer
    int64_t frame_ = 0;           // next frame to write; writer thread only
};

} // namespace plugkit
