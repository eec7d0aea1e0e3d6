#pragma once

#include "fleet/FleetStore.h"
#include "web/FleetVerdict.h"
#include "web/PageServer.h"

#include <QDate>
#include <QElapsedTimer>

#include <optional>

namespace hs::web {

// The fleet as the page shows it: every station with online/offline, its last record, its
// records present against expected per day for the days up to today (the completeness strip)
// and the trend of feeder 1's fundamental and total distortion. Expected per day follows the
// save interval of the station's last status (1440 / interval; today up to the station's last
// status time); days before a station's first record expect nothing. With verdicts (a limit
// profile given for the fleet), each station's compliance verdict ("compliance", FleetVerdict.h).
QJsonObject FleetDocument(fleet::FleetStore& store, const QDate& today, int days, int trendPoints,
                          QString* error, FleetVerdicts* verdicts = nullptr);

// The fleet page of `collect --serve` and its JSON API (/api/fleet), read from the collector's
// database through a connection of its own, with the status page's rules (PageServer). A limit
// selection, when given, applies to every station.
class FleetServer : public PageServer {
    Q_OBJECT
public:
    static constexpr int kDays = 14;
    static constexpr int kTrendPoints = 96;
    static constexpr int kReuseMs = 1000; // one document per second, however many clients

    FleetServer(fleet::DatabaseSpec database, const ServeOptions& options,
                std::optional<LimitSelection> limits = std::nullopt, QObject* parent = nullptr);

protected:
    Reply route(const QHttpServerRequest& request) override;

private:
    fleet::DatabaseSpec database_;
    fleet::FleetStore store_;
    Reply fleetReply_;
    QElapsedTimer fleetAge_;
    std::optional<FleetVerdicts> verdicts_;
};

} // namespace hs::web
