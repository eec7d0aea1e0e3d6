#include "app/SimulateCommand.h"

#include "common/Clock.h"
#include "sim/SimServer.h"

#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTimer>

#include <cmath>
#include <csignal>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace hs {

namespace {

void printLine(const QString& text, FILE* stream = stdout)
{
    std::fprintf(stream, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stream);
}

// "[R:]VALUE": the recorders addressed (0, 1 or both) and the value.
void splitRecorderPrefix(const QString& text, int& first, int& last, QString& value)
{
    first = 0;
    last = 1;
    value = text;
    if (text.size() > 2 && text[1] == QLatin1Char(':') &&
        (text[0] == QLatin1Char('1') || text[0] == QLatin1Char('2'))) {
        first = last = text[0].digitValue() - 1;
        value = text.mid(2);
    }
}

#ifdef Q_OS_UNIX
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &c, 1);
}
#endif

} // namespace

QString simulateHelp()
{
    return QStringLiteral(
               "Usage: harmonic-station simulate [OPTIONS]\n\n"
               "Serves one or two simulated HIOKI memory recorders over TCP, for training, demos,\n"
               "dry runs and tests. Without options it serves recorder 1 of the default scenario\n"
               "(6.6 kV feeders at 50.02 Hz) on 127.0.0.1:8802 until interrupted, printing a line\n"
               "per connection.\n\n"
               "Options:\n"
               "  --recorders N          1 or 2 recorders (default 1)\n"
               "  --address1 HOST        address of recorder 1 (default 127.0.0.1)\n"
               "  --address2 HOST        address of recorder 2 (default 127.0.0.2)\n"
               "  --port1 N              port of recorder 1 (default 8802; 0 picks a free port)\n"
               "  --port2 N              port of recorder 2 (default 8802; 0 picks a free port)\n"
               "  --model [R:]MODEL      model 8840, 8841 or 8835 of recorder R (both when R is\n"
               "                         omitted); repeatable\n"
               "  --units [R:]CODES      unit codes of recorder R, channel 1 first, e.g.\n"
               "                         1:1,1,4,4,7; repeatable\n"
               "  --scenario FILE.json   signals and wiring from a scenario file (see README)\n"
               "  --save-scenario FILE   write the scenario in effect to FILE and stop\n"
               "  --time-scale S         multiply every duration by S (0.01: an 8 s floppy save\n"
               "                         takes 80 ms); default HARMONIC_TIME_SCALE or 1\n"
               "  --duration SECONDS     stop after this many nominal seconds (default: never)\n"
               "  --log FILE             append every received command line to FILE\n"
               "  --fault [R:]KEY[=V]    inject a fault (list below); repeatable\n"
               "  -v, --verbose          print every command line received\n"
               "  -h, --help             this text\n\n") +
           sim::faultOptionHelp();
}

