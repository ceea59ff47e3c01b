#include "LatencyStats.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

namespace bench {

double Percentile(std::vector<double> values, double q) {
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const double rank = std::clamp(q, 0.0, 1.0) * static_cast<double>(values.size() - 1);
    const auto below = static_cast<std::size_t>(std::floor(rank));
    const std::size_t above = std::min(below + 1, values.size() - 1);
    return values[below] + (values[above] - values[below]) * (rank - static_cast<double>(below));
}

Summary Summarize(const std::vector<double> &values) {
    Summary summary;
    summary.Count = static_cast<int>(values.size());
    if (values.empty())
        return summary;
    summary.Median = Percentile(values, 0.5);
    summary.P95 = Percentile(values, 0.95);
    summary.Worst = *std::max_element(values.begin(), values.end());
    return summary;
}

namespace {

using Calls = std::vector<TimedCall>;
using Iterator = Calls::const_iterator;

// The first call at or after ms; the output records its calls in the order of their times.
Iterator FirstAtOrAfter(const Calls &calls, double ms) {
    return std::lower_bound(calls.begin(), calls.end(), ms,
                            [](const TimedCall &call, double at) { return call.AtMs < at; });
}

// The first call after ms.
Iterator FirstAfter(const Calls &calls, double ms) {
    return std::upper_bound(calls.begin(), calls.end(), ms,
                            [](double at, const TimedCall &call) { return at < call.AtMs; });
}

Iterator FirstWriteIn(Iterator from, Iterator to) {
    return std::find_if(from, to, [](const TimedCall &call) { return call.IsAcceptedWrite(); });
}

// The last accepted write in [from, to), or to when there is none.
Iterator LastWriteIn(Iterator from, Iterator to) {
    for (Iterator at = to; at != from;) {
        --at;
        if (at->IsAcceptedWrite())
            return at;
    }
    return to;
}

} // namespace

std::vector<TransitionFigures> MeasureTransitions(const Calls &calls,
                                                  const std::vector<double> &playStartsMs,
                                                  double thresholdMs, double settleMs) {
    std::vector<TransitionFigures> figures;
    constexpr double kNever = std::numeric_limits<double>::infinity();
    for (std::size_t k = 1; k < playStartsMs.size(); ++k) {
        const Iterator trackA = FirstAtOrAfter(calls, playStartsMs[k - 1]);
        const Iterator trackB = FirstAtOrAfter(calls, playStartsMs[k]);
        const double nextStart = k + 1 < playStartsMs.size() ? playStartsMs[k + 1] : kNever;
        const Iterator afterB = FirstAtOrAfter(calls, nextStart);
        const Iterator lastA = LastWriteIn(trackA, trackB);
        const Iterator firstB = FirstWriteIn(trackB, afterB);
        if (lastA == trackB || firstB == afterB)
            continue;
        const double playedOutMs = lastA->AtMs + std::max(0.0, lastA->BufferedMs - thresholdMs);
        // The last call up to the end of the window: at least B's first write.
        const Iterator settled =
            std::prev(FirstAfter(calls, std::min(firstB->AtMs + settleMs, nextStart)));
        figures.push_back({firstB->AtMs - playedOutMs, settled->UnderrunMs - lastA->UnderrunMs,
                           settled->DiscardedMs - lastA->DiscardedMs});
    }
    return figures;
}

double LastCallAfter(const Calls &calls, double startMs, unsigned long exceptThread) {
    const Iterator from = FirstAtOrAfter(calls, startMs);
    for (Iterator at = calls.end(); at != from;) {
        --at;
        if (at->ThreadId != exceptThread)
            return at->AtMs - startMs;
    }
    return -1.0;
}

FlushAndWrite FlushThenWrite(const Calls &calls, double startMs) {
    FlushAndWrite found;
    const Iterator flush = std::find_if(FirstAtOrAfter(calls, startMs), calls.end(),
                                        [](const TimedCall &call) { return call.Name == "Flush"; });
    if (flush == calls.end())
        return found;
    found.FlushMs = flush->AtMs - startMs;
    const Iterator write = FirstWriteIn(flush, calls.end());
    if (write != calls.end())
        found.WriteMs = write->AtMs - startMs;
    return found;
}

double LastWriteWithin(const Calls &calls, double startMs, double endMs) {
    const Iterator from = FirstAtOrAfter(calls, startMs), to = FirstAtOrAfter(calls, endMs);
    const Iterator last = LastWriteIn(from, to);
    return last == to ? 0.0 : last->AtMs - startMs;
}

double FirstWriteAfter(const Calls &calls, double startMs) {
    const Iterator write = FirstWriteIn(FirstAtOrAfter(calls, startMs), calls.end());
    return write == calls.end() ? -1.0 : write->AtMs - startMs;
}

} // namespace bench
