#include "RecordingOutput.h"

#include <windows.h>

#include <algorithm>

namespace refhost {

namespace {
RecordingOutput *Current = nullptr;
} // namespace

// The host's record holds plain C functions: each forwards to the live RecordingOutput.
struct OutputCallbacks {
    static int __cdecl Open(int r, int c, int b, int l, int p) {
        Current->FaultIfArmed("Open");
        return Current->Open(r, c, b, l, p);
    }
    static void __cdecl Close() {
        Current->FaultIfArmed("Close");
        Current->Close();
    }
    static int __cdecl Write(char *buf, int len) {
        Current->FaultIfArmed("Write");
        return Current->Write(buf, len);
    }
    static int __cdecl CanWrite() {
        Current->FaultIfArmed("CanWrite");
        return Current->CanWrite();
    }
    static int __cdecl IsPlaying() {
        Current->FaultIfArmed("IsPlaying");
        return Current->IsPlaying();
    }
    static int __cdecl Pause(int pause) {
        Current->FaultIfArmed("Pause");
        return Current->Pause(pause);
    }
    static void __cdecl SetVolume(int v) {
        Current->FaultIfArmed("SetVolume");
        Current->SetVolume(v);
    }
    static void __cdecl SetPan(int p) {
        Current->FaultIfArmed("SetPan");
        Current->SetPan(p);
    }
    static void __cdecl Flush(int t) {
        Current->FaultIfArmed("Flush");
        Current->Flush(t);
    }
    static int __cdecl GetOutputTime() {
        Current->FaultIfArmed("GetOutputTime");
        return Current->GetOutputTime();
    }
    static int __cdecl GetWrittenTime() {
        Current->FaultIfArmed("GetWrittenTime");
        return Current->GetWrittenTime();
    }
};

// Through a pointer the compiler cannot see through, so the access violation is real.
int *volatile NowhereToWrite = nullptr;

void RaiseFault(int how) {
    if (how == 1)
        *NowhereToWrite = 0x0BADF00D;
    else if (how == 2)
        RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

void RecordingOutput::FaultNext(const std::string &name, int how, int times) {
    std::lock_guard guard(lock_);
    faults_[name] = {how, times};
}

int RecordingOutput::FaultsRaised() const {
    std::lock_guard guard(lock_);
    return faultsRaised_;
}

void RecordingOutput::FaultIfArmed(const char *name) {
    int how = 0;
    {
        std::lock_guard guard(lock_);
        const auto armed = faults_.find(name);
        if (armed == faults_.end() || armed->second.second <= 0)
            return;
        how = armed->second.first;
        --armed->second.second;
        ++faultsRaised_;
    }
    RaiseFault(how);
}

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
    OutCall call{name, std::move(args), GetCurrentThreadId()};
    call.AtMs = ClockMs();
    calls_.push_back(std::move(call));
}

// Completes the record of the call in progress with its answer and the state it left.
void RecordingOutput::Answered(int answer) {
    OutCall &call = calls_.back();
    call.Answer = answer;
    const int perSecond = format_.BytesPerSecond();
    call.BufferedMs =
        perSecond > 0 ? static_cast<double>(written_ - played_) * 1000.0 / perSecond : 0.0;
    call.UnderrunMs = underrunMs_;
    call.DiscardedMs = discardedMs_;
}

double RecordingOutput::ClockMs() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double RecordingOutput::NowMs() const {
    return ClockMs();
}

void RecordingOutput::Advance() {
    const double now = NowMs();
    const double elapsed = now - lastAdvanceMs_;
    lastAdvanceMs_ = now;
    if (!open_ || paused_ || clock_ == Clock::StandsStill)
        return;
    const std::int64_t buffered = written_ - played_;
    if (speed_ <= 0.0) {
        played_ = written_;
        return;
    }
    const double bytesPerMs = speed_ * format_.BytesPerSecond() / 1000.0;
    const auto playable = static_cast<std::int64_t>(elapsed * bytesPerMs);
    // Whatever part of the elapsed time the buffered bytes could not fill was heard as silence.
    if (started_ && bytesPerMs > 0.0 && buffered >= 0)
        underrunMs_ += std::max(0.0, elapsed - static_cast<double>(buffered) / bytesPerMs);
    if (playable >= buffered && buffered >= 0 && written_ > 0) {
        played_ = written_;
        ranDry_ = true;
    } else {
        played_ += playable;
        // The part of a byte not played yet is kept for the next call: a listener polled often
        // hears the clock run at its true speed.
        lastAdvanceMs_ -= (elapsed * bytesPerMs - static_cast<double>(playable)) / bytesPerMs;
    }
}

std::int64_t RecordingOutput::BufferBytes() const {
    return static_cast<std::int64_t>(format_.BytesPerSecond()) * bufferMs_ / 1000;
}

int RecordingOutput::ToldMs() const {
    if (clock_ != Clock::Steps)
        return offsetMs_ + BytesToMs(played_);
    if (stepMs_ > 0)
        return offsetMs_ + BytesToMs(played_) / stepMs_ * stepMs_;
    const auto passed = std::upper_bound(writeEnds_.begin(), writeEnds_.end(), played_);
    return offsetMs_ + BytesToMs(passed == writeEnds_.begin() ? 0 : *std::prev(passed));
}

void RecordingOutput::SetClock(Clock clock, int stepMs) {
    std::lock_guard guard(lock_);
    Advance();
    clock_ = clock;
    stepMs_ = std::max(stepMs, 0);
}

int RecordingOutput::BytesToMs(std::int64_t bytes) const {
    const int perSecond = format_.BytesPerSecond();
    return perSecond > 0 ? static_cast<int>(bytes * 1000 / perSecond) : 0;
}

int RecordingOutput::Open(int rate, int channels, int bits, int bufferLenMs, int prebufferMs) {
    std::lock_guard guard(lock_);
    Record("Open", {rate, channels, bits, bufferLenMs, prebufferMs});
    if (openAnswer_ < 0) {
        Answered(openAnswer_);
        return openAnswer_;
    }
    // What the record holds so far was written in the format before.
    if (format_.BytesPerSecond() > 0)
        heardBeforeOpenMs_ += static_cast<double>(static_cast<std::int64_t>(pcm_.size()) -
                                                  static_cast<std::int64_t>(pcmAtOpen_)) *
                              1000.0 / format_.BytesPerSecond();
    pcmAtOpen_ = pcm_.size();
    format_ = {rate, channels, bits};
    open_ = true;
    paused_ = false;
    written_ = played_ = 0;
    writeEnds_.clear();
    ranDry_ = false;
    started_ = false;
    offsetMs_ = 0;
    lastAdvanceMs_ = NowMs();
    Answered(openAnswer_);
    return openAnswer_;
}

void RecordingOutput::Close() {
    std::lock_guard guard(lock_);
    Record("Close", {});
    Advance();
    DiscardUnplayed();
    open_ = false;
    started_ = false;
    Answered(0);
}

int RecordingOutput::Write(const char *buffer, int length) {
    std::lock_guard guard(lock_);
    Record("Write", {length});
    Advance();
    if (!open_ || length < 0 ||
        written_ - played_ + length > std::max<std::int64_t>(BufferBytes(), length)) {
        Answered(1);
        return 1;
    }
    if (ranDry_ && written_ > 0)
        ++underruns_;
    ranDry_ = false;
    if (keepPcm_)
        pcm_.insert(pcm_.end(), buffer, buffer + length);
    written_ += length;
    // Only the ends the clock has yet to pass, and the last it passed, are of use.
    if (writeEnds_.size() > 4096) {
        const auto passed = std::upper_bound(writeEnds_.begin(), writeEnds_.end(), played_);
        if (passed != writeEnds_.begin())
            writeEnds_.erase(writeEnds_.begin(), std::prev(passed));
    }
    writeEnds_.push_back(written_);
    started_ = started_ || length > 0;
    largestWrite_ = std::max(largestWrite_, length);
    Answered(0);
    return 0;
}

int RecordingOutput::CanWrite() {
    std::lock_guard guard(lock_);
    Record("CanWrite", {});
    Advance();
    const int room =
        open_ ? static_cast<int>(std::max<std::int64_t>(0, BufferBytes() - (written_ - played_)))
              : 0;
    Answered(room);
    return room;
}

int RecordingOutput::IsPlaying() {
    std::lock_guard guard(lock_);
    Record("IsPlaying", {});
    Advance();
    const std::int64_t threshold =
        static_cast<std::int64_t>(format_.BytesPerSecond()) * playingThresholdMs_ / 1000;
    const int playing = open_ && written_ - played_ > threshold ? 1 : 0;
    Answered(playing);
    return playing;
}

int RecordingOutput::Pause(int pause) {
    std::lock_guard guard(lock_);
    Record("Pause", {pause});
    Advance();
    const bool previous = paused_;
    paused_ = pause != 0;
    Answered(previous ? 1 : 0);
    return previous ? 1 : 0;
}

void RecordingOutput::SetVolume(int volume) {
    std::lock_guard guard(lock_);
    Record("SetVolume", {volume});
    if (volume != -666)
        volume_ = volume;
    Answered(0);
}

void RecordingOutput::SetPan(int pan) {
    std::lock_guard guard(lock_);
    Record("SetPan", {pan});
    pan_ = pan;
    Answered(0);
}

void RecordingOutput::Flush(int ms) {
    std::lock_guard guard(lock_);
    Record("Flush", {ms});
    Advance();
    DiscardUnplayed();
    written_ = played_ = 0;
    writeEnds_.clear();
    ranDry_ = false;
    offsetMs_ = ms;
    lastAdvanceMs_ = NowMs();
    Answered(0);
}

int RecordingOutput::GetOutputTime() {
    std::lock_guard guard(lock_);
    Record("GetOutputTime", {});
    Advance();
    const int time = ToldMs();
    Answered(time);
    return time;
}

int RecordingOutput::GetWrittenTime() {
    std::lock_guard guard(lock_);
    Record("GetWrittenTime", {});
    const int time = offsetMs_ + BytesToMs(written_);
    Answered(time);
    return time;
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

double RecordingOutput::UnderrunMs() const {
    std::lock_guard guard(lock_);
    return underrunMs_;
}

double RecordingOutput::DiscardedMs() const {
    std::lock_guard guard(lock_);
    return discardedMs_;
}

void RecordingOutput::ClearRecord() {
    std::lock_guard guard(lock_);
    calls_.clear();
    pcm_.clear();
    pcmAtOpen_ = 0;
    heardBeforeOpenMs_ = 0.0;
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

void RecordingOutput::SetPlayingThresholdMs(int ms) {
    std::lock_guard guard(lock_);
    playingThresholdMs_ = std::max(0, ms);
}

void RecordingOutput::SetKeepPcm(bool keep) {
    std::lock_guard guard(lock_);
    keepPcm_ = keep;
}

// Written bytes the listener will never hear: what Flush or Close finds still unplayed.
void RecordingOutput::DiscardUnplayed() {
    const int perSecond = format_.BytesPerSecond();
    const std::int64_t unplayed = open_ && written_ > played_ ? written_ - played_ : 0;
    if (perSecond > 0 && unplayed > 0)
        discardedMs_ += static_cast<double>(unplayed) * 1000.0 / perSecond;
    if (!dropDiscarded_)
        return;
    // The clock plays bytes, not frames: what was heard ends at the frame it reached.
    const std::int64_t frameBytes = std::max(format_.Channels * (format_.Bits / 8), 1);
    const std::int64_t dropped = unplayed - unplayed % frameBytes;
    if (keepPcm_)
        pcm_.resize(pcm_.size() - static_cast<std::size_t>(std::min<std::int64_t>(
                                      dropped, static_cast<std::int64_t>(pcm_.size()))));
    calls_.back().Args.push_back(static_cast<int>(dropped));
}

double RecordingOutput::HeardMs() {
    std::lock_guard guard(lock_);
    Advance();
    const int perSecond = format_.BytesPerSecond();
    const auto unplayed = open_ && written_ > played_ ? written_ - played_ : 0;
    const std::int64_t sinceOpen =
        static_cast<std::int64_t>(pcm_.size()) - static_cast<std::int64_t>(pcmAtOpen_) - unplayed;
    return heardBeforeOpenMs_ +
           (perSecond > 0 ? static_cast<double>(sinceOpen) * 1000.0 / perSecond : 0.0);
}

void RecordingOutput::SetDropDiscarded(bool drop) {
    std::lock_guard guard(lock_);
    dropDiscarded_ = drop;
}

} // namespace refhost
