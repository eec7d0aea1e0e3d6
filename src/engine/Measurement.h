#pragma once

#include "engine/EngineContext.h"
#include "engine/ResultFiles.h"
#include "engine/RunLog.h"
#include "engine/RunLoop.h"

#include <memory>

namespace hs {

// One measurement from the measurement screen's load to its end, shared by that screen and the
// unattended `measure`: sizing and recorder set-up at load, the start (result files, schedules,
// run loop) and the end by the operator.
class Measurement {
public:
    explicit Measurement(EngineContext& ctx);
    Measurement(const Measurement&) = delete;
    Measurement& operator=(const Measurement&) = delete;

    // At load: sizes the result arrays for MaxHarmonicOrder and LastFeeder, builds the
    // transform tables and sets ElementLast and VoltageLast, shows view 1 of feeder 1; with
    // automatic printing on, ":SYST:LIST GAUGE" to each recorder and a 2000 ms wait. Returns
    // AnalysisOk, or AnalysisNotSized (operator told) when the settings cannot be analysed.
    int Load();

    // The start: opens the result files (a file that cannot be opened is reported by name and
    // the run does not start: RunFileError), starts the run's log beside them (RunLog), sets
    // NextPrintTime and NextFdSaveTime to StartDateTime and runs MeasureRunLoop. Only the first
    // call runs; later ones return RunStopped without doing anything. Returns a RunLoopStatus.
    int Start(const RunLoopHooks& hooks = {});
    bool Started() const { return started_; }

    // The end button: ":ABORT" to each recorder and its link closed, result files closed; the
    // run's log says that the run was stopped, unless its end is written already.
    void End();

    RunLoopState& State() { return state_; }
    const RunLoopState& State() const { return state_; }
    ResultFiles& Files() { return files_; }
    // The run's log, once the run has started; nullptr before.
    const RunLog* Log() const { return log_.get(); }

private:
    EngineContext& ctx_;
    ResultFiles files_;
    RunLoopState state_;
    std::unique_ptr<RunLog> log_;
    bool started_ = false;
};

} // namespace hs
