#include "engine/RunLoop.h"

#include "integration/MeasuredRun.h"

#include "common/Numbers.h"
#include "engine/InstrumentPreparation.h"
#include "engine/Measurement.h"
#include "engine/RangeAdjustment.h"

#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using hs::testing::SimStation;

constexpr double kScale = hs::testing::kRunScale;
constexpr qint64 kRecordBytes = hs::testing::kOneFeederRecordBytes;
using RunOutcome = hs::testing::MeasuredRun;

// Preparation, measurement load and start, as the screens (or `measure`) do them.
RunOutcome measure(SimStation& st, std::function<void(SimStation&)> beforeStart = {},
                   std::function<bool()> stop = {})
{
    return hs::testing::MeasureRun(
        st,
        [&] {
            if (beforeStart)
                beforeStart(st);
        },
        std::move(stop));
}

// A period whose one save time and end come once the run's first shot is under way: the run
// ends after that shot, having saved once, however long it took to begin.
void endAfterFirstShot(SimStation& st)
{
    st.settings.StartDateTime = st.settings.EndDateTime = st.clock.now().addSecs(3600);
    auto* timer = new QTimer(st.sim.get());
    QObject::connect(timer, &QTimer::timeout, [&st, timer] {
        if (!st.observer.saw(QStringLiteral("測定中")))
            return;
        st.settings.StartDateTime = st.settings.EndDateTime = st.clock.now();
        timer->stop();
    });
    timer->start(1);
}

// The fundamental voltage of a summary line ("F-1 基本波＝6,600.0V; ...").
double summaryVolts(const QString& line)
{
    const QString key = QStringLiteral("基本波＝");
    return hs::readNumber(line.mid(line.indexOf(key) + key.size()).remove(QLatin1Char(',')));
}

QString floppyName(const QDateTime& t)
{
    return QStringLiteral("%1D%2H%3.WAV")
        .arg(t.date().day(), 2, 10, QLatin1Char('0'))
        .arg(t.time().hour())
        .arg(t.time().minute(), 2, 10, QLatin1Char('0'));
}

