#include "ui/MeasurementScreen.h"

#include "engine/InstrumentPreparation.h"
#include "engine/ResultFiles.h"
#include "engine/RunLoop.h"
#include "engine/SetupFlow.h"
#include "files/ResultFileReader.h"
#include "model/SettingsRules.h"
#include "recorder/ConnectionSetup.h"
#include "sim/SimServer.h"
#include "ui/RunNoticePanel.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include "support/OperatorScript.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

namespace {

// A nominal minute passes in 0.6 s.
constexpr double kScale = 0.01;
constexpr int kFeeders = 3;

// The desktop station connected to one simulated recorder, configured for three feeders and
// prepared as the preparation screen leaves it.
class LiveScreen : public ::testing::Test {
protected:
    void SetUp() override
    {
        server = std::make_unique<hs::sim::SimServer>(station.clock,
                                                      hs::sim::Scenario::defaultScenario(), 1);
        ASSERT_TRUE(server->listen(0, QHostAddress::LocalHost, 0));
        hs::ConnectionRequest request;
        request.addresses[0] = QStringLiteral("127.0.0.1");
        request.ports[0] = QString::number(server->port(0));
        request.recorderCount = 1;
        hs::NullObserver quiet;
        hs::ConnectionSetup setup(station.recorders, quiet);
        ASSERT_EQ(setup.initialise(request), hs::ConnectionStatus::Ok);

        hs::MeasurementSettings& s = station.settings;
        s.MeasureType() = 2;
        hs::buildFeederChannelMap(s, station.facts, kFeeders);
        s.LastFeeder = kFeeders - 1;
        s.OutputFile = dir.filePath(QStringLiteral("run.hv3"));
        s.OutputFolder = dir.path() + QStringLiteral("/");
        s.SaveIntervalMin = 1;
        // Every shot from the first one is past the start time: the first shot saves.
        s.StartDateTime = station.clock.now().addSecs(-60);
        s.EndDateTime = station.clock.now().addSecs(3600);

        hs::SetupFlow flow(station, quiet);
        ASSERT_TRUE(flow.prepare().ok());
        flow.acceptWiring();
        server->recorder(0).clearLog();
    }

