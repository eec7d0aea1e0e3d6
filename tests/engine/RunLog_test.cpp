#include "engine/RunLog.h"

#include "common/Clock.h"
#include "engine/RunLoop.h"
#include "model/MeasurementSettings.h"
#include "support/RecordingObserver.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using hs::RunEvent;
namespace run = hs::run;

class RunLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        settings.OutputFile = dir.filePath(QStringLiteral("run.hv3"));
        settings.SaveIntervalMin = 1;
        settings.StartDateTime = QDateTime(QDate(2026, 12, 8), QTime(12, 0, 1));
        settings.EndDateTime = settings.StartDateTime.addSecs(600);
    }
    QStringList logLines() const
    {
        QFile f(hs::RunLog::pathFor(settings.OutputFile));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    RunEvent notice(RunEvent::What what, const QString& text) const { return {what, text, {}}; }

    QTemporaryDir dir;
    hs::Clock clock{1.0};
    hs::MeasurementSettings settings;
    hs::RunLoopState state;
    hs::testing::RecordingObserver next;
};

// Every notice and message is on disk the moment it is reported (the program may be killed
// the next second), passed on unchanged; a second run on the same file adds to the log; a run
// stopped from outside the loop still gets its end summary, once.
TEST_F(RunLogTest, KeepsEachNoticeAsItComesAndEveryRunsEnd)
{
    {
        hs::RunLog log(settings, state, clock, next);
        log.started({settings.OutputFile});
        log.runEvent(notice(run::LinkLost{{1}}, QStringLiteral("2026/12/08 12:03 lost")));
        log.runEvent(notice(run::ReconnectAttempt{1}, QStringLiteral("再接続中 試行1")));
        log.runEvent(notice(run::RecordSaved{}, QString()));
        EXPECT_EQ(logLines().size(), 2) << "readable while the run goes on";
        log.runEvent(
            {run::WriteFailed{}, QStringLiteral("disk full"), hs::MessageSeverity::error()});
        state.SavesWritten = 3;
        state.RecordsMissing = 2;
        state.Gaps.push_back({settings.StartDateTime.addSecs(180),
                              settings.StartDateTime.addSecs(240), 2, QStringLiteral("断")});
        log.runEvent(notice(run::RunEnded{hs::RunOutcome::Incomplete, 3, 5, state.Gaps},
                            QStringLiteral("2026/12/08 12:10 測定終了: 記録 3件／予定 5件")));
        log.stopped();
    }
    ASSERT_EQ(next.events.size(), 5u) << "every event passed on";
    EXPECT_TRUE(next.events[1].is<run::ReconnectAttempt>());

    QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 5) << qPrintable(lines.join(u'\n'));
    EXPECT_TRUE(lines[0].contains(QStringLiteral("測定開始: 結果ファイル ") + settings.OutputFile));
    EXPECT_TRUE(lines[0].contains(QStringLiteral("2026/12/08 12:00～2026/12/08 12:10")));
    EXPECT_EQ(lines[1], QStringLiteral("2026/12/08 12:03 lost"));
    EXPECT_TRUE(lines[2].endsWith(QStringLiteral(" エラー: disk full"))) << qPrintable(lines[2]);
    EXPECT_EQ(lines[3], QStringLiteral("2026/12/08 12:10 測定終了: 記録 3件／予定 5件"));
    EXPECT_EQ(lines[4], QStringLiteral("  記録なし 2026/12/08 12:03～12:04（2件、断）"));

    // The next run on the same result file, stopped by the end button.
    hs::RunLog again(settings, state, clock, next);
    again.started({settings.OutputFile});
    again.stopped();
    again.runEvent(notice(run::RunEnded{hs::RunOutcome::Stopped, 3, 5, {}}, QString()));
    lines = logLines();
    ASSERT_EQ(lines.size(), 5 + 3) << qPrintable(lines.join(u'\n'));
    EXPECT_TRUE(lines[6].contains(QStringLiteral("測定を中断しました: 記録 3/5件、欠測 2件")));
}

// A log that cannot be written (here a folder is in its place) is said once, as a notice, and
// the run's reports go on to the screens as before.
TEST_F(RunLogTest, ALogThatCannotBeWrittenIsReportedAndTheRunGoesOn)
{
    ASSERT_TRUE(QDir().mkpath(hs::RunLog::pathFor(settings.OutputFile)));
    hs::RunLog log(settings, state, clock, next);
    log.started({settings.OutputFile});
    log.runEvent(notice(run::LinkLost{{1}}, QStringLiteral("2026/12/08 12:03 lost")));
    log.message(QStringLiteral("text"), hs::MessageSeverity::error());
    log.stopped();
    ASSERT_EQ(next.events.size(), 2u);
    const auto* failed = next.events[0].as<run::RunLogFailed>();
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(failed->path, hs::RunLog::pathFor(settings.OutputFile));
    EXPECT_EQ(next.events[0].display(), hs::RunEventDisplay::Notice);
    EXPECT_TRUE(next.events[0].text.contains(failed->path));
    EXPECT_TRUE(next.events[1].is<run::LinkLost>());
    EXPECT_EQ(next.messages.size(), 1u);
}

} // namespace
