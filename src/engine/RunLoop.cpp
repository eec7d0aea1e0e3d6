#include "engine/RunLoop.h"

#include "common/Clock.h"
#include "common/DateText.h"
#include "model/EngineObserver.h"
#include "common/NumberFormat.h"
#include "engine/FloppySave.h"
#include "model/MeasurementData.h"
#include "engine/RangeAdjustment.h"
#include "engine/RecorderSetup.h"
#include "engine/ResultFiles.h"
#include "recorder/ConnectionSetup.h"
#include "recorder/Recorder.h"
#include "model/RecorderFacts.h"
#include "model/MeasurementSettings.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace hs {

namespace {


// Period bounds of the fixed-frequency modes: the trigger point and one period of 50 Hz
// (4000 samples) or 60 Hz (20000 / 6 rounded: 3333 samples) after it.
constexpr int kFixedStart = 200;
constexpr int kFixed50End = 4200;
constexpr int kFixed60End = 3533;

enum SyncModes { SyncZeroCross = 0, SyncFixed50 = 1, SyncFixed60 = 2, SyncFourier = 3 };

void closeLinks(EngineContext& ctx)
{
    for (int r = 0; r <= ctx.lastRecorder(); ++r)
        ctx.recorder(r).close();
}

float valueAt(const std::vector<float>& v, int i)
{
    return i >= 0 && static_cast<std::size_t>(i) < v.size() ? v[static_cast<std::size_t>(i)] : 0.0f;
}

template <typename T> T valueAt(const Array2<T>& a, int i0, int i1)
{
    if (i0 < 0 || i1 < 0 || static_cast<std::size_t>(i0) >= a.dim0() ||
        static_cast<std::size_t>(i1) >= a.dim1())
        return T{};
    return a(static_cast<std::size_t>(i0), static_cast<std::size_t>(i1));
}

} // namespace

PowerUnit ChoosePowerUnit(double P, double Q)
{
    if (P > 1000000.0 || Q > 1000000.0)
        return {QStringLiteral("#0.000M"), 1000000.0};
    if (P > 1000.0 || Q > 1000.0)
        return {QStringLiteral("#,##0.000k"), 1000.0};
    return {QStringLiteral("#,##0.0"), 1.0};
}

QString FrequencyStatusText(int start, int end, const QString& fixedMark)
{
    const double hz = end > start ? 200000.0 / (end - start) : 0.0;
    return kFundamentalFrequencyText + formatNumber(hz, u"##.00") + QStringLiteral("Hz") +
           fixedMark;
}

QString SummaryLine(const MeasurementData& d, int f, const PowerUnit& unit)
{
    const double v1 = valueAt(d.VoltByOrder, 1);
    const double i1 = valueAt(d.CurByOrder, f, 1);
    const double p = valueAt(d.ActivePower, f, 1);
    const double q = valueAt(d.ReactivePower, f, 1);
    const double angle = valueAt(d.PowerAngle, f, 1);
    const double currentRss = f >= 0 && f < static_cast<int>(d.CurHarmRss.size())
                                  ? d.CurHarmRss[static_cast<std::size_t>(f)]
                                  : 0.0;
    // Before the first analysed shot the fundamental is 0: no distortion to show.
    const double voltageRatio = v1 != 0.0 ? d.VoltHarmRss / v1 : 0.0;
    const double divisor = unit.divisor != 0.0 ? unit.divisor : 1.0;
    return FeederName(f) + QStringLiteral(" 基本波＝") + formatNumber(v1, u"##,##0.0") +
           QStringLiteral("V; ") +
           formatNumber(i1, u"###0.00") + QStringLiteral("A; ") +
           formatNumber(p / divisor, unit.format) + QStringLiteral("W; ") +
           formatNumber(q / divisor, unit.format) + QStringLiteral("Var; θ=") +
           formatNumber(angle, u"##0") + QStringLiteral("ﾟ; 総合歪率 V= ") +
           formatNumber(voltageRatio, u"##0.0%") + QStringLiteral("; ") +
           formatNumber(currentRss / (i1 + 0.001), u"I= ##0.0% ");
}

