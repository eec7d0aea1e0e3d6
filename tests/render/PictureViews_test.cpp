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
    EXPECT_EQ(panels[5].base, 270);
    EXPECT_EQ(panels[5].labelY, 160);
    EXPECT_EQ(WaveformPanels(0, 0).size(), 2u);
    EXPECT_EQ(WaveformPanels(1, 0).size(), 4u);
    EXPECT_EQ(WaveformScale(2.0), 128.0 / 1000.0);
    EXPECT_EQ(WaveformScale(0.0), std::nullopt);
    EXPECT_EQ(WaveformScale(std::numeric_limits<double>::quiet_NaN()), std::nullopt);
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
    EXPECT_EQ(points[0].a, QPointF(10, 120));
    EXPECT_EQ(canvas.ofKind(CanvasOp::Line).size(), 6u * 512);

    // The current of phase 3 (channel 11: 1200 counts peak) at a quarter cycle, scale
    // 128 / (500 x 0.5).
    const auto lines = canvas.ofKind(CanvasOp::Line);
    const CanvasOp& quarter = lines[5 * 512 + 127]; // segment ending at sample 128
    EXPECT_DOUBLE_EQ(quarter.b.x(), 430 + 200.0 * 128 / 512);
    EXPECT_NEAR(quarter.b.y(), 270 - 1200 * 128.0 / 250.0, 1e-9);
    EXPECT_EQ(quarter.colour, PaletteColour(palette::Black));
    // Voltage phase 2 (channel 1: 200 counts), range of input 0.
    const CanvasOp& voltage = lines[2 * 512 + 127];
    EXPECT_NEAR(voltage.b.y(), 120 - 200 * 128.0 / 500.0, 1e-9);
    // The last segment ends at the panel's right edge.
    EXPECT_DOUBLE_EQ(lines[512 - 1].b.x(), 210);
}

TEST(Waveforms, OnePhaseAndTwoPhaseTypes)
{
    WaveShot single(0, 256);
    single.fillChannels();
    RecordingCanvas one;
    DrawPictureView(one, 6, single.settings, single.data, 1);
    EXPECT_EQ(textsOf(one), std::vector<QString>({"V1", "I1"}));
    EXPECT_EQ(one.ofKind(CanvasOp::Line).size(), 2u * 256);
    // Feeder 2's first current is channel 6 (700 counts peak) at a quarter of 256 samples.
    EXPECT_NEAR(one.ofKind(CanvasOp::Line)[256 + 63].b.y(), 270 - 700 * 128.0 / 500.0, 1e-9);

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
    const double scale = 128.0 / 500.0;
    for (int i = 1; i <= n; ++i) {
        const CanvasOp& op = lines[std::size_t(i - 1)];
        ASSERT_EQ(op.colour, PaletteColour(palette::LightRed));
        const double expected = 120 - 50 * std::sin(3 * 6.28318 * i / n) * scale;
        ASSERT_NEAR(op.b.y(), expected, 0.5 * scale + 1e-9) << i;
    }
    // The current's fundamental is gone: only rounding remains.
    for (int i = 1; i <= n; ++i)
        ASSERT_NEAR(lines[std::size_t(n + i - 1)].b.y(), 270, 0.5 * scale + 1e-9) << i;

    RecordingCanvas both;
    DrawPictureView(both, 8, shot.settings, shot.data, 0);
    EXPECT_EQ(both.ofKind(CanvasOp::Point).size(), 12u);
    EXPECT_EQ(both.ofKind(CanvasOp::Line)[0].colour, PaletteColour(palette::Black));
    EXPECT_EQ(both.ofKind(CanvasOp::Line).back().colour, PaletteColour(palette::LightRed));
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
    EXPECT_EQ(canvas.ofKind(CanvasOp::Text).size(), 12u);

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
        EXPECT_TRUE(empty.ofKind(CanvasOp::Line).empty());
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