// Saves, prints and floppy saves each come at the first shot at or after their scheduled time,
// then every interval; shots before the start time are folded into the first record.
TEST(RunLoop, SaveAndPrintAndFloppySchedules)
{
    SimStation st(kScale);
    ASSERT_TRUE(st.connect(1, 2));
    hs::MeasurementSettings& s = st.settings;
    s.StartDateTime = s.StartDateTime.addSecs(120); // at least a minute ahead
    s.EndDateTime = s.StartDateTime.addSecs(180);
    s.SaveIntervalMin = 1;
    s.PrintIntervalMin = 1;
    s.FdSaveMode = 5;
    s.FdSaveIntervalMin = 2;
    const QDateTime start = s.StartDateTime;

    qsizetype linesAtLoad = 0;
    const RunOutcome run =
        measure(st, [&](SimStation& station) { linesAtLoad = station.lines().size(); });
    ASSERT_EQ(run.status, hs::RunEnded);
    ASSERT_GE(run.shots.size(), 4u);
    EXPECT_LT(run.shots.front().Time, start) << "the first shots come before the start time";

    QDateTime nextSave = start, nextPrint = start, nextFloppy = start;
    QStringList floppyNames;
    int saves = 0, prints = 0;
    for (std::size_t i = 0; i < run.shots.size(); ++i) {
        const hs::ShotReport& r = run.shots[i];
        EXPECT_EQ(r.Saved, r.Time >= nextSave) << "shot " << i;
        if (r.Saved) {
            EXPECT_EQ(r.SaveTime, nextSave);
            nextSave = nextSave.addSecs(60);
            ++saves;
        }
        if (r.Printed) {
            EXPECT_GE(r.PrintTime, nextPrint) << "shot " << i;
            nextPrint = nextPrint.addSecs(60);
            ++prints;
        } else if (i > 0) {
            EXPECT_LT(run.shots[i - 1].Time, nextPrint) << "a due print was skipped at shot " << i;
        }
        if (r.FloppySaved) {
            EXPECT_EQ(r.FloppyName, floppyName(nextFloppy));
            floppyNames << r.FloppyName;
            nextFloppy = nextFloppy.addSecs(120);
        } else {
            EXPECT_LT(r.Time, nextFloppy) << "a due floppy save was skipped at shot " << i;
        }
    }
    // The run ends at the first shot whose end test comes at or after the end time.
    EXPECT_GE(run.shots.back().EndTestTime, s.EndDateTime);
    EXPECT_LT(run.shots[run.shots.size() - 2].EndTestTime, s.EndDateTime);
    // start, +1, +2, +3 (the end); a slow machine may lag one save behind the schedule.
    EXPECT_GE(saves, 3);
    EXPECT_LE(saves, 4);
    EXPECT_EQ(run.state.SavesWritten, saves);
    EXPECT_EQ(s.StartDateTime, start.addSecs(60 * saves));
    EXPECT_EQ(QFileInfo(s.OutputFile).size(), saves * kRecordBytes);

    const QStringList lines = st.linesAfter(1);
    EXPECT_EQ(lines.count(QStringLiteral(":PRIN")), prints);
    EXPECT_EQ(run.state.Prints, prints);
    EXPECT_GE(prints, 2);
    // Printing on: the recorder lists its gauges when the measurement loads, before any shot.
    ASSERT_GT(linesAtLoad, 0);
    EXPECT_EQ(lines.lastIndexOf(QStringLiteral(":SYST:LIST GAUGE"), linesAtLoad - 1),
              linesAtLoad - 1);
    EXPECT_EQ(lines.count(QStringLiteral(":SYST:LIST GAUGE")), 1);

    ASSERT_GE(floppyNames.size(), 1); // start and +2
    QStringList saveLines, expectedLines;
    for (const QString& l : lines)
        if (l.startsWith(QStringLiteral(":FDISK:SAVE")))
            saveLines << l;
    for (const QString& name : floppyNames)
        expectedLines << QStringLiteral(":FDISK:SAVE \"%1\",Bin,ALL").arg(name);
    EXPECT_EQ(saveLines, expectedLines);
    QStringList stored;
    for (const auto& f : st.sim->recorder(0).floppyFiles())
        stored << f.name;
    EXPECT_EQ(stored, floppyNames);
    // Every floppy save returns the recorder to 100 divisions per shot.
    EXPECT_EQ(st.sim->recorder(0).shotSamples(), 10000);
}

// A period that ended before the run began (during the preparation): no shot, no record,
// every save time missing as passed before measuring began; the link is closed at the end.
TEST(RunLoop, APeriodOverBeforeTheRunRecordsNothing)
{
    SimStation st(kScale);
    ASSERT_TRUE(st.connect(1, 2));
    st.settings.SaveIntervalMin = 1;
    st.settings.StartDateTime = st.settings.StartDateTime.addSecs(-600);
    st.settings.EndDateTime = st.settings.StartDateTime.addSecs(300);
    const RunOutcome run =
        measure(st, [](SimStation& station) { station.sim->recorder(0).clearLog(); });
    EXPECT_EQ(run.status, hs::RunEndedIncomplete);
    EXPECT_TRUE(run.shots.empty());
    EXPECT_EQ(st.lines().count(QStringLiteral(":STAR")), 0);
    EXPECT_EQ(QFileInfo(st.settings.OutputFile).size(), 0);
    EXPECT_EQ(run.state.RecordsExpected(), 6);
    ASSERT_EQ(run.state.Gaps.size(), 1u);
    EXPECT_EQ(run.state.Gaps[0].Count, 6);
    EXPECT_EQ(run.state.Gaps[0].Reason, hs::kReasonBeforeStart);
    const auto ended = st.observer.eventsOf<hs::run::RunEnded>();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].as<hs::run::RunEnded>()->outcome, hs::RunOutcome::Incomplete);
    EXPECT_EQ(ended[0].as<hs::run::RunEnded>()->recordsWritten, 0);
    st.clock.waitUntil([&] { return st.sim->connectionCount(0) == 0; }, 5000);
    EXPECT_EQ(st.sim->connectionCount(0), 0);
}