std::optional<SimulateOptions> parseSimulateOptions(const QStringList& args, QString* error)
{
    SimulateOptions o;
    o.scenario = sim::Scenario::defaultScenario();
    o.timeScale = Clock::scaleFromEnvironment(1.0);
    QString scenarioFile;
    QStringList models, units;
    auto fail = [&](const QString& why) -> std::optional<SimulateOptions> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        auto value = [&](QString& out) {
            if (i + 1 >= args.size())
                return false;
            out = args[++i];
            return true;
        };
        QString v;
        if (a == QLatin1String("-h") || a == QLatin1String("--help")) {
            o.help = true;
        } else if (a == QLatin1String("-v") || a == QLatin1String("--verbose")) {
            o.verbose = true;
        } else if (a == QLatin1String("--recorders")) {
            if (!value(v) || (v != QLatin1String("1") && v != QLatin1String("2")))
                return fail(QStringLiteral("--recorders takes 1 or 2"));
            o.recorders = v.toInt();
        } else if (a == QLatin1String("--address1") || a == QLatin1String("--address2")) {
            if (!value(v) || QHostAddress(v).isNull())
                return fail(a + QStringLiteral(" takes an IP address"));
            o.addresses[a.endsWith(QLatin1Char('1')) ? 0 : 1] = v;
        } else if (a == QLatin1String("--port1") || a == QLatin1String("--port2")) {
            bool ok = false;
            const int p = value(v) ? v.toInt(&ok) : -1;
            if (!ok || p < 0 || p > 65535)
                return fail(a + QStringLiteral(" takes a port number 0 to 65535"));
            o.ports[a.endsWith(QLatin1Char('1')) ? 0 : 1] = static_cast<quint16>(p);
        } else if (a == QLatin1String("--model")) {
            if (!value(v))
                return fail(QStringLiteral("--model takes [R:]MODEL"));
            models << v;
        } else if (a == QLatin1String("--units")) {
            if (!value(v))
                return fail(QStringLiteral("--units takes [R:]CODES"));
            units << v;
        } else if (a == QLatin1String("--scenario")) {
            if (!value(scenarioFile))
                return fail(QStringLiteral("--scenario takes a file name"));
        } else if (a == QLatin1String("--save-scenario")) {
            if (!value(o.saveScenario))
                return fail(QStringLiteral("--save-scenario takes a file name"));
        } else if (a == QLatin1String("--time-scale")) {
            bool ok = false;
            const double s = value(v) ? v.toDouble(&ok) : 0.0;
            if (!ok || !(s > 0.0) || !std::isfinite(s))
                return fail(QStringLiteral("--time-scale takes a positive number"));
            o.timeScale = s;
        } else if (a == QLatin1String("--duration")) {
            bool ok = false;
            const double s = value(v) ? v.toDouble(&ok) : -1.0;
            if (!ok || !(s >= 0.0) || s > 1e7)
                return fail(QStringLiteral("--duration takes nominal seconds"));
            o.durationS = s;
        } else if (a == QLatin1String("--log")) {
            if (!value(o.logFile))
                return fail(QStringLiteral("--log takes a file name"));
        } else if (a == QLatin1String("--fault")) {
            QString why;
            if (!value(v))
                return fail(QStringLiteral("--fault takes [R:]KEY[=VALUE]"));
            if (!sim::applyFaultOption(v, o.faults, &why))
                return fail(why);
        } else {
            return fail(QStringLiteral("unknown option \"%1\" (see --help)").arg(a));
        }
    }
    if (!scenarioFile.isEmpty()) {
        QString why;
        auto s = sim::Scenario::load(scenarioFile, &why);
        if (!s)
            return fail(why);
        o.scenario = *s;
    }
    for (const QString& m : models) {
        int first = 0, last = 1;
        QString text;
        splitRecorderPrefix(m, first, last, text);
        bool ok = false;
        const int model = text.toInt(&ok);
        if (!ok || model < 1000 || model > 9999)
            return fail(QStringLiteral("--model \"%1\": a four-digit model such as 8841").arg(m));
        for (int r = first; r <= last; ++r)
            o.scenario.recorders[static_cast<std::size_t>(r)].model = model;
    }
    for (const QString& u : units) {
        int first = 0, last = 1;
        QString text;
        splitRecorderPrefix(u, first, last, text);
        QVector<int> codes;
        for (const QString& c : text.split(QLatin1Char(','))) {
            bool ok = false;
            const int code = c.trimmed().toInt(&ok);
            if (!ok || code < 0 || code > 9)
                return fail(
                    QStringLiteral("--units \"%1\": single-digit codes separated by \",\"").arg(u));
            codes << code;
        }
        if (codes.size() > 16)
            return fail(QStringLiteral("--units \"%1\": at most 16 channels").arg(u));
        for (int r = first; r <= last; ++r)
            o.scenario.recorders[static_cast<std::size_t>(r)].units = codes;
    }
    return o;
}

