#pragma once

#include "common/Angles.h"

#include <cstdint>

namespace hs {

class EngineObserver;
struct MeasurementData;
struct MeasurementSettings;
struct RecorderFacts;

// Harmonic analysis of one shot and the interval accumulation.
//
// WaveData holds exactly one fundamental period in SampleCount points, so bin k of the transform
// is harmonic order k. Results are stored as floats computed in double; the constants below are
// part of what the result files carry and must not be "improved".

// Status of the analysis operations.
enum AnalysisStatus : int {
    AnalysisOk = 0,
    // The arrays are not sized for the settings (sample count, feeders, orders), or the settings
    // themselves are out of range. Nothing was computed.
    AnalysisNotSized = 1,
    // A derived channel does not fit a 16-bit integer (cannot happen with 12-bit samples). The
    // channels of the offending sample are left as they were.
    AnalysisOverflow = 2,
    // A result is not a finite number (infinite scale factor, absurd input). The measurement
    // must not go on with it.
    AnalysisInvalidResult = 3,
};

// Fills BitReverse, TwiddleCos and TwiddleSin for SampleCount (a power of two, 2..16384, with
// SampleCountLog2 its logarithm); the arrays must have been sized for it. Returns AnalysisOk or
// AnalysisNotSized.
int BuildTransformTables(MeasurementData& data, const MeasurementSettings& settings);

// Radix-2 decimation-in-time transform of analysis channel `channel` of WaveData into FftReal and
// FftImag (re-sized and zeroed here, FftChannel set): X(k) = (1/N) Σ x(n)·e^(−j2πkn/N), sample N
// of WaveData unused. Requires the tables of BuildTransformTables. Returns AnalysisOk or
// AnalysisNotSized.
int FourierTransform(MeasurementData& data, const MeasurementSettings& settings, int channel);

// Fills the computed third phase of WaveData for MeasureType 2 (difference of the line voltages;
// sum of the currents, or their difference for a feeder marked as V connection) and 4 (re-based
// phase-to-neutral voltages; S current, or re-basing for a V-connection feeder). Other types:
// nothing. Arithmetic is 16-bit; overflow is detected and reported (AnalysisOverflow), never
// wrapped.
int DeriveChannels(MeasurementData& data, const MeasurementSettings& settings);

// Analyses one shot whose fundamental period spans recorder samples start..end: derives the
// computed channels, transforms every voltage phase and current, and fills every per-shot result
// (components with the R-C complement, fundamental-referred sums in slots 3..5, true RMS,
// magnitudes, powers, superposition angles, ratios, distortion sums and maxima). Reports
// "ＦＦＴ演算中" before the transforms and "各種演算中" before the RMS step, each followed by an
// event pump. Returns an AnalysisStatus; anything but AnalysisOk means the shot's results are
// not usable and the measurement must stop.
int AnalyseShot(MeasurementData& data, const MeasurementSettings& settings,
                const RecorderFacts& facts, int start, int end, EngineObserver& observer);

// Selection state of SaveFormat 2 and 3: the distortion of the shot kept in the interval record,
// the largest met since the last save. The run loop owns one for the whole run. It restarts by
// itself: a call that finds ShotCount at 0 (the result-file writer sets it to 0 at every save)
// keeps the shot whatever its distortion.
struct IntervalSelection {
    float Largest = 0.0f;
};

// Folds the shot into the interval record by SaveFormat and updates ShotCount:
// 1 (and any value but 0, 2, 3): adds over the order set (odd orders 1..49, or 1..256 with the
// 256-order option) and counts the shot; 0: the shot replaces the record (orders 1..K),
// ShotCount 1; 2 and 3: as 0 when VoltHarmRss (2) or the first feeder's CurHarmRss (3) is larger
// than every shot's since the last save (or the interval holds no shot yet), otherwise nothing.
// With SaveFormat 1 a ShotCount of 32767 is not exceeded: further shots are left out, so the
// record stays the average of the shots it counts. Returns AnalysisOk, or AnalysisNotSized
// (nothing changed) when the arrays do not fit the settings.
int AccumulateInterval(MeasurementData& data, const MeasurementSettings& settings,
                       std::int16_t& ShotCount, IntervalSelection& selection);


} // namespace hs
