#pragma once

#include <QString>

#include <optional>
#include <vector>

namespace hs {

class Canvas;
struct MeasurementData;
struct MeasurementSettings;

// The waveform views of the measurement screen: one analysed cycle of every voltage phase
// (top row) and of the same phase's current of the feeder shown (bottom row), one framed panel
// 200 wide per phase, as sampled and with the fundamental removed.
//
// A panel's frame holds its input's full scale (+-1600 counts); the panels of a row share the
// scale of the input with the largest full scale, so a trace is as tall as its signal. The frame
// has four divisions either side of the zero line; what one division is worth, in volts or
// amperes at the transformer's primary, is written above the panel ("2kV/div"). The distortion
// trace is magnified by the 1-2-5 factor that brings its peak nearest to the frame without
// leaving it, written in light red with its own value per division ("歪み×50 50V/div").

// One panel: phase i (0-based) of the voltage or of the current of feeder ch.
struct WaveformPanel {
    QString label;      // "V1", "I1", "V2", ...
    double left = 0;    // 10 + 210 i
    double base = 0;    // zero line: 104 for the voltages, 284 for the currents
    double labelY = 0;  // middle of the panel's first text line: 8 or 188
    int channel = 0;    // WaveData channel: i, or 3 ch + 3 + i
    int rangeInput = 0; // logical input whose range it was taken on: 0, or 2 ch + 2
    bool current = false;
    int phase = 0;
};
inline constexpr double kWaveformPanelWidth = 200;
// The frame reaches this far above and below the zero line, in four divisions each way.
inline constexpr double kWaveformHalfHeight = 70;
inline constexpr int kWaveformDivisions = 4;
// An input's full scale in counts: the range adjustment takes the next range up as soon as a
// peak passes it. A sample beyond it (only a shot that overflows the range has one) ends at
// the frame.
inline constexpr double kFullScaleCounts = 1600;
// The distance of a panel's second text line (the distortion's) below its first.
inline constexpr double kWaveformLineHeight = 14;

// The panels in drawing order: for each voltage phase 0..voltageLast the voltage, then the
// current of feeder ch.
std::vector<WaveformPanel> WaveformPanels(int voltageLast, int ch);

// The smallest of 1, 2, 5, 10, 20, ... times a power of ten that is at least `value`;
// nullopt for a value that is not a positive finite number.
std::optional<double> OneTwoFiveAtLeast(double value);

// How a panel is scaled: units of height per count, and the value of one division when the
// value of a count is known.
struct PanelScale {
    double perCount = kWaveformHalfHeight / kFullScaleCounts;
    std::optional<double> perDivision;
};
// The scale of a panel in a row whose largest count is worth rowValuePerCount volts or amperes
// and whose own count is worth ownValuePerCount: that full scale (+-1600 of the largest counts)
// rounded up to four divisions of a 1-2-5 value fills the half height. With either value
// unknown, 1600 counts fill it and no division value is given.
PanelScale InputPanelScale(std::optional<double> rowValuePerCount,
                           std::optional<double> ownValuePerCount);

// The largest 1-2-5 magnification, 1 to 100, at which a trace of the given peak (in counts)
// stays inside a panel of scale perCount.
double DistortionMagnification(double peakCounts, double perCount);

// The value of a division as written in a panel: three significant digits at most, with k or m
// where that reads better ("2kV/div", "500V/div", "0.5A/div", "20mA/div").
QString PerDivisionText(double value, const QString& unit);

// The value of one count of a panel's channel: the analysis' true RMS value of its samples (in
// volts or amperes at the transformer's primary) over their RMS in counts; nullopt before an
// analysis or without a signal.
std::optional<double> WaveformValuePerCount(const MeasurementSettings& settings,
                                            const MeasurementData& data,
                                            const WaveformPanel& panel, int ch);
// The largest value of a count among the inputs a row shows, the voltage phases or the current
// phases of every feeder: the row's scale is made from it, so that the input with the largest
// full scale still fits, the current panels keep their scale when the operator switches
// feeders, and a larger current is drawn taller than a smaller one whatever their ranges.
std::optional<double> WaveformRowValuePerCount(const MeasurementSettings& settings,
                                               const MeasurementData& data, bool current);

// The input waveforms: each panel's frame, divisions and value per division, and its samples
// 0..SampleCount from the zero line, in black.
void DrawInputWaveforms(Canvas& canvas, const MeasurementSettings& settings,
                        const MeasurementData& data, int ch);
// The distortion waveforms: the same panels with the fundamental (the raw fundamental sine and
// cosine parts of the analysis) taken from every sample, magnified, drawn in light red with the
// magnification and its value per division.
void DrawDistortionWaveforms(Canvas& canvas, const MeasurementSettings& settings,
                             const MeasurementData& data, int ch);

} // namespace hs
