// The status page under load: `measure --simulate` runs 5 save intervals alone, with 20
// clients that each poll /api/status and a view image every 200 ms, and with one client that
// asks for a table view at every width from 160 to 1920 back to back. Prints the shot rate of
// the loaded runs against the run alone as ratios, the request latencies (p50, p99) and the
// failed requests.
//
//   bench_web_load [TIME_SCALE] [SAVE_INTERVAL_MIN] [PAIRS]     (defaults 0.01, 5 and 2)

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include <unistd.h>
#include <vector>

namespace {

constexpr int kClients = 20;
constexpr int kPollMs = 200;
constexpr int kIntervals = 5;

struct RunResult {
    bool ok = false;
    long long shots = 0;
    long long records = 0;
    double seconds = 0;
    // The station's own CPU time (user + system) and its shots, read together near the end.
    double cpuSeconds = 0;
    long long cpuShots = 0;
};

// User plus system CPU seconds of a process so far; 0 when unknown.
double cpuSecondsOf(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QString readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// One request on a kept-alive connection: the status of a whole answer, 0 for none.
int request(QTcpSocket& socket, quint16 port, const QByteArray& path, QByteArray* body = nullptr)
{
    if (socket.state() != QAbstractSocket::ConnectedState) {
        socket.abort();
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        if (!socket.waitForConnected(5000))
            return 0;
    }
    socket.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                 "\r\n\r\n");
    QByteArray data;
    qsizetype headerEnd = -1;
    qint64 length = -1;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000) {
        if (headerEnd < 0 && (headerEnd = data.indexOf("\r\n\r\n")) >= 0) {
            static const QRegularExpression cl(QStringLiteral("(?i)content-length:\\s*(\\d+)"));
            length = cl.match(QString::fromLatin1(data.left(headerEnd))).captured(1).toLongLong();
        }
        if (headerEnd >= 0 && data.size() >= headerEnd + 4 + length) {
            if (body)
                *body = data.mid(headerEnd + 4);
            return data.mid(9, 3).toInt();
        }
        if (!socket.waitForReadyRead(1000) && socket.state() != QAbstractSocket::ConnectedState)
            return 0;
        data += socket.readAll();
    }
    return 0;
}

// A whole answer the page may give under load: 200, or 503 before the first shot or (with
// 429) when the page's drawing budget is spent.
bool acceptable(int status)
{
    return status == 200 || status == 503 || status == 429;
}

struct Load {
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::vector<double> latenciesMs;
    long long failed = 0;
    long long served = 0;
    long long refused = 0; // 429 / 503 answers
};

enum class Clients { None, Polling, Sweeping };

void client(quint16 port, int index, Load& load)
{
    QTcpSocket socket;
    const QByteArray view = "/view/" + QByteArray::number(index % 2 ? 1 : 9) +
                            ".png?feeder=" + QByteArray::number(index % 3 + 1);
    std::vector<double> latencies;
    long long failed = 0;
    QElapsedTimer clock;
    clock.start();
    qint64 next = (index * kPollMs) / kClients; // spread over the period
    while (!load.stop) {
        const qint64 wait = next - clock.elapsed();
        if (wait > 0)
            QThread::msleep(static_cast<unsigned long>(wait));
        next += kPollMs;
        for (const QByteArray& path : {QByteArray("/api/status"), view}) {
            if (load.stop)
                break;
            QElapsedTimer t;
            t.start();
            const int status = request(socket, port, path);
            if (!acceptable(status))
                ++failed;
            else if (status == 200)
                latencies.push_back(t.nsecsElapsed() / 1e6);
        }
    }
    std::lock_guard lock(load.mutex);
    load.latenciesMs.insert(load.latenciesMs.end(), latencies.begin(), latencies.end());
    load.failed += failed;
    load.served += static_cast<long long>(latencies.size());
}

