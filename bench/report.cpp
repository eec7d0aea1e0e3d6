// The compliance report over one week of 5-minute records of 9 feeders at 256 orders (2016
// records, 31 MB): reading the file alone is the baseline measured in the same run; the report
// (read, evaluate against IEEE 519 with 10-minute windows, write HTML, CSV and PDF) is given as
// its time, its ratio to the baseline and the process's peak memory.
// Targets: the report under 2 s and under 200 MB.

#include "app/ReportDocument.h"
#include "compliance/LimitArguments.h"
#include "files/ResultFileReader.h"
#include "files/ResultFormat.h"
#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"

#include "BenchSupport.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>

#include <sys/resource.h>

namespace {

using namespace hs;

double peakMegabytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// A week of records, written as the station writes them.
bool writeWeek(const QString& path)
{
    MeasurementSettings s;
    s.MeasureType() = 2;
    s.LastFeeder = 8;
    s.SampleCount = 1024;
    s.SaveOption() = 4;
    s.MaxHarmonicOrder = 256;
    s.Orders256 = true;
    MeasurementData d;
    d.sizeForMeasurement(s);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QDateTime start(QDate(2026, 11, 30), QTime(0, 0));
    for (int r = 1; r <= 7 * 24 * 12; ++r) {
        const double day = std::sin(6.283185307 * r / 288.0);
        for (std::size_t k = 1; k <= 256; ++k) {
            d.IntVoltByOrder[k] = static_cast<float>(k == 1 ? 6600.0 : 6600.0 * 0.01 / k * (1 + 0.2 * day));
            for (std::size_t f = 0; f < 9; ++f) {
                const double base = 100.0 + 20.0 * f;
                d.IntCurByOrder(f, k) =
                    static_cast<float>(k == 1 ? base : base * 0.2 / k * (1 + 0.3 * day));
                d.IntActivePower(f, k) = static_cast<float>(k % 3 == 0 ? -1.0 : 1.0);
            }
        }
        file.write(BuildResultRecord(s, d, 1, start.addSecs(300LL * r)));
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("week.hn9"));
    if (!writeWeek(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
    }
    const double before = peakMegabytes();

    QElapsedTimer timer;
    timer.start();
    ResultRecordReader reader;
    QString error;
    ResultRecord record;
    qint64 records = 0;
    if (!reader.open(path, error))
        return 1;
    while (reader.next(record))
        ++records;
    const double readMs = bench::msSince(timer);

    // The report's steps as `report` takes them.
    QElapsedTimer total;
    total.start();
    timer.start();
    LimitSelection limits{builtInProfile(QStringLiteral("ieee519")).value(), {}};
    limits.params.kv = 6.6;
    limits.params.il = {200};
    limits.params.isc = {8000};
    ComplianceEvaluator evaluator(limits.profile, limits.params);
    ResultFileSource source;
    if (!source.open(path) || !evaluator.add(source))
        return 1;
    const Result<ComplianceReport> report = evaluator.evaluate();
    if (!report)
        return 1;
    const double evaluateMs = bench::msSince(timer);
    timer.start();
    const std::vector<QImage> charts = reportCharts(*report);
    const double chartsMs = bench::msSince(timer);
    timer.start();
    const QByteArray html = reportHtml(*report, charts).toUtf8();
    const double htmlMs = bench::msSince(timer);
    timer.start();
    const QByteArray csv = reportCsv(*report);
    const double csvMs = bench::msSince(timer);
    timer.start();
    if (!writeReportPdf(*report, charts, dir.filePath(QStringLiteral("report.pdf")), error))
        return 1;
    const double pdfMs = bench::msSince(timer);
    const double reportMs = bench::msSince(total);
    const double peak = peakMegabytes();

    std::printf("records: %lld of %lld bytes (%.1f MB)\n", static_cast<long long>(records),
                static_cast<long long>(reader.file().layout.recordLength()),
                QFileInfo(path).size() / 1e6);
    std::printf("read alone (baseline):  %8.1f ms\n", readMs);
    std::printf("read and evaluate:      %8.1f ms = %.1f x the read\n", evaluateMs, evaluateMs / readMs);
    std::printf("charts:                 %8.1f ms = %.1f x the read\n", chartsMs, chartsMs / readMs);
    std::printf("HTML (%lld kB):        %8.1f ms = %.1f x the read\n",
                static_cast<long long>(html.size() / 1024), htmlMs, htmlMs / readMs);
    std::printf("CSV (%lld kB):         %8.1f ms = %.1f x the read\n",
                static_cast<long long>(csv.size() / 1024), csvMs, csvMs / readMs);
    std::printf("PDF:                    %8.1f ms = %.1f x the read\n", pdfMs, pdfMs / readMs);
    std::printf("whole report:           %8.1f ms = %.1f x the read; target < 2000 ms: %s\n",
                reportMs, reportMs / readMs, reportMs < 2000 ? "met" : "NOT met");
    std::printf("peak memory: %.1f MB (%.1f MB before the report); target < 200 MB: %s\n", peak,
                before, peak < 200 ? "met" : "NOT met");
    return 0;
}