// Save times that passed before measuring began are expected and missing, with that reason;
// the last one at or before the first shot takes it, and the run goes on.
TEST(RunLoop, SaveTimesBeforeTheRunAreMissingWithTheirReason)
{
    SimStation st(kScale);
    ASSERT_TRUE(st.connect(1, 2));
    st.settings.SaveIntervalMin = 1;
    QDateTime first;
    const RunOutcome run = measure(st, [&](SimStation& station) {
        // The first save time 4.5 minutes back: four save times have passed, the fifth is the
        // last one before the first shot.
        first = station.clock.now().addSecs(-270);
        station.settings.StartDateTime = first;
        station.settings.EndDateTime = first.addSecs(360);
    });
    EXPECT_EQ(run.state.RecordsExpected(), 7);
    ASSERT_GE(run.state.Gaps.size(), 1u);
    EXPECT_EQ(run.state.Gaps[0].First, first);
    EXPECT_EQ(run.state.Gaps[0].Count, 4);
    EXPECT_EQ(run.state.Gaps[0].Reason, hs::kReasonBeforeStart);
    ASSERT_FALSE(run.shots.empty());
    EXPECT_TRUE(run.shots[0].Saved);
    EXPECT_EQ(run.shots[0].SaveTime, first.addSecs(240));
    EXPECT_EQ(run.status, hs::RunEndedIncomplete);
}

// A run's first shot: the statuses of its course in order, its summary, its record.
TEST(RunLoop, TheFirstShotShowsItsCourseAndIsSaved)
{
    SimStation st(kScale);
    ASSERT_TRUE(st.connect(1, 2));
    const RunOutcome run = measure(st, endAfterFirstShot);
    EXPECT_EQ(run.status, hs::RunEnded);
    ASSERT_GE(run.shots.size(), 1u);
    EXPECT_TRUE(run.shots.back().Saved);
    EXPECT_EQ(QFileInfo(st.settings.OutputFile).size(), kRecordBytes);
    ASSERT_GE(st.observer.summaries().size(), 1);
    EXPECT_TRUE(st.observer.summaries()[0].startsWith(QStringLiteral("F-1 基本波＝")))
        << qPrintable(st.observer.summaries()[0]);
    EXPECT_NEAR(summaryVolts(st.observer.summaries()[0]), 6600.0, 66.0)
        << qPrintable(st.observer.summaries()[0]);
    ASSERT_EQ(st.observer.count<hs::run::ShotAnalysed>(), static_cast<int>(run.shots.size()));
    const auto ended = st.observer.eventsOf<hs::run::RunEnded>();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].as<hs::run::RunEnded>()->outcome, hs::RunOutcome::Complete);
    EXPECT_EQ(ended[0].as<hs::run::RunEnded>()->recordsWritten, 1);
    // Each shot's statuses in order.
    const QStringList expected = {QStringLiteral("測定中"), QStringLiteral("周波数確認中")};
    EXPECT_EQ(st.observer.statuses.mid(st.observer.statuses.indexOf(QStringLiteral("測定中")), 2),
              expected);
    EXPECT_TRUE(st.observer.statuses.contains(QStringLiteral("データ表示中")));
    EXPECT_TRUE(st.observer.statuses.contains(QStringLiteral("ＦＦＴ演算中")));
    EXPECT_TRUE(std::all_of(st.observer.statusKinds.begin(), st.observer.statusKinds.end(),
                            [](auto kind) { return kind == hs::RunStatus::Kind::Usual; }))
        << "a clean shot shows only the usual course";
    // The link is closed at the end.
    st.clock.waitUntil([&] { return st.sim->connectionCount(0) == 0; }, 5000);
    EXPECT_EQ(st.sim->connectionCount(0), 0);
}

