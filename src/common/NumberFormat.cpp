#include "common/NumberFormat.h"

#include "common/Numbers.h"

#include <QHash>

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

// Compiles a pattern's tokens into a NumberPattern.
class NumberPatternCompiler {
public:
    NumberPatternCompiler(NumberPattern& p, QStringView pattern) : p_(p)
    {
        tokens_ = tokenize(pattern, p_.percentCount_);
        if (!findDigits()) {
            // No digits in the pattern: only its text.
            for (const auto& t : tokens_)
                p_.prefix_ += text(t, u'.');
            return;
        }
        p_.hasDigits_ = true;
        for (int k = 0; k < start_; ++k)
            p_.prefix_ += text(tokens_[k], u',');
        for (int k = end_ + 1; k < count(); ++k)
            p_.suffix_ += text(tokens_[k], u',');
        readInteger();
        readFraction();
    }

private:
    int count() const { return static_cast<int>(tokens_.size()); }

    // A literal token's text; a point or comma outside the digits as itself.
    static QString text(const Token& t, QChar pointOrComma)
    {
        if (t.kind == Token::Literal)
            return t.text;
        return QString(t.kind == Token::Comma ? QChar(u',') : pointOrComma);
    }

    // The digit span [start_, end_] and the point in it; false when there are no digits.
    bool findDigits()
    {
        for (int k = 0; k < count(); ++k) {
            if (isDigitToken(tokens_[k]) || tokens_[k].kind == Token::Point) {
                if (start_ < 0)
                    start_ = k;
                end_ = k;
            }
        }
        if (start_ < 0)
            return false;
        // Separators right after the last digit belong to the number (they scale it).
        while (end_ + 1 < count() && tokens_[end_ + 1].kind == Token::Comma)
            ++end_;
        for (int k = start_; k <= end_ && point_ < 0; ++k) {
            if (tokens_[k].kind == Token::Point)
                point_ = k;
        }
        p_.hasPoint_ = point_ >= 0;
        return true;
    }

    // Integer section [start_, point): forced digits, literals with the number of placeholders
    // to their right, separators.
    void readInteger()
    {
        const int intEnd = point_ < 0 ? end_ + 1 : point_;
        int placeholders = 0;
        for (int k = intEnd - 1; k >= start_; --k) {
            const Token& t = tokens_[k];
            if (isDigitToken(t)) {
                ++placeholders;
                if (t.kind == Token::Forced)
                    p_.forcedInt_ = placeholders;
            } else if (t.kind == Token::Comma) {
                if (placeholders == 0)
                    ++p_.scaleDown_;
                else
                    p_.grouping_ = true;
            } else if (t.kind == Token::Literal) {
                p_.intLiterals_.insert(p_.intLiterals_.begin(), {placeholders, t.text});
            }
        }
    }

    void readFraction()
    {
        if (point_ < 0)
            return;
        int& placeholders = p_.fracPlaceholders_;
        for (int k = point_ + 1; k <= end_; ++k) {
            const Token& t = tokens_[k];
            if (isDigitToken(t)) {
                ++placeholders;
                if (t.kind == Token::Forced)
                    p_.forcedFrac_ = placeholders;
            } else if (t.kind == Token::Literal) {
                p_.fracLiterals_.push_back({placeholders, t.text});
            } else if (t.kind == Token::Point) {
                p_.fracLiterals_.push_back({placeholders, QStringLiteral(".")});
            }
            // Commas among the decimals have no meaning and are dropped.
        }
    }

    NumberPattern& p_;
    std::vector<Token> tokens_;
    int start_ = -1, end_ = -1, point_ = -1;
};

NumberPattern::NumberPattern(QStringView pattern)
{
    empty_ = pattern.isEmpty();
    if (!empty_)
        NumberPatternCompiler(*this, pattern);
}

QString NumberPattern::nonFinite(double value) const
{
    const char* word = std::isnan(value) ? "NaN" : (value > 0 ? "Inf" : "-Inf");
    return prefix_ + QLatin1String(word) + suffix_;
}

QString NumberPattern::format(double value) const
{
    if (empty_)
        return spacedNumber(value).trimmed();
    if (!hasDigits_)
        return prefix_;
    if (!std::isfinite(value))
        return nonFinite(value);
    double scaled = value;
    for (int k = 0; k < percentCount_; ++k)
        scaled *= 100.0;
    for (int k = 0; k < scaleDown_; ++k)
        scaled /= 1000.0;
    if (!std::isfinite(scaled))
        return nonFinite(scaled);

    std::string intDigits, fracDigits;
    decimalDigits(std::fabs(scaled), fracPlaceholders_, intDigits, fracDigits);
    const bool isZero = intDigits.empty() && fracDigits.find_first_not_of('0') == std::string::npos;
    QString out = prefix_;
    if (scaled < 0 && !isZero)
        out += u'-';
    writeInteger(std::move(intDigits), out);
    if (hasPoint_)
        writeFraction(std::move(fracDigits), out);
    return out + suffix_;
}

void NumberPattern::writeInteger(std::string digits, QString& out) const
{
    if (static_cast<int>(digits.size()) < forcedInt_)
        digits.insert(0, static_cast<std::size_t>(forcedInt_) - digits.size(), '0');
    const int n = static_cast<int>(digits.size());
    std::size_t nextLiteral = 0;
    for (int idx = 0; idx < n; ++idx) {
        const int toRight = n - idx; // this digit and those after it
        while (nextLiteral < intLiterals_.size() && intLiterals_[nextLiteral].count >= toRight)
            out += intLiterals_[nextLiteral++].text;
        if (grouping_ && idx > 0 && toRight % 3 == 0)
            out += u',';
        out += QLatin1Char(digits[static_cast<std::size_t>(idx)]);
    }
    while (nextLiteral < intLiterals_.size())
        out += intLiterals_[nextLiteral++].text;
}

void NumberPattern::writeFraction(std::string digits, QString& out) const
{
    while (static_cast<int>(digits.size()) > forcedFrac_ && digits.back() == '0')
        digits.pop_back();
    out += u'.';
    std::size_t nextLiteral = 0;
    for (std::size_t idx = 0; idx < digits.size(); ++idx) {
        while (nextLiteral < fracLiterals_.size() &&
               fracLiterals_[nextLiteral].count <= static_cast<int>(idx))
            out += fracLiterals_[nextLiteral++].text;
        out += QLatin1Char(digits[idx]);
    }
    while (nextLiteral < fracLiterals_.size())
        out += fracLiterals_[nextLiteral++].text;
}

QString formatNumber(double value, QStringView pattern)
{
    // The screens use a few dozen patterns; the bound keeps odd callers from growing the cache.
    constexpr qsizetype kMaxCached = 256;
    thread_local QHash<QString, NumberPattern> cache;
    const QString key = pattern.toString();
    auto it = cache.constFind(key);
    if (it == cache.constEnd()) {
        if (cache.size() >= kMaxCached)
            cache.clear();
        it = cache.insert(key, NumberPattern(pattern));
    }
    return it->format(value);
}

} // namespace hs
