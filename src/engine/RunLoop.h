#pragma once

#include "engine/Acquisition.h"
#include "engine/EngineContext.h"
#include "engine/HarmonicAnalysis.h"
#include "model/RunEvents.h"

#include <QDateTime>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace hs {

class ResultFiles;
struct MeasurementData;

// The measurement run loop: shot after shot until the end time. Trigger a shot, find one
// fundamental period, download it, print and adjust ranges when due, analyse, show the summary
// line and the current view, fold the shot into the interval record, and save, floppy-save and
// stop when their times come. Every wait runs the event loop, so the measurement screen's
// buttons stay live during a run.

// Status texts of the run.
inline const QString kMeasuringText = QStringLiteral("測定中");
inline const QString kCheckingFrequencyText = QStringLiteral("周波数確認中");
inline const QString kFundamentalFrequencyText = QStringLiteral("基本周波数 ");
inline const QString kDisplayingDataText = QStringLiteral("データ表示中");
inline const QString kFixedFrequencyMark = QStringLiteral("固定");
// Shown (with the analysis status) when a shot gives results the run cannot go on with.
inline const QString kAnalysisFailedText =
    QStringLiteral("測定データの演算ができないため測定を中止しました。入力信号と設定を確認して"
                   "ください。");

// Events of the run (notices): each line starts with the station time.
// A recorder's connection is gone (recorder numbers follow).
inline const QString kLinkLostText = QStringLiteral("測定器との接続が切れました: 測定器");
// Status line while the station tries to connect again (the attempt number follows).
inline const QString kReconnectingText = QStringLiteral("測定器に再接続中 試行");
inline const QString kReconnectedText = QStringLiteral("測定器と再接続しました");
// Shots that did not complete in a row (their number follows).
inline const QString kShotsFailingText = QStringLiteral("測定器の記録が続けて完了しません: 回数");
inline const QString kShotsBackText = QStringLiteral("測定が再開しました");
// A recorder that came back as another model or with other input units ends the run.
inline const QString kRecorderChangedText =
    QStringLiteral("再接続した測定器の構成が測定開始時と違うため測定を中止しました: ");
inline const QString kNoRecordText = QStringLiteral("記録なし");
inline const QString kLateRecordText = QStringLiteral("の記録を遅れて保存しました: 遅れ");
inline const QString kRunEndText = QStringLiteral("測定終了");
// Why intervals have no record.
inline const QString kReasonLinkLost = QStringLiteral("測定器との接続断");
inline const QString kReasonShotsFailed = QStringLiteral("測定器の記録が完了しない");
inline const QString kReasonNoShot = QStringLiteral("ショットなし");
inline const QString kReasonBeforeStart = QStringLiteral("測定開始前に経過");
// No shot because the shot before took too long for the save time (the time scale follows
// when it is not 1: the scaled interval is shorter than a shot's unscaled work).
inline const QString kReasonShotTooLong = QStringLiteral("ショットが長すぎる");
inline const QString kTimeScaleText = QStringLiteral("時間倍率 ");

// Attempts in a row that gave no analysed shot (no trigger, no period, no download) before the
// run reports it and opens the links again; the run keeps trying. Above the period retries, so
// that the synchronisation fall-back comes first.
inline constexpr int kFailedShotLimit = 8;
// A shot started up to this long after a save time still closes that save's record, as the
// shot that ends across the save time does (station seconds). A shot started later belongs to
// the next save time.
inline constexpr qint64 kSaveGraceSeconds = 30;
// A record written more than this after its save time is reported late (station seconds).
inline constexpr qint64 kLateSaveSeconds = 60;
// Pauses before the attempts to connect again after a link was lost, in station seconds; the
// last one repeats.
inline constexpr std::array<int, 6> kReconnectDelaysSeconds = {2, 5, 10, 20, 40, 60};
// How long one attempt waits for the connections to open (station milliseconds).
inline constexpr qint64 kReconnectWaitMs = 5000;

// Period-search failures in a row before the synchronisation mode falls back.
inline constexpr int kPeriodRetryLimit = 5;
// Shots taken again in a row (period, download or range failures) after which a run whose end
// time has passed ends without a further complete shot.
inline constexpr int kRepeatsPastEnd = 10;

// The run-loop state. The caller sets NextPrintTime and NextFdSaveTime (both to StartDateTime)
// before the run; CurrentChannel and CurrentView are the display selection, which the
// measurement screen changes between shots.
struct RunLoopState {
    QDateTime NextPrintTime;
    QDateTime NextFdSaveTime;
    std::int16_t CurrentRecorder = 0;
    std::int16_t CrossingPosition = kCrossingSearchHome; // kept from shot to shot
    std::int16_t RetryCount = 0;         // consecutive shots whose period was not found
    std::int16_t DownloadErrorCount = 0; // handed to DownloadWaveforms
    std::int16_t Start = 0;              // period bounds of the shot, recorder samples
    std::int16_t End = 0;
    QString FixedMark;   // "固定" after a fixed-frequency shot
    QString PowerFormat; // chosen per shot for the summary line
    double PowerDivisor = 1.0;
    std::int16_t CurrentChannel = 0; // feeder shown, 0..LastFeeder
    std::int16_t CurrentView = 1;    // view shown, 1..9
    IntervalSelection Selection;     // maximum-distortion selection of SaveFormat 2 and 3