void AbortRecorders(EngineContext& ctx)
{
    for (int r = 0; r <= ctx.lastRecorder(); ++r) {
        ctx.recorder(r).abort();
        ctx.recorder(r).close();
    }
}

namespace {

QString stamp(const QDateTime& t)
{
    return t.toString(QStringLiteral("yyyy/MM/dd HH:mm"));
}

QString minutesText(qint64 seconds)
{
    return QString::number((seconds + 30) / 60) + QStringLiteral("分");
}

enum class Recovery { Ok, NotYet, Stopped, EndReached, FileError, Changed };

// One run of the loop: the shots, the intervals and their records, and the links.
class RunLoopRunner {
public:
    RunLoopRunner(EngineContext& ctx, ResultFiles& files, RunLoopState& st,
                  const RunLoopHooks& hooks)
        : ctx_(ctx), recorders_(ctx.recorders), s_(ctx.settings), d_(ctx.data), files_(files),
          st_(st), hooks_(hooks), lastRecorder_(ctx.lastRecorder())
    {
    }

    int run();

private:
    // ---- one shot ----
    enum class Attempt { Analysed, Repeat, Failed };
    Attempt takeShot(ShotReport& report, int& status);
    bool findPeriod(int& start, int& end);
    void periodFailed(int fallbackMode);
    void clearBuffers();
    void printWhenDue(ShotReport& report);
    void showSummary();
    int closeShot(ShotReport& report, bool& ended);

    // ---- intervals and records ----
    qint64 interval() const { return 60LL * std::max<int>(s_.SaveIntervalMin, 1); }
    void startSchedule();
    bool closedBefore(const QDateTime& shotStart) const;
    int settleDue(const QDateTime& shotStart);
    int settleUpToEnd();
    int writeRecord(const QDateTime& now);
    void recordMissing();
    void passBeforeStart(qint64 count);
    QString missingReason() const;
    void reportGap();
    int forwardFileNotices();
    int checkFilesAtEnd();

    // ---- links ----
    bool linkDown() const;
    void shotFailed();
    void shotAnalysed();
    Recovery recover(bool lost);
    Recovery reconnectOnce();

    int stop();
    int finish(int status);
    bool halted() const { return hooks_.stopRequested && hooks_.stopRequested(); }
    bool endReached() const { return s_.EndDateTime <= ctx_.clock.now(); }
    run::RunEnded runEnded(RunOutcome outcome) const
    {
        return {outcome, st_.SavesWritten, st_.RecordsExpected(), st_.Gaps, st_.RecordsLost};
    }
    void showStatus(const QString& text)
    {
        ctx_.observer.status(RunStatus::usual(text));
        Clock::pumpEvents();
    }
    // An event of the run shown as a notice: its text starts with the station time.
    void notice(RunEvent::What what, const QString& text)
    {
        ctx_.observer.runEvent({std::move(what), stamp(ctx_.clock.now()) + u' ' + text, {}});
    }
    // An event of the run shown in a message box.
    void error(RunEvent::What what, const QString& text)
    {
        ctx_.observer.runEvent({std::move(what), text, MessageSeverity::error()});
    }

    EngineContext& ctx_;
    RecorderPair& recorders_;
    MeasurementSettings& s_;
    MeasurementData& d_;
    ResultFiles& files_;
    RunLoopState& st_;
    const RunLoopHooks& hooks_;
    const int lastRecorder_;

