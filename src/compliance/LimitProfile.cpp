#include "compliance/LimitProfile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

// Outside the namespace: the resource initialiser of this static library.
static void initComplianceResources()
{
    Q_INIT_RESOURCE(compliance);
}

namespace hs {

namespace {

Failure<Error> refuse(const QString& text)
{
    return fail(Error{1, text});
}

std::optional<double> optionalNumber(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isDouble())
        return v.toDouble();
    return std::nullopt;
}

// Reads "orders" of a band; an empty string when it is sound, else what is wrong.
QString readOrders(const QJsonArray& array, const QString& where, std::vector<OrderRangeLimit>& out)
{
    for (int i = 0; i < array.size(); ++i) {
        const QJsonObject o = array[i].toObject();
        const QString at = QStringLiteral("%1.orders[%2]").arg(where).arg(i);
        OrderRangeLimit r;
        r.from = o.value(QLatin1String("from")).toInt(-1);
        r.to = o.value(QLatin1String("to")).toInt(-1);
        const QString parity = o.value(QLatin1String("parity")).toString(QStringLiteral("all"));
        r.parity = parity == QLatin1String("odd") ? 1 : parity == QLatin1String("even") ? 2 : 0;
        if (r.parity == 0 && parity != QLatin1String("all"))
            return at + QStringLiteral(".parity: is odd, even or all");
        if (r.from < 2 || r.to < r.from || r.to > 256)
            return at + QStringLiteral(": from and to are orders 2..256, from ≤ to");
        const std::optional<double> limit = optionalNumber(o, "limit");
        if (!limit || !(*limit > 0))
            return at + QStringLiteral(".limit: a positive number is needed");
        r.limit = *limit;
        out.push_back(r);
    }
    return {};
}

QString readBands(const QJsonArray& array, const QString& where, std::vector<LimitBand>& out)
{
    if (array.isEmpty())
        return where + QStringLiteral(".bands: at least one band is needed");
    for (int i = 0; i < array.size(); ++i) {
        const QJsonObject o = array[i].toObject();
        const QString at = QStringLiteral("%1.bands[%2]").arg(where).arg(i);
        LimitBand b;
        b.label = o.value(QLatin1String("label")).toString();
        b.from = optionalNumber(o, "from");
        b.above = optionalNumber(o, "above");
        b.below = optionalNumber(o, "below");
        b.upTo = optionalNumber(o, "upTo");
        b.total = optionalNumber(o, "total");
        if (b.total && !(*b.total > 0))
            return at + QStringLiteral(".total: a positive number is needed");
        if (QString e = readOrders(o.value(QLatin1String("orders")).toArray(), at, b.orders);
            !e.isEmpty())
            return e;
        if (b.orders.empty() && !b.total)
            return at + QStringLiteral(": neither orders nor a total");
        out.push_back(b);
    }
    return {};
}

QString readSection(const QJsonObject& o, const QString& where, LimitSection& s)
{
    s.present = true;
    const QString unit = o.value(QLatin1String("unit")).toString();
    if (unit == QLatin1String("%"))
        s.unit = LimitUnit::PercentOfFundamental;
    else if (unit == QLatin1String("%IL") && where == QLatin1String("current"))
        s.unit = LimitUnit::PercentOfIL;
    else if (unit == QLatin1String("mA/kW") && where == QLatin1String("current"))
        s.unit = LimitUnit::MilliampPerKw;
    else
        return where + QStringLiteral(".unit: \"%1\" is not % (voltage), %IL or mA/kW (current)")
                           .arg(unit);
    const QString statistic = o.value(QLatin1String("statistic")).toString(QStringLiteral("p95"));
    const std::array<LimitStatistic, 4> all{LimitStatistic::P95, LimitStatistic::P99,
                                            LimitStatistic::Max, LimitStatistic::Mean};
    const auto found = std::find_if(all.begin(), all.end(), [&](LimitStatistic st) {
        return limitStatisticName(st) == statistic;
    });
    if (found == all.end())
        return where + QStringLiteral(".statistic: \"%1\" is not p95, p99, max or mean").arg(statistic);
    s.statistic = *found;
    s.windowMinutes = o.value(QLatin1String("windowMinutes")).toInt(10);
    if (s.windowMinutes < 1 || s.windowMinutes > 1440 || 1440 % s.windowMinutes != 0)
        return where + QStringLiteral(".windowMinutes: a whole divisor of a day in minutes");
    s.selectBy = o.value(QLatin1String("selectBy")).toString();
    if (!s.selectBy.isEmpty() && s.selectBy != QLatin1String("kv") &&
        s.selectBy != QLatin1String("iscOverIl"))
        return where + QStringLiteral(".selectBy: is kv or iscOverIl");
    s.totalName = o.value(QLatin1String("totalName")).toString();
    s.totalUpTo = o.value(QLatin1String("totalUpTo")).toInt(50);
    s.source = o.value(QLatin1String("source")).toString();
    s.evenSource = o.value(QLatin1String("evenSource")).toString();
    s.note = o.value(QLatin1String("note")).toString();
    for (const QJsonValue& v : o.value(QLatin1String("even")).toArray()) {
        const QJsonObject e = v.toObject();
        s.even.push_back({e.value(QLatin1String("from")).toInt(), e.value(QLatin1String("to")).toInt(),
                          e.value(QLatin1String("factor")).toDouble(1.0)});
    }
    if (s.source.isEmpty())
        return where + QStringLiteral(".source: every section cites its source");
    return readBands(o.value(QLatin1String("bands")).toArray(), where, s.bands);
}

} // namespace

