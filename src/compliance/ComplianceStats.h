#pragma once

#include <QtGlobal>

#include <cstdint>
#include <vector>

namespace hs {

// The statistics of the compliance report, over plain numbers. Times are seconds on the local
// clock's scale (seconds since the epoch plus the offset from UTC), so that windows aligned to
// multiples of their length are aligned to the wall clock.

// The nearest-rank percentile: the ⌈p·n⌉-th smallest of the n values (the smallest for p·n ≤ 1).
// values is reordered. 0 for no values.
double nearestRankPercentile(std::vector<float>& values, double p);

struct SeriesStats {
    qint64 count = 0;
    double mean = 0;
    double max = 0;
    qint64 maxTime = 0; // the first time the maximum was reached
    double p95 = 0;
    double p99 = 0;
};
// Mean, maximum with its time, 95th and 99th nearest-rank percentiles of values at times.
SeriesStats summarise(const std::vector<qint64>& times, const std::vector<float>& values);

// Clock-aligned windows of windowSeconds: a record saved at t covers the interval before t, so
// it belongs to the window (k·W, (k+1)·W] that holds t; a window is named by its end. The
// records' times must be ascending.
struct WindowMap {
    std::vector<qint64> ends;   // the end of each window that holds at least one record
    std::vector<int> windowOf;  // per record: its window's index in ends
};
WindowMap mapWindows(const std::vector<qint64>& times, qint64 windowSeconds);
// The root mean square of the values of each window.
std::vector<float> aggregateRms(const WindowMap& map, const std::vector<float>& values);

// Whether the records were complete over a period: expected records (one per interval), found
// records, their share, and the gaps (save times without a record).
struct RecordGap {
    qint64 first = 0; // the first missing save time
    qint64 last = 0;  // the last one
    qint64 count = 0;
};
struct Coverage {
    qint64 records = 0;
    qint64 expected = 0;
    double share = 0; // records / expected, at most 1
    std::vector<RecordGap> gaps;
};
// times ascending within [periodStart, periodEnd]; the period's save times are periodStart +
// k·interval for k ≥ 1 up to periodEnd.
Coverage findCoverage(const std::vector<qint64>& times, qint64 intervalSeconds, qint64 periodStart,
                      qint64 periodEnd);

// The records' save interval: the most frequent positive step between consecutive times (so
// that gaps do not mislead it), 0 with fewer than two records.
qint64 recordInterval(const std::vector<qint64>& times);

} // namespace hs
