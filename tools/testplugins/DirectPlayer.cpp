#include "DirectPlayer.h"

#include <algorithm>

namespace plugkit {

namespace {

// How long the writer naps when the output is full or paused.
constexpr DWORD kNapMs = 5;

} // namespace

int DirectPlayer::Start(std::unique_ptr<PcmSource> source) {
    Stop();
    Out_Module *output = module_.outMod;
    if (!output || !source)
        return 1;
    shape_ = source->Shape();
    if (shape_.FrameBytes() <= 0 || shape_.Rate <= 0)
        return 1;
    const int latency = output->Open(shape_.Rate, shape_.Channels, shape_.Bits, -1, -1);
    if (latency < 0)
        return 1;
    if (module_.SetInfo)
        module_.SetInfo(shape_.Rate * shape_.Channels * shape_.Bits / 1000, shape_.Rate / 1000,
                        shape_.Channels, 1);
    if (module_.SAVSAInit)
        module_.SAVSAInit(latency, shape_.Rate);
    if (module_.VSASetInfo)
        module_.VSASetInfo(shape_.Rate, shape_.Channels);
    output_ = output;
    source_ = std::move(source);
    stop_ = false;
    paused_ = false;
    seekMs_ = -1;
    frame_ = 0;
    writer_ = std::thread([this] { Run(); });
    return 0;
}

void DirectPlayer::Stop() {
    if (!output_)
        return;
    stop_ = true;
    if (writer_.joinable())
        writer_.join();
    output_->Close();
    if (module_.SAVSADeInit)
        module_.SAVSADeInit();
    output_ = nullptr;
    source_.reset();
    paused_ = false;
}

void DirectPlayer::Pause() {
    if (!output_)
        return;
    paused_ = true;
    output_->Pause(1);
}

void DirectPlayer::UnPause() {
    if (!output_)
        return;
    paused_ = false;
    output_->Pause(0);
}

int DirectPlayer::GetOutputTime() const {
    return output_ ? output_->GetOutputTime() : 0;
}

void DirectPlayer::Seek(int ms) {
    if (output_)
        seekMs_ = std::max(ms, 0);
}

void DirectPlayer::Run() {
    const int blockFrames = std::max(1, kMaxBlockBytes / shape_.FrameBytes());
    auto block =
        std::make_unique<uint8_t[]>(static_cast<std::size_t>(blockFrames) * shape_.FrameBytes());
    int64_t total = source_->TotalFrames();
    while (!stop_ && Step(block, total)) {
    }
}

bool DirectPlayer::Step(std::unique_ptr<uint8_t[]> &block, int64_t &total) {
    if (const int seek = seekMs_.exchange(-1); seek >= 0) {
        frame_ = std::min<int64_t>(total, static_cast<int64_t>(seek) * shape_.Rate / 1000);
        output_->Flush(seek);
        return true;
    }
    if (paused_) {
        Sleep(kNapMs);
        return true;
    }
    if (frame_ >= total) {
        if (output_->IsPlaying()) {
            Sleep(kNapMs);
            return true;
        }
        PostMessageW(module_.hMainWindow, hostapi::WM_WA_MPEG_EOF, 0, 0);
        return false;
    }
    const int frameBytes = shape_.FrameBytes();
    const int64_t frames = std::min<int64_t>(
        {kMaxBlockBytes / frameBytes, total - frame_, output_->CanWrite() / frameBytes});
    if (frames <= 0) {
        Sleep(kNapMs);
        return true;
    }
    const int64_t got = source_->Read(frame_, frames, block.get());
    if (got <= 0) {
        total = frame_; // the source ended early: play out what was written
        return true;
    }
    if (WriteAll(block.get(), static_cast<int>(got * frameBytes)))
        frame_ += got;
    return true;
}

// Write never blocks; it answers non-zero when the output cannot take the block yet.
bool DirectPlayer::WriteAll(const uint8_t *data, int bytes) {
    while (output_->Write(reinterpret_cast<char *>(const_cast<uint8_t *>(data)), bytes) != 0) {
        if (stop_ || seekMs_ >= 0)
            return false;
        Sleep(kNapMs);
    }
    return true;
}

} // namespace plugkit
