#include "render/ResultCharts.h"

#include "render/Canvas.h"
#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

namespace hs {
namespace {

const QColor kBlue = PaletteColour(palette::Blue);
const QColor kLightRed = PaletteColour(palette::LightRed);
const QColor kBlack = PaletteColour(palette::Black);

QStringList markTexts(const ChartScale& scale)
{
    QStringList texts;
    for (double v : ScaleMarks(scale))
        texts << ChartNumberText(v);
    return texts;
}

TEST(ChartScales, RatioChartsRoundTheMaximumAndStepByTwoOnlyAtTen)
{
    const auto expect = [](double max, double full, double step) {
        const ChartScale s = RatioChartScale(max);
        EXPECT_EQ(s.full, full) << max;
        EXPECT_EQ(s.step, step) << max;
    };
    expect(1.0, 5, 1);
    expect(4.9, 5, 1);
    expect(5.0, 10, 2);
    expect(9.4, 10, 2);
    expect(9.6, 20, 10);  // rounds to 10 first
    expect(10.5, 20, 10); // 10.5 rounds to 10 (half to even): still 20
    expect(23, 30, 10);
    expect(29.5, 40, 10); // 29.5 rounds to 30
    EXPECT_EQ(markTexts(RatioChartScale(4.9)), QStringList({" 0", " 1", " 2", " 3", " 4", " 5"}));
    EXPECT_EQ(markTexts(RatioChartScale(5)), QStringList({" 0", " 2", " 4", " 6", " 8", " 10"}));
    EXPECT_EQ(markTexts(RatioChartScale(9.6)), QStringList({" 0", " 10", " 20"}));
}

TEST(ChartScales, HighOrderChartGetsFinerBelowFivePercent)
{
    const auto expect = [](double max, double full, double step) {
        const ChartScale s = HighOrderChartScale(max);
        EXPECT_DOUBLE_EQ(s.full, full) << max;
        EXPECT_DOUBLE_EQ(s.step, step) << max;
    };
    expect(12, 20, 10);
    expect(5, 10, 2);
    expect(4.99, 5, 1);
    expect(0.7, 1, 0.2);
    expect(0.3, 0.5, 0.1);
    expect(0.15, 0.2, 0.05);
    expect(0.07, 0.1, 0.02);
    expect(0.03, 0.05, 0.01);
    // Fractional steps are counted, not summed: no .30000000000000004.
    EXPECT_EQ(markTexts(HighOrderChartScale(0.3)),
              QStringList({" 0", " .1", " .2", " .3", " .4", " .5"}));
    EXPECT_EQ(markTexts(HighOrderChartScale(0.07)),
              QStringList({" 0", " .02", " .04", " .06", " .08", " .1"}));
    EXPECT_EQ(markTexts(HighOrderChartScale(0.15)),
              QStringList({" 0", " .05", " .1", " .15", " .2"}));
}

TEST(ChartScales, AbsurdMaximaGiveAShortFiniteScale)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double max : {1e7, 1e30, inf}) {
        const ChartScale s = RatioChartScale(max);
        EXPECT_TRUE(std::isfinite(s.full)) << max;
        const auto marks = ScaleMarks(s);
        EXPECT_LE(marks.size(), 51u) << max;
        EXPECT_GE(marks.size(), 2u) << max;
        for (double v : marks)
            EXPECT_LE(v, s.full);
    }
    EXPECT_EQ(RatioChartScale(nan).full, 5);
    EXPECT_EQ(HighOrderChartScale(nan).full, 0.05);
    // Up to 50 steps the rule holds as it is: 500 % has 51 lines 10 apart.
    EXPECT_EQ(ScaleMarks(RatioChartScale(495)).size(), 51u);
    const auto thinned = ScaleMarks(RatioChartScale(505)); // full 510: every second line
    ASSERT_EQ(thinned.size(), 26u);
    EXPECT_EQ(thinned[1], 20);
}