    static QPushButton* button(QWidget& screen, const QString& name)
    {
        auto* b = screen.findChild<QPushButton*>(name);
        EXPECT_NE(b, nullptr) << qPrintable(name);
        return b;
    }
    static void pressSwitch(QWidget& screen, double xTwips)
    {
        QPushButton* sw = button(screen, QStringLiteral("Command4"));
        const QPointF at(xTwips / 15.0, 10.0);
        QMouseEvent press(QEvent::MouseButtonPress, at, sw->mapToGlobal(at), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(sw, &press);
        QMouseEvent release(QEvent::MouseButtonRelease, at, sw->mapToGlobal(at), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(sw, &release);
    }
    qint64 recordBytes() const
    {
        hs::RecordLayout layout;
        layout.saveOption = station.settings.SaveOption();
        layout.feeders = kFeeders;
        layout.orders256 = station.settings.Orders256;
        return layout.recordLength();
    }

    hs::Station station{kScale};
    std::unique_ptr<hs::sim::SimServer> server;
    QTemporaryDir dir;
};

TEST_F(LiveScreen, RunsOnItsOwnShowsTheResultsAndEndsWithTheEndButton)
{
    std::vector<std::pair<QString, QString>> messages;
    hs::MeasurementScreen screen(station, [&](const QString& text, const QString& title) {
        messages.emplace_back(text, title);
    });
    std::vector<int> endCodes;
    screen.setEndProgram([&](int code) { endCodes.push_back(code); });
    QStringList statuses, summaries;
    QObject::connect(&screen, &hs::MeasurementScreen::statusTextChanged,
                     [&](const QString& t) { statuses << t; });
    QObject::connect(&screen, &hs::MeasurementScreen::summaryTextChanged,
                     [&](const QString& t) { summaries << t; });
    auto* grid0 = screen.findChild<QTableView*>(QStringLiteral("Grid1(0)"));
    auto* grid1 = screen.findChild<QTableView*>(QStringLiteral("Grid1(1)"));
    auto* label1 = screen.findChild<QLabel*>(QStringLiteral("Label1"));
    ASSERT_TRUE(grid0 && grid1 && label1);
    const auto cell = [&](int g, int r, int c) {
        return screen.grids()[static_cast<std::size_t>(g)].text(r, c);
    };
    const QString shotsDir = qEnvironmentVariable("HS_SCREENSHOT_DIR");
    const auto shoot = [&](int view) {
        if (!shotsDir.isEmpty())
            screen.grab().save(
                QDir(shotsDir).filePath(QStringLiteral("measurement-view%1.png").arg(view)));
    };

    hs::test::OperatorScript script;
    qsizetype summariesAtSwitch = 0;
    QString voltsFeeder1;
    script.steps = {
        // The first analysis: summary line, status texts; view 1 keeps the grids hidden.
        {[&] { return !summaries.isEmpty(); },
         [&] {
             EXPECT_TRUE(label1->text().startsWith(QStringLiteral("F-1 基本波＝")));
             EXPECT_TRUE(button(screen, QStringLiteral("Command2"))->isHidden()) << "Running";
             EXPECT_TRUE(button(screen, QStringLiteral("Command1"))->isVisible());
             EXPECT_TRUE(grid0->isHidden());
             button(screen, QStringLiteral("Command3(1)"))->click();
             EXPECT_FALSE(grid0->isHidden()) << "view 2 is drawn at once";
             EXPECT_FALSE(grid1->isHidden());
             EXPECT_EQ(cell(0, 0, 5), QStringLiteral("位相差"));
             EXPECT_EQ(cell(0, 1, 2), QStringLiteral("100.0%"));
             EXPECT_TRUE(cell(0, 1, 1).endsWith(QLatin1Char('V')));
             EXPECT_EQ(cell(1, 50, 0), QStringLiteral("総合"));
             EXPECT_EQ(cell(0, 51, 0), QStringLiteral("実効値"));
             shoot(2);
         }},
        // The run goes on drawing view 2; then views 3 and 4 and the next feeder.
        {[&] { return summaries.size() >= 3; },
         [&] {
             button(screen, QStringLiteral("Command3(2)"))->click();
             EXPECT_EQ(cell(0, 0, 1), QStringLiteral("電圧１"));
             EXPECT_EQ(screen.grids()[0].columnCount(), 4);
             // The picture of this view shows the summary rows at the end of the grids.
             grid0->scrollToBottom();
             grid1->scrollToBottom();
             shoot(3);
             grid0->scrollToTop();
             grid1->scrollToTop();
             button(screen, QStringLiteral("Command3(3)"))->click();
             EXPECT_EQ(cell(0, 0, 1), QStringLiteral("電流１"));
             voltsFeeder1 = cell(0, 1, 1);
             pressSwitch(screen, 1000); // the right half: the next feeder
             EXPECT_EQ(screen.CurrentChannel(), 1);
             EXPECT_NE(cell(0, 1, 1), voltsFeeder1) << "feeder 2 shown at once";
             summariesAtSwitch = summaries.size();
         }},
        // The next shots show view 4 of feeder 2; view 5 next.
        {[&] { return summaries.size() >= summariesAtSwitch + 2; },
         [&] {
             EXPECT_EQ(cell(0, 0, 1), QStringLiteral("電流１"));
             shoot(4);
             button(screen, QStringLiteral("Command3(4)"))->click();
             EXPECT_EQ(cell(0, 0, 2), QStringLiteral("位相角"));
             EXPECT_TRUE(cell(1, 50, 0).isEmpty());
             shoot(5);
         }},
        // At least two records saved: the end button.
        {[&] {
             return QFileInfo(station.settings.OutputFile).size() >= 2 * recordBytes() &&
                    summaries.size() >= summariesAtSwitch + 4;
         },
         [&] {
             EXPECT_FALSE(screen.close()) << "the window stays while the run goes on";
             EXPECT_TRUE(screen.isVisible());
             button(screen, QStringLiteral("Command1"))->click();
         }},
    };
    script.start();

    screen.show();
    EXPECT_TRUE(station.clock.waitUntil([&] { return screen.runStatus() != -1; }, 3600 * 1000));
    EXPECT_TRUE(script.done()) << "steps done: " << script.next;
    EXPECT_EQ(screen.runStatus(), hs::RunStopped);
    EXPECT_EQ(endCodes, std::vector<int>{0});
    EXPECT_TRUE(messages.empty());

    // The status line went through the texts of a shot.
    for (const char* text : {"測定中", "周波数確認中", "データ表示中", "ＦＦＴ演算中"})
        EXPECT_TRUE(statuses.contains(QString::fromUtf8(text))) << text;
    EXPECT_TRUE(std::any_of(statuses.begin(), statuses.end(), [](const QString& s) {
        return s.startsWith(QStringLiteral("基本周波数 "));
    }));
    // Later summaries are those of feeder 2 (its current differs from feeder 1's).
    EXPECT_NE(summaries.last().section(QLatin1Char(';'), 1, 1),
              summaries.first().section(QLatin1Char(';'), 1, 1));

    // The end: ":ABORT", the link closed, whole records in the file.
    EXPECT_TRUE(station.clock.waitUntil([&] { return server->connectionCount(0) == 0; }, 5000));
    EXPECT_EQ(server->recorder(0).commandLines().last(), QStringLiteral(":ABORT"));
    const qint64 size = QFileInfo(station.settings.OutputFile).size();
    EXPECT_GE(size, 2 * recordBytes());
    EXPECT_EQ(size % recordBytes(), 0);
    hs::ResultFile file;
    QString error;
    ASSERT_TRUE(hs::ReadResultFile(station.settings.OutputFile, file, error)) << qPrintable(error);
    ASSERT_GE(file.records.size(), 2u);
    for (std::size_t i = 0; i < file.records.size(); ++i) {
        const hs::ResultRecord& r = file.records[i];
        EXPECT_NEAR(r.voltage.at(0), 6600.0, 66.0) << "record " << i;
        EXPECT_EQ(r.current.size(), static_cast<std::size_t>(kFeeders));
        if (i > 0) { // one record a minute
            EXPECT_EQ(file.records[i - 1].time.secsTo(r.time), 60) << "record " << i;
        }
    }
}

// A view button pressed while a shot is analysed (the analysis pumps events between its stages,
// its result arrays half written) draws the last whole shot: every cell of both grids is the
// snapshot's, and the snapshot is that of the last summary shown.
TEST_F(LiveScreen, AViewPressedDuringTheAnalysisDrawsTheLastWholeShot)
{
    hs::MeasurementScreen screen(station, [](const QString&, const QString&) {});
    screen.setEndProgram([](int) {});
    qint64 summaries = 0;
    QObject::connect(&screen, &hs::MeasurementScreen::summaryTextChanged,
                     [&](const QString&) { ++summaries; });
    bool checked = false;
    const auto pressDuringTheAnalysis = [&] {
        button(screen, QStringLiteral("Command3(1)"))->click();
        const hs::ShotSnapshot* shot = screen.lastShot();
        ASSERT_NE(shot, nullptr);
        EXPECT_EQ(shot->Shot, summaries);
        hs::ResultGridPair expected;
        hs::PrepareResultGrids(expected, shot->Settings.MaxHarmonicOrder);
        ASSERT_TRUE(
            hs::FillResultTables(expected, 2, shot->Settings, shot->Data, screen.CurrentChannel()));
        const auto cells = [](const hs::ResultGridPair& grids) {
            QStringList all;
            for (const hs::ResultGrid& grid : grids)
                for (int r = 0; r < grid.rowCount(); ++r)
                    for (int c = 0; c < grid.columnCount(); ++c)
                        all << grid.text(r, c);
            return all.join(QLatin1Char('|')).toStdString();
        };
        EXPECT_EQ(cells(screen.grids()), cells(expected));
        checked = true;
        button(screen, QStringLiteral("Command1"))->click();
    };
    QObject::connect(&screen, &hs::MeasurementScreen::statusTextChanged, [&](const QString& t) {
        if (checked || summaries < 2 || t != QStringLiteral("ＦＦＴ演算中"))
            return;
        // What arrays half written look like: values of no shot.
        std::fill(station.data.VoltByOrder.begin() + 1, station.data.VoltByOrder.end(), 1234.5f);
        QTimer::singleShot(0, &screen, pressDuringTheAnalysis);
    });
    screen.show();
    EXPECT_TRUE(station.clock.waitUntil([&] { return screen.runStatus() != -1; }, 3600 * 1000));
    EXPECT_TRUE(checked);
    EXPECT_EQ(screen.runStatus(), hs::RunStopped);
}

// The end time ends the program (the links and the files already closed by the run).
TEST_F(LiveScreen, TheEndTimeEndsTheProgram)
{
    // One save time, at the end a minute ahead (save times that passed before the run began
    // would be missing).
    station.settings.StartDateTime = station.clock.now().addSecs(60);
    station.settings.EndDateTime = station.settings.StartDateTime;
    hs::MeasurementScreen screen(
        station, [](const QString& text, const QString&) { ADD_FAILURE() << qPrintable(text); });
    std::vector<int> endCodes;
    screen.setEndProgram([&](int code) { endCodes.push_back(code); });
    screen.activate();
    EXPECT_EQ(screen.runStatus(), hs::RunEnded);
    EXPECT_EQ(endCodes, std::vector<int>{0});
    EXPECT_TRUE(station.clock.waitUntil([&] { return server->connectionCount(0) == 0; }, 5000));
    EXPECT_GE(QFileInfo(station.settings.OutputFile).size(), recordBytes());
    // The desktop program keeps the run's log beside the result file, as `measure` does.
    QFile log(station.settings.OutputFile + QStringLiteral(".log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString logged = QString::fromUtf8(log.readAll());
    EXPECT_TRUE(logged.contains(QStringLiteral("測定開始: 結果ファイル "))) << qPrintable(logged);
    EXPECT_TRUE(logged.contains(QStringLiteral("測定終了: 記録 "))) << qPrintable(logged);
}

// A run whose save times pass without a shot ends at its end time saying so, with a status of
// its own, never as a complete run.
TEST_F(LiveScreen, AnEndTimeWithMissingRecordsIsReportedBeforeTheProgramEnds)
{
    station.settings.EndDateTime = station.clock.now().addSecs(150);
    hs::sim::FaultPlan never;
    never.noTrigger = true;
    server->recorder(0).setFaults(never);
    std::vector<QString> messages;
    hs::MeasurementScreen screen(
        station, [&](const QString& text, const QString&) { messages.push_back(text); });
    std::vector<int> endCodes;
    screen.setEndProgram([&](int code) {
        endCodes.push_back(code);
        // The operator has been told by then.
        EXPECT_FALSE(messages.empty());
    });
    screen.activate();
    EXPECT_EQ(screen.runStatus(), hs::RunEndedIncomplete);
    EXPECT_EQ(endCodes, std::vector<int>{hs::MeasurementScreen::kEndIncomplete});
    ASSERT_FALSE(messages.empty());
    const QString& last = messages.back();
    EXPECT_TRUE(last.startsWith(hs::MeasurementScreen::kRunIncompleteText)) << qPrintable(last);
    EXPECT_TRUE(last.contains(QStringLiteral("記録 0/"))) << qPrintable(last);
    EXPECT_TRUE(last.contains(QStringLiteral("記録なし"))) << qPrintable(last);
    // The screen's notice list keeps the run's account to the end.
    const QStringList notices = screen.noticePanel().notices();
    EXPECT_FALSE(notices.filter(QStringLiteral("記録なし")).isEmpty())
        << qPrintable(notices.join(u'\n'));
    EXPECT_FALSE(notices.filter(QStringLiteral("測定終了: 記録 0件")).isEmpty())
        << qPrintable(notices.join(u'\n'));
}

} // namespace
