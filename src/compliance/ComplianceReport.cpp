#include "compliance/ComplianceReport.h"

#include <QTimeZone>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace hs {

namespace {

constexpr float kNoValue = std::numeric_limits<float>::quiet_NaN();

Failure<Error> refuse(const QString& text)
{
    return fail(Error{1, text});
}

// The value of a per-feeder parameter list for feeder f (1-based).
std::optional<double> perFeeder(const std::vector<double>& list, int f)
{
    if (list.size() == 1)
        return list.front();
    if (f >= 1 && static_cast<std::size_t>(f) <= list.size())
        return list[static_cast<std::size_t>(f - 1)];
    return std::nullopt;
}

QString bandLabels(const LimitSection& s)
{
    QStringList labels;
    for (const LimitBand& b : s.bands)
        labels << b.label;
    return labels.join(QStringLiteral(", "));
}

// The band of a section for the parameters of feeder f.
Result<const LimitBand*> chooseBand(const LimitProfile& p, const LimitSection& s,
                                    const ComplianceParameters& params, int f)
{
    double value = 0;
    if (s.selectBy == QLatin1String("kv")) {
        if (!params.kv)
            return refuse(QStringLiteral("--kv: the profile %1 chooses its limits by the "
                                         "voltage in kV (%2)")
                              .arg(p.id, bandLabels(s)));
        value = *params.kv;
    } else if (s.selectBy == QLatin1String("iscOverIl")) {
        const std::optional<double> isc = perFeeder(params.isc, f);
        const std::optional<double> il = perFeeder(params.il, f);
        if (!il || !(*il > 0))
            return refuse(QStringLiteral("--il: feeder %1 needs its maximum demand load "
                                         "current IL in A, above 0").arg(f));
        if (!isc || !(*isc > 0))
            return refuse(QStringLiteral("--isc: feeder %1 needs its short-circuit current "
                                         "Isc in A, above 0").arg(f));
        value = *isc / *il;
    }
    const LimitBand* band = s.band(value);
    if (!band)
        return refuse(QStringLiteral("%1: the profile %2 has no limits for %3 (bands: %4); a "
                                     "limits file (--limits) can add them")
                          .arg(s.selectBy == QLatin1String("kv") ? QStringLiteral("--kv")
                                                                 : QStringLiteral("--isc/--il"),
                               p.id, QString::number(value), bandLabels(s)));
    return band;
}

} // namespace

Result<std::optional<SubjectLimits>> resolveSubjectLimits(const LimitProfile& profile,
                                                          const ComplianceParameters& params,
                                                          int feeder)
{
    const LimitSection& s = feeder == 0 ? profile.voltage : profile.current;
    if (!s.present)
        return std::optional<SubjectLimits>{};
    Result<const LimitBand*> band = chooseBand(profile, s, params, feeder);
    if (!band)
        return fail(band.error());
    SubjectLimits out;
    out.current = feeder != 0;
    out.feeder = feeder;
    out.totalUpTo = s.totalUpTo;
    out.bandLabel = band.value()->label;
    double scale = 1.0; // from the profile's unit to the subject's
    out.unit = QStringLiteral("%");
    if (s.unit == LimitUnit::PercentOfIL) {
        out.unit = QStringLiteral("%IL");
        out.base = *perFeeder(params.il, feeder); // checked by chooseBand
    } else if (s.unit == LimitUnit::MilliampPerKw) {
        const std::optional<double> kw = perFeeder(params.contractKw, feeder);
        if (!kw || !(*kw > 0))
            return refuse(QStringLiteral("--contract-kw: feeder %1 needs its contract demand in "
                                         "kW, above 0").arg(feeder));
        out.unit = QStringLiteral("A");
        scale = *kw / 1000.0;
    }
    for (int k : s.limitedOrders(*band.value()))
        out.quantities.push_back({k, *s.orderLimit(*band.value(), k) * scale});
    if (band.value()->total && out.unit != QLatin1String("A"))
        out.quantities.push_back({0, *band.value()->total});
    return std::optional<SubjectLimits>{out};
}

