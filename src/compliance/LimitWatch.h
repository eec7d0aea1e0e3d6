#pragma once

#include "compliance/LimitArguments.h"
#include "model/EngineObserver.h"
#include "model/MeasurementSettings.h"

#include <QJsonObject>

#include <deque>
#include <map>

namespace hs {

// The live limit watch of a run: an observer in front of the run's other listeners. Every
// report passes on to `next` unchanged; after each saved record (a record saved in time or
// late) it reads that record back from the result file(s) the settings name, checks its values
// against the profile's limits and reports each quantity that goes over its limit as a
// run::LimitExceeded event (to `report`, `next` when not given) — once when it goes over, not
// again while it stays over. It keeps the run's records for the status page's compliance panel.
class LimitWatch : public EngineObserver {
public:
    LimitWatch(LimitSelection selection, const MeasurementSettings& settings,
               EngineObserver* next, EngineObserver* report = nullptr);

    void setNext(EngineObserver* next) { next_ = next; }
    void status(const RunStatus& status) override;
    void runEvent(const RunEvent& event) override;
    void message(const QString& text, const MessageSeverity& severity) override;

    // Checks a record of a source of the given shape (what runEvent does for each saved one).
    void checkRecord(const std::vector<int>& orders, int feeders, QChar phase,
                     const ResultRecord& record);

    // The panel: the profile, and per subject the worst quantity so far, the profile's
    // statistic so far against its limit, and the latest exceedances with their times.
    QJsonObject toJson() const;
    static constexpr std::size_t kExceedancesKept = 50; // per subject

    // The event's operator text: "2026/12/08 10:05 限度値超過 フィーダ1 5次 12.00A (限度値 8.40A)".
    static QString eventText(const run::LimitExceeded& e);

private:
    struct Watched {
        std::deque<run::LimitExceeded> exceedances;
        std::map<int, bool> over; // by order: over its limit in the last record
    };
    void readSavedRecords(const QDateTime& saveTime);
    void emitEvent(const run::LimitExceeded& e);

    LimitSelection selection_;
    const MeasurementSettings& settings_;
    EngineObserver* next_;
    EngineObserver* report_;
    ComplianceEvaluator evaluator_;
    std::map<std::pair<char16_t, int>, Watched> watched_;
    QString problem_; // the parameters do not serve the run, or a record cannot be read
    qint64 checked_ = 0;
};

} // namespace hs
