#include "common/NumberFormat.h"

#include "common/Numbers.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace hs {

namespace {

struct Token {
    enum Kind { Forced, Optional, Point, Comma, Literal } kind;
    QString text; // for Literal
};

bool isDigitToken(const Token& t)
{
    return t.kind == Token::Forced || t.kind == Token::Optional;
}

std::vector<Token> tokenize(QStringView pattern, int& percentCount)
{
    std::vector<Token> tokens;
    percentCount = 0;
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern[i];
        if (c == u'0') {
            tokens.push_back({Token::Forced, {}});
        } else if (c == u'#') {
            tokens.push_back({Token::Optional, {}});
        } else if (c == u'.') {
            tokens.push_back({Token::Point, {}});
        } else if (c == u',') {
            tokens.push_back({Token::Comma, {}});
        } else if (c == u'\\' && i + 1 < pattern.size()) {
            tokens.push_back({Token::Literal, QString(pattern[++i])});
        } else if (c == u'"') {
            const qsizetype close = pattern.indexOf(u'"', i + 1);
            const qsizetype stop = close < 0 ? pattern.size() : close;
            tokens.push_back({Token::Literal, pattern.mid(i + 1, stop - i - 1).toString()});
            i = stop;
        } else {
            if (c == u'%')
                ++percentCount;
            tokens.push_back({Token::Literal, QString(c)});
        }
    }
    return tokens;
}

// |value| as decimal digits rounded at `fractionDigits` decimals, halves away from zero, taken
// from its 15-significant-digit form. Returns the integer digits (no leading zeros, possibly
// empty) and exactly `fractionDigits` fraction digits.
void decimalDigits(double magnitude, int fractionDigits, std::string& intPart,
                   std::string& fracPart)
{
    std::string digits;
    int pointPos = 0; // digits before the decimal point
    if (magnitude == 0.0) {
        digits = "0";
        pointPos = 1;
    } else {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.14e", magnitude);
        const std::string text(buf);
        const auto e = text.find('e');
        for (std::size_t k = 0; k < e; ++k) {
            if (text[k] != '.')
                digits += text[k];
        }
        pointPos = std::stoi(text.substr(e + 1)) + 1;
    }
    if (pointPos < 0) {
        digits.insert(0, static_cast<std::size_t>(-pointPos), '0');
        pointPos = 0;
    }
    const std::size_t keep = static_cast<std::size_t>(pointPos + fractionDigits);
    std::string kept;
    if (keep >= digits.size()) {
        kept = digits + std::string(keep - digits.size(), '0');
    } else {
        kept = digits.substr(0, keep);
        if (digits[keep] >= '5') {
            std::size_t k = kept.size();
            while (k > 0 && kept[k - 1] == '9')
                kept[--k] = '0';
            if (k == 0) {
                kept.insert(kept.begin(), '1');
                ++pointPos;
            } else {
                ++kept[k - 1];
            }
        }
    }
    intPart = kept.substr(0, static_cast<std::size_t>(pointPos));
    fracPart = kept.substr(static_cast<std::size_t>(pointPos));
    const auto firstNonZero = intPart.find_first_not_of('0');
    intPart = firstNonZero == std::string::npos ? std::string() : intPart.substr(firstNonZero);
}

} // namespace

