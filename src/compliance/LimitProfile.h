#pragma once

#include "common/Result.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace hs {

// Harmonic limit profiles: the limits a standard or guideline sets per order and for the total,
// as data (JSON, shipped in the program's resources; a user's file of the same shape replaces
// them with `--limits FILE`). A profile has a voltage and/or a current section; a section holds
// bands (rows of the standard's table) chosen by a parameter, each band the limits per order
// range and for the total.
//
// Shape of a section: "unit" ("%" of the fundamental for voltages; "%IL" of the maximum demand
// load current or "mA/kW" of contract demand for currents), "statistic" compared with the
// limit ("p95", "p99", "max" or "mean" of the window values), "windowMinutes" (records shorter
// than this are aggregated by RMS over clock-aligned windows), "selectBy" ("kv": the nominal
// or receiving voltage; "iscOverIl": Isc / IL of the feeder; absent: the first band),
// "totalName"/"totalUpTo" (THD or TDD over orders 2..totalUpTo), "even" (factors applied to the
// limit of even orders: [{from, to, factor}]), "source", "evenSource", "note", and "bands":
// [{label, from (≥), above (>), below (<), upTo (≤), total, orders: [{from, to, limit,
// parity: "odd"|"even"|"all"}]}].

enum class LimitUnit { PercentOfFundamental, PercentOfIL, MilliampPerKw };
enum class LimitStatistic { P95, P99, Max, Mean };

struct OrderRangeLimit {
    int from = 0;
    int to = 0;
    int parity = 0; // 0 every order, 1 odd, 2 even
    double limit = 0;
    bool holds(int order) const;
};

struct LimitBand {
    QString label;
    std::optional<double> from, above, below, upTo;
    std::optional<double> total;
    std::vector<OrderRangeLimit> orders;
    bool contains(double value) const;
};

struct EvenFactor {
    int from = 0;
    int to = 0;
    double factor = 1;
};

struct LimitSection {
    bool present = false;
    LimitUnit unit = LimitUnit::PercentOfFundamental;
    LimitStatistic statistic = LimitStatistic::P95;
    int windowMinutes = 10;
    QString selectBy; // "kv", "iscOverIl" or empty
    QString totalName;
    int totalUpTo = 50;
    std::vector<EvenFactor> even;
    std::vector<LimitBand> bands;
    QString source;
    QString evenSource;
    QString note;

    // The band for a parameter value; nullptr when none holds it.
    const LimitBand* band(double value) const;
    // The limit of an order in the band (in the section's unit), with the even factor applied;
    // nullopt when the band sets none for that order.
    std::optional<double> orderLimit(const LimitBand& band, int order) const;
    // Every order the band limits, ascending.
    std::vector<int> limitedOrders(const LimitBand& band) const;
};

struct LimitProfile {
    QString id;
    QString title;
    QString titleJa;
    QString source;
    QString edition;
    LimitSection voltage;
    LimitSection current;
};

QString limitStatisticName(LimitStatistic statistic); // "p95", "p99", "max", "mean"
QString limitUnitText(LimitUnit unit);                 // "%", "%IL", "mA/kW"

// The profiles shipped with the program.
QStringList builtInProfileIds();
// A shipped profile by id; an error naming the known ids when there is none.
Result<LimitProfile> builtInProfile(const QString& id);
// A profile from JSON text (a limits file); the error names the key that is wrong.
Result<LimitProfile> parseLimitProfile(const QByteArray& json);
// A limits file (at most 1 MiB).
Result<LimitProfile> loadLimitProfile(const QString& path);

} // namespace hs
