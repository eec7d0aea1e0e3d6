// Soak run: a 7-day measurement with `measure` against a simulated recorder (three feeders,
// saves every 30 min) at a time scale that runs it in under 10 minutes. Reports the records
// written against the records expected, the peak resident memory over the first and over the
// last simulated day (the end must not exceed the start: nothing may grow with the length of a
// run), and the CPU seconds per simulated hour.
//   bench_soak [TIME_SCALE] [--days N] [--outage-hours H]
// TIME_SCALE defaults to 0.0009 (7 days in about 9 minutes). --outage-hours kills the simulated
// recorder in the middle of the run and starts it again on the same address H simulated hours
// later: the run must connect again and go on, and only the save times of the outage may miss.

#include "app/MeasureCommand.h"
#include "common/Clock.h"
#include "sim/SimServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

constexpr int kRecordBytes = 654; // SaveOption 3, three feeders

long residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    double scale = 0.0009;
    int days = 7;
    double outageHours = 0;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QStringLiteral("--days") && i + 1 < args.size())
            days = std::max(2, args[++i].toInt());
        else if (args[i] == QStringLiteral("--outage-hours") && i + 1 < args.size())
            outageHours = std::max(0.0, args[++i].toDouble());
        else
            scale = std::max(1e-5, args[i].toDouble());
    }

    // The simulated recorder, on a free loopback port, with the station's time scale.
    hs::Clock simClock(scale);
    const auto startRecorder = [&](quint16 on) {
        auto server =
            std::make_unique<hs::sim::SimServer>(simClock, hs::sim::Scenario::defaultScenario(), 1);
        if (!server->listen(0, QHostAddress::LocalHost, on))
            server.reset();
        return server;
    };
    std::unique_ptr<hs::sim::SimServer> recorder = startRecorder(0);
    if (!recorder) {
        std::fprintf(stderr, "no free port\n");
        return 1;
    }
    const quint16 port = recorder->port(0);
    QTemporaryDir dir;
    const QString output = dir.path() + QStringLiteral("/soak.hv3");
    const QString settings = dir.path() + QStringLiteral("/soak.json");
    QFile file(settings);
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    file.write(QStringLiteral(R"({
  "recorders": [ { "address": "127.0.0.1", "port": %1 } ],
  "MeasureType": 2, "LastFeeder": 2, "SampleCount": 512, "SaveFormat": 1, "SaveOption": 3,
  "SyncMode": 0, "SaveIntervalMin": 30, "PrintIntervalMin": 60, "FdSaveMode": 5,
  "FdSaveIntervalMin": 360, "StartDateTime": "+0", "EndDateTime": "+%2", "OutputFile": "%3"
})")
                   .arg(port)
                   .arg(days * 24 * 60)
                   .arg(output)
                   .toUtf8());
    file.close();

    // Resident memory sampled every real second, by simulated day.
    const double runSeconds = days * 24 * 3600 * scale;
    long firstDayPeak = 0, lastDayPeak = 0, peak = 0;
    QElapsedTimer elapsed;
    elapsed.start();
    const auto sample = [&] {
        const long kb = residentKb();
        const double t = static_cast<double>(elapsed.elapsed()) / 1000.0;
        peak = std::max(peak, kb);
        if (t < runSeconds / days)
            firstDayPeak = std::max(firstDayPeak, kb);
        if (t > runSeconds * (days - 1) / days)
            lastDayPeak = std::max(lastDayPeak, kb);
    };
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        // Nobody reads the simulated recorder's command log here: keep it from growing.
        if (recorder)
            recorder->recorder(0).clearLog();
        sample();
    });
    sampler.start(1000);

    // The outage: the recorder process gone in the middle of the run, back H hours later.
    QTimer outage;
    QDateTime outageFrom, outageTo;
    if (outageHours > 0) {
        outage.setSingleShot(true);
        QObject::connect(&outage, &QTimer::timeout, [&] {
            outageFrom = simClock.now();
            recorder.reset();
            QTimer::singleShot(static_cast<int>(outageHours * 3600 * 1000 * scale), [&] {
                outageTo = simClock.now();
                recorder = startRecorder(port);
            });
        });
        outage.start(static_cast<int>(runSeconds * 500));
    }

    std::printf("soak: %d simulated days at time scale %g (about %.0f s)", days, scale, runSeconds);
    if (outageHours > 0)
        std::printf(", recorder gone for %g h in the middle", outageHours);
    std::printf("\n");
    std::fflush(stdout);
    const double cpuBefore = cpuSeconds();
    const int status = hs::runMeasureCommand({QStringLiteral("--settings"), settings,
                                              QStringLiteral("--time-scale"),
                                              QString::number(scale), QStringLiteral("--quiet")});
    sample();
    const double cpu = cpuSeconds() - cpuBefore;
    const qint64 size = QFileInfo(output).size();

    // Save times +0, +30 min, ..., the end; those inside the outage may have no record.
    const long expectedRecords = days * 24 * 2 + 1;
    const long outageSaves = static_cast<long>(outageHours * 2) + 1;
    std::printf("exit status                 %d\n", status);
    std::printf("wall time                   %.1f s\n",
                static_cast<double>(elapsed.elapsed()) / 1000.0);
    if (outageHours > 0)
        std::printf("recorder gone               %s to %s (station time)\n",
                    qPrintable(outageFrom.toString(QStringLiteral("yyyy/MM/dd HH:mm"))),
                    qPrintable(outageTo.toString(QStringLiteral("yyyy/MM/dd HH:mm"))));
    std::printf("records written             %lld (expected %ld), %lld bytes\n",
                static_cast<long long>(size / kRecordBytes), expectedRecords,
                static_cast<long long>(size));
    std::printf("peak RSS, first day         %ld kB\n", firstDayPeak);
    std::printf("peak RSS, last day          %ld kB   ratio to first day %.3f\n", lastDayPeak,
                firstDayPeak > 0
                    ? static_cast<double>(lastDayPeak) / static_cast<double>(firstDayPeak)
                    : 0.0);
    std::printf("peak RSS, whole run         %ld kB\n", peak);
    std::printf("CPU per simulated hour      %.3f s (%.1f s in all)\n", cpu / (days * 24), cpu);
    const bool grew = firstDayPeak > 0 && lastDayPeak > firstDayPeak + firstDayPeak / 20;
    if (grew)
        std::printf("FAIL: resident memory grew by more than 5 %%\n");
    if (outageHours <= 0)
        return status == 0 && size == expectedRecords * kRecordBytes && !grew ? 0 : 1;
    // With an outage: the run ends with missing records (status 3) and loses no more than the
    // outage's save times.
    const long written = static_cast<long>(size / kRecordBytes);
    const bool lostTooMany = written < expectedRecords - outageSaves;
    if (lostTooMany)
        std::printf("FAIL: more records missing than the outage explains\n");
    return status == 3 && size % kRecordBytes == 0 && !lostTooMany && !grew ? 0 : 1;
}
