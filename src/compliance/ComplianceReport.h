#pragma once

#include "common/Result.h"
#include "compliance/ComplianceStats.h"
#include "compliance/LimitProfile.h"
#include "compliance/RecordSource.h"

#include <QChar>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace hs {

// What the profile's limits depend on: the receiving or nominal voltage, and per feeder the
// contract demand (kW) or the maximum demand load current IL and the short-circuit current Isc
// (A). A list of one value serves every feeder; otherwise value i is feeder i + 1's.
struct ComplianceParameters {
    std::optional<double> kv;
    std::vector<double> contractKw;
    std::vector<double> il;
    std::vector<double> isc;
    std::optional<QDateTime> from; // records saved after from ...
    std::optional<QDateTime> to;   // ... up to to
};

// One limited quantity of a subject: an order (2..256) or the total (order 0: THD or TDD).
struct QuantityLimit {
    int order = 0;
    double limit = 0; // in the subject's unit
};

// The limits that apply to one subject (the voltage of a phase group, or a feeder's current),
// and how its values are formed from a record.
struct SubjectLimits {
    bool current = false;
    int feeder = 0;        // 1..9 for a current, 0 for the voltage
    QString unit;          // "%", "%IL" or "A"
    double base = 0;       // IL (A) for "%IL"
    int totalUpTo = 50;
    QString bandLabel;
    std::vector<QuantityLimit> quantities; // orders ascending, then the total
};

// The limits of feeder f (1-based; 0: the voltage) under a profile and its parameters; an
// error naming the parameter that is missing or wrong. nullopt inside the result when the
// profile has no section for that kind.
Result<std::optional<SubjectLimits>> resolveSubjectLimits(const LimitProfile& profile,
                                                          const ComplianceParameters& params,
                                                          int feeder);

// The values of a subject's quantities in one record (orders: the orders byOrder holds, as
// RecordSource::orders()); NaN for an order the record lacks, all NaN for a voltage without its
// fundamental.
std::vector<float> recordQuantityValues(const SubjectLimits& limits, const std::vector<int>& orders,
                                        const std::vector<float>& byOrder);

// "--kv", "--contract-kw", "--il", "--isc": whether the parameters serve a profile for a
// number of feeders; the error names what is wrong.
Result<void> checkComplianceParameters(const LimitProfile& profile,
                                       const ComplianceParameters& params, int feeders);

// Seconds on the local clock's scale (see ComplianceStats.h) and back to a text
// "yyyy-MM-dd HH:mm".
qint64 localSeconds(const QDateTime& time);
QString localSecondsText(qint64 seconds);

struct QuantityResult {
    int order = 0; // 0: the total
    double limit = 0;
    SeriesStats stats;       // over the window values
    double value = 0;        // the profile's statistic
    double margin = 0;       // (limit - value) / limit, in %; negative when exceeded
    bool exceeded = false;
    std::vector<float> windowValues; // NaN where a window has no value for this quantity
    std::vector<std::pair<qint64, float>> exceedances; // window end, value
    qint64 outflow = 0; // records whose harmonic active power was negative (currents)
    qint64 inflow = 0;
};

struct SubjectResult {
    QString label;   // "電圧", "フィーダ1", "R相 フィーダ1", ...
    QChar phase;
    SubjectLimits limits;
    LimitStatistic statistic = LimitStatistic::P95;
    qint64 intervalSeconds = 0; // of the records
    qint64 windowSeconds = 0;   // of the values compared (= interval when not aggregated)
    bool aggregated = false;
    Coverage coverage;
    std::vector<qint64> windowEnds;
    std::vector<QuantityResult> quantities;
    std::vector<int> notEvaluated; // limited orders that no record holds
    bool totalFromOddOrdersOnly = false;
    qint64 n = 0, n1 = 0, n2 = 0; // windows; with an order exceeded; with the total exceeded
    bool exceeded = false;
    int worst = -1; // index in quantities of the smallest margin
};

struct ComplianceReport {
    LimitProfile profile;
    ComplianceParameters params;
    qint64 periodStart = 0; // local seconds
    qint64 periodEnd = 0;
    QStringList sources;
    QStringList notes;
    std::vector<SubjectResult> subjects;
    bool anyExceeded() const;
};

// Gathers records and evaluates them against a profile. Records of the same phase and feeder
// from several sources are merged in time order; a record given twice (the same save time) is
// counted once.
class ComplianceEvaluator {
public:
    ComplianceEvaluator(LimitProfile profile, ComplianceParameters params);
    // Reads every record of a source; an error when the source fails or the parameters do not
    // serve its feeders.
    Result<void> add(RecordSource& source);
    // One record of a source of the given shape.
    Result<void> addRecord(const std::vector<int>& orders, int feeders, QChar phase,
                           const ResultRecord& record);
    qint64 recordsInPeriod() const { return records_; }
    // The report over what was added; an error when no record lies in the period.
    Result<ComplianceReport> evaluate() const;

private:
    struct Subject {
        SubjectLimits limits;
        QChar phase;
        std::vector<qint64> times;
        std::vector<std::vector<float>> series; // per quantity, per record
        // per quantity, per record: -1 outflow, +1 inflow, 0 not known
        std::vector<std::vector<std::int8_t>> flow;
        bool oddOnly = false;
    };
    Result<Subject*> subject(QChar phase, int feeder);
    SubjectResult evaluateSubject(const Subject& s, qint64 periodStart, qint64 periodEnd) const;

    LimitProfile profile_;
    ComplianceParameters params_;
    std::map<std::pair<char16_t, int>, Subject> subjects_;
    QStringList sources_;
    qint64 records_ = 0;
    qint64 outside_ = 0;
};

} // namespace hs
