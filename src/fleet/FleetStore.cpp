#include "fleet/FleetStore.h"

#include "files/ResultExport.h"
#include "files/ResultFormat.h"

#include <QAtomicInt>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>

#include <algorithm>
#include <cmath>

namespace hs::fleet {

QString DatabaseSpec::text() const
{
    if (driver == QStringLiteral("QSQLITE"))
        return QStringLiteral("sqlite:") + path;
    return QStringLiteral("postgresql://%1%2%3/%4")
        .arg(user.isEmpty() ? QString() : user + QLatin1Char('@'), host,
             port > 0 ? QStringLiteral(":%1").arg(port) : QString(), path);
}

std::optional<DatabaseSpec> ParseDatabaseSpec(const QString& spec, QString* error)
{
    const auto fail = [error, &spec](const QString& why) {
        if (error)
            *error = QStringLiteral("'%1': %2").arg(spec, why);
        return std::nullopt;
    };
    DatabaseSpec d;
    if (spec.startsWith(QStringLiteral("sqlite:"))) {
        d.driver = QStringLiteral("QSQLITE");
        d.path = spec.mid(7);
        if (d.path.isEmpty())
            return fail(QStringLiteral("sqlite:PATH needs a file name"));
        return d;
    }
    if (!spec.startsWith(QStringLiteral("postgresql://")) &&
        !spec.startsWith(QStringLiteral("postgres://")))
        return fail(QStringLiteral("the database is sqlite:PATH or postgresql://..."));
    const QUrl u(spec);
    d.driver = QStringLiteral("QPSQL");
    d.host = u.host();
    d.port = u.port(-1);
    d.user = u.userName();
    d.password = u.password();
    d.path = u.path().mid(1);
    const QUrlQuery q(u);
    if (q.hasQueryItem(QStringLiteral("host")))
        d.host = q.queryItemValue(QStringLiteral("host"), QUrl::FullyDecoded);
    if (!u.isValid() || d.path.isEmpty())
        return fail(QStringLiteral("postgresql://[user@]host[:port]/database"));
    return d;
}

namespace {

QString numbers(const std::vector<float>& v)
{
    QStringList parts;
    parts.reserve(static_cast<qsizetype>(v.size()));
    for (float x : v)
        parts << FloatText(x);
    return parts.join(QLatin1Char(','));
}

template <typename T> QString integers(const std::vector<T>& v)
{
    QStringList parts;
    for (T x : v)
        parts << QString::number(x);
    return parts.join(QLatin1Char(','));
}

QString triple(const std::array<float, 3>& v)
{
    return numbers({v[0], v[1], v[2]});
}

std::vector<float> floatsOf(const QString& text)
{
    std::vector<float> out;
    if (text.isEmpty())
        return out;
    for (const QString& p : text.split(QLatin1Char(',')))
        out.push_back(p.toFloat());
    return out;
}

template <typename T> std::vector<T> integersOf(const QString& text)
{
    std::vector<T> out;
    if (text.isEmpty())
        return out;
    for (const QString& p : text.split(QLatin1Char(',')))
        out.push_back(static_cast<T>(p.toInt()));
    return out;
}

// Migration n brings the schema from version n-1 to n; the key column types differ by driver.
QStringList migration(int version, bool postgres)
{
    const QString serial =
        postgres ? QStringLiteral("BIGSERIAL PRIMARY KEY") : QStringLiteral("INTEGER PRIMARY KEY");
    const QString real = postgres ? QStringLiteral("DOUBLE PRECISION") : QStringLiteral("REAL");
    if (version == 1)
        return {
            QStringLiteral("CREATE TABLE stations (name TEXT PRIMARY KEY, online INTEGER NOT NULL "
                           "DEFAULT 0, status TEXT, seen TEXT)"),
            QStringLiteral("CREATE TABLE runs (station TEXT NOT NULL, run TEXT NOT NULL, "
                           "first_save TEXT, PRIMARY KEY (station, run))"),
            QStringLiteral(
                "CREATE TABLE records (station TEXT NOT NULL, feeder INTEGER NOT NULL, phase TEXT "
                "NOT NULL, save_time TEXT NOT NULL, run TEXT NOT NULL, save_option INTEGER NOT "
                "NULL, feeders INTEGER NOT NULL, shots INTEGER, v1 %1, i1 %1, thd_v %1, thd_i %1, "
                "orders TEXT NOT NULL, v TEXT NOT NULL, i TEXT NOT NULL, pa TEXT NOT NULL, vsa "
                "TEXT, isa TEXT, vrms TEXT, irms TEXT, received TEXT, PRIMARY KEY (station, "
                "feeder, phase, save_time))")
                .arg(real),
            QStringLiteral("CREATE TABLE events (id %1, station TEXT NOT NULL, run TEXT, time "
                           "TEXT, type TEXT NOT NULL, text TEXT, body TEXT NOT NULL)")
                .arg(serial),
            QStringLiteral("CREATE INDEX events_station ON events (station, time)"),
        };
    return {};
}

constexpr int kRecordColumns = 21;

} // namespace

FleetStore::FleetStore()
{
    static QAtomicInt counter;
    name_ = QStringLiteral("hs-fleet-%1").arg(counter.fetchAndAddRelaxed(1));
}

FleetStore::~FleetStore()
{
    close();
}

void FleetStore::close()
{
    upserts_.clear();
    knownRuns_.clear();
    if (db_.isValid()) {
        db_.close();
        db_ = QSqlDatabase();
        QSqlDatabase::removeDatabase(name_);
    }
}

bool FleetStore::isOpen() const
{
    return db_.isValid() && db_.isOpen();
}

bool FleetStore::open(const DatabaseSpec& spec, QString* error)
{
    close();
    if (!QSqlDatabase::isDriverAvailable(spec.driver)) {
        if (error)
            *error = QStringLiteral("the Qt SQL driver %1 is not installed (Debian: %2)")
                         .arg(spec.driver, spec.driver == QStringLiteral("QPSQL")
                                               ? QStringLiteral("libqt6sql6-psql")
                                               : QStringLiteral("libqt6sql6-sqlite"));
        return false;
    }
    postgres_ = spec.driver == QStringLiteral("QPSQL");
    db_ = QSqlDatabase::addDatabase(spec.driver, name_);
    db_.setDatabaseName(spec.path);
    if (!spec.host.isEmpty())
        db_.setHostName(spec.host);
    if (spec.port > 0)
        db_.setPort(spec.port);
    if (!spec.user.isEmpty())
        db_.setUserName(spec.user);
    if (!spec.password.isEmpty())
        db_.setPassword(spec.password);
    if (postgres_)
        db_.setConnectOptions(QStringLiteral("connect_timeout=5"));
    if (!db_.open()) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(spec.text(), db_.lastError().text());
        close();
        return false;
    }
    if (!postgres_)
        exec(QStringLiteral("PRAGMA journal_mode=WAL"), nullptr);
    if (!migrate(error)) {
        close();
        return false;
    }
    return true;
}

