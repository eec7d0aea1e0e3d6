#pragma once

#include <cstdint>

namespace hs {

// The two angle rules of the analysis and the result files.

// atan(y / (x + 1e-20)), plus 3.1415926 when x < 0 and y ≥ 0, minus it when x < 0 and y < 0;
// radians, single precision.
float FundamentalAngle(double x, double y);

// atan(y / (x + 1e-20)) × 180 / 3.14, plus 0 when x ≥ 0, else +180 when y > 0 and −180 when
// y ≤ 0; rounded half to even into whole degrees. 0 when the angle is not a number (both values
// zero with x exactly −1e-20, or a NaN input).
std::int16_t SuperpositionAngle(double x, double y);

} // namespace hs