int runSimulateCommand(const QStringList& args)
{
    QString error;
    const auto parsed = parseSimulateOptions(args, &error);
    if (!parsed) {
        printLine(QStringLiteral("harmonic-station simulate: ") + error, stderr);
        return 2;
    }
    const SimulateOptions& o = *parsed;
    if (o.help) {
        std::fputs(simulateHelp().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (!o.saveScenario.isEmpty()) {
        if (!o.scenario.save(o.saveScenario, &error)) {
            printLine(QStringLiteral("harmonic-station simulate: ") + error, stderr);
            return 1;
        }
        printLine(QStringLiteral("scenario written to %1").arg(o.saveScenario));
        return 0;
    }

    Clock clock(o.timeScale);
    sim::SimServer server(clock, o.scenario, o.recorders);

    QFile log;
    if (!o.logFile.isEmpty()) {
        log.setFileName(o.logFile);
        if (!log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
            printLine(QStringLiteral("harmonic-station simulate: %1: %2")
                          .arg(o.logFile, log.errorString()),
                      stderr);
            return 1;
        }
    }
    for (int r = 0; r < server.recorderCount(); ++r) {
        sim::SimRecorder& rec = server.recorder(r);
        rec.setFaults(o.faults[static_cast<std::size_t>(r)]);
        rec.setLogListener([&log, &o](int index, const sim::CommandLogEntry& e) {
            const QString text =
                QStringLiteral("%1 [%2] %3%4")
                    .arg(e.time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")))
                    .arg(index + 1)
                    .arg(e.line, e.note.isEmpty()
                                     ? QString()
                                     : QStringLiteral("  (") + e.note + QLatin1Char(')'));
            if (log.isOpen()) {
                log.write(text.toUtf8() + '\n');
                log.flush();
            }
            if (o.verbose)
                printLine(text);
        });
        if (!server.listen(r, QHostAddress(o.addresses[static_cast<std::size_t>(r)]),
                           o.ports[static_cast<std::size_t>(r)], &error)) {
            printLine(
                QStringLiteral("harmonic-station simulate: recorder %1: %2").arg(r + 1).arg(error),
                stderr);
            return 1;
        }
        QStringList codes;
        for (int u : o.scenario.recorders[static_cast<std::size_t>(r)].units)
            codes << QString::number(u);
        printLine(QStringLiteral("recorder %1: HIOKI %2, units %3, listening on %4:%5")
                      .arg(r + 1)
                      .arg(rec.model())
                      .arg(codes.isEmpty() ? QStringLiteral("none") : codes.join(QLatin1Char(',')))
                      .arg(server.address(r).toString())
                      .arg(server.port(r)));
        if (rec.faults().any())
            printLine(
                QStringLiteral("recorder %1: faults: %2").arg(r + 1).arg(rec.faults().describe()));
    }
    printLine(QStringLiteral("scenario: %1; time scale %2").arg(o.scenario.name).arg(o.timeScale));
    QObject::connect(&server, &sim::SimServer::connectionOpened, [](int r, const QString& peer) {
        printLine(QStringLiteral("recorder %1: connection from %2").arg(r + 1).arg(peer));
    });
    QObject::connect(&server, &sim::SimServer::connectionClosed, [](int r, const QString& peer) {
        printLine(QStringLiteral("recorder %1: connection from %2 closed").arg(r + 1).arg(peer));
    });

    if (o.durationS > 0.0) {
        QTimer::singleShot(clock.realMs(static_cast<qint64>(o.durationS * 1000.0)), qApp,
                           [] { QCoreApplication::quit(); });
    }
#ifdef Q_OS_UNIX
    std::unique_ptr<QSocketNotifier> notifier;
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) == 0) {
        notifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [] {
            char c = 0;
            [[maybe_unused]] const auto n = ::read(signalPipe[0], &c, 1);
            QCoreApplication::quit();
        });
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
    }
#endif
    const int rc = QCoreApplication::exec();
#ifdef Q_OS_UNIX
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    notifier.reset();
    for (int& fd : signalPipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
#endif
    printLine(QStringLiteral("simulator stopped"));
    return rc;
}

} // namespace hs