Result<void> checkComplianceParameters(const LimitProfile& profile,
                                       const ComplianceParameters& params, int feeders)
{
    for (const auto* list : {&params.contractKw, &params.il, &params.isc}) {
        for (double v : *list) {
            if (!(v > 0))
                return refuse(QStringLiteral("%1: values must be above 0 (%2 given)")
                                  .arg(list == &params.contractKw ? QStringLiteral("--contract-kw")
                                       : list == &params.il        ? QStringLiteral("--il")
                                                                   : QStringLiteral("--isc"))
                                  .arg(v));
        }
    }
    for (int f = 0; f <= feeders; ++f) {
        if (auto limits = resolveSubjectLimits(profile, params, f); !limits)
            return fail(limits.error());
    }
    return {};
}

qint64 localSeconds(const QDateTime& time)
{
    return time.toSecsSinceEpoch() + time.offsetFromUtc();
}

QString localSecondsText(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, QTimeZone::utc())
        .toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

bool ComplianceReport::anyExceeded() const
{
    return std::any_of(subjects.begin(), subjects.end(),
                       [](const SubjectResult& s) { return s.exceeded; });
}

ComplianceEvaluator::ComplianceEvaluator(LimitProfile profile, ComplianceParameters params)
    : profile_(std::move(profile)), params_(std::move(params))
{
}

Result<ComplianceEvaluator::Subject*> ComplianceEvaluator::subject(QChar phase, int feeder)
{
    const auto key = std::make_pair(phase.unicode(), feeder);
    if (auto it = subjects_.find(key); it != subjects_.end())
        return &it->second;
    auto limits = resolveSubjectLimits(profile_, params_, feeder);
    if (!limits)
        return fail(limits.error());
    if (!limits.value())
        return static_cast<Subject*>(nullptr);
    Subject& s = subjects_[key];
    s.limits = *limits.value();
    s.phase = phase;
    s.series.resize(s.limits.quantities.size());
    s.flow.resize(s.limits.quantities.size());
    return &s;
}

Result<void> ComplianceEvaluator::add(RecordSource& source)
{
    sources_ << source.name();
    ResultRecord record;
    while (source.next(record)) {
        if (auto added = addRecord(source.orders(), source.feeders(), source.phase(), record);
            !added)
            return added;
    }
    if (!source.error().isEmpty())
        return refuse(source.error());
    return {};
}

namespace {

// The values of a subject's quantities in one record: NaN for an order the record lacks.
void recordValues(const SubjectLimits& limits, const std::array<int, 257>& pos,
                  const std::vector<float>& byOrder, std::vector<float>& out)
{
    out.assign(limits.quantities.size(), kNoValue);
    double scale = 1.0;
    if (!limits.current) {
        const float v1 = pos[1] >= 0 ? byOrder[static_cast<std::size_t>(pos[1])] : 0.0f;
        if (!(v1 > 0))
            return; // no fundamental: no ratio
        scale = 100.0 / v1;
    } else if (limits.unit == QLatin1String("%IL")) {
        scale = 100.0 / limits.base;
    }
    double sumSquares = 0;
    for (int k = 2; k <= std::min(limits.totalUpTo, 256); ++k) {
        if (pos[static_cast<std::size_t>(k)] >= 0) {
            const double v = byOrder[static_cast<std::size_t>(pos[static_cast<std::size_t>(k)])];
            sumSquares += v * v;
        }
    }
    for (std::size_t q = 0; q < limits.quantities.size(); ++q) {
        const int k = limits.quantities[q].order;
        if (k == 0)
            out[q] = static_cast<float>(std::sqrt(sumSquares) * scale);
        else if (const int at = pos[static_cast<std::size_t>(k)]; at >= 0)
            out[q] = static_cast<float>(byOrder[static_cast<std::size_t>(at)] * scale);
    }
}

std::array<int, 257> orderPositions(const std::vector<int>& orders)
{
    std::array<int, 257> pos;
    pos.fill(-1);
    for (std::size_t i = 0; i < orders.size(); ++i) {
        if (orders[i] >= 1 && orders[i] <= 256)
            pos[static_cast<std::size_t>(orders[i])] = static_cast<int>(i);
    }
    return pos;
}

} // namespace

