#pragma once

#include <vector>

namespace hs {

// The vertical axis of a trend chart (the result export's plot, the status page's charts).
// The records of a steady feeder differ by thousandths of a percent and fractions of a volt;
// an axis stretched over just those makes measurement noise look like swings. An axis
// therefore spans at least:
//  - for a ratio (distortion in percent of the fundamental): from 0 up to the largest value,
//    and to no less than 1 %;
//  - for a magnitude (a voltage, a current): the values and 1 % of their mean either side of
//    the mean (1 unit either side when the mean is 0).
// The status page's script (src/web/page/app.js) follows the same rule.
enum class TrendQuantity { Ratio, Magnitude };

struct TrendSpan {
    double low = 0;
    double high = 1;
};

// The least span an axis shows for the given values; values that are not numbers are left out,
// and none at all give 0 to 1.
TrendSpan TrendAxisSpan(const std::vector<double>& values, TrendQuantity quantity);

} // namespace hs
