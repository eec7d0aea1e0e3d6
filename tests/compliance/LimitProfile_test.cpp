#include "compliance/ComplianceReport.h"
#include "compliance/LimitProfile.h"

#include <gtest/gtest.h>

namespace {

hs::LimitProfile profile(const char* id)
{
    auto p = hs::builtInProfile(QString::fromLatin1(id));
    EXPECT_TRUE(p.ok()) << (p.ok() ? "" : qPrintable(p.error().text));
    return p.value();
}

// The limit of an order for a feeder's parameters; -1 when none applies.
double limitOf(const hs::LimitProfile& p, const hs::ComplianceParameters& params, int feeder,
               int order)
{
    auto limits = hs::resolveSubjectLimits(p, params, feeder);
    EXPECT_TRUE(limits.ok()) << (limits.ok() ? "" : qPrintable(limits.error().text));
    if (!limits.ok() || !limits.value())
        return -1;
    for (const hs::QuantityLimit& q : limits.value()->quantities) {
        if (q.order == order)
            return q.limit;
    }
    return -1;
}

// IEEE 519 current bands include their lower edge: Isc/IL exactly 20, 50, 100 and 1000 is in
// the band that starts there; orders at the range edges 3, 11, 17, 23, 35 and 50; even orders
// up to the 6th at half the limit of their range, above it at the full limit; TDD per band.
TEST(LimitProfiles, Ieee519CurrentBandEdgesAndEvenOrders)
{
    const hs::LimitProfile p = profile("ieee519");
    hs::ComplianceParameters params;
    params.kv = 6.6;
    params.il = {100};
    const auto at = [&](double ratio, int order) {
        params.isc = {ratio * 100};
        return limitOf(p, params, 1, order);
    };
    EXPECT_EQ(at(19.99, 3), 4.0);
    EXPECT_EQ(at(20, 3), 7.0);
    EXPECT_EQ(at(50, 3), 10.0);
    EXPECT_EQ(at(100, 3), 12.0);
    EXPECT_EQ(at(999.9, 3), 12.0);
    EXPECT_EQ(at(1000, 3), 15.0);
    EXPECT_EQ(at(20, 11), 3.5);
    EXPECT_EQ(at(20, 17), 2.5);
    EXPECT_EQ(at(20, 23), 1.0);
    EXPECT_EQ(at(20, 35), 0.5);
    EXPECT_EQ(at(20, 50), 0.5);
    EXPECT_EQ(at(20, 51), -1.0);
    EXPECT_EQ(at(20, 2), 3.5);  // 50 % of 7.0
    EXPECT_EQ(at(20, 6), 3.5);
    EXPECT_EQ(at(20, 8), 7.0);  // 100 %
    EXPECT_EQ(at(20, 10), 7.0);
    EXPECT_EQ(at(20, 12), 3.5);
    EXPECT_EQ(at(20, 0), 8.0);  // TDD
    EXPECT_EQ(at(1000, 0), 20.0);
}

// Voltage bands by the bus voltage include their upper edge (V ≤ 1 kV, 1 < V ≤ 69 kV, ...);
// the Japanese guideline's rows are exact receiving voltages, its limit in A is mA/kW × kW /
// 1000 and every order 25..40 has the ">23" limit; EN 50160 limits even orders 6..24 only.
TEST(LimitProfiles, VoltageBandsJapaneseRowsAndEn50160Orders)
{
    const hs::LimitProfile ieee = profile("ieee519");
    hs::ComplianceParameters params;
    params.kv = 1.0;
    EXPECT_EQ(limitOf(ieee, params, 0, 5), 5.0);
    EXPECT_EQ(limitOf(ieee, params, 0, 0), 8.0);
    params.kv = 69;
    EXPECT_EQ(limitOf(ieee, params, 0, 5), 3.0);
    params.kv = 69.1;
    EXPECT_EQ(limitOf(ieee, params, 0, 0), 2.5);

    const hs::LimitProfile jp = profile("jp-guideline");
    params.kv = 6.6;
    params.contractKw = {1000, 500};
    EXPECT_DOUBLE_EQ(limitOf(jp, params, 1, 5), 3.5);
    EXPECT_DOUBLE_EQ(limitOf(jp, params, 2, 5), 1.75);
    EXPECT_DOUBLE_EQ(limitOf(jp, params, 1, 23), 0.76);
    EXPECT_DOUBLE_EQ(limitOf(jp, params, 1, 25), 0.70);
    EXPECT_DOUBLE_EQ(limitOf(jp, params, 1, 40), 0.70);
    EXPECT_EQ(limitOf(jp, params, 1, 3), -1.0);
    EXPECT_EQ(limitOf(jp, params, 1, 41), -1.0);
    EXPECT_EQ(limitOf(jp, params, 0, 0), 5.0);
    params.kv = 33;
    EXPECT_DOUBLE_EQ(limitOf(jp, params, 1, 17), 0.35);
    EXPECT_EQ(limitOf(jp, params, 0, 0), 3.0);

    const hs::LimitProfile en = profile("en50160");
    EXPECT_EQ(limitOf(en, params, 0, 4), 1.0);
    EXPECT_EQ(limitOf(en, params, 0, 6), 0.5);
    EXPECT_EQ(limitOf(en, params, 0, 24), 0.5);
    EXPECT_EQ(limitOf(en, params, 0, 26), -1.0);
    EXPECT_EQ(limitOf(en, params, 0, 25), 1.5);
    EXPECT_EQ(limitOf(en, params, 0, 0), 8.0);
}

// Bad parameters are refused naming what is wrong; a limits file without its source is refused.
TEST(LimitProfiles, BadParametersAndFilesAreNamed)
{
    const auto refusal = [](const char* id, const hs::ComplianceParameters& params) {
        const auto checked =
            hs::checkComplianceParameters(profile(id), params, 2);
        return checked.ok() ? QString() : checked.error().text;
    };
    hs::ComplianceParameters params;
    params.kv = 6.6;
    EXPECT_TRUE(refusal("jp-guideline", params).startsWith(QStringLiteral("--contract-kw: feeder 1")));
    params.contractKw = {100, 200, 300};
    EXPECT_EQ(refusal("jp-guideline", params), QString());
    params.kv = 11;
    EXPECT_TRUE(refusal("jp-guideline", params).contains(QStringLiteral("no limits for 11")));
    params.kv = 6.6;
    params.il = {100, 0};
    params.isc = {5000};
    EXPECT_TRUE(refusal("ieee519", params).startsWith(QStringLiteral("--il: values must be above 0")));
    params.il = {100};
    params.isc = {};
    EXPECT_TRUE(refusal("ieee519", params).startsWith(QStringLiteral("--isc: feeder 1")));
    EXPECT_TRUE(hs::builtInProfile(QStringLiteral("iec")).error().text.contains(QStringLiteral("ieee519")));
    const auto noSource = hs::parseLimitProfile(R"({"id":"x","title":"x","source":"s","edition":"1",
        "voltage":{"unit":"%","bands":[{"total":5}]}})");
    ASSERT_FALSE(noSource.ok());
    EXPECT_TRUE(noSource.error().text.startsWith(QStringLiteral("voltage.source")));
}

} // namespace
