#include "render/TrendScale.h"

#include <algorithm>
#include <cmath>

namespace hs {

namespace {

constexpr double kLeastRatioTop = 1.0;       // percent
constexpr double kLeastMagnitudeShare = 0.01; // of the mean, either side

} // namespace

TrendSpan TrendAxisSpan(const std::vector<double>& values, TrendQuantity quantity)
{
    double low = 0, high = 0, sum = 0;
    int count = 0;
    for (const double v : values) {
        if (!std::isfinite(v))
            continue;
        low = count == 0 ? v : std::min(low, v);
        high = count == 0 ? v : std::max(high, v);
        sum += v;
        ++count;
    }
    if (count == 0)
        return {};
    if (quantity == TrendQuantity::Ratio)
        return {std::min(0.0, low), std::max(high, kLeastRatioTop)};
    const double mean = sum / count;
    const double least = mean != 0 ? std::abs(mean) * kLeastMagnitudeShare : 1.0;
    return {std::min(low, mean - least), std::max(high, mean + least)};
}

} // namespace hs