// Zero-cross detection failing six shots in a row switches to 50 Hz fixed for good; the
// seventh shot is a 50 Hz fixed shot.
TEST(RunLoop, ZeroCrossFallsBackToFixedFiftyHertz)
{
    SimStation st(kScale);
    ASSERT_TRUE(st.connect(1, 2));
    st.settings.SyncMode = 0;
    st.settings.EndDateTime = st.clock.now().addSecs(60);
    const RunOutcome run = measure(st, [](SimStation& station) {
        hs::sim::FaultPlan plan;
        plan.noZeroCrossing = true;
        station.sim->recorder(0).setFaults(plan);
    });
    EXPECT_EQ(run.status, hs::RunEnded);
    EXPECT_EQ(st.settings.SyncMode, 1);
    const QStringList& statuses = st.observer.statuses;
    const qsizetype fixed = statuses.indexOf(QStringLiteral("基本周波数 50.00Hz固定"));
    ASSERT_GE(fixed, 0) << qPrintable(statuses.join(QLatin1Char('|')));
    EXPECT_EQ(statuses.mid(0, fixed).count(QStringLiteral("周波数確認中")), 7);
    EXPECT_EQ(statuses.mid(0, fixed).filter(QStringLiteral("基本周波数")).size(), 0);
}

// A shot after which a range was stepped is thrown away and taken again; the analysis sees
// only the shot taken with the new range.
TEST(RunLoop, RangeChangeRepeatsTheShot)
{
    SimStation st(kScale);
    ASSERT_TRUE(st.connect(1, 2));
    const RunOutcome run = measure(st, [](SimStation& station) {
        endAfterFirstShot(station);
        // 110 V lines on 5 V/div overflow: 155 V peak is 31 divisions.
        auto ctx = station.context();
        hs::SetInputRange(ctx, 1, 5.0f, 0, 1.0f);
        hs::SetInputRange(ctx, 2, 5.0f, 0, 1.0f);
        station.data.InputRange[0] = station.data.InputRange[1] = 5.0f;
        station.linesAfter(1);
        station.sim->recorder(0).clearLog();
    });
    EXPECT_EQ(run.status, hs::RunEnded);
    ASSERT_EQ(run.shots.size(), 1u);
    const QStringList lines = st.linesAfter(1);
    EXPECT_EQ(lines.count(QStringLiteral(":STAR")), 2) << qPrintable(lines.join(QLatin1Char('|')));
    EXPECT_LT(lines.indexOf(QStringLiteral(":UNIT:RANG CH 1, 10")),
              lines.lastIndexOf(QStringLiteral(":STAR")));
    EXPECT_DOUBLE_EQ(st.sim->recorder(0).range(1), 10.0);
    EXPECT_DOUBLE_EQ(st.sim->recorder(0).range(2), 10.0);
    EXPECT_EQ(st.observer.statuses.count(QStringLiteral("測定中")), 2);
    ASSERT_EQ(st.observer.summaries().size(), 1);
    EXPECT_NEAR(summaryVolts(st.observer.summaries()[0]), 6600.0, 66.0)
        << qPrintable(st.observer.summaries()[0]);
}

// Stopping from inside a wait (the end button, Ctrl+C): the recorders get ":ABORT", the links
// and the result file are closed, and the loop returns.
TEST(RunLoop, StopRequestAbortsAndCloses)
{
    SimStation st(kScale);
    ASSERT_TRUE(st.connect(1, 2));
    st.settings.EndDateTime = st.clock.now().addSecs(3600);
    const RunOutcome run = measure(st, {}, [&] { return st.observer.summaries().size() >= 1; });
    EXPECT_EQ(run.status, hs::RunStopped);
    EXPECT_EQ(run.shots.size(), 1u);
    st.clock.waitUntil([&] { return st.sim->connectionCount(0) == 0; }, 5000);
    EXPECT_EQ(st.sim->connectionCount(0), 0);
    EXPECT_EQ(st.lines().last(), QStringLiteral(":ABORT"));
    EXPECT_EQ(QFileInfo(st.settings.OutputFile).size(), kRecordBytes);
    const auto ended = st.observer.eventsOf<hs::run::RunEnded>();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].as<hs::run::RunEnded>()->outcome, hs::RunOutcome::Stopped);
    EXPECT_EQ(ended[0].display(), hs::RunEventDisplay::None) << "nothing new for the operator";
}

