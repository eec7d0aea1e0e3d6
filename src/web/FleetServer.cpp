#include "web/FleetServer.h"

#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace hs::web {

namespace {

// Save times a station's day is expected to hold: a whole day, or today up to the station's
// last status.
int expectedRecords(const QJsonObject& status, const QDate& day, const QDate& today)
{
    const int interval = status.value(QStringLiteral("saveIntervalMin")).toInt(0);
    if (interval <= 0 || day > today)
        return 0;
    if (day < today)
        return 1440 / interval;
    const QDateTime seen =
        QDateTime::fromString(status.value(QStringLiteral("time")).toString(), Qt::ISODate);
    if (!seen.isValid() || seen.date() != day)
        return 1440 / interval;
    return (seen.time().hour() * 60 + seen.time().minute()) / interval;
}

QJsonObject stationJson(fleet::FleetStore& store, const fleet::StationRow& row, const QDate& today,
                        int days, int trendPoints, FleetVerdicts* verdicts)
{
    const QJsonObject status = QJsonDocument::fromJson(row.status.toUtf8()).object();
    const QDate from = today.addDays(1 - days);
    const std::map<QDate, int> present = store.recordsPerDay(row.name, from, today);
    QJsonArray strip;
    bool started = false;
    for (QDate d = from; d <= today; d = d.addDays(1)) {
        const auto it = present.find(d);
        const int count = it == present.end() ? 0 : it->second;
        started = started || count > 0;
        strip.append(QJsonObject{
            {QStringLiteral("date"), d.toString(Qt::ISODate)},
            {QStringLiteral("records"), count},
            {QStringLiteral("expected"), started ? expectedRecords(status, d, today) : 0}});
    }
    QJsonArray trend;
    for (const auto& p : store.trend(row.name, trendPoints))
        trend.append(QJsonArray{p.time, p.v1, p.i1, p.thdV, p.thdI});
    QJsonObject out{{QStringLiteral("name"), row.name},
                    {QStringLiteral("online"), row.online},
                    {QStringLiteral("seen"), row.seen},
                    {QStringLiteral("lastRecord"), row.lastRecord},
                    {QStringLiteral("run"), status.value(QStringLiteral("run"))},
                    {QStringLiteral("nextSave"), status.value(QStringLiteral("nextSave"))},
                    {QStringLiteral("feeders"), status.value(QStringLiteral("feeders"))},
                    {QStringLiteral("days"), strip},
                    {QStringLiteral("trend"), trend}};
    if (verdicts)
        out.insert(QStringLiteral("compliance"),
                   verdicts->verdict(store, row.name, row.lastRecord));
    return out;
}

} // namespace

QJsonObject FleetDocument(fleet::FleetStore& store, const QDate& today, int days, int trendPoints,
                          QString* error, FleetVerdicts* verdicts)
{
    QJsonArray stations;
    for (const fleet::StationRow& row : store.stations(error))
        stations.append(stationJson(store, row, today, days, trendPoints, verdicts));
    return {{QStringLiteral("today"), today.toString(Qt::ISODate)},
            {QStringLiteral("trendColumns"),
             QJsonArray{QStringLiteral("time"), QStringLiteral("V1"), QStringLiteral("I1"),
                        QStringLiteral("THD_V"), QStringLiteral("THD_I")}},
            {QStringLiteral("stations"), stations}};
}

FleetServer::FleetServer(fleet::DatabaseSpec database, const ServeOptions& options,
                         std::optional<LimitSelection> limits, QObject* parent)
    : PageServer(options, parent), database_(std::move(database))
{
    if (limits)
        verdicts_.emplace(std::move(*limits));
}

PageServer::Reply FleetServer::route(const QHttpServerRequest& request)
{
    const QString path = request.url().path();
    if (path == QStringLiteral("/") || path == QStringLiteral("/index.html"))
        return resource(QStringLiteral("fleet.html"), "text/html; charset=utf-8");
    if (path == QStringLiteral("/fleet.js"))
        return resource(QStringLiteral("fleet.js"), "text/javascript; charset=utf-8");
    if (path == QStringLiteral("/style.css") || path == QStringLiteral("/fleet.css"))
        return resource(path.mid(1), "text/css; charset=utf-8");
    if (path != QStringLiteral("/api/fleet"))
        return error(404, "not found\n");
    if (fleetAge_.isValid() && !fleetAge_.hasExpired(kReuseMs))
        return fleetReply_;
    QString why;
    if (!store_.ping() && !store_.open(database_, &why))
        return json({{QStringLiteral("error"), QStringLiteral("database: ") + why}}, 503);
    why.clear();
    const QJsonObject doc = FleetDocument(store_, QDate::currentDate(), kDays, kTrendPoints, &why,
                                          verdicts_ ? &*verdicts_ : nullptr);
    if (!why.isEmpty())
        return json({{QStringLiteral("error"), QStringLiteral("database: ") + why}}, 503);
    fleetReply_ = json(doc);
    fleetAge_.start();
    return fleetReply_;
}

} // namespace hs::web
