#pragma once

#include "files/ResultFormat.h"

#include <QDateTime>
#include <QJsonObject>

namespace hs {
struct ResultFile;
struct ResultRecord;
} // namespace hs

namespace hs::web {

class RunFeed;
class RunFiles;

// The documents of the status page's JSON API (see the notes of the status page for their
// fields). Times are the station's calendar, "yyyy-MM-ddTHH:mm:ss".

// /api/status: the status and summary lines, recorders, tallies, schedule, outages, gaps,
// messages and the run's files.
QJsonObject StatusDocument(const RunFeed& feed, RunFiles& files);

// /api/shot: the last analysed shot of feeder (1-based) by order; an object with "error" when
// there is no shot yet or no such feeder.
QJsonObject ShotDocument(const RunFeed& feed, int feeder);

// /api/records: the records saved from..to (either may be invalid: open end) with the
// fundamental voltage and current and the total distortion of both per feeder, computed over
// the orders the file holds.
QJsonObject RecordsDocument(const ResultFile& file, const QDateTime& from, const QDateTime& to);

QString TimeText(const QDateTime& t);

} // namespace hs::web