// A file that cannot be written stops the measurement with a message naming it.
TEST(RunLoop, FileErrorStopsWithTheFileNamed)
{
    if (!QFileInfo::exists(QStringLiteral("/dev/full")))
        GTEST_SKIP() << "no /dev/full";
    SimStation st(kScale);
    ASSERT_TRUE(st.connect(1, 2));
    st.settings.OutputFile = QStringLiteral("/dev/full");
    st.settings.StartDateTime = st.clock.now().addSecs(-60);
    st.settings.EndDateTime = st.clock.now().addSecs(3600);
    const RunOutcome run = measure(st);
    EXPECT_EQ(run.status, hs::RunFileError);
    const auto failed = st.observer.eventsOf<hs::run::WriteFailed>();
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].display(), hs::RunEventDisplay::Message);
    EXPECT_TRUE(failed[0].text.contains(QStringLiteral("/dev/full"))) << qPrintable(failed[0].text);
    EXPECT_TRUE(failed[0].severity.isError());
    const auto ended = st.observer.eventsOf<hs::run::RunEnded>();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].as<hs::run::RunEnded>()->outcome, hs::RunOutcome::Error);
    EXPECT_EQ(run.shots.size(), 0u);
}

// The Fourier fit failing six shots in a row falls back to zero-cross detection (not to a fixed
// frequency): on a 60 Hz feeder, whose period lies outside the fit's 50 Hz window, the seventh
// shot finds the 60 Hz period by its crossings.
TEST(RunLoop, FourierFitFallsBackToZeroCross)
{
    hs::sim::Scenario sixty = hs::sim::Scenario::defaultScenario();
    sixty.frequencyHz = 60.0;
    SimStation st(kScale, 8841, sixty);
    ASSERT_TRUE(st.connect(1, 2));
    st.settings.SyncMode = 3;
    const RunOutcome run = measure(st, endAfterFirstShot);
    EXPECT_EQ(run.status, hs::RunEnded);
    EXPECT_EQ(st.settings.SyncMode, 0);
    ASSERT_EQ(run.shots.size(), 1u);
    const QStringList& statuses = st.observer.statuses;
    const QStringList found = statuses.filter(QStringLiteral("基本周波数 "));
    ASSERT_EQ(found.size(), 1) << qPrintable(statuses.join(QLatin1Char('|')));
    EXPECT_NEAR(hs::readNumber(found[0].mid(6)), 60.0, 0.1) << qPrintable(found[0]);
    EXPECT_FALSE(found[0].endsWith(QStringLiteral("固定")));
    EXPECT_EQ(statuses.mid(0, statuses.indexOf(found[0])).count(QStringLiteral("周波数確認中")), 7);
}

// A recorder that never triggers must not hold the run past its end time: a bounded number of
// failed attempts after the end ends it, with the missing records counted.
TEST(RunLoop, RepeatedShotsAfterTheEndTimeAreBounded)
{
    SimStation st(kScale);
    ASSERT_TRUE(st.connect(1, 2));
    st.settings.SaveIntervalMin = 1;
    st.settings.EndDateTime = st.clock.now().addSecs(60);
    const QDateTime giveUp = st.clock.now().addSecs(3600);
    const RunOutcome run = measure(
        st,
        [](SimStation& station) {
            hs::sim::FaultPlan plan;
            plan.noTrigger = true;
            station.sim->recorder(0).setFaults(plan);
        },
        [&] { return st.clock.now() > giveUp; });
    EXPECT_EQ(run.status, hs::RunEndedIncomplete);
    EXPECT_EQ(run.state.ShotsAnalysed, 0);
    EXPECT_GE(run.state.RecordsMissing, 1);
    EXPECT_EQ(run.state.SavesWritten, 0);
    EXPECT_EQ(QFileInfo(st.settings.OutputFile).size(), 0);
}

