// The measurement screen during an outage, fed with the run's typed events: the views say they
// show an old shot, and the notices stay listed with their times.

#include "ui/MeasurementScreen.h"

#include "engine/RunLoop.h"
#include "ui/RunNoticePanel.h"

#include <QApplication>
#include <QLabel>
#include <QTableView>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace {

using hs::RunEvent;
namespace run = hs::run;

class RunNoticesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        station.settings.OutputFile = dir.filePath(QStringLiteral("feeder.hv3"));
        screen = std::make_unique<hs::MeasurementScreen>(
            station, [this](const QString& text, const QString&) { boxes << text; });
        screen->setEndProgram([](int) {});
    }
    void shot(const QDateTime& time)
    {
        station.data.VoltByOrder[1] = 6600.0f;
        auto snapshot = std::make_shared<hs::ShotSnapshot>();
        snapshot->Time = time;
        snapshot->Data = station.data;
        snapshot->Settings = station.settings;
        screen->observer().runEvent({run::ShotAnalysed{snapshot}, QStringLiteral("summary"), {}});
    }
    void event(RunEvent::What what, const QString& text)
    {
        screen->observer().runEvent({std::move(what), text, hs::MessageSeverity::error()});
    }
    QLabel* staleMark() const { return screen->findChild<QLabel*>(QStringLiteral("StaleMark")); }
    // The colour a grid's value cell is drawn in, when it is not the view's own.
    QVariant gridText() const
    {
        const auto* grid = screen->findChild<QTableView*>(QStringLiteral("Grid1(0)"));
        return grid->model()->index(0, 1).data(Qt::ForegroundRole);
    }

    QTemporaryDir dir;
    hs::Station station{0.01};
    std::unique_ptr<hs::MeasurementScreen> screen;
    QStringList boxes;
};

TEST_F(RunNoticesTest, AnOutageGreysTheViewsAndItsNoticesStayListed)
{
    ASSERT_FALSE(gridText().isValid());
    const QDateTime lastGood(QDate(2026, 12, 8), QTime(19, 40, 12));
    shot(lastGood);
    ASSERT_FALSE(screen->viewsStale());

    event(run::LinkLost{{1}},
          QStringLiteral("2026/12/08 19:41 測定器との接続が切れました: 測定器1"));
    EXPECT_TRUE(screen->viewsStale());
    ASSERT_NE(staleMark(), nullptr);
    EXPECT_FALSE(staleMark()->isHidden());
    EXPECT_TRUE(staleMark()->text().contains(QStringLiteral("2026/12/08 19:40:12")))
        << qPrintable(staleMark()->text());
    EXPECT_TRUE(gridText().isValid()) << "greyed";

    // The status line is overwritten by every attempt; the list keeps each notice.
    for (int attempt = 1; attempt <= 8; ++attempt)
        event(run::ReconnectAttempt{attempt},
              QStringLiteral("測定器に再接続中 試行%1").arg(attempt));
    event(run::LinkBack{480},
          QStringLiteral("2026/12/08 19:49 測定器と再接続しました（中断 8分）"));
    EXPECT_TRUE(screen->viewsStale()) << "no new shot yet";
    event(run::RecordsMissing{}, QStringLiteral("2026/12/08 19:49 記録なし …（7件）"));
    event(run::RecordSavedLate{}, QStringLiteral("2026/12/08 19:50 遅れ"));
    event(run::FileRecreated{}, QStringLiteral("2026/12/08 19:50 made again"));
    event(run::WriteFailed{}, QStringLiteral("cannot write"));
    EXPECT_EQ(boxes, QStringList{QStringLiteral("cannot write")});

    const QStringList notices = screen->noticePanel().notices();
    ASSERT_EQ(notices.size(), 6) << qPrintable(notices.join(u'\n'));
    EXPECT_TRUE(notices[0].endsWith(QStringLiteral("測定器1")));
    EXPECT_EQ(notices[1], QStringLiteral("2026/12/08 19:49 測定器と再接続しました（中断 8分）"));
    EXPECT_EQ(notices[2], QStringLiteral("2026/12/08 19:49 記録なし …（7件）"));
    EXPECT_TRUE(notices[5].endsWith(QStringLiteral(" エラー: cannot write")));
    EXPECT_TRUE(notices[5].startsWith(station.clock.now().toString(QStringLiteral("yyyy/MM/dd"))))
        << "a message gets the station time: " << qPrintable(notices[5]);

    shot(lastGood.addSecs(600));
    EXPECT_FALSE(screen->viewsStale());
    EXPECT_TRUE(staleMark()->isHidden());
    EXPECT_FALSE(gridText().isValid());
    EXPECT_EQ(screen->noticePanel().notices().size(), 6);
}

// What is saved and when: before the run the file, interval and period; during it the records
// written against the period's, the save times missed, the next save; before a start time in
// the future, that nothing is saved until then.
TEST(SavingText, SaysWhatIsSavedAndWhen)
{
    hs::MeasurementSettings s;
    s.OutputFile = QStringLiteral("/data/feeder.hv3");
    s.SaveIntervalMin = 5;
    s.StartDateTime = QDateTime(QDate(2026, 12, 8), QTime(21, 0, 1));
    s.EndDateTime = s.StartDateTime.addSecs(3600);
    hs::RunLoopState st;
    const QDateTime before = s.StartDateTime.addSecs(-1800);

    QString text = hs::SavingText(s, st, before, false, false);
    EXPECT_EQ(text, QStringLiteral("結果ファイル feeder.hv3　保存間隔 5分\n"
                                   "測定期間 2026/12/08 21:00～2026/12/08 22:00"));
    text = hs::SavingText(s, st, before, true, false);
    EXPECT_EQ(text, QStringLiteral("結果ファイル feeder.hv3　記録 0件／予定 13件　次の保存 "
                                   "2026/12/08 21:00\n測定期間 2026/12/08 21:00～2026/12/08 "
                                   "22:00　開始時刻までは表示のみで、記録は保存しません"));

    // Three records and one save time without a record: the next save is the fifth.
    st.SavesWritten = 3;
    st.RecordsMissing = 1;
    s.StartDateTime = s.StartDateTime.addSecs(4 * 300);
    text = hs::SavingText(s, st, s.StartDateTime.addSecs(-60), true, false);
    EXPECT_EQ(text, QStringLiteral("結果ファイル feeder.hv3　記録 3件／予定 13件、欠測 1件　"
                                   "次の保存 2026/12/08 21:20\n"
                                   "測定期間 2026/12/08 21:00～2026/12/08 22:00"));
    EXPECT_TRUE(
        hs::SavingText(s, st, s.EndDateTime, true, true).contains(QStringLiteral("次の保存 なし")));
}

} // namespace
