#pragma once

#include <optional>
#include <vector>

namespace hs {

struct RcRow;

// The R-C complement: an R-C filter (series capacitor C feeding a resistor R across the recorder
// input) attenuates order k by R / sqrt(R^2 + X_k^2); the analysis multiplies the amplitude of
// order k by the inverse, F_k. Row 0 is the voltage input, row f+1 feeder f.

// The filter values of a row that is in use: R in kΩ, C in μF, both read from the operator's
// texts by their leading number.
struct RcFilter {
    double resistanceKiloOhm = 0.0;
    double capacitanceMicroFarad = 0.0;
};

// The filter of a row when the row is ticked and both R and C read as positive, finite numbers;
// nullopt otherwise. A ticked row with a zero, negative or non-numeric R or C counts as
// unticked, so the factor never divides by zero.
std::optional<RcFilter> rcFilterOf(const RcRow& row);

// Whether the complement applies to the row (ticked and usable, see rcFilterOf).
bool rcComplementActive(const RcRow& row);

// F_k for harmonic order k when one fundamental period spans periodSamples recorder samples
// (200 kHz sampling): ω = 1256640·k / P, X = 1 / (1e-6·C·ω), F = sqrt((1e3·R)² + X²) / (1e3·R),
// each step rounded to single precision. 1.0 when P or k is not positive or the result is not a
// finite number.
float rcComplementFactor(const RcFilter& filter, int order, int periodSamples);

// F_k of a row, 1.0 when the row is not active.
float rcComplementFactor(const RcRow& row, int order, int periodSamples);

// F_0..F_maxOrder of a row into factors (F_0 is 1.0; every entry 1.0 when the row is not
// active). Reuses the vector's storage.
void rcComplementFactors(const RcRow& row, int maxOrder, int periodSamples,
                         std::vector<float>& factors);

} // namespace hs
