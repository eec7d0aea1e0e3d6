#include "compliance/ComplianceReport.h"

#include "files/ResultFormat.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// Records of one feeder held in memory, as a database source would give them.
class VectorSource : public hs::RecordSource {
public:
    QString name() const override { return QStringLiteral("memory"); }
    const std::vector<int>& orders() const override { return orders_; }
    int feeders() const override { return 1; }
    bool next(hs::ResultRecord& record) override
    {
        if (at_ >= records.size())
            return false;
        record = records[at_++];
        return true;
    }
    QString error() const override { return {}; }
    void rewind() { at_ = 0; }

    // A record at 2026-12-07 h:m with the 5th-order current i5 (A) and its power angle.
    void add(int h, int m, float i5, std::int16_t angle5)
    {
        hs::ResultRecord r;
        r.time = QDateTime(QDate(2026, 12, 7), QTime(h, m));
        r.voltage.assign(orders_.size(), 0.0f);
        r.voltage[0] = 6600;
        r.voltage[2] = 66; // 5th: 1 %
        r.current.assign(1, std::vector<float>(orders_.size(), 0.0f));
        r.current[0][0] = 50;
        r.current[0][2] = i5;
        r.powerAngle.assign(1, std::vector<std::int16_t>(orders_.size(), 0));
        r.powerAngle[0][2] = angle5;
        records.push_back(r);
    }
    std::vector<hs::ResultRecord> records;

private:
    std::vector<int> orders_ = hs::OrderSet(false);
    std::size_t at_ = 0;
};

const hs::QuantityResult* quantity(const hs::SubjectResult& s, int order)
{
    for (const auto& q : s.quantities) {
        if (q.order == order)
            return &q;
    }
    return nullptr;
}

// The Japanese guideline on 10-minute records: the 5th-order current is aggregated into
// half-hour windows by RMS and its maximum compared with 3.5 mA/kW × 100 kW; the exceeding
// window is named with its end; outflow is counted from the power angle; the even orders the
// records lack are listed as not evaluated; a source given twice counts once.
TEST(ComplianceReport, JapaneseGuidelineOnTenMinuteRecords)
{
    VectorSource source;
    const float i5[] = {0.3f, 0.3f, 0.3f, 0.4f, 0.5f, 0.3f};
    for (int i = 0; i < 6; ++i)
        source.add(10 + (i + 1) / 6, ((i + 1) * 10) % 60, i5[i], i < 4 ? 180 : 0);
    hs::ComplianceParameters params;
    params.kv = 6.6;
    params.contractKw = {100};
    hs::ComplianceEvaluator evaluator(hs::builtInProfile(QStringLiteral("jp-guideline")).value(),
                                      params);
    ASSERT_TRUE(evaluator.add(source).ok());
    source.rewind();
    ASSERT_TRUE(evaluator.add(source).ok());
    const auto report = evaluator.evaluate();
    ASSERT_TRUE(report.ok()) << qPrintable(report.error().text);
    ASSERT_EQ(report->subjects.size(), 2u); // the voltage, feeder 1
    const hs::SubjectResult& feeder = report->subjects[1];
    EXPECT_EQ(feeder.label, QStringLiteral("フィーダ1"));
    EXPECT_EQ(feeder.intervalSeconds, 600);
    EXPECT_TRUE(feeder.aggregated);
    EXPECT_EQ(feeder.coverage.records, 6);
    EXPECT_EQ(feeder.coverage.expected, 6);
    const hs::QuantityResult* fifth = quantity(feeder, 5);
    ASSERT_NE(fifth, nullptr);
    EXPECT_DOUBLE_EQ(fifth->limit, 0.35);
    ASSERT_EQ(fifth->windowValues.size(), 2u);
    EXPECT_NEAR(fifth->windowValues[0], 0.3, 1e-6);
    EXPECT_NEAR(fifth->value, std::sqrt((0.16 + 0.25 + 0.09) / 3), 1e-6);
    EXPECT_TRUE(fifth->exceeded);
    EXPECT_TRUE(feeder.exceeded);
    ASSERT_EQ(fifth->exceedances.size(), 1u);
    EXPECT_EQ(hs::localSecondsText(fifth->exceedances[0].first), QStringLiteral("2026-12-07 11:00"));
    EXPECT_EQ(fifth->outflow, 4);
    EXPECT_EQ(fifth->inflow, 2);
    EXPECT_EQ(feeder.notEvaluated, (std::vector<int>{26, 28, 30, 32, 34, 36, 38, 40}));
    EXPECT_EQ(feeder.quantities[static_cast<std::size_t>(feeder.worst)].order, 5);

    const hs::SubjectResult& voltage = report->subjects[0];
    ASSERT_EQ(voltage.quantities.size(), 1u); // THD only
    EXPECT_NEAR(voltage.quantities[0].value, 1.0, 1e-5);
    EXPECT_TRUE(voltage.totalFromOddOrdersOnly);
    EXPECT_FALSE(voltage.exceeded);

    // A period without records is refused by name.
    params.from = QDateTime(QDate(2026, 12, 8), QTime(0, 0));
    hs::ComplianceEvaluator empty(hs::builtInProfile(QStringLiteral("jp-guideline")).value(), params);
    source.rewind();
    ASSERT_TRUE(empty.add(source).ok());
    ASSERT_FALSE(empty.evaluate().ok());
    EXPECT_TRUE(empty.evaluate().error().text.startsWith(QStringLiteral("--from/--to")));
}

} // namespace
