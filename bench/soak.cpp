// Soak run: a 7-day measurement with `measure --simulate` (three feeders, saves every 30 min) at
// a time scale that runs it in under 10 minutes. Reports the records written, the peak resident
// memory over the first and over the last simulated day (the end must not exceed the start:
// nothing may grow with the length of a run), and the CPU seconds per simulated hour.
//   bench_soak [TIME_SCALE]   (default 0.0009: 7 days in about 9 minutes)

#include "app/MeasureCommand.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kDays = 7;
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
    const double scale =
        argc > 1 ? std::max(1e-5, QString::fromLocal8Bit(argv[1]).toDouble()) : 0.0009;

    quint16 port = 0;
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0)) {
            std::fprintf(stderr, "no free port\n");
            return 1;
        }
        port = probe.serverPort();
    }
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
                   .arg(kDays * 24 * 60)
                   .arg(output)
                   .toUtf8());
    file.close();

    // Resident memory sampled every real second, by simulated day.
    const double runSeconds = kDays * 24 * 3600 * scale;
    long firstDayPeak = 0, lastDayPeak = 0, peak = 0;
    QElapsedTimer elapsed;
    elapsed.start();
    const auto sample = [&] {
        const long kb = residentKb();
        const double t = static_cast<double>(elapsed.elapsed()) / 1000.0;
        peak = std::max(peak, kb);
        if (t < runSeconds / kDays)
            firstDayPeak = std::max(firstDayPeak, kb);
        if (t > runSeconds * (kDays - 1) / kDays)
            lastDayPeak = std::max(lastDayPeak, kb);
    };
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, sample);
    sampler.start(1000);

    std::printf("soak: %d simulated days at time scale %g (about %.0f s)\n", kDays, scale,
                runSeconds);
    std::fflush(stdout);
    const double cpuBefore = cpuSeconds();
    const int status = hs::runMeasureCommand(
        {QStringLiteral("--settings"), settings, QStringLiteral("--simulate"),
         QStringLiteral("--time-scale"), QString::number(scale), QStringLiteral("--quiet")});
    sample();
    const double cpu = cpuSeconds() - cpuBefore;
    const qint64 size = QFileInfo(output).size();

    const long expectedRecords = kDays * 24 * 2 + 1;
    std::printf("exit status                 %d\n", status);
    std::printf("wall time                   %.1f s\n",
                static_cast<double>(elapsed.elapsed()) / 1000.0);
    std::printf("records written             %lld (expected %ld), %lld bytes\n",
                static_cast<long long>(size / kRecordBytes), expectedRecords,
                static_cast<long long>(size));
    std::printf("peak RSS, first day         %ld kB\n", firstDayPeak);
    std::printf("peak RSS, last day          %ld kB   ratio to first day %.3f\n", lastDayPeak,
                firstDayPeak > 0
                    ? static_cast<double>(lastDayPeak) / static_cast<double>(firstDayPeak)
                    : 0.0);
    std::printf("peak RSS, whole run         %ld kB\n", peak);
    std::printf("CPU per simulated hour      %.3f s (%.1f s in all)\n", cpu / (kDays * 24), cpu);
    const bool grew = firstDayPeak > 0 && lastDayPeak > firstDayPeak + firstDayPeak / 20;
    if (grew)
        std::printf("FAIL: resident memory grew by more than 5 %%\n");
    return status == 0 && size == expectedRecords * kRecordBytes && !grew ? 0 : 1;
}
