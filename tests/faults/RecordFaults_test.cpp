// The records of a run against a recorder that hangs or answers slowly: which save times get a
// record, when it is written, what it holds, and how the run tells the operator.

#include "engine/RunLoop.h"

#include "integration/MeasuredRun.h"
#include "sim/FaultPlan.h"
#include "support/FreezingProxy.h"

#include "engine/InstrumentPreparation.h"
#include "engine/Measurement.h"
#include "engine/RangeAdjustment.h"

#include <QFileInfo>
#include <QTimer>
#include <QtEndian>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

using hs::testing::SimStation;

constexpr double kScale = hs::testing::kRunScale;
constexpr qint64 kRecordBytes = hs::testing::kOneFeederRecordBytes;
using RunResult = hs::testing::MeasuredRun;

// Preparation, load and start as `measure` takes them; atStart runs when the loop is about to
// begin.
RunResult measure(SimStation& st, const std::function<void()>& atStart = {})
{
    return hs::testing::MeasureRun(st, atStart);
}

// The station time each record of the result file appeared at, with the save time it carries.
class RecordWatch {
public:
    RecordWatch(const hs::Clock& clock, QString path) : clock_(clock), path_(std::move(path))
    {
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, [this] { look(); });
        timer_.start();
    }
    struct Seen {
        QDateTime saveTime;
        QDateTime writtenAt;
    };
    std::vector<Seen> seen;

private:
    void look()
    {
        const qint64 records = QFileInfo(path_).size() / kRecordBytes;
        if (records <= static_cast<qint64>(seen.size()))
            return;
        QFile f(path_);
        if (!f.open(QIODevice::ReadOnly))
            return;
        const QByteArray bytes = f.readAll();
        for (qint64 i = static_cast<qint64>(seen.size()); i < records; ++i) {
            const auto* at = reinterpret_cast<const uchar*>(bytes.constData() + i * kRecordBytes);
            const int hhmm = qFromLittleEndian<qint16>(at + 4);
            const QDateTime now = clock_.now();
            QDateTime t(now.date(), QTime(hhmm / 100, hhmm % 100));
            if (t > now.addSecs(3600))
                t = t.addDays(-1);
            seen.push_back({t, now});
        }
    }
    const hs::Clock& clock_;
    QString path_;
    QTimer timer_;
};

// A recorder that hangs with its link up (a proxy that stops forwarding for ten minutes): the
// station says the recorder stopped completing shots, not that the link was lost; a record is
// closed only by a shot of its own interval; every record written more than a minute after its
// time is told late; the save times of the hang are missing with that reason.
TEST(RecordFaults, HungRecorderLeavesNoLateOrMislabelledRecord)
{
    SimStation st(kScale);
    hs::testing::FreezingProxy proxy(st.sim->port(0));
    ASSERT_TRUE(proxy.listen());
    ASSERT_TRUE(st.connect(1, 2, proxy.port()));
    st.settings.SaveIntervalMin = 1;
    st.settings.EndDateTime = st.clock.now().addSecs(16 * 60);
    RecordWatch watch(st.clock, st.settings.OutputFile);
    QDateTime frozeAt, thawedAt;
    QTimer freezer;
    freezer.setInterval(1);
    QObject::connect(&freezer, &QTimer::timeout, [&] {
        if (watch.seen.size() < 2 || frozeAt.isValid())
            return;
        // Mid-interval, with a shot under way.
        proxy.freeze(true);
        frozeAt = st.clock.now();
        QTimer::singleShot(st.clock.realMs(10 * 60000), [&] {
            proxy.freeze(false);
            thawedAt = st.clock.now();
        });
    });
    freezer.start();
    const RunResult run = measure(st);
    ASSERT_TRUE(thawedAt.isValid());
    EXPECT_EQ(run.status, hs::RunEndedIncomplete);

    // Each shot that closed a record belongs to it: stored no later than the grace after the
    // save time (the run's first shot may come up to an interval late).
    for (std::size_t i = 0; i < run.shots.size(); ++i) {
        const hs::ShotReport& r = run.shots[i];
        if (!r.Saved)
            continue;
        const qint64 allowed = i == 0 ? 60 : hs::kSaveGraceSeconds;
        EXPECT_LE(r.SaveTime.secsTo(i == 0 ? r.Start : r.Stored), allowed)
            << "shot " << i << " started " << qPrintable(r.Start.toString("HH:mm:ss"))
            << " closed the record of " << qPrintable(r.SaveTime.toString("HH:mm:ss"));
        EXPECT_LE(r.SaveTime, r.Time);
    }
    // What the file shows: no record of a save time inside the hang, and a record that came
    // more than a minute after its time was told late.
    std::vector<QDateTime> toldLate;
    for (const hs::RunEvent& e : st.observer.eventsOf<hs::run::RecordSavedLate>())
        toldLate.push_back(e.as<hs::run::RecordSavedLate>()->saveTime);
    EXPECT_EQ(run.state.LateSaves, static_cast<qint64>(toldLate.size()));
    for (const RecordWatch::Seen& r : watch.seen) {
        const QString which = r.saveTime.toString("HH:mm");
        EXPECT_FALSE(r.saveTime > frozeAt.addSecs(60 + hs::kSaveGraceSeconds) &&
                     r.saveTime.addSecs(hs::kSaveGraceSeconds) < thawedAt)
            << "record of " << qPrintable(which) << " inside the hang";
        // The file is looked at between waits: a record may be seen a little after it came.
        if (r.saveTime.secsTo(r.writtenAt) > hs::kLateSaveSeconds + 15) {
            EXPECT_NE(
                std::count_if(toldLate.begin(), toldLate.end(),
                              [&](const QDateTime& t) { return t.toString("HH:mm") == which; }),
                0)
                << "record of " << qPrintable(which) << " written "
                << qPrintable(r.writtenAt.toString("HH:mm:ss")) << " and not told late";
        }
    }
    // The link stayed up: a stall, its links opened again, and no outage.
    EXPECT_EQ(st.observer.count<hs::run::LinkLost>(), 0);
    EXPECT_EQ(run.state.Outages, 0);
    EXPECT_EQ(run.state.Reconnections, 0);
    EXPECT_GE(run.state.Stalls, 1);
    EXPECT_EQ(run.state.Reopenings, run.state.Stalls);
    for (const hs::RunEvent& e : st.observer.eventsOf<hs::run::LinkBack>())
        EXPECT_FALSE(e.as<hs::run::LinkBack>()->linkWasLost);
    ASSERT_FALSE(run.state.Gaps.empty());
    for (const hs::RunGap& g : run.state.Gaps)
        EXPECT_NE(g.Reason, hs::kReasonLinkLost);
    EXPECT_GE(run.state.RecordsMissing, 6);
}

