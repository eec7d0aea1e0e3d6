#include "render/ResultTables.h"

#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

using hs::CellAlignment;
using hs::ResultGridPair;

// Three feeders; feeder 1 (the second) is shown, so that a read of the wrong feeder shows.
constexpr int kChannel = 1;

class ResultTablesTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        settings.MaxHarmonicOrder = static_cast<std::int16_t>(GetParam());
        settings.LastFeeder = 2;
        data.sizeForMeasurement(settings);
        hs::PrepareResultGrids(grids, maxOrder());
        fillKnownResults();
    }

    int maxOrder() const { return GetParam(); }

    // Results of a 6.6 kV feeder: every value distinct and none half-way between two shown
    // decimals. The other feeders carry values that would show if read by mistake.
    void fillKnownResults()
    {
        for (int k = 1; k <= maxOrder(); ++k) {
            const auto sk = static_cast<std::size_t>(k);
            data.VoltByOrder[sk] = k == 1 ? 6600.04f : 10.0f + 0.1f * k;
            data.VoltRatio[sk] = k == 1 ? 0.0f : 1.23f + 0.01f * k;
            data.VoltSuperAngle[sk] = static_cast<std::int16_t>(k - 180 / (k + 1));
            for (std::size_t j = 0; j < 3; ++j)
                data.VoltMag(sk, j) = k == 1 ? 6600.0f + 10.0f * j : 1.0f * k + 0.01f * j;
            for (std::size_t f = 0; f < 3; ++f) {
                const float own = f == kChannel ? 1.0f : 1000.0f;
                data.CurByOrder(f, sk) = own * (k == 1 ? 123.46f : 0.5f + 0.01f * k);
                data.CurRatio(f, sk) = k == 1 ? 37.0f : own * (2.0f + 0.1f * k);
                data.PowerAngle(f, sk) = static_cast<std::int16_t>(f == kChannel ? -k : 99);
                data.CurSuperAngle(f, sk) = static_cast<std::int16_t>(f == kChannel ? 2 * k : 77);
                for (std::size_t j = 0; j < 3; ++j)
                    data.CurMag(f, sk, j) = own * (k == 1 ? 120.0f + j : 0.25f * k + j);
            }
        }
        data.VoltHarmRss = 330.0f; // 5.0 % of the fundamental
        data.CurHarmRss[kChannel] = 12.346f;
        data.CurHarmRss[0] = 9999.0f;
        data.HarmPowerAngle[kChannel] = -123;
        data.VoltHarmRssPhase = {301.0f, 302.0f, 303.0f};
        for (std::size_t j = 0; j < 3; ++j)
            data.CurHarmRssPhase(kChannel, j) = 11.0f + static_cast<float>(j);
        data.VoltRms = {6610.0f, 6620.0f, 6600.0f}; // phase 2 below its fundamental 6620
        data.CurRms(kChannel, 0) = 121.0f;          // fundamental 120: remainder 11.0
        data.CurRms(kChannel, 1) = 121.0f;          // fundamental 121: remainder 0
        data.CurRms(kChannel, 2) = 130.0f;          // fundamental 122
    }

    void fill(int view)
    {
        ASSERT_TRUE(hs::FillResultTables(grids, view, settings, data, kChannel));
    }
    QString cell(int grid, int row, int column) const
    {
        return grids[static_cast<std::size_t>(grid)].text(row, column);
    }
    // The cell of order k in a column.
    QString order(int k, int column) const
    {
        return cell(hs::GridOfOrder(k), hs::RowOfOrder(k), column);
    }
    QStringList row(int grid, int r) const
    {
        QStringList texts;
        for (int c = 0; c < grids[static_cast<std::size_t>(grid)].columnCount(); ++c)
            texts << cell(grid, r, c);
        return texts;
    }

    int r1() const { return maxOrder() / 2 + 1; }
    int r2() const { return maxOrder() / 2 + 2; }

    hs::MeasurementSettings settings;
    hs::MeasurementData data;
    ResultGridPair grids;
};

TEST_P(ResultTablesTest, LoadShapesBothGrids)
{
    for (const hs::ResultGrid& g : grids) {
        EXPECT_EQ(g.rowCount(), maxOrder() == 99 ? 51 : 130);
        EXPECT_EQ(g.fixedAlignment(0), CellAlignment::Right);
        for (int c = 1; c <= 3; ++c) {
            EXPECT_EQ(g.fixedAlignment(c), CellAlignment::Centre);
            EXPECT_EQ(g.dataAlignment(c), CellAlignment::Right);
        }
    }
}

