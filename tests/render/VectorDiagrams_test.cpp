#include "render/VectorDiagrams.h"

#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

namespace hs {
namespace {

VectorInput input(std::initializer_list<std::pair<float, float>> entries)
{
    VectorInput in;
    std::size_t i = 0;
    for (const auto& [s, c] : entries) {
        in.S[i] = s;
        in.C[i] = c;
        ++i;
    }
    return in;
}

std::vector<int> colours(const std::vector<PhasorStroke>& strokes)
{
    std::vector<int> out;
    for (const PhasorStroke& s : strokes)
        out.push_back(s.colour);
    return out;
}

TEST(PhasorDiagram, OneElementVoltageAroundTheCentreAndCurrentFromIt)
{
    // Voltage along +x, current straight up (sine part 0: the angle still comes out finite).
    const auto strokes = PhasorDiagram(input({{100, 0}, {0, 10}}), 0, 0, 110, 250, 50);
    ASSERT_EQ(strokes.size(), 2u);
    // Centre height whole(50 / 1.732 + 250) = 279; the voltage runs from a third of its length
    // (3 x 50 = 150) behind the centre to two thirds ahead.
    EXPECT_EQ(strokes[0].kind, PhasorStroke::Arrow);
    EXPECT_EQ(strokes[0].colour, palette::LightGreen);
    EXPECT_EQ(strokes[0].from, QPointF(60, 279));
    EXPECT_EQ(strokes[0].to, QPointF(210, 279));
    // The current: 1.4 x 25 long from the centre.
    EXPECT_EQ(strokes[1].colour, palette::LightCyan);
    EXPECT_EQ(strokes[1].from, QPointF(110, 279));
    EXPECT_EQ(strokes[1].to, QPointF(110, 314));
}

TEST(PhasorDiagram, DrawnWithYUpwardsAndArrowHeadsAlongTheShaft)
{
    RecordingCanvas canvas;
    DrawPhasorDiagram(canvas, input({{100, 0}, {0, 10}}), 0, 0, 110, 250, 50);
    const auto lines = canvas.ofKind(CanvasOp::Line);
    ASSERT_EQ(lines.size(), 6u); // two shafts, two strokes each
    EXPECT_EQ(lines[0].a, QPointF(60, 121));
    EXPECT_EQ(lines[0].b, QPointF(210, 121));
    EXPECT_EQ(lines[0].colour, PaletteColour(palette::LightGreen));
    // Head of the voltage: pointing along +x, strokes go back (left) 0.5 rad either side.
    for (int i : {1, 2}) {
        EXPECT_EQ(lines[std::size_t(i)].a, QPointF(210, 121));
        EXPECT_NEAR(lines[std::size_t(i)].b.x(), 210 - 5 * std::cos(0.5), 1e-3);
        EXPECT_NEAR(std::abs(lines[std::size_t(i)].b.y() - 121), 5 * std::sin(0.5), 1e-3);
    }
    // Current upwards on the picture: tip at 400 - 314 = 86, strokes below the tip.
    EXPECT_EQ(lines[3].b, QPointF(110, 86));
    EXPECT_GT(lines[4].b.y(), 86);
    EXPECT_GT(lines[5].b.y(), 86);
    EXPECT_NEAR(lines[4].b.x() + lines[5].b.x(), 220, 1e-3);
    EXPECT_FALSE(canvas.hasNonFinite());
}

TEST(PhasorDiagram, TwoElementsAreScaledAgainstEachOther)
{
    // Element 1 has half the voltage and twice the current of element 0.
    const auto strokes =
        PhasorDiagram(input({{100, 0}, {10, 0}, {0, 50}, {0, 20}}), 1, 1, 110, 250, 50);
    ASSERT_EQ(colours(strokes), std::vector<int>({palette::LightGreen, palette::LightCyan,
                                                  palette::LightRed, palette::LightMagenta}));
    const double nv = std::sqrt(100.0 * 100 + 50 * 50);
    const double p0 = 50 * 3 * 100 / nv;
    const double p1 = 50 * 3 * 50 / nv;
    const QPointF origin(std::round(110 - p0 / 3), std::round(279 - p1 / 3));
    EXPECT_EQ(strokes[0].from, origin);
    EXPECT_EQ(strokes[0].to, QPointF(std::round(origin.x() + p0), origin.y()));
    EXPECT_EQ(strokes[2].from, origin);
    EXPECT_EQ(strokes[2].to, QPointF(origin.x(), std::round(origin.y() + p1)));
    const double ni = std::sqrt(10.0 * 10 + 20 * 20);
    EXPECT_EQ(strokes[1].to, QPointF(std::round(110 + 25 * 1.4 * 10 / ni), 279));
    EXPECT_EQ(strokes[3].to, QPointF(110, std::round(279 + 25 * 1.4 * 20 / ni)));
}

TEST(PhasorDiagram, ThreePhaseTypesCloseTheTriangleAndDrawTheThirdCurrent)
{
    // Balanced: voltages 60 degrees apart, currents 120 degrees apart.
    const double d = std::numbers::pi / 180;
    const auto v = [&](double deg, double r) {
        return std::pair<float, float>(float(r * std::cos(deg * d)), float(r * std::sin(deg * d)));
    };
    const VectorInput in = input({v(0, 100), v(-30, 10), v(60, 100), v(90, 10)});
    for (int type : {2, 4}) {
        const auto strokes = PhasorDiagram(in, 1, type, 238, 100, 50);
        ASSERT_EQ(colours(strokes),
                  std::vector<int>({palette::LightGreen, palette::LightCyan, palette::LightRed,
                                    palette::LightMagenta, palette::Grey, palette::Brown,
                                    palette::LightCyan, palette::LightMagenta, palette::Brown}));
        const QPointF centre(238, 129);
        // The triangle: its third side joins the two tips; its centroid is the centre.
        const PhasorStroke& side = strokes[4];
        EXPECT_EQ(side.kind, PhasorStroke::Line);
        EXPECT_EQ(side.from, strokes[0].to);
        EXPECT_EQ(side.to, strokes[2].to);
        const QPointF centroid = (strokes[0].from + strokes[0].to + strokes[2].to) / 3;
        EXPECT_NEAR(centroid.x(), centre.x(), 1.0);
        EXPECT_NEAR(centroid.y(), centre.y(), 1.0);
        // Third current: minus the sum of the other two, dotted shaft.
        const PhasorStroke& third = strokes[5];
        EXPECT_EQ(third.kind, PhasorStroke::Arrow);
        EXPECT_EQ(third.style, LineStyle::Dotted);
        EXPECT_EQ(third.from, centre);
        EXPECT_EQ(third.to, centre - (strokes[1].to - centre) - (strokes[3].to - centre));
        // Dotted lines from the centre to T0, T1 and the origin.
        EXPECT_EQ(strokes[6].to, strokes[0].to);
        EXPECT_EQ(strokes[7].to, strokes[2].to);
        EXPECT_EQ(strokes[8].to, strokes[0].from);
        for (int i : {6, 7, 8})
            EXPECT_EQ(strokes[std::size_t(i)].style, LineStyle::Dotted);
    }
}

TEST(PhasorDiagram, ZeroVectorShrinksToItsHeadPointingLeft)
{
    // Element 1's voltage is zero, element 0's is not.
    const auto strokes =
        PhasorDiagram(input({{100, 0}, {10, 0}, {0, 0}, {0, 10}}), 1, 1, 110, 250, 50);
    ASSERT_EQ(strokes.size(), 4u);
    EXPECT_EQ(strokes[2].from, strokes[2].to);
    RecordingCanvas canvas;
    DrawPhasorStroke(canvas, strokes[2]);
    const auto lines = canvas.ofKind(CanvasOp::Line);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].a, lines[0].b);
    EXPECT_LT(lines[1].b.x(), lines[1].a.x());
    EXPECT_LT(lines[2].b.x(), lines[2].a.x());
    EXPECT_FALSE(canvas.hasNonFinite());
}

