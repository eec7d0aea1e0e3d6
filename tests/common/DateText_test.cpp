#include "common/DateText.h"

#include "common/Numbers.h"

#include <gtest/gtest.h>

using namespace hs;

TEST(DateText, FormsOfOneInstant)
{
    const QDateTime t(QDate(2004, 2, 7), QTime(9, 5, 3));
    EXPECT_EQ(dateBoxText(t.date()), QStringLiteral("2004/02/07"));
    EXPECT_EQ(timeBoxText(t.time()), QStringLiteral("09:05"));
    EXPECT_EQ(yymmddText(t.date()), QStringLiteral("040207"));
    EXPECT_EQ(readNumber(yymmddText(t.date())), 40207.0);
    EXPECT_EQ(waveFileStamp(t), QStringLiteral("20040207-0905"));
    EXPECT_EQ(generalDateTimeText(t), QStringLiteral("2004/02/07 9:05:03"));
    EXPECT_EQ(generalDateTimeText(QDateTime(QDate(2010, 11, 30), QTime(23, 59, 59))),
              QStringLiteral("2010/11/30 23:59:59"));
    EXPECT_EQ(generalDateTimeText(QDateTime(QDate(2000, 1, 1), QTime(0, 0))),
              QStringLiteral("2000/01/01 0:00:00"));
    EXPECT_EQ(yymmddText(QDate(2000, 12, 31)), QStringLiteral("001231"));
}

TEST(DateText, FloppyFileNameFromScheduledTime)
{
    EXPECT_EQ(recorderFloppyFileName(QDateTime(QDate(2004, 12, 7), QTime(9, 5))),
              QStringLiteral("07D9H05.WAV"));
    EXPECT_EQ(recorderFloppyFileName(QDateTime(QDate(2004, 12, 7), QTime(14, 30))),
              QStringLiteral("07D14H30.WAV"));
    // Midnight still has a time part, so the name stays well formed.
    EXPECT_EQ(recorderFloppyFileName(QDateTime(QDate(2004, 12, 31), QTime(0, 0))),
              QStringLiteral("31D0H00.WAV"));
}

TEST(DateText, DateBoxParsing)
{
    EXPECT_EQ(parseDateBox(u"2004/02/02"), QDate(2004, 2, 2));
    EXPECT_EQ(parseDateBox(u" 2004/2/2 "), QDate(2004, 2, 2));
    EXPECT_EQ(parseDateBox(u"2004-12-31"), QDate(2004, 12, 31));
    EXPECT_EQ(parseDateBox(u"04/02/29"), QDate(2004, 2, 29));
    EXPECT_EQ(parseDateBox(u"99/01/01"), QDate(1999, 1, 1));
    for (const char16_t* bad :
         {u"", u"2004/02/30", u"2003/02/29", u"2004/13/01", u"2004/00/10", u"2004/02",
          u"2004/02/02/01", u"abcd/ef/gh", u"2004/0x/01", u"200/02/02", u"2004/002/02",
          u"2004/-1/02", u"0000/01/01", u"2004/02/02 12:00", u"２００４/02/02"}) {
        EXPECT_EQ(parseDateBox(bad), std::nullopt) << QString::fromUtf16(bad).toStdString();
    }
}

TEST(DateText, TimeBoxParsingAndCombinedDateTime)
{
    EXPECT_EQ(parseTimeBox(u"12:00"), QTime(12, 0));
    EXPECT_EQ(parseTimeBox(u"9:5"), QTime(9, 5));
    EXPECT_EQ(parseTimeBox(u" 23:59"), QTime(23, 59));
    for (const char16_t* bad :
         {u"", u"24:00", u"12:60", u"12", u"12:00:00", u"1200", u"ab:cd", u"-1:00", u"12:"}) {
        EXPECT_EQ(parseTimeBox(bad), std::nullopt) << QString::fromUtf16(bad).toStdString();
    }
    EXPECT_EQ(boxesDateTime(u"2004/02/02", u"12:00"),
              QDateTime(QDate(2004, 2, 2), QTime(12, 0, 1)));
    EXPECT_EQ(boxesDateTime(u"2004/02/30", u"12:00"), std::nullopt);
    EXPECT_EQ(boxesDateTime(u"2004/02/02", u"25:00"), std::nullopt);
}

TEST(DateText, SpinnersWrapAndKeepTheirForm)
{
    EXPECT_EQ(stepDateText(u"2004/02/28", 1), QStringLiteral("2004/02/29"));
    EXPECT_EQ(stepDateText(u"2004/12/31", 1), QStringLiteral("2005/01/01"));
    EXPECT_EQ(stepDateText(u"2004/3/1", -1), QStringLiteral("2004/02/29"));
    EXPECT_EQ(stepDateText(u"garbage", 1), std::nullopt);
    EXPECT_EQ(stepDateText(u"9999/12/31", 1), std::nullopt);

    EXPECT_EQ(stepTimeText(u"00:00", -1), QStringLiteral("23:59"));
    EXPECT_EQ(stepTimeText(u"23:59", 1), QStringLiteral("00:00"));
    EXPECT_EQ(stepTimeText(u"09:59", 1), QStringLiteral("10:00"));
    EXPECT_EQ(stepTimeText(u"9:15", 1), QStringLiteral("09:16"));
    EXPECT_EQ(stepTimeText(u"", 1), QStringLiteral("00:01"));
    EXPECT_EQ(stepTimeText(u"xx", -1), QStringLiteral("23:59"));
    EXPECT_EQ(stepTimeText(u"99:99", 1), QStringLiteral("04:40")); // read by position, wrapped
    EXPECT_EQ(stepTimeText(u"-5:00", 1), QStringLiteral("19:01"));
}
