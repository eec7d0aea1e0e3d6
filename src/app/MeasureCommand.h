#pragma once

#include "engine/RunLoop.h"

#include "compliance/LimitArguments.h"
#include "fleet/StationPublisher.h"
#include "web/WebAccess.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace hs {

// What `harmonic-station measure` was asked to do.
struct MeasureOptions {
    QString settingsFile;
    bool simulate = false;
    QString scenarioFile;   // --simulate SCENARIO; empty: the built-in scenario
    double timeScale = 1.0; // --time-scale X, else HARMONIC_TIME_SCALE, else 1
    bool quiet = false;
    bool overwrite = false; // --overwrite: result files that hold data may be replaced
    bool help = false;
    QString snapshotDir; // --snapshot DIR: pictures of the views after each save and at the end
    std::optional<web::ServeOptions> serve; // --serve [ADDR:]PORT [--serve-token FILE]
    std::optional<LimitSelection> limits;   // --profile/--limits and parameters: the limit watch
    std::optional<fleet::PublishOptions> publish; // --publish URL [--publish-ca ...]
};

// Exit codes of `measure` (those of a run that started come from RunExitStatus).
inline constexpr int kMeasureComplete = 0; // the end time came with every record written
inline constexpr int kMeasureFailed = 1;   // settings, connection, preparation or run failed
inline constexpr int kMeasureUsage = 2;    // the command line was not understood
inline constexpr int kMeasureIncomplete = kExitRunIncomplete; // save times without a record
inline constexpr int kMeasureInterrupted = 130;               // stopped by SIGINT (Ctrl+C)

// Reads the options (the arguments after "measure"); nullopt with the reason in error.
std::optional<MeasureOptions> parseMeasureOptions(const QStringList& args, QString* error);
// The --help text.
QString measureHelp();

// `harmonic-station measure --settings FILE [--simulate [SCENARIO]] [--time-scale X] [--quiet]`:
// connection set-up, instrument configuration and check shot (the wiring is accepted as it is),
// then the measurement to EndDateTime. Prints the status line changes and one summary line per
// shot (only errors and the final lines with --quiet). Returns one of the exit codes above.
int runMeasureCommand(const QStringList& args);

} // namespace hs