// With all voltages (or all currents) of a diagram zero their norm is 0: those arrows are left
// out, the rest is drawn, and no coordinate is infinite or not a number.
TEST(PhasorDiagram, AllZeroVoltagesOrCurrentsLeaveTheirArrowsOut)
{
    const auto noVoltage =
        PhasorDiagram(input({{0, 0}, {10, 0}, {0, 0}, {0, 10}}), 1, 2, 110, 250, 50);
    EXPECT_EQ(colours(noVoltage),
              std::vector<int>({palette::LightCyan, palette::LightMagenta, palette::Brown}));
    const auto noCurrent =
        PhasorDiagram(input({{100, 0}, {0, 0}, {0, 50}, {0, 0}}), 1, 2, 110, 250, 50);
    EXPECT_EQ(colours(noCurrent),
              std::vector<int>({palette::LightGreen, palette::LightRed, palette::Grey,
                                palette::LightCyan, palette::LightMagenta, palette::Brown}));
    EXPECT_TRUE(PhasorDiagram(VectorInput{}, 1, 4, 110, 250, 50).empty());
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const auto bad = PhasorDiagram(input({{nan, 0}, {10, 0}}), 0, 0, 110, 250, 50);
    EXPECT_EQ(colours(bad), std::vector<int>({palette::LightCyan}));
}

