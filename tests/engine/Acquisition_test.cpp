#include "engine/Acquisition.h"
#include "engine/RangeAdjustment.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace hs;

namespace {

// A record as the recorder stores it: a sine of the given period (in samples) that rises
// through zero at the trigger point, plus an optional harmonic.
std::vector<int> record(double period, int length, double amplitude = 1500, int order = 0,
                        double ratio = 0, double phase = 0)
{
    std::vector<int> x(static_cast<std::size_t>(length));
    for (int m = 0; m < length; ++m) {
        const double t = 2 * M_PI * (m - kTriggerPosition) / period;
        double v = amplitude * std::sin(t);
        if (order > 0)
            v += amplitude * ratio * std::sin(order * t + phase);
        x[static_cast<std::size_t>(m)] = static_cast<int>(std::lround(v));
    }
    return x;
}

} // namespace

TEST(SamplePositions, EquallySpacedAndRoundedHalfToEven)
{
    std::vector<std::int16_t> pos;
    MakeSamplePositions(200, 4200, 512, pos);
    ASSERT_EQ(pos.size(), 514u);
    EXPECT_EQ(pos[0], 0);
    EXPECT_EQ(pos[1], 8); // 7.8125
    EXPECT_EQ(pos[2], 16);
    EXPECT_EQ(pos[512], 4000);

    // 3333 / 256 = 13.01953125; point 128 lies at 1666.5 and rounds to the even 1666.
    MakeSamplePositions(200, 3533, 256, pos);
    EXPECT_EQ(pos[128], 1666);
    EXPECT_EQ(pos[256], 3333);
    for (int i = 1; i <= 256; ++i)
        EXPECT_GT(pos[static_cast<std::size_t>(i)], pos[static_cast<std::size_t>(i - 1)]);
}

TEST(CrossingWindow, MovesTowardTheRisingCrossingAndFindsIt)
{
    std::vector<int> w(100, -5);
    EXPECT_EQ(ClassifyCrossingWindow(w).kind, CrossingVerdict::MoveForward); // all negative
    w[0] = 3;
    EXPECT_EQ(ClassifyCrossingWindow(w).kind, CrossingVerdict::MoveBack); // starts positive

    for (int i = 0; i < 100; ++i)
        w[static_cast<std::size_t>(i)] = i - 37; // rising, zero at 37
    auto v = ClassifyCrossingWindow(w);
    EXPECT_EQ(v.kind, CrossingVerdict::Found);
    EXPECT_EQ(v.index, 37);

    // A window whose first sample is exactly 0 is a crossing at index 0 (the caller's -1).
    w.assign(100, 10);
    w[0] = 0;
    v = ClassifyCrossingWindow(w);
    EXPECT_EQ(v.kind, CrossingVerdict::Found);
    EXPECT_EQ(v.index, 0);
}

TEST(PeriodSearch, FindsThePeriodWithinOneSampleAcrossTheSearchedRange)
{
    struct Case {
        double hz;
        int n; // expected end the run loop would pass
    };
    for (const Case c : {Case{50.0, 4200}, Case{49.5, 4200}, Case{50.3, 4200}, Case{50.9, 4200},
                         Case{60.0, 3533}, Case{59.7, 3533}}) {
        const double period = 200000.0 / c.hz;
        const auto x = record(period, c.n + 51);
        const int end = SearchPeriodEnd(x, c.n);
        EXPECT_NEAR(end, kTriggerPosition + period, 1.0) << c.hz << " Hz";
    }
}

TEST(PeriodSearch, HarmonicsDoNotMoveTheFundamentalPeriod)
{
    const double period = 200000.0 / 50.3;
    const auto x = record(period, 4251, 1200, 5, 0.2, 1.0);
    EXPECT_NEAR(SearchPeriodEnd(x, 4200), kTriggerPosition + period, 1.0);
    // An even harmonic shifts the crossing but not the period.
    const double p60 = 200000.0 / 59.8;
    const auto y = record(p60, 3584, 1500, 2, 0.1, 0.5);
    EXPECT_NEAR(SearchPeriodEnd(y, 3533), kTriggerPosition + p60, 1.0);
    EXPECT_EQ(PeriodMismatch(record(4000, 4300, 1500, 3, 0.3, 2.0), 4000), 0.0);
}

TEST(PeriodSearch, NoMaximumInsideTheWindowGivesMinusOne)
{
    // 52 Hz (3846 samples) lies below n - 300 = 3900, 47 Hz (4255) above n - 150 = 4050.
    for (double hz : {52.0, 47.0}) {
        const auto x = record(200000.0 / hz, 4251);
        EXPECT_EQ(SearchPeriodEnd(x, 4200), -1) << hz << " Hz";
    }
    // Too short a record or too small an expected end.
    EXPECT_EQ(SearchPeriodEnd(record(4000, 4000), 4200), -1);
    EXPECT_EQ(SearchPeriodEnd(record(4000, 400), 250), -1);
}

TEST(PeriodSearch, CosineStartNeverTakesARootOfANegative)
{
    // A signal at its peak at the trigger point: C dominates, S^2 - C^2 < 0 for every window.
    std::vector<int> x(4251);
    for (int m = 0; m < 4251; ++m)
        x[static_cast<std::size_t>(m)] =
            static_cast<int>(std::lround(1500 * std::cos(2 * M_PI * (m - 200) / 4000.0)));
    EXPECT_LT(PeriodFitMagnitude(x, 4000), 0.0f);
    EXPECT_FALSE(std::isnan(PeriodFitMagnitude(x, 4000)));
    EXPECT_EQ(SearchPeriodEnd(x, 4200), -1);
}

TEST(RangeSteps, FollowTheOneTwoFiveSeries)
{
    const float series[] = {0.005f, 0.01f, 0.02f, 0.05f, 0.1f, 0.2f, 0.5f, 1, 2, 5, 10, 20, 50};
    for (std::size_t i = 0; i + 1 < std::size(series); ++i) {
        EXPECT_EQ(RangeAbove(series[i]), series[i + 1]) << series[i];
        EXPECT_EQ(RangeBelow(series[i + 1]), series[i]) << series[i + 1];
    }
    EXPECT_EQ(RangeAbove(50.0f), 100.0f);
}
