// The collector's ingest rate into SQLite and PostgreSQL (records per second, 9 feeders per
// record, 25 and 256 orders), and a backlog replay through a real mosquitto broker: a week of
// 5-minute records from 50 stations. Run under pg_virtualenv (the program starts itself under
// it when no PostgreSQL server is named in PGHOST); prints each figure next to a baseline
// measured in the same run.
//
//   bench_fleet [--stations N] [--days D]

#include "BenchSupport.h"

#include "files/ResultFormat.h"
#include "fleet/Collector.h"
#include "fleet/FleetStore.h"
#include "fleet/MqttClient.h"
#include "fleet/RecordMessage.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <vector>

using namespace hs;
using namespace hs::fleet;

namespace {

// A record of 9 feeders in the layout of the save option, its values varied by seed.
ResultFile sampleFile(int saveOption, int seed)
{
    ResultFile f;
    f.layout = RecordLayout{saveOption, 9, saveOption == 4};
    f.kind = ResultFileKind{saveOption, 9, {}};
    f.orders = OrderSet(f.layout.orders256);
    f.path = QStringLiteral("/data/feeder.hn9");
    ResultRecord r;
    const auto n = static_cast<std::size_t>(f.layout.orderCount());
    for (std::size_t k = 0; k < n; ++k)
        r.voltage.push_back(k == 0 ? 6600.0f + seed % 7 : 120.0f / float(k + 1) + seed % 3);
    r.current.assign(9, {});
    r.powerAngle.assign(9, {});
    for (int fe = 0; fe < 9; ++fe)
        for (std::size_t k = 0; k < n; ++k) {
            r.current[std::size_t(fe)].push_back(k == 0 ? 200.0f - fe : 9.0f / float(k + 1));
            r.powerAngle[std::size_t(fe)].push_back(std::int16_t((k * 37 + seed) % 360 - 180));
        }
    if (f.layout.hasVoltSuperAngle())
        r.voltSuperAngle.assign(n, 12);
    r.hasRms = f.layout.hasRms();
    if (r.hasRms) {
        r.voltRms = {6600, 6601, 6602};
        r.curRms.assign(9, {200, 201, 202});
    }
    f.records.push_back(r);
    return f;
}

QByteArray message(int saveOption, const QString& station, const QDateTime& t, int seed)
{
    ResultFile f = sampleFile(saveOption, seed);
    f.records[0].time = t;
    return RecordMessageJson(station, QStringLiteral("run1"), 30, f, f.records[0]);
}

struct Ingest {
    double recordsPerSecond = 0;
    double parseMs = 0, storeMs = 0;
};

// The collector's path for n records: parse, then one transaction per record.
Ingest ingest(FleetStore& store, int saveOption, int n)
{
    const QDateTime start(QDate(2026, 1, 1), QTime(0, 0));
    std::vector<QByteArray> messages;
    for (int i = 0; i < n; ++i)
        messages.push_back(message(saveOption, QStringLiteral("bench%1").arg(saveOption),
                                   start.addSecs(300LL * i), i));
    Ingest r;
    QElapsedTimer all, part;
    all.start();
    for (const QByteArray& m : messages) {
        part.start();
        const auto parsed = ParseRecordMessage(m, nullptr);
        r.parseMs += bench::msSince(part);
        part.start();
        QString why;
        if (!parsed || !store.storeRecord(*parsed, &why)) {
            std::fprintf(stderr, "store failed: %s\n", qPrintable(why));
            std::exit(1);
        }
        r.storeMs += bench::msSince(part);
    }
    r.recordsPerSecond = n / (bench::msSince(all) / 1000.0);
    return r;
}

// Baseline: the same messages as one text row each, one transaction each.
double rawRate(const DatabaseSpec& spec, int saveOption, int n)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(spec.driver, QStringLiteral("raw"));
    db.setDatabaseName(spec.path);
    db.setHostName(spec.host);
    if (spec.port > 0)
        db.setPort(spec.port);
    db.setUserName(spec.user);
    db.setPassword(spec.password);
    double rate = 0;
    if (db.open()) {
        QSqlQuery q(db);
        q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS raw (body TEXT)"));
        const QByteArray m =
            message(saveOption, QStringLiteral("raw"), QDateTime::currentDateTime(), 1);
        q.prepare(QStringLiteral("INSERT INTO raw (body) VALUES (?)"));
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < n; ++i) {
            db.transaction();
            q.addBindValue(QString::fromUtf8(m));
            q.exec();
            db.commit();
        }
        rate = n / (bench::msSince(t) / 1000.0);
    }
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("raw"));
    return rate;
}

// The same records, 100 to a transaction: the cost of the statements without one commit per
// record.
double batchedRate(FleetStore& store, int saveOption, int n)
{
    const QDateTime start(QDate(2027, 1, 1), QTime(0, 0));
    std::vector<RecordMessage> batch;
    QElapsedTimer t;
    double ms = 0;
    for (int i = 0; i < n; ++i) {
        batch.push_back(
            *ParseRecordMessage(message(saveOption, QStringLiteral("batch%1").arg(saveOption),
                                        start.addSecs(300LL * i), i),
                                nullptr));
        if (batch.size() == 100 || i == n - 1) {
            t.start();
            store.storeRecords(batch, nullptr);
            ms += bench::msSince(t);
            batch.clear();
        }
    }
    return n / (ms / 1000.0);
}

