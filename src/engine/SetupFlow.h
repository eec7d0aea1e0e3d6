#pragma once

#include "common/Result.h"
#include "engine/EngineContext.h"
#include "engine/Measurement.h"
#include "engine/Station.h"
#include "model/PreparationResult.h"

#include <functional>

namespace hs {

class EngineObserver;

// What the preparation screen or `measure` is told while the preparation runs.
struct PreparationHooks {
    // The check shot has been started on recorder 1 (the screen shows itself busy).
    std::function<void()> shotStarted;
    // Checked after every wait; true ends the preparation with PreparationStopped.
    std::function<bool()> stopRequested;
};

// The codes of a set-up Error that are not the preparation's (PreparationStatus) or the
// load's.
enum SetupFailure : int {
    SetupStopped = 100,           // the caller asked to stop during the lock-out
    SetupNoOutputFolder = 101,    // the output folder could not be made or cannot be written
    SetupNotLoaded = 102,         // the settings cannot be analysed (the operator was told)
    SetupOutputFileRefused = 103, // no output file, or a result file that cannot be written
    SetupOutputFileInUse = 104,   // another running measurement holds the result files
    SetupRecorderLost = 105,      // a recorder's link is lost and it does not answer again
    SetupRecorderBack = 106,      // a lost link was opened again: the recorder was reset
};

// The set-up from the settings to a running measurement, in the order the desktop program
// takes it and `measure` follows: the recorders' automatic set-up and the lock-out when the
// settings screen opens, the preparation (configuration and check shot), the operator's answer
// to the wiring question, the output folder, the measurement's load, start and end. The screens
// call each step at their moment; `measure` calls them in sequence. The flow is the one place
// an EngineContext is made from the station.
class SetupFlow {
public:
    // The settings screen keeps its start button greyed this long after it opens, while the
    // recorders finish their automatic set-up.
    static constexpr qint64 kLockOutMs = 9000;

    SetupFlow(Station& station, EngineObserver& observer);
    SetupFlow(const SetupFlow&) = delete;
    SetupFlow& operator=(const SetupFlow&) = delete;

    // The settings screen opens: ":AUTO" to each recorder in use.
    void startAutomaticSetup();
    // The lock-out, waited out (`measure`; the screen keeps it with its own timer). Fails with
    // SetupStopped, after ":ABORT" to the recorders, when stopRequested says so.
    Result<void> waitLockOut(const std::function<bool()>& stopRequested);

    // The preparation: configuration steps and the check shot. An Error's code is a
    // PreparationStatus; its text is what the operator was told.
    Result<PreparationResult> prepare(const PreparationHooks& hooks = {});
    // The operator's answer to the wiring question: accepted, the measurement may start;
    // rejected, the recorders go back to their idle set-up.
    void acceptWiring();
    void rejectWiring();

    // The result files of the settings can be written, checked before anything is asked of
    // the recorders: the output folder is made when it does not exist yet (an unattended run
    // has no file dialog to choose one); a folder that cannot be written, a result file that
    // cannot be opened for writing, or result files held by another running measurement are
    // refused with the system's reason or the holder's name. Nothing is written into the files.
    // Fails with SetupOutputFileRefused, SetupNoOutputFolder or SetupOutputFileInUse and the
    // text to show.
    static Result<void> readyOutputFile(const QString& outputFile, int measureType);
    // The same for the station's settings.
    Result<void> readyOutputFolder();

    // The recorders' links before the preparation: a link found lost since it was opened at
    // the connection set-up (the recorder switched off, its cable pulled) is opened again, and a
    // recorder that answers is identified and set up again as the connection set-up does. Fails
    // with SetupRecorderLost when a recorder does not answer (or is another recorder now), or with
    // SetupRecorderBack when every link is up again: the recorders were reset, so the
    // automatic set-up must run again before the preparation. The text is the operator's.
    Result<void> checkLinks();

    // The measurement's load (Measurement::Load); SetupNotLoaded when it cannot be analysed.
    Result<void> load();
    // The start (Measurement::Start); a RunLoopStatus. When the result files cannot be opened
    // the run does not start: RunFileError, and notStartedReason() says why.
    int start(const RunLoopHooks& hooks = {});
    // Why the last start() did not start the run (the result files could not be opened):
    // empty when it started.
    const QString& notStartedReason() const { return notStarted_; }
    // The end button: the recorders stopped and their links closed, result files closed.
    void end();
    // The recorders stopped (":ABORT") outside a measurement: the program ends, or `measure`
    // gives up during the set-up.
    void abort();

    // The context the steps run in, for the engine's own operations taken one by one
    // (tests, benchmarks).
    EngineContext& context() { return ctx_; }
    Measurement& measurement() { return measurement_; }
    const Measurement& measurement() const { return measurement_; }

private:
    Station& station_;
    EngineContext ctx_;
    Measurement measurement_;
    QString notStarted_;
};

} // namespace hs
