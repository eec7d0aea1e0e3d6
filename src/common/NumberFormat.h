#pragma once

#include <QString>
#include <QStringView>

#include <string>
#include <vector>

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
// Patterns are compiled once and kept (a small cache keyed by the pattern text).
QString formatNumber(double value, QStringView pattern);

// A display pattern compiled once, for formatting many values (see formatNumber for the
// pattern's rules).
class NumberPattern {
public:
    explicit NumberPattern(QStringView pattern);
    QString format(double value) const;

private:
    // A literal inside the digits, with the count of placeholders to its right (integer
    // section) or to its left (fraction section).
    struct Placed {
        int count;
        QString text;
    };
    QString nonFinite(double value) const;
    void writeInteger(std::string digits, QString& out) const;
    void writeFraction(std::string digits, QString& out) const;

    bool empty_ = false;     // formats as the trimmed spaced number
    bool hasDigits_ = false; // false: the pattern is text only, in prefix_
    QString prefix_, suffix_;
    int percentCount_ = 0;
    int scaleDown_ = 0; // thousands divided off
    bool grouping_ = false;
    bool hasPoint_ = false;
    int forcedInt_ = 0;
    int fracPlaceholders_ = 0;
    int forcedFrac_ = 0;
    std::vector<Placed> intLiterals_, fracLiterals_;

    friend class NumberPatternCompiler;
};

} // namespace hs
