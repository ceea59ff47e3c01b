// The CPU time of another thread of this process, as precisely as the platform tells it. Wine's
// GetThreadTimes counts in 10 ms steps, too coarse for a thread that works a few milliseconds a
// second; under Wine the Linux kernel's own account of the thread, in nanoseconds, is readable
// through the Z: drive (/proc/<pid>/task/<tid>/schedstat). Elsewhere GetThreadTimes it is.
#pragma once

#include <windows.h>

#include <string>

namespace bench {

class ThreadClock {
  public:
    // The clock of thread (a handle with query rights, kept open by the caller). Under Wine the
    // kernel's task of it is told apart as the busiest task other than this process's first
    // over sampleMs, during which this thread sleeps: call it while the thread is busy and the
    // process's other threads are not. marker is a text only this process's memory map holds (a
    // path of a library it loaded) that tells its /proc entry from another run's.
    ThreadClock(HANDLE thread, const std::wstring &marker, int sampleMs);

    double CpuMs() const;
    // Whether the kernel's nanosecond account is read, rather than GetThreadTimes.
    bool Precise() const { return !taskFolder_.empty(); }

  private:
    HANDLE thread_;
    std::string taskFolder_; // "Z:\proc\<pid>\task\<tid>\", empty when not found
};

} // namespace bench
