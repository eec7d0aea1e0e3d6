#pragma once

#include <QString>

#include <optional>
#include <vector>

namespace hs {

class Canvas;
struct MeasurementData;
struct MeasurementSettings;

// The waveform views of the measurement screen: one analysed cycle of every voltage phase
// (top row) and of the same phase's current of the feeder shown (bottom row), one panel 200
// wide per phase, as sampled and with the fundamental removed.

// One panel: phase i (0-based) of the voltage or of the current of feeder ch.
struct WaveformPanel {
    QString label;      // "V1", "I1", "V2", ...
    double left = 0;    // 10 + 210 i
    double base = 0;    // zero line: 120 for the voltages, 270 for the currents
    double labelY = 0;  // 10 or 160
    int channel = 0;    // WaveData channel: i, or 3 ch + 3 + i
    int rangeInput = 0; // logical input whose range scales it: 0, or 2 ch + 2
    bool current = false;
    int phase = 0;
};
inline constexpr double kWaveformPanelWidth = 200;

// The panels in drawing order: for each voltage phase 0..voltageLast the voltage, then the
// current of feeder ch.
std::vector<WaveformPanel> WaveformPanels(int voltageLast, int ch);

// Units of height per count for an input range (volts per division): 128 / (500 x range);
// nullopt for a range that is not a positive finite number (the input was never set up).
std::optional<double> WaveformScale(double range);

// The input waveforms: each panel's samples 0..SampleCount from its base line, in black.
void DrawInputWaveforms(Canvas& canvas, const MeasurementSettings& settings,
                        const MeasurementData& data, int ch);
// The distortion waveforms: the same panels with the fundamental (the raw fundamental sine and
// cosine parts of the analysis) taken from every sample, drawn in light red.
void DrawDistortionWaveforms(Canvas& canvas, const MeasurementSettings& settings,
                             const MeasurementData& data, int ch);

} // namespace hs