TEST_P(ResultTablesTest, ColumnsWidthsHeadersAndRowsOfEachView)
{
    struct Expected {
        int view;
        int columns;
        std::vector<int> widths;
        QStringList headers;
        int rows;
    };
    const int k2 = maxOrder() / 2;
    const std::vector<Expected> views = {
        {2,
         6,
         {500, 700, 700, 700, 700, 700},
         {"次数", "電圧", "歪み率", "電流", "歪み率", "位相差"},
         k2 + 3},
        {3, 4, {500, 1200, 1200, 1200}, {"次数", "電圧１", "電圧２", "電圧３"}, k2 + 3},
        {4, 4, {500, 1200, 1200, 1200}, {"次数", "電流１", "電流２", "電流３"}, k2 + 3},
        {5,
         6,
         {500, 700, 700, 700, 700, 700},
         {"次数", "電圧", "位相角", "電流", "位相角", "位相差"},
         k2 + 2},
    };
    for (const Expected& e : views) {
        fill(e.view);
        for (int g = 0; g < 2; ++g) {
            const hs::ResultGrid& grid = grids[static_cast<std::size_t>(g)];
            SCOPED_TRACE(testing::Message() << "view " << e.view << " grid " << g);
            EXPECT_EQ(grid.columnCount(), e.columns);
            EXPECT_EQ(grid.rowCount(), e.rows);
            for (int c = 0; c < e.columns; ++c) {
                EXPECT_EQ(grid.columnWidth(c), e.widths[static_cast<std::size_t>(c)]) << c;
                if (c > 0) {
                    EXPECT_EQ(grid.fixedAlignment(c), CellAlignment::Centre) << c;
                    EXPECT_EQ(grid.dataAlignment(c), CellAlignment::Right) << c;
                }
            }
            EXPECT_EQ(row(g, 0), e.headers);
        }
    }
}

TEST_P(ResultTablesTest, OneRowPerOrderOddLeftEvenRight)
{
    fill(2);
    const int k = maxOrder();
    // Grid1(0): odd orders in rows 1 .. (K + 1) / 2; Grid1(1): even orders in rows 1 .. K / 2.
    for (int r = 1; r <= (k + 1) / 2; ++r)
        EXPECT_EQ(cell(0, r, 0), QString::number(2 * r - 1) + QStringLiteral("次"));
    for (int r = 1; r <= k / 2; ++r)
        EXPECT_EQ(cell(1, r, 0), QString::number(2 * r) + QStringLiteral("次"));
    if (k == 99) {
        EXPECT_EQ(cell(0, 50, 0), QStringLiteral("99次"));
        EXPECT_EQ(cell(1, 50, 0), QStringLiteral("総合"));
    } else {
        EXPECT_EQ(cell(0, 128, 0), QStringLiteral("255次"));
        EXPECT_EQ(cell(1, 128, 0), QStringLiteral("256次"));
        EXPECT_EQ(row(0, 129), QStringList(6, QString())) << "no order left for this row";
        EXPECT_EQ(cell(1, 129, 0), QStringLiteral("総合"));
    }
    EXPECT_EQ(cell(0, r2(), 0), QStringLiteral("実効値"));
    EXPECT_EQ(cell(1, r2(), 0), QStringLiteral("全歪"));
}

TEST_P(ResultTablesTest, OrderCellsOfEachViewFollowThePatterns)
{
    fill(2);
    EXPECT_EQ(QStringList({order(1, 1), order(1, 2), order(1, 3), order(1, 4), order(1, 5)}),
              QStringList({"6600.0V", "100.0%", "123.5A", "100.0%", "-1ﾟ"}))
        << "order 1 shows 100.0 % whatever the analysis stored";
    EXPECT_EQ(QStringList({order(5, 1), order(5, 2), order(5, 3), order(5, 4), order(5, 5)}),
              QStringList({"10.5V", "1.3%", "0.6A", "2.5%", "-5ﾟ"}));
    EXPECT_EQ(order(maxOrder(), 0), QString::number(maxOrder()) + QStringLiteral("次"));
    EXPECT_EQ(order(maxOrder(), 5), QStringLiteral("-%1ﾟ").arg(maxOrder()));

    fill(3);
    EXPECT_EQ(QStringList({order(1, 1), order(1, 2), order(1, 3)}),
              QStringList({"6600.0V", "6610.0V", "6620.0V"}));
    EXPECT_EQ(QStringList({order(8, 1), order(8, 2), order(8, 3)}),
              QStringList({"8.0V", "8.0V", "8.0V"}));

    fill(4);
    EXPECT_EQ(QStringList({order(1, 1), order(1, 2), order(1, 3)}),
              QStringList({"120.0A", "121.0A", "122.0A"}));
    EXPECT_EQ(QStringList({order(6, 1), order(6, 2), order(6, 3)}),
              QStringList({"1.5A", "2.5A", "3.5A"}));

    fill(5);
    EXPECT_EQ(QStringList({order(3, 1), order(3, 2), order(3, 3), order(3, 4), order(3, 5)}),
              QStringList({"10.3V", "-42ﾟ", "0.5A", "6ﾟ", "-3ﾟ"}));
}