std::vector<float> recordQuantityValues(const SubjectLimits& limits, const std::vector<int>& orders,
                                        const std::vector<float>& byOrder)
{
    std::vector<float> out;
    if (byOrder.size() >= orders.size())
        recordValues(limits, orderPositions(orders), byOrder, out);
    else
        out.assign(limits.quantities.size(), kNoValue);
    return out;
}

Result<void> ComplianceEvaluator::addRecord(const std::vector<int>& orders, int feeders,
                                            QChar phase, const ResultRecord& record)
{
    if ((params_.from && record.time <= *params_.from) || (params_.to && record.time > *params_.to)) {
        ++outside_;
        return {};
    }
    ++records_;
    const std::array<int, 257> pos = orderPositions(orders);
    const qint64 t = localSeconds(record.time);
    std::vector<float> values;
    for (int f = 0; f <= feeders; ++f) {
        Result<Subject*> found = subject(phase, f);
        if (!found)
            return fail(found.error());
        Subject* s = found.value();
        const std::vector<float>* byOrder =
            f == 0 ? &record.voltage
                   : (static_cast<std::size_t>(f) <= record.current.size() ? &record.current[static_cast<std::size_t>(f - 1)] : nullptr);
        if (!s || !byOrder || byOrder->size() < orders.size())
            continue;
        for (int k = 2; k <= s->limits.totalUpTo && k <= 256; k += 2)
            s->oddOnly = s->oddOnly || pos[static_cast<std::size_t>(k)] < 0;
        recordValues(s->limits, pos, *byOrder, values);
        s->times.push_back(t);
        for (std::size_t q = 0; q < values.size(); ++q)
            s->series[q].push_back(values[q]);
        const auto* angles = f > 0 && static_cast<std::size_t>(f) <= record.powerAngle.size()
                                 ? &record.powerAngle[static_cast<std::size_t>(f - 1)]
                                 : nullptr;
        for (std::size_t q = 0; q < s->limits.quantities.size(); ++q) {
            const int k = s->limits.quantities[q].order;
            const int at = k > 0 ? pos[static_cast<std::size_t>(k)] : -1;
            std::int8_t sign = 0;
            if (angles && at >= 0 && static_cast<std::size_t>(at) < angles->size())
                sign = std::abs((*angles)[static_cast<std::size_t>(at)]) > 90 ? -1 : 1;
            s->flow[q].push_back(sign);
        }
    }
    return {};
}

namespace {

double statisticOf(const SeriesStats& s, LimitStatistic statistic)
{
    switch (statistic) {
    case LimitStatistic::P95: return s.p95;
    case LimitStatistic::P99: return s.p99;
    case LimitStatistic::Max: return s.max;
    case LimitStatistic::Mean: return s.mean;
    }
    return s.p95;
}

// The window values of one quantity without the windows that have none, with their times.
void finiteValues(const std::vector<qint64>& ends, const std::vector<float>& values,
                  std::vector<qint64>& times, std::vector<float>& out)
{
    times.clear();
    out.clear();
    for (std::size_t w = 0; w < values.size(); ++w) {
        if (std::isfinite(values[w])) {
            times.push_back(ends[w]);
            out.push_back(values[w]);
        }
    }
}

QString subjectLabel(QChar phase, int feeder)
{
    const QString base =
        feeder == 0 ? QStringLiteral("電圧") : QStringLiteral("フィーダ%1").arg(feeder);
    return phase.isNull() ? base : QStringLiteral("%1相 %2").arg(phase).arg(base);
}

} // namespace