// A shot the recorder did not report as stored is taken again, never analysed from whatever
// its memory holds: with the memory count unanswered, no further shot is analysed or saved.
TEST(RunLoop, AShotTheRecorderDidNotStoreIsTakenAgain)
{
    SimStation st(kScale);
    ASSERT_TRUE(st.connect(1, 2));
    st.settings.SaveIntervalMin = 1;
    st.settings.EndDateTime = st.clock.now().addSecs(180);
    bool faulty = false;
    const RunOutcome run = measure(st, [&](SimStation& station) {
        QObject::connect(station.sim.get(), &hs::sim::SimServer::connectionClosed, [] {});
        station.sim->recorder(0).clearLog();
        // After the first analysed shot the memory count is never answered.
        auto* timer = new QTimer(station.sim.get());
        QObject::connect(timer, &QTimer::timeout, [&station, &faulty, timer] {
            if (station.observer.summaries().isEmpty())
                return;
            hs::sim::FaultPlan plan;
            plan.silentCommand = QStringLiteral(":MEM:MAXP?");
            station.sim->recorder(0).setFaults(plan);
            faulty = true;
            timer->stop();
        });
        timer->start(1);
    });
    ASSERT_TRUE(faulty);
    EXPECT_EQ(run.status, hs::RunEndedIncomplete);
    EXPECT_EQ(run.state.ShotsAnalysed, 1);
    EXPECT_EQ(st.observer.summaries().size(), 1);
    EXPECT_LE(QFileInfo(st.settings.OutputFile).size(), kRecordBytes);
}

// A dropped link is reported as events with what they are about: the lost recorder, each
// attempt to connect again (on the status line), the outage's length; the shots after it
// carry snapshots numbered on from the ones before.
TEST(RunLoop, ADroppedLinkIsReportedAsTypedEvents)
{
    SimStation st(kScale);
    ASSERT_TRUE(st.connect(1, 2));
    st.settings.EndDateTime = st.clock.now().addSecs(3600);
    // Stop at the first shot analysed after the link came back.
    const auto shotAfterTheLinkCameBack = [&] {
        const auto& e = st.observer.events;
        const auto back = std::find_if(
            e.begin(), e.end(), [](const hs::RunEvent& x) { return x.is<hs::run::LinkBack>(); });
        return std::any_of(back, e.end(),
                           [](const hs::RunEvent& x) { return x.is<hs::run::ShotAnalysed>(); });
    };
    bool dropped = false;
    const RunOutcome run = measure(
        st,
        [&](SimStation& station) {
            auto* timer = new QTimer(station.sim.get());
            QObject::connect(timer, &QTimer::timeout, [&station, &dropped, timer] {
                if (station.observer.count<hs::run::ShotAnalysed>() < 2)
                    return;
                station.sim->dropConnections(0);
                dropped = true;
                timer->stop();
            });
            timer->start(1);
        },
        shotAfterTheLinkCameBack);
    ASSERT_TRUE(dropped);
    EXPECT_EQ(run.status, hs::RunStopped);

    const auto lost = st.observer.eventsOf<hs::run::LinkLost>();
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].as<hs::run::LinkLost>()->recorders, std::vector<int>{1});
    EXPECT_EQ(lost[0].display(), hs::RunEventDisplay::Notice);
    const auto attempts = st.observer.eventsOf<hs::run::ReconnectAttempt>();
    ASSERT_GE(attempts.size(), 1u);
    for (std::size_t i = 0; i < attempts.size(); ++i) {
        EXPECT_EQ(attempts[i].as<hs::run::ReconnectAttempt>()->attempt, static_cast<int>(i + 1));
        EXPECT_EQ(attempts[i].display(), hs::RunEventDisplay::Status);
    }
    const auto back = st.observer.eventsOf<hs::run::LinkBack>();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_GE(back[0].as<hs::run::LinkBack>()->outageSeconds, 2) << "the first pause is 2 s";

    qint64 shot = 0;
    for (const hs::RunEvent& e : st.observer.eventsOf<hs::run::ShotAnalysed>())
        EXPECT_EQ(e.as<hs::run::ShotAnalysed>()->snapshot->Shot, ++shot);
    EXPECT_EQ(shot, run.state.ShotsAnalysed);
    const auto ended = st.observer.eventsOf<hs::run::RunEnded>();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].as<hs::run::RunEnded>()->outcome, hs::RunOutcome::Stopped);
}

TEST(RunLoop, PowerUnitOfTheSummary)
{
    EXPECT_EQ(hs::ChoosePowerUnit(999999, 1000001).format, QStringLiteral("#0.000M"));
    EXPECT_EQ(hs::ChoosePowerUnit(999999, 1000001).divisor, 1e6);
    EXPECT_EQ(hs::ChoosePowerUnit(-2000000, 0).format, QStringLiteral("#,##0.0"));
    EXPECT_EQ(hs::ChoosePowerUnit(1000, 1000).format, QStringLiteral("#,##0.0"));
    EXPECT_EQ(hs::ChoosePowerUnit(-5e6, 1000.5).format, QStringLiteral("#,##0.000k"));
    EXPECT_EQ(hs::ChoosePowerUnit(-5e6, 1000.5).divisor, 1000.0);
}

