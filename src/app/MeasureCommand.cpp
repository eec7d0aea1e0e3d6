#include "app/MeasureCommand.h"

#include "common/Clock.h"
#include "engine/Acquisition.h"
#include "engine/InstrumentPreparation.h"
#include "engine/ResultFiles.h"
#include "engine/SetupFlow.h"
#include "compliance/LimitWatch.h"
#include "model/EngineObserver.h"
#include "model/MeasurementData.h"
#include "model/RecorderFacts.h"
#include "model/SettingsFile.h"
#include "recorder/ConnectionSetup.h"
#include "recorder/LanModule.h"
#include "recorder/Recorder.h"
#include "render/Snapshot.h"
#include "sim/Scenario.h"
#include "sim/SimServer.h"
#include "web/StatusServer.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>

namespace hs {

namespace {

// ---- Output ----------------------------------------------------------------------------------

void writeLine(std::FILE* stream, const QString& text)
{
    QString t = text;
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    t.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    const QByteArray bytes = t.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

// Status and summary lines on stdout with the station's clock time in front; messages on
// stderr. --quiet keeps only the messages and the final lines.
class ConsoleObserver : public EngineObserver {
public:
    ConsoleObserver(const Clock& clock, bool quiet) : clock_(clock), quiet_(quiet) {}

    void status(const RunStatus& status) override
    {
        if (status.text == lastStatus_)
            return;
        lastStatus_ = status.text;
        if (!quiet_)
            line(status.text);
    }
    void summaryText(const QString& text) override
    {
        if (!quiet_)
            line(text);
    }
    void message(const QString& text, const MessageSeverity& severity) override
    {
        const QString& title = severity.title();
        writeLine(stderr, title.isEmpty() ? text : title + QStringLiteral(": ") + text);
    }
    // Events of the run shown as notices (the text starts with the station time): on stderr,
    // whatever the verbosity, as they happen. An attempt to connect again is a status line.
    void notice(const QString& text) override { writeLine(stderr, text); }
    // A line per record as it is written (a record may be written between shots).
    void runEvent(const RunEvent& event) override
    {
        EngineObserver::runEvent(event);
        const QDateTime saveTime = event.is<run::RecordSaved>()
                                       ? event.as<run::RecordSaved>()->saveTime
                                   : event.is<run::RecordSavedLate>()
                                       ? event.as<run::RecordSavedLate>()->saveTime
                                       : QDateTime();
        if (saveTime.isValid())
            progress(QStringLiteral("saved the record of ") +
                     saveTime.toString(QStringLiteral("yyyy/MM/dd HH:mm")));
    }

    // A line that is shown whatever the verbosity.
    void finalLine(const QString& text) { line(text); }
    void progress(const QString& text)
    {
        if (!quiet_)
            line(text);
    }

private:
    void line(const QString& text)
    {
        writeLine(stdout,
                  clock_.now().toString(QStringLiteral("HH:mm:ss")) + QStringLiteral("  ") + text);
    }

    const Clock& clock_;
    bool quiet_;
    QString lastStatus_;
};

// ---- Ctrl+C ----------------------------------------------------------------------------------

int g_signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void onInterrupt(int)
{
    g_interrupted = 1;
    const char c = 1;
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &c, 1);
}

// SIGINT and SIGTERM ask the measurement to stop while this object lives; the self-pipe wakes
// the event loop so that the request is seen at once.
class InterruptGuard {
public:
    InterruptGuard()
    {
        g_interrupted = 0;
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
            return;
        notifier_ = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [] {
            char c = 0;
            [[maybe_unused]] const auto n = ::read(g_signalPipe[0], &c, 1);
        });
        previousInt_ = std::signal(SIGINT, onInterrupt);
        previousTerm_ = std::signal(SIGTERM, onInterrupt);
    }
    ~InterruptGuard()
    {
        if (!notifier_)
            return;
        std::signal(SIGINT, previousInt_ == SIG_ERR ? SIG_DFL : previousInt_);
        std::signal(SIGTERM, previousTerm_ == SIG_ERR ? SIG_DFL : previousTerm_);
        notifier_.reset();
        for (int& fd : g_signalPipe) {
            ::close(fd);
            fd = -1;
        }
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    static bool interrupted() { return g_interrupted != 0; }

private:
    std::unique_ptr<QSocketNotifier> notifier_;
    void (*previousInt_)(int) = SIG_DFL;
    void (*previousTerm_)(int) = SIG_DFL;
};

QString dateTimeText(const QDateTime& t)
{
    return t.toString(QStringLiteral("yyyy/MM/dd HH:mm"));
}

// "path: 6540 bytes, 10 records of 654 bytes" for each result file.
QStringList fileSummaries(const QStringList& names, const MeasurementSettings& s)
{
    RecordLayout layout;
    layout.saveOption = s.SaveOption();
    layout.feeders = s.LastFeeder + 1;
    layout.orders256 = s.Orders256;
    const int length = layout.recordLength();
    QStringList lines;
    for (const QString& name : names) {
        if (!QFileInfo::exists(name)) {
            lines << name + QStringLiteral(": not created");
            continue;
        }
        const qint64 size = QFileInfo(name).size();
        QString line =
            name + QStringLiteral(": ") + QString::number(size) + QStringLiteral(" bytes, ");
        if (length > 0)
            line += QString::number(size / length) + QStringLiteral(" records of ") +
                    QString::number(length) + QStringLiteral(" bytes");
        if (length > 0 && size % length != 0)
            line += QStringLiteral(" and ") + QString::number(size % length) +
                    QStringLiteral(" bytes of an incomplete record");
        lines << line;
    }
    return lines;
}

// The result files of the settings that already hold data.
QStringList filesWithContent(const MeasurementSettings& s)
{
    QStringList found;
    for (const QString& name : ResultFileNames(s.OutputFile, s.MeasureType()))
        if (QFileInfo(name).size() > 0)
            found << name;
    return found;
}

// The final lines: the run's outcome, records written against expected, the save times
// without a record and why.
QStringList outcomeLines(int status, const RunLoopState& st)
{
    QString head;
    switch (status) {
    case RunEnded:
        head = QStringLiteral("measurement complete");
        break;
    case RunEndedIncomplete:
        head = QStringLiteral("measurement ended with missing records");
        break;
    case RunStopped:
        head = QStringLiteral("measurement interrupted");
        break;
    default:
        head = QStringLiteral("measurement stopped by an error");
        break;
    }
    QStringList lines;
    // Records lost with a result file are not counted written: the count is what the file holds.
    QString summary = QStringLiteral("%1: %2 shots analysed, %3 of %4 records written, %5 missing")
                          .arg(head)
                          .arg(st.ShotsAnalysed)
                          .arg(st.SavesWritten - st.RecordsLost)
                          .arg(st.RecordsExpected())
                          .arg(st.RecordsMissing);
    if (st.RecordsLost > 0)
        summary += QStringLiteral(", %1 lost with a result file removed or altered during the run")
                       .arg(st.RecordsLost);
    lines << summary;
    if (st.Outages > 0 || st.Reconnections > 0 || st.LateSaves > 0 || st.Stalls > 0)
        lines << QStringLiteral("recorder links lost %1 times, connected again %2 times; "
                                "recorders stopped completing shots %3 times, links opened "
                                "again %4 times; %5 records written late")
                     .arg(st.Outages)
                     .arg(st.Reconnections)
                     .arg(st.Stalls)
                     .arg(st.Reopenings)
                     .arg(st.LateSaves);
    for (const RunGap& gap : st.Gaps)
        lines << QStringLiteral("no record for %1 to %2 (%3 save times): %4")
                     .arg(dateTimeText(gap.First), dateTimeText(gap.Last))
                     .arg(gap.Count)
                     .arg(gap.Reason);
    if (std::any_of(st.Gaps.begin(), st.Gaps.end(),
                    [](const RunGap& g) { return g.Reason.contains(kTimeScaleText); }))
        lines << QStringLiteral("shots took longer than the save interval at this time scale: "
                                "give a larger --time-scale or a longer SaveIntervalMin");
    return lines;
}

} // namespace

std::optional<MeasureOptions> parseMeasureOptions(const QStringList& args, QString* error)
{
    MeasureOptions o;
    o.timeScale = Clock::scaleFromEnvironment(1.0);
    web::ServeArguments serve;
    LimitArguments limits;
    fleet::PublishArguments publish;
    const auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return std::nullopt;
    };
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool hasValue = i + 1 < args.size() && !args[i + 1].startsWith(QStringLiteral("--"));
        if (a == QStringLiteral("--help") || a == QStringLiteral("-h")) {
            o.help = true;
        } else if (a == QStringLiteral("--settings")) {
            if (!hasValue)
                return fail(QStringLiteral("--settings needs a file name"));
            o.settingsFile = args[++i];
        } else if (a == QStringLiteral("--simulate")) {
            o.simulate = true;
            if (hasValue)
                o.scenarioFile = args[++i];
        } else if (a == QStringLiteral("--time-scale")) {
            if (i + 1 >= args.size())
                return fail(QStringLiteral("--time-scale needs a number"));
            bool ok = false;
            const double scale = args[++i].toDouble(&ok);
            if (!ok || !(scale > 0) || scale > 1000)
                return fail(
                    QStringLiteral("--time-scale: '%1' is not a positive number").arg(args[i]));
            o.timeScale = scale;
        } else if (a == QStringLiteral("--snapshot")) {
            if (!hasValue)
                return fail(QStringLiteral("--snapshot needs a folder"));
            o.snapshotDir = args[++i];
        } else if (a == QStringLiteral("--quiet") || a == QStringLiteral("-q")) {
            o.quiet = true;
        } else if (serve.take(args, i) || publish.take(args, i)) {
            // --serve, --serve-token, --publish...: checked once every argument is seen
        } else if (limits.take(args, i)) {
            // the limit watch's options: checked once every argument is seen
        } else if (a == QStringLiteral("--overwrite")) {
            o.overwrite = true;
        } else {
            return fail(QStringLiteral("unknown argument '%1'").arg(a));
        }
    }
    if (!o.help && o.settingsFile.isEmpty())
        return fail(QStringLiteral("--settings FILE is required"));
    QString why;
    o.serve = serve.options(&why);
    if (why.isEmpty())
        o.publish = publish.options(&why);
    if (!why.isEmpty())
        return fail(why);
    if (limits.given() && !(o.limits = limits.selection(&why)))
        return fail(why);
    return o;
}

