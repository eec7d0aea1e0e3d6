#include "web/FleetVerdict.h"

#include <QJsonArray>

#include <cmath>

namespace hs::web {

namespace {

QJsonObject subjectJson(const SubjectResult& s)
{
    QJsonArray orders;
    for (const QuantityResult& q : s.quantities)
        if (q.exceeded && q.order != 0)
            orders.append(q.order);
    for (const QuantityResult& q : s.quantities)
        if (q.exceeded && q.order == 0)
            orders.append(0);
    QJsonObject out{{QStringLiteral("label"), s.label},
                    {QStringLiteral("feeder"), s.limits.feeder},
                    {QStringLiteral("exceeded"), s.exceeded},
                    {QStringLiteral("orders"), orders},
                    {QStringLiteral("totalName"),
                     s.limits.current ? QStringLiteral("TDD") : QStringLiteral("THD")}};
    if (s.worst >= 0 && std::isfinite(s.quantities[std::size_t(s.worst)].margin)) {
        const QuantityResult& w = s.quantities[std::size_t(s.worst)];
        out.insert(QStringLiteral("worstOrder"), w.order);
        out.insert(QStringLiteral("worstMargin"), std::round(w.margin * 10) / 10);
    }
    return out;
}

} // namespace

QJsonObject StationVerdict(fleet::FleetStore& store, const LimitSelection& selection,
                           const QString& station, const QDateTime& now, int days)
{
    ComplianceParameters params = selection.params;
    params.from = now.addDays(-days);
    params.to = now;
    QJsonObject out{{QStringLiteral("profile"), selection.profile.id},
                    {QStringLiteral("from"), params.from->toString(Qt::ISODate)},
                    {QStringLiteral("to"), now.toString(Qt::ISODate)}};
    const auto refuse = [&out](const QString& why) {
        out.insert(QStringLiteral("error"), why);
        return out;
    };
    std::vector<ResultFile> runs;
    QString why;
    if (!store.readRecords(station, *params.from, now, runs, &why))
        return refuse(QStringLiteral("database: ") + why);
    if (runs.empty())
        return refuse(QStringLiteral("直近%1日の記録なし").arg(days));
    ComplianceEvaluator evaluator(selection.profile, params);
    for (ResultFile& run : runs) {
        DecodedRecordSource source(std::move(run));
        if (auto ok = checkComplianceParameters(selection.profile, params, source.feeders()); !ok)
            return refuse(ok.error().text);
        if (auto ok = evaluator.add(source); !ok)
            return refuse(ok.error().text);
    }
    const Result<ComplianceReport> report = evaluator.evaluate();
    if (!report)
        return refuse(report.error().text);
    QJsonArray subjects;
    for (const SubjectResult& s : report->subjects)
        subjects.append(subjectJson(s));
    out.insert(QStringLiteral("records"), evaluator.recordsInPeriod());
    out.insert(QStringLiteral("exceeded"), report->anyExceeded());
    out.insert(QStringLiteral("subjects"), subjects);
    return out;
}

QJsonObject FleetVerdicts::verdict(fleet::FleetStore& store, const QString& station,
                                   const QString& lastRecord)
{
    Entry& e = cache_[station];
    const bool fresh = e.age.isValid() && !e.age.hasExpired(kMinAgeMs);
    if (e.age.isValid() && (fresh || e.lastRecord == lastRecord) && !e.age.hasExpired(kMaxAgeMs))
        return e.json;
    e.json = StationVerdict(store, selection_, station, QDateTime::currentDateTime(), kDays);
    e.lastRecord = lastRecord;
    e.age.start();
    return e.json;
}

} // namespace hs::web
