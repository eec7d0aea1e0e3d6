#include "common/NumberFormat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

using hs::formatNumber;

namespace {

struct Case {
    double value;
    const char16_t* pattern;
    const char16_t* text;
};

void expectAll(const std::vector<Case>& cases)
{
    for (const auto& c : cases) {
        EXPECT_EQ(formatNumber(c.value, QStringView(c.pattern)), QString::fromUtf16(c.text))
            << c.value << " with " << QString::fromUtf16(c.pattern).toStdString();
    }
}

} // namespace

TEST(NumberFormat, DisplayPatternsOfTablesAndSummary)
{
    expectAll({
        {6600.04, u"####0.0V", u"6600.0V"},
        {0.0, u"####0.0V", u"0.0V"},
        {123456.7, u"####0.0V", u"123456.7V"}, // more digits than placeholders
        {12.34, u" ####0.0V", u" 12.3V"},
        {152.25, u"####0.0A", u"152.3A"},
        {0.05, u"##0.0%", u"5.0%"},
        {1.0, u"##0.0%", u"100.0%"},
        {0.0, u"#0.0%", u"0.0%"},
        {0.123, u"I= ##0.0% ", u"I= 12.3% "},
        {5, u"##次", u"5次"},
        {99, u"##次", u"99次"},
        {256, u"##次", u"256次"},
        {-30.4, u"##0ﾟ", u"-30ﾟ"},
        {179.5, u"##0ﾟ", u"180ﾟ"},
        {0.2, u"##0ﾟ", u"0ﾟ"},
        {50, u"##.00", u"50.00"},
        {60.00600060006, u"##.00", u"60.01"},
        {0.5, u"##.00", u".50"},
        {6543.21, u"##,##0.0", u"6,543.2"},
        {1234567.8, u"##,##0.0", u"1,234,567.8"},
        {999.96, u"##,##0.0", u"1,000.0"},
        {12.345, u"###0.00", u"12.35"},
        {1.5, u"#0.000M", u"1.500M"},
        {2345.6789, u"#,##0.000k", u"2,345.679k"},
        {-1234.5, u"#,##0.0", u"-1,234.5"},
        {-0.04, u"##0.0%", u"-4.0%"},
    });
}

TEST(NumberFormat, OptionalAndForcedDigits)
{
    expectAll({
        {0, u"##", u""},
        {0, u"#.##", u"."},
        {5, u"#.##", u"5."},
        {5.1, u"#.##", u"5.1"},
        {5.125, u"0.0#", u"5.13"},
        {5.1, u"0.0#", u"5.1"},
        {7, u"000", u"007"},
        {7, u"0#0", u"007"}, // forced from the first 0 on
        {0.25, u".00", u".25"},
        {3.75, u".0", u"3.8"},
        {12345, u"#-##0", u"12-345"},
        {12345, u"#0.0\\%", u"12345.0%"},
        {12, u"\"No.\"0", u"No.12"},
        {1234567, u"#,##0,", u"1,235"}, // a trailing comma divides by 1000
        {25, u"0.0 V", u"25.0 V"},
    });
}

TEST(NumberFormat, RoundsHalvesAwayFromZeroAtShownDigits)
{
    expectAll({
        {0.25, u"0.0", u"0.3"},
        {-0.25, u"0.0", u"-0.3"},
        {2.5, u"0", u"3"},
        {-2.5, u"0", u"-3"},
        {1.005, u"0.00", u"1.01"}, // taken at 15 significant digits, as displayed
        {0.125, u"0.00", u"0.13"},
        {-0.04, u"0.0", u"0.0"}, // rounds to zero: no sign
        {9.96, u"0.0", u"10.0"},
        {0.00049, u"0.000", u"0.000"},
        {0.0005, u"0.000", u"0.001"},
        {0.5, u"#", u"1"},
        {0.4, u"#", u""},
    });
}

TEST(NumberFormat, NonFiniteAndExtremeValuesNeverBreakTheText)
{
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(formatNumber(inf, u"##0.0%"), QStringLiteral("Inf%"));
    EXPECT_EQ(formatNumber(-inf, u"####0.0A"), QStringLiteral("-InfA"));
    EXPECT_EQ(formatNumber(std::nan(""), u"I= ##0.0% "), QStringLiteral("I= NaN% "));
    EXPECT_EQ(formatNumber(1e307, u"##0.0%"), QStringLiteral("Inf%")); // overflows when scaled
    const QString big = formatNumber(1e20, u"#,##0");
    EXPECT_EQ(big, QStringLiteral("100,000,000,000,000,000,000"));
    EXPECT_EQ(formatNumber(1e-300, u"0.00"), QStringLiteral("0.00"));
    EXPECT_EQ(formatNumber(3.25, u""), QStringLiteral("3.25"));
    EXPECT_EQ(formatNumber(3.25, u"abc"), QStringLiteral("abc"));
}

TEST(NumberFormat, AgreesWithIndependentRoundingOnRandomValues)
{
    std::mt19937 gen(77);
    std::uniform_real_distribution<double> dist(-1e6, 1e6);
    for (int k = 0; k < 3000; ++k) {
        const double v = dist(gen);
        const QString text = formatNumber(v, u"###0.00");
        // Strip nothing: the pattern has no separators, so the text reads back directly.
        const double back = text.toDouble();
        EXPECT_NEAR(back, v, 0.005 + 1e-9) << text.toStdString();
        const int dot = text.indexOf(u'.');
        ASSERT_GE(dot, 0);
        EXPECT_EQ(text.size() - dot - 1, 2);
        // Grouped form holds the same digits.
        QString grouped = formatNumber(v, u"#,##0.00");
        EXPECT_EQ(grouped.remove(u','), text);
    }
}

TEST(NumberFormat, CompiledPatternsFormatLikeFreshOnesWhateverCameBefore)
{
    // A kept pattern formats many values; the cache holds many patterns at once and is
    // emptied when full, so the same text must come out however the calls interleave.
    const hs::NumberPattern percent(u"I= ##0.0% ");
    const hs::NumberPattern grouped(u"#,##0.000k");
    EXPECT_EQ(percent.format(0.123), QStringLiteral("I= 12.3% "));
    EXPECT_EQ(percent.format(-0.0004), QStringLiteral("I= 0.0% "));
    EXPECT_EQ(grouped.format(2345.6789), QStringLiteral("2,345.679k"));
    EXPECT_EQ(grouped.format(std::nan("")), QStringLiteral("NaNk"));
    for (int k = 0; k < 600; ++k) {
        const QString pattern = QStringLiteral("#0.%1\"/%2\"").arg(QString(k % 4 + 1, u'0')).arg(k);
        const double v = k * 1.0625;
        EXPECT_EQ(formatNumber(v, pattern), hs::NumberPattern(pattern).format(v)) << k;
        EXPECT_EQ(formatNumber(v, u"##0.0%"), percent.format(v).mid(3).chopped(1)) << k;
    }
}
