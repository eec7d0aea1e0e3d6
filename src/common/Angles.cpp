#include "common/Angles.h"

#include "common/Numbers.h"

#include <cmath>

namespace hs {

namespace {

// The constants the result files were always computed with.
constexpr double kPiFundamental = 3.1415926; // FundamentalAngle
constexpr double kPiDegrees = 3.14;          // radians to degrees
constexpr double kGuard = 1e-20;             // added to every arc-tangent denominator

} // namespace

float FundamentalAngle(double x, double y)
{
    double angle = std::atan(y / (x + kGuard));
    if (x < 0)
        angle += y >= 0 ? kPiFundamental : -kPiFundamental;
    return static_cast<float>(angle);
}

std::int16_t SuperpositionAngle(double x, double y)
{
    double degrees = std::atan(y / (x + kGuard)) * 180.0 / kPiDegrees;
    if (!(x >= 0))
        degrees += y > 0 ? 180.0 : -180.0;
    // |degrees| stays below 271, so only a NaN can fail here.
    return toInt16(degrees).value_or(0);
}

} // namespace hs