void printIngest(const char* db, int saveOption, int n, const Ingest& r, double raw)
{
    std::printf("%-10s 9 feeders x %3d orders: %7.0f records/s (%d records; parse %.2f ms, "
                "store %.2f ms per record)   baseline one text row per record: %7.0f/s   "
                "ratio %.2f\n",
                db, saveOption == 4 ? 256 : 25, r.recordsPerSecond, n, r.parseMs / n, r.storeMs / n,
                raw, raw > 0 ? r.recordsPerSecond / raw : 0);
}

quint16 freePort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

// A week of 5-minute records of every station through a real broker into the database: the
// stations' publisher keeps 100 messages in flight (the broker queues for the collector's
// persistent session), the collector writes each as it arrives.
void backlog(const DatabaseSpec& spec, int stations, int days, const QString& dir)
{
    const quint16 port = freePort();
    QFile conf(dir + QStringLiteral("/m.conf"));
    conf.open(QIODevice::WriteOnly);
    conf.write("listener " + QByteArray::number(port) +
               " 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n" +
               (::geteuid() == 0 ? "user root\n" : ""));
    conf.close();
    QProcess broker;
    broker.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), conf.fileName()});
    for (int i = 0; i < 50; ++i) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        if (s.waitForConnected(100))
            break;
        QThread::msleep(100);
    }
    const BrokerAddress address =
        *ParseBrokerUrl(QStringLiteral("mqtt://127.0.0.1:%1/bench").arg(port), nullptr);
    Collector collector(address, spec, QStringLiteral("bench-collector"), [](const QString&) {});
    collector.start();
    MqttClient::Options o;
    o.broker = address;
    o.clientId = QStringLiteral("bench-stations");
    MqttClient stationsClient(o);
    const qint64 total = qint64(stations) * days * 288;
    qint64 sent = 0, acked = 0;
    double makeMs = 0;
    QObject::connect(&stationsClient, &MqttClient::published, [&acked](int) { ++acked; });
    stationsClient.start();
    QElapsedTimer t;
    t.start();
    const QDateTime start(QDate(2026, 2, 1), QTime(0, 0));
    while (collector.counts().records < total) {
        while (stationsClient.isConnected() && sent < total && sent - acked < 100) {
            const int s = int(sent % stations);
            QElapsedTimer m;
            m.start();
            const QByteArray bytes = message(3, QStringLiteral("st%1").arg(s),
                                             start.addSecs(300 * (sent / stations)), int(sent));
            makeMs += bench::msSince(m);
            stationsClient.publish(QStringLiteral("bench/st%1/record").arg(s), bytes, 1, false);
            ++sent;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (t.elapsed() > 1800 * 1000)
            break;
    }
    const double seconds = bench::msSince(t) / 1000.0;
    std::printf("%-10s backlog of %d stations x %d days of 5-minute records (%lld records, 9 "
                "feeders x 25 orders): %.1f s, %.0f records/s end to end (making the messages: "
                "%.1f s of it)\n",
                spec.driver == QStringLiteral("QPSQL") ? "PostgreSQL" : "SQLite", stations, days,
                static_cast<long long>(collector.counts().records), seconds,
                double(collector.counts().records) / seconds, makeMs / 1000.0);
    stationsClient.stop();
    collector.stop();
    broker.kill();
    broker.waitForFinished();
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("PGHOST") &&
        qEnvironmentVariableIsEmpty("HS_BENCH_PG_STARTED")) {
        setenv("HS_BENCH_PG_STARTED", "1", 1);
        std::vector<char*> args{const_cast<char*>("pg_virtualenv")};
        for (int i = 0; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        execvp("pg_virtualenv", args.data());
        std::fprintf(stderr, "pg_virtualenv not found (postgresql-common): SQLite only\n");
    }
    QCoreApplication app(argc, argv);
    int stations = 50, days = 7; // --days 0: the ingest figures only
    for (int i = 1; i + 1 < argc; i += 2) {
        if (QByteArray(argv[i]) == "--stations")
            stations = std::atoi(argv[i + 1]);
        else if (QByteArray(argv[i]) == "--days")
            days = std::atoi(argv[i + 1]);
    }
    QTemporaryDir dir;
    std::vector<DatabaseSpec> specs{*ParseDatabaseSpec(
        QStringLiteral("sqlite:") + dir.path() + QStringLiteral("/f.db"), nullptr)};
    if (!qEnvironmentVariableIsEmpty("PGHOST")) {
        DatabaseSpec pg;
        pg.driver = QStringLiteral("QPSQL");
        pg.host = qEnvironmentVariable("PGHOST");
        pg.port = qEnvironmentVariableIntValue("PGPORT");
        pg.user = qEnvironmentVariable("PGUSER");
        pg.password = qEnvironmentVariable("PGPASSWORD");
        pg.path = qEnvironmentVariable("PGDATABASE", QStringLiteral("postgres"));
        specs.push_back(pg);
    }
    for (const DatabaseSpec& spec : specs) {
        FleetStore store;
        QString why;
        if (!store.open(spec, &why)) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(spec.text()), qPrintable(why));
            return 1;
        }
        const char* name = spec.driver == QStringLiteral("QPSQL") ? "PostgreSQL" : "SQLite";
        for (const auto& [option, n] : {std::pair{3, 3000}, std::pair{4, 1000}}) {
            printIngest(name, option, n, ingest(store, option, n), rawRate(spec, option, n));
            std::printf("%-10s   the same, 100 records to a transaction (statements only): %7.0f "
                        "records/s\n",
                        name, batchedRate(store, option, n));
        }
        std::fflush(stdout);
    }
    for (const DatabaseSpec& spec : specs) {
        const bool last = spec.driver == QStringLiteral("QPSQL") || specs.size() == 1;
        if (days > 0 && stations > 0 && last)
            backlog(spec, stations, days, dir.path());
    }
    return 0;
}
