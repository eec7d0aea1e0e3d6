#pragma once

#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace hs {

class Canvas;
struct MeasurementData;

// The graph view of the measurement screen: four framed charts in logical 640 x 360
// coordinates, the voltage distortion ratio by order (orders 2..49), the high-order voltage
// distortion ratio (orders 50..99), and for the feeder shown the current distortion ratio and
// the phase angle of the power by order (orders 1..49).

inline const QString kVoltRatioTitle = QStringLiteral("電圧歪み率(%)");
inline const QString kHighOrderTitle = QStringLiteral("高次電圧歪み率(%)");
inline const QString kCurRatioTitle = QStringLiteral("電流歪み率(%)");
inline const QString kPhaseAngleTitle = QStringLiteral("位　相　角(ﾟ)");

// Chart frames are 250 wide and 130 high; a bar of order k stands at x0 + 5k.
inline constexpr double kChartWidth = 250;
inline constexpr double kChartHeight = 130;

// The full scale of a chart and the distance of its scale lines, in percent.
struct ChartScale {
    double full = 5;
    double step = 1;
};

// Scale of the ratio charts: below 5 %, 5 in steps of 1; otherwise the maximum rounded to a
// whole number (halves to even) decides: the next multiple of 10 above it, in steps of 2 when
// that is 10, else 10 (4.9 -> 5/1, 5 -> 10/2, 9.6 -> 20/10, 23 -> 30/10).
ChartScale RatioChartScale(double max);
// Scale of the high-order chart: as the ratio charts from 5 % on, and finer below: 5/1 below 5,
// 1/0.2 below 1, 0.5/0.1 below 0.5, 0.2/0.05 below 0.2, 0.1/0.02 below 0.1, 0.05/0.01 below
// 0.05.
ChartScale HighOrderChartScale(double max);

// The values that get a scale line and number: 0, step, 2 step, ... up to the full scale. A
// scale of more than 50 steps (only an absurd maximum gives one) keeps every 2nd, 5th, 10th,
// 20th ... line, so that the lines stay apart and the drawing stays short.
std::vector<double> ScaleMarks(const ChartScale& scale);

// A number as the charts write it: the shortest decimal form, a blank in front when it is not
// negative, no zero before the point (" .2", " 5", "-90").
QString ChartNumberText(double value);

// The height of a ratio bar, whole (-130 x value / full): negative is upwards. Clipped to the
// frame (a value above the full scale ends at the top, a negative one gives no bar); nullopt
// for a value that is not a number.
std::optional<double> RatioBarHeight(double value, double full);

// A phase bar of an angle in whole degrees: from the 0 degree line (y 275) up for positive
// angles, down for negative ones, 130 units for 360 degrees, clipped to the frame (+-180).
struct PhaseBarExtent {
    double top = 275;
    double height = 0;
};
PhaseBarExtent PhaseBar(int degrees);

// Whether the current and phase charts of feeder ch are drawn: the total harmonic content of
// the feeder's current is at most 5 times its fundamental.
bool ShowsCurrentCharts(const MeasurementData& data, int ch);

// A ratio chart whose frame has its bottom left corner at (x0, y0): title, frame, scale lines
// and numbers, bars of orders 2..49 (odd orders blue and 4 wide, even ones light red and 2
// wide) and the labels of orders 5, 11, ..., 47. The current colour is used for the title,
// frame and scale numbers.
void DrawRatioChart(Canvas& canvas, double x0, double y0, const QString& title, double max,
                    const std::function<double(int)>& ratio);
// The high-order voltage chart (orders 50..99) in the lower left quarter.
void DrawHighOrderChart(Canvas& canvas, const MeasurementData& data);
// The phase angle chart of feeder ch (orders 1..49) in the lower right quarter.
void DrawPhaseChart(Canvas& canvas, const MeasurementData& data, int ch);

// The whole graph view for feeder ch (0-based).
void DrawGraphView(Canvas& canvas, const MeasurementData& data, int ch);

} // namespace hs
