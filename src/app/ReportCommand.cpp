#include "app/ReportCommand.h"

#include "app/ReportDocument.h"
#include "compliance/LimitArguments.h"
#include "fleet/FleetStore.h"

#include <QDir>
#include <QSaveFile>

#include <cstdio>
#include <memory>

namespace hs {

namespace {

const char* const kUsage =
    "Usage: harmonic-station report FILE... | --db DB --station NAME\n"
    "                               --profile jp-guideline|ieee519|en50160\n"
    "                               [--kv KV] [--contract-kw LIST] [--il LIST] [--isc LIST]\n"
    "                               [--limits FILE] [--from TIME] [--to TIME] [--feeders N]\n"
    "                               --out DIR [--check]\n"
    "\n"
    "Evaluates result files (a week of runs, phase files too) against the harmonic limits of a\n"
    "profile: per feeder and order the mean, the maximum with its time, the 95th and 99th\n"
    "percentiles (nearest rank), coverage and gaps, the verdict. Writes report.html, report.pdf\n"
    "and report.csv into DIR. With --db, the records of one station collected by\n"
    "`harmonic-station collect` (DB: sqlite:PATH or postgresql://...).\n"
    "\n";

const char* const kOptions =
    "  --from TIME, --to TIME  records saved after FROM up to TO (yyyy-MM-dd HH:mm or\n"
    "                        yyyy/MM/dd HH:mm); all records when not given\n"
    "  --db DB --station NAME  a station's records from the fleet's database instead of files\n"
    "  --feeders N           feeders of .ha4/.ha5 files when the file cannot tell\n"
    "  --out DIR             output folder (created when missing)\n"
    "  --check               exit status 4 when any limit is exceeded\n"
    "\n"
    "Exit status: 0 report written, 4 written with --check and a limit exceeded, 1 a file\n"
    "refused or not written, 2 wrong usage or parameters.\n";

void complain(const QString& text)
{
    std::fprintf(stderr, "harmonic-station report: %s\n", qPrintable(text));
}

std::optional<QDateTime> parseTime(const QString& text)
{
    for (const char* format : {"yyyy-MM-dd HH:mm", "yyyy-MM-ddTHH:mm", "yyyy/MM/dd HH:mm",
                               "yyyy-MM-dd", "yyyy/MM/dd"}) {
        const QDateTime t = QDateTime::fromString(text.trimmed(), QLatin1String(format));
        if (t.isValid())
            return t;
    }
    return std::nullopt;
}

struct ReportOptions {
    QStringList files;
    QString db, station; // --db, --station: records collected from a station
    QString out;
    bool check = false;
    int feeders = 0;
    bool help = false;
};

// The options; an error text when they are wrong.
QString parseOptions(const QStringList& args, ReportOptions& o, LimitArguments& limits,
                     ComplianceParameters& period)
{
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (limits.take(args, i))
            continue;
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            o.help = true;
        } else if (a == QLatin1String("--check")) {
            o.check = true;
        } else if (a == QLatin1String("--db") || a == QLatin1String("--station")) {
            if (!hasValue || args[i + 1].isEmpty())
                return QStringLiteral("%1 needs a value").arg(a);
            (a == QLatin1String("--db") ? o.db : o.station) = args[++i];
        } else if (a == QLatin1String("--out")) {
            if (!hasValue)
                return QStringLiteral("--out needs a folder");
            o.out = args[++i];
        } else if (a == QLatin1String("--feeders")) {
            bool ok = false;
            o.feeders = hasValue ? args[++i].toInt(&ok) : 0;
            if (!ok || o.feeders < 1 || o.feeders > 9)
                return QStringLiteral("--feeders is 1..9");
        } else if (a == QLatin1String("--from") || a == QLatin1String("--to")) {
            const std::optional<QDateTime> t = hasValue ? parseTime(args[++i]) : std::nullopt;
            if (!t)
                return QStringLiteral("%1 needs a time like 2026-12-07 09:00").arg(a);
            (a == QLatin1String("--from") ? period.from : period.to) = t;
        } else if (a.startsWith(QLatin1String("--"))) {
            return QStringLiteral("unknown option '%1'").arg(a);
        } else {
            o.files << a;
        }
    }
    if (o.help)
        return {};
    if (o.db.isEmpty() != o.station.isEmpty())
        return QStringLiteral("--db and --station go together");
    if (!o.db.isEmpty() && !o.files.isEmpty())
        return QStringLiteral("give result files or --db, not both");
    if (o.files.isEmpty() && o.db.isEmpty())
        return QStringLiteral("no result file given");
    if (o.out.isEmpty())
        return QStringLiteral("--out DIR is required");
    if (period.from && period.to && *period.to <= *period.from)
        return QStringLiteral("--to must come after --from");
    return {};
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    complain(QStringLiteral("%1: cannot write: %2").arg(path, file.errorString()));
    return false;
}