// One client that asks for table view 2 at every width in turn, without pausing.
void sweeper(quint16 port, Load& load)
{
    QTcpSocket socket;
    long long failed = 0, served = 0, refused = 0;
    for (int w = 160; !load.stop; w = w >= 1920 ? 160 : w + 1) {
        const int status = request(socket, port, "/view/2.png?w=" + QByteArray::number(w));
        if (!acceptable(status))
            ++failed;
        else if (status == 200)
            ++served;
        else
            ++refused;
    }
    std::lock_guard lock(load.mutex);
    load.failed += failed;
    load.served += served;
    load.refused += refused;
}

RunResult run(double scale, int intervalMin, Clients kind, Load* load)
{
    QTemporaryDir dir;
    const QString settings = dir.path() + QStringLiteral("/settings.json");
    QFile file(settings);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write(QStringLiteral(R"({
  "recorders": [ { "address": "127.0.0.1", "port": %1 } ],
  "MeasureType": 2, "LastFeeder": 2, "SampleCount": 512, "SaveFormat": 1, "SaveOption": 3,
  "SyncMode": 0, "PtRatio": 60, "CtRatio": [1, 1, 1], "CurrentScale": [0.1, 0.1, 0.1],
  "SaveIntervalMin": %2, "StartDateTime": "+0", "EndDateTime": "+%3", "OutputFile": "%4"
})")
                   .arg(freePort())
                   .arg(intervalMin)
                   .arg(kIntervals * intervalMin)
                   .arg(dir.path() + QStringLiteral("/out/run.hv3"))
                   .toUtf8());
    file.close();
    const QString out = dir.path() + QStringLiteral("/stdout.txt");
    QProcess station;
    station.setStandardOutputFile(out);
    station.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    station.start(QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/.."))
                      .absoluteFilePath(QStringLiteral("harmonic-station")),
                  {QStringLiteral("measure"), QStringLiteral("--settings"), settings,
                   QStringLiteral("--simulate"), QStringLiteral("--quiet"),
                   QStringLiteral("--time-scale"), QString::number(scale),
                   QStringLiteral("--serve"), QStringLiteral("0")});
    static const QRegularExpression page(QStringLiteral("status page: http://\\S+:(\\d+)/"));
    quint16 port = 0;
    while (port == 0 && station.state() != QProcess::NotRunning && timer.elapsed() < 60000) {
        port = static_cast<quint16>(page.match(readAll(out)).captured(1).toUInt());
        QThread::msleep(20);
    }
    std::vector<std::thread> clients;
    if (load)
        load->stop = false;
    if (load && port != 0 && kind == Clients::Polling)
        for (int i = 0; i < kClients; ++i)
            clients.emplace_back(client, port, i, std::ref(*load));
    if (load && port != 0 && kind == Clients::Sweeping)
        clients.emplace_back(sweeper, port, std::ref(*load));
    // The load lasts until the station's calendar is within 2 % of the run's end (in both runs
    // the same watcher asks for the status ten times a second).
    static const QRegularExpression times(
        QStringLiteral("\"end\":\"([^\"]+)\".*\"time\":\"([^\"]+)\""));
    QTcpSocket watcher;
    double cpu = 0;
    long long cpuShots = 0;
    static const QRegularExpression shotsField(QStringLiteral("\"shots\":(\\d+)"));
    const qint64 margin = kIntervals * intervalMin * 60 / 50;
    while (port != 0 && !station.waitForFinished(100)) {
        QByteArray body;
        if (request(watcher, port, "/api/status", &body) != 200)
            continue;
        const double used = cpuSecondsOf(station.processId());
        if (used > 0) {
            cpu = used;
            cpuShots = shotsField.match(QString::fromUtf8(body)).captured(1).toLongLong();
        }
        const QRegularExpressionMatch m = times.match(QString::fromUtf8(body));
        const QDateTime end = QDateTime::fromString(m.captured(1), Qt::ISODate);
        const QDateTime now = QDateTime::fromString(m.captured(2), Qt::ISODate);
        if (end.isValid() && now.isValid() && now.secsTo(end) <= margin)
            break;
    }
    if (load) {
        load->stop = true;
        for (std::thread& t : clients)
            t.join();
    }
    station.waitForFinished(-1);
    RunResult r;
    r.seconds = timer.nsecsElapsed() / 1e9;
    r.cpuSeconds = cpu;
    r.cpuShots = cpuShots;
    // A run that the load starved ends with missing records (exit status 3): a figure too.
    static const QRegularExpression final(
        QStringLiteral("measurement (?:complete|ended with missing records): (\\d+) shots "
                       "analysed, (\\d+) of \\d+ records written"));
    const QRegularExpressionMatch m = final.match(readAll(out));
    r.ok = port != 0 && m.hasMatch() && (station.exitCode() == 0 || station.exitCode() == 3);
    r.shots = m.captured(1).toLongLong();
    r.records = m.captured(2).toLongLong();
    return r;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5))];
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const double scale = argc > 1 ? std::atof(argv[1]) : 0.01;
    const int interval = argc > 2 ? std::atoi(argv[2]) : 5;
    std::printf("measure --simulate, %d save intervals of %d min at time scale %g; alone, with "
                "%d clients polling /api/status and a view PNG every %d ms, and with one client "
                "sweeping /view/2.png?w=160..1920\n",
                kIntervals, interval, scale, kClients, kPollMs);

    // The three runs alternate, so that a busy machine weighs on all alike.
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 2;
    RunResult alone, polled, swept;
    Load polling, sweeping;
    const auto add = [](RunResult& sum, const RunResult& r) {
        sum.shots += r.shots;
        sum.records += r.records;
        sum.cpuSeconds += r.cpuSeconds;
        sum.cpuShots += r.cpuShots;
    };
    for (int p = 0; p < rounds; ++p) {
        const RunResult a = run(scale, interval, Clients::None, nullptr);
        const RunResult b = run(scale, interval, Clients::Polling, &polling);
        const RunResult c = run(scale, interval, Clients::Sweeping, &sweeping);
        if (!a.ok || !b.ok || !c.ok) {
            std::printf("a run failed (alone %d, polled %d, swept %d)\n", a.ok, b.ok, c.ok);
            return 1;
        }
        std::printf("round %d: shots alone %lld, with %d polling clients %lld, with a sweeping "
                    "client %lld\n",
                    p + 1, a.shots, kClients, b.shots, c.shots);
        add(alone, a);
        add(polled, b);
        add(swept, c);
    }
    const auto ratio = [&](const RunResult& r) {
        return alone.shots > 0 ? double(r.shots) / double(alone.shots) : 0.0;
    };
    std::printf("shots analysed   alone %lld; %d polling clients %lld: ratio %.3f; a sweeping "
                "client %lld: ratio %.3f (target >= 0.95)\n",
                alone.shots, kClients, polled.shots, ratio(polled), swept.shots, ratio(swept));
    const auto perShot = [](const RunResult& r) {
        return r.cpuShots > 0 ? 1000.0 * r.cpuSeconds / double(r.cpuShots) : 0.0;
    };
    std::printf("station CPU/shot alone %.2f ms, polled %.2f ms (ratio %.3f), swept %.2f ms "
                "(ratio %.3f) (the clients run on the same cores)\n",
                perShot(alone), perShot(polled),
                perShot(alone) > 0 ? perShot(polled) / perShot(alone) : 0.0, perShot(swept),
                perShot(alone) > 0 ? perShot(swept) / perShot(alone) : 0.0);
    std::printf("records saved    alone %lld, polled %lld, swept %lld (expected %d each)\n",
                alone.records, polled.records, swept.records, rounds * (kIntervals + 1));
    std::printf("polling clients  served %lld, refused (429/503) %lld, failed %lld; latency p50 "
                "%.2f ms, p99 %.2f ms, max %.2f ms\n",
                polling.served, polling.refused, polling.failed,
                percentile(polling.latenciesMs, 0.5), percentile(polling.latenciesMs, 0.99),
                percentile(polling.latenciesMs, 1.0));
    std::printf("sweeping client  served %lld, refused (429/503) %lld, failed %lld\n",
                sweeping.served, sweeping.refused, sweeping.failed);
    // A figure, not a verdict on a shared machine: only failed requests fail the benchmark.
    return polling.failed + sweeping.failed == 0 ? 0 : 1;
}
