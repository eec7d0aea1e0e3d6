#include "compliance/ComplianceStats.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace hs {

double nearestRankPercentile(std::vector<float>& values, double p)
{
    if (values.empty())
        return 0;
    const auto n = static_cast<double>(values.size());
    // ⌈p·n⌉ computed with a tolerance, so that 0.95 × 20 is rank 19 and not 20.
    auto rank = static_cast<std::size_t>(std::ceil(p * n - 1e-9));
    rank = std::clamp<std::size_t>(rank, 1, values.size());
    const auto at = values.begin() + static_cast<std::ptrdiff_t>(rank - 1);
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

SeriesStats summarise(const std::vector<qint64>& times, const std::vector<float>& values)
{
    SeriesStats s;
    s.count = static_cast<qint64>(values.size());
    if (values.empty())
        return s;
    double sum = 0;
    s.max = values.front();
    s.maxTime = times.empty() ? 0 : times.front();
    for (std::size_t i = 0; i < values.size(); ++i) {
        sum += values[i];
        if (values[i] > s.max) {
            s.max = values[i];
            s.maxTime = i < times.size() ? times[i] : 0;
        }
    }
    s.mean = sum / static_cast<double>(values.size());
    std::vector<float> sorted = values;
    s.p95 = nearestRankPercentile(sorted, 0.95);
    s.p99 = nearestRankPercentile(sorted, 0.99);
    return s;
}

WindowMap mapWindows(const std::vector<qint64>& times, qint64 windowSeconds)
{
    WindowMap map;
    map.windowOf.reserve(times.size());
    for (qint64 t : times) {
        // (k·W, (k+1)·W]: a record at exactly k·W closes window k-1.
        const qint64 k = (t - 1 >= 0 ? (t - 1) / windowSeconds : -((-t) / windowSeconds) - 1);
        const qint64 end = (k + 1) * windowSeconds;
        if (map.ends.empty() || map.ends.back() != end)
            map.ends.push_back(end);
        map.windowOf.push_back(static_cast<int>(map.ends.size()) - 1);
    }
    return map;
}

std::vector<float> aggregateRms(const WindowMap& map, const std::vector<float>& values)
{
    std::vector<double> sums(map.ends.size(), 0.0);
    std::vector<int> counts(map.ends.size(), 0);
    for (std::size_t i = 0; i < values.size() && i < map.windowOf.size(); ++i) {
        const auto w = static_cast<std::size_t>(map.windowOf[i]);
        sums[w] += static_cast<double>(values[i]) * values[i];
        ++counts[w];
    }
    std::vector<float> out(map.ends.size(), 0.0f);
    for (std::size_t w = 0; w < out.size(); ++w) {
        if (counts[w] > 0)
            out[w] = static_cast<float>(std::sqrt(sums[w] / counts[w]));
    }
    return out;
}

Coverage findCoverage(const std::vector<qint64>& times, qint64 interval, qint64 periodStart,
                      qint64 periodEnd)
{
    Coverage c;
    c.records = static_cast<qint64>(times.size());
    if (interval <= 0 || periodEnd <= periodStart) {
        c.expected = c.records;
        c.share = c.records > 0 ? 1.0 : 0.0;
        return c;
    }
    c.expected = (periodEnd - periodStart) / interval;
    c.share = c.expected > 0 ? std::min(1.0, double(c.records) / double(c.expected)) : 0.0;
    // Steps of more than one and a half intervals leave save times without a record.
    qint64 previous = periodStart;
    auto gapBefore = [&](qint64 next) {
        if (next - previous > interval + interval / 2) {
            const qint64 first = previous + interval;
            const qint64 count = (next - previous + interval / 2) / interval - 1;
            c.gaps.push_back({first, first + (count - 1) * interval, count});
        }
    };
    for (qint64 t : times) {
        gapBefore(t);
        previous = t;
    }
    gapBefore(periodEnd + interval);
    return c;
}

qint64 recordInterval(const std::vector<qint64>& times)
{
    std::map<qint64, int> steps;
    for (std::size_t i = 1; i < times.size(); ++i) {
        if (times[i] > times[i - 1])
            ++steps[times[i] - times[i - 1]];
    }
    qint64 best = 0;
    int seen = 0;
    for (const auto& [step, count] : steps) {
        if (count > seen) {
            best = step;
            seen = count;
        }
    }
    return best;
}

} // namespace hs