// The result files, or the station's records in the fleet's database; 0, else the exit status
// after saying why.
int openSources(const ReportOptions& options, const ComplianceParameters& period,
                std::vector<std::unique_ptr<RecordSource>>& sources)
{
    for (const QString& path : options.files) {
        auto source = std::make_unique<ResultFileSource>();
        if (!source->open(path, options.feeders)) {
            complain(source->error());
            return 1;
        }
        if (source->file().truncated())
            complain(QStringLiteral("note: ") + source->file().truncationNote());
        sources.push_back(std::move(source));
    }
    if (options.db.isEmpty())
        return 0;
    QString why;
    const std::optional<fleet::DatabaseSpec> spec = fleet::ParseDatabaseSpec(options.db, &why);
    fleet::FleetStore store;
    std::vector<ResultFile> runs;
    if (!spec || !store.open(*spec, &why) ||
        !store.readRecords(options.station, period.from.value_or(QDateTime()),
                           period.to.value_or(QDateTime()), runs, &why)) {
        complain(QStringLiteral("--db %1: %2").arg(options.db, why));
        return 1;
    }
    if (runs.empty()) {
        complain(QStringLiteral("--db %1: no records of station '%2'")
                     .arg(options.db, options.station));
        return 1;
    }
    for (ResultFile& run : runs) {
        if (run.path.isEmpty())
            run.path = QStringLiteral("%1 (%2)").arg(options.station, options.db);
        sources.push_back(std::make_unique<DecodedRecordSource>(std::move(run)));
    }
    return 0;
}

} // namespace

int runReportCommand(const QStringList& args)
{
    ReportOptions options;
    LimitArguments limits;
    ComplianceParameters period;
    if (const QString problem = parseOptions(args, options, limits, period); !problem.isEmpty()) {
        complain(problem);
        std::fprintf(stderr, "\n%s%s%s", kUsage, qPrintable(LimitArguments::help()), kOptions);
        return 2;
    }
    if (options.help) {
        std::printf("%s%s%s", kUsage, qPrintable(LimitArguments::help()), kOptions);
        return 0;
    }
    QString why;
    std::optional<LimitSelection> selection = limits.selection(&why);
    if (!selection) {
        complain(why.isEmpty() ? QStringLiteral("--profile: name a limit profile") : why);
        return 2;
    }
    selection->params.from = period.from;
    selection->params.to = period.to;
    ComplianceEvaluator evaluator(selection->profile, selection->params);
    std::vector<std::unique_ptr<RecordSource>> sources;
    if (const int status = openSources(options, period, sources); status != 0)
        return status;
    for (const std::unique_ptr<RecordSource>& source : sources) {
        if (auto ok = checkComplianceParameters(selection->profile, selection->params,
                                                source->feeders());
            !ok) {
            complain(ok.error().text);
            return 2;
        }
        if (auto ok = evaluator.add(*source); !ok) {
            complain(ok.error().text);
            return 1;
        }
    }
    Result<ComplianceReport> report = evaluator.evaluate();
    if (!report) {
        complain(report.error().text);
        return 2;
    }
    const QDir out(options.out);
    if (!QDir().mkpath(out.path())) {
        complain(QStringLiteral("%1: cannot create the output folder").arg(out.path()));
        return 1;
    }
    const std::vector<QImage> charts = reportCharts(*report);
    if (!writeFile(out.filePath(QStringLiteral("report.html")),
                   reportHtml(*report, charts).toUtf8()) ||
        !writeFile(out.filePath(QStringLiteral("report.csv")), reportCsv(*report)))
        return 1;
    if (!writeReportPdf(*report, charts, out.filePath(QStringLiteral("report.pdf")), why)) {
        complain(why);
        return 1;
    }
    const bool exceeded = report->anyExceeded();
    std::printf("%s: %s\n", qPrintable(out.path()),
                exceeded ? "limits exceeded" : "within the limits");
    return options.check && exceeded ? kReportExceeded : 0;
}

} // namespace hs
