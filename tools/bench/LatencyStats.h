// The figures the latency benchmark prints, from the output's record of calls: summaries of
// trials (median, 95th percentile, worst) and what happened at each track change. Pure: no
// <windows.h>, built and tested natively too.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct Summary {
    int Count = 0;
    double Median = 0.0;
    double P95 = 0.0;
    double Worst = 0.0;
};

// The q-quantile (0..1) of the values, interpolated linearly between the two nearest ranks;
// 0 for no values.
double Percentile(std::vector<double> values, double q);
Summary Summarize(const std::vector<double> &values);

// One call the output recorded, reduced to what the figures need. The running totals are the
// output's after the call.
struct TimedCall {
    std::string Name;
    int Arg = 0; // the first argument (Write: its length, Flush: its target)
    unsigned long ThreadId = 0;
    double AtMs = 0.0;
    int Answer = 0;
    double BufferedMs = 0.0;
    double UnderrunMs = 0.0;
    double DiscardedMs = 0.0;
    // A Write the output took (it answers non-zero for one it cannot take yet).
    bool IsAcceptedWrite() const { return Name == "Write" && Answer == 0; }
};

// One change from a track A to the next track B.
struct TransitionFigures {
    // From the moment the output starts to report "not playing" for A's sound (when no more than
    // thresholdMs of it remain) to B's first write; negative when B was written before that.
    double ChainMs = 0.0;
    // Silence and sound thrown away from A's last write until settleMs after B's first write.
    double UnderrunMs = 0.0;
    double DiscardedMs = 0.0;
};

// The track changes of a playlist: playStartsMs are the host's Play calls in order (the first
// starts the first track); each later one is the change to it. A's last write is the last one
// taken before B's Play, B's first write the first one after it. A change with either missing is
// left out.
std::vector<TransitionFigures> MeasureTransitions(const std::vector<TimedCall> &calls,
                                                  const std::vector<double> &playStartsMs,
                                                  double thresholdMs, double settleMs);

// From startMs on: the last call into the output by a thread other than exceptThread, or -1
// when there is none; answered as milliseconds after startMs.
double LastCallAfter(const std::vector<TimedCall> &calls, double startMs,
                     unsigned long exceptThread);

// The first Flush at or after startMs, whatever its target, and the first accepted write after
// it; -1 for either that is not there. In ms after startMs.
struct FlushAndWrite {
    double FlushMs = -1.0;
    double WriteMs = -1.0;
};
FlushAndWrite FlushThenWrite(const std::vector<TimedCall> &calls, double startMs);

// The last accepted write in [startMs, endMs), as ms after startMs; 0 when the engine wrote
// nothing more after startMs.
double LastWriteWithin(const std::vector<TimedCall> &calls, double startMs, double endMs);
// The first accepted write at or after startMs, as ms after it; -1 when there is none.
double FirstWriteAfter(const std::vector<TimedCall> &calls, double startMs);

} // namespace bench