TEST(RunLoop, SummaryLineAndFrequencyTexts)
{
    hs::MeasurementSettings s;
    s.LastFeeder = 1;
    hs::MeasurementData d;
    d.sizeForMeasurement(s);
    d.VoltByOrder[1] = 6600.04f;
    d.VoltHarmRss = 138.6f;
    d.CurByOrder(1, 1) = 200.004f;
    d.ActivePower(1, 1) = 2174000.0f;
    d.ReactivePower(1, 1) = -707000.0f;
    d.PowerAngle(1, 1) = -18;
    d.CurHarmRss[1] = 11.6f;
    const auto unit = hs::ChoosePowerUnit(d.ActivePower(1, 1), d.ReactivePower(1, 1));
    EXPECT_EQ(hs::SummaryLine(d, 1, unit),
              QStringLiteral("F-2 基本波＝6,600.0V; 200.00A; 2.174MW; -0.707MVar; θ=-18ﾟ; 総合歪率 "
                             "V= 2.1%; I= 5.8% "));
    // Before any analysis nothing is divided by zero.
    hs::MeasurementData empty;
    empty.sizeForMeasurement(s);
    EXPECT_EQ(
        hs::SummaryLine(empty, 0, hs::ChoosePowerUnit(0, 0)),
        QStringLiteral("F-1 基本波＝0.0V; 0.00A; 0.0W; 0.0Var; θ=0ﾟ; 総合歪率 V= 0.0%; I= 0.0% "));
    EXPECT_EQ(hs::FrequencyStatusText(200, 4200, QStringLiteral("固定")),
              QStringLiteral("基本周波数 50.00Hz固定"));
    EXPECT_EQ(hs::FrequencyStatusText(200, 3533, QString()), QStringLiteral("基本周波数 60.01Hz"));
}

} // namespace

namespace {

// Records lost with a result file that could not be written again (none kept to write again,
// the file cut short in place after the first record) are not reported as written: the run
// ends incomplete and its end says how many.
TEST(RunLoop, RecordsLostWithTheResultFileEndTheRunIncomplete)
{
    SimStation st(kScale);
    ASSERT_TRUE(st.connect(1, 2));
    st.settings.EndDateTime = st.settings.StartDateTime.addSecs(180);
    auto ctx = st.context();
    hs::InstrumentPreparation prep(ctx);
    hs::PreparationResult checked;
    ASSERT_TRUE(prep.Run(checked).ok());
    hs::Measurement m(ctx);
    ASSERT_EQ(m.Load(), hs::AnalysisOk);
    m.Files().setKeptRecordBytes(0);
    hs::RunLoopHooks hooks;
    bool cut = false;
    hooks.shotFinished = [&](const hs::ShotReport& r) {
        if (r.Saved && !cut)
            cut = QFile::resize(st.settings.OutputFile, 10);
    };
    const int status = m.Start(hooks);
    ASSERT_TRUE(cut);
    const hs::RunLoopState& state = m.State();
    EXPECT_EQ(state.RecordsMissing, 0);
    EXPECT_EQ(state.RecordsLost, 1);
    EXPECT_EQ(status, hs::RunEndedIncomplete);
    EXPECT_EQ(hs::RunExitStatus(status), 3);
    const auto ended = st.observer.eventsOf<hs::run::RunEnded>();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].as<hs::run::RunEnded>()->recordsLost, 1);
    EXPECT_TRUE(ended[0].text.contains(QStringLiteral("消失 1件"))) << qPrintable(ended[0].text);
    const hs::RecordLayout layout{st.settings.SaveOption(), st.settings.LastFeeder + 1,
                                  st.settings.Orders256};
    EXPECT_EQ(QFileInfo(st.settings.OutputFile).size(),
              (state.SavesWritten - 1) * layout.recordLength());
}

} // namespace