TEST(ChartBars, HeightsAreWholeUnitsClippedToTheFrame)
{
    EXPECT_EQ(RatioBarHeight(2, 5), -52);
    EXPECT_EQ(RatioBarHeight(0.25, 5), -6.0); // -6.5 rounds to even
    EXPECT_EQ(RatioBarHeight(5, 5), -130);
    EXPECT_EQ(RatioBarHeight(50, 5), -130); // would be -1300
    EXPECT_EQ(RatioBarHeight(-1, 5), 0);
    EXPECT_EQ(RatioBarHeight(std::numeric_limits<double>::quiet_NaN(), 5), std::nullopt);

    EXPECT_EQ(PhaseBar(180).top, 210);
    EXPECT_EQ(PhaseBar(180).height, 65);
    EXPECT_EQ(PhaseBar(-180).top, 275);
    EXPECT_EQ(PhaseBar(-180).height, 65);
    EXPECT_EQ(PhaseBar(-90).height, 32); // 32.5 rounds to even
    EXPECT_EQ(PhaseBar(90).top, 243);    // -32.5 -> -32
    EXPECT_EQ(PhaseBar(30).top, 264);
    EXPECT_EQ(PhaseBar(300).top, 210); // beyond +-180: clipped to the frame
    EXPECT_EQ(PhaseBar(-300).height, 65);
}

// Three feeders, 99 orders, three-phase two-meter type.
struct Shot {
    MeasurementSettings settings;
    MeasurementData data;
    Shot()
    {
        settings.MeasureType() = 2;
        settings.LastFeeder = 2;
        data.sizeForPreparation(settings);
        data.sizeForMeasurement(settings);
        data.VoltRatioMax = 1;
        data.VoltRatioMaxHigh = 0.1f;
        data.CurRatioMax.fill(2);
        for (int f = 0; f < 3; ++f) {
            data.CurByOrder(std::size_t(f), 1) = 100;
            data.CurHarmRss[std::size_t(f)] = 10;
        }
    }
};

// The first filled box centred at x (within 0.01) drawn in the given colour, in the upper
// charts or (lower) in the lower ones.
std::optional<CanvasOp> barAt(const RecordingCanvas& canvas, double x, const QColor& colour,
                              bool lower = false)
{
    for (const CanvasOp& op : canvas.ofKind(CanvasOp::FilledBox))
        if (std::abs((op.a.x() + op.b.x()) / 2 - x) < 0.01 && op.colour == colour &&
            (std::max(op.a.y(), op.b.y()) > 200) == lower)
            return op;
    return std::nullopt;
}

std::optional<CanvasOp> text(const RecordingCanvas& canvas, const QString& t)
{
    const auto found = canvas.texts(t);
    if (found.empty())
        return std::nullopt;
    return found.front();
}

TEST(GraphView, VoltageChartBarsScaleLinesAndLabels)
{
    Shot shot;
    shot.data.VoltRatioMax = 2;
    shot.data.VoltRatio[5] = 2;
    shot.data.VoltRatio[4] = 1;
    RecordingCanvas canvas;
    DrawGraphView(canvas, shot.data, 0);
    EXPECT_FALSE(canvas.hasNonFinite());

    // Full scale 5: order 5 (odd) is a blue bar 4 wide, 52 high; order 4 light red, 2 wide.
    const auto five = barAt(canvas, 75, kBlue);
    ASSERT_TRUE(five);
    EXPECT_EQ(five->a, QPointF(73, 165));
    EXPECT_EQ(five->b, QPointF(77, 113));
    const auto four = barAt(canvas, 70, kLightRed);
    ASSERT_TRUE(four);
    EXPECT_EQ(four->a, QPointF(69, 165));
    EXPECT_EQ(four->b, QPointF(71, 139));

    const auto title = text(canvas, kVoltRatioTitle);
    ASSERT_TRUE(title);
    EXPECT_EQ(title->a, QPointF(150, 18));
    EXPECT_EQ(title->colour, kBlack);
    // Scale numbers end 4 left of the frame, centred on their lines; the lines dotted grey
    // across the frame.
    const auto top = text(canvas, QStringLiteral(" 5"));
    ASSERT_TRUE(top);
    EXPECT_EQ(top->a, QPointF(46, 35));
    EXPECT_EQ(top->anchor, TextAnchor::RightMiddle);
    bool line = false;
    for (const CanvasOp& op : canvas.ofKind(CanvasOp::Line))
        line |= op.a == QPointF(50, 139) && op.b == QPointF(300, 139) && op.colour == GridGrey() &&
                op.style == LineStyle::Dotted;
    EXPECT_TRUE(line);
    // Order labels under the labelled orders, in the bar colour of that order.
    const auto label = text(canvas, QStringLiteral("5"));
    ASSERT_TRUE(label);
    EXPECT_EQ(label->a, QPointF(69, 167));
    EXPECT_EQ(label->colour, kBlue);
    for (const char* order : {"11", "17", "23", "29", "35", "41", "47"})
        EXPECT_TRUE(text(canvas, QString::fromLatin1(order))) << order;
    // Frames of the voltage and high-order charts.
    bool frame = false;
    for (const CanvasOp& op : canvas.ofKind(CanvasOp::Box))
        frame |= op.a == QPointF(50, 165) && op.b == QPointF(300, 35);
    EXPECT_TRUE(frame);
}