QString formatNumber(double value, QStringView pattern)
{
    if (pattern.isEmpty())
        return spacedNumber(value).trimmed();

    int percentCount = 0;
    const std::vector<Token> tokens = tokenize(pattern, percentCount);
    const int count = static_cast<int>(tokens.size());

    int start = -1, end = -1;
    for (int k = 0; k < count; ++k) {
        if (isDigitToken(tokens[k]) || tokens[k].kind == Token::Point) {
            if (start < 0)
                start = k;
            end = k;
        }
    }
    // Separators right after the last digit belong to the number (they scale it).
    while (start >= 0 && end + 1 < count && tokens[end + 1].kind == Token::Comma)
        ++end;
    if (start < 0) {
        // No digits in the pattern: only its text.
        QString out;
        for (const auto& t : tokens)
            out +=
                t.kind == Token::Literal ? t.text : QString(t.kind == Token::Comma ? u',' : u'.');
        return out;
    }
    int point = -1;
    for (int k = start; k <= end; ++k) {
        if (tokens[k].kind == Token::Point) {
            point = k;
            break;
        }
    }
    const int intEnd = point < 0 ? end + 1 : point; // integer section is [start, intEnd)

    // Integer section: placeholders, forced digits, literals with the number of placeholders to
    // their right, separators.
    int intPlaceholders = 0;
    int forcedInt = 0;
    bool grouping = false;
    int scaleDown = 0;
    struct Placed {
        int count;
        QString text;
    };
    std::vector<Placed> intLiterals;
    for (int k = intEnd - 1; k >= start; --k) {
        const Token& t = tokens[k];
        if (isDigitToken(t)) {
            ++intPlaceholders;
            if (t.kind == Token::Forced)
                forcedInt = intPlaceholders;
        } else if (t.kind == Token::Comma) {
            if (intPlaceholders == 0)
                ++scaleDown;
            else
                grouping = true;
        } else if (t.kind == Token::Literal) {
            intLiterals.insert(intLiterals.begin(), {intPlaceholders, t.text});
        }
    }
    // Fraction section.
    int fracPlaceholders = 0;
    int forcedFrac = 0;
    std::vector<Placed> fracLiterals;
    if (point >= 0) {
        for (int k = point + 1; k <= end; ++k) {
            const Token& t = tokens[k];
            if (isDigitToken(t)) {
                ++fracPlaceholders;
                if (t.kind == Token::Forced)
                    forcedFrac = fracPlaceholders;
            } else if (t.kind == Token::Literal) {
                fracLiterals.push_back({fracPlaceholders, t.text});
            } else if (t.kind == Token::Point) {
                fracLiterals.push_back({fracPlaceholders, QStringLiteral(".")});
            }
            // Commas among the decimals have no meaning and are dropped.
        }
    }

    QString prefix, suffix;
    for (int k = 0; k < start; ++k)
        prefix += tokens[k].kind == Token::Literal ? tokens[k].text : QStringLiteral(",");
    for (int k = end + 1; k < count; ++k)
        suffix += tokens[k].kind == Token::Literal ? tokens[k].text : QStringLiteral(",");

    if (!std::isfinite(value)) {
        const char* word = std::isnan(value) ? "NaN" : (value > 0 ? "Inf" : "-Inf");
        return prefix + QLatin1String(word) + suffix;
    }

    double scaled = value;
    for (int k = 0; k < percentCount; ++k)
        scaled *= 100.0;
    for (int k = 0; k < scaleDown; ++k)
        scaled /= 1000.0;
    if (!std::isfinite(scaled))
        return prefix + QLatin1String(scaled > 0 ? "Inf" : "-Inf") + suffix;

    std::string intDigits, fracDigits;
    decimalDigits(std::fabs(scaled), fracPlaceholders, intDigits, fracDigits);
    const bool isZero = intDigits.empty() && fracDigits.find_first_not_of('0') == std::string::npos;
    if (static_cast<int>(intDigits.size()) < forcedInt)
        intDigits.insert(0, static_cast<std::size_t>(forcedInt) - intDigits.size(), '0');
    while (static_cast<int>(fracDigits.size()) > forcedFrac && fracDigits.back() == '0')
        fracDigits.pop_back();

    QString out = prefix;
    if (scaled < 0 && !isZero)
        out += u'-';

    const int n = static_cast<int>(intDigits.size());
    std::size_t nextLiteral = 0;
    for (int idx = 0; idx < n; ++idx) {
        const int toRight = n - idx; // this digit and those after it
        while (nextLiteral < intLiterals.size() && intLiterals[nextLiteral].count >= toRight)
            out += intLiterals[nextLiteral++].text;
        if (grouping && idx > 0 && toRight % 3 == 0)
            out += u',';
        out += QLatin1Char(intDigits[static_cast<std::size_t>(idx)]);
    }
    while (nextLiteral < intLiterals.size())
        out += intLiterals[nextLiteral++].text;

    if (point >= 0) {
        out += u'.';
        std::size_t nextFrac = 0;
        for (std::size_t idx = 0; idx < fracDigits.size(); ++idx) {
            while (nextFrac < fracLiterals.size() &&
                   fracLiterals[nextFrac].count <= static_cast<int>(idx))
                out += fracLiterals[nextFrac++].text;
            out += QLatin1Char(fracDigits[idx]);
        }
        while (nextFrac < fracLiterals.size())
            out += fracLiterals[nextFrac++].text;
    }
    return out + suffix;
}

} // namespace hs