struct VectorShot {
    MeasurementSettings settings;
    MeasurementData data;
    explicit VectorShot(int type)
    {
        settings.MeasureType() = std::int16_t(type);
        settings.LastFeeder = 2;
        data.sizeForPreparation(settings);
        data.sizeForMeasurement(settings);
    }
};

TEST(VectorView, InputTakesTheChosenFeederAndMeasureTypeFourRefersToPhaseTwo)
{
    VectorShot shot(4);
    shot.data.VoltSin(0, 5) = 5;
    shot.data.VoltCos(0, 5) = 1;
    shot.data.VoltSin(1, 5) = -4;
    shot.data.VoltSin(2, 5) = 2;
    shot.data.VoltCos(2, 5) = 3;
    shot.data.CurSin(2, 1, 5) = 7;
    shot.data.CurCos(2, 0, 5) = 8;
    shot.data.CurSin(0, 1, 5) = 99; // another feeder
    VectorInput in = FillVectorInput(shot.settings, shot.data, 2, 5);
    EXPECT_EQ(in.S[0], 3);
    EXPECT_EQ(in.C[0], -2);
    EXPECT_EQ(in.S[2], -6);
    EXPECT_EQ(in.C[2], -3);
    EXPECT_EQ(in.C[1], 8);
    EXPECT_EQ(in.S[3], 7);
    EXPECT_EQ(in.S[4], 0);

    shot.settings.MeasureType() = 2;
    in = FillVectorInput(shot.settings, shot.data, 2, 5);
    EXPECT_EQ(in.S[0], 5);
    EXPECT_EQ(in.S[2], -4);

    VectorShot single(0); // one element: entries 2 and 3 stay zero
    single.data.VoltSin(1, 1) = 5;
    single.data.CurSin(0, 1, 1) = 5;
    in = FillVectorInput(single.settings, single.data, 0, 1);
    EXPECT_EQ(in.S[2], 0);
    EXPECT_EQ(in.S[3], 0);
}

TEST(VectorView, EightDiagramsWithOrderLabelsAndLegend)
{
    EXPECT_EQ(VectorDiagramOrder(0, 0), 1);
    EXPECT_EQ(VectorDiagramOrder(0, 1), 3);
    EXPECT_EQ(VectorDiagramOrder(1, 0), 5);
    EXPECT_EQ(VectorDiagramOrder(2, 1), 13);
    EXPECT_EQ(VectorDiagramOrder(3, 1), 19);

    VectorShot shot(2);
    for (int k : {1, 3, 5, 7, 11, 13, 17, 19}) {
        shot.data.VoltSin(0, std::size_t(k)) = 100;
        shot.data.VoltCos(1, std::size_t(k)) = 100;
        shot.data.CurSin(1, 0, std::size_t(k)) = 10;
        shot.data.CurCos(1, 1, std::size_t(k)) = 10;
    }
    RecordingCanvas canvas;
    DrawVectorView(canvas, shot.settings, shot.data, 1);
    EXPECT_FALSE(canvas.hasNonFinite());
    const auto label = canvas.texts(QStringLiteral(" 5次"));
    ASSERT_EQ(label.size(), 1u);
    EXPECT_EQ(label[0].a, QPointF(208, 162));
    ASSERT_EQ(canvas.texts(QStringLiteral(" 19次")).size(), 1u);
    EXPECT_EQ(canvas.texts(QStringLiteral(" 19次"))[0].a, QPointF(464, 342));
    EXPECT_EQ(canvas.texts(QStringLiteral(" 1次"))[0].colour, PaletteColour(palette::Black));
    for (const char* t : {"V1", "I1", "V2", "I2", "V3", "I3"})
        EXPECT_EQ(canvas.texts(QString::fromLatin1(t)).size(), 1u) << t;
    EXPECT_EQ(canvas.texts(QStringLiteral("V3"))[0].a, QPointF(584, 288));
    EXPECT_EQ(canvas.texts(QStringLiteral("I2"))[0].colour, PaletteColour(palette::LightMagenta));
    // Eight diagrams of 5 arrows (3 lines each) and 4 plain lines.
    EXPECT_EQ(canvas.ofKind(CanvasOp::Line).size(), 8u * (5 * 3 + 4));
    // Diagram 17 (column 3, top row) is centred at x 494, picture height 81; its voltages at
    // right angles make a triangle too wide for radius 50.
    const VectorInput in17 = FillVectorInput(shot.settings, shot.data, 1, 17);
    const FittedDiagram fit = FitPhasorDiagram(in17, 1, 2, VectorDiagramArea(3, 0));
    EXPECT_LT(fit.a, 50);
    const auto strokes = PhasorDiagram(in17, 1, 2, fit.cx, fit.cy, fit.a);
    EXPECT_EQ(strokes[1].from, QPointF(494, 400 - 81));
    // Line voltages of a balanced three-wire circuit (equal, 60 degrees apart) keep radius 50.
    const VectorInput balanced = input({{100, 0}, {10, 0}, {50, 86.6f}, {0, 10}});
    EXPECT_EQ(FitPhasorDiagram(balanced, 1, 2, VectorDiagramArea(0, 1)).a, 50);

    VectorShot single(0);
    RecordingCanvas one;
    DrawVectorView(one, single.settings, single.data, 0);
    EXPECT_FALSE(one.hasNonFinite());
    EXPECT_EQ(one.texts(QStringLiteral("V2")).size(), 0u);
    EXPECT_EQ(one.texts(QStringLiteral("V3")).size(), 0u);
    EXPECT_EQ(one.texts(QStringLiteral("I1")).size(), 1u);
    EXPECT_TRUE(one.ofKind(CanvasOp::Line).empty()); // all zero: labels only
}

