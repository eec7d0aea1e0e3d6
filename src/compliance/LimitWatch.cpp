#include "compliance/LimitWatch.h"

#include "files/ResultFormat.h"

#include <QFile>
#include <QJsonArray>

#include <cmath>

namespace hs {

namespace {

QString subjectName(int feeder, QChar phase)
{
    const QString base =
        feeder == 0 ? QStringLiteral("電圧") : QStringLiteral("フィーダ%1").arg(feeder);
    return phase.isNull() ? base : QStringLiteral("%1相 %2").arg(phase).arg(base);
}

QString quantityName(const SubjectLimits& limits, int order)
{
    if (order != 0)
        return QStringLiteral("%1次").arg(order);
    return limits.current ? QStringLiteral("TDD") : QStringLiteral("THD");
}

} // namespace

LimitWatch::LimitWatch(LimitSelection selection, const MeasurementSettings& settings,
                       EngineObserver* next, EngineObserver* report)
    : selection_(std::move(selection)), settings_(settings), next_(next), report_(report),
      evaluator_(selection_.profile, selection_.params)
{
}

void LimitWatch::status(const RunStatus& status)
{
    if (next_)
        next_->status(status);
}

void LimitWatch::message(const QString& text, const MessageSeverity& severity)
{
    if (next_)
        next_->message(text, severity);
}

void LimitWatch::runEvent(const RunEvent& event)
{
    if (next_)
        next_->runEvent(event);
    if (const auto* saved = event.as<run::RecordSaved>())
        readSavedRecords(saved->saveTime);
    else if (const auto* late = event.as<run::RecordSavedLate>())
        readSavedRecords(late->saveTime);
}

// The record just saved: the last whole record of each result file of the run.
void LimitWatch::readSavedRecords(const QDateTime& saveTime)
{
    RecordLayout layout;
    layout.saveOption = settings_.SaveOption();
    layout.feeders = settings_.LastFeeder + 1;
    layout.orders256 = settings_.Orders256;
    const std::vector<int> orders = OrderSet(layout.orders256);
    const QStringList names = ResultFileNames(settings_.OutputFile, settings_.MeasureType());
    const QString phases = names.size() == 3 ? QStringLiteral("RTS") : QString();
    const qint64 length = layout.recordLength();
    for (qsizetype i = 0; i < names.size(); ++i) {
        QFile file(names[i]);
        const qint64 records = file.size() / length;
        if (records == 0 || !file.open(QIODevice::ReadOnly) || !file.seek((records - 1) * length))
            continue;
        const QByteArray bytes = file.read(length);
        if (bytes.size() != length)
            continue;
        const ResultRecord record = DecodeResultRecord(layout, bytes.constData());
        // A record that did not reach the file leaves the previous one last: not checked again.
        if (record.time.date() != saveTime.date() ||
            record.time.time().hour() != saveTime.time().hour() ||
            record.time.time().minute() != saveTime.time().minute())
            continue;
        checkRecord(orders, layout.feeders, phases.isEmpty() ? QChar() : phases[i], record);
    }
}

void LimitWatch::checkRecord(const std::vector<int>& orders, int feeders, QChar phase,
                             const ResultRecord& record)
{
    if (auto added = evaluator_.addRecord(orders, feeders, phase, record); !added) {
        problem_ = added.error().text;
        return;
    }
    ++checked_;
    for (int f = 0; f <= feeders; ++f) {
        const auto limits = resolveSubjectLimits(selection_.profile, selection_.params, f);
        if (!limits || !limits.value())
            continue;
        const std::vector<float>* byOrder =
            f == 0 ? &record.voltage
            : static_cast<std::size_t>(f) <= record.current.size()
                ? &record.current[static_cast<std::size_t>(f - 1)]
                : nullptr;
        if (!byOrder)
            continue;
        const SubjectLimits& l = *limits.value();
        const std::vector<float> values = recordQuantityValues(l, orders, *byOrder);
        Watched& w = watched_[{phase.unicode(), f}];
        for (std::size_t q = 0; q < values.size(); ++q) {
            const QuantityLimit& ql = l.quantities[q];
            const bool over = std::isfinite(values[q]) && values[q] > ql.limit;
            if (!over) {
                w.over[ql.order] = false;
                continue;
            }
            const run::LimitExceeded e{record.time, f, phase, ql.order, values[q], ql.limit, l.unit};
            w.exceedances.push_back(e);
            if (w.exceedances.size() > kExceedancesKept)
                w.exceedances.pop_front();
            if (!w.over[ql.order])
                emitEvent(e);
            w.over[ql.order] = true;
        }
    }
}

QString LimitWatch::eventText(const run::LimitExceeded& e)
{
    SubjectLimits limits;
    limits.current = e.feeder != 0;
    return QStringLiteral("%1 限度値超過 %2 %3 %4%5 (限度値 %6%5)")
        .arg(e.saveTime.toString(QStringLiteral("yyyy/MM/dd HH:mm")), subjectName(e.feeder, e.phase),
             quantityName(limits, e.order), QString::number(e.value, 'f', 2), e.unit,
             QString::number(e.limit, 'f', 2));
}

void LimitWatch::emitEvent(const run::LimitExceeded& e)
{
    EngineObserver* to = report_ ? report_ : next_;
    if (to)
        to->runEvent({e, eventText(e), {}});
}

QJsonObject LimitWatch::toJson() const
{
    QJsonObject o{{QStringLiteral("active"), true},
                  {QStringLiteral("profile"), selection_.profile.id},
                  {QStringLiteral("title"), selection_.profile.titleJa},
                  {QStringLiteral("records"), checked_}};
    if (!problem_.isEmpty())
        o[QStringLiteral("problem")] = problem_;
    QJsonArray subjects;
    const Result<ComplianceReport> report = evaluator_.evaluate();
    if (!report) {
        o[QStringLiteral("subjects")] = subjects;
        return o;
    }
    for (const SubjectResult& s : report->subjects) {
        QJsonObject j{{QStringLiteral("label"), s.label},
                      {QStringLiteral("feeder"), s.limits.feeder},
                      {QStringLiteral("unit"), s.limits.unit},
                      {QStringLiteral("statistic"), limitStatisticName(s.statistic)},
                      {QStringLiteral("exceeded"), s.exceeded}};
        if (!s.phase.isNull())
            j[QStringLiteral("phase")] = QString(s.phase);
        if (s.worst >= 0) {
            const QuantityResult& q = s.quantities[static_cast<std::size_t>(s.worst)];
            j[QStringLiteral("worst")] = QJsonObject{
                {QStringLiteral("order"), q.order},
                {QStringLiteral("name"), quantityName(s.limits, q.order)},
                {QStringLiteral("value"), q.value},
                {QStringLiteral("p95"), q.stats.p95},
                {QStringLiteral("max"), q.stats.max},
                {QStringLiteral("limit"), q.limit},
                {QStringLiteral("margin"), q.margin}};
        }
        QJsonArray list;
        const auto it = watched_.find({s.phase.unicode(), s.limits.feeder});
        if (it != watched_.end()) {
            for (const run::LimitExceeded& e : it->second.exceedances)
                list.append(QJsonObject{
                    {QStringLiteral("time"), e.saveTime.toString(Qt::ISODate)},
                    {QStringLiteral("order"), e.order},
                    {QStringLiteral("name"), quantityName(s.limits, e.order)},
                    {QStringLiteral("value"), e.value},
                    {QStringLiteral("limit"), e.limit}});
        }
        j[QStringLiteral("exceedances")] = list;
        subjects.append(j);
    }
    o[QStringLiteral("subjects")] = subjects;
    return o;
}

} // namespace hs
