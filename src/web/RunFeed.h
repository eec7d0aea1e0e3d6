#pragma once

#include "model/EngineObserver.h"
#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"

#include <QDateTime>
#include <QString>

#include <deque>
#include <vector>

namespace hs {
class Clock;
class LanModule;
struct RecorderFacts;
} // namespace hs

namespace hs::web {

// The station's state as the status page reads it: by reference, never written.
struct StationRefs {
    const Clock& clock;
    const LanModule& lan;
    const RecorderFacts& facts;
    const MeasurementSettings& settings;
    const MeasurementData& data;
};

// A message the run gave the operator, with the station's time.
struct RunMessage {
    QDateTime time;
    QString title;
    QString text;
};

// A stretch without analysed shots that began with a trouble report (a trouble status, a
// message to the operator, a lost link, shots that keep failing, an attempt to connect again)
// after a good shot. `to` is the next good shot; invalid while the outage lasts.
struct Outage {
    QDateTime from;
    QDateTime to;
    QString reason;
    bool ongoing() const { return !to.isValid(); }
};

// The run's observer feed for the status page. It sits between the engine and whoever else
// listens (the console, the measurement screen): every report is passed on to `next` unchanged
// and noted here. It keeps the snapshot of each analysed shot, so that the page always shows
// one whole shot, never one half analysed.
class RunFeed : public EngineObserver {
public:
    static constexpr std::size_t kMessagesKept = 100;
    static constexpr std::size_t kOutagesKept = 500;

    explicit RunFeed(const StationRefs& station, EngineObserver* next = nullptr);

    void status(const RunStatus& status) override;
    // An event of the run: the events shown as notices and messages are kept with the
    // messages. Trouble (a lost link, shots that keep failing, an attempt to connect again, an
    // error) begins an outage; an analysed shot ends it.
    void runEvent(const RunEvent& event) override;
    void message(const QString& text, const MessageSeverity& severity) override;

    // Before the run (the desktop program's connection, settings and preparation screens): what
    // the station is doing, as the status line. The result files named in the settings belong
    // to the run (an earlier run's files may still lie there): the page offers none of them,
    // nor their records, until startRun(). A feed starts with the run unless told otherwise.
    void setWaiting(const QString& text);
    void startRun()
    {
        waiting_ = false;
        status_.clear();
    }
    bool waiting() const { return waiting_; }

    const StationRefs& station() const { return station_; }
    QString status() const { return status_; }
    QString summary() const { return summary_; }
    // Shots analysed since the feed was made, and the station time of the last one.
    qint64 shots() const { return shots_; }
    QDateTime lastShotTime() const { return lastShotTime_; }
    // The results and settings of the last analysed shot (empty before the first).
    bool hasShot() const { return shot_ != nullptr; }
    const MeasurementData& shot() const { return lastShot().Data; }
    const MeasurementSettings& shotSettings() const { return lastShot().Settings; }
    const std::deque<RunMessage>& messages() const { return messages_; }
    const std::deque<Outage>& outages() const { return outages_; }

private:
    const ShotSnapshot& lastShot() const;
    void shotAnalysed(const RunEvent& event);
    void trouble(const QString& reason);
    void keep(const QString& text, const QString& title);

    StationRefs station_;
    EngineObserver* next_;
    bool waiting_ = false;
    QString status_;
    QString summary_;
    qint64 shots_ = 0;
    QDateTime lastShotTime_;
    std::shared_ptr<const ShotSnapshot> shot_;
    std::deque<RunMessage> messages_;
    std::deque<Outage> outages_;
};

// ---- What the result files tell about the run ----

struct RecordGap {
    QDateTime after;    // the record before the gap
    QDateTime next;     // the record after it
    qint64 missing = 0; // save times between them without a record
};

// The records against the schedule: how many were written, how many the schedule asks for by
// now and in all, when the next one is due, and where records are missing. Derived from the
// settings and the records read back; the run's own tallies can replace it field by field.
struct RunHealth {
    qint64 recordsWritten = 0;
    qint64 recordsExpectedByNow = 0;
    qint64 recordsExpectedTotal = 0;
    QDateTime firstSave; // the first save time of the run
    QDateTime nextSave;  // invalid when no save is due any more
    std::vector<RecordGap> gaps;
};

// Save times first, first + interval, ... that are not after `until`; 0 when until < first.
qint64 ScheduledSaves(const QDateTime& first, const QDateTime& until, int intervalMin);

// Consecutive records further apart than the save interval.
std::vector<RecordGap> FindRecordGaps(const std::vector<QDateTime>& times, int intervalMin);

// The health of a run from its record times, the settings in force (StartDateTime is the next
// save time: every save moves it on by the interval) and the station's time.
RunHealth DeriveRunHealth(const std::vector<QDateTime>& recordTimes,
                          const MeasurementSettings& settings, const QDateTime& now);

} // namespace hs::web
