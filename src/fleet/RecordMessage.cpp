#include "fleet/RecordMessage.h"

#include "files/ResultExport.h"
#include "files/ResultFormat.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>
#include <limits>

namespace hs::fleet {

QString RecordTopic(const QString& prefix, const QString& station)
{
    return prefix + QLatin1Char('/') + station + QStringLiteral("/record");
}
QString StatusTopic(const QString& prefix, const QString& station)
{
    return prefix + QLatin1Char('/') + station + QStringLiteral("/status");
}
QString EventTopic(const QString& prefix, const QString& station)
{
    return prefix + QLatin1Char('/') + station + QStringLiteral("/event");
}

bool ValidStationName(const QString& name)
{
    if (name.isEmpty() || name.toUtf8().size() > 128)
        return false;
    for (const QChar c : name)
        if (!c.isPrint() || c == QLatin1Char('/') || c == QLatin1Char('+') || c == QLatin1Char('#'))
            return false;
    return true;
}

QByteArray RecordMessageJson(const QString& station, const QString& run, std::optional<int> shots,
                             const ResultFile& file, const ResultRecord& record)
{
    QJsonObject o = ResultRecordDocument(file, record);
    o.insert(QStringLiteral("station"), station);
    o.insert(QStringLiteral("run"), run);
    o.insert(QStringLiteral("saveTime"), record.time.toString(Qt::ISODate));
    o.insert(QStringLiteral("shots"), shots ? QJsonValue(*shots) : QJsonValue());
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

namespace {

float floatOf(const QJsonValue& v)
{
    return v.isDouble() ? static_cast<float>(v.toDouble())
                        : std::numeric_limits<float>::quiet_NaN();
}

// An array of n numbers (null for a value that was not finite); false when it is not one.
bool readFloats(const QJsonValue& v, std::size_t n, std::vector<float>& out)
{
    const QJsonArray a = v.toArray();
    if (!v.isArray() || static_cast<std::size_t>(a.size()) != n)
        return false;
    out.clear();
    for (const QJsonValue& x : a) {
        if (!x.isDouble() && !x.isNull())
            return false;
        out.push_back(floatOf(x));
    }
    return true;
}

bool readAngles(const QJsonValue& v, std::size_t n, std::vector<std::int16_t>& out)
{
    const QJsonArray a = v.toArray();
    if (!v.isArray() || static_cast<std::size_t>(a.size()) != n)
        return false;
    out.clear();
    for (const QJsonValue& x : a) {
        const double d = x.toDouble(1e9);
        if (!x.isDouble() || d != std::floor(d) || d < -32768 || d > 32767)
            return false;
        out.push_back(static_cast<std::int16_t>(d));
    }
    return true;
}

bool readTriple(const QJsonValue& v, std::array<float, 3>& out)
{
    std::vector<float> f;
    if (!readFloats(v, 3, f))
        return false;
    std::copy(f.begin(), f.end(), out.begin());
    return true;
}

// The values of one record against the layout; empty when they fit, else what is wrong.
QString readValues(const QJsonObject& r, const RecordLayout& layout, ResultRecord& out)
{
    const std::size_t n = static_cast<std::size_t>(layout.orderCount());
    if (!readFloats(r.value(QStringLiteral("V")), n, out.voltage))
        return QStringLiteral("V");
    const QJsonObject current = r.value(QStringLiteral("I")).toObject();
    const QJsonObject angle = r.value(QStringLiteral("PA")).toObject();
    const QJsonObject rms = r.value(QStringLiteral("Irms")).toObject();
    const auto feeders = static_cast<std::size_t>(layout.feeders);
    out.current.assign(feeders, {});
    out.powerAngle.assign(feeders, {});
    out.curRms.assign(layout.hasRms() ? feeders : 0, {});
    for (std::size_t f = 0; f < feeders; ++f) {
        const QString key = QString::number(f + 1);
        if (!readFloats(current.value(key), n, out.current[f]))
            return QStringLiteral("I.") + key;
        if (!readAngles(angle.value(key), n, out.powerAngle[f]))
            return QStringLiteral("PA.") + key;
        if (layout.hasRms() && !readTriple(rms.value(key), out.curRms[f]))
            return QStringLiteral("Irms.") + key;
    }
    if (layout.hasVoltSuperAngle() &&
        !readAngles(r.value(QStringLiteral("VSA")), n, out.voltSuperAngle))
        return QStringLiteral("VSA");
    if (layout.hasCurSuperAngle() &&
        !readAngles(r.value(QStringLiteral("ISA1")), n, out.curSuperAngle))
        return QStringLiteral("ISA1");
    out.hasRms = layout.hasRms();
    if (layout.hasRms() && !readTriple(r.value(QStringLiteral("Vrms")), out.voltRms))
        return QStringLiteral("Vrms");
    return {};
}

} // namespace

std::optional<RecordMessage> ParseRecordMessage(const QByteArray& json, QString* error)
{
    const auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (json.size() > kMaxMessageBytes)
        return fail(QStringLiteral("larger than %1 bytes").arg(kMaxMessageBytes));
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (!doc.isObject())
        return fail(QStringLiteral("not a JSON object (%1)").arg(parseError.errorString()));
    const QJsonObject o = doc.object();
    RecordMessage m;
    m.station = o.value(QStringLiteral("station")).toString();
    m.run = o.value(QStringLiteral("run")).toString();
    if (!ValidStationName(m.station) || m.run.isEmpty() || m.run.size() > 128)
        return fail(QStringLiteral("station or run missing"));
    if (o.value(QStringLiteral("shots")).isDouble())
        m.shots = o.value(QStringLiteral("shots")).toInt();
    RecordLayout layout;
    layout.saveOption = o.value(QStringLiteral("saveOption")).toInt(-1);
    layout.feeders = o.value(QStringLiteral("feeders")).toInt(0);
    if (layout.saveOption < 0 || layout.saveOption > 4 || layout.feeders < 1 || layout.feeders > 9)
        return fail(QStringLiteral("saveOption or feeders out of range"));
    layout.orders256 = layout.saveOption == 4;
    const QString phase = o.value(QStringLiteral("phase")).toString();
    if (phase.size() > 1 || (phase.size() == 1 && !QStringLiteral("RTS").contains(phase)))
        return fail(QStringLiteral("phase is not R, T or S"));
    std::vector<int> orders;
    for (const QJsonValue& k : o.value(QStringLiteral("orders")).toArray())
        orders.push_back(k.toInt());
    if (orders != OrderSet(layout.orders256))
        return fail(QStringLiteral("orders are not the file's order set"));
    const QJsonArray records = o.value(QStringLiteral("records")).toArray();
    if (records.size() != 1 || !records.first().isObject())
        return fail(QStringLiteral("not exactly one record"));
    const QJsonObject r = records.first().toObject();
    ResultRecord record;
    record.time = QDateTime::fromString(r.value(QStringLiteral("time")).toString(), Qt::ISODate);
    if (!record.time.isValid())
        return fail(QStringLiteral("the record's time is not a date and time"));
    record.dateValue = RecordDateValue(record.time);
    record.timeValue = RecordTimeValue(record.time);
    if (const QString bad = readValues(r, layout, record); !bad.isEmpty())
        return fail(QStringLiteral("%1 does not fit %2 feeders and %3 orders")
                        .arg(bad)
                        .arg(layout.feeders)
                        .arg(layout.orderCount()));
    m.file.path = o.value(QStringLiteral("file")).toString();
    m.file.kind = ResultFileKind{layout.saveOption, layout.feeders,
                                 phase.isEmpty() ? QChar() : phase.front()};
    m.file.layout = layout;
    m.file.orders = std::move(orders);
    m.file.records.push_back(std::move(record));
    return m;
}

// ---- Run events -----------------------------------------------------------------------------

namespace {

template <typename T> QString nameOf(const T&)
{
    return QStringLiteral("event");
}
QString nameOf(const run::ShotAnalysed&)
{
    return QStringLiteral("shotAnalysed");
}
QString nameOf(const run::RecordSaved&)
{
    return QStringLiteral("recordSaved");
}
QString nameOf(const run::RecordSavedLate&)
{
    return QStringLiteral("recordSavedLate");
}
QString nameOf(const run::RecordsMissing&)
{
    return QStringLiteral("recordsMissing");
}
QString nameOf(const run::LinkLost&)
{
    return QStringLiteral("linkLost");
}
QString nameOf(const run::ReconnectAttempt&)
{
    return QStringLiteral("reconnectAttempt");
}
QString nameOf(const run::LinkBack&)
{
    return QStringLiteral("linkBack");
}
QString nameOf(const run::RecorderChanged&)
{
    return QStringLiteral("recorderChanged");
}
QString nameOf(const run::Stalled&)
{
    return QStringLiteral("stalled");
}
QString nameOf(const run::ShotsResumed&)
{
    return QStringLiteral("shotsResumed");
}
QString nameOf(const run::FileRecreated&)
{
    return QStringLiteral("fileRecreated");
}
QString nameOf(const run::WriteFailed&)
{
    return QStringLiteral("writeFailed");
}
QString nameOf(const run::AnalysisFailed&)
{
    return QStringLiteral("analysisFailed");
}
QString nameOf(const run::RunEnded&)
{
    return QStringLiteral("runEnded");
}

QString iso(const QDateTime& t)
{
    return t.toString(Qt::ISODate);
}

QJsonObject gapJson(const RunGap& g)
{
    return {{QStringLiteral("first"), iso(g.First)},
            {QStringLiteral("last"), iso(g.Last)},
            {QStringLiteral("count"), g.Count},
            {QStringLiteral("reason"), g.Reason}};
}

template <typename T> void addFields(QJsonObject&, const T&) {}
void addFields(QJsonObject& o, const run::RecordSaved& e)
{
    o.insert(QStringLiteral("saveTime"), iso(e.saveTime));
}
void addFields(QJsonObject& o, const run::RecordSavedLate& e)
{
    o.insert(QStringLiteral("saveTime"), iso(e.saveTime));
    o.insert(QStringLiteral("lateSeconds"), e.lateSeconds);
}
void addFields(QJsonObject& o, const run::RecordsMissing& e)
{
    o.insert(QStringLiteral("gap"), gapJson(e.gap));
}
void addFields(QJsonObject& o, const run::LinkLost& e)
{
    QJsonArray a;
    for (int r : e.recorders)
        a.append(r);
    o.insert(QStringLiteral("recorders"), a);
}
void addFields(QJsonObject& o, const run::LinkBack& e)
{
    o.insert(QStringLiteral("outageSeconds"), e.outageSeconds);
}
void addFields(QJsonObject& o, const run::RecorderChanged& e)
{
    o.insert(QStringLiteral("recorder"), e.recorder);
}
void addFields(QJsonObject& o, const run::Stalled& e)
{
    o.insert(QStringLiteral("failedShots"), e.failedShots);
}
void addFields(QJsonObject& o, const run::RunEnded& e)
{
    o.insert(QStringLiteral("recordsWritten"), e.recordsWritten);
    o.insert(QStringLiteral("recordsExpected"), e.recordsExpected);
    QJsonArray gaps;
    for (const RunGap& g : e.missing)
        gaps.append(gapJson(g));
    o.insert(QStringLiteral("missing"), gaps);
}

} // namespace

QString RunEventName(const RunEvent& event)
{
    return std::visit([](const auto& what) { return nameOf(what); }, event.what);
}

QJsonObject RunEventJson(const RunEvent& event)
{
    QJsonObject o{{QStringLiteral("type"), RunEventName(event)},
                  {QStringLiteral("text"), event.text}};
    std::visit([&o](const auto& what) { addFields(o, what); }, event.what);
    return o;
}

} // namespace hs::fleet