bool FleetStore::exec(const QString& sql, QString* error)
{
    QSqlQuery q(db_);
    if (q.exec(sql))
        return true;
    if (error)
        *error = q.lastError().text();
    return false;
}

bool FleetStore::ping()
{
    return isOpen() && exec(QStringLiteral("SELECT 1"), nullptr);
}

bool FleetStore::migrate(QString* error)
{
    exec(QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)"),
         nullptr);
    QSqlQuery q(db_);
    int version = 0;
    if (q.exec(QStringLiteral("SELECT MAX(version) FROM schema_version")) && q.next())
        version = q.value(0).toInt();
    if (version > kSchemaVersion) {
        if (error)
            *error = QStringLiteral("the database has schema version %1; this program knows "
                                    "versions up to %2")
                         .arg(version)
                         .arg(kSchemaVersion);
        return false;
    }
    for (int v = version + 1; v <= kSchemaVersion; ++v) {
        db_.transaction();
        bool ok = true;
        for (const QString& sql : migration(v, postgres_))
            ok = ok && exec(sql, error);
        ok = ok &&
             exec(QStringLiteral("INSERT INTO schema_version (version) VALUES (%1)").arg(v), error);
        if (!ok || !db_.commit()) {
            db_.rollback();
            if (error)
                *error = QStringLiteral("schema migration to version %1: %2")
                             .arg(v)
                             .arg(error->isEmpty() ? db_.lastError().text() : *error);
            return false;
        }
    }
    return true;
}

// ---- Writing -----------------------------------------------------------------------------------