// The run's first shot closes the last save time at or before its start; a save time that
// passes while that shot is under way takes the next shot. Started just before a save time
// or just after it, a fault-free run is complete.
TEST(RecordFaults, RunStartedAtASaveTimeIsComplete)
{
    for (const int offsetMs : {-4000, 1000}) {
        SCOPED_TRACE(offsetMs);
        SimStation st(0.03); // the start a little before the save time: 120 real ms
        ASSERT_TRUE(st.connect(1, 2));
        st.settings.SaveIntervalMin = 1;
        QDateTime boundary;
        const RunResult run = measure(st, [&] {
            const QDateTime now = st.clock.now();
            boundary = QDateTime(now.date(), QTime(now.time().hour(), now.time().minute(), 1))
                           .addSecs(120);
            st.clock.setCalendar(boundary.addMSecs(offsetMs));
            st.settings.StartDateTime = boundary.addSecs(offsetMs < 0 ? -60 : 0);
            st.settings.EndDateTime = boundary.addSecs(60);
            // Lines on 5 V/div overflow: the first shot is taken again, across the save time.
            auto ctx = st.context();
            hs::SetInputRange(ctx, 1, 5.0f, 0, 1.0f);
            hs::SetInputRange(ctx, 2, 5.0f, 0, 1.0f);
            st.data.InputRange[0] = st.data.InputRange[1] = 5.0f;
        });
        EXPECT_EQ(run.status, hs::RunEnded) << qPrintable(hs::RunAccountText(run.state));
        EXPECT_EQ(run.state.RecordsMissing, 0);
        ASSERT_FALSE(run.shots.empty());
        EXPECT_EQ(run.shots[0].SaveTime, boundary.addSecs(offsetMs < 0 ? -60 : 0));
        EXPECT_GT(run.shots[0].Time, boundary);
    }
}

// Shots slower than the save interval because the time scale shrinks the interval but not the
// shots' computing: the save times without a shot say so, with the scale.
TEST(RecordFaults, ShotsSlowerThanAScaledIntervalNameTheTimeScale)
{
    SimStation st(0.0002);
    ASSERT_TRUE(st.connect(1, 2));
    st.settings.SaveIntervalMin = 1;
    const RunResult run = measure(st, [&] {
        // Every reply 10 station seconds late: a shot's dozen commands outlast the interval
        // however fast this machine computes.
        hs::sim::FaultPlan slow;
        slow.replyDelayMs = 10'000;
        st.sim->recorder(0).setFaults(slow);
        // Ten minutes ahead: 120 real ms for the run to begin.
        st.settings.StartDateTime = st.clock.now().addSecs(600);
        st.settings.EndDateTime = st.settings.StartDateTime.addSecs(20 * 60);
    });
    ASSERT_FALSE(run.state.Gaps.empty()) << qPrintable(hs::RunAccountText(run.state));
    for (const hs::RunGap& g : run.state.Gaps) {
        if (g.Reason != hs::kReasonShotsFailed) {
            EXPECT_TRUE(g.Reason.startsWith(hs::kReasonShotTooLong) &&
                        g.Reason.contains(hs::kTimeScaleText + QStringLiteral("0.0002")))
                << qPrintable(g.Reason);
        }
    }
}

} // namespace
