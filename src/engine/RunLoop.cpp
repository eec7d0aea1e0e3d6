#include "engine/RunLoop.h"

#include "common/Clock.h"
#include "common/DateText.h"
#include "common/EngineObserver.h"
#include "common/NumberFormat.h"
#include "engine/FloppySave.h"
#include "engine/MeasurementData.h"
#include "engine/RangeAdjustment.h"
#include "engine/ResultFiles.h"
#include "link/LanModule.h"
#include "link/RecorderCommands.h"
#include "link/RecorderFacts.h"
#include "settings/MeasurementSettings.h"

#include <algorithm>

namespace hs {

namespace {

const QString kErrorTitle = QStringLiteral("エラー");

// Period bounds of the fixed-frequency modes: the trigger point and one period of 50 Hz
// (4000 samples) or 60 Hz (20000 / 6 rounded: 3333 samples) after it.
constexpr int kFixedStart = 200;
constexpr int kFixed50End = 4200;
constexpr int kFixed60End = 3533;

enum SyncModes { SyncZeroCross = 0, SyncFixed50 = 1, SyncFixed60 = 2, SyncFourier = 3 };

int lastRecorderOf(const EngineContext& ctx)
{
    return ctx.facts.LastRecorder == 1 ? 1 : 0;
}

void closeLinks(EngineContext& ctx)
{
    LanModule& lan = ctx.lan;
    for (int r = 0; r <= lastRecorderOf(ctx); ++r)
        lan.LinkResult = lan.CloseLink(lan.InstrumentId[static_cast<std::size_t>(r)]);
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
    return QStringLiteral("基本波＝") + formatNumber(v1, u"##,##0.0") + QStringLiteral("V; ") +
           formatNumber(i1, u"###0.00") + QStringLiteral("A; ") +
           formatNumber(p / divisor, unit.format) + QStringLiteral("W; ") +
           formatNumber(q / divisor, unit.format) + QStringLiteral("Var; θ=") +
           formatNumber(angle, u"##0") + QStringLiteral("ﾟ; 総合歪率 V= ") +
           formatNumber(voltageRatio, u"##0.0%") + QStringLiteral("; ") +
           formatNumber(currentRss / (i1 + 0.001), u"I= ##0.0% ");
}

void AbortRecorders(EngineContext& ctx)
{
    LanModule& lan = ctx.lan;
    for (int r = 0; r <= lastRecorderOf(ctx); ++r) {
        const QString& id = lan.InstrumentId[static_cast<std::size_t>(r)];
        lan.LinkResult = lan.SendCommand(id, cmd::abort());
        lan.LinkResult = lan.CloseLink(id);
    }
}

int MeasureRunLoop(EngineContext& ctx, ResultFiles& files, RunLoopState& st,
                   const RunLoopHooks& hooks)
{
    LanModule& lan = ctx.lan;
    MeasurementSettings& s = ctx.settings;
    MeasurementData& d = ctx.data;
    EngineObserver& observer = ctx.observer;
    const int lastRecorder = lastRecorderOf(ctx);
    const int c0 = s.InputChannel[0];

    const auto halted = [&] { return hooks.stopRequested && hooks.stopRequested(); };
    const auto stop = [&] {
        AbortRecorders(ctx);
        files.Close();
        return static_cast<int>(RunStopped);
    };
    const auto finish = [&](int status) {
        closeLinks(ctx);
        files.Close();
        return status;
    };
    const auto showStatus = [&](const QString& text) {
        observer.statusText(text);
        Clock::pumpEvents();
    };
    const auto endReached = [&] { return s.EndDateTime <= ctx.clock.now(); };
    // A period that was not found: forget what the recorders may still send, pause, and count
    // the failure; after too many in a row the synchronisation mode falls back for good.
    const auto periodFailed = [&](int fallbackMode) {
        lan.LinkResult = lan.ClearReceiveBuffer(lan.InstrumentId[0]);
        if (lastRecorder == 1)
            lan.LinkResult = lan.ClearReceiveBuffer(lan.InstrumentId[1]);
        WaitMilliseconds(ctx.clock, 500);
        ++st.RetryCount;
        if (st.RetryCount > kPeriodRetryLimit) {
            s.SyncMode = static_cast<std::int16_t>(fallbackMode);
            st.RetryCount = 0;
        }
    };

    // Start of the run: zero adjustment, recorder 2 first.
    if (lastRecorder == 1)
        ctx.send(1, cmd::unitAdjust());
    ctx.send(0, cmd::unitAdjust());
    WaitMilliseconds(ctx.clock, 100);
    st.CurrentRecorder = 0;
    st.RetryCount = 0;

    ShotReport report; // of the shot under way, over its repeats
    int repeats = 0;   // shots taken again since the last complete one
    bool first = true;
    for (;;) {
        if (halted())
            return stop();
        // A recorder that keeps failing must not hold the measurement beyond its end: once the
        // end time has passed, a bounded number of repeated shots ends the run.
        if (!first && ++repeats > kRepeatsPastEnd && endReached())
            return finish(RunEnded);
        first = false;

        // 1, 2. Trigger a shot.
        showStatus(kMeasuringText);
        if (halted())
            return stop();
        std::int16_t shotStatus = 0;
        StartShot(ctx, 0, shotStatus);
        if (halted())
            return stop();
        if (shotStatus == -1) {
            // Nothing was stored: the memory holds no new shot to look at.
            lan.LinkResult = lan.ClearReceiveBuffer(lan.InstrumentId[0]);
            if (lastRecorder == 1)
                lan.LinkResult = lan.ClearReceiveBuffer(lan.InstrumentId[1]);
            WaitMilliseconds(ctx.clock, 500);
            continue;
        }

        // 3, 4. One fundamental period.
        showStatus(kCheckingFrequencyText);
        if (halted())
            return stop();
        int start = -1;
        int end = -1;
        if (s.SyncMode == SyncFixed50 || s.SyncMode == SyncFixed60 || s.SyncMode == SyncFourier) {
            if (s.SyncMode == SyncFixed50) {
                start = kFixedStart;
                end = kFixed50End;
                st.FixedMark = kFixedFrequencyMark;
            } else if (s.SyncMode == SyncFixed60) {
                start = kFixedStart;
                end = kFixed60End;
                st.FixedMark = kFixedFrequencyMark;
            } else {
                std::int16_t from = 0;
                end = FindPeriodEnd(ctx, st.CrossingPosition + 50, c0, 0, from);
                start = from;
                if (halted())
                    return stop();
            }
            if (start < 0 || end <= start) {
                periodFailed(SyncZeroCross);
                continue;
            }
        } else {
            std::int16_t from = 150;
            start = FindRisingCrossing(ctx, from, c0, 0, 0);
            end = FindRisingCrossing(ctx, st.CrossingPosition, c0, 0, 3000);
            if (halted())
                return stop();
            if (start < 0 || end <= start) {
                periodFailed(SyncFixed50);
                continue;
            }
            st.FixedMark.clear();
            st.RetryCount = 0;
        }
        st.Start = static_cast<std::int16_t>(start);
        st.End = static_cast<std::int16_t>(end);

        // 5.
        showStatus(FrequencyStatusText(start, end, st.FixedMark));
        if (halted())
            return stop();

        // 6. Download the period of every input.
        DownloadWaveforms(ctx, start, end, st.CurrentRecorder, st.DownloadErrorCount);
        if (halted())
            return stop();
        if (st.DownloadErrorCount > 3) {
            st.DownloadErrorCount = 0;
            st.RetryCount = 0;
            continue;
        }

        // 7. Automatic print.
        if (s.PrintIntervalMin > 0 && st.NextPrintTime <= ctx.clock.now()) {
            report.PrintTime = ctx.clock.now();
            ctx.send(0, cmd::print());
            WaitMilliseconds(ctx.clock, 10000);
            if (lastRecorder == 1) {
                ctx.send(1, cmd::print());
                WaitMilliseconds(ctx.clock, 10000);
            }
            st.NextPrintTime =
                st.NextPrintTime.addSecs(60 * static_cast<qint64>(s.PrintIntervalMin));
            report.Printed = true;
            ++st.Prints;
            if (halted())
                return stop();
        }

        // 8. Ranges follow the signal; a shot taken before a range step is discarded.
        if (AdjustRanges(ctx)) {
            st.RetryCount = 0;
            continue;
        }
        if (halted())
            return stop();

        // 9. Analysis.
        const int analysis = AnalyseShot(d, s, ctx.facts, start, end, observer);
        if (analysis != AnalysisOk) {
            observer.message(kAnalysisFailedText + QStringLiteral(" (") +
                                 QString::number(analysis) + QStringLiteral(")"),
                             kErrorTitle);
            return finish(RunAnalysisError);
        }
        ++st.ShotsAnalysed;
        if (halted())
            return stop();

        // 10, 11. Summary line of the feeder shown.
        const int f = std::clamp<int>(st.CurrentChannel, 0, s.LastFeeder);
        const PowerUnit unit =
            ChoosePowerUnit(valueAt(d.ActivePower, f, 1), valueAt(d.ReactivePower, f, 1));
        st.PowerFormat = unit.format;
        st.PowerDivisor = unit.divisor;
        showStatus(kDisplayingDataText);
        if (halted())
            return stop();
        observer.summaryText(SummaryLine(d, f, unit));

        // 12. The current view.
        observer.drawResults();

        // 13. Into the interval record.
        AccumulateInterval(d, s, d.ShotCount, st.Selection);

        // 14. Save.
        report.Time = ctx.clock.now();
        if (s.StartDateTime <= report.Time) {
            report.SaveTime = s.StartDateTime;
            if (files.WriteSave(d.ShotCount) != ResultFiles::kOk) {
                observer.message(files.ErrorText(), kErrorTitle);
                return finish(RunFileError);
            }
            report.Saved = true;
            ++st.SavesWritten;
        }

        // 15. Floppy save on the recorders.
        if (s.FdSaveMode > 0 && st.NextFdSaveTime <= ctx.clock.now()) {
            report.FloppyName = recorderFloppyFileName(st.NextFdSaveTime);
            SaveToRecorderFloppy(lan, ctx.facts, s, st.NextFdSaveTime);
            report.FloppySaved = true;
            ++st.FloppySaves;
        }

        // 16.
        Clock::pumpEvents();

        // 17. End of the measurement (the clock read once: the report carries the instant
        // the end time was compared with).
        report.EndTestTime = ctx.clock.now();
        const bool ended = s.EndDateTime <= report.EndTestTime;
        if (hooks.shotFinished)
            hooks.shotFinished(report);
        if (halted())
            return stop();
        if (ended)
            return finish(RunEnded);
        st.RetryCount = 0;
        first = true;
        repeats = 0;
        report = ShotReport{};
    }
}

} // namespace hs
