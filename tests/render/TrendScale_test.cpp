#include "render/TrendScale.h"

#include <gtest/gtest.h>

#include <limits>

namespace hs {
namespace {

TEST(TrendScale, AxesShowAtLeastTheirLeastSpan)
{
    // A steady distortion: from 0, not stretched over its thousandths.
    TrendSpan span = TrendAxisSpan({2.13942, 2.14210, 2.1400}, TrendQuantity::Ratio);
    EXPECT_EQ(span.low, 0);
    EXPECT_EQ(span.high, 2.14210);
    EXPECT_EQ(TrendAxisSpan({0.01, 0.02}, TrendQuantity::Ratio).high, 1.0);
    // A steady 6600 V: 1 % of the mean either side, not the quarter volt it moves by.
    span = TrendAxisSpan({6599.997, 6600.252, 6600.1}, TrendQuantity::Magnitude);
    const double mean = (6599.997 + 6600.252 + 6600.1) / 3;
    EXPECT_NEAR(span.low, mean * 0.99, 1e-9);
    EXPECT_NEAR(span.high, mean * 1.01, 1e-9);
    // Values that swing more than that keep their own span; gaps are left out.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    span = TrendAxisSpan({100, nan, 200}, TrendQuantity::Magnitude);
    EXPECT_EQ(span.low, 100);
    EXPECT_EQ(span.high, 200);
    span = TrendAxisSpan({0, 0}, TrendQuantity::Magnitude);
    EXPECT_EQ(span.low, -1);
    EXPECT_EQ(span.high, 1);
    span = TrendAxisSpan({nan}, TrendQuantity::Ratio);
    EXPECT_EQ(span.low, 0);
    EXPECT_EQ(span.high, 1);
}

} // namespace
} // namespace hs
