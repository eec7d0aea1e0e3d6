#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringView>
#include <QTime>

#include <optional>

namespace hs {

// Date and time texts of the station. All take the calendar values they are given; "now" comes
// from the Clock, never from here.

// "yyyy/MM/dd", e.g. "2004/02/07" (the date boxes and the short date form).
QString dateBoxText(const QDate& date);
// "HH:mm", e.g. "09:05" (the time boxes).
QString timeBoxText(const QTime& time);
// "yymmdd", e.g. "040207" (the date field of the result files reads this text as a number).
QString yymmddText(const QDate& date);
// "yyyymmdd-hhmm", e.g. "20040207-0905" (waveform file names; hours 00..23).
QString waveFileStamp(const QDateTime& dateTime);
// The general date-time form: "yyyy/MM/dd", a blank, the hour without leading zero, ":",
// two-digit minutes, ":", two-digit seconds, e.g. "2004/12/07 9:05:00". The time is always
// written, midnight included ("2004/12/07 0:00:00").
QString generalDateTimeText(const QDateTime& dateTime);

// "yyyy/MM/dd HH:mm", e.g. "2004/12/07 09:05": the station time in front of a run's notice.
QString noticeStampText(const QDateTime& dateTime);

// The name under which a recorder stores a floppy-save waveform, taken from the general form
// of the scheduled time: the two characters before the first blank (day), "D", the characters
// between the blank and the first ":" (hour), "H", the two characters after that ":" (minutes),
// ".WAV". 7 December 9:05 gives "07D9H05.WAV", 14:30 gives "..D14H30.WAV".
QString recorderFloppyFileName(const QDateTime& dateTime);

// Reads a date box: year, month and day separated by "/" (or "-"), surrounding blanks allowed.
// A four-digit year is taken as written; a year of one or two digits means 1930..2029.
// Month and day may have one or two digits. Anything else, or a day that does not exist,
// gives nullopt.
std::optional<QDate> parseDateBox(QStringView text);
// Reads a time box: hour (0..23) ":" minutes (0..59), one or two digits each, surrounding
// blanks allowed. Anything else gives nullopt.
std::optional<QTime> parseTimeBox(QStringView text);
// The date-time the two boxes describe, at second 1 (boxes "2004/02/02" and "12:00" give
// 2004-02-02 12:00:01); nullopt when either box is not valid.
std::optional<QDateTime> boxesDateTime(QStringView dateText, QStringView timeText);

// The date box text moved by a number of days, written "yyyy/MM/dd"; nullopt when the box does
// not hold a valid date.
std::optional<QString> stepDateText(QStringView dateText, int days);
// The time spinner: minutes m = hours x 60 + minutes; m + delta wraps around the day
// (00:00 - 1 gives 23:59, 23:59 + 1 gives 00:00) and is written "HH:mm". A valid time box text
// ("09:15", "9:15") is read as such; any other text is read by position, the hours as a number
// from the first two characters and the minutes from characters 4 and 5, unreadable parts
// counting as 0.
QString stepTimeText(QStringView timeText, int deltaMinutes);

} // namespace hs