namespace {

const char* const kRecordColumnNames =
    "station, feeder, phase, save_time, run, save_option, feeders, shots, v1, i1, thd_v, thd_i, "
    "orders, v, i, pa, vsa, isa, vrms, irms, received";

QString upsertSql(int rows)
{
    QStringList values;
    const QString one = QStringLiteral("(") +
                        QStringList(kRecordColumns, QStringLiteral("?")).join(QLatin1Char(',')) +
                        QStringLiteral(")");
    for (int r = 0; r < rows; ++r)
        values << one;
    QStringList updates;
    for (const QString& c : QString::fromLatin1(kRecordColumnNames).split(QStringLiteral(", ")))
        if (c != QStringLiteral("station") && c != QStringLiteral("feeder") &&
            c != QStringLiteral("phase") && c != QStringLiteral("save_time"))
            updates << c + QStringLiteral(" = excluded.") + c;
    return QStringLiteral("INSERT INTO records (%1) VALUES %2 ON CONFLICT (station, feeder, phase, "
                          "save_time) DO UPDATE SET %3")
        .arg(QString::fromLatin1(kRecordColumnNames), values.join(QLatin1Char(',')),
             updates.join(QStringLiteral(", ")));
}

QVariant nullable(const QString& text)
{
    return text.isEmpty() ? QVariant(QMetaType(QMetaType::QString)) : QVariant(text);
}

QVariant finite(double v)
{
    return std::isfinite(v) ? QVariant(v) : QVariant(QMetaType(QMetaType::Double));
}

} // namespace

bool FleetStore::knowRun(const QString& station, const QString& run, const QString& saveTime,
                         QString* error)
{
    if (knownRuns_.count({station, run}))
        return true;
    QSqlQuery q(db_);
    q.prepare(
        QStringLiteral("INSERT INTO stations (name) VALUES (?) ON CONFLICT (name) DO NOTHING"));
    q.addBindValue(station);
    if (!q.exec()) {
        if (error)
            *error = q.lastError().text();
        return false;
    }
    q.prepare(QStringLiteral("INSERT INTO runs (station, run, first_save) VALUES (?, ?, ?) ON "
                             "CONFLICT (station, run) DO NOTHING"));
    q.addBindValue(station);
    q.addBindValue(run);
    q.addBindValue(saveTime);
    if (!q.exec()) {
        if (error)
            *error = q.lastError().text();
        return false;
    }
    knownRuns_.insert({station, run});
    return true;
}

bool FleetStore::insertRows(const RecordMessage& m, QString* error)
{
    const ResultRecord& r = m.record();
    const RecordLayout& layout = m.file.layout;
    const QString saveTime = r.time.toString(Qt::ISODate);
    if (!knowRun(m.station, m.run, saveTime, error))
        return false;
    auto& query = upserts_[layout.feeders];
    if (!query) {
        query = std::make_unique<QSqlQuery>(db_);
        if (!query->prepare(upsertSql(layout.feeders))) {
            if (error)
                *error = query->lastError().text();
            query.reset();
            return false;
        }
    }
    // Empty, never null: the phase is part of the key.
    const QString phase =
        m.file.kind.phase.isNull() ? QStringLiteral("") : QString(m.file.kind.phase);
    const QString orders = integers(m.file.orders);
    const QString v = numbers(r.voltage);
    const QString vsa = layout.hasVoltSuperAngle() ? integers(r.voltSuperAngle) : QString();
    const QString vrms = r.hasRms ? triple(r.voltRms) : QString();
    const double thdV = DistortionPercent(r.voltage);
    const QString received = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    int at = 0;
    const auto bind = [&](const QVariant& value) { query->bindValue(at++, value); };
    for (int f = 0; f < layout.feeders; ++f) {
        const auto fi = static_cast<std::size_t>(f);
        bind(m.station);
        bind(f + 1);
        bind(phase);
        bind(saveTime);
        bind(m.run);
        bind(layout.saveOption);
        bind(layout.feeders);
        bind(m.shots ? QVariant(*m.shots) : QVariant(QMetaType(QMetaType::Int)));
        bind(finite(r.voltage.empty() ? NAN : r.voltage[0]));
        bind(finite(r.current[fi].empty() ? NAN : r.current[fi][0]));
        bind(finite(thdV));
        bind(finite(DistortionPercent(r.current[fi])));
        bind(orders);
        // The record's voltage values once, on feeder 1's row.
        bind(f == 0 ? v : QStringLiteral(""));
        bind(numbers(r.current[fi]));
        bind(integers(r.powerAngle[fi]));
        bind(nullable(f == 0 ? vsa : QString()));
        bind(nullable(f == 0 && layout.hasCurSuperAngle() ? integers(r.curSuperAngle) : QString()));
        bind(nullable(f == 0 ? vrms : QString()));
        bind(nullable(r.hasRms ? triple(r.curRms[fi]) : QString()));
        bind(received);
    }
    if (!query->exec()) {
        if (error)
            *error = query->lastError().text();
        // A statement of a connection that broke is prepared again on the next one.
        upserts_.erase(layout.feeders);
        return false;
    }
    return true;
}

