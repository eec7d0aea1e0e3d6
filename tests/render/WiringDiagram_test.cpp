#include "render/WiringDiagram.h"

#include "render/Canvas.h"
#include "engine/InstrumentPreparation.h"
#include "model/MeasurementSettings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

namespace hs {
namespace {

constexpr double kDegree = 3.14159265358979 / 180.0;

// A fundamental of magnitude m at angle deg, as the check shot's sums would give it.
Fundamental at(double deg, double m = 1000.0)
{
    const double s = m * std::cos(deg * kDegree), c = m * std::sin(deg * kDegree);
    return {s, c, std::atan(c / (s + 1e-20)) - (s < 0 ? 3.1416 : 0.0)};
}

// Every feeder gets the same vectors: R-S at 0, T-S at +60, currents R at r and T at t degrees.
WiringDiagramInput input(int type, int lastFeeder, double rho = 0, double r = 0, double t = 120)
{
    WiringDiagramInput in;
    in.MeasureType = type;
    in.ElementLast = type == 0 || type == 3 ? 0 : 1;
    in.LastFeeder = lastFeeder;
    in.Rho = rho;
    in.inputs[0] = at(0);
    if (in.ElementLast)
        in.inputs[1] = at(60);
    for (int f = 0; f <= lastFeeder; ++f) {
        in.inputs[static_cast<std::size_t>(2 * f + 2)] = at(r, 50);
        if (in.ElementLast)
            in.inputs[static_cast<std::size_t>(2 * f + 3)] = at(t, 50);
    }
    return in;
}

RecordingCanvas draw(const WiringDiagramInput& in)
{
    RecordingCanvas canvas(wiringPictureSize());
    DrawWiringDiagram(canvas, in);
    return canvas;
}

// The shafts (not the 50-long head strokes) of one colour and style.
std::vector<CanvasOp> shafts(const RecordingCanvas& canvas, int colour,
                             LineStyle style = LineStyle::Solid)
{
    std::vector<CanvasOp> out;
    for (const CanvasOp& op : canvas.ofKind(CanvasOp::Line))
        if (op.colour == PaletteColour(colour) && op.style == style &&
            QLineF(op.a, op.b).length() > 50.5)
            out.push_back(op);
    return out;
}

// Head strokes: 50 long, solid, starting at the tip.
std::vector<CanvasOp> headsAt(const RecordingCanvas& canvas, QPointF tip)
{
    std::vector<CanvasOp> out;
    for (const CanvasOp& op : canvas.ofKind(CanvasOp::Line))
        if (op.a == tip && std::abs(QLineF(op.a, op.b).length() - 50.0) < 1e-6)
            out.push_back(op);
    return out;
}

double angleOf(QPointF from, QPointF to) // picture coordinates, y down
{
    return std::atan2(from.y() - to.y(), to.x() - from.x());
}

TEST(WiringDiagram, LegendFollowsTheMeasureType)
{
    struct Case {
        int type;
        int entries;
    };
    for (const Case c : {Case{0, 2}, Case{1, 4}, Case{2, 6}, Case{4, 6}}) {
        const RecordingCanvas canvas = draw(input(c.type, 0));
        const struct {
            const char16_t* text;
            QPointF where;
            int colour;
        } legend[] = {{u"Vr-s", {6600, 3060}, 10}, {u"Ir", {7050, 3060}, 11},
                      {u"Vt-s", {6600, 3240}, 12}, {u"It", {7050, 3240}, 13},
                      {u"Vr-t", {6600, 3420}, 8},  {u"Is", {7050, 3420}, 6}};
        for (int i = 0; i < 6; ++i) {
            const auto found = canvas.texts(QString::fromUtf16(legend[i].text));
            SCOPED_TRACE(testing::Message() << "type " << c.type << " entry " << i);
            ASSERT_EQ(found.size(), i < c.entries ? 1u : 0u);
            if (!found.empty()) {
                EXPECT_EQ(found[0].a, legend[i].where);
                EXPECT_EQ(found[0].colour, PaletteColour(legend[i].colour));
            }
        }
    }
}

TEST(WiringDiagram, PlacesOfTheFeederDiagrams)
{
    struct Place {
        int lastFeeder, f;
        double x, y, size;
    };
    const Place table[] = {
        {0, 0, 3200, 1000, 1500}, {1, 1, 4800, 1000, 1500}, {2, 2, 6100, 1000, 1200},
        {3, 0, 1800, 2200, 1200}, {3, 1, 4800, 2200, 1200}, {3, 2, 1800, 400, 1200},
        {3, 3, 4800, 400, 1200},  {4, 4, 3700, 400, 1200},  {5, 2, 6100, 2200, 1200},
        {6, 3, 6200, 2200, 1100}, {7, 6, 4500, 400, 1100},  {8, 4, 6300, 2200, 1000},
        {8, 8, 5000, 400, 1000}};
    for (const Place& p : table) {
        const DiagramPlace got = feederDiagramPlace(p.lastFeeder, p.f);
        EXPECT_EQ(got.x, p.x) << p.lastFeeder << "/" << p.f;
        EXPECT_EQ(got.y, p.y) << p.lastFeeder << "/" << p.f;
        EXPECT_EQ(got.size, p.size) << p.lastFeeder << "/" << p.f;
    }
}

// One, three and nine feeders: labels, and each diagram's current starting at its centre
// (x, whole(size / 1.732 + y)) with the length size / 2 (one current per pair: it gets all of
// the length).
TEST(WiringDiagram, OneThreeAndNineFeeders)
{
    struct Expect {
        double x, yc, h, labelY;
    };
    const std::vector<std::pair<int, std::vector<Expect>>> cases = {
        {0, {{3200, 1866, 750, 2950}}},
        {2, {{1300, 1693, 600, 2950}, {3700, 1693, 600, 2950}, {6100, 1693, 600, 2950}}},
        {8,
         {{1100, 2777, 500, 1750},
          {2400, 2777, 500, 1750},
          {3700, 2777, 500, 1750},
          {5000, 2777, 500, 1750},
          {6300, 2777, 500, 1750},
          {1100, 977, 500, 3550},
          {2400, 977, 500, 3550},
          {3700, 977, 500, 3550},
          {5000, 977, 500, 3550}}}};
    for (const auto& [last, expect] : cases) {
        SCOPED_TRACE(last);
        const RecordingCanvas canvas = draw(input(0, last));
        const auto currents = shafts(canvas, palette::LightCyan);
        ASSERT_EQ(currents.size(), expect.size());
        for (std::size_t f = 0; f < expect.size(); ++f) {
            const Expect& e = expect[f];
            EXPECT_EQ(currents[f].a, QPointF(e.x, 3750 - e.yc)) << f;
            EXPECT_EQ(currents[f].b, QPointF(e.x + e.h, 3750 - e.yc)) << f;
            const auto label = canvas.texts(QStringLiteral("F-%1").arg(f + 1));
            if (last == 0) {
                EXPECT_TRUE(label.empty());
            } else {
                ASSERT_EQ(label.size(), 1u);
                EXPECT_EQ(label[0].a, QPointF(e.x - 200, e.labelY));
            }
        }
        EXPECT_TRUE(canvas.texts(QStringLiteral("F-%1").arg(expect.size() + 1)).empty());
    }
}

// One feeder of type 0: R-S along +x, the current straight down; tips and head strokes in
// picture coordinates worked out by hand.
TEST(WiringDiagram, ArrowTipsAndHeads)
{
    WiringDiagramInput in = input(0, 0);
    in.inputs[0] = {1234.0, 0.0, 0.0};                     // θ = 0
    in.inputs[2] = {0.0, -80.0, std::atan(-80.0 / 1e-20)}; // θ = -90°
    const RecordingCanvas canvas = draw(in);

    // Centre (3200, 1866); O = (3200 - 1500 / 3, 1866); T0 = O + (1500, 0).
    const auto volts = shafts(canvas, palette::LightGreen);
    ASSERT_EQ(volts.size(), 1u);
    EXPECT_EQ(volts[0].a, QPointF(2700, 1884));
    EXPECT_EQ(volts[0].b, QPointF(4200, 1884));
    auto heads = headsAt(canvas, QPointF(4200, 1884));
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_NEAR(heads[0].b.x(), 4156.12, 0.01);
    EXPECT_NEAR(heads[0].b.y(), 1907.97, 0.01);
    EXPECT_NEAR(heads[1].b.x(), 4156.12, 0.01);
    EXPECT_NEAR(heads[1].b.y(), 1860.03, 0.01);
    EXPECT_EQ(heads[0].colour, PaletteColour(palette::LightGreen));

    const auto amps = shafts(canvas, palette::LightCyan);
    ASSERT_EQ(amps.size(), 1u);
    EXPECT_EQ(amps[0].a, QPointF(3200, 1884));
    EXPECT_EQ(amps[0].b, QPointF(3200, 2634));
    heads = headsAt(canvas, QPointF(3200, 2634));
    ASSERT_EQ(heads.size(), 2u);
    // Both strokes point back up the shaft.
    EXPECT_NEAR(heads[0].b.x(), 3176.03, 0.01);
    EXPECT_NEAR(heads[0].b.y(), 2590.12, 0.01);
    EXPECT_NEAR(heads[1].b.x(), 3223.97, 0.01);
    EXPECT_NEAR(heads[1].b.y(), 2590.12, 0.01);
    EXPECT_EQ(heads[1].style, LineStyle::Solid);

    // An arrow to the left: its head strokes point back to the right.
    const auto left = arrowHeadStrokes(QPointF(100, 0), QPointF(0, 0));
    EXPECT_GT(left[0].p2().x(), 0);
    EXPECT_GT(left[1].p2().x(), 0);
}

TEST(WiringDiagram, PhaseSequenceAngle)
{
    const Fundamental rs = at(0), ahead = at(60), behind = at(-60);
    for (const int type : {2, 4}) {
        EXPECT_DOUBLE_EQ(PhaseSequenceAngle(type, rs.s, rs.c, ahead.s, ahead.c), 1.05);
        EXPECT_DOUBLE_EQ(PhaseSequenceAngle(type, rs.s, rs.c, behind.s, behind.c), 2.09);
    }
    for (const int type : {0, 1, 3})
        EXPECT_DOUBLE_EQ(PhaseSequenceAngle(type, rs.s, rs.c, behind.s, behind.c), 0.0);
}

// Types 2 and 4: the triangle turned by ρ with its centroid at the centre, the third side, the
// third current (dotted shaft, solid head) and the dotted lines from the centre.
TEST(WiringDiagram, ThreePhaseTrianglesAreTurnedByRho)
{
    for (const double rho : {1.05, 2.09}) {
        for (const int type : {2, 4}) {
            SCOPED_TRACE(testing::Message() << "type " << type << " rho " << rho);
            const RecordingCanvas canvas = draw(input(type, 2, rho, -20, 100));
            EXPECT_EQ(shafts(canvas, palette::LightGreen).size(), 3u);
            const CanvasOp v0 = shafts(canvas, palette::LightGreen)[1]; // feeder 2
            const CanvasOp v1 = shafts(canvas, palette::LightRed)[1];
            EXPECT_EQ(v0.a, v1.a); // both from O
            EXPECT_NEAR(angleOf(v0.a, v0.b), std::remainder(rho, 2 * std::numbers::pi), 0.002);
            EXPECT_NEAR(angleOf(v1.a, v1.b),
                        std::remainder(60 * kDegree + rho, 2 * std::numbers::pi), 0.002);
            EXPECT_NEAR(QLineF(v0.a, v0.b).length(), 1200, 1.0);
            // Centroid of O, T0, T1 at the centre (3700, 1693), within the rounding.
            const QPointF centroid = (v0.a + v0.b + v1.b) / 3.0;
            EXPECT_NEAR(centroid.x(), 3700, 1.0);
            EXPECT_NEAR(centroid.y(), 3750 - 1693, 1.0);
            // Third side R-T.
            const auto side = shafts(canvas, palette::Grey);
            ASSERT_EQ(side.size(), 3u);
            EXPECT_EQ(side[1].a, v0.b);
            EXPECT_EQ(side[1].b, v1.b);
            // Currents at their angle plus rho; the third is minus their sum, dotted.
            const CanvasOp ir = shafts(canvas, palette::LightCyan)[1];
            EXPECT_EQ(ir.a, QPointF(3700, 3750 - 1693));
            EXPECT_NEAR(angleOf(ir.a, ir.b),
                        std::remainder(-20 * kDegree + rho, 2 * std::numbers::pi), 0.004);
            const CanvasOp it = shafts(canvas, palette::LightMagenta)[1];
            const auto is = shafts(canvas, palette::Brown, LineStyle::Dotted);
            ASSERT_EQ(is.size(), 6u); // per feeder: the third current and the line to O
            EXPECT_EQ(is[2].a, ir.a);
            EXPECT_EQ(is[2].b, ir.a * 3 - ir.b - it.b);
            EXPECT_EQ(headsAt(canvas, is[2].b).size(), 2u);
            EXPECT_EQ(headsAt(canvas, is[2].b)[0].style, LineStyle::Solid);
            EXPECT_EQ(is[3].b, v0.a);
            const auto toR = shafts(canvas, palette::LightCyan, LineStyle::Dotted);
            ASSERT_EQ(toR.size(), 3u);
            EXPECT_EQ(toR[1].b, v0.b);
            EXPECT_EQ(shafts(canvas, palette::LightMagenta, LineStyle::Dotted)[1].b, v1.b);
        }
    }
    // Type 0 has a single voltage and current and nothing of the three-phase drawing.
    const RecordingCanvas single = draw(input(0, 0));
    EXPECT_TRUE(shafts(single, palette::LightRed).empty());
    EXPECT_TRUE(shafts(single, palette::Grey).empty());
    EXPECT_TRUE(shafts(single, palette::Brown, LineStyle::Dotted).empty());
}

// Inputs without signal (zero sums) or with sums that are not numbers: everything else is still
// drawn, nothing is NaN, and a zero vector gets no stray arrow head.
TEST(WiringDiagram, ZeroVectorsAreDrawnAsFarAsTheyCanBe)
{
    WiringDiagramInput in = input(2, 2, 1.05);
    in.inputs[1] = {}; // T-S missing
    in.inputs[4] = {}; // feeder 2 R current missing
    in.inputs[5] = {}; // feeder 2 T current missing
    const double nan = std::numeric_limits<double>::quiet_NaN();
    in.inputs[7] = {nan, nan, nan}; // feeder 3 T current garbled
    const RecordingCanvas canvas = draw(in);
    EXPECT_FALSE(canvas.hasNonFinite());
    // R-S of every feeder still drawn, at its full share (T-S is zero: 2 × size).
    const auto volts = shafts(canvas, palette::LightGreen);
    ASSERT_EQ(volts.size(), 3u);
    EXPECT_NEAR(QLineF(volts[0].a, volts[0].b).length(), 2400, 1.0);
    EXPECT_TRUE(shafts(canvas, palette::LightRed).empty());
    // Feeder 1 has both currents, feeder 2 none, feeder 3 only R.
    EXPECT_EQ(shafts(canvas, palette::LightCyan).size(), 2u);
    EXPECT_EQ(shafts(canvas, palette::LightMagenta).size(), 1u);
    const QPointF centre2(3700, 3750 - 1693);
    EXPECT_TRUE(headsAt(canvas, centre2).empty());
    // Every line drawn at all is either a shaft or a 50-long head stroke, never a lone head.
    for (const CanvasOp& op : canvas.ofKind(CanvasOp::Line))
        EXPECT_GT(QLineF(op.a, op.b).length(), 0.0);

    // The inputs label shows zeros, not "NaN".
    MeasurementSettings s;
    std::array<double, 20> rms{};
    rms[0] = nan;
    rms[2] = 1.5;
    const QString text = PreparationInputText(s, rms);
    EXPECT_TRUE(text.startsWith(QStringLiteral("入力電圧,Vr-s= 0.0V ,Vt-s= 0.0V\r")))
        << qPrintable(text);
    EXPECT_TRUE(text.contains(QStringLiteral("入力電流,I1r= 15.0A ,I1t= 0.0A\r")))
        << qPrintable(text);
}

} // namespace
} // namespace hs
