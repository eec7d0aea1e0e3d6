#pragma once

#include "files/ResultFileReader.h"
#include "model/RunEvents.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace hs::fleet {

// The topics of one station under a prefix: PREFIX/STATION/record, /status and /event.
QString RecordTopic(const QString& prefix, const QString& station);
QString StatusTopic(const QString& prefix, const QString& station);
QString EventTopic(const QString& prefix, const QString& station);

// Whether a station name can be one topic level (no '/', '+', '#', not empty, at most 128
// bytes, printable).
bool ValidStationName(const QString& name);

// Messages larger than this are not read (a record of 9 feeders and 256 orders is ~90 KB).
inline constexpr qsizetype kMaxMessageBytes = 1 << 20;

// One published record: the JSON export of the record (see ResultRecordDocument) with the
// station, its run, the save time and the shots the interval took (when the station counted
// them).
struct RecordMessage {
    QString station;
    QString run;
    std::optional<int> shots;
    ResultFile file; // kind, layout, orders and the one record
    const ResultRecord& record() const { return file.records.front(); }
};

QByteArray RecordMessageJson(const QString& station, const QString& run, std::optional<int> shots,
                             const ResultFile& file, const ResultRecord& record);
// Reads a record message back; nullopt with the reason in error when it is not one (not JSON,
// a member missing or of the wrong type, arrays that do not fit the layout, a bad time).
std::optional<RecordMessage> ParseRecordMessage(const QByteArray& json, QString* error);

// The name of a run event's type ("linkLost", "recordsMissing", ...) and the event as JSON:
// {"station", "run", "time", "type", "text", ...its fields}.
QString RunEventName(const RunEvent& event);
QJsonObject RunEventJson(const RunEvent& event);

} // namespace hs::fleet