bool FleetStore::storeRecord(const RecordMessage& message, QString* error)
{
    return storeRecords({message}, error);
}

bool FleetStore::storeRecords(const std::vector<RecordMessage>& messages, QString* error)
{
    if (!isOpen()) {
        if (error)
            *error = QStringLiteral("the database is not open");
        return false;
    }
    if (!db_.transaction()) {
        if (error)
            *error = db_.lastError().text();
        return false;
    }
    for (const RecordMessage& m : messages) {
        if (!insertRows(m, error)) {
            db_.rollback();
            knownRuns_.clear();
            return false;
        }
    }
    if (!db_.commit()) {
        if (error)
            *error = db_.lastError().text();
        db_.rollback();
        knownRuns_.clear();
        return false;
    }
    return true;
}

bool FleetStore::storeStatus(const QString& station, const QJsonObject& status, QString* error)
{
    QSqlQuery q(db_);
    q.prepare(
        QStringLiteral("INSERT INTO stations (name, online, status, seen) VALUES (?, ?, ?, ?) "
                       "ON CONFLICT (name) DO UPDATE SET online = excluded.online, status = "
                       "excluded.status, seen = excluded.seen"));
    q.addBindValue(station);
    q.addBindValue(status.value(QStringLiteral("online")).toBool() ? 1 : 0);
    q.addBindValue(QString::fromUtf8(QJsonDocument(status).toJson(QJsonDocument::Compact)));
    q.addBindValue(status.value(QStringLiteral("time")).toString());
    if (q.exec())
        return true;
    if (error)
        *error = q.lastError().text();
    return false;
}

bool FleetStore::storeEvent(const QString& station, const QJsonObject& event, QString* error)
{
    QSqlQuery q(db_);
    q.prepare(QStringLiteral(
        "INSERT INTO events (station, run, time, type, text, body) VALUES (?, ?, ?, ?, ?, ?)"));
    q.addBindValue(station);
    q.addBindValue(event.value(QStringLiteral("run")).toString());
    q.addBindValue(event.value(QStringLiteral("time")).toString());
    q.addBindValue(event.value(QStringLiteral("type")).toString());
    q.addBindValue(event.value(QStringLiteral("text")).toString());
    q.addBindValue(QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact)));
    if (q.exec())
        return true;
    if (error)
        *error = q.lastError().text();
    return false;
}

// ---- Reading -----------------------------------------------------------------------------------

namespace {

bool failed(const QSqlQuery& q, QString* error)
{
    if (error)
        *error = q.lastError().text();
    return false;
}

// One feeder row into the record being assembled.
void addFeederRow(const QSqlQuery& q, const RecordLayout& layout, ResultRecord& r)
{
    const auto fi = static_cast<std::size_t>(q.value(1).toInt() - 1);
    if (fi >= r.current.size())
        return;
    if (fi == 0) {
        r.voltage = floatsOf(q.value(6).toString());
        if (layout.hasVoltSuperAngle())
            r.voltSuperAngle = integersOf<std::int16_t>(q.value(9).toString());
        if (layout.hasCurSuperAngle())
            r.curSuperAngle = integersOf<std::int16_t>(q.value(10).toString());
        if (layout.hasRms()) {
            const std::vector<float> vrms = floatsOf(q.value(11).toString());
            for (std::size_t c = 0; c < 3 && c < vrms.size(); ++c)
                r.voltRms[c] = vrms[c];
        }
    }
    r.current[fi] = floatsOf(q.value(7).toString());
    r.powerAngle[fi] = integersOf<std::int16_t>(q.value(8).toString());
    if (layout.hasRms()) {
        const std::vector<float> irms = floatsOf(q.value(12).toString());
        for (std::size_t c = 0; c < 3 && c < irms.size(); ++c)
            r.curRms[fi][c] = irms[c];
    }
}

} // namespace

