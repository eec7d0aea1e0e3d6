#include "common/Numbers.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

namespace hs {

double roundHalfEven(double value)
{
    if (!std::isfinite(value))
        return value;
    const double lower = std::floor(value);
    const double diff = value - lower; // exact for doubles in [0, 1)
    if (diff < 0.5)
        return lower;
    if (diff > 0.5)
        return lower + 1.0;
    // Exactly half way: take the even neighbour.
    return std::fmod(lower, 2.0) == 0.0 ? lower : lower + 1.0;
}

std::optional<std::int16_t> toInt16(double value)
{
    if (std::isnan(value))
        return std::nullopt;
    const double r = roundHalfEven(value);
    if (r < -32768.0 || r > 32767.0)
        return std::nullopt;
    return static_cast<std::int16_t>(r);
}

std::int16_t toInt16Saturating(double value)
{
    if (std::isnan(value))
        return 0;
    const double r = roundHalfEven(value);
    if (r < -32768.0)
        return std::numeric_limits<std::int16_t>::min();
    if (r > 32767.0)
        return std::numeric_limits<std::int16_t>::max();
    return static_cast<std::int16_t>(r);
}

std::optional<std::int32_t> toInt32(double value)
{
    if (std::isnan(value))
        return std::nullopt;
    const double r = roundHalfEven(value);
    if (r < -2147483648.0 || r > 2147483647.0)
        return std::nullopt;
    return static_cast<std::int32_t>(r);
}

namespace {

bool isDigit(QChar c)
{
    return c.unicode() >= u'0' && c.unicode() <= u'9';
}

} // namespace

double readNumber(QStringView text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && (text[i] == u' ' || text[i] == u'\t' || text[i] == u'\r' || text[i] == u'\n'))
        ++i;

    std::string number; // ASCII copy of the prefix in from_chars syntax
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    int mantissaDigits = 0;
    while (i < n && isDigit(text[i])) {
        number += static_cast<char>(text[i].unicode());
        ++mantissaDigits;
        ++i;
    }
    if (i < n && text[i] == u'.') {
        number += '.';
        ++i;
        while (i < n && isDigit(text[i])) {
            number += static_cast<char>(text[i].unicode());
            ++mantissaDigits;
            ++i;
        }
    }
    if (mantissaDigits == 0)
        return 0.0;
    // An exponent counts only when it has digits: "12E" reads as 12.
    if (i < n && (text[i] == u'E' || text[i] == u'e' || text[i] == u'D' || text[i] == u'd')) {
        qsizetype j = i + 1;
        std::string exponent = "e";
        if (j < n && (text[j] == u'+' || text[j] == u'-')) {
            exponent += static_cast<char>(text[j].unicode());
            ++j;
        }
        bool hasDigits = false;
        while (j < n && isDigit(text[j])) {
            exponent += static_cast<char>(text[j].unicode());
            hasDigits = true;
            ++j;
        }
        if (hasDigits)
            number += exponent;
    }

    double value = 0.0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    (void)end;
    if (ec == std::errc::result_out_of_range) {
        // Underflow reads as zero; overflow is no usable number.
        return 0.0;
    }
    if (ec != std::errc{} || !std::isfinite(value))
        return 0.0;
    return negative ? -value : value;
}

namespace {

// Shortest round-trip digits of |value| in scientific layout: digit string without point and
// the decimal exponent of the first digit.
template <typename T> void shortestDigits(T value, std::string& digits, int& exponent)
{
    std::array<char, 64> buf{};
    const auto res =
        std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::scientific);
    const std::string text(buf.data(), res.ptr);
    const auto e = text.find('e');
    digits.clear();
    for (std::size_t k = 0; k < e; ++k) {
        if (text[k] != '.')
            digits += text[k];
    }
    exponent = std::stoi(text.substr(e + 1));
}

} // namespace

QString spacedNumber(double value)
{
    if (std::isnan(value))
        return QStringLiteral(" NaN");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral(" Inf") : QStringLiteral("-Inf");
    if (value == 0.0)
        return QStringLiteral(" 0");

    const bool negative = value < 0;
    const double magnitude = std::fabs(value);
    std::string digits;
    int exponent = 0;
    const auto asFloat = static_cast<float>(magnitude);
    if (std::isfinite(asFloat) && static_cast<double>(asFloat) == magnitude)
        shortestDigits(asFloat, digits, exponent);
    else
        shortestDigits(magnitude, digits, exponent);

    std::string body;
    const int count = static_cast<int>(digits.size());
    if (exponent < -4 || exponent >= 15) {
        body = digits.substr(0, 1);
        if (count > 1)
            body += '.' + digits.substr(1);
        const int absExp = exponent < 0 ? -exponent : exponent;
        body += exponent < 0 ? "E-" : "E+";
        if (absExp < 10)
            body += '0';
        body += std::to_string(absExp);
    } else if (exponent < 0) {
        body = "." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    } else if (exponent + 1 >= count) {
        body = digits + std::string(static_cast<std::size_t>(exponent + 1 - count), '0');
    } else {
        body = digits.substr(0, static_cast<std::size_t>(exponent + 1)) + '.' +
               digits.substr(static_cast<std::size_t>(exponent + 1));
    }
    return QString::fromLatin1(negative ? "-" : " ") + QString::fromLatin1(body);
}

QString spacedNumber(int value)
{
    return value < 0 ? QString::number(value) : QLatin1Char(' ') + QString::number(value);
}

QString plainNumber(int value)
{
    return QString::number(value);
}

} // namespace hs