    QDateTime runStart_;
    bool firstShot_ = true; // no shot analysed yet: the first one chooses the first save time
    QDateTime graceFrom_;   // the end of the run's first shot: a save time passed during it
                            // takes the shot after it
    qint64 lastShotSeconds_ = 0; // how long the last analysed shot took
    bool outage_ = false;        // a link is lost and not yet back
    RunGap gap_;                 // save times without a record, not yet reported
};

void RunLoopRunner::clearBuffers()
{
    recorders_[0].clearReceived();
    if (lastRecorder_ == 1)
        recorders_[1].clearReceived();
}

// A period that was not found: forget what the recorders may still send, pause, and count the
// failure; after too many in a row the synchronisation mode falls back for good.
void RunLoopRunner::periodFailed(int fallbackMode)
{
    clearBuffers();
    WaitMilliseconds(ctx_.clock, 500);
    ++st_.RetryCount;
    if (st_.RetryCount > kPeriodRetryLimit) {
        s_.SyncMode = static_cast<std::int16_t>(fallbackMode);
        st_.RetryCount = 0;
    }
}

// Steps 3 and 4: one fundamental period. False when it was not found (the failure is counted).
bool RunLoopRunner::findPeriod(int& start, int& end)
{
    const int c0 = s_.InputChannel[0];
    start = -1;
    end = -1;
    if (s_.SyncMode == SyncFixed50 || s_.SyncMode == SyncFixed60 || s_.SyncMode == SyncFourier) {
        if (s_.SyncMode == SyncFixed50) {
            start = kFixedStart;
            end = kFixed50End;
            st_.FixedMark = kFixedFrequencyMark;
        } else if (s_.SyncMode == SyncFixed60) {
            start = kFixedStart;
            end = kFixed60End;
            st_.FixedMark = kFixedFrequencyMark;
        } else {
            std::int16_t from = 0;
            end = FindPeriodEnd(ctx_, st_.CrossingPosition + 50, c0, 0, from);
            start = from;
        }
        if (start < 0 || end <= start) {
            periodFailed(SyncZeroCross);
            return false;
        }
        return true;
    }
    std::int16_t from = 150;
    start = FindRisingCrossing(ctx_, from, c0, 0, 0);
    end = FindRisingCrossing(ctx_, st_.CrossingPosition, c0, 0, 3000);
    if (start < 0 || end <= start) {
        periodFailed(SyncFixed50);
        return false;
    }
    st_.FixedMark.clear();
    st_.RetryCount = 0;
    return true;
}

// Step 7: the automatic print.
void RunLoopRunner::printWhenDue(ShotReport& report)
{
    if (s_.PrintIntervalMin <= 0 || st_.NextPrintTime > ctx_.clock.now())
        return;
    report.PrintTime = ctx_.clock.now();
    recorders_[0].print();
    WaitMilliseconds(ctx_.clock, 10000);
    if (lastRecorder_ == 1) {
        recorders_[1].print();
        WaitMilliseconds(ctx_.clock, 10000);
    }
    st_.NextPrintTime = st_.NextPrintTime.addSecs(60 * static_cast<qint64>(s_.PrintIntervalMin));
    report.Printed = true;
    ++st_.Prints;
}

// Steps 10 to 12: the summary line of the feeder shown and the current view.
void RunLoopRunner::showSummary()
{
    const int f = std::clamp<int>(st_.CurrentChannel, 0, s_.LastFeeder);
    const PowerUnit unit =
        ChoosePowerUnit(valueAt(d_.ActivePower, f, 1), valueAt(d_.ReactivePower, f, 1));
    st_.PowerFormat = unit.format;
    st_.PowerDivisor = unit.divisor;
    showStatus(kDisplayingDataText);
    auto snapshot = std::make_shared<ShotSnapshot>();
    snapshot->Shot = st_.ShotsAnalysed;
    snapshot->Time = ctx_.clock.now();
    snapshot->Data = d_;
    snapshot->Settings = s_;
    ctx_.observer.runEvent({run::ShotAnalysed{std::move(snapshot)}, SummaryLine(d_, f, unit), {}});
}

// Steps 1 to 9 of one attempt. status is set when the run cannot go on (analysis error) or was
// stopped; otherwise the attempt was analysed, is to be repeated (a range changed), or failed.
RunLoopRunner::Attempt RunLoopRunner::takeShot(ShotReport& report, int& status)
{
    status = -1;
    report.Start = ctx_.clock.now();
    showStatus(kMeasuringText);
    std::int16_t shotStatus = 0;
    if (!halted())
        StartShot(ctx_, 0, shotStatus);
    if (halted())
        return status = RunStopped, Attempt::Failed;
    if (shotStatus == -1) {
        // Nothing was stored: the memory holds no new shot to look at.
        clearBuffers();
        WaitMilliseconds(ctx_.clock, 500);
        return Attempt::Failed;
    }
    report.Stored = ctx_.clock.now();

    showStatus(kCheckingFrequencyText);
    int start = -1;
    int end = -1;
    const bool found = !halted() && findPeriod(start, end);
    if (halted())
        return status = RunStopped, Attempt::Failed;
    if (!found)
        return Attempt::Failed;
    st_.Start = static_cast<std::int16_t>(start);
    st_.End = static_cast<std::int16_t>(end);

    showStatus(FrequencyStatusText(start, end, st_.FixedMark));
    if (!halted())
        DownloadWaveforms(ctx_, start, end, st_.CurrentRecorder, st_.DownloadErrorCount);
    if (halted())
        return status = RunStopped, Attempt::Failed;
    if (st_.DownloadErrorCount > 3) {
        st_.DownloadErrorCount = 0;
        st_.RetryCount = 0;
        return Attempt::Failed;
    }

    printWhenDue(report);
    if (halted())
        return status = RunStopped, Attempt::Failed;
    // Ranges follow the signal; a shot taken before a range step is discarded.
    if (AdjustRanges(ctx_)) {
        st_.RetryCount = 0;
        return Attempt::Repeat;
    }
    if (halted())
        return status = RunStopped, Attempt::Failed;

    const int analysis = AnalyseShot(d_, s_, ctx_.facts, start, end, ctx_.observer);
    if (analysis != AnalysisOk) {
        error(run::AnalysisFailed{analysis}, kAnalysisFailedText + QStringLiteral(" (") +
                                                 QString::number(analysis) + QStringLiteral(")"));
        return status = RunAnalysisError, Attempt::Failed;
    }
    ++st_.ShotsAnalysed;
    return Attempt::Analysed;
}

// ---- intervals and records ----

// Save times whose intervals ended before measuring began are missing (the first shot still
// takes the last one at or before its start); a period that ended before the run began has
// every save time missing. They are counted, not walked one by one: the period may be long.
void RunLoopRunner::startSchedule()
{
    runStart_ = ctx_.clock.now();
    const QDateTime first = s_.StartDateTime;
    if (first > runStart_ || first > s_.EndDateTime)
        return;
    const qint64 all = first.secsTo(s_.EndDateTime) / interval() + 1;
    const qint64 passed = s_.EndDateTime < runStart_ ? all : first.secsTo(runStart_) / interval();
    passBeforeStart(passed);
}

void RunLoopRunner::passBeforeStart(qint64 count)
{
    if (count <= 0)
        return;
    reportGap();
    gap_.First = s_.StartDateTime;
    gap_.Last = s_.StartDateTime.addSecs((count - 1) * interval());
    gap_.Count = static_cast<int>(std::min<qint64>(count, std::numeric_limits<int>::max()));
    gap_.Reason = kReasonBeforeStart;
    st_.RecordsMissing += count;
    s_.StartDateTime = s_.StartDateTime.addSecs(count * interval());
    reportGap();
}

// Whether the open save time can no longer take a shot started at shotStart. Before the run's
// first shot the open save time is the last one at or before the shot's start; after it, a
// shot started up to kSaveGraceSeconds after the save time (or after the end of the run's
// first shot, for a save time that passed during it) still belongs to it.
bool RunLoopRunner::closedBefore(const QDateTime& shotStart) const
{
    const QDateTime t = s_.StartDateTime;
    if (firstShot_)
        return t.addSecs(interval()) <= shotStart;
    const QDateTime from = graceFrom_.isValid() ? std::max(t, graceFrom_) : t;
    return from.addSecs(kSaveGraceSeconds) < shotStart;
}

// Closes every save time that a shot started at shotStart can no longer belong to: its record is
// written when it has shots (late, and said so, when it comes well after its time), else it is
// counted missing.
int RunLoopRunner::settleDue(const QDateTime& shotStart)
{
    while (s_.StartDateTime <= s_.EndDateTime && closedBefore(shotStart)) {
        if (d_.ShotCount > 0) {
            if (const int status = writeRecord(ctx_.clock.now()); status != RunEnded)
                return status;
        } else {
            recordMissing();
        }
    }
    return RunEnded;
}

// At the end: every save time up to the end time that has not been written.
int RunLoopRunner::settleUpToEnd()
{
    while (s_.StartDateTime <= s_.EndDateTime) {
        if (d_.ShotCount > 0) {
            if (const int status = writeRecord(ctx_.clock.now()); status != RunEnded)
                return status;
        } else {
            recordMissing();
        }
    }
    reportGap();
    return RunEnded;
}

int RunLoopRunner::writeRecord(const QDateTime& now)
{
    const QDateTime saveTime = s_.StartDateTime;
    const int written = files_.WriteSave(d_.ShotCount);
    if (forwardFileNotices(); written != ResultFiles::kOk) {
        error(run::WriteFailed{}, files_.ErrorText());
        return RunFileError;
    }
    ++st_.SavesWritten;
    reportGap();
    // The first save of a run that started after its time is due when the run starts.
    const qint64 late = std::max(saveTime, runStart_).secsTo(now);
    if (late > kLateSaveSeconds) {
        ++st_.LateSaves;
        notice(run::RecordSavedLate{saveTime, late},
               stamp(saveTime) + kLateRecordText + minutesText(late));
    } else {
        ctx_.observer.runEvent({run::RecordSaved{saveTime}, {}, {}});
    }
    return RunEnded;
}

// Why the open save time has no shot: the link was lost, the recorder did not complete
// shots, or no shot was taken in time; the last because the shot before took longer than the
// grace a save time gives, with the time scale when it is not 1 (a small scale shortens the
// interval but not a shot's computing).
QString RunLoopRunner::missingReason() const
{
    if (outage_)
        return kReasonLinkLost;
    if (st_.FailedShots > 0)
        return kReasonShotsFailed;
    if (lastShotSeconds_ <= kSaveGraceSeconds)
        return kReasonNoShot;
    const double scale = ctx_.clock.timeScale();
    return scale == 1.0 ? kReasonShotTooLong
                        : kReasonShotTooLong + QStringLiteral("（") + kTimeScaleText +
                              QString::number(scale) + QStringLiteral("）");
}

void RunLoopRunner::recordMissing()
{
    const QString reason = missingReason();
    if (gap_.Count > 0 && gap_.Reason != reason)
        reportGap();
    if (gap_.Count == 0) {
        gap_.First = s_.StartDateTime;
        gap_.Reason = reason;
    }
    gap_.Last = s_.StartDateTime;
    ++gap_.Count;
    ++st_.RecordsMissing;
    files_.SkipSave(d_.ShotCount);
}

QString gapText(const RunGap& gap)
{
    return kNoRecordText + u' ' + stamp(gap.First) + QStringLiteral("～") +
           gap.Last.toString(QStringLiteral("HH:mm")) + QStringLiteral("（") +
           QString::number(gap.Count) + QStringLiteral("件、") + gap.Reason + QStringLiteral("）");
}

void RunLoopRunner::reportGap()
{
    if (gap_.Count == 0)
        return;
    notice(run::RecordsMissing{gap_}, gapText(gap_));
    st_.Gaps.push_back(gap_);
    gap_ = RunGap{};
}

// The files once more after the last record: one removed or altered since is made again with
// the run's records, and the records that could not be written again are counted lost.
int RunLoopRunner::checkFilesAtEnd()
{
    const int checked = files_.CheckFiles();
    if (forwardFileNotices(); checked != ResultFiles::kOk) {
        error(run::WriteFailed{}, files_.ErrorText());
        return RunFileError;
    }
    return RunEnded;
}

int RunLoopRunner::forwardFileNotices()
{
    const QStringList notices = files_.TakeNotices();
    for (const QString& text : notices)
        ctx_.observer.runEvent({run::FileRecreated{}, text, {}});
    return static_cast<int>(notices.size());
}

// ---- links ----

bool RunLoopRunner::linkDown() const
{
    return recorders_.anyLost();
}

void RunLoopRunner::shotFailed()
{
    ++st_.FailedShots;
    if (st_.FailedShots == kFailedShotLimit || st_.FailedShots % (kFailedShotLimit * 12) == 0)
        notice(run::Stalled{st_.FailedShots}, kShotsFailingText + QString::number(st_.FailedShots));
}

void RunLoopRunner::shotAnalysed()
{
    outage_ = false; // intervals until the first shot after an outage are the outage's
    if (st_.FailedShots >= kFailedShotLimit)
        notice(run::ShotsResumed{st_.FailedShots}, kShotsBackText + QStringLiteral("（不成立 ") +
                                                       QString::number(st_.FailedShots) +
                                                       QStringLiteral("回）"));
    st_.FailedShots = 0;
}

Recovery RunLoopRunner::reconnectOnce()
{
    for (int r = 0; r <= lastRecorder_; ++r) {
        recorders_[r].close();
        recorders_[r].reopen();
    }
    const auto allUp = [&] {
        for (int r = 0; r <= lastRecorder_; ++r)
            if (!recorders_[r].isOpen())
                return false;
        return true;
    };
    ctx_.clock.waitUntil([&] { return allUp() || halted(); }, kReconnectWaitMs);
    if (halted())
        return Recovery::Stopped;
    if (!allUp())
        return Recovery::NotYet;
    ConnectionSetup setup(recorders_, ctx_.observer);
    for (int r = 0; r <= lastRecorder_; ++r) {
        const Result<void> again = setup.reinitialise(r);
        if (!again && again.error().is(ReinitialiseFailure::Different)) {
            error(run::RecorderChanged{r + 1}, kRecorderChangedText + QStringLiteral("測定器") +
                                                   QString::number(r + 1) + u' ' +
                                                   again.error().text);
            return Recovery::Changed;
        }
        if (!again || !recorders_[r].isOpen())
            return Recovery::NotYet;
    }
    if (!ReapplyConfiguration(ctx_, [this] { return halted(); }))
        return Recovery::Stopped;
    st_.CrossingPosition = kCrossingSearchHome;
    st_.DownloadErrorCount = 0;
    return allUp() ? Recovery::Ok : Recovery::NotYet;
}

// Opens the links again until the recorders answer as before. lost: a link was found closed
// (an outage); otherwise the links are opened again because shots keep failing.
Recovery RunLoopRunner::recover(bool lost)
{
    const QDateTime began = ctx_.clock.now();
    if (lost) {
        run::LinkLost lostLinks;
        QStringList which;
        for (int r = 0; r <= lastRecorder_; ++r)
            if (recorders_[r].linkLost()) {
                lostLinks.recorders.push_back(r + 1);
                which << QString::number(r + 1);
            }
        notice(std::move(lostLinks), kLinkLostText + which.join(QStringLiteral("、")));
        ++st_.Outages;
        outage_ = true;
    } else {
        ++st_.Stalls;
    }
    for (std::size_t attempt = 0;; ++attempt) {
        const int pause =
            kReconnectDelaysSeconds[std::min(attempt, kReconnectDelaysSeconds.size() - 1)];
        if (lost || attempt > 0)
            ctx_.clock.waitUntil([this] { return halted(); }, 1000LL * pause);
        if (halted())
            return Recovery::Stopped;
        if (settleDue(ctx_.clock.now()) != RunEnded)
            return Recovery::FileError;
        if (endReached())
            return Recovery::EndReached;
        ctx_.observer.runEvent({run::ReconnectAttempt{static_cast<int>(attempt + 1)},
                                kReconnectingText + QString::number(attempt + 1),
                                {}});
        Clock::pumpEvents();
        const Recovery result = reconnectOnce();
        if (result == Recovery::Ok) {
            ++(lost ? st_.Reconnections : st_.Reopenings);
            const qint64 outage = began.secsTo(ctx_.clock.now());
            notice(run::LinkBack{outage, lost}, kReconnectedText + QStringLiteral("（中断 ") +
                                              minutesText(outage) + QStringLiteral("）"));
            return Recovery::Ok;
        }
        if (result == Recovery::Stopped || result == Recovery::Changed)
            return result;
    }
}

int RunLoopRunner::stop()
{
    reportGap();
    AbortRecorders(ctx_);
    st_.RecordsLost = files_.RecordsLost();
    files_.Close();
    ctx_.observer.runEvent({runEnded(RunOutcome::Stopped), {}, {}});
    return RunStopped;
}

int RunLoopRunner::finish(int status)
{
    if (status == RunEnded) {
        status = settleUpToEnd();
        if (status == RunEnded)
            status = checkFilesAtEnd();
        if (status == RunEnded && (st_.RecordsMissing > 0 || files_.RecordsLost() > 0))
            status = RunEndedIncomplete;
    } else {
        reportGap();
    }
    st_.RecordsLost = files_.RecordsLost();
    closeLinks(ctx_);
    files_.Close();
    QString end = kRunEndText + QStringLiteral(": 記録 ") + QString::number(st_.SavesWritten) +
                  QStringLiteral("件／予定 ") + QString::number(st_.RecordsExpected()) +
                  QStringLiteral("件");
    if (st_.RecordsMissing > 0)
        end +=
            QStringLiteral("、欠測 ") + QString::number(st_.RecordsMissing) + QStringLiteral("件");
    if (st_.RecordsLost > 0)
        end += QStringLiteral("、消失 ") + QString::number(st_.RecordsLost) + QStringLiteral("件");
    const RunOutcome outcome = status == RunEnded             ? RunOutcome::Complete
                               : status == RunEndedIncomplete ? RunOutcome::Incomplete
                                                              : RunOutcome::Error;
    notice(runEnded(outcome), end);
    return status;
}

// Steps 13 to 17 of an analysed shot: into the interval record, the save, the floppy save on
// the recorders and the end test (with the save times up to the end settled when it ended).
// Returns RunEnded, or the status the run stops with.
int RunLoopRunner::closeShot(ShotReport& report, bool& ended)
{
    lastShotSeconds_ = report.Start.secsTo(ctx_.clock.now());
    // The save times this shot is too late for are closed without it. The run's first shot
    // counts from its first attempt (the ranges settle); every other from the moment its
    // waveforms were stored, which a recorder that hung may have put long after the attempt
    // began.
    if (const int settled = settleDue(firstShot_ ? report.Start : report.Stored);
        settled != RunEnded)
        return settled;
    AccumulateInterval(d_, s_, d_.ShotCount, st_.Selection);

    report.Time = ctx_.clock.now();
    if (std::exchange(firstShot_, false))
        graceFrom_ = report.Time;
    if (s_.StartDateTime <= report.Time && s_.StartDateTime <= s_.EndDateTime) {
        const QDateTime saveTime = s_.StartDateTime;
        if (const int saved = writeRecord(report.Time); saved != RunEnded)
            return saved;
        report.Saved = true;
        report.SaveTime = saveTime;
    }

    if (s_.FdSaveMode > 0 && st_.NextFdSaveTime <= ctx_.clock.now()) {
        report.FloppyName = recorderFloppyFileName(st_.NextFdSaveTime);
        SaveToRecorderFloppy(recorders_, s_, st_.NextFdSaveTime);
        report.FloppySaved = true;
        ++st_.FloppySaves;
    }
    Clock::pumpEvents();

    // The clock read once: the report carries the instant the end time was compared with.
    report.EndTestTime = ctx_.clock.now();
    ended = s_.EndDateTime <= report.EndTestTime;
    return ended ? settleUpToEnd() : RunEnded;
}

int RunLoopRunner::run()
{
    // A period over before the run began: nothing to measure, every save time missing.
    startSchedule();
    if (s_.StartDateTime > s_.EndDateTime)
        return finish(RunEnded);
    // Start of the run: zero adjustment, recorder 2 first.
    if (lastRecorder_ == 1)
        recorders_[1].zeroAdjust();
    recorders_[0].zeroAdjust();
    WaitMilliseconds(ctx_.clock, 100);
    st_.CurrentRecorder = 0;
    st_.RetryCount = 0;

    ShotReport report; // of the shot under way, over its repeats
    int repeats = 0; // shots taken again since the last complete one
    bool first = true;
    bool repeating = false; // the last attempt is to be taken again (a range changed)
    for (;;) {
        if (halted())
            return stop();
        // A recorder that keeps failing must not hold the measurement beyond its end: once the
        // end time has passed, a bounded number of repeated shots ends the run.
        if (!first && ++repeats > kRepeatsPastEnd && endReached())
            return finish(RunEnded);
        first = false;
        // Between the attempts of one shot (a range step) nothing is settled: the shot began
        // with its first attempt.
        if (!repeating) {
            if (const int status = settleDue(ctx_.clock.now()); status != RunEnded)
                return finish(status);
        }

        const bool lost = linkDown();
        if (lost || st_.FailedShots == kFailedShotLimit) {
            if (!lost)
                ++st_.FailedShots; // opened again once per run of failures
            const Recovery recovered = recover(lost);
            if (recovered == Recovery::Stopped)
                return stop();
            if (recovered == Recovery::EndReached)
                return finish(RunEnded);
            if (recovered == Recovery::FileError)
                return finish(RunFileError);
            if (recovered == Recovery::Changed)
                return finish(RunRecorderChanged);
            if (lost)
                st_.FailedShots = 0; // the failures were the outage's
            repeating = false;       // the shot after the recovery is a new one
            continue;
        }

        int status = -1;
        const QDateTime shotStart = repeating ? report.Start : QDateTime();
        const Attempt attempt = takeShot(report, status);
        if (shotStart.isValid())
            report.Start = shotStart;
        repeating = attempt == Attempt::Repeat;
        if (status == RunStopped)
            return stop();
        if (status >= 0)
            return finish(status);
        // A shot cut short by a lost link is the outage's, not a failed shot.
        if (attempt == Attempt::Failed && !linkDown())
            shotFailed();
        if (attempt != Attempt::Analysed)
            continue;
        shotAnalysed();
        if (halted())
            return stop();
        showSummary();

        bool ended = false;
        if (const int saved = closeShot(report, ended); saved != RunEnded)
            return finish(saved);
        if (hooks_.shotFinished)
            hooks_.shotFinished(report);
        if (halted())
            return stop();
        if (ended)
            return finish(RunEnded);
        st_.RetryCount = 0;
        first = true;
        repeats = 0;
        report = ShotReport{};
    }
}

} // namespace

int MeasureRunLoop(EngineContext& ctx, ResultFiles& files, RunLoopState& st,
                   const RunLoopHooks& hooks)
{
    RunLoopRunner runner(ctx, files, st, hooks);
    return runner.run();
}

QString RunAccountText(const RunLoopState& state)
{
    QStringList lines;
    lines << QStringLiteral("記録 %1/%2件、欠測 %3件")
                 .arg(state.SavesWritten)
                 .arg(state.RecordsExpected())
                 .arg(state.RecordsMissing);
    if (state.RecordsLost > 0)
        lines.back() += QStringLiteral("、消失 %1件").arg(state.RecordsLost);
    for (const RunGap& gap : state.Gaps)
        lines << gapText(gap);
    return lines.join(QStringLiteral("\r\n"));
}

bool PeriodOver(const MeasurementSettings& settings, const QDateTime& now)
{
    return settings.EndDateTime <= now;
}

int RunExitStatus(int runStatus)
{
    switch (runStatus) {
    case RunEnded:
        return 0;
    case RunEndedIncomplete:
        return kExitRunIncomplete;
    case RunStopped:
        return 130;
    default:
        return 1;
    }
}

} // namespace hs
