#include "ui/DesktopScreens.h"

#include "ui/MeasurementScreen.h"
#include "recorder/AddressFile.h"
#include "ui/ConnectionScreen.h"
#include "ui/PreparationScreen.h"
#include "ui/SettingsScreen.h"
#include "files/ResultFormat.h"
#include "sim/SimServer.h"
#include "web/RunFeed.h"
#include "web/StatusServer.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QHostAddress>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

namespace hs {

namespace {

// Ends the program at once, from wherever the request comes (also from inside a wait).
void endProgramNow(int code)
{
    std::fflush(nullptr);
    std::_Exit(code);
}

const QString kDemoAddresses[2] = {QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.2")};
constexpr quint16 kDemoPort = 8802;

// What the status page says while the operator is on a screen before the run.
QString waitingText(const char* screen)
{
    return QStringLiteral("waiting for the measurement to start: ") + QLatin1String(screen);
}

} // namespace

std::unique_ptr<sim::SimServer> startDemoRecorders(Clock& clock, QString* error)
{
    auto server = std::make_unique<sim::SimServer>(clock, sim::Scenario::defaultScenario(), 2);
    for (int i = 0; i < 2; ++i) {
        QString why;
        if (!server->listen(i, QHostAddress(kDemoAddresses[i]), kDemoPort, &why)) {
            if (error)
                *error = QStringLiteral("cannot serve recorder %1 on %2:%3: %4")
                             .arg(i + 1)
                             .arg(kDemoAddresses[i])
                             .arg(kDemoPort)
                             .arg(why);
            return nullptr;
        }
    }
    return server;
}

AddressTexts demoAddressTexts()
{
    return {{kDemoAddresses[0], kDemoAddresses[1]},
            {QString::number(kDemoPort), QString::number(kDemoPort)}};
}

std::optional<DesktopOptions> parseDesktopOptions(const QStringList& args, QString* error)
{
    // The status page's options as the measure command takes them; the rest for the parser.
    web::ServeArguments serve;
    LimitArguments limits;
    fleet::PublishArguments publish;
    QStringList others{QStringLiteral("harmonic-station")};
    for (qsizetype i = 0; i < args.size(); ++i)
        if (!serve.take(args, i) && !limits.take(args, i) && !publish.take(args, i))
            others << args[i];
    QCommandLineParser parser;
    const QCommandLineOption demo(QStringLiteral("demo"));
    const QCommandLineOption scale(QStringLiteral("time-scale"), QString(), QStringLiteral("X"));
    parser.addOption(demo);
    parser.addOption(scale);
    const auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (!parser.parse(others))
        return fail(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return fail(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments()[0]));
    DesktopOptions options;
    options.demo = parser.isSet(demo);
    options.timeScale = Clock::scaleFromEnvironment(1.0);
    if (parser.isSet(scale)) {
        bool ok = false;
        const double value = parser.value(scale).toDouble(&ok);
        if (!ok || !(value > 0))
            return fail(QStringLiteral("--time-scale needs a positive number, not '%1'")
                            .arg(parser.value(scale)));
        options.timeScale = value;
    }
    QString why;
    options.serve = serve.options(&why);
    if (why.isEmpty())
        options.publish = publish.options(&why);
    if (!why.isEmpty())
        return fail(why);
    if (limits.given() && !(options.limits = limits.selection(&why)))
        return fail(why);
    return options;
}

QString desktopOptionsHelp()
{
    const QString text = QStringLiteral(
        "Options of the desktop program:\n"
        "  --demo          start two simulated recorders in this process (127.0.0.1:8802 and\n"
        "                  127.0.0.2:8802) and point the connection screen at them\n"
        "  --time-scale X  run every wait and the calendar at X times real time (e.g. 0.05:\n"
        "                  the default 5-minute save interval passes in 15 s); the\n"
        "                  environment variable HARMONIC_TIME_SCALE does the same\n"
        "  --serve [ADDR:]PORT\n"
        "                  serve a read-only status page of the station and its JSON API on\n"
        "                  ADDR (default 127.0.0.1; port 0: any free port) from the start:\n"
        "                  which screen the operator is on, then the measurement; its address\n"
        "                  is printed as \"status page: http://...\"\n"
        "  --serve-token FILE\n"
        "                  every request to the status page must carry the token on the\n"
        "                  file's first line; required for an address other than loopback\n"
        "The limit watch (each saved record against a profile's limits):\n");
    return text + LimitArguments::help() + fleet::PublishArguments::help();
}

DesktopProgram::DesktopProgram(Station& station, const QString& addressFile)
    : station_(station),
      connection_(std::make_unique<ConnectionScreen>(station.recorders, addressFile))
{
    connection_->setNextScreen([this] { openNextScreen(); });
    connection_->setEndProgram([this](int code) { endProgram(code); });
}

void DesktopProgram::setMessageFunction(MessageFunction f)
{
    showMessage_ = std::move(f);
    if (showMessage_)
        connection_->setMessageFunction(showMessage_);
}

DesktopProgram::~DesktopProgram() = default;

bool DesktopProgram::serveStatusPage(const web::ServeOptions& options)
{
    if (server_)
        return true;
    feed_ = std::make_unique<web::RunFeed>(web::StationRefs{
        station_.clock, station_.lan, station_.facts, station_.settings, station_.data});
    auto server = std::make_unique<web::StatusServer>(*feed_, options);
    QString why;
    if (!server->start(&why)) {
        feed_.reset();
        std::fprintf(stderr, "harmonic-station: --serve: %s\n", qPrintable(why));
        showMessage(QStringLiteral("状態ページを開けません。\n") + why +
                        QStringLiteral("\n状態ページなしで続けます。"),
                    QString());
        return false;
    }
    server_ = std::move(server);
    std::printf("status page: %s\n", qPrintable(server_->url()));
    std::fflush(stdout);
    if (watch_) {
        watch_->setNext(feed_.get());
        server_->setCompliance(watch_.get());
    } else if (measurement_) {
        measurement_->setObserverTap(feed_.get());
    } else {
        feed_->setWaiting(waitingText(settings_ ? "settings" : "connection to the recorders"));
    }
    return true;
}

void DesktopProgram::setWaiting(const QString& what)
{
    if (feed_ && !measurement_)
        feed_->setWaiting(what);
}

void DesktopProgram::showMessage(const QString& text, const QString& title)
{
    if (showMessage_) {
        showMessage_(text, title);
        return;
    }
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, connection_.get());
    box.exec();
}

void DesktopProgram::show()
{
    connection_->show();
}

QWidget* DesktopProgram::nextScreen() const
{
    return settings_.get();
}

void DesktopProgram::endProgram(int code)
{
    if (publisher_)
        publisher_->finish(3000);
    if (endProgram_)
        endProgram_(code);
    else
        endProgramNow(code);
}

void DesktopProgram::openNextScreen()
{
    settings_ = std::make_unique<SettingsScreen>(station_);
    SettingsScreen* screen = settings_.get();
    const ConnectionRequest request = connection_->request();
    std::vector<RecorderAddress> addresses;
    for (int r = 0; r < request.recorderCount && r < 2; ++r)
        addresses.push_back({request.addresses[r],
                             static_cast<std::uint16_t>(request.ports[r].trimmed().toUInt())});
    screen->setRecorderAddresses(std::move(addresses));
    if (showMessage_)
        screen->setMessageFunction(showMessage_);
    screen->setEndProgram([this](int code) { endProgram(code); });
    screen->setOpenPreparation([this] { openPreparation(); });
    screen->setOpenMeasurement([this] { openMeasurement(); });
    setWaiting(waitingText("settings"));
    screen->show();
    screen->activate();
}

// The preparation screen, modal over the settings screen; the settings screen's activation
// then hands over to the measurement screen or starts the recorders' set-up again.
void DesktopProgram::openPreparation()
{
    PreparationScreen dialog(station_, settings_.get());
    if (showMessage_)
        dialog.setMessageFunction(showMessage_);
    setWaiting(waitingText("preparation"));
    dialog.exec();
    setWaiting(waitingText("settings"));
}

void DesktopProgram::openMeasurement()
{
    if (measurement_)
        return; // one measurement per program run
    measurement_ = std::make_unique<MeasurementScreen>(station_, showMessage_);
    measurement_->setEndProgram([this](int code) { endProgram(code); });
    measurement_->setRunNotStarted([this](const QString& why) { returnToSettings(why); });
    if (feed_) {
        feed_->startRun();
        measurement_->setObserverTap(feed_.get());
    }
    startLimitWatch();
    if (publish_) {
        // Set up before the screen's start opens (and truncates) the result files.
        publisher_ = std::make_unique<fleet::StationPublisher>(
            *publish_, station_.clock, station_.settings,
            watch_  ? static_cast<EngineObserver&>(*watch_)
            : feed_ ? static_cast<EngineObserver&>(*feed_)
                    : static_cast<EngineObserver&>(noTap_));
        publisher_->setTell([](const QString& text) {
            std::fprintf(stderr, "harmonic-station: %s\n", qPrintable(text));
        });
        QString why;
        if (publisher_->beginRun(
                ResultFileNames(station_.settings.OutputFile, station_.settings.MeasureType()),
                &why))
            measurement_->setObserverTap(publisher_.get());
        else
            showMessage(why, QString());
    }
    // Shown without blocking: the run starts from the event loop once the screen is up.
    measurement_->show();
}

// The run could not start: the settings screen again with every setting kept, once the
// measurement screen's call has returned; the status page waits again.
void DesktopProgram::returnToSettings(const QString& why)
{
    if (!measurement_)
        return;
    measurement_->hide();
    measurement_->setObserverTap(nullptr);
    if (server_)
        server_->setCompliance(nullptr);
    watch_.reset(); // the next run starts its own watch
    measurement_.release()->deleteLater();
    setWaiting(waitingText("settings"));
    QTimer::singleShot(0, settings_.get(), [this, why] { settings_->returnFromMeasurement(why); });
}

void DesktopProgram::startLimitWatch()
{
    if (!limits_)
        return;
    if (auto ok = checkComplianceParameters(limits_->profile, limits_->params,
                                            station_.settings.LastFeeder + 1);
        !ok) {
        showMessage(QStringLiteral("限度値の監視を始められません。\n") + ok.error().text,
                    QString());
        return;
    }
    watch_ = std::make_unique<LimitWatch>(*limits_, station_.settings, feed_.get(),
                                          &measurement_->observer());
    measurement_->setObserverTap(watch_.get());
    if (server_)
        server_->setCompliance(watch_.get());
}

int runDesktopProgram(const DesktopOptions& options)
{
    QString error;
    Station station(options.timeScale);
    DesktopProgram program(station, options.demo ? QString() : QString(kAddressFileName));

    std::unique_ptr<sim::SimServer> demoRecorders;
    if (options.demo) {
        demoRecorders = startDemoRecorders(station.clock, &error);
        if (!demoRecorders) {
            std::fprintf(stderr, "harmonic-station: --demo: %s\n", qPrintable(error));
            return 1;
        }
        program.connectionScreen().setAddressTexts(demoAddressTexts());
        program.connectionScreen().setRecorderCount(2);
    }

    program.setLimits(options.limits);
    program.show();
    if (options.serve)
        program.serveStatusPage(*options.serve);
    if (options.publish)
        program.publishRun(*options.publish);
    return QApplication::exec();
}

} // namespace hs
