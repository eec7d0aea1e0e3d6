#include "app/SimulateCommand.h"

#include "common/Clock.h"
#include "sim/SimServer.h"

#include <QCommandLineParser>
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

namespace {

// The options that take a value, with what they take: the text of both a missing and a refused
// value.
struct ValueOption {
    const char* name;
    const char* valueName;
    const char* takes;
};
constexpr ValueOption kValueOptions[] = {
    {"recorders", "N", "--recorders takes 1 or 2"},
    {"address1", "HOST", "--address1 takes an IP address"},
    {"address2", "HOST", "--address2 takes an IP address"},
    {"port1", "N", "--port1 takes a port number 0 to 65535"},
    {"port2", "N", "--port2 takes a port number 0 to 65535"},
    {"model", "[R:]MODEL", "--model takes [R:]MODEL"},
    {"units", "[R:]CODES", "--units takes [R:]CODES"},
    {"scenario", "FILE", "--scenario takes a file name"},
    {"save-scenario", "FILE", "--save-scenario takes a file name"},
    {"time-scale", "S", "--time-scale takes a positive number"},
    {"duration", "SECONDS", "--duration takes nominal seconds"},
    {"log", "FILE", "--log takes a file name"},
    {"fault", "[R:]KEY[=V]", "--fault takes [R:]KEY[=VALUE]"},
};

QString takes(const QString& name)
{
    for (const ValueOption& v : kValueOptions) {
        if (name == QLatin1String(v.name))
            return QLatin1String(v.takes);
    }
    return {};
}

void addSimulateOptions(QCommandLineParser& parser)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption({{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("help")});
    parser.addOption({{QStringLiteral("v"), QStringLiteral("verbose")}, QStringLiteral("verbose")});
    for (const ValueOption& v : kValueOptions)
        parser.addOption(
            {QLatin1String(v.name), QLatin1String(v.takes), QLatin1String(v.valueName)});
}

// The option an argument names: "--port1=5" and "-port1" name "port1".
QString optionName(const QString& arg)
{
    QString name = arg.section(QLatin1Char('='), 0, 0);
    while (name.startsWith(QLatin1Char('-')))
        name.remove(0, 1);
    return name;
}

// What is wrong with the arguments as the parser sees them, in the words of this command (empty
// when nothing): a value missing after the last argument, or an argument that is no option.
QString parseProblem(QCommandLineParser& parser, const QStringList& args)
{
    auto unknownOption = [](const QString& arg) {
        return QStringLiteral("unknown option \"%1\" (see --help)").arg(arg);
    };
    if (parser.parse(QStringList{QStringLiteral("simulate")} + args))
        return parser.positionalArguments().isEmpty()
                   ? QString()
                   : unknownOption(parser.positionalArguments().first());
    const QStringList unknown = parser.unknownOptionNames();
    if (unknown.isEmpty())
        return args.isEmpty() ? parser.errorText() : takes(optionName(args.last()));
    for (const QString& a : args) {
        if (a.startsWith(QLatin1Char('-')) && optionName(a) == unknown.first())
            return unknownOption(a);
    }
    return unknownOption(QStringLiteral("--") + unknown.first());
}

// Reads every value of an option with read (false: refused); the last one given counts.
template <typename Read>
bool readValues(const QCommandLineParser& parser, const char* name, QString* error, Read read)
{
    for (const QString& v : parser.values(QLatin1String(name))) {
        if (!read(v)) {
            if (error)
                *error = takes(QLatin1String(name));
            return false;
        }
    }
    return true;
}

bool readAddressesAndPorts(const QCommandLineParser& parser, SimulateOptions& o, QString* error)
{
    for (std::size_t r = 0; r < 2; ++r) {
        const QByteArray address = "address" + QByteArray::number(static_cast<int>(r) + 1);
        const QByteArray port = "port" + QByteArray::number(static_cast<int>(r) + 1);
        const bool ok = readValues(parser, address.constData(), error,
                                   [&](const QString& v) {
                                       o.addresses[r] = v;
                                       return !QHostAddress(v).isNull();
                                   }) &&
                        readValues(parser, port.constData(), error, [&](const QString& v) {
                            bool valid = false;
                            const int p = v.toInt(&valid);
                            o.ports[r] = static_cast<quint16>(p);
                            return valid && p >= 0 && p <= 65535;
                        });
        if (!ok)
            return false;
    }
    return true;
}

bool readSimpleValues(const QCommandLineParser& parser, SimulateOptions& o, QString* error)
{
    return readValues(parser, "recorders", error,
                      [&](const QString& v) {
                          o.recorders = v.toInt();
                          return v == QLatin1String("1") || v == QLatin1String("2");
                      }) &&
           readAddressesAndPorts(parser, o, error) &&
           readValues(parser, "time-scale", error,
                      [&](const QString& v) {
                          bool ok = false;
                          o.timeScale = v.toDouble(&ok);
                          return ok && o.timeScale > 0.0 && std::isfinite(o.timeScale);
                      }) &&
           readValues(parser, "duration", error, [&](const QString& v) {
               bool ok = false;
               o.durationS = v.toDouble(&ok);
               return ok && o.durationS >= 0.0 && o.durationS <= 1e7;
           });
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

// One --model value.
bool applyModel(const QString& option, sim::Scenario& scenario, QString* error)
{
    int first = 0, last = 1;
    QString text;
    splitRecorderPrefix(option, first, last, text);
    bool ok = false;
    const int model = text.toInt(&ok);
    if (!ok || model < 1000 || model > 9999) {
        *error = QStringLiteral("--model \"%1\": a four-digit model such as 8841").arg(option);
        return false;
    }
    for (int r = first; r <= last; ++r)
        scenario.recorders[static_cast<std::size_t>(r)].model = model;
    return true;
}

// One --units value.
bool applyUnits(const QString& option, sim::Scenario& scenario, QString* error)
{
    int first = 0, last = 1;
    QString text;
    splitRecorderPrefix(option, first, last, text);
    QVector<int> codes;
    for (const QString& c : text.split(QLatin1Char(','))) {
        bool ok = false;
        const int code = c.trimmed().toInt(&ok);
        if (!ok || code < 0 || code > 9) {
            *error =
                QStringLiteral("--units \"%1\": single-digit codes separated by \",\"").arg(option);
            return false;
        }
        codes << code;
    }
    if (codes.size() > 16) {
        *error = QStringLiteral("--units \"%1\": at most 16 channels").arg(option);
        return false;
    }
    for (int r = first; r <= last; ++r)
        scenario.recorders[static_cast<std::size_t>(r)].units = codes;
    return true;
}

bool readFaults(const QCommandLineParser& parser, SimulateOptions& o, QString* error)
{
    for (const QString& f : parser.values(QStringLiteral("fault"))) {
        if (!sim::applyFaultOption(f, o.faults, error))
            return false;
    }
    return true;
}

// The scenario: the default or the --scenario file, with --model and --units applied in order.
bool readScenario(const QCommandLineParser& parser, SimulateOptions& o, QString* error)
{
    if (parser.isSet(QStringLiteral("scenario"))) {
        auto s = sim::Scenario::load(parser.value(QStringLiteral("scenario")), error);
        if (!s)
            return false;
        o.scenario = *s;
    }
    for (const QString& m : parser.values(QStringLiteral("model"))) {
        if (!applyModel(m, o.scenario, error))
            return false;
    }
    for (const QString& u : parser.values(QStringLiteral("units"))) {
        if (!applyUnits(u, o.scenario, error))
            return false;
    }
    return true;
}

} // namespace

std::optional<SimulateOptions> parseSimulateOptions(const QStringList& args, QString* error)
{
    SimulateOptions o;
    o.scenario = sim::Scenario::defaultScenario();
    o.timeScale = Clock::scaleFromEnvironment(1.0);
    QCommandLineParser parser;
    addSimulateOptions(parser);
    QString why = parseProblem(parser, args);
    if (why.isEmpty() && readSimpleValues(parser, o, &why) && readFaults(parser, o, &why) &&
        readScenario(parser, o, &why)) {
        o.help = parser.isSet(QStringLiteral("help"));
        o.verbose = parser.isSet(QStringLiteral("verbose"));
        o.saveScenario = parser.value(QStringLiteral("save-scenario"));
        o.logFile = parser.value(QStringLiteral("log"));
        return o;
    }
    if (error)
        *error = why;
    return std::nullopt;
}

namespace {

// Wires recorder r to its faults and the log, and makes it listen; false when it cannot.
bool startRecorder(sim::SimServer& server, int r, const SimulateOptions& o, QFile& log)
{
    const auto k = static_cast<std::size_t>(r);
    sim::SimRecorder& rec = server.recorder(r);
    rec.setFaults(o.faults[k]);
    rec.setLogListener([&log, &o](int index, const sim::CommandLogEntry& e) {
        const QString text =
            QStringLiteral("%1 [%2] %3%4")
                .arg(e.time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")))
                .arg(index + 1)
                .arg(e.line, e.note.isEmpty() ? QString()
                                              : QStringLiteral("  (") + e.note + QLatin1Char(')'));
        if (log.isOpen()) {
            log.write(text.toUtf8() + '\n');
            log.flush();
        }
        if (o.verbose)
            printLine(text);
    });
    QString error;
    if (!server.listen(r, QHostAddress(o.addresses[k]), o.ports[k], &error)) {
        printLine(
            QStringLiteral("harmonic-station simulate: recorder %1: %2").arg(r + 1).arg(error),
            stderr);
        return false;
    }
    QStringList codes;
    for (int u : o.scenario.recorders[k].units)
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
    return true;
}

// Runs the event loop until the duration is over or SIGINT/SIGTERM arrives.
int serveUntilStopped(const Clock& clock, double durationS)
{
    if (durationS > 0.0) {
        QTimer::singleShot(clock.realMs(static_cast<qint64>(durationS * 1000.0)), qApp,
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
    return rc;
}

} // namespace

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
        if (!startRecorder(server, r, o, log))
            return 1;
    }
    printLine(QStringLiteral("scenario: %1; time scale %2").arg(o.scenario.name).arg(o.timeScale));
    QObject::connect(&server, &sim::SimServer::connectionOpened, [](int r, const QString& peer) {
        printLine(QStringLiteral("recorder %1: connection from %2").arg(r + 1).arg(peer));
    });
    QObject::connect(&server, &sim::SimServer::connectionClosed, [](int r, const QString& peer) {
        printLine(QStringLiteral("recorder %1: connection from %2 closed").arg(r + 1).arg(peer));
    });
    const int rc = serveUntilStopped(clock, o.durationS);
    printLine(QStringLiteral("simulator stopped"));
    return rc;
}

} // namespace hs