TEST(GraphView, HighOrderChart)
{
    Shot shot;
    shot.data.VoltRatioMaxHigh = 0.3f;
    shot.data.VoltRatio[51] = 0.25f;
    shot.data.VoltRatio[52] = 0.1f;
    shot.data.VoltRatio[99] = 0.5f;
    RecordingCanvas canvas;
    DrawGraphView(canvas, shot.data, 0);

    const auto o51 = barAt(canvas, 60, kBlue, true);
    ASSERT_TRUE(o51);
    EXPECT_EQ(o51->a, QPointF(58, 340));
    EXPECT_EQ(o51->b, QPointF(62, 275));
    const auto o52 = barAt(canvas, 65, kLightRed, true);
    ASSERT_TRUE(o52);
    EXPECT_EQ(o52->b, QPointF(66, 314));
    const auto o99 = barAt(canvas, 300, kBlue, true);
    ASSERT_TRUE(o99);
    EXPECT_EQ(o99->b.y(), 210);

    const auto title = text(canvas, kHighOrderTitle);
    ASSERT_TRUE(title);
    EXPECT_EQ(title->a, QPointF(150, 193));
    const auto half = text(canvas, QStringLiteral(" .5"));
    ASSERT_TRUE(half);
    EXPECT_EQ(half->a, QPointF(46, 210));
    const auto label = text(canvas, QStringLiteral("53"));
    ASSERT_TRUE(label);
    EXPECT_EQ(label->a, QPointF(64, 342));
    EXPECT_EQ(label->colour, kBlack);
    EXPECT_TRUE(text(canvas, QStringLiteral("95")));
}

TEST(GraphView, CurrentAndPhaseChartsOfTheChosenFeeder)
{
    Shot shot;
    shot.data.CurRatioMax[2] = 10;
    shot.data.CurRatio(2, 5) = 10;
    shot.data.CurRatio(0, 7) = 10; // another feeder: not shown
    shot.data.PowerAngle(2, 1) = 180;
    shot.data.PowerAngle(2, 3) = -180;
    shot.data.PowerAngle(2, 5) = 30;
    shot.data.PowerAngle(2, 2) = -90;
    RecordingCanvas canvas;
    DrawGraphView(canvas, shot.data, 2);
    EXPECT_FALSE(canvas.hasNonFinite());

    // Full scale 20: 10 % is half the frame.
    const auto five = barAt(canvas, 395, kBlue);
    ASSERT_TRUE(five);
    EXPECT_EQ(five->a, QPointF(393, 165));
    EXPECT_EQ(five->b, QPointF(397, 100));
    ASSERT_TRUE(barAt(canvas, 405, kBlue));
    EXPECT_EQ(barAt(canvas, 405, kBlue)->b.y(), 165); // order 7 of feeder 3 is zero
    const auto title = text(canvas, kCurRatioTitle);
    ASSERT_TRUE(title);
    EXPECT_EQ(title->a, QPointF(470, 18));
    EXPECT_TRUE(text(canvas, QStringLiteral(" 20")));

    // Phase bars from the 0 degree line at 275, red beyond -135..45 degrees.
    const auto p1 = barAt(canvas, 375, kLightRed, true);
    ASSERT_TRUE(p1);
    EXPECT_EQ(p1->a, QPointF(373, 210));
    EXPECT_EQ(p1->b, QPointF(377, 275));
    const auto p3 = barAt(canvas, 385, kLightRed, true);
    ASSERT_TRUE(p3);
    EXPECT_EQ(p3->a.y(), 275);
    EXPECT_EQ(p3->b.y(), 340);
    const auto p5 = barAt(canvas, 395, kBlue, true);
    ASSERT_TRUE(p5);
    EXPECT_EQ(p5->a.y(), 264);
    // Even orders are 4/7 of a unit wide.
    const auto p2 = barAt(canvas, 380, kBlue, true);
    ASSERT_TRUE(p2);
    EXPECT_NEAR(p2->b.x() - p2->a.x(), 4.0 / 7.0, 1e-12);
    EXPECT_EQ(p2->b.y() - p2->a.y(), 32);
    // Angle scale: -180 at the bottom, 180 at the top, lines at whole units (307.5 -> 308).
    EXPECT_EQ(text(canvas, QStringLiteral("-180"))->a, QPointF(366, 340));
    EXPECT_EQ(text(canvas, QStringLiteral("-90"))->a, QPointF(366, 308));
    EXPECT_EQ(text(canvas, QStringLiteral(" 0"))->a.x(), 46); // voltage chart's zero first
    EXPECT_EQ(text(canvas, QStringLiteral(" 90"))->a, QPointF(366, 242));
    EXPECT_EQ(text(canvas, QStringLiteral(" 180"))->a, QPointF(366, 210));
    EXPECT_TRUE(text(canvas, kPhaseAngleTitle));
}