QString measureHelp()
{
    const QString text = QStringLiteral(
        "Usage: harmonic-station measure --settings FILE [--simulate [SCENARIO]] [--time-scale X]\n"
        "                                [--snapshot DIR] [--overwrite] [--quiet]\n"
        "                                [--serve [ADDR:]PORT [--serve-token FILE]]\n"
        "                                [--publish URL [--publish-ca FILE]\n"
        "                                 [--publish-password-file FILE] [--station-id NAME]]\n"
        "\n"
        "Runs one measurement without screens: connects to the recorders named in the settings\n"
        "file and initialises them, configures them for the measurement, takes a check shot and\n"
        "prints the input voltages and currents that the preparation screen would show (the\n"
        "wiring is accepted as it is), then measures shot after shot until EndDateTime, writing\n"
        "a record to the result file(s) at every save interval.\n"
        "\n"
        "Options:\n"
        "  --settings FILE       the measurement set-up, a JSON settings file (see README,\n"
        "                        \"Settings files for measure\"); times \"+N\" count from the "
        "start\n"
        "  --simulate [SCENARIO] start simulated recorders inside this process on the addresses\n"
        "                        and ports of the settings file; SCENARIO is a scenario JSON file\n"
        "                        (default: the built-in 6.6 kV feeder scenario)\n"
        "  --time-scale X        every wait and time-out lasts X times as long and the calendar\n"
        "                        runs 1/X times as fast (0.01: a minute passes in 0.6 s); default\n"
        "                        HARMONIC_TIME_SCALE, else 1\n"
        "  --snapshot DIR        after every save and at the end, pictures of every view of\n"
        "                        the last shot for every feeder into DIR (view1-graph-F1.png,\n"
        "                        view2-sum-F1.png, ..., view9-vectors-F2.png)\n"
        "  --overwrite           replace result files that already hold data (without it the\n"
        "                        run refuses to start and names them)\n"
        "  --quiet, -q           print only errors, run events and the final lines\n"
        "  --serve [ADDR:]PORT   serve a read-only status page of the run and its JSON API on\n"
        "                        ADDR (default 127.0.0.1; port 0: any free port); its address\n"
        "                        is printed as \"status page: http://...\"\n"
        "  --serve-token FILE    every request to the status page must carry the token on the\n"
        "                        file's first line (header X-Station-Token, or the cookie set by\n"
        "                        /login?token=...); required for an address other than loopback\n"
        "%1"
        "                        the limit watch: each saved record is checked against the\n"
        "                        profile's limits; a quantity that goes over its limit is a run\n"
        "                        event (and on the status page, /api/compliance)\n"
        "%2"
        "  --help, -h            this text\n"
        "\n"
        "Output: the station's clock time, then each change of the status line and one summary\n"
        "line per analysed shot; a line per save; at the end the records written against the\n"
        "records expected, the save times without a record and why, and the files with their\n"
        "sizes and record counts. Messages and run events (a recorder lost or back, save times\n"
        "without a record, a late record, a result file made again), each with its station\n"
        "time, go to stderr. A lost recorder is connected again (first within seconds, then at\n"
        "most a minute apart) and measured on with the same set-up. Ctrl+C stops the recorders\n"
        "(\":ABORT\"), closes the files and ends the run.\n"
        "The run's log, OutputFile + \".log\", keeps the start, every run event and the end\n"
        "summary, appended line by line.\n"
        "\n"
        "Exit status: 0 after a complete run (a record for every save time), 3 when the end\n"
        "time came with save times without a record, 1 when the settings, the connection, the\n"
        "preparation or the run failed and it could not go on (with a message), 2 for a\n"
        "command-line error, 130 when interrupted.\n");
    return text.arg(LimitArguments::help()).arg(fleet::PublishArguments::help());
}

