#pragma once

#include "model/EngineObserver.h"

#include <QFile>
#include <QString>

namespace hs {

class Clock;
struct MeasurementSettings;
struct RunLoopState;

// The run's log: a plain-text file beside the result file ("<OutputFile>.log") that keeps what
// the operator was told while the run went on, so that the trace outlives the program and its
// screens. It sits in front of the run's observer: every report is passed on unchanged, and the
// start, every notice and message of the run (a recorder lost or back, records missing or late,
// a result file made again, a write that failed, ...) and the end summary are appended, one
// line each, each line on disk before the run goes on. Lines are UTF-8, each starting with the
// station time ("yyyy/MM/dd HH:mm"). A log that cannot be written is reported once (RunLogFailed,
// a notice) and the run goes on without it.
class RunLog : public EngineObserver {
public:
    RunLog(const MeasurementSettings& settings, const RunLoopState& state, const Clock& clock,
           EngineObserver& next);
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    // The log of the result file `outputFile`.
    static QString pathFor(const QString& outputFile);
    QString path() const { return file_.fileName(); }

    // The start line: result files, save interval and the measurement period.
    void started(const QStringList& resultFiles);
    // The end summary, unless the run's end has been written already: a run ended from outside
    // the loop (the end button while the loop waits) says so with its account.
    void stopped();
    bool ended() const { return ended_; }

    void status(const RunStatus& status) override;
    void runEvent(const RunEvent& event) override;
    void message(const QString& text, const MessageSeverity& severity) override;

private:
    void endSummary(const RunEvent* end);
    void write(const QString& line);
    // The log cannot be written: closed, and said once.
    void fail();

    const MeasurementSettings& settings_;
    const RunLoopState& state_;
    const Clock& clock_;
    EngineObserver& next_;
    QFile file_;
    bool failed_ = false;
    bool ended_ = false;
};

} // namespace hs
