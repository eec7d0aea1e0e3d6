#pragma once

#include "app/DesktopStation.h"
#include "link/AddressFile.h"

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

// How `harmonic-station` without a subcommand was started.
struct DesktopOptions {
    bool demo = false;      // --demo: simulated recorders in this process, screen pointed at them
    double timeScale = 1.0; // --time-scale X, else HARMONIC_TIME_SCALE, else 1
};

// Reads the desktop program's options (arguments after the program name). nullopt and a reason
// in error for an unknown option or a time scale that is not a positive number.
std::optional<DesktopOptions> parseDesktopOptions(const QStringList& args, QString* error);

// The usage text of the desktop program's options, for --help.
QString desktopOptionsHelp();

// The demo's simulated recorders: the default scenario, recorder 1 on 127.0.0.1:8802 and
// recorder 2 on 127.0.0.2:8802, served in this process. nullptr and the reason in error when an
// address cannot be served (another program listening there, say).
std::unique_ptr<sim::SimServer> startDemoRecorders(Clock& clock, QString* error);
// Those addresses and ports, as the connection screen's texts.
AddressTexts demoAddressTexts();

// The settings screen's caption.
QString settingsScreenCaption();

// The lines that say which recorders the initialisation found ("1台目: 8841  有効CH数 5").
QString foundRecordersText(const RecorderFacts& facts);

// The screens of the desktop program and the hand-over between them. The connection screen comes
// first; after a successful initialisation it hides itself and openNextScreen() runs.
class DesktopProgram {
public:
    // Shows a message box with an OK button (text, title).
    using MessageFunction = std::function<void(const QString& text, const QString& title)>;

    // addressFile: "IPDT.DAT" in the working folder; empty for none (the demo leaves the
    // operator's stored addresses alone).
    DesktopProgram(DesktopStation& station, const QString& addressFile);
    ~DesktopProgram();

    ConnectionScreen& connectionScreen() { return *connection_; }
    // The settings screen, once the recorders are initialised; the measurement screen, once
    // the set-up was confirmed; nullptr before.
    SettingsScreen* settingsScreen() const { return settings_.get(); }
    MeasurementScreen* measurementScreen() const { return measurement_.get(); }
    // The screen opened after the connection screen, once it exists.
    QWidget* nextScreen() const;

    void show();
    // Ends the program from the settings and measurement screens (their end buttons, closing
    // the settings screen).
    void setEndProgram(std::function<void(int)> f) { endProgram_ = std::move(f); }
    // Message boxes of the screens opened from here (default: each screen's own box).
    void setMessageFunction(MessageFunction f) { showMessage_ = std::move(f); }

private:
    void openNextScreen();
    void openPreparation();
    void openMeasurement();
    void endProgram(int code);

    DesktopStation& station_;
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
