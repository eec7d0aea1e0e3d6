#pragma once

#include "compliance/LimitArguments.h"
#include "fleet/FleetStore.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>

#include <map>

namespace hs::web {

// The compliance verdict of one station over its collected records of the last days, under the
// fleet's limit profile: {profile, from, to, records, exceeded, subjects: [{label, feeder,
// exceeded, orders (exceeded, ascending; 0: the total), totalName, worstOrder, worstMargin}]},
// or {profile, from, to, error} when it cannot be evaluated (no records, parameters that do not
// serve the station's feeders, the database failing).
QJsonObject StationVerdict(fleet::FleetStore& store, const LimitSelection& selection,
                           const QString& station, const QDateTime& now, int days);

// The verdicts of the fleet page, one per station, kept between documents: a station's is
// evaluated anew when new records arrived, at most once a minute, and at least once an hour
// (the period moves on even when a station sends nothing).
class FleetVerdicts {
public:
    static constexpr int kDays = 7;
    static constexpr qint64 kMinAgeMs = 60 * 1000;
    static constexpr qint64 kMaxAgeMs = 60 * 60 * 1000;

    explicit FleetVerdicts(LimitSelection selection) : selection_(std::move(selection)) {}
    // The station's verdict; lastRecord is its newest record's save time.
    QJsonObject verdict(fleet::FleetStore& store, const QString& station,
                        const QString& lastRecord);

private:
    struct Entry {
        QString lastRecord;
        QElapsedTimer age;
        QJsonObject json;
    };
    LimitSelection selection_;
    std::map<QString, Entry> cache_;
};

} // namespace hs::web
