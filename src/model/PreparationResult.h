#pragma once

#include <QString>

#include <array>
#include <cstdint>

namespace hs {

// What the check shot measured, for the preparation screen's labels and vector diagram.
struct PreparationResult {
    std::int16_t Start = 0; // period bounds of the check shot, recorder samples
    std::int16_t End = 0;
    int Attempts = 0; // check shots taken
    // The frequency label: "基本波周波数 " + 200000 / (end - start) as "##.00" + "Hz".
    QString FrequencyText;
    // Per logical input 0..19 (inputs not downloaded stay 0):
    std::array<double, 20> Rms{};   // RMS at the recorder input, volts
    std::array<double, 20> S{};     // fundamental sine sum of 8 points per period, turned by
    std::array<double, 20> C{};     // 180 degrees (negated) for a negative PT or CT ratio
    std::array<double, 20> Theta{}; // θ(k), radians, against a sine starting at the period start
    double Rho = 0.0;               // phase-sequence angle ρ: 0, 1.05 or 2.09 radians
    // The inputs label: voltage line, one line per feeder, the wiring question. Lines end in a
    // carriage return, as the label takes them.
    QString InputText;
};

} // namespace hs
