#include "compliance/ComplianceStats.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

constexpr qint64 kMinute = 60;

// Seconds of 2026-12-07 h:m on the local-clock scale (any day boundary will do).
qint64 at(int h, int m)
{
    return 1796601600LL + h * 3600LL + m * kMinute;
}

// Nearest rank: the ⌈p·n⌉-th smallest, never an interpolation, and p·n that is a whole
// number in exact arithmetic is not pushed up a rank by its binary rounding.
TEST(ComplianceStats, NearestRankPercentiles)
{
    std::vector<float> twenty(20);
    std::iota(twenty.begin(), twenty.end(), 1.0f);
    std::vector<float> shuffled = {20, 3, 17, 1, 9, 14, 6, 11, 19, 2, 8, 16, 5, 12, 18, 4, 10, 15, 7, 13};
    EXPECT_EQ(hs::nearestRankPercentile(shuffled, 0.95), 19.0); // ⌈19⌉
    EXPECT_EQ(hs::nearestRankPercentile(shuffled, 0.99), 20.0); // ⌈19.8⌉
    std::vector<float> hundred(100);
    std::iota(hundred.begin(), hundred.end(), 1.0f);
    EXPECT_EQ(hs::nearestRankPercentile(hundred, 0.95), 95.0);
    EXPECT_EQ(hs::nearestRankPercentile(hundred, 0.99), 99.0);
    std::vector<float> three = {7, 2, 5};
    EXPECT_EQ(hs::nearestRankPercentile(three, 0.95), 7.0); // ⌈2.85⌉ = 3
    std::vector<float> one = {4};
    EXPECT_EQ(hs::nearestRankPercentile(one, 0.5), 4.0);

    const std::vector<qint64> times = {10, 20, 30, 40};
    const hs::SeriesStats s = hs::summarise(times, {1, 4, 4, 3});
    EXPECT_DOUBLE_EQ(s.mean, 3.0);
    EXPECT_EQ(s.max, 4.0);
    EXPECT_EQ(s.maxTime, 20); // the first time the maximum was reached
    EXPECT_EQ(s.count, 4);
}

// 5-minute records into clock-aligned 10-minute windows across a gap of two save times: each
// window is the RMS of its own records; the gap leaves no window; a record saved on a window's
// end belongs to the window it closes.
TEST(ComplianceStats, RmsAggregationIntoClockWindowsAcrossAGap)
{
    const std::vector<qint64> times = {at(10, 0), at(10, 5), at(10, 10), at(10, 25), at(10, 30)};
    const hs::WindowMap map = hs::mapWindows(times, 10 * kMinute);
    ASSERT_EQ(map.ends, (std::vector<qint64>{at(10, 0), at(10, 10), at(10, 30)}));
    const std::vector<float> rms = hs::aggregateRms(map, {9, 3, 4, 6, 8});
    ASSERT_EQ(rms.size(), 3u);
    EXPECT_FLOAT_EQ(rms[0], 9.0f);
    EXPECT_FLOAT_EQ(rms[1], std::sqrt(12.5f)); // √((9 + 16) / 2)
    EXPECT_FLOAT_EQ(rms[2], std::sqrt(50.0f)); // √((36 + 64) / 2)
    // 30-minute windows begin on the half hour, not at the first record.
    const hs::WindowMap half = hs::mapWindows({at(10, 25), at(10, 35)}, 30 * kMinute);
    EXPECT_EQ(half.ends, (std::vector<qint64>{at(10, 30), at(11, 0)}));
}

// An hour of 5-minute save times: 12 expected; a gap inside and one at the end are found with
// their first and last missing save time; the interval is the usual step despite the gaps.
TEST(ComplianceStats, CoverageAndGaps)
{
    std::vector<qint64> times = {at(10, 5), at(10, 10)};
    for (int m = 25; m <= 50; m += 5)
        times.push_back(at(10, m));
    EXPECT_EQ(hs::recordInterval(times), 5 * kMinute);
    const hs::Coverage c = hs::findCoverage(times, 5 * kMinute, at(10, 0), at(11, 0));
    EXPECT_EQ(c.records, 8);
    EXPECT_EQ(c.expected, 12);
    EXPECT_DOUBLE_EQ(c.share, 8.0 / 12.0);
    ASSERT_EQ(c.gaps.size(), 2u);
    EXPECT_EQ(c.gaps[0].first, at(10, 15));
    EXPECT_EQ(c.gaps[0].last, at(10, 20));
    EXPECT_EQ(c.gaps[0].count, 2);
    EXPECT_EQ(c.gaps[1].first, at(10, 55));
    EXPECT_EQ(c.gaps[1].last, at(11, 0));
    EXPECT_EQ(c.gaps[1].count, 2);
    EXPECT_EQ(hs::recordInterval({at(10, 0)}), 0);
}

} // namespace
