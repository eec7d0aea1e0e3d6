#include "common/DateText.h"

#include "common/Numbers.h"

#include <QStringList>

namespace hs {

namespace {

QString twoDigits(int n)
{
    return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0'));
}

// A run of 1..maxDigits ASCII digits making up the whole text; -1 otherwise.
int wholeNumber(QStringView text, int maxDigits)
{
    if (text.isEmpty() || text.size() > maxDigits)
        return -1;
    int value = 0;
    for (const QChar c : text) {
        if (c.unicode() < u'0' || c.unicode() > u'9')
            return -1;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value;
}

} // namespace

QString dateBoxText(const QDate& date)
{
    return QStringLiteral("%1/%2/%3")
        .arg(date.year(), 4, 10, QLatin1Char('0'))
        .arg(twoDigits(date.month()), twoDigits(date.day()));
}

QString timeBoxText(const QTime& time)
{
    return twoDigits(time.hour()) + u':' + twoDigits(time.minute());
}

QString yymmddText(const QDate& date)
{
    return twoDigits(date.year() % 100) + twoDigits(date.month()) + twoDigits(date.day());
}

QString waveFileStamp(const QDateTime& dateTime)
{
    const QDate d = dateTime.date();
    const QTime t = dateTime.time();
    return QStringLiteral("%1%2%3-%4%5")
        .arg(d.year(), 4, 10, QLatin1Char('0'))
        .arg(twoDigits(d.month()), twoDigits(d.day()), twoDigits(t.hour()), twoDigits(t.minute()));
}

QString generalDateTimeText(const QDateTime& dateTime)
{
    const QTime t = dateTime.time();
    return dateBoxText(dateTime.date()) + u' ' + QString::number(t.hour()) + u':' +
           twoDigits(t.minute()) + u':' + twoDigits(t.second());
}

QString noticeStampText(const QDateTime& dateTime)
{
    return dateTime.toString(QStringLiteral("yyyy/MM/dd HH:mm"));
}

QString recorderFloppyFileName(const QDateTime& dateTime)
{
    const QString text = generalDateTimeText(dateTime);
    const qsizetype blank = text.indexOf(u' ');
    const qsizetype colon = text.indexOf(u':', blank + 1);
    // The general form always has both; the bounds keep the cut inside the text regardless.
    const QString day = text.mid(qMax<qsizetype>(0, blank - 2), blank >= 2 ? 2 : 0);
    const QString hour = text.mid(blank + 1, qMax<qsizetype>(0, colon - blank - 1));
    const QString minute = colon >= 0 ? text.mid(colon + 1, 2) : QString();
    return day + u'D' + hour + u'H' + minute + QStringLiteral(".WAV");
}

std::optional<QDate> parseDateBox(QStringView text)
{
    const QString trimmed = text.trimmed().toString();
    const QChar sep = trimmed.contains(u'/') ? u'/' : u'-';
    const QStringList parts = trimmed.split(sep);
    if (parts.size() != 3)
        return std::nullopt;
    const QString& yearText = parts[0];
    int year = -1;
    if (yearText.size() == 4) {
        year = wholeNumber(yearText, 4);
    } else {
        year = wholeNumber(yearText, 2);
        if (year >= 0)
            year += year < 30 ? 2000 : 1900;
    }
    const int month = wholeNumber(parts[1], 2);
    const int day = wholeNumber(parts[2], 2);
    if (year < 1 || month < 0 || day < 0)
        return std::nullopt;
    const QDate date(year, month, day);
    if (!date.isValid())
        return std::nullopt;
    return date;
}

std::optional<QTime> parseTimeBox(QStringView text)
{
    const QString trimmed = text.trimmed().toString();
    const QStringList parts = trimmed.split(u':');
    if (parts.size() != 2)
        return std::nullopt;
    const int hour = wholeNumber(parts[0], 2);
    const int minute = wholeNumber(parts[1], 2);
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59)
        return std::nullopt;
    return QTime(hour, minute);
}

std::optional<QDateTime> boxesDateTime(QStringView dateText, QStringView timeText)
{
    const auto date = parseDateBox(dateText);
    const auto time = parseTimeBox(timeText);
    if (!date || !time)
        return std::nullopt;
    return QDateTime(*date, time->addSecs(1));
}

std::optional<QString> stepDateText(QStringView dateText, int days)
{
    const auto date = parseDateBox(dateText);
    if (!date)
        return std::nullopt;
    const QDate moved = date->addDays(days);
    if (!moved.isValid() || moved.year() < 1 || moved.year() > 9999)
        return std::nullopt;
    return dateBoxText(moved);
}

QString stepTimeText(QStringView timeText, int deltaMinutes)
{
    // A box typed with a one-digit hour ("9:15") would put the wrong characters at positions
    // 4 and 5, so a readable time is taken as it is; other texts are read by position.
    if (const auto time = parseTimeBox(timeText)) {
        const long long m = time->hour() * 60LL + time->minute() + deltaMinutes;
        const long long wrapped = ((m % 1440) + 1440) % 1440;
        return twoDigits(static_cast<int>(wrapped / 60)) + u':' +
               twoDigits(static_cast<int>(wrapped % 60));
    }
    const double hours = readNumber(timeText.mid(0, qMin<qsizetype>(2, timeText.size())));
    const double minutes =
        timeText.size() > 3 ? readNumber(timeText.mid(3, qMin<qsizetype>(2, timeText.size() - 3)))
                            : 0.0;
    // At most two characters each, so the sum stays small.
    const long long m =
        static_cast<long long>(roundHalfEven(hours * 60.0 + minutes)) + deltaMinutes;
    const long long wrapped = ((m % 1440) + 1440) % 1440;
    return twoDigits(static_cast<int>(wrapped / 60)) + u':' +
           twoDigits(static_cast<int>(wrapped % 60));
}

} // namespace hs
