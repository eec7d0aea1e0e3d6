#include "app/CollectCommand.h"

#include "compliance/LimitArguments.h"
#include "fleet/Collector.h"
#include "web/FleetServer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>

namespace hs {

namespace {

volatile std::sig_atomic_t g_stop = 0;
extern "C" void onStopSignal(int)
{
    g_stop = 1;
}

void logLine(const QString& text)
{
    const QByteArray line = (QDateTime::currentDateTime().toString(Qt::ISODate) +
                             QStringLiteral("  ") + text + QLatin1Char('\n'))
                                .toUtf8();
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
    std::fflush(stderr);
}

QString collectHelp()
{
    const QString usage = QStringLiteral(
        "Usage: harmonic-station collect --mqtt URL [--db DB] [--mqtt-password-file FILE]\n"
        "                                [--mqtt-ca FILE] [--client-id ID]\n"
        "                                [--serve [ADDR:]PORT [--serve-token FILE]]\n"
        "                                [--profile ID|--limits FILE [--kv KV]\n"
        "                                 [--contract-kw LIST] [--il LIST] [--isc LIST]]\n"
        "\n"
        "Subscribes to the records, status and events the stations publish under the URL's\n"
        "prefix (PREFIX/+/record, /status, /event; QoS 1, a persistent session) and writes them\n"
        "into the database. A record sent again replaces its rows. Messages that are not valid,\n"
        "too large or of another prefix are told on stderr with their topic and dropped. While\n"
        "the database does not answer nothing is acknowledged (the broker keeps the messages)\n"
        "and it is tried again with a growing pause.\n"
        "\n"
        "Options:\n"
        "  --mqtt URL            mqtt://[user@]host[:port]/prefix or mqtts://...\n"
        "  --mqtt-password-file FILE  the broker password: the file's first line\n"
        "  --mqtt-ca FILE        the CA certificate of an mqtts:// broker\n"
        "  --db DB               sqlite:PATH (default sqlite:fleet.db) or\n"
        "                        postgresql://[user@]host[:port]/database\n"
        "  --client-id ID        the session's name at the broker (default hs-collector)\n"
        "  --serve [ADDR:]PORT   serve the fleet page and its JSON API (loopback by default)\n"
        "  --serve-token FILE    the token every request must carry (required beyond loopback)\n"
        "  --help, -h            this text\n"
        "\n"
        "With a limit profile the fleet page shows each station's compliance verdict per feeder\n"
        "over its records of the last 7 days (evaluated anew at most once a minute). One profile\n"
        "and one set of parameters apply to every station of the fleet:\n");
    return usage + LimitArguments::help();
}

struct CollectOptions {
    fleet::BrokerAddress broker;
    fleet::DatabaseSpec database;
    QString clientId = QStringLiteral("hs-collector");
    std::optional<web::ServeOptions> serve;
    std::optional<LimitSelection> limits; // for every station
};

// nullopt with the reason in error; help set for --help.
std::optional<CollectOptions> parseCollectOptions(const QStringList& args, bool& help,
                                                  QString* error)
{
    QString url, db = QStringLiteral("sqlite:fleet.db"), passwordFile, ca;
    CollectOptions o;
    web::ServeArguments serve;
    LimitArguments limits;
    const auto fail = [error](const QString& why) {
        *error = why;
        return std::nullopt;
    };
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        QString* target = a == QStringLiteral("--mqtt")                 ? &url
                          : a == QStringLiteral("--db")                 ? &db
                          : a == QStringLiteral("--mqtt-password-file") ? &passwordFile
                          : a == QStringLiteral("--mqtt-ca")            ? &ca
                          : a == QStringLiteral("--client-id")          ? &o.clientId
                                                                        : nullptr;
        if (a == QStringLiteral("--help") || a == QStringLiteral("-h")) {
            help = true;
        } else if (target) {
            if (i + 1 >= args.size())
                return fail(a + QStringLiteral(" needs a value"));
            *target = args[++i];
        } else if (!limits.take(args, i) && !serve.take(args, i)) {
            return fail(QStringLiteral("unknown argument '%1'").arg(a));
        }
    }
    if (help)
        return o;
    if (url.isEmpty())
        return fail(QStringLiteral("--mqtt URL is required"));
    QString why;
    const auto broker = fleet::ParseBrokerUrl(url, &why);
    if (!broker)
        return fail(QStringLiteral("--mqtt ") + why);
    o.broker = *broker;
    o.broker.caFile = ca;
    if (!passwordFile.isEmpty()) {
        o.broker.password = fleet::ReadPasswordFile(passwordFile, &why);
        if (o.broker.password.isEmpty())
            return fail(QStringLiteral("--mqtt-password-file ") + why);
    }
    const auto database = fleet::ParseDatabaseSpec(db, &why);
    if (!database)
        return fail(QStringLiteral("--db ") + why);
    o.database = *database;
    o.serve = serve.options(&why);
    if (!why.isEmpty())
        return fail(why);
    o.limits = limits.selection(&why);
    if (limits.given() && !o.limits)
        return fail(why);
    // What every station needs whatever its feeders (the voltage, feeder 1) is checked now.
    if (o.limits)
        if (auto ok = checkComplianceParameters(o.limits->profile, o.limits->params, 1); !ok)
            return fail(ok.error().text);
    return o;
}

} // namespace

int runCollectCommand(const QStringList& args)
{
    bool help = false;
    QString error;
    const auto options = parseCollectOptions(args, help, &error);
    if (help) {
        std::fputs(qPrintable(collectHelp()), stdout);
        return 0;
    }
    if (!options) {
        logLine(QStringLiteral("harmonic-station collect: ") + error);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    g_stop = 0;
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    fleet::Collector collector(options->broker, options->database, options->clientId, logLine);
    collector.start();
    std::unique_ptr<web::FleetServer> page;
    if (options->serve) {
        page =
            std::make_unique<web::FleetServer>(options->database, *options->serve, options->limits);
        if (!page->start(&error)) {
            logLine(QStringLiteral("--serve: ") + error);
            return 1;
        }
        logLine(QStringLiteral("fleet page: ") + page->url());
    }
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [] {
        if (g_stop)
            QCoreApplication::quit();
    });
    watch.start(100);
    QCoreApplication::exec();
    collector.stop();
    logLine(QStringLiteral("stopped: %1 records, %2 status messages, %3 events written; %4 "
                           "messages dropped")
                .arg(collector.counts().records)
                .arg(collector.counts().statuses)
                .arg(collector.counts().events)
                .arg(collector.counts().dropped));
    return 0;
}

} // namespace hs