// Uneven voltage pairs (one almost nothing) stretch a triangle to three times the radius; each
// diagram must still stay in its own cell, clear of its label, and every label inside the
// picture.
TEST(VectorView, EveryDiagramAndLabelStaysInItsCell)
{
    for (const int type : {1, 2, 4}) {
        VectorShot shot(type);
        for (int k : {1, 3, 5, 7, 11, 13, 17, 19}) {
            const auto sk = std::size_t(k);
            shot.data.VoltSin(0, sk) = k == 3 ? 1 : 100;
            shot.data.VoltCos(0, sk) = k == 19 ? -300 : 0;
            shot.data.VoltCos(1, sk) = k == 3 ? 100 : 0.5f;
            shot.data.CurSin(0, 0, sk) = 10;
            shot.data.CurCos(0, 1, sk) = k % 4 == 1 ? -10 : 0.1f;
        }
        RecordingCanvas canvas;
        DrawVectorView(canvas, shot.settings, shot.data, 0);
        const QRectF picture(0, 0, 640, 360);
        std::vector<int> linesIn(8, 0);
        for (const CanvasOp& op : canvas.ofKind(CanvasOp::Line)) {
            int in = -1;
            for (int c = 0; c < 8; ++c) {
                const QRectF area = VectorDiagramArea(c / 2, c % 2);
                const auto holds = [&](QPointF p) {
                    return p.x() >= area.left() && p.x() <= area.right() &&
                           p.y() >= area.top() && p.y() <= area.bottom();
                };
                if (holds(op.a) && holds(op.b))
                    in = c;
            }
            ASSERT_GE(in, 0) << type << ": " << op.a.x() << "," << op.a.y() << " - " << op.b.x()
                             << "," << op.b.y();
            ++linesIn[std::size_t(in)];
        }
        for (int c = 0; c < 8; ++c) {
            const int d = c / 2, j = c % 2;
            EXPECT_GT(linesIn[std::size_t(c)], 0) << type << " cell " << c;
            const QRectF cell = VectorDiagramCell(d, j);
            const QRectF label = VectorLabelBox(d, j);
            EXPECT_TRUE(cell.contains(VectorDiagramArea(d, j)));
            EXPECT_TRUE(cell.contains(label) && picture.contains(cell));
            EXPECT_FALSE(label.intersects(VectorDiagramArea(d, j)));
            const auto text = canvas.texts(QStringLiteral(" %1次").arg(VectorDiagramOrder(d, j)));
            ASSERT_EQ(text.size(), 1u);
            EXPECT_EQ(text[0].a, label.topLeft());
            for (int e = c + 1; e < 8; ++e)
                EXPECT_FALSE(cell.intersects(VectorDiagramCell(e / 2, e % 2)));
        }
    }
}

TEST(VectorView, UnsizedDataOrAMissingFeederDrawsLabelsOnly)
{
    MeasurementSettings settings;
    MeasurementData unsized;
    RecordingCanvas canvas;
    DrawVectorView(canvas, settings, unsized, 4);
    EXPECT_FALSE(canvas.hasNonFinite());
    EXPECT_EQ(canvas.ofKind(CanvasOp::Text).size(), 8u + 4u); // default type 2: V1 I1 V3 I3
}

} // namespace
} // namespace hs
