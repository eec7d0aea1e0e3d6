#pragma once

#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"
#include "model/MessageSeverity.h"

#include <QDateTime>
#include <QString>

#include <memory>
#include <variant>
#include <vector>

namespace hs {

// The whole of one analysed shot, copied when its analysis is complete: what the views draw
// and the settings they draw it with. Screens and the status page draw only from the last one,
// never from the arrays the next shot is being written into.
struct ShotSnapshot {
    qint64 Shot = 0; // the run's analysed shots up to this one: 1 for the first
    QDateTime Time;  // the station time the analysis completed
    MeasurementData Data;
    MeasurementSettings Settings;
};

// The status line: a step of the measurement's usual course ("測定中", "ＦＦＴ演算中", ...),
// or trouble the station is in (a transfer error, a range it cannot read, a reconnection).
struct RunStatus {
    enum class Kind { Usual, Trouble };
    Kind kind = Kind::Usual;
    QString text;

    static RunStatus usual(const QString& text) { return {Kind::Usual, text}; }
    static RunStatus trouble(const QString& text) { return {Kind::Trouble, text}; }
    bool isTrouble() const { return kind == Kind::Trouble; }
};

// Save times in a row that have no record, and why.
struct RunGap {
    QDateTime First; // the first save time without a record
    QDateTime Last;  // the last one
    int Count = 0;
    QString Reason;
};

// How a run ended: the end time came with a record for every save time, or with save times
// left without one; an error ended it (file, analysis, a changed recorder); the operator
// stopped it.
enum class RunOutcome { Complete, Incomplete, Error, Stopped };

// The events of a run, each with what it is about.
namespace run {
struct ShotAnalysed {
    std::shared_ptr<const ShotSnapshot> snapshot;
};
// A record written in time (saveTime: the time it carries), or written late.
struct RecordSaved {
    QDateTime saveTime;
};
struct RecordSavedLate {
    QDateTime saveTime;
    qint64 lateSeconds = 0;
};
struct RecordsMissing {
    RunGap gap;
};
struct LinkLost {
    std::vector<int> recorders; // 1-based
};
struct ReconnectAttempt {
    int attempt = 0; // 1-based
};
struct LinkBack {
    qint64 outageSeconds = 0;
    // False when the links were up and were opened again because shots kept failing.
    bool linkWasLost = true;
};
struct RecorderChanged {
    int recorder = 0; // 1-based
};
// Shots that keep failing without a lost link: the recorders do not complete them.
struct Stalled {
    int failedShots = 0;
};
struct ShotsResumed {
    int failedShots = 0; // the failures before this shot
};
struct FileRecreated {};
struct WriteFailed {};
struct AnalysisFailed {
    int status = 0; // the analysis status
};
// The run's log beside its result file cannot be written; the run goes on without it.
struct RunLogFailed {
    QString path;
    QString reason;
};

// A saved record over a harmonic limit of the limit watch: the voltage (feeder 0) or a
// feeder's current, an order (0: the total, THD or TDD), the record's value and the limit in
// unit ("%", "%IL" or "A"); phase 'R', 'T', 'S' for a phase file, else null. Reported when the
// quantity goes over its limit, not again while it stays over.
struct LimitExceeded {
    QDateTime saveTime;
    int feeder = 0;
    QChar phase;
    int order = 0;
    double value = 0;
    double limit = 0;
    QString unit;
};
struct RunEnded {
    RunOutcome outcome = RunOutcome::Complete;
    qint64 recordsWritten = 0;
    qint64 recordsExpected = 0;
    std::vector<RunGap> missing; // save times without a record
    qint64 recordsLost = 0;      // of recordsWritten, those no longer in the result file
};
} // namespace run

// How an event shows: the summary line, a line in the run's event list (a notice, with its
// station time), a message box, the status line, or not at all.
enum class RunEventDisplay { None, Summary, Notice, Message, Status };

// One event of the run: what happened, and the operator text that says so, exactly as shown
// (empty when the event shows nothing).
struct RunEvent {
    using What =
        std::variant<run::ShotAnalysed, run::RecordSaved, run::RecordSavedLate, run::RecordsMissing,
                     run::LinkLost, run::ReconnectAttempt, run::LinkBack, run::RecorderChanged,
                     run::Stalled, run::ShotsResumed, run::FileRecreated, run::WriteFailed,
                     run::AnalysisFailed, run::RunEnded, run::RunLogFailed,
                     run::LimitExceeded>;
    What what;
    QString text;
    // Of the message box, for an event shown as one.
    MessageSeverity severity = MessageSeverity::information();

    template <typename T> bool is() const { return std::holds_alternative<T>(what); }
    template <typename T> const T* as() const { return std::get_if<T>(&what); }
    RunEventDisplay display() const;
    // The event as a line of the run's notice list and log: a notice as it is (it starts with
    // its station time), a message with `now` and its title in front; empty when the event
    // shows as neither.
    QString noticeLine(const QDateTime& now) const;
};

// A message box's text as a line of the run's notice list and log: the station time, the
// title and the text.
QString messageLine(const QDateTime& now, const QString& text, const MessageSeverity& severity);

} // namespace hs
