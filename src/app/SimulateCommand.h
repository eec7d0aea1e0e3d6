#pragma once

#include "sim/FaultPlan.h"
#include "sim/Scenario.h"

#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace hs {

// What `harmonic-station simulate` was asked to do.
struct SimulateOptions {
    int recorders = 1;
    std::array<QString, 2> addresses{QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.2")};
    std::array<quint16, 2> ports{8802, 8802};
    sim::Scenario scenario; // the scenario with --model/--units applied
    std::array<sim::FaultPlan, 2> faults;
    double timeScale = 1.0;
    double durationS = 0.0; // nominal seconds to serve; 0 until interrupted
    QString logFile;
    QString saveScenario; // write the scenario here and stop
    bool verbose = false;
    bool help = false;
};

// Reads the options (the arguments after "simulate"); nullopt with the reason in error.
std::optional<SimulateOptions> parseSimulateOptions(const QStringList& args, QString* error);
// The --help text.
QString simulateHelp();

// `harmonic-station simulate [OPTIONS]`: serves simulated recorders until interrupted.
int runSimulateCommand(const QStringList& args);

} // namespace hs