bool FleetStore::readRecords(const QString& station, const QDateTime& from, const QDateTime& to,
                             std::vector<ResultFile>& out, QString* error)
{
    out.clear();
    QSqlQuery q(db_);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral(
        "SELECT save_time, feeder, phase, save_option, feeders, orders, v, i, pa, vsa, isa, vrms, "
        "irms FROM records WHERE station = ? AND save_time >= ? AND save_time <= ? ORDER BY "
        "phase, save_time, feeder"));
    q.addBindValue(station);
    q.addBindValue(from.isValid() ? from.toString(Qt::ISODate) : QStringLiteral(""));
    q.addBindValue(to.isValid() ? to.toString(Qt::ISODate) : QStringLiteral("9999"));
    if (!q.exec())
        return failed(q, error);
    QString lastKey;
    while (q.next()) {
        const QString key = q.value(2).toString() + q.value(0).toString();
        RecordLayout layout{q.value(3).toInt(), q.value(4).toInt(), q.value(3).toInt() == 4};
        const QString phase = q.value(2).toString();
        if (key != lastKey) {
            // A new save time: a new file when the layout or the phase changes.
            const QChar p = phase.isEmpty() ? QChar() : phase.front();
            if (out.empty() || out.back().layout.saveOption != layout.saveOption ||
                out.back().layout.feeders != layout.feeders || out.back().kind.phase != p) {
                ResultFile f;
                f.path = station;
                f.kind = ResultFileKind{layout.saveOption, layout.feeders, p};
                f.layout = layout;
                f.orders = integersOf<int>(q.value(5).toString());
                out.push_back(std::move(f));
            }
            ResultRecord r;
            r.time = QDateTime::fromString(q.value(0).toString(), Qt::ISODate);
            r.dateValue = RecordDateValue(r.time);
            r.timeValue = RecordTimeValue(r.time);
            r.hasRms = layout.hasRms();
            const auto feeders = static_cast<std::size_t>(layout.feeders);
            r.current.assign(feeders, {});
            r.powerAngle.assign(feeders, {});
            r.curRms.assign(layout.hasRms() ? feeders : 0, {});
            out.back().records.push_back(std::move(r));
            lastKey = key;
        }
        addFeederRow(q, out.back().layout, out.back().records.back());
    }
    // Phases come one after the other; each file in time order.
    return q.lastError().type() == QSqlError::NoError || failed(q, error);
}

std::vector<StationRow> FleetStore::stations(QString* error)
{
    std::vector<StationRow> rows;
    QSqlQuery q(db_);
    if (!q.exec(QStringLiteral("SELECT s.name, s.online, s.status, s.seen, (SELECT MAX(save_time) "
                               "FROM records r WHERE r.station = s.name) FROM stations s ORDER BY "
                               "s.name"))) {
        failed(q, error);
        return rows;
    }
    while (q.next())
        rows.push_back({q.value(0).toString(), q.value(1).toInt() != 0, q.value(2).toString(),
                        q.value(4).toString(), q.value(3).toString()});
    return rows;
}

std::map<QDate, int> FleetStore::recordsPerDay(const QString& station, const QDate& from,
                                               const QDate& to, QString* error)
{
    std::map<QDate, int> days;
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("SELECT SUBSTR(save_time, 1, 10), COUNT(DISTINCT save_time) FROM "
                             "records WHERE station = ? AND save_time >= ? AND save_time < ? "
                             "GROUP BY SUBSTR(save_time, 1, 10)"));
    q.addBindValue(station);
    q.addBindValue(from.toString(Qt::ISODate));
    q.addBindValue(to.addDays(1).toString(Qt::ISODate));
    if (!q.exec()) {
        failed(q, error);
        return days;
    }
    while (q.next())
        days[QDate::fromString(q.value(0).toString(), Qt::ISODate)] = q.value(1).toInt();
    return days;
}

std::vector<FleetStore::TrendPoint> FleetStore::trend(const QString& station, int limit,
                                                      QString* error)
{
    std::vector<TrendPoint> points;
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("SELECT save_time, v1, i1, thd_v, thd_i FROM records WHERE station = "
                             "? AND feeder = 1 ORDER BY save_time DESC LIMIT ?"));
    q.addBindValue(station);
    q.addBindValue(limit);
    if (!q.exec()) {
        failed(q, error);
        return points;
    }
    while (q.next())
        points.push_back({q.value(0).toString(), q.value(1).toDouble(), q.value(2).toDouble(),
                          q.value(3).toDouble(), q.value(4).toDouble()});
    std::reverse(points.begin(), points.end());
    return points;
}

qint64 FleetStore::recordRows(QString* error)
{
    QSqlQuery q(db_);
    if (q.exec(QStringLiteral("SELECT COUNT(*) FROM records")) && q.next())
        return q.value(0).toLongLong();
    failed(q, error);
    return -1;
}

} // namespace hs::fleet
