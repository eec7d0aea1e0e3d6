#include "render/ResultCharts.h"

#include "common/Numbers.h"
#include "render/Canvas.h"
#include "render/ResultValues.h"
#include "model/MeasurementData.h"

#include <algorithm>
#include <cmath>

namespace hs {

namespace {

// A maximum beyond this (a fundamental of almost nothing) is charted as this.
constexpr double kLargestMaximum = 1e9;
// More steps than this thin the scale lines out.
constexpr double kMostSteps = 50;
// A scale number ends this far left of its frame, centred on the height of its line.
constexpr double kScaleNumberGap = 4;

double whole(double value)
{
    return roundHalfEven(value);
}

// The scale from a whole-number rule: the next multiple of 10 above the rounded maximum, in
// steps of 2 when that is 10, else 10.
ChartScale decadeScale(double max)
{
    const double m = whole(max);
    const double full = (std::floor(m / 10.0) + 1.0) * 10.0;
    return {full, full == 10.0 ? 2.0 : 10.0};
}

double boundedMaximum(double max)
{
    if (std::isnan(max))
        return 0.0;
    return std::min(max, kLargestMaximum);
}

bool isOddOrder(int k)
{
    return k % 2 != 0;
}

bool isLabelledOrder(int k)
{
    return (k + 1) % 6 == 0;
}

// The dotted grey line up a labelled order, and its order number below the frame.
void drawOrderMark(Canvas& canvas, double x, double bottom, double labelY, int k)
{
    canvas.setLineStyle(LineStyle::Dotted);
    canvas.line({x, bottom}, {x, bottom - kChartHeight}, GridGrey());
    canvas.setLineStyle(LineStyle::Solid);
    canvas.PrintAt({whole(x - 6), labelY}, plainNumber(k));
}

// Scale lines and numbers of a frame whose bottom left corner is (x0, y0).
void drawScaleLines(Canvas& canvas, double x0, double y0, const ChartScale& scale)
{
    canvas.setLineStyle(LineStyle::Dotted);
    for (const double v : ScaleMarks(scale)) {
        const double y = whole(y0 - kChartHeight * v / scale.full);
        canvas.PrintAt({x0 - kScaleNumberGap, y}, ChartNumberText(v), TextAnchor::RightMiddle);
        canvas.line({x0, y}, {x0 + kChartWidth, y}, GridGrey());
    }
    canvas.setLineStyle(LineStyle::Solid);
}

// A bar of the given half-width at x standing on y0, skipped when the value is not a number.
void drawRatioBar(Canvas& canvas, double x, double y0, double halfWidth, double value, double full)
{
    const std::optional<double> h = RatioBarHeight(value, full);
    if (h)
        canvas.filledBox({x - halfWidth, y0}, {x + halfWidth, y0 + *h});
}

} // namespace

ChartScale RatioChartScale(double max)
{
    max = boundedMaximum(max);
    if (max >= 5.0)
        return decadeScale(max);
    return {5.0, 1.0};
}

ChartScale HighOrderChartScale(double max)
{
    max = boundedMaximum(max);
    ChartScale s = decadeScale(max);
    if (max < 5.0)
        s = {5.0, 1.0};
    if (max < 1.0)
        s = {1.0, 0.2};
    if (max < 0.5)
        s = {0.5, 0.1};
    if (max < 0.2)
        s = {0.2, 0.05};
    if (max < 0.1)
        s = {0.1, 0.02};
    if (max < 0.05)
        s = {0.05, 0.01};
    return s;
}

std::vector<double> ScaleMarks(const ChartScale& scale)
{
    if (!(scale.step > 0) || !(scale.full >= 0) || !std::isfinite(scale.full))
        return {0.0};
    // Steps counted as whole numbers, so that 0.1 + 0.1 + 0.1 never shows as .30000000000000004.
    const double steps = std::floor(scale.full / scale.step + 1e-9);
    double every = 1;
    for (int i = 0; steps / every > kMostSteps; ++i)
        every *= (i % 3 == 1) ? 2.5 : 2.0; // 2, 5, 10, 20, 50, 100, ...
    std::vector<double> marks;
    for (double i = 0; i <= steps; i += every)
        marks.push_back(whole(i * scale.step * 1e6) / 1e6);
    return marks;
}

QString ChartNumberText(double value)
{
    return spacedNumber(value);
}

std::optional<double> RatioBarHeight(double value, double full)
{
    const double h = whole(-kChartHeight * value / full);
    if (std::isnan(h))
        return std::nullopt;
    return std::clamp(h, -kChartHeight, 0.0);
}

PhaseBarExtent PhaseBar(int degrees)
{
    const double half = kChartHeight / 2;
    const double h = std::clamp(whole(degrees / 360.0 * -kChartHeight), -half, half);
    return {h < 0 ? 275 + h : 275.0, std::abs(h)};
}

bool ShowsCurrentCharts(const MeasurementData& data, int ch)
{
    const double total = valueAt(data.CurHarmRss, ch);
    const double fundamental = valueAt(data.CurByOrder, ch, 1);
    return total / (fundamental + 1e-20) <= 5.0;
}

void DrawRatioChart(Canvas& canvas, double x0, double y0, const QString& title, double max,
                    const std::function<double(int)>& ratio)
{
    canvas.PrintAt({whole(x0 + 100), whole(y0 - 147)}, title);
    canvas.box({x0, y0}, {x0 + kChartWidth, y0 - kChartHeight});
    const ChartScale scale = RatioChartScale(max);
    drawScaleLines(canvas, x0, y0, scale);
    for (int k = 2; k <= 49; ++k) {
        const bool odd = isOddOrder(k);
        canvas.setColour(odd ? palette::Blue : palette::LightRed);
        const double x = x0 + 5 * k;
        drawRatioBar(canvas, x, y0, odd ? 2 : 1, ratio(k), scale.full);
        if (isLabelledOrder(k))
            drawOrderMark(canvas, x, y0, whole(y0 + 2), k);
    }
}

void DrawHighOrderChart(Canvas& canvas, const MeasurementData& data)
{
    const double x0 = 50;
    const double y0 = 340;
    canvas.setColour(palette::Black);
    canvas.PrintAt({150, 193}, kHighOrderTitle);
    canvas.box({x0, y0}, {x0 + kChartWidth, y0 - kChartHeight});
    const ChartScale scale = HighOrderChartScale(data.VoltRatioMaxHigh);
    drawScaleLines(canvas, x0, y0, scale);
    for (int k = 50; k <= 99; ++k) {
        const bool odd = isOddOrder(k);
        canvas.setColour(odd ? palette::Blue : palette::LightRed);
        const double x = x0 + 5 * (k - 49);
        drawRatioBar(canvas, x, y0, odd ? 2 : 1, valueAt(data.VoltRatio, k), scale.full);
        if (isLabelledOrder(k)) {
            canvas.setColour(palette::Black);
            drawOrderMark(canvas, x, y0, 342, k);
        }
    }
}

void DrawPhaseChart(Canvas& canvas, const MeasurementData& data, int ch)
{
    const double x0 = 370;
    const double y0 = 340;
    canvas.setColour(palette::Black);
    canvas.PrintAt({470, 193}, kPhaseAngleTitle);
    canvas.box({x0, y0}, {x0 + kChartWidth, y0 - kChartHeight});
    canvas.setLineStyle(LineStyle::Dotted);
    for (int v = 0; v <= 360; v += 90) {
        const double y = whole(y0 - kChartHeight * v / 360.0);
        canvas.PrintAt({x0 - kScaleNumberGap, y}, ChartNumberText(v - 180),
                       TextAnchor::RightMiddle);
        canvas.line({x0, y}, {x0 + kChartWidth, y}, GridGrey());
    }
    canvas.setLineStyle(LineStyle::Solid);
    for (int k = 1; k <= 49; ++k) {
        const int p = static_cast<int>(valueAt(data.PowerAngle, ch, k));
        canvas.setColour(p < -135 || p > 45 ? palette::LightRed : palette::Blue);
        const PhaseBarExtent bar = PhaseBar(p);
        const double w = 2.0 / (7 - 6 * (k % 2));
        const double x = x0 + 5 * k;
        canvas.filledBox({x - w, bar.top}, {x + w, bar.top + bar.height});
        if (isLabelledOrder(k)) {
            canvas.setColour(palette::Black);
            drawOrderMark(canvas, x, y0, 342, k);
        }
    }
}

void DrawGraphView(Canvas& canvas, const MeasurementData& data, int ch)
{
    canvas.setColour(palette::Black);
    DrawRatioChart(canvas, 50, 165, kVoltRatioTitle, data.VoltRatioMax,
                   [&](int k) { return valueAt(data.VoltRatio, k); });
    DrawHighOrderChart(canvas, data);
    if (!ShowsCurrentCharts(data, ch))
        return;
    canvas.setColour(palette::Black);
    DrawRatioChart(canvas, 370, 165, kCurRatioTitle, valueAt(data.CurRatioMax, ch),
                   [&](int k) { return valueAt(data.CurRatio, ch, k); });
    DrawPhaseChart(canvas, data, ch);
}

} // namespace hs
