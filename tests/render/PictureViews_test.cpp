#include "render/PictureViews.h"

#include "render/Canvas.h"
#include "render/ResultCharts.h"
#include "render/Waveforms.h"
#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"

#include <QImage>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace hs {
namespace {

struct WaveShot {
    MeasurementSettings settings;
    MeasurementData data;
    WaveShot(int type, int sampleCount = 512)
    {
        settings.MeasureType() = std::int16_t(type);
        settings.LastFeeder = 2;
        settings.setSampleCount(sampleCount);
        data.sizeForPreparation(settings);
        data.sizeForMeasurement(settings);
        data.InputRange.fill(1.0f);
    }
    // Channel c holds c + 1 counts times a sine of one cycle (every channel distinguishable).
    void fillChannels()
    {
        const int n = settings.SampleCount;
        for (std::size_t c = 0; c < data.WaveData.dim0(); ++c)
            for (int i = 0; i <= n; ++i)
                data.WaveData(c, std::size_t(i)) = static_cast<std::int16_t>(
                    std::lround(100.0 * double(c + 1) * std::sin(6.283185307 * i / n)));
    }
};

std::vector<QString> textsOf(const RecordingCanvas& canvas)
{
    std::vector<QString> out;
    for (const CanvasOp& op : canvas.ofKind(CanvasOp::Text))
        out.push_back(op.text);
    return out;
}

TEST(PictureViews, DispatchesPictureViewsAndLeavesTableViewsAlone)
{
    WaveShot shot(2);
    for (int view = 0; view <= 10; ++view) {
        RecordingCanvas canvas;
        const bool drawn = DrawPictureView(canvas, view, shot.settings, shot.data, 0);
        EXPECT_EQ(drawn, IsPictureView(view)) << view;
        EXPECT_EQ(canvas.ops().empty(), !drawn) << view;
        EXPECT_FALSE(canvas.hasNonFinite()) << view;
    }
    RecordingCanvas graph;
    DrawPictureView(graph, 1, shot.settings, shot.data, 0);
    EXPECT_EQ(graph.texts(kVoltRatioTitle).size(), 1u);
    RecordingCanvas vectors;
    DrawPictureView(vectors, 9, shot.settings, shot.data, 0);
    EXPECT_EQ(vectors.texts(QStringLiteral(" 1次")).size(), 1u);
}

TEST(Waveforms, PanelsFollowTheVoltagePhasesAndTheChosenFeeder)
{
    const auto panels = WaveformPanels(2, 2);
    ASSERT_EQ(panels.size(), 6u);
    EXPECT_EQ(panels[0].label, QStringLiteral("V1"));
    EXPECT_EQ(panels[1].label, QStringLiteral("I1"));
    EXPECT_EQ(panels[5].label, QStringLiteral("I3"));
    // Feeder 3 (channel 2): WaveData channels 9, 10, 11 scaled by the range of input 6.
    EXPECT_EQ(panels[1].channel, 9);
    EXPECT_EQ(panels[3].channel, 10);
    EXPECT_EQ(panels[5].channel, 11);
    EXPECT_EQ(panels[5].rangeInput, 6);
    EXPECT_EQ(panels[4].channel, 2);
    EXPECT_EQ(panels[4].rangeInput, 0);
    EXPECT_EQ(panels[4].left, 430);
    EXPECT_EQ(panels[5].base, 284);
    EXPECT_EQ(panels[5].labelY, 188);
    EXPECT_EQ(WaveformPanels(0, 0).size(), 2u);
    EXPECT_EQ(WaveformPanels(1, 0).size(), 4u);
}

TEST(Waveforms, ScaleRules)
{
    EXPECT_EQ(OneTwoFiveAtLeast(2.0), 2.0);
    EXPECT_EQ(OneTwoFiveAtLeast(2.01), 5.0);
    EXPECT_EQ(OneTwoFiveAtLeast(6), 10.0);
    EXPECT_NEAR(*OneTwoFiveAtLeast(0.013), 0.02, 1e-15);
    EXPECT_EQ(OneTwoFiveAtLeast(0), std::nullopt);
    EXPECT_EQ(OneTwoFiveAtLeast(std::numeric_limits<double>::quiet_NaN()), std::nullopt);
    // 1600 counts of 5 V each: 8 kV full scale, 2 kV per division, 70 units for 8 kV.
    const PanelScale volts = InputPanelScale(5.0, 5.0);
    EXPECT_EQ(volts.perDivision, 2000.0);
    EXPECT_DOUBLE_EQ(volts.perCount, 70.0 / 8000 * 5);
    // A row whose largest count is 0.3 A (480 A, rounded up to 4 x 200 A); a panel of the row
    // whose count is 0.1 A.
    const PanelScale amps = InputPanelScale(0.3, 0.1);
    EXPECT_EQ(amps.perDivision, 200.0);
    EXPECT_DOUBLE_EQ(amps.perCount, 70.0 / 800 * 0.1);
    EXPECT_EQ(InputPanelScale(std::nullopt, 0.1).perDivision, std::nullopt);
    EXPECT_DOUBLE_EQ(InputPanelScale(0.3, std::nullopt).perCount, 70.0 / 1600);
    // A peak of 20 counts at 70 / 1600 per count is 0.875 high: x50 brings it to 43.75, x100
    // would leave the frame.
    EXPECT_EQ(DistortionMagnification(20, 70.0 / 1600), 50);
    EXPECT_EQ(DistortionMagnification(1600, 70.0 / 1600), 1);
    EXPECT_EQ(DistortionMagnification(0, 70.0 / 1600), 1);
    EXPECT_EQ(DistortionMagnification(1e-9, 70.0 / 1600), 100);
    EXPECT_EQ(PerDivisionText(2000, QStringLiteral("V")), QStringLiteral("2kV/div"));
    EXPECT_EQ(PerDivisionText(500, QStringLiteral("A")), QStringLiteral("500A/div"));
    EXPECT_EQ(PerDivisionText(0.5, QStringLiteral("A")), QStringLiteral("0.5A/div"));
    EXPECT_EQ(PerDivisionText(0.02, QStringLiteral("A")), QStringLiteral("20mA/div"));
}

// Feeder f (0-based) carrying a sine of `amps` RMS on all three phases, recorded on a range
// whose count is worth `perCount` amperes; the analysis' RMS values to match.
void feedCurrent(WaveShot& shot, int f, double amps, double perCount)
{
    const int n = shot.settings.SampleCount;
    for (int phase = 0; phase < 3; ++phase) {
        double sum = 0;
        for (int i = 0; i <= n; ++i) {
            const auto c = static_cast<std::int16_t>(std::lround(
                amps * std::sqrt(2.0) / perCount * std::sin(6.283185307 * i / n + phase)));
            shot.data.WaveData(std::size_t(3 * f + 3 + phase), std::size_t(i)) = c;
            if (i < n)
                sum += double(c) * c;
        }
        shot.data.CurRms(std::size_t(f), std::size_t(phase)) =
            static_cast<float>(std::sqrt(sum / n) * perCount);
    }
}

// The height of the trace of panel p (in drawing order V1, I1, V2, ...) of an input view: each
// panel draws its 7 division lines, then its n segments.
double traceHeight(const RecordingCanvas& canvas, int p, int n)
{
    const auto lines = canvas.ofKind(CanvasOp::Line);
    const std::size_t first = std::size_t(p * (7 + n) + 7);
    double top = 1e9, bottom = -1e9;
    for (std::size_t k = first; k < first + std::size_t(n) && k < lines.size(); ++k) {
        top = std::min(top, lines[k].b.y());
        bottom = std::max(bottom, lines[k].b.y());
    }
    return bottom - top;
}

// A 200 A feeder on a range 2.5 times coarser than a 100 A feeder's is drawn taller, both in
// their frames; each panel says what a division is worth.
TEST(Waveforms, ALargerCurrentIsDrawnTallerWhateverItsRange)
{
    WaveShot shot(2);
    feedCurrent(shot, 0, 200, 0.5);
    feedCurrent(shot, 2, 100, 0.2);
    RecordingCanvas feeder1, feeder3;
    DrawPictureView(feeder1, 6, shot.settings, shot.data, 0);
    DrawPictureView(feeder3, 6, shot.settings, shot.data, 2);
    const double tall = traceHeight(feeder1, 1, 512);
    const double small = traceHeight(feeder3, 1, 512);
    EXPECT_NEAR(tall / small, 2.0, 0.05);
    EXPECT_LE(tall, 2 * kWaveformHalfHeight);
    // The coarser range's full scale (1600 x 0.5 A = 800 A) fits: 4 divisions of 200 A.
    EXPECT_EQ(feeder3.texts(QStringLiteral("200A/div")).size(), 3u);
    EXPECT_EQ(feeder1.texts(QStringLiteral("200A/div")).size(), 3u);
    EXPECT_LE(traceHeight(feeder1, 3, 512), 2 * kWaveformHalfHeight);
}

TEST(Waveforms, ThreePhasesOfFeederThreeAsSampled)
{
    WaveShot shot(2);
    shot.fillChannels();
    shot.data.InputRange[6] = 0.5f;
    shot.data.InputRange[2] = 50.0f; // feeder 1's range: must not be used
    RecordingCanvas canvas;
    DrawPictureView(canvas, 6, shot.settings, shot.data, 2);
    EXPECT_FALSE(canvas.hasNonFinite());
    EXPECT_EQ(textsOf(canvas), std::vector<QString>({"V1", "I1", "V2", "I2", "V3", "I3"}));
    const auto points = canvas.ofKind(CanvasOp::Point);
    ASSERT_EQ(points.size(), 6u);
    EXPECT_EQ(points[0].a, QPointF(10, 104));
    EXPECT_EQ(canvas.ofKind(CanvasOp::Line).size(), 6u * (7 + 512));
    EXPECT_EQ(canvas.ofKind(CanvasOp::Box).size(), 6u);

    // Before an analysis the value of a count is unknown: 1600 counts fill the half height.
    // The current of phase 3 (channel 11: 1200 counts peak) at a quarter cycle.
    const auto lines = canvas.ofKind(CanvasOp::Line);
    const CanvasOp& quarter = lines[5 * 519 + 7 + 127]; // segment ending at sample 128
    EXPECT_DOUBLE_EQ(quarter.b.x(), 430 + 200.0 * 128 / 512);
    EXPECT_NEAR(quarter.b.y(), 284 - 1200 * 70.0 / 1600, 1e-9);
    EXPECT_EQ(quarter.colour, PaletteColour(palette::Black));
    // Voltage phase 2 (channel 1: 200 counts).
    const CanvasOp& voltage = lines[2 * 519 + 7 + 127];
    EXPECT_NEAR(voltage.b.y(), 104 - 200 * 70.0 / 1600, 1e-9);
    // The last segment ends at the panel's right edge.
    EXPECT_DOUBLE_EQ(lines[7 + 512 - 1].b.x(), 210);
}

TEST(Waveforms, OnePhaseAndTwoPhaseTypes)
{
    WaveShot single(0, 256);
    single.fillChannels();
    RecordingCanvas one;
    DrawPictureView(one, 6, single.settings, single.data, 1);
    EXPECT_EQ(textsOf(one), std::vector<QString>({"V1", "I1"}));
    EXPECT_EQ(one.ofKind(CanvasOp::Line).size(), 2u * (7 + 256));
    // Feeder 2's first current is channel 6 (700 counts peak) at a quarter of 256 samples.
    EXPECT_NEAR(one.ofKind(CanvasOp::Line)[263 + 7 + 63].b.y(), 284 - 700 * 70.0 / 1600, 1e-9);

    WaveShot twoPhase(1);
    RecordingCanvas two;
    DrawPictureView(two, 6, twoPhase.settings, twoPhase.data, 0);
    EXPECT_EQ(textsOf(two), std::vector<QString>({"V1", "I1", "V2", "I2"}));
}

TEST(Waveforms, DistortionTakesTheFundamentalAwayInLightRed)
{
    WaveShot shot(2);
    const int n = 512;
    // Voltage phase 1: fundamental 1000 sin + 300 cos, and a third harmonic of 50.
    for (int i = 0; i <= n; ++i) {
        const double t = 6.28318 * i / n;
        shot.data.WaveData(0, std::size_t(i)) = static_cast<std::int16_t>(
            std::lround(1000 * std::sin(t) + 300 * std::cos(t) + 50 * std::sin(3 * t)));
        shot.data.WaveData(3, std::size_t(i)) =
            static_cast<std::int16_t>(std::lround(400 * std::sin(t)));
    }
    shot.data.VoltFundRawSin[0] = 1000;
    shot.data.VoltFundRawCos[0] = 300;
    shot.data.CurFundRawSin(0, 0) = 400;
    RecordingCanvas canvas;
    DrawPictureView(canvas, 7, shot.settings, shot.data, 0);
    EXPECT_FALSE(canvas.hasNonFinite());
    const auto points = canvas.ofKind(CanvasOp::Point);
    ASSERT_EQ(points.size(), 6u);
    EXPECT_EQ(points[0].colour, PaletteColour(palette::Black));
    const auto lines = canvas.ofKind(CanvasOp::Line);
    // The third harmonic (50 counts) magnified 20 times: 20 x 50 x 70 / 1600 = 43.75 high.
    ASSERT_EQ(canvas.texts(QStringLiteral("歪み×20")).size(), 1u);
    const double scale = 20 * 70.0 / 1600;
    for (int i = 1; i <= n; ++i) {
        const CanvasOp& op = lines[std::size_t(7 + i - 1)];
        ASSERT_EQ(op.colour, PaletteColour(palette::LightRed));
        const double expected = 104 - 50 * std::sin(3 * 6.28318 * i / n) * scale;
        ASSERT_NEAR(op.b.y(), expected, 0.5 * scale + 1e-9) << i;
    }
    // The current's fundamental is gone: only rounding remains, magnified no more than 100
    // times.
    ASSERT_EQ(canvas.texts(QStringLiteral("歪み×100")).size(), 1u);
    for (int i = 1; i <= n; ++i)
        ASSERT_NEAR(lines[std::size_t(n + 14 + i - 1)].b.y(), 284, 0.5 * 100 * 70.0 / 1600 + 1e-9)
            << i;

    RecordingCanvas both;
    DrawPictureView(both, 8, shot.settings, shot.data, 0);
    EXPECT_EQ(both.ofKind(CanvasOp::Point).size(), 12u);
    EXPECT_EQ(both.ofKind(CanvasOp::Line)[7].colour, PaletteColour(palette::Black));
    EXPECT_EQ(both.ofKind(CanvasOp::Line).back().colour, PaletteColour(palette::LightRed));
}

// A 2 % fifth harmonic on a voltage of 700 counts peak: the distortion trace nearly fills its
// frame, and the panel says by how much it is magnified and what a division then is worth.
TEST(Waveforms, SmallDistortionIsMagnifiedToItsPanel)
{
    WaveShot shot(2);
    const int n = 512;
    double sum = 0;
    for (int i = 0; i <= n; ++i) {
        const double t = 6.28318 * i / n;
        const auto c =
            static_cast<std::int16_t>(std::lround(700 * std::sin(t) + 14 * std::sin(5 * t)));
        shot.data.WaveData(0, std::size_t(i)) = c;
        if (i < n)
            sum += double(c) * c;
    }
    shot.data.VoltFundRawSin[0] = 700;
    shot.data.VoltRms[0] = static_cast<float>(std::sqrt(sum / n) * 10); // 10 V a count
    RecordingCanvas canvas;
    DrawPictureView(canvas, 7, shot.settings, shot.data, 0);
    double reach = 0;
    const auto lines = canvas.ofKind(CanvasOp::Line);
    for (std::size_t k = 7; k < 7 + std::size_t(n); ++k)
        reach = std::max(reach, std::abs(lines[k].b.y() - 104));
    EXPECT_GT(reach, 0.4 * kWaveformHalfHeight);
    EXPECT_LE(reach, kWaveformHalfHeight);
    // 1600 x 10 V = 16 kV: 4 divisions of 5 kV; the 14 counts of the harmonic magnified 100
    // times reach 49 of the 70 units.
    EXPECT_EQ(canvas.texts(QStringLiteral("歪み×100 50V/div")).size(), 1u);
}

// An input whose range was never read (0) or a feeder the data has no channel for leaves its
// trace out; the other panels are drawn and no coordinate is infinite or not a number.
TEST(Waveforms, MissingRangeOrChannelLeavesOnlyThatTraceOut)
{
    WaveShot shot(2);
    shot.fillChannels();
    shot.data.InputRange[2] = 0.0f;
    RecordingCanvas canvas;
    DrawPictureView(canvas, 8, shot.settings, shot.data, 0);
    EXPECT_FALSE(canvas.hasNonFinite());
    EXPECT_EQ(canvas.ofKind(CanvasOp::Point).size(), 2u * 3); // the three voltages, twice
    EXPECT_EQ(canvas.ofKind(CanvasOp::Text).size(), 12u + 3); // labels, the voltages' 歪み×

    RecordingCanvas missing;
    DrawPictureView(missing, 6, shot.settings, shot.data, 7); // only 3 feeders
    EXPECT_FALSE(missing.hasNonFinite());
    EXPECT_EQ(missing.ofKind(CanvasOp::Point).size(), 3u);

    MeasurementSettings settings;
    MeasurementData unsized;
    for (int view : {6, 7, 8}) {
        RecordingCanvas empty;
        DrawPictureView(empty, view, settings, unsized, 0);
        EXPECT_FALSE(empty.hasNonFinite());
        EXPECT_TRUE(empty.ofKind(CanvasOp::Point).empty()); // frames only, no trace
    }
}

// The painter puts the bars where the recording says, at any picture size.
TEST(PictureViews, RenderedGraphHasItsBarsWhereTheRecordingSays)
{
    WaveShot shot(2);
    auto& d = shot.data;
    d.VoltRatioMax = 4;
    d.VoltRatio[3] = 1;
    d.VoltRatio[5] = 4;
    d.VoltRatio[6] = 2;
    d.VoltRatio[60] = 0.08f;
    d.VoltRatioMaxHigh = 0.08f;
    d.CurByOrder(1, 1) = 100;
    d.CurHarmRss[1] = 5;
    d.CurRatioMax[1] = 8;
    d.CurRatio(1, 7) = 8;
    d.PowerAngle(1, 1) = -20;
    d.PowerAngle(1, 5) = 170;

    RecordingCanvas recording;
    DrawPictureView(recording, 1, shot.settings, d, 1);
    for (const QSize size : {QSize(1280, 720), QSize(1024, 768)}) {
        SCOPED_TRACE(size.width());
        const double sx = size.width() / 640.0;
        const double sy = size.height() / 360.0;
        const QImage image =
            RenderToImage(QSizeF(640, 360), size.width(), size.height(), [&](Canvas& canvas) {
                canvas.clear();
                DrawPictureView(canvas, 1, shot.settings, d, 1);
            });
        int checked = 0;
        for (const CanvasOp& bar : recording.ofKind(CanvasOp::FilledBox)) {
            const QRectF r = QRectF(bar.a, bar.b).normalized();
            if (r.height() < 4 || r.width() < 2)
                continue; // empty bars and the thin even phase bars
            // Inside the bar, away from its edges and from the dotted line up its middle.
            const QPoint inside(int((r.left() + r.width() * 0.75) * sx),
                                int((r.top() + r.height() / 2) * sy));
            EXPECT_EQ(image.pixelColor(inside), bar.colour) << r.left() << "," << r.top();
            // Just above the bar: no bar colour.
            const QPoint above(inside.x(), int((r.top() - 1.5) * sy));
            EXPECT_NE(image.pixelColor(above), bar.colour) << r.left() << "," << r.top();
            ++checked;
        }
        EXPECT_EQ(checked, 7); // orders 3, 5, 6, 60, current 7, phases of orders 1 and 5
    }
}

} // namespace
} // namespace hs
