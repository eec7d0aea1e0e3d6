#pragma once

#include "compliance/LimitWatch.h"
#include "engine/Station.h"
#include "recorder/AddressFile.h"
#include "fleet/StationPublisher.h"
#include "web/WebAccess.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class QWidget;

namespace hs {

class ConnectionScreen;
class MeasurementScreen;
class SettingsScreen;
namespace sim {
class SimServer;
}
namespace web {
class RunFeed;
class StatusServer;
} // namespace web

// How `harmonic-station` without a subcommand was started.
struct DesktopOptions {
    bool demo = false;      // --demo: simulated recorders in this process, screen pointed at them
    double timeScale = 1.0; // --time-scale X, else HARMONIC_TIME_SCALE, else 1
    std::optional<web::ServeOptions> serve; // --serve [ADDR:]PORT [--serve-token FILE]
    std::optional<LimitSelection> limits;   // --profile/--limits and parameters: the limit watch
    std::optional<fleet::PublishOptions> publish; // --publish URL [--publish-ca ...]
};

// Reads the desktop program's options (arguments after the program name). nullopt and a reason
// in error for an unknown option, a time scale that is not a positive number or status page
// options that the measure command would refuse (the token file is read here).
std::optional<DesktopOptions> parseDesktopOptions(const QStringList& args, QString* error);

// The usage text of the desktop program's options, for --help.
QString desktopOptionsHelp();

// The demo's simulated recorders: the default scenario, recorder 1 on 127.0.0.1:8802 and
// recorder 2 on 127.0.0.2:8802, served in this process. nullptr and the reason in error when an
// address cannot be served (another program listening there, say).
std::unique_ptr<sim::SimServer> startDemoRecorders(Clock& clock, QString* error);
// Those addresses and ports, as the connection screen's texts.
AddressTexts demoAddressTexts();

// The screens of the desktop program and the hand-over between them. The connection screen comes
// first; after a successful initialisation it hides itself and openNextScreen() runs.
class DesktopProgram {
public:
    // Shows a message box with an OK button (text, title).
    using MessageFunction = std::function<void(const QString& text, const QString& title)>;

    // addressFile: "IPDT.DAT" in the working folder; empty for none (the demo leaves the
    // operator's stored addresses alone).
    DesktopProgram(Station& station, const QString& addressFile);
    ~DesktopProgram();

    ConnectionScreen& connectionScreen() { return *connection_; }
    // The settings screen, once the recorders are initialised; the measurement screen, once
    // the set-up was confirmed; nullptr before.
    SettingsScreen* settingsScreen() const { return settings_.get(); }
    MeasurementScreen* measurementScreen() const { return measurement_.get(); }
    // The screen opened after the connection screen, once it exists.
    QWidget* nextScreen() const;

    void show();
    // Ends the program with an exit code, from every screen: the connection screen's end
    // button and an initialisation that cannot go on, the settings screen's end button and
    // closing it, the measurement screen's end button and the end of the run. Default: the
    // process ends at once.
    void setEndProgram(std::function<void(int)> f) { endProgram_ = std::move(f); }
    // Message boxes of every screen (default: each screen's own box).
    void setMessageFunction(MessageFunction f);

    // The station's status page (--serve), from now until the program ends: while the operator
    // is on the connection, settings and preparation screens it says which, without the run's
    // files; once the measurement screen is up it hears every report the screen hears. Prints
    // "status page: URL" to stdout. When it cannot listen, the operator is told why and the
    // program goes on without it (false).
    bool serveStatusPage(const web::ServeOptions& options);
    // The records, status and run events of the run to the broker as well (--publish), from
    // the measurement screen on; what the publishing meets is told on stderr.
    void publishRun(const fleet::PublishOptions& options) { publish_ = options; }
    // The page's server while serving, else nullptr.
    web::StatusServer* statusServer() const { return server_.get(); }
    // A message box through the message function (default: a box of the program's own).
    void showMessage(const QString& text, const QString& title);
    // The limit watch of the measurement (--profile): it hears what the measurement screen
    // hears, and the screen's status line shows each limit exceeded.
    void setLimits(std::optional<LimitSelection> limits) { limits_ = std::move(limits); }

private:
    void openNextScreen();
    void openPreparation();
    void openMeasurement();
    void returnToSettings(const QString& why);
    void startLimitWatch();
    void endProgram(int code);
    // What the status page says before the run.
    void setWaiting(const QString& what);

    Station& station_;
    // The status page; declared before the screens, which report to the feed.
    std::unique_ptr<web::RunFeed> feed_;
    std::unique_ptr<web::StatusServer> server_;
    std::optional<LimitSelection> limits_;
    std::unique_ptr<LimitWatch> watch_; // before the screens, which report to it
    // The publisher (--publish); declared before the screens, which report to it.
    std::optional<fleet::PublishOptions> publish_;
    NullObserver noTap_;
    std::unique_ptr<fleet::StationPublisher> publisher_;
    std::unique_ptr<ConnectionScreen> connection_;
    std::unique_ptr<SettingsScreen> settings_;
    std::unique_ptr<MeasurementScreen> measurement_;
    std::function<void(int)> endProgram_;
    MessageFunction showMessage_;
};

// The whole desktop program: station, (demo recorders), screens, event loop, for options
// already checked. A QApplication exists.
int runDesktopProgram(const DesktopOptions& options);

} // namespace hs
