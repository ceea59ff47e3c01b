// An output plug-in for the reference host: records every call and the PCM it is given, and
// plays the written sound out on a clock that runs in real time or faster.
#pragma once

#include "hostlink/WinampApi.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace refhost {

struct OutCall {
    std::string Name;      // "Open", "Write", "Flush", ...
    std::vector<int> Args; // the call's integer arguments (Write: its length)
    unsigned long ThreadId = 0;
    // For latency measures: when the call came (ClockMs), what it answered, the unplayed
    // milliseconds it left, and the running totals of underrun and discarded milliseconds.
    double AtMs = 0.0;
    int Answer = 0;
    double BufferedMs = 0.0;
    double UnderrunMs = 0.0;
    double DiscardedMs = 0.0;
};

struct OutFormat {
    int Rate = 0;
    int Channels = 0;
    int Bits = 0;
    int BytesPerSecond() const { return Rate * Channels * (Bits / 8); }
};

class RecordingOutput {
  public:
    // speed: how many times faster than real time the buffered sound plays out; 0 = at once.
    explicit RecordingOutput(double speed = 0.0, int bufferMs = 2000);
    ~RecordingOutput();
    RecordingOutput(const RecordingOutput &) = delete;
    RecordingOutput &operator=(const RecordingOutput &) = delete;

    // The record the host hands to input plug-ins. Only one RecordingOutput is live at a time.
    Out_Module *Module() { return &module_; }

    // What the input plug-ins did; each call copies under the lock.
    std::vector<OutCall> Calls() const;
    std::vector<std::string> CallNames() const;
    int CountOf(const std::string &name) const;
    std::vector<std::uint8_t> Pcm() const; // every byte written since construction
    OutFormat Format() const;              // of the last Open
    bool IsOpen() const;
    int Volume() const;
    int Pan() const;
    int Underruns() const; // writes that found the buffer already played dry
    int LargestWrite() const;
    // Milliseconds the real-time clock ran with nothing to play, from the first write after an
    // Open until the Close (pauses excluded); and milliseconds written but thrown away unplayed
    // by Flush or Close. Both run on across ClearRecord.
    double UnderrunMs() const;
    // Milliseconds of Pcm() a listener has heard by now (at the output's speed), each part in the
    // format the output was open in when it was written.
    double HeardMs();
    double DiscardedMs() const;
    void ClearRecord();

    // How the output's clock (GetOutputTime) moves: with the sound played, in steps (stepMs, or
    // 0: a whole Write at a time), or not at all (a stalled device: nothing plays or is taken).
    enum class Clock { Runs, Steps, StandsStill };
    void SetClock(Clock clock, int stepMs = 10);

    // What the output answers.
    void SetOpenAnswer(int latencyMs);
    void SetSpeed(double speed);
    // A buffer-ahead output: IsPlaying answers "not playing" while ms or less remain unplayed, so
    // that the next track can start in time. 0, the default, means only when empty.
    void SetPlayingThresholdMs(int ms);
    // Long measures need not keep every byte: Pcm() stays empty while this is off.
    void SetKeepPcm(bool keep);
    // What a Flush or Close throws away unplayed is taken out of Pcm() again, so that it holds
    // what a listener heard; the call's record then carries the bytes as its last argument.
    void SetDropDiscarded(bool drop);

    // The next `times` calls of the named member ("Write", "CanWrite", ...) fault before they do
    // anything: how 1 = an access violation, 2 = a C++ exception of another compiler's runtime.
    void FaultNext(const std::string &name, int how, int times = 1);
    int FaultsRaised() const;

    // The clock of AtMs and of the real-time playing, in milliseconds (the performance counter).
    static double ClockMs();

  private:
    friend struct OutputCallbacks;
    int Open(int rate, int channels, int bits, int bufferLenMs, int prebufferMs);
    void Close();
    int Write(const char *buffer, int length);
    int CanWrite();
    int IsPlaying();
    int Pause(int pause);
    void SetVolume(int volume);
    void SetPan(int pan);
    void Flush(int ms);
    int GetOutputTime();
    int GetWrittenTime();

    // Raises the fault armed for the named member, outside the lock.
    void FaultIfArmed(const char *name);
    void Record(const char *name, std::vector<int> args);
    void Answered(int answer);
    void DiscardUnplayed();
    double NowMs() const;
    // Moves the clock on to now: buffered bytes play out while not paused.
    void Advance();
    std::int64_t BufferBytes() const;
    int BytesToMs(std::int64_t bytes) const;
    // The time GetOutputTime tells, as the clock moves.
    int ToldMs() const;

    Out_Module module_{};
    mutable std::mutex lock_;
    std::vector<OutCall> calls_;
    std::vector<std::uint8_t> pcm_;
    // Where the last Open found the record, and what the record held before it lasted.
    std::size_t pcmAtOpen_ = 0;
    double heardBeforeOpenMs_ = 0.0;
    OutFormat format_;
    bool open_ = false;
    bool paused_ = false;
    int volume_ = -1;
    int pan_ = 0;
    int openAnswer_ = 0;
    int underruns_ = 0;
    int largestWrite_ = 0;
    double speed_;
    int bufferMs_;
    // The clock: bytes written since the last Open/Flush, the time base and its offset.
    std::int64_t written_ = 0;
    std::int64_t played_ = 0;
    double lastAdvanceMs_ = 0.0;
    bool ranDry_ = false; // the buffer emptied while the clock ran
    int offsetMs_ = 0;
    Clock clock_ = Clock::Runs;
    int stepMs_ = 10;
    // Where each Write since the Open or Flush ended, for a clock that steps a Write at a time.
    std::vector<std::int64_t> writeEnds_;
    // Latency measures: the buffer-ahead threshold, whether the output has been written since
    // its Open (only then does an empty buffer count as an underrun), and the running totals.
    int playingThresholdMs_ = 0;
    bool keepPcm_ = true;
    bool dropDiscarded_ = false;
    bool started_ = false;
    double underrunMs_ = 0.0;
    double discardedMs_ = 0.0;
    // Armed faults: member name -> (how, calls left).
    std::map<std::string, std::pair<int, int>> faults_;
    int faultsRaised_ = 0;
};

// A real fault on the calling thread, as foreign code raises one: 1 = an access violation,
// 2 = the structured exception of a C++ throw of the Microsoft runtime; other values do nothing.
void RaiseFault(int how);

} // namespace refhost
