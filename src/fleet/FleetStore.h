#pragma once

#include "fleet/RecordMessage.h"

#include <QDateTime>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace hs::fleet {

// Where the collector keeps the fleet's records: "sqlite:PATH" or
// "postgresql://[user[:password]@]host[:port]/database" (also "postgresql:///database?host=DIR"
// for a server's socket folder; libpq's PGPASSWORD and ~/.pgpass are honoured).
struct DatabaseSpec {
    QString driver; // "QSQLITE" or "QPSQL"
    QString path;   // the SQLite file, or the PostgreSQL database name
    QString host, user, password;
    int port = -1;
    QString text() const; // without the password
};
std::optional<DatabaseSpec> ParseDatabaseSpec(const QString& spec, QString* error);

// One station as the database knows it.
struct StationRow {
    QString name;
    bool online = false;
    QString status;     // the last status message (JSON)
    QString lastRecord; // ISO save time of the newest record, empty when none
    QString seen;       // ISO time (the station's) of the last status
};

// The fleet's database through Qt SQL. Schema (version in schema_version, migrations applied in
// order when the database is opened):
//   stations(name, online, status, seen)
//   runs(station, run, first_save): the run's first save time the collector saw
//   records(station, feeder, phase, save_time, run, save_option, feeders, shots, v1, i1, thd_v,
//           thd_i, orders, v, i, pa, vsa, isa, vrms, irms, received): one row per feeder of a
//           saved record, unique on (station, feeder, phase, save_time); per-order values as
//           comma-separated numbers in the order list "orders" (shortest round-trip text, "nan"
//           for a value that was not finite); the record's own lists (v, vsa, isa, vrms) are on
//           feeder 1's row (v empty on the others); v1 and thd_v on every row.
//   events(station, run, time, type, text, body)
// A record sent again replaces its rows (upsert), never adds rows.
class FleetStore {
public:
    static constexpr int kSchemaVersion = 1;

    FleetStore();
    ~FleetStore();
    FleetStore(const FleetStore&) = delete;
    FleetStore& operator=(const FleetStore&) = delete;

    // Connects and brings the schema up to date; false with the reason in error.
    bool open(const DatabaseSpec& spec, QString* error);
    void close();
    bool isOpen() const;
    // Whether the connection still answers (a cheap query).
    bool ping();

    // Each write is one transaction; false with the reason in error (nothing written then).
    bool storeRecord(const RecordMessage& message, QString* error);
    // Several records in one transaction (the benchmark's and a backlog's bulk path).
    bool storeRecords(const std::vector<RecordMessage>& messages, QString* error);
    bool storeStatus(const QString& station, const QJsonObject& status, QString* error);
    bool storeEvent(const QString& station, const QJsonObject& event, QString* error);

    std::vector<StationRow> stations(QString* error = nullptr);
    // One station's records between from and to (invalid: open end), decoded as the result
    // file held them, in time order; consecutive records of one layout and phase form one
    // ResultFile (a station set up anew starts another). False with the reason in error.
    bool readRecords(const QString& station, const QDateTime& from, const QDateTime& to,
                     std::vector<ResultFile>& out, QString* error);
    // Records per day of the station's save times between from and to (dates of the save time).
    std::map<QDate, int> recordsPerDay(const QString& station, const QDate& from, const QDate& to,
                                       QString* error = nullptr);
    // The trend: per save time, feeder 1's fundamental voltage and current and their total
    // distortion (%), newest last, at most limit points.
    struct TrendPoint {
        QString time;
        double v1 = 0, i1 = 0, thdV = 0, thdI = 0;
    };
    std::vector<TrendPoint> trend(const QString& station, int limit, QString* error = nullptr);
    qint64 recordRows(QString* error = nullptr);

private:
    bool migrate(QString* error);
    bool exec(const QString& sql, QString* error);
    bool insertRows(const RecordMessage& m, QString* error);

    bool knowRun(const QString& station, const QString& run, const QString& saveTime,
                 QString* error);

    QString name_;
    QSqlDatabase db_;
    bool postgres_ = false;
    std::map<int, std::unique_ptr<QSqlQuery>> upserts_; // by the number of feeder rows
    std::set<std::pair<QString, QString>> knownRuns_;   // (station, run) in the database
};

} // namespace hs::fleet
