#pragma once

#include "sim/Scenario.h"

#include <gtest/gtest.h>

#include <complex>
#include <numbers>

namespace hs::test {

using Phasor = std::complex<double>;

// The RMS phasor of a scenario quantity at harmonic order h: the quantity is
// rms * sqrt2 * (sin(theta + phase) + sum ratio * sin(h theta + phase_h)).
inline Phasor ScenarioPhasor(const sim::Scenario& s, const QString& name, int h)
{
    const int q = s.quantityIndex(name);
    EXPECT_GE(q, 0) << qPrintable(name);
    if (q < 0)
        return {};
    const sim::Quantity& quantity = s.quantities[q];
    const double degree = std::numbers::pi / 180.0;
    if (h == 1)
        return std::polar(quantity.rms, quantity.phaseDeg * degree);
    for (const auto& harmonic : quantity.harmonics)
        if (harmonic.order == h)
            return std::polar(quantity.rms * harmonic.ratio, harmonic.phaseDeg * degree);
    return {};
}

// What a result record stores for the scenario at order h: the mean magnitude of the three
// voltage phases (R-S, T-S and the computed R-T) ...
inline double ScenarioVoltageMean(const sim::Scenario& s, int h)
{
    const Phasor a = ScenarioPhasor(s, QStringLiteral("V R-S"), h);
    const Phasor b = ScenarioPhasor(s, QStringLiteral("V T-S"), h);
    return (std::abs(a) + std::abs(b) + std::abs(a - b)) / 3.0;
}

// ... and of the three current phases of feeder f (0-based: R, T and their sum, the S current
// reversed).
inline double ScenarioCurrentMean(const sim::Scenario& s, int f, int h)
{
    const QString name = QStringLiteral("F%1 I ").arg(f + 1);
    const Phasor ir = ScenarioPhasor(s, name + QLatin1Char('R'), h);
    const Phasor it = ScenarioPhasor(s, name + QLatin1Char('T'), h);
    return (std::abs(ir) + std::abs(it) + std::abs(ir + it)) / 3.0;
}

// The fundamental of feeder f's R current, the scale of the tests' current floors.
inline double ScenarioCurrentFundamental(const sim::Scenario& s, int f)
{
    return std::abs(ScenarioPhasor(s, QStringLiteral("F%1 I R").arg(f + 1), 1));
}

} // namespace hs::test
