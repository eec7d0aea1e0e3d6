#include "common/Numbers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

using namespace hs;

TEST(Numbers, RoundHalfEvenPicksEvenNeighbourOnlyAtExactHalves)
{
    struct Case {
        double in;
        double out;
    };
    const Case cases[] = {{0.5, 0},   {1.5, 2},   {2.5, 2},      {3.5, 4},    {-0.5, -0},
                          {-1.5, -2}, {-2.5, -2}, {2.4999, 2},   {2.5001, 3}, {-2.5001, -3},
                          {7.0, 7},   {-7.0, -7}, {1e300, 1e300}};
    for (const auto& c : cases)
        EXPECT_EQ(roundHalfEven(c.in), c.out) << c.in;
}

TEST(Numbers, ToInt16DetectsOverflowAndNaN)
{
    EXPECT_EQ(toInt16(32767.4), 32767);
    EXPECT_EQ(toInt16(32767.5), std::nullopt); // rounds to 32768
    EXPECT_EQ(toInt16(-32768.5), -32768);      // half to even stays in range
    EXPECT_EQ(toInt16(-32769.0), std::nullopt);
    EXPECT_EQ(toInt16(std::nan("")), std::nullopt);
    EXPECT_EQ(toInt16(std::numeric_limits<double>::infinity()), std::nullopt);
    EXPECT_EQ(toInt16(8840.5), 8840);
    EXPECT_EQ(toInt16(8841.5), 8842);

    EXPECT_EQ(toInt16Saturating(1e9), 32767);
    EXPECT_EQ(toInt16Saturating(-1e9), -32768);
    EXPECT_EQ(toInt16Saturating(std::nan("")), 0);
    EXPECT_EQ(toInt32(2147483647.0), 2147483647);
    EXPECT_EQ(toInt32(2147483648.0), std::nullopt);
}

TEST(Numbers, ReadNumberTakesLongestLeadingNumber)
{
    struct Case {
        const char16_t* text;
        double value;
    };
    const Case cases[] = {
        {u"8841\n", 8841},
        {u"   12.5abc", 12.5},
        {u"-3", -3},
        {u"+4", 4},
        {u".5", 0.5},
        {u"-.25\n", -0.25},
        {u"5.", 5},
        {u"1E3", 1000},
        {u"1.5e-2,7", 0.015},
        {u"2E", 2},
        {u"2E+", 2},
        {u"2e-x", 2},
        {u"1D2", 100},
        {u"", 0},
        {u"\n", 0},
        {u"abc", 0},
        {u"-", 0},
        {u".", 0},
        {u"-.e5", 0},
        {u"1.2.3", 1.2},
        {u"12 34", 12},
        {u"1e999", 0},
        {u"1e-999", 0},
        {u"\t 7", 7},
        {u"0000042", 42},
        {u"X5", 0},
        {u"+-5", 0},
        {u"3,4", 3},
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(readNumber(QStringView(c.text)), c.value)
            << QString::fromUtf16(c.text).toStdString();
}

TEST(Numbers, SpacedNumberMatchesRecorderArgumentForms)
{
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {3, " 3"},
        {-3, "-3"},
        {20, " 20"},
        {0, " 0"},
        {-0.0, " 0"},
        {0.5, " .5"},
        {-0.25, "-.25"},
        {1.5, " 1.5"},
        {400, " 400"},
        {123.456, " 123.456"},
        {1e-5, " 1E-05"},
        {0.0001, " .0001"},
        {-1.5e16, "-1.5E+16"},
        {1e15, " 1E+15"},
        {99999999999999.0, " 99999999999999"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(spacedNumber(c.value).toStdString(), c.text) << c.value;

    // Range steps are stored as floats; widened to double they must still print their short
    // decimal text.
    const float ranges[] = {0.005f, 0.01f, 0.02f, 0.05f, 0.1f, 0.2f, 0.5f,
                            1.f,    2.f,   5.f,   10.f,  20.f, 50.f};
    const char* rangeTexts[] = {" .005", " .01", " .02", " .05", " .1", " .2", " .5",
                                " 1",    " 2",   " 5",   " 10",  " 20", " 50"};
    for (std::size_t k = 0; k < std::size(ranges); ++k)
        EXPECT_EQ(spacedNumber(static_cast<double>(ranges[k])).toStdString(), rangeTexts[k]);
    // A double that is not a float keeps its own shortest digits.
    EXPECT_EQ(spacedNumber(0.1).toStdString(), " .1");
    EXPECT_EQ(spacedNumber(1.0 / 3.0).toStdString(), " .3333333333333333");

    EXPECT_EQ(spacedNumber(3).toStdString(), " 3");
    EXPECT_EQ(spacedNumber(-16).toStdString(), "-16");
    EXPECT_EQ(plainNumber(3).toStdString(), "3");
    EXPECT_EQ(plainNumber(-400).toStdString(), "-400");
}

TEST(Numbers, SpacedNumberReadsBackAsTheSameValue)
{
    std::mt19937 gen(1234);
    std::uniform_real_distribution<double> mant(-10.0, 10.0);
    std::uniform_int_distribution<int> expo(-12, 18);
    for (int k = 0; k < 5000; ++k) {
        const double d = mant(gen) * std::pow(10.0, expo(gen));
        EXPECT_EQ(readNumber(spacedNumber(d)), d) << spacedNumber(d).toStdString();
        const auto f = static_cast<float>(d);
        EXPECT_EQ(static_cast<float>(readNumber(spacedNumber(static_cast<double>(f)))), f);
    }
}
