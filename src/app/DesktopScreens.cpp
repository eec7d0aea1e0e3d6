#include "app/DesktopScreens.h"

#include "display/MeasurementScreen.h"
#include "link/AddressFile.h"
#include "link/ConnectionScreen.h"
#include "prep/PreparationScreen.h"
#include "settings/SettingsScreen.h"
#include "sim/SimServer.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QHostAddress>
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
    QCommandLineParser parser;
    const QCommandLineOption demo(QStringLiteral("demo"));
    const QCommandLineOption scale(QStringLiteral("time-scale"), QString(), QStringLiteral("X"));
    parser.addOption(demo);
    parser.addOption(scale);
    if (!parser.parse(QStringList{QStringLiteral("harmonic-station")} + args)) {
        if (error)
            *error = parser.errorText();
        return std::nullopt;
    }
    if (!parser.positionalArguments().isEmpty()) {
        if (error)
            *error =
                QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments()[0]);
        return std::nullopt;
    }
    DesktopOptions options;
    options.demo = parser.isSet(demo);
    options.timeScale = Clock::scaleFromEnvironment(1.0);
    if (parser.isSet(scale)) {
        bool ok = false;
        const double value = parser.value(scale).toDouble(&ok);
        if (!ok || !(value > 0)) {
            if (error)
                *error = QStringLiteral("--time-scale needs a positive number, not '%1'")
                             .arg(parser.value(scale));
            return std::nullopt;
        }
        options.timeScale = value;
    }
    return options;
}

QString desktopOptionsHelp()
{
    return QStringLiteral(
        "Options of the desktop program:\n"
        "  --demo          start two simulated recorders in this process (127.0.0.1:8802 and\n"
        "                  127.0.0.2:8802) and point the connection screen at them\n"
        "  --time-scale X  run every wait and the calendar at X times real time (e.g. 0.05:\n"
        "                  the default 5-minute save interval passes in 15 s); the\n"
        "                  environment variable HARMONIC_TIME_SCALE does the same\n");
}

QString settingsScreenCaption()
{
    return SettingsScreen::caption();
}

QString foundRecordersText(const RecorderFacts& facts)
{
    QStringList lines;
    for (int r = 0; r <= facts.LastRecorder && r < 2; ++r) {
        const int usable = usableChannelCount(facts, r);
        lines << QStringLiteral("%1台目: %2  有効CH数 %3")
                     .arg(r + 1)
                     .arg(facts.RecorderModel[r])
                     .arg(usable);
    }
    return lines.join(QLatin1Char('\n'));
}

DesktopProgram::DesktopProgram(DesktopStation& station, const QString& addressFile)
    : station_(station),
      connection_(std::make_unique<ConnectionScreen>(station.lan, station.facts, addressFile))
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
    dialog.exec();
}

void DesktopProgram::openMeasurement()
{
    if (measurement_)
        return; // one measurement per program run
    measurement_ = std::make_unique<MeasurementScreen>(station_, showMessage_);
    measurement_->setEndProgram([this](int code) { endProgram(code); });
    // Shown without blocking: the run starts from the event loop once the screen is up.
    measurement_->show();
}

int runDesktopProgram(const DesktopOptions& options)
{
    QString error;
    DesktopStation station(options.timeScale);
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

    program.show();
    return QApplication::exec();
}

} // namespace hs
