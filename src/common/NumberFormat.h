#pragma once

#include <QString>
#include <QStringView>

namespace hs {

// Formats a number with a display pattern such as "####0.0V", "##0.0%", "#,##0.000k", "##.00",
// "##次" or "I= ##0.0% ":
//   0   a digit that is always shown (leading or trailing zero when needed);
//   #   a digit shown only when needed ("##.00" shows 0.5 as ".50", "##" shows 0 as "");
//   .   the decimal point (always written when the pattern has one);
//   ,   between integer digits: thousands separators; directly before the point or at the end
//       of the digits: divides the value by 1000 per comma;
//   %   multiplies the value by 100 and is written where it stands;
//   \x  writes x;  "text" writes text;
//   any other character is written where it stands: before the digits, after them, or between
//   them (a literal between integer digits keeps its place counted from the point).
// All integer digits are shown even when the pattern has fewer placeholders. The value is
// taken at 15 significant digits and rounded at the last shown decimal with halves away from
// zero ("0.0" shows 0.25 as "0.3", -0.25 as "-0.3"). A negative value gets "-" directly in
// front of its digits (after any leading literal text); a value that rounds to zero is shown
// without a sign. NaN and infinities show as "NaN", "Inf" or "-Inf" in place of the digits.
QString formatNumber(double value, QStringView pattern);

} // namespace hs
