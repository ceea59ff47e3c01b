#include "RecordingOutput.h"

#include <windows.h>

#include <algorithm>

namespace refhost {

namespace {
RecordingOutput *Current = nullptr;
} // namespace

// The host's record holds plain C functions: each forwards to the live RecordingOutput.
struct OutputCallbacks {
    static int __cdecl Open(int r, int c, int b, int l, int p) { return Current->Open(r, c, b, l, p); }
    static void __cdecl Close() { Current->Close(); }
    static int __cdecl Write(char *buf, int len) { return Current->Write(buf, len); }
    static int __cdecl CanWrite() { return Current->CanWrite(); }
    static int __cdecl IsPlaying() { return Current->IsPlaying(); }
    static int __cdecl Pause(int pause) { return Current->Pause(pause); }
    static void __cdecl SetVolume(int v) { Current->SetVolume(v); }
    static void __cdecl SetPan(int p) { Current->SetPan(p); }
    static void __cdecl Flush(int t) { Current->Flush(t); }
    static int __cdecl GetOutputTime() { return Current->GetOutputTime(); }
    static int __cdecl GetWrittenTime() { return Current->GetWrittenTime(); }
};

RecordingOutput::RecordingOutput(double speed, int bufferMs) : speed_(speed), bufferMs_(bufferMs) {
    static char description[] = "Reference host recording output";
    module_.version = 0x10;
    module_.description = description;
    module_.id = 65;
    module_.Open = &OutputCallbacks::Open;
    module_.Close = &OutputCallbacks::Close;
    module_.Write = &OutputCallbacks::Write;
    module_.CanWrite = &OutputCallbacks::CanWrite;
    module_.IsPlaying = &OutputCallbacks::IsPlaying;
    module_.Pause = &OutputCallbacks::Pause;
    module_.SetVolume = &OutputCallbacks::SetVolume;
    module_.SetPan = &OutputCallbacks::SetPan;
    module_.Flush = &OutputCallbacks::Flush;
    module_.GetOutputTime = &OutputCallbacks::GetOutputTime;
    module_.GetWrittenTime = &OutputCallbacks::GetWrittenTime;
    Current = this;
}

RecordingOutput::~RecordingOutput() {
    if (Current == this)
        Current = nullptr;
}

void RecordingOutput::Record(const char *name, std::vector<int> args) {
    calls_.push_back({name, std::move(args), GetCurrentThreadId()});
}

double RecordingOutput::NowMs() const {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

void RecordingOutput::Advance() {
    const double now = NowMs();
    const double elapsed = now - lastAdvanceMs_;
    lastAdvanceMs_ = now;
    if (!open_ || paused_)
        return;
    const std::int64_t buffered = written_ - played_;
    if (speed_ <= 0.0) {
        played_ = written_;
        return;
    }
    const auto playable =
        static_cast<std::int64_t>(elapsed * speed_ * format_.BytesPerSecond() / 1000.0);
    if (playable >= buffered && buffered >= 0 && written_ > 0) {
        played_ = written_;
        ranDry_ = true;
    } else {
        played_ += playable;
    }
}

std::int64_t RecordingOutput::BufferBytes() const {
    return static_cast<std::int64_t>(format_.BytesPerSecond()) * bufferMs_ / 1000;
}

int RecordingOutput::BytesToMs(std::int64_t bytes) const {
    const int perSecond = format_.BytesPerSecond();
    return perSecond > 0 ? static_cast<int>(bytes * 1000 / perSecond) : 0;
}

int RecordingOutput::Open(int rate, int channels, int bits, int bufferLenMs, int prebufferMs) {
    std::lock_guard guard(lock_);
    Record("Open", {rate, channels, bits, bufferLenMs, prebufferMs});
    if (openAnswer_ < 0)
        return openAnswer_;
    format_ = {rate, channels, bits};
    open_ = true;
    paused_ = false;
    written_ = played_ = 0;
    ranDry_ = false;
    offsetMs_ = 0;
    lastAdvanceMs_ = NowMs();
    return openAnswer_;
}

void RecordingOutput::Close() {
    std::lock_guard guard(lock_);
    Record("Close", {});
    open_ = false;
}

int RecordingOutput::Write(const char *buffer, int length) {
    std::lock_guard guard(lock_);
    Record("Write", {length});
    Advance();
    if (!open_ || length < 0 || written_ - played_ + length > std::max<std::int64_t>(BufferBytes(), length))
        return 1;
    if (ranDry_ && written_ > 0)
        ++underruns_;
    ranDry_ = false;
    pcm_.insert(pcm_.end(), buffer, buffer + length);
    written_ += length;
    largestWrite_ = std::max(largestWrite_, length);
    return 0;
}

int RecordingOutput::CanWrite() {
    std::lock_guard guard(lock_);
    Record("CanWrite", {});
    Advance();
    if (!open_)
        return 0;
    return static_cast<int>(std::max<std::int64_t>(0, BufferBytes() - (written_ - played_)));
}

int RecordingOutput::IsPlaying() {
    std::lock_guard guard(lock_);
    Record("IsPlaying", {});
    Advance();
    return open_ && written_ > played_ ? 1 : 0;
}

int RecordingOutput::Pause(int pause) {
    std::lock_guard guard(lock_);
    Record("Pause", {pause});
    Advance();
    const bool previous = paused_;
    paused_ = pause != 0;
    return previous ? 1 : 0;
}

void RecordingOutput::SetVolume(int volume) {
    std::lock_guard guard(lock_);
    Record("SetVolume", {volume});
    if (volume != -666)
        volume_ = volume;
}

void RecordingOutput::SetPan(int pan) {
    std::lock_guard guard(lock_);
    Record("SetPan", {pan});
    pan_ = pan;
}

void RecordingOutput::Flush(int ms) {
    std::lock_guard guard(lock_);
    Record("Flush", {ms});
    written_ = played_ = 0;
    ranDry_ = false;
    offsetMs_ = ms;
    lastAdvanceMs_ = NowMs();
}

int RecordingOutput::GetOutputTime() {
    std::lock_guard guard(lock_);
    Record("GetOutputTime", {});
    Advance();
    return offsetMs_ + BytesToMs(played_);
}

int RecordingOutput::GetWrittenTime() {
    std::lock_guard guard(lock_);
    Record("GetWrittenTime", {});
    return offsetMs_ + BytesToMs(written_);
}

std::vector<OutCall> RecordingOutput::Calls() const {
    std::lock_guard guard(lock_);
    return calls_;
}

std::vector<std::string> RecordingOutput::CallNames() const {
    std::lock_guard guard(lock_);
    std::vector<std::string> names;
    for (const auto &call : calls_)
        names.push_back(call.Name);
    return names;
}

int RecordingOutput::CountOf(const std::string &name) const {
    std::lock_guard guard(lock_);
    return static_cast<int>(std::count_if(calls_.begin(), calls_.end(),
                                          [&](const OutCall &call) { return call.Name == name; }));
}

std::vector<std::uint8_t> RecordingOutput::Pcm() const {
    std::lock_guard guard(lock_);
    return pcm_;
}

OutFormat RecordingOutput::Format() const {
    std::lock_guard guard(lock_);
    return format_;
}

bool RecordingOutput::IsOpen() const {
    std::lock_guard guard(lock_);
    return open_;
}

int RecordingOutput::Volume() const {
    std::lock_guard guard(lock_);
    return volume_;
}

int RecordingOutput::Pan() const {
    std::lock_guard guard(lock_);
    return pan_;
}

int RecordingOutput::Underruns() const {
    std::lock_guard guard(lock_);
    return underruns_;
}

int RecordingOutput::LargestWrite() const {
    std::lock_guard guard(lock_);
    return largestWrite_;
}

void RecordingOutput::ClearRecord() {
    std::lock_guard guard(lock_);
    calls_.clear();
    pcm_.clear();
}

void RecordingOutput::SetOpenAnswer(int latencyMs) {
    std::lock_guard guard(lock_);
    openAnswer_ = latencyMs;
}

void RecordingOutput::SetSpeed(double speed) {
    std::lock_guard guard(lock_);
    Advance();
    speed_ = speed;
}

} // namespace refhost