TEST(GraphView, RightHalfStaysEmptyForAFeederWithoutFundamentalOrOverFiveTimesDistorted)
{
    Shot shot;
    shot.data.CurByOrder(1, 1) = 0; // CurHarmRss 10, no fundamental: 10 / 1e-20
    shot.data.CurHarmRss[0] = 501;  // 5.01 times the fundamental of 100
    shot.data.CurHarmRss[2] = 500;  // exactly 5 times: shown
    EXPECT_FALSE(ShowsCurrentCharts(shot.data, 0));
    EXPECT_FALSE(ShowsCurrentCharts(shot.data, 1));
    EXPECT_TRUE(ShowsCurrentCharts(shot.data, 2));
    RecordingCanvas canvas;
    DrawGraphView(canvas, shot.data, 1);
    EXPECT_FALSE(canvas.hasNonFinite());
    EXPECT_FALSE(text(canvas, kCurRatioTitle));
    EXPECT_FALSE(text(canvas, kPhaseAngleTitle));
    for (const CanvasOp& op : canvas.ops())
        EXPECT_LE(std::max(op.a.x(), op.b.x()), 302.0); // order 99 of the high orders
}

// Values beyond a chart's full scale stop at its frame instead of running over the chart above
// or the labels below.
TEST(GraphView, BarsStayInsideTheirFrames)
{
    Shot shot;
    shot.data.VoltRatioMax = 2;     // stale: smaller than the ratios
    shot.data.VoltRatio[7] = 50;    // 10 times the full scale
    shot.data.VoltRatio[9] = -3;    // below zero
    shot.data.VoltRatio[60] = 4;    // high orders on a 0.2 scale
    shot.data.CurRatio(0, 5) = 300; // full scale 5
    shot.data.PowerAngle(0, 7) = 400;
    RecordingCanvas canvas;
    DrawGraphView(canvas, shot.data, 0);
    const auto inFrame = [&](double x, const QColor& colour, double top, double bottom) {
        const auto bar = barAt(canvas, x, colour, top > 200);
        ASSERT_TRUE(bar) << x;
        EXPECT_GE(std::min(bar->a.y(), bar->b.y()), top) << x;
        EXPECT_LE(std::max(bar->a.y(), bar->b.y()), bottom) << x;
    };
    inFrame(85, kBlue, 35, 165);
    inFrame(95, kBlue, 35, 165);
    inFrame(105, kLightRed, 210, 340);
    inFrame(395, kBlue, 35, 165);
    inFrame(405, kLightRed, 210, 340);
}

TEST(GraphView, EmptyOrUnsizedDataDrawsFramesWithoutBadCoordinates)
{
    MeasurementData unsized;
    RecordingCanvas canvas;
    DrawGraphView(canvas, unsized, 5);
    EXPECT_FALSE(canvas.hasNonFinite());
    EXPECT_TRUE(text(canvas, kVoltRatioTitle));

    Shot shot;
    shot.data.VoltRatio[3] = std::numeric_limits<float>::quiet_NaN();
    shot.data.VoltRatioMax = std::numeric_limits<float>::infinity();
    RecordingCanvas second;
    DrawGraphView(second, shot.data, 0);
    EXPECT_FALSE(second.hasNonFinite());
    EXPECT_FALSE(barAt(second, 65, kBlue)); // order 3 left out
    EXPECT_TRUE(barAt(second, 75, kBlue));  // order 5 still drawn
}

} // namespace
} // namespace hs
