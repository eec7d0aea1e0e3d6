#pragma once

#include "common/Arrays.h"

#include <array>
#include <cstdint>
#include <vector>

namespace hs {

struct MeasurementSettings;
struct RecorderFacts;

// Every waveform, spectrum and result of a measurement. Shapes follow the settings at the two
// sizing points; multi-dimensional arrays store the first index fastest.
struct MeasurementData {
    // Derived counts, set when the measurement screen loads.
    std::int16_t VoltageLast = 0;
    std::int16_t ElementLast = 0;

    // Range of each logical input 0..20, volts per division.
    std::array<float, 21> InputRange{};
    // Largest absolute count of each logical input in the last download.
    std::array<std::int16_t, 21> InputPeak{};
    // Divisor f of each logical input's display magnification 1/f (1 for x1, 4 after the
    // quarter setting), read with the ranges and changed by range adjustment.
    std::array<float, 21> InputDivisor{};
    // Consecutive small shots of each input pair 0..9 (inputs 2p, 2p+1); kept for the run.
    std::array<std::int16_t, 10> RangeDownCount{};

    // Sized before a run (preparation): N = SampleCount, L = LastFeeder.
    Array2<std::int16_t> WaveData;            // [channel 0..3L+5][sample 0..N]
    std::vector<std::int16_t> SamplePosition; // [0..N+1]
    std::vector<std::int16_t> BitReverse;     // [0..N]
    std::vector<float> TwiddleCos;            // [0..N/2]
    std::vector<float> TwiddleSin;            // [0..N/2]
    std::vector<float> FftReal;               // [0..N]
    std::vector<float> FftImag;               // [0..N]

    // Sized when the measurement screen loads: K = MaxHarmonicOrder.
    Array2<float> VoltCos, VoltSin;              // [slot 0..5][order 0..K]
    Array3<float> CurCos, CurSin;                // [feeder 0..L][slot 0..5][order 0..K]
    Array2<float> VoltMag;                       // [order 0..K][phase 0..2]
    Array3<float> CurMag;                        // [feeder 0..L][order 0..K][phase 0..2]
    Array2<float> CurFundRawCos, CurFundRawSin;  // [feeder 0..L][phase 0..2]
    std::vector<float> VoltByOrder;              // [order 0..K]
    Array2<float> CurByOrder;                    // [feeder 0..L][order 0..K]
    Array2<float> ActivePower, ReactivePower;    // [feeder 0..L][order 0..K]
    Array2<std::int16_t> PowerAngle;             // [feeder 0..L][order 0..K]
    std::vector<float> VoltSuperRe, VoltSuperIm; // [order 0..K]
    std::vector<std::int16_t> VoltSuperAngle;    // [order 0..K]
    Array2<float> CurSuperRe, CurSuperIm;        // [feeder 0..L][order 0..K]
    Array2<std::int16_t> CurSuperAngle;          // [feeder 0..L][order 0..K]
    std::vector<float> VoltRatio;                // [order 0..K]
    Array2<float> CurRatio;                      // [feeder 0..L][order 0..K]
    Array2<float> PowerRatio;                    // [feeder 0..L][order 0..K]

    // The interval record.
    std::vector<float> IntVoltByOrder;                 // [order 0..K]
    Array2<float> IntCurByOrder;                       // [feeder 0..L][order 0..K]
    Array2<float> IntActivePower, IntReactivePower;    // [feeder 0..L][order 0..K]
    std::vector<float> IntVoltSuperRe, IntVoltSuperIm; // [order 0..K]
    Array2<float> IntCurSuperRe, IntCurSuperIm;        // [feeder 0..L][order 0..K]
    std::array<float, 3> IntVoltRms{};
    Array2<float> IntCurRms{9, 3}; // [feeder 0..8][phase 0..2]
    std::int16_t ShotCount = 0;

    // Fixed-size per-shot values.
    std::array<float, 3> VoltFundRawCos{}, VoltFundRawSin{};
    std::array<float, 3> VoltPhase1{};
    std::array<float, 3> VoltRms{};
    Array2<float> CurRms{9, 3}; // [feeder 0..8][phase 0..2]
    float VoltHarmRss = 0;
    std::array<float, 9> CurHarmRss{};
    std::array<float, 3> VoltHarmRssPhase{};
    Array2<float> CurHarmRssPhase{10, 3}; // [feeder 0..9][phase 0..2]
    float VoltRatioMax = 0;
    float VoltRatioMaxHigh = 0;
    std::array<float, 9> CurRatioMax{};
    std::array<std::int16_t, 9> HarmPowerAngle{};
    std::int16_t FftChannel = 0;

    // Number of analysis channels for a feeder count (3L + 6).
    static int channelCount(int lastFeeder) { return 3 * lastFeeder + 6; }

    // First sizing point (instrument preparation): WaveData, SamplePosition, transform tables.
    void sizeForPreparation(const MeasurementSettings& settings);
    // Second sizing point (measurement screen load): per-shot and interval arrays, zeroed
    // (the whole interval record, IntVoltRms, IntCurRms and ShotCount included); also sets
    // VoltageLast and ElementLast from MeasureType.
    void sizeForMeasurement(const MeasurementSettings& settings);
};

// 160 counts per division when the recorder of logical input k is of ModelClass 2, else 80.
int CountsPerDivision(const MeasurementSettings& settings, const RecorderFacts& facts, int input);

// Primary-side volts or amperes per recorder-input volt of logical input k: the PT ratio for the
// voltage inputs 0 and 1, CtRatio / CurrentScale for feeder f's current inputs 2f+2 and 2f+3 (not
// finite for a zero scale); 0 for an input out of range. Signed: a negative ratio is a
// transformer wired with reversed polarity and turns the input's phasor by 180 degrees, so the
// vectors, powers and angles show the reversal; RMS values are magnitudes and take its absolute
// value.
double PrimaryPerInputVolt(const MeasurementSettings& settings, int input);

} // namespace hs
