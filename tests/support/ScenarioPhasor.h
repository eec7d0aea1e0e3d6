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

} // namespace hs::test