TEST_P(ResultTablesTest, SummaryRowsOfTheSumVoltageAndCurrentViews)
{
    fill(2);
    EXPECT_EQ(row(1, r1()), QStringList({"総合", "330.0V", "5.0%", "12.3A", "10.0%", "-123ﾟ"}));
    // Means of the three phases: (6610 + 6620 + 6600) / 3 and (121 + 121 + 130) / 3.
    EXPECT_EQ(row(0, r2()), QStringList({"実効値", "6610.0V", "", "124.0A", "", ""}));
    EXPECT_EQ(row(1, r2()), QStringList({"全歪", "", "", "", "", ""}))
        << "no voltage remainder without the voltage R-C complement";

    settings.RcRows[0].ticked = true;
    fill(2);
    // sqrt(6610² - 6600.04²) = 362.73
    EXPECT_EQ(cell(1, r2(), 1), QStringLiteral("362.7V"));

    fill(3);
    EXPECT_EQ(row(1, r1()), QStringList({"総合", "301.0V", "302.0V", "303.0V"}));
    EXPECT_EQ(row(0, r2()), QStringList({"実効値", "6610.0V", "6620.0V", "6600.0V"}));
    // sqrt(6610² - 6600²) = 363.46; 6620 against 6610: 363.73; phase 2 is below its
    // fundamental.
    EXPECT_EQ(row(1, r2()), QStringList({"全歪", "363.5V", "363.7V", "0.0V"}));

    fill(4);
    EXPECT_EQ(row(1, r1()), QStringList({"総合", "11.0A", "12.0A", "13.0A"}));
    EXPECT_EQ(row(0, r2()), QStringList({"実効値", "121.0A", "121.0A", "130.0A"}));
    // sqrt(121² - 120²) = 15.5; equal RMS and fundamental: 0; sqrt(130² - 122²) = 44.9.
    EXPECT_EQ(row(1, r2()), QStringList({"全歪", "15.5A", "0.0A", "44.9A"}));
}

TEST_P(ResultTablesTest, AFeederWithoutCurrentLeavesItsRatioEmpty)
{
    for (int k = 0; k <= maxOrder(); ++k)
        data.CurByOrder(kChannel, static_cast<std::size_t>(k)) = 0.0f;
    fill(2);
    EXPECT_EQ(cell(1, r1(), 4), QString());
    EXPECT_EQ(cell(1, r1(), 2), QStringLiteral("5.0%"));
    EXPECT_EQ(order(1, 3), QStringLiteral("0.0A"));
}

TEST_P(ResultTablesTest, WhatAViewLeavesForTheNext)
{
    fill(2);
    const QStringList sumTotal = row(1, r1());
    const QStringList sumRms = row(0, r2());
    const QStringList sumOrder7 = row(0, 4);

    // Fewer columns: columns 4 and 5 go; every remaining cell is this view's.
    fill(3);
    EXPECT_EQ(row(1, r1()), QStringList({"総合", "301.0V", "302.0V", "303.0V"}));
    EXPECT_EQ(row(0, 4).size(), 4);

    // And back: nothing of view 3 stays under view 2's headers.
    fill(2);
    EXPECT_EQ(row(1, r1()), sumTotal);
    EXPECT_EQ(row(0, r2()), sumRms);
    EXPECT_EQ(row(0, 4), sumOrder7);

    // View 5 empties the total row, drops the last row and leaves column 5 as wide as it was;
    // after view 3 (no column 5) the column comes back at the default width.
    grids[0].setColumnWidth(5, 900);
    grids[0].setColumnWidth(3, 900);
    fill(5);
    EXPECT_EQ(row(1, r1()), QStringList(6, QString()));
    EXPECT_EQ(grids[1].rowCount(), r2());
    EXPECT_EQ(grids[0].columnWidth(5), 900);
    EXPECT_EQ(grids[0].columnWidth(3), 700);
    fill(3);
    fill(5);
    EXPECT_EQ(grids[0].columnWidth(5), hs::ResultGrid::kDefaultColumnWidth);
    fill(2);
    EXPECT_EQ(row(1, r1()), sumTotal);
    EXPECT_EQ(row(0, r2()), sumRms);
}

INSTANTIATE_TEST_SUITE_P(MaxHarmonicOrder, ResultTablesTest, ::testing::Values(99, 256));

TEST(ResultTables, OtherViewsLeaveTheGridsAlone)
{
    hs::MeasurementSettings settings;
    hs::MeasurementData data;
    data.sizeForMeasurement(settings);
    ResultGridPair grids;
    hs::PrepareResultGrids(grids, settings.MaxHarmonicOrder);
    grids[0].setText(1, 1, QStringLiteral("kept"));
    for (int view : {0, 1, 6, 7, 8, 9, 10})
        EXPECT_FALSE(hs::FillResultTables(grids, view, settings, data, 0)) << view;
    EXPECT_EQ(grids[0].text(1, 1), QStringLiteral("kept"));
    EXPECT_EQ(grids[0].columnCount(), 4);
}

TEST(ResultTables, RemainderAfterTheFundamental)
{
    EXPECT_DOUBLE_EQ(hs::RemainderAfterFundamental(5.0, 4.0), 3.0);
    EXPECT_DOUBLE_EQ(hs::RemainderAfterFundamental(4.0, 4.0), 0.0);
    EXPECT_DOUBLE_EQ(hs::RemainderAfterFundamental(3.9, 4.0), 0.0);
    EXPECT_DOUBLE_EQ(hs::RemainderAfterFundamental(std::nan(""), 4.0), 0.0);
}

} // namespace