    // Tallies of the run, for the caller's report.
    qint64 ShotsAnalysed = 0;
    qint64 SavesWritten = 0;
    qint64 FloppySaves = 0;
    qint64 Prints = 0;
    qint64 RecordsMissing = 0; // save times passed without a shot in their interval (those
                               // passed before measuring began included)
    qint64 LateSaves = 0;      // records written more than kLateSaveSeconds after their time
    qint64 Outages = 0;        // links found closed
    qint64 Reconnections = 0;  // links connected again after an outage
    qint64 Stalls = 0;         // runs of kFailedShotLimit failed shots with the links up
    qint64 Reopenings = 0;     // links opened again because shots kept failing
    int FailedShots = 0;       // attempts in a row without an analysed shot
    // Of SavesWritten, the records lost with a result file removed or altered during the run
    // that could not be written again.
    qint64 RecordsLost = 0;
    std::vector<RunGap> Gaps;
    // Every save time of the period up to where the run ended: written or missing.
    qint64 RecordsExpected() const { return SavesWritten + RecordsMissing; }
};

// What one analysed shot did (with the attempts of it that were taken again), for callers that
// follow the run.
struct ShotReport {
    QDateTime Start;      // the clock when the shot's first attempt (before range steps) began
    QDateTime Stored;     // the clock when the recorders reported the analysed attempt stored
    QDateTime Time;       // the clock at the save test
    bool Saved = false;   // the shot closed a record: it is the record's last shot
    QDateTime SaveTime;   // the scheduled time the record carries, when Saved
    bool Printed = false; // the recorders printed (possibly in an attempt taken again)
    QDateTime PrintTime;  // the clock at the print test, when Printed
    bool FloppySaved = false;
    QString FloppyName;    // the recorder file name, when FloppySaved
    QDateTime EndTestTime; // the clock at the end test that follows the shot
};

struct RunLoopHooks {
    // Asked after every event pump of the loop; true stops the measurement: ":ABORT" to each
    // recorder, links and result files closed, RunStopped returned.
    std::function<bool()> stopRequested;
    // Called at the end of every analysed shot.
    std::function<void(const ShotReport&)> shotFinished;
};

enum RunLoopStatus : int {
    RunEnded = 0,           // the end time came with a record for every save time
    RunFileError = 1,       // a result file could not be written (the operator was told which)
    RunAnalysisError = 2,   // a shot's results could not be computed (the operator was told)
    RunStopped = 3,         // stopped on request
    RunEndedIncomplete = 4, // the end time came; save times without a record (Gaps) on the way
    RunRecorderChanged = 5, // a recorder came back as another model or with other input units
};

// The program's exit status for how its run ended: 0 complete, kExitRunIncomplete when the end
// time came with save times left without a record, 130 stopped on request, 1 otherwise.
inline constexpr int kExitRunIncomplete = 3;
int RunExitStatus(int runStatus);

// Runs the measurement to EndDateTime. The result files must be open. Returns a RunLoopStatus;
// at the end the recorders' links and the result files are closed.
//
// Records: every save time of the period is expected. A record holds the shots taken (their
// waveforms stored by the recorders) since the previous save up to its save time (or up to
// kSaveGraceSeconds after it) and is written at
// the first shot that ends at or after its save time; when no shot ends there it is written
// once that grace has passed. An interval in which no shot started gets no record (never one
// from an earlier shot or from a shot long after it) and is reported missing with the reason.
// The run's first shot closes the last save time at or before its start (the first shot waits
// for the ranges to settle), or the period's first save time when that is still to come; a
// save time that passes while that shot is under way takes the shot after it. Save times
// before the first shot's are missing: passed before measuring began, or without a shot. A
// period that ended before the run began gets no shot and no record. A link found closed, or
// kFailedShotLimit failed shots in a row, make the run connect again with a bounded back-off,
// identify and reset the recorders as the connection set-up does, and send them the
// measurement set-up again; each of these events is a notice with its station time.
int MeasureRunLoop(EngineContext& ctx, ResultFiles& files, RunLoopState& state,
                   const RunLoopHooks& hooks = {});

// A period that has ended by now: nothing of it can be measured, and a run is not started.
inline const QString kPeriodOverText =
    QStringLiteral("終了日時を過ぎています。終了日時を現在より後にして下さい");
bool PeriodOver(const MeasurementSettings& settings, const QDateTime& now);

// The run's account at its end for the operator: records written against the save times
// passed, then one line per gap with its save times and reason ("記録 5/7件、欠測 2件" ...).
QString RunAccountText(const RunLoopState& state);

// The end of a measurement by the operator: ":ABORT" to each recorder in use, recorder 1
// first, without waiting for a reply, and each link closed.
void AbortRecorders(EngineContext& ctx);

// ---- Pure parts ----

// The unit of the summary line's powers: "#0.000M" / 1000000 when P or Q exceeds 1000000,
// "#,##0.000k" / 1000 when either exceeds 1000, else "#,##0.0" / 1. Only positive values above
// the limits switch the unit.
struct PowerUnit {
    QString format;
    double divisor = 1.0;
};
PowerUnit ChoosePowerUnit(double P, double Q);

// "基本周波数 " + 200000 / (end - start) as "##.00" + "Hz" + the fixed mark.
QString FrequencyStatusText(int start, int end, const QString& fixedMark);

// The summary line of feeder f for the last analysed shot.
QString SummaryLine(const MeasurementData& data, int f, const PowerUnit& unit);

} // namespace hs