SubjectResult ComplianceEvaluator::evaluateSubject(const Subject& s, qint64 periodStart,
                                                   qint64 periodEnd) const
{
    SubjectResult r;
    r.label = subjectLabel(s.phase, s.limits.feeder);
    r.phase = s.phase;
    r.limits = s.limits;
    const LimitSection& section = s.limits.current ? profile_.current : profile_.voltage;
    r.statistic = section.statistic;
    r.totalFromOddOrdersOnly = s.oddOnly;
    // Time order, each save time once.
    std::vector<std::size_t> order(s.times.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return s.times[a] < s.times[b]; });
    order.erase(std::unique(order.begin(), order.end(),
                            [&](std::size_t a, std::size_t b) { return s.times[a] == s.times[b]; }),
                order.end());
    std::vector<qint64> times;
    times.reserve(order.size());
    for (std::size_t i : order)
        times.push_back(s.times[i]);
    r.intervalSeconds = recordInterval(times);
    const qint64 start = periodStart != 0 ? periodStart : (times.empty() ? 0 : times.front() - r.intervalSeconds);
    r.coverage = findCoverage(times, r.intervalSeconds, start, periodEnd);
    const qint64 window = section.windowMinutes * 60LL;
    r.aggregated = r.intervalSeconds > 0 && r.intervalSeconds < window;
    r.windowSeconds = r.aggregated ? window : r.intervalSeconds;
    WindowMap map;
    if (r.aggregated) {
        map = mapWindows(times, window);
    } else {
        map.ends = times;
        map.windowOf.resize(times.size());
        std::iota(map.windowOf.begin(), map.windowOf.end(), 0);
    }
    r.windowEnds = map.ends;
    std::vector<char> orderOver(map.ends.size(), 0), totalOver(map.ends.size(), 0), any(map.ends.size(), 0);
    std::vector<float> values;
    std::vector<qint64> valueTimes;
    for (std::size_t q = 0; q < s.limits.quantities.size(); ++q) {
        std::vector<float> sorted;
        sorted.reserve(order.size());
        for (std::size_t i : order)
            sorted.push_back(s.series[q][i]);
        QuantityResult qr;
        qr.order = s.limits.quantities[q].order;
        qr.limit = s.limits.quantities[q].limit;
        for (std::size_t i : order) {
            qr.outflow += s.flow[q][i] < 0;
            qr.inflow += s.flow[q][i] > 0;
        }
        qr.windowValues = aggregateRms(map, sorted);
        finiteValues(map.ends, qr.windowValues, valueTimes, values);
        if (values.empty()) {
            r.notEvaluated.push_back(qr.order);
            continue;
        }
        qr.stats = summarise(valueTimes, values);
        qr.value = statisticOf(qr.stats, r.statistic);
        qr.margin = (qr.limit - qr.value) / qr.limit * 100.0;
        qr.exceeded = qr.value > qr.limit;
        for (std::size_t w = 0; w < qr.windowValues.size(); ++w) {
            const float v = qr.windowValues[w];
            if (!std::isfinite(v))
                continue;
            any[w] = 1;
            if (v > qr.limit) {
                qr.exceedances.emplace_back(map.ends[w], v);
                (qr.order == 0 ? totalOver : orderOver)[w] = 1;
            }
        }
        r.exceeded = r.exceeded || qr.exceeded;
        if (r.worst < 0 || qr.margin < r.quantities[static_cast<std::size_t>(r.worst)].margin)
            r.worst = static_cast<int>(r.quantities.size());
        r.quantities.push_back(std::move(qr));
    }
    r.n = std::count(any.begin(), any.end(), 1);
    r.n1 = std::count(orderOver.begin(), orderOver.end(), 1);
    r.n2 = std::count(totalOver.begin(), totalOver.end(), 1);
    return r;
}

Result<ComplianceReport> ComplianceEvaluator::evaluate() const
{
    if (records_ == 0) {
        if (outside_ > 0)
            return refuse(QStringLiteral("--from/--to: none of the %1 records lies in the period")
                              .arg(outside_));
        return refuse(QStringLiteral("no records to report on"));
    }
    ComplianceReport report;
    report.profile = profile_;
    report.params = params_;
    report.sources = sources_;
    qint64 last = 0;
    for (const auto& [key, s] : subjects_) {
        for (qint64 t : s.times)
            last = std::max(last, t);
    }
    report.periodStart = params_.from ? localSeconds(*params_.from) : 0;
    report.periodEnd = params_.to ? localSeconds(*params_.to) : last;
    if (outside_ > 0)
        report.notes << QStringLiteral("期間外の記録 %1 件は除外しました").arg(outside_);
    for (const auto& [key, s] : subjects_) {
        report.subjects.push_back(evaluateSubject(s, report.periodStart, report.periodEnd));
        if (report.periodStart == 0 && !s.times.empty())
            report.periodStart = *std::min_element(s.times.begin(), s.times.end()) -
                                 report.subjects.back().intervalSeconds;
    }
    return report;
}

} // namespace hs
