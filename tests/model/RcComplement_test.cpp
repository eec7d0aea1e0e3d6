#include "model/RcComplement.h"

#include "model/MeasurementSettings.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace hs;

namespace {

constexpr int kPeriod50Hz = 4000; // recorder samples in one 50 Hz period at 200 kHz

TEST(RcComplement, FactorOfOneKiloOhmAndTenthMicroFarad)
{
    const RcRow row{true, QStringLiteral("1"), QStringLiteral("0.1")};
    // X = 1 / (1e-7 · 314.16) ≈ 31831 Ω at the fundamental, 636.6 Ω at order 50.
    EXPECT_NEAR(rcComplementFactor(row, 1, kPeriod50Hz), 31.85, 0.005);
    EXPECT_NEAR(rcComplementFactor(row, 50, kPeriod50Hz), 1.185, 0.0005);
    // The attenuation undone: R / sqrt(R² + X²) times F is 1 at every order.
    for (const int k : {1, 3, 17, 99, 256}) {
        const double x = 1.0 / (1e-7 * 1256640.0 * k / kPeriod50Hz);
        EXPECT_NEAR(rcComplementFactor(row, k, kPeriod50Hz) * 1000 / std::hypot(1000, x), 1.0, 1e-6)
            << k;
    }
    // A shorter period (60 Hz) means a higher ω and less attenuation.
    EXPECT_LT(rcComplementFactor(row, 1, 3333), rcComplementFactor(row, 1, kPeriod50Hz));
}

TEST(RcComplement, FactorsOfARowCoverEveryOrder)
{
    std::vector<float> factors{9.0f};
    rcComplementFactors(RcRow{true, QStringLiteral("2.2"), QStringLiteral("0.047")}, 99,
                        kPeriod50Hz, factors);
    ASSERT_EQ(factors.size(), 100u);
    EXPECT_EQ(factors[0], 1.0f);
    for (std::size_t k = 1; k < factors.size(); ++k) {
        EXPECT_GT(factors[k], 1.0f);
        if (k > 1) {
            EXPECT_LT(factors[k], factors[k - 1]) << "the filter attenuates low orders most";
        }
    }
    EXPECT_EQ(factors[7],
              rcComplementFactor(RcRow{true, QStringLiteral("2.2"), QStringLiteral("0.047")}, 7,
                                 kPeriod50Hz));
}

struct UnusableRow {
    bool ticked;
    const char* r;
    const char* c;
};

class RowsCountingAsUnticked : public ::testing::TestWithParam<UnusableRow> {};

TEST_P(RowsCountingAsUnticked, GiveFactorOneEverywhere)
{
    const UnusableRow& p = GetParam();
    const RcRow row{p.ticked, QString::fromUtf8(p.r), QString::fromUtf8(p.c)};
    EXPECT_FALSE(rcComplementActive(row));
    std::vector<float> factors;
    rcComplementFactors(row, 256, kPeriod50Hz, factors);
    for (const float f : factors)
        ASSERT_EQ(f, 1.0f);
}

INSTANTIATE_TEST_SUITE_P(
    ZeroNegativeOrNonNumeric, RowsCountingAsUnticked,
    ::testing::Values(UnusableRow{false, "1", "0.1"}, UnusableRow{true, "0", "0.1"},
                      UnusableRow{true, "1", "0"}, UnusableRow{true, "abc", "0.1"},
                      UnusableRow{true, "1", ""}, UnusableRow{true, "-1", "0.1"},
                      UnusableRow{true, "1", "-0.1"}, UnusableRow{true, "1e999", "0.1"}));

TEST(RcComplement, ValuesAreReadByTheirLeadingNumber)
{
    const RcRow typed{true, QStringLiteral(" 1kΩ"), QStringLiteral("0.1uF")};
    ASSERT_TRUE(rcComplementActive(typed));
    const std::optional<RcFilter> filter = rcFilterOf(typed);
    ASSERT_TRUE(filter);
    EXPECT_EQ(filter->resistanceKiloOhm, 1.0);
    EXPECT_EQ(filter->capacitanceMicroFarad, 0.1);
    EXPECT_NEAR(rcComplementFactor(typed, 1, kPeriod50Hz), 31.85, 0.005);
}

TEST(RcComplement, NoPeriodOrNoOrderGivesFactorOne)
{
    const RcRow row{true, QStringLiteral("1"), QStringLiteral("0.1")};
    EXPECT_EQ(rcComplementFactor(row, 1, 0), 1.0f);
    EXPECT_EQ(rcComplementFactor(row, 1, -5), 1.0f);
    EXPECT_EQ(rcComplementFactor(row, 0, kPeriod50Hz), 1.0f);
}

} // namespace