bool OrderRangeLimit::holds(int order) const
{
    if (order < from || order > to)
        return false;
    return parity == 0 || (parity == 1) == (order % 2 == 1);
}

bool LimitBand::contains(double value) const
{
    return (!from || value >= *from) && (!above || value > *above) && (!below || value < *below) &&
           (!upTo || value <= *upTo);
}

const LimitBand* LimitSection::band(double value) const
{
    if (selectBy.isEmpty())
        return bands.empty() ? nullptr : &bands.front();
    for (const LimitBand& b : bands) {
        if (b.contains(value))
            return &b;
    }
    return nullptr;
}

std::optional<double> LimitSection::orderLimit(const LimitBand& b, int order) const
{
    for (const OrderRangeLimit& r : b.orders) {
        if (!r.holds(order))
            continue;
        double factor = 1.0;
        if (order % 2 == 0) {
            for (const EvenFactor& e : even) {
                if (order >= e.from && order <= e.to)
                    factor = e.factor;
            }
        }
        return r.limit * factor;
    }
    return std::nullopt;
}

std::vector<int> LimitSection::limitedOrders(const LimitBand& b) const
{
    std::vector<int> out;
    for (int k = 2; k <= 256; ++k) {
        if (orderLimit(b, k))
            out.push_back(k);
    }
    return out;
}

QString limitStatisticName(LimitStatistic statistic)
{
    switch (statistic) {
    case LimitStatistic::P95: return QStringLiteral("p95");
    case LimitStatistic::P99: return QStringLiteral("p99");
    case LimitStatistic::Max: return QStringLiteral("max");
    case LimitStatistic::Mean: return QStringLiteral("mean");
    }
    return {};
}

QString limitUnitText(LimitUnit unit)
{
    switch (unit) {
    case LimitUnit::PercentOfFundamental: return QStringLiteral("%");
    case LimitUnit::PercentOfIL: return QStringLiteral("%IL");
    case LimitUnit::MilliampPerKw: return QStringLiteral("mA/kW");
    }
    return {};
}

QStringList builtInProfileIds()
{
    return {QStringLiteral("jp-guideline"), QStringLiteral("ieee519"), QStringLiteral("en50160")};
}

Result<LimitProfile> builtInProfile(const QString& id)
{
    if (!builtInProfileIds().contains(id))
        return refuse(QStringLiteral("unknown profile \"%1\" (known: %2)")
                          .arg(id, builtInProfileIds().join(QStringLiteral(", "))));
    initComplianceResources();
    QFile file(QStringLiteral(":/compliance/%1.json").arg(id));
    if (!file.open(QIODevice::ReadOnly))
        return refuse(QStringLiteral("profile \"%1\" is missing from the program").arg(id));
    return parseLimitProfile(file.readAll());
}

Result<LimitProfile> parseLimitProfile(const QByteArray& json)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (!doc.isObject())
        return refuse(QStringLiteral("not a JSON object: %1").arg(parseError.errorString()));
    const QJsonObject o = doc.object();
    LimitProfile p;
    p.id = o.value(QLatin1String("id")).toString();
    p.title = o.value(QLatin1String("title")).toString();
    p.titleJa = o.value(QLatin1String("titleJa")).toString(p.title);
    p.source = o.value(QLatin1String("source")).toString();
    p.edition = o.value(QLatin1String("edition")).toString();
    if (p.id.isEmpty() || p.title.isEmpty())
        return refuse(QStringLiteral("id, title: every profile has an id and a title"));
    if (p.source.isEmpty() || p.edition.isEmpty())
        return refuse(QStringLiteral("source, edition: every profile cites its source and edition"));
    for (const char* key : {"voltage", "current"}) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined())
            continue;
        LimitSection& s = qstrcmp(key, "voltage") == 0 ? p.voltage : p.current;
        if (QString e = readSection(v.toObject(), QLatin1String(key), s); !e.isEmpty())
            return refuse(e);
    }
    if (!p.voltage.present && !p.current.present)
        return refuse(QStringLiteral("voltage, current: the profile limits neither"));
    return p;
}

Result<LimitProfile> loadLimitProfile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(QStringLiteral("%1: cannot read: %2").arg(path, file.errorString()));
    if (file.size() > (1 << 20))
        return refuse(QStringLiteral("%1: larger than 1 MiB").arg(path));
    Result<LimitProfile> p = parseLimitProfile(file.readAll());
    if (!p)
        return refuse(QStringLiteral("%1: %2").arg(path, p.error().text));
    return p;
}

} // namespace hs