namespace {

const auto stopRequested = [] { return InterruptGuard::interrupted(); };

// The end of the command with an Error whose code is the exit status and whose text, when
// there is one, is told on stderr.
int endedBy(const Error& error, ConsoleObserver& observer)
{
    if (!error.text.isEmpty())
        observer.message(error.text, MessageSeverity::information());
    return error.code;
}

Failure<Error> failedWith(const QString& text)
{
    return fail(Error{kMeasureFailed, text});
}

// The settings file, and what `measure` needs of it before it connects.
Result<SettingsFileContent> readMeasureSettings(const MeasureOptions& options, const Clock& clock)
{
    SettingsFileResult read = readSettingsFile(options.settingsFile, clock.now());
    if (!read.ok)
        return failedWith(options.settingsFile + QStringLiteral(": ") + read.error);
    // Days of records must not go for a repeated command: result files that hold data are
    // replaced only when asked.
    if (const QStringList existing = filesWithContent(read.content.settings);
        !existing.isEmpty() && !options.overwrite)
        return failedWith(QStringLiteral("the result file %1 already holds data; give --overwrite "
                                         "to replace it, or choose another OutputFile")
                              .arg(existing.join(QStringLiteral(", "))));
    // A period already over would be measured for nothing.
    if (const MeasurementSettings& s = read.content.settings; PeriodOver(s, clock.now()))
        return failedWith(QStringLiteral("%1: the measurement period ended at %2 (now %3); "
                                         "nothing can be measured, give a later EndDateTime")
                              .arg(options.settingsFile, dateTimeText(s.EndDateTime),
                                   dateTimeText(clock.now())));
    const auto recorderCount = read.content.recorders.size();
    if (recorderCount < 1 || recorderCount > 2)
        return failedWith(QStringLiteral("recorders: one or two recorders are needed"));
    return std::move(read.content);
}

// --simulate: simulated recorders in this process, on the file's addresses (nullptr without).
Result<std::unique_ptr<sim::SimServer>> startSimulator(const MeasureOptions& options, Clock& clock,
                                                       const SettingsFileContent& content,
                                                       ConsoleObserver& observer)
{
    if (!options.simulate)
        return std::unique_ptr<sim::SimServer>();
    sim::Scenario scenario = sim::Scenario::defaultScenario();
    if (!options.scenarioFile.isEmpty()) {
        QString why;
        const auto loaded = sim::Scenario::load(options.scenarioFile, &why);
        if (!loaded)
            return failedWith(options.scenarioFile + QStringLiteral(": ") + why);
        scenario = *loaded;
    }
    const int recorderCount = static_cast<int>(content.recorders.size());
    auto simulator = std::make_unique<sim::SimServer>(clock, scenario, recorderCount);
    for (int r = 0; r < recorderCount; ++r) {
        const RecorderAddress& a = content.recorders[static_cast<std::size_t>(r)];
        QString why;
        if (!simulator->listen(r, QHostAddress(a.address), a.port, &why))
            return failedWith(QStringLiteral("simulated recorder %1 on %2:%3: %4")
                                  .arg(r + 1)
                                  .arg(a.address)
                                  .arg(a.port)
                                  .arg(why));
    }
    observer.progress(QStringLiteral("simulated recorders: ") + scenario.name);
    return simulator;
}

// The connection set-up of the connection screen, then the settings file's channel map; the
// station's settings are the file's.
Result<void> connectRecorders(Station& station, SettingsFileContent& content,
                              ConsoleObserver& observer)
{
    ConnectionRequest request;
    request.recorderCount = static_cast<int>(content.recorders.size());
    for (int r = 0; r < request.recorderCount; ++r) {
        const RecorderAddress& a = content.recorders[static_cast<std::size_t>(r)];
        request.addresses[static_cast<std::size_t>(r)] = a.address;
        request.ports[static_cast<std::size_t>(r)] = QString::number(a.port);
    }
    ConnectionSetup setup(station.recorders, observer);
    setup.setProgress(
        {[&](int r, int model) {
             observer.progress(QStringLiteral("recorder %1: model %2").arg(r + 1).arg(model));
         },
         [&](int r, int channels) {
             observer.progress(
                 QStringLiteral("recorder %1: %2 usable channels").arg(r + 1).arg(channels));
         }});
    if (setup.initialise(request) != ConnectionStatus::Ok)
        return failedWith(QStringLiteral("the recorders could not be initialised"));
    if (InterruptGuard::interrupted())
        return fail(Error{kMeasureInterrupted, QString()});
    const QString mapError = applyChannelMap(content, station.facts);
    if (!mapError.isEmpty())
        return failedWith(mapError);
    station.settings = content.settings;
    return {};
}

// --serve: the status page sees every report of the run on its way to the console (nullptr
// without).
Result<std::unique_ptr<web::StatusPage>>
startStatusPage(const MeasureOptions& options, Station& station, ConsoleObserver& observer)
{
    if (!options.serve)
        return std::unique_ptr<web::StatusPage>();
    QString why;
    auto page = web::StatusPage::start(
        *options.serve, {station.clock, station.lan, station.facts, station.settings, station.data},
        observer, &why);
    if (!page)
        return failedWith(QStringLiteral("--serve: ") + why);
    observer.finalLine(QStringLiteral("status page: ") + page->url());
    return page;
}

// --profile: the limit watch in front of the run's other listeners (nullptr without).
Result<std::unique_ptr<LimitWatch>> startLimitWatch(const MeasureOptions& options, Station& station,
                                                    EngineObserver& next, web::StatusPage* page)
{
    if (!options.limits)
        return std::unique_ptr<LimitWatch>();
    if (auto ok = checkComplianceParameters(options.limits->profile, options.limits->params,
                                            station.settings.LastFeeder + 1);
        !ok)
        return failedWith(ok.error().text);
    auto watch = std::make_unique<LimitWatch>(*options.limits, station.settings, &next);
    if (page)
        page->server().setCompliance(watch.get());
    return watch;
}

// --publish: the records, status and events go to the broker as well (nullptr without). The
// spools are set up before the result files are opened, which truncates them.
Result<std::unique_ptr<fleet::StationPublisher>>
startPublisher(const MeasureOptions& options, Station& station, EngineObserver& next)
{
    if (!options.publish)
        return std::unique_ptr<fleet::StationPublisher>();
    auto publisher = std::make_unique<fleet::StationPublisher>(*options.publish, station.clock,
                                                               station.settings, next);
    QString why;
    if (!publisher->beginRun(
            ResultFileNames(station.settings.OutputFile, station.settings.MeasureType()), &why))
        return failedWith(QStringLiteral("--publish: ") + why);
    return publisher;
}

// What the settings and preparation screens do before the measurement: the automatic set-up
// and its lock-out, the configuration and check shot; the wiring is accepted as it is.
Result<void> prepareRecorders(SetupFlow& flow, ConsoleObserver& observer)
{
    flow.startAutomaticSetup();
    observer.progress(QStringLiteral("automatic set-up of the recorders (\":AUTO\")"));
    if (!flow.waitLockOut(stopRequested))
        return fail(Error{kMeasureInterrupted, QString()});
    // A recorder lost during the lock-out: connected again, it was reset and needs its
    // automatic set-up again.
    if (const Result<void> links = flow.checkLinks(); !links) {
        if (!links.error().is(SetupRecorderBack))
            return failedWith(links.error().text);
        observer.notice(links.error().text);
        flow.startAutomaticSetup();
        if (!flow.waitLockOut(stopRequested))
            return fail(Error{kMeasureInterrupted, QString()});
    }
    const Result<PreparationResult> checked = flow.prepare({{}, stopRequested});
    if (!checked) {
        flow.abort();
        if (!checked.error().is(PreparationStopped))
            return failedWith(QString());
        observer.finalLine(QStringLiteral("interrupted during the preparation"));
        return fail(Error{kMeasureInterrupted, QString()});
    }
    observer.progress(checked->FrequencyText + QStringLiteral(" (check shot %1 of at most %2)")
                                                   .arg(checked->Attempts)
                                                   .arg(kCheckShotAttempts));
    observer.progress(checked->InputText);
    observer.progress(QStringLiteral("wiring accepted"));
    flow.acceptWiring();
    return {};
}

// A line per save, print and floppy save; pictures after each save.
RunLoopHooks measureHooks(const MeasureOptions& options, Station& station,
                          ConsoleObserver& observer, sim::SimServer* simulator)
{
    RunLoopHooks hooks;
    hooks.stopRequested = stopRequested;
    hooks.shotFinished = [&options, &station, &observer, simulator](const ShotReport& report) {
        // Nobody reads the simulated recorders' command logs here: keep them from growing.
        if (simulator)
            for (int r = 0; r < simulator->recorderCount(); ++r)
                simulator->recorder(r).clearLog();
        if (report.Saved)
            SaveSnapshot(options.snapshotDir, station.settings, station.data, observer);
        if (report.Printed)
            observer.progress(QStringLiteral("recorders printed"));
        if (report.FloppySaved)
            observer.progress(
                QStringLiteral("recorders saved %1 to floppy").arg(report.FloppyName));
    };
    return hooks;
}

// The measurement from its load to its end, then the final lines; the exit status.
int measure(SetupFlow& flow, const MeasureOptions& options, Station& station,
            ConsoleObserver& observer, sim::SimServer* simulator)
{
    if (const Result<void> folder = flow.readyOutputFolder(); !folder)
        return endedBy(Error{kMeasureFailed, folder.error().text}, observer);
    if (!flow.load()) {
        flow.end();
        return kMeasureFailed;
    }
    const MeasurementSettings& settings = station.settings;
    const QStringList names = ResultFileNames(settings.OutputFile, settings.MeasureType());
    observer.progress(
        QStringLiteral("measuring from %1 to %2, saving every %3 min to %4")
            .arg(dateTimeText(settings.StartDateTime), dateTimeText(settings.EndDateTime))
            .arg(settings.SaveIntervalMin)
            .arg(names.join(QStringLiteral(", "))));
    const int status = flow.start(measureHooks(options, station, observer, simulator));
    flow.end();

    const RunLoopState& state = flow.measurement().State();
    if (state.ShotsAnalysed > 0)
        SaveSnapshot(options.snapshotDir, settings, station.data, observer);
    for (const QString& line : outcomeLines(status, state))
        observer.finalLine(line);
    for (const QString& line : fileSummaries(names, settings))
        observer.finalLine(line);
    if (const RunLog* log = flow.measurement().Log())
        observer.finalLine(QStringLiteral("run log: ") + log->path());
    return RunExitStatus(status);
}

// Everything after the command line: the settings, the recorders (simulated ones first when
// asked), the status page, then the set-up flow to the measurement's end.
int runMeasure(const MeasureOptions& options)
{
    Station station(options.timeScale);
    ConsoleObserver observer(station.clock, options.quiet);
    Result<SettingsFileContent> content = readMeasureSettings(options, station.clock);
    if (!content)
        return endedBy(content.error(), observer);
    // A folder that cannot be written, or files another run holds, are found before the
    // recorders are touched.
    if (const Result<void> ready = SetupFlow::readyOutputFile(content->settings.OutputFile,
                                                              content->settings.MeasureType());
        !ready)
        return endedBy(Error{kMeasureFailed, ready.error().text}, observer);
    auto simulator = startSimulator(options, station.clock, *content, observer);
    if (!simulator)
        return endedBy(simulator.error(), observer);

    InterruptGuard interrupt;
    if (const Result<void> connected = connectRecorders(station, content.value(), observer);
        !connected)
        return endedBy(connected.error(), observer);
    auto page = startStatusPage(options, station, observer);
    if (!page)
        return endedBy(page.error(), observer);
    EngineObserver& runObserver =
        page.value() ? page.value()->observer() : static_cast<EngineObserver&>(observer);
    auto watch = startLimitWatch(options, station, runObserver, page.value().get());
    if (!watch)
        return endedBy(watch.error(), observer);

    EngineObserver& watched = watch.value() ? *watch.value() : runObserver;
    auto publisher = startPublisher(options, station, watched);
    if (!publisher)
        return endedBy(publisher.error(), observer);
    SetupFlow flow(station, publisher.value() ? *publisher.value() : watched);
    if (const Result<void> prepared = prepareRecorders(flow, observer); !prepared)
        return endedBy(prepared.error(), observer);
    const int status = measure(flow, options, station, observer, simulator.value().get());
    if (publisher.value())
        publisher.value()->finish(InterruptGuard::interrupted() ? 2000 : 10000);
    return status;
}

} // namespace

int runMeasureCommand(const QStringList& args)
{
    QString error;
    const auto options = parseMeasureOptions(args, &error);
    if (!options) {
        writeLine(stderr, QStringLiteral("harmonic-station measure: ") + error);
        writeLine(stderr, QStringLiteral("Try 'harmonic-station measure --help'."));
        return kMeasureUsage;
    }
    if (options->help) {
        writeLine(stdout, measureHelp());
        return kMeasureComplete;
    }
    return runMeasure(*options);
}

} // namespace hs
