#include "app/ExportCommand.h"

#include "app/ExportPlot.h"
#include "files/Comtrade.h"
#include "files/ResultExport.h"
#include "files/ResultFileReader.h"
#include "files/WaveformFile.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>

namespace hs {

namespace {

const char* const kHelp =
    "Usage: harmonic-station export FILE... [--format csv|json] [--out DIR] [--orders LIST]\n"
    "                                       [--feeder N] [--feeders N]\n"
    "       harmonic-station export --comtrade WAVEFILE [--out DIR] [--frequency HZ]\n"
    "                                       [--counts-per-division 80|160]\n"
    "                                       [--primary --pt RATIO --ct LIST --current-scale LIST]\n"
    "       harmonic-station export --plot FILE [--out DIR] [--orders LIST] [--feeder N]\n"
    "\n"
    "Result files (.hmN .ha4 .ha5 .hvN .hnN and the phase files .R.. .T.. .S..) become one CSV\n"
    "(or JSON) each, named after the file with .csv (.json) added, one row per record. A file\n"
    "cut short is exported up to its last whole record, with a note; a file whose size or\n"
    "contents do not fit its extension is refused.\n"
    "\n"
    "  --format csv|json       output format (csv)\n"
    "  --out DIR               output folder (the current folder)\n"
    "  --orders LIST           harmonic orders to keep, e.g. 1,3,5-11 (all saved orders);\n"
    "                          orders the file does not hold are left out with a note\n"
    "  --feeder N              keep feeder N only (all feeders)\n"
    "  --feeders N             number of feeders of .ha4/.ha5 files when the file cannot tell\n"
    "  --comtrade WAVEFILE     a waveform file (...Wev.dat, the .dat may be left off) as a\n"
    "                          COMTRADE 1999 ASCII record: the file's name without .dat,\n"
    "                          plus .cfg and .dat, in the output folder\n"
    "  --frequency HZ          fundamental frequency of the stored period (50)\n"
    "  --counts-per-division N 80 for the 8840/8841, 160 for the 8835 (80)\n"
    "  --primary               primary values: voltages times --pt, currents in amperes\n"
    "                          (sensor volts times CT ratio over the sensor's volts per ampere)\n"
    "  --pt RATIO              PT ratio (60)\n"
    "  --ct LIST               CT ratio of each feeder, comma-separated (1 each)\n"
    "  --current-scale LIST    volts per ampere of each feeder's sensor (0.1 each)\n"
    "  --plot FILE             PNG of the record trend: fundamental voltage, voltage and\n"
    "                          current distortion and the chosen orders over time\n";

void say(const QString& text)
{
    std::fprintf(stdout, "%s\n", qPrintable(text));
}
void complain(const QString& text)
{
    std::fprintf(stderr, "harmonic-station export: %s\n", qPrintable(text));
}

bool parseList(const QString& text, std::array<double, 9>& out)
{
    const QStringList parts = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (parts.isEmpty() || parts.size() > 9)
        return false;
    for (int i = 0; i < parts.size(); ++i) {
        bool ok = false;
        out[static_cast<std::size_t>(i)] = parts[i].trimmed().toDouble(&ok);
        if (!ok)
            return false;
    }
    // A shorter list repeats its last value for the further feeders.
    for (std::size_t i = static_cast<std::size_t>(parts.size()); i < 9; ++i)
        out[i] = out[i - 1];
    return true;
}

// Opens a result file for reading its records in turn (checking the whole file) and checks
// the selection against it.
bool readResult(const QString& path, int feeders, const ExportSelection& selection,
                ResultRecordReader& reader)
{
    QString error;
    if (!reader.open(path, error, feeders)) {
        complain(error);
        return false;
    }
    const ResultFile& file = reader.file();
    if (file.truncated())
        complain(QStringLiteral("note: ") + file.truncationNote());
    if (reader.recordCount() == 0) {
        // An empty file, or one shorter than a record, has nothing to export.
        complain(
            QStringLiteral("%1: no whole record (%2 bytes)").arg(path).arg(QFileInfo(path).size()));
        return false;
    }
    if (const QString problem = CheckSelection(file, selection); !problem.isEmpty()) {
        complain(problem);
        return false;
    }
    const std::vector<int> missing = UnsavedOrders(file, selection);
    if (!missing.empty()) {
        QStringList orders;
        for (int k : missing)
            orders << QString::number(k);
        complain(QStringLiteral("note: %1 does not hold orders %2; they are left out")
                     .arg(path, orders.join(QLatin1Char(','))));
    }
    return true;
}

// Writes the export record by record; the target appears only when it is complete.
bool writeExport(const QString& target, ResultRecordReader& reader,
                 const ExportSelection& selection, ExportFormat format)
{
    QSaveFile file(target);
    QString error;
    if (!file.open(QIODevice::WriteOnly))
        error = file.errorString();
    else if (WriteResultExport(reader, selection, format, file, error) && !file.commit())
        error = file.errorString();
    if (error.isEmpty())
        return true;
    complain(reader.error().isEmpty() ? QStringLiteral("%1: cannot write: %2").arg(target, error)
                                      : error);
    return false;
}

int exportComtrade(const QCommandLineParser& parser, const QDir& out)
{
    ComtradeOptions options;
    bool ok = true;
    if (parser.isSet(QStringLiteral("frequency")))
        options.frequency = parser.value(QStringLiteral("frequency")).toDouble(&ok);
    if (!ok || !(options.frequency > 0)) {
        complain(QStringLiteral("--frequency needs a positive number"));
        return 2;
    }
    if (parser.isSet(QStringLiteral("counts-per-division"))) {
        options.countsPerDivision = parser.value(QStringLiteral("counts-per-division")).toInt(&ok);
        if (!ok || (options.countsPerDivision != 80 && options.countsPerDivision != 160)) {
            complain(QStringLiteral("--counts-per-division is 80 or 160"));
            return 2;
        }
    }
    options.primary = parser.isSet(QStringLiteral("primary"));
    if (parser.isSet(QStringLiteral("pt"))) {
        options.ptRatio = parser.value(QStringLiteral("pt")).toDouble(&ok);
        if (!ok) {
            complain(QStringLiteral("--pt needs a number"));
            return 2;
        }
    }
    if (parser.isSet(QStringLiteral("ct")) &&
        !parseList(parser.value(QStringLiteral("ct")), options.ctRatio)) {
        complain(QStringLiteral("--ct needs up to nine comma-separated numbers"));
        return 2;
    }
    if (parser.isSet(QStringLiteral("current-scale")) &&
        !parseList(parser.value(QStringLiteral("current-scale")), options.currentScale)) {
        complain(QStringLiteral("--current-scale needs up to nine comma-separated numbers"));
        return 2;
    }
    QString path = parser.value(QStringLiteral("comtrade"));
    if (!QFileInfo::exists(path) && QFileInfo::exists(path + QStringLiteral(".dat")))
        path += QStringLiteral(".dat");
    WaveformFile wave;
    QString error;
    if (!ReadWaveformFile(path, wave, error)) {
        complain(error);
        return 1;
    }
    QString base = QFileInfo(path).fileName();
    if (base.endsWith(QStringLiteral(".dat"), Qt::CaseInsensitive))
        base.chop(4);
    const QString target = out.filePath(base);
    if (!WriteComtrade(wave, options, target, error)) {
        complain(error);
        return 1;
    }
    say(QStringLiteral("%1.cfg, %1.dat: %2 channels, %3 samples at %4 Hz (%5 values)")
            .arg(target)
            .arg(wave.channelCount())
            .arg(wave.sampleCount + 1)
            .arg(wave.sampleCount * options.frequency)
            .arg(options.primary ? QStringLiteral("primary") : QStringLiteral("secondary")));
    return 0;
}

QList<QCommandLineOption> exportOptions()
{
    return {
        {QStringLiteral("help"), QStringLiteral("help")},
        {QStringLiteral("format"), QStringLiteral("csv or json"), QStringLiteral("FORMAT"),
         QStringLiteral("csv")},
        {QStringLiteral("out"), QStringLiteral("output folder"), QStringLiteral("DIR"),
         QStringLiteral(".")},
        {QStringLiteral("orders"), QStringLiteral("orders"), QStringLiteral("LIST")},
        {QStringLiteral("feeder"), QStringLiteral("feeder"), QStringLiteral("N")},
        {QStringLiteral("feeders"), QStringLiteral("feeders"), QStringLiteral("N")},
        {QStringLiteral("comtrade"), QStringLiteral("waveform file"), QStringLiteral("WAVEFILE")},
        {QStringLiteral("frequency"), QStringLiteral("Hz"), QStringLiteral("HZ")},
        {QStringLiteral("counts-per-division"), QStringLiteral("counts"), QStringLiteral("N")},
        {QStringLiteral("primary"), QStringLiteral("primary values")},
        {QStringLiteral("pt"), QStringLiteral("PT ratio"), QStringLiteral("RATIO")},
        {QStringLiteral("ct"), QStringLiteral("CT ratios"), QStringLiteral("LIST")},
        {QStringLiteral("current-scale"), QStringLiteral("sensor V/A"), QStringLiteral("LIST")},
        {QStringLiteral("plot"), QStringLiteral("result file"), QStringLiteral("FILE")},
    };
}

// The records to export (--orders, --feeder) and the feeder count of files that cannot tell it
// (--feeders, 0 when not given); false (the usage is wrong) after saying why.
bool readSelection(const QCommandLineParser& parser, ExportSelection& selection, int& feeders)
{
    if (parser.isSet(QStringLiteral("orders"))) {
        const auto orders = ParseOrderList(parser.value(QStringLiteral("orders")));
        if (!orders) {
            complain(QStringLiteral("--orders needs a list like 1,3,5-11 of orders 1..256"));
            return false;
        }
        selection.orders = *orders;
    }
    bool ok = true;
    if (parser.isSet(QStringLiteral("feeder"))) {
        selection.feeder = parser.value(QStringLiteral("feeder")).toInt(&ok);
        if (!ok || selection.feeder < 1 || selection.feeder > 9) {
            complain(QStringLiteral("--feeder is 1..9"));
            return false;
        }
    }
    feeders = 0;
    if (parser.isSet(QStringLiteral("feeders"))) {
        feeders = parser.value(QStringLiteral("feeders")).toInt(&ok);
        if (!ok || feeders < 1 || feeders > 9) {
            complain(QStringLiteral("--feeders is 1..9"));
            return false;
        }
    }
    return true;
}

int exportPlot(const QString& path, const QDir& out, int feeders, const ExportSelection& selection)
{
    ResultRecordReader reader;
    if (!readResult(path, feeders, selection, reader))
        return 1;
    ResultFile file = reader.file();
    if (QString error; !ReadRemainingRecords(reader, file, error)) {
        complain(error);
        return 1;
    }
    const QString target = out.filePath(QFileInfo(file.path).fileName() + QStringLiteral(".png"));
    if (!PlotResultTrend(file, selection).save(target, "PNG")) {
        complain(QStringLiteral("%1: cannot write the image").arg(target));
        return 1;
    }
    say(QStringLiteral("%1: %2 records").arg(target).arg(file.records.size()));
    return 0;
}

// The result files as CSV or JSON, one output file each.
int exportTables(const QCommandLineParser& parser, const QDir& out, int feeders,
                 const ExportSelection& selection)
{
    const QString format = parser.value(QStringLiteral("format")).toLower();
    if (format != QLatin1String("csv") && format != QLatin1String("json")) {
        complain(QStringLiteral("--format is csv or json"));
        return 2;
    }
    const QStringList files = parser.positionalArguments();
    if (files.isEmpty()) {
        complain(QStringLiteral("no file given"));
        std::fputs(kHelp, stderr);
        return 2;
    }
    int status = 0;
    for (const QString& path : files) {
        ResultRecordReader reader;
        if (!readResult(path, feeders, selection, reader)) {
            status = 1;
            continue;
        }
        const QString target = out.filePath(QFileInfo(path).fileName() + QLatin1Char('.') + format);
        if (!writeExport(target, reader, selection,
                         format == QLatin1String("csv") ? ExportFormat::Csv : ExportFormat::Json)) {
            status = 1;
            continue;
        }
        say(QStringLiteral("%1: %2 records").arg(target).arg(reader.recordCount()));
    }
    return status;
}

} // namespace

int runExportCommand(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions(exportOptions());
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("result files"));
    if (!parser.parse(QStringList{QStringLiteral("export")} + args)) {
        complain(parser.errorText());
        std::fputs(kHelp, stderr);
        return 2;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    const QDir out(parser.value(QStringLiteral("out")));
    if (!out.exists() && !QDir().mkpath(out.path())) {
        complain(QStringLiteral("%1: cannot create the output folder").arg(out.path()));
        return 1;
    }
    ExportSelection selection;
    int feeders = 0;
    if (!readSelection(parser, selection, feeders))
        return 2;
    if (parser.isSet(QStringLiteral("comtrade")))
        return exportComtrade(parser, out);
    if (parser.isSet(QStringLiteral("plot")))
        return exportPlot(parser.value(QStringLiteral("plot")), out, feeders, selection);
    return exportTables(parser, out, feeders, selection);
}

} // namespace hs
