// The operator's whole path through the desktop program against two simulated recorders in this
// process, with real clicks and key entry on the widgets found by their screen names; and every
// way the program ends, with what each one sends the recorders.

#include "ui/DesktopScreens.h"
#include "app/DesktopTestSupport.h"

#include "ui/MeasurementScreen.h"
#include "files/ResultFileReader.h"
#include "ui/ConnectionScreen.h"
#include "ui/PreparationScreen.h"
#include "ui/RcComplementScreen.h"
#include "ui/SettingsScreen.h"
#include "sim/SimServer.h"
#include "engine/ResultFiles.h"
#include "support/UnwritableFolder.h"
#include "web/StatusServer.h"
#include "web/WebTestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "support/ScenarioPhasor.h"

#include "support/OperatorScript.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <complex>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <numbers>
#include <vector>

namespace {

// A nominal minute passes in 0.6 s.
constexpr double kScale = 0.01;
constexpr int kFeeders = 3;
// As the end-to-end measurement allows: 1 % of the value and 0.05 % of the fundamental.
constexpr double kFloor = 0.0005;

using desktoptest::child;
using desktoptest::click;
using desktoptest::type;
using desktoptest::whenModal;

class DesktopFlow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(base_.listen(hs::sim::Scenario::defaultScenario(), 2,
                                 hs::testing::SimulatedStation::Ports::EndingIn2));
        for (int r = 0; r < 2; ++r) {
            sim->recorder(r).setLogListener([this, r](int, const hs::sim::CommandLogEntry& e) {
                events << QStringLiteral("%1 %2").arg(r).arg(e.line);
            });
        }
        QObject::connect(sim.get(), &hs::sim::SimServer::connectionClosed,
                         [this](int r) { events << QStringLiteral("%1 closed").arg(r); });

        program = std::make_unique<hs::DesktopProgram>(station, QString());
        program->setMessageFunction([this](const QString& text, const QString&) {
            messages << text;
            sequence << QStringLiteral("message");
        });
        program->setEndProgram([this](int code) {
            // The process ends here: what the run had open must be closed by now.
            if (hs::MeasurementScreen* form03 = program->measurementScreen())
                resultFilesOpenAtEnd = form03->measurement().Files().IsOpen();
            endCodes.push_back(code);
            sequence << QStringLiteral("end %1").arg(code);
        });
        program->show();
    }

    hs::ConnectionScreen& tcpCont() { return program->connectionScreen(); }
    hs::SettingsScreen* form01() { return program->settingsScreen(); }

    // Two recorders, their addresses and ports typed in, and CommandInit.
    void connectRecorders()
    {
        click(child<QRadioButton>(&tcpCont(), QStringLiteral("Option1(1)")));
        for (int r = 0; r < 2; ++r) {
            type(child<QLineEdit>(&tcpCont(), QStringLiteral("IPAdrs(%1)").arg(r)),
                 QStringLiteral("127.0.0.1"));
            type(child<QLineEdit>(&tcpCont(), QStringLiteral("POTNo(%1)").arg(r)),
                 QString::number(sim->port(r)));
        }
        click(child<QPushButton>(&tcpCont(), QStringLiteral("CommandInit")));
    }
    // The events from `from` on once at least `count` of them have come (nominal 5 s at most).
    QStringList eventsFrom(qsizetype from, qsizetype count)
    {
        station.clock.waitUntil([&] { return events.size() >= from + count; }, 5000);
        return events.mid(from);
    }
    // Waits until `event` has happened `count` times (nominal 5 s at most).
    void waitForCount(const QString& event, qsizetype count)
    {
        station.clock.waitUntil([&] { return events.count(event) >= count; }, 5000);
    }
    // Both of Form01's buttons greyed now, and enabled again after the lock-out.
    void expectLockOut()
    {
        auto* start = child<QPushButton>(form01(), QStringLiteral("Command4"));
        auto* end = child<QPushButton>(form01(), QStringLiteral("Command5"));
        EXPECT_TRUE(form01()->lockOutRunning());
        EXPECT_FALSE(start->isEnabled());
        EXPECT_FALSE(end->isEnabled());
        EXPECT_TRUE(station.clock.waitUntil([&] { return end->isEnabled(); }, 20000));
    }
    static QStringList autoLines()
    {
        return {QStringLiteral("0 :AUTO"), QStringLiteral("1 :AUTO")};
    }
    static QStringList abortLines()
    {
        return {QStringLiteral("0 :ABORT"), QStringLiteral("0 closed"), QStringLiteral("1 :ABORT"),
                QStringLiteral("1 closed")};
    }

    hs::testing::SimulatedStation base_{kScale};
    hs::Station& station = base_.station;
    std::unique_ptr<hs::sim::SimServer>& sim = base_.server;
    std::unique_ptr<hs::DesktopProgram> program;
    QStringList events;   // "0 :AUTO", "1 closed", ... in the order they happened
    QStringList messages; // message boxes
    QStringList sequence; // message boxes and the end, in order
    std::vector<int> endCodes;
    bool resultFilesOpenAtEnd = false;
    QTemporaryDir dir;
};

// What one recorder received, in order, without the shots' many lines.
QStringList linesOf(const QStringList& events, int r)
{
    QStringList lines;
    const QString prefix = QStringLiteral("%1 ").arg(r);
    for (const QString& e : events)
        if (e.startsWith(prefix))
            lines << e.mid(prefix.size());
    return lines;
}

// The lines the initialisation sends each recorder, in order.
void expectInitialisation(const QStringList& lines)
{
    const QStringList head{QStringLiteral("*CLS"),
                           QStringLiteral("*IDN?"),
                           QStringLiteral("*OPT?"),
                           QStringLiteral("*RST"),
                           QStringLiteral(":DISP:CHAN DISP;:FUNM MEM;:CONF:TDIV 5E-4;SHOT 50"),
                           QStringLiteral(":HEAD OFF")};
    ASSERT_GE(lines.size(), head.size() + 2);
    EXPECT_EQ(lines.mid(0, head.size()), head);
    EXPECT_TRUE(lines[head.size()].startsWith(QStringLiteral(":SYST:DATE ")));
    EXPECT_TRUE(lines[head.size() + 1].startsWith(QStringLiteral(":SYST:TIME ")));
}

// The configuration of a preparation and its check shot, in order, from `from` on; the index
// after the check shot's ":STAR".
qsizetype expectConfiguration(const QStringList& lines, qsizetype from)
{
    qsizetype at = from - 1;
    for (const char* line : {":ABORT", ":HEAD OFF",
                             ":CONF:TDIV +500E-6;SHOT 100;FORM QUAD;"
                             ":DISP:XMAG X1_5",
                             ":UNIT:ADJUST", ":STAR"}) {
        const qsizetype found = lines.indexOf(QString::fromLatin1(line), at + 1);
        EXPECT_GT(found, at) << line << " after line " << at;
        if (found > at)
            at = found;
    }
    return at + 1;
}

// The operator's path, step by step.
class OperatorPath : public DesktopFlow {
public:
    using Phase = hs::PreparationScreen::Phase;
    static bool inPhase(QWidget* form, Phase phase)
    {
        return static_cast<hs::PreparationScreen*>(form)->phase() == phase;
    }

    void connectAndOpenTheSettings()
    {
        // Connection screen: two recorders, then the settings screen in its place.
        connectRecorders();
        EXPECT_TRUE(messages.isEmpty()) << qPrintable(messages.join('\n'));
        EXPECT_FALSE(tcpCont().isVisible());
        ASSERT_NE(form01(), nullptr);
        EXPECT_TRUE(form01()->isVisible());
        EXPECT_EQ(station.facts.LastRecorder, 1);
        for (int r = 0; r < 2; ++r) {
            SCOPED_TRACE(r);
            expectInitialisation(linesOf(events, r));
        }

        // Settings screen: ":AUTO" to recorder 1 then 2, and the lock-out.
        waitForCount(QStringLiteral("1 :AUTO"), 1);
        EXPECT_EQ(events.mid(events.size() - 2), autoLines());
        EXPECT_EQ(events.count(QStringLiteral("0 :AUTO")), 1);
        expectLockOut();
    }

    void enterTheSetUp()
    {
        // Three feeders, a save every minute, the output file.
        auto* feeders = child<QComboBox>(form01(), QStringLiteral("Combo1"));
        feeders->setFocus(Qt::TabFocusReason);
        QTest::keyClick(feeders, Qt::Key_Home);
        for (int i = 1; i < kFeeders; ++i)
            QTest::keyClick(feeders, Qt::Key_Down);
        ASSERT_EQ(feeders->currentText(), QString::number(kFeeders));
        type(child<QLineEdit>(form01(), QStringLiteral("Text7")), QStringLiteral("1"));
        feeders->setFocus(Qt::TabFocusReason);
        const QString chosen = dir.filePath(QStringLiteral("flow"));
        form01()->setOutputFileDialog([&] { return chosen; });
        click(child<QPushButton>(form01(), QStringLiteral("Command10")));
        EXPECT_EQ(station.settings.LastFeeder, kFeeders - 1);
        EXPECT_EQ(station.settings.SaveIntervalMin, 1);
        EXPECT_TRUE(station.settings.OutputFile.startsWith(chosen))
            << qPrintable(station.settings.OutputFile);
        EXPECT_EQ(child<QLabel>(form01(), QStringLiteral("Label7"))->text(),
                  station.settings.OutputFile);
    }

    void openAndCloseTheRcComplement()
    {
        // The R-C complement screen, modal, opened by a double-click and closed with 設定終了:
        // the settings screen is activated again.
        bool rcWasModal = false;
        whenModal(
            QStringLiteral("Form04"), [](QWidget*) { return true; },
            [&](QWidget* form) {
                rcWasModal = qobject_cast<QDialog*>(form) && static_cast<QDialog*>(form)->isModal();
                auto* done = child<QPushButton>(form, QStringLiteral("Command1"));
                EXPECT_EQ(done->text(), QStringLiteral("設定終了"));
                click(done);
            });
        const qsizetype mark = events.size();
        auto* option4 = child<QRadioButton>(form01(), QStringLiteral("Option8(4)"));
        QTest::mouseDClick(option4, Qt::LeftButton, {}, QPoint(8, option4->height() / 2));
        EXPECT_TRUE(rcWasModal);
        ASSERT_NE(form01()->rcComplementScreen(), nullptr);
        EXPECT_FALSE(form01()->rcComplementScreen()->isVisible());
        waitForCount(QStringLiteral("1 :AUTO"), 2);
        EXPECT_EQ(events.mid(mark), autoLines());
        expectLockOut();
        // Back to the default save option.
        click(child<QRadioButton>(form01(), QStringLiteral("Option8(3)")));
        EXPECT_EQ(station.settings.SaveOption(), 3);
    }

    void startAndCancel()
    {
        // Start; the preparation configures the recorders and takes its check shot; キャンセル.
        bool busyPointer = false;
        whenModal(
            QStringLiteral("Form02"), [](QWidget* form) { return inPhase(form, Phase::Busy); },
            [&](QWidget*) { busyPointer = form01()->cursor().shape() == Qt::WaitCursor; });
        whenModal(
            QStringLiteral("Form02"), [](QWidget* form) { return inPhase(form, Phase::Confirm); },
            [&](QWidget* form) { click(child<QPushButton>(form, QStringLiteral("Command1(0)"))); });
        const qsizetype mark = events.size();
        click(child<QPushButton>(form01(), QStringLiteral("Command4")));
        EXPECT_TRUE(busyPointer) << "the hourglass on the settings screen while preparing";
        EXPECT_FALSE(station.settings.StartConfirmed);
        EXPECT_TRUE(form01()->isVisible());
        EXPECT_EQ(form01()->cursor().shape(), Qt::ArrowCursor);
        EXPECT_EQ(program->measurementScreen(), nullptr);
        {
            waitForCount(QStringLiteral("1 :AUTO"), 3);
            const QStringList cancelled = events.mid(mark);
            const QStringList r0 = linesOf(cancelled, 0);
            const qsizetype after = expectConfiguration(r0, 0);
            // The idle set-up after キャンセル, then ":AUTO" of the activation.
            const QStringList tail{
                QStringLiteral(":DISP:CHAN DISP;:FUNM MEM;:CONF:TDIV 5E-4;SHOT 50"),
                QStringLiteral(":HEAD OFF"), QStringLiteral(":AUTO")};
            EXPECT_EQ(r0.mid(r0.size() - 3), tail) << "after line " << after;
            EXPECT_EQ(cancelled.mid(cancelled.size() - 2), autoLines());
        }
        expectLockOut();
    }

    void startAndConfirm()
    {
        // Start again and confirm with ＯＫ: the measurement screen takes over by itself.
        whenModal(
            QStringLiteral("Form02"), [](QWidget* form) { return inPhase(form, Phase::Confirm); },
            [&](QWidget* form) { click(child<QPushButton>(form, QStringLiteral("Command1(1)"))); });
        const qsizetype mark = events.size();
        click(child<QPushButton>(form01(), QStringLiteral("Command4")));
        EXPECT_TRUE(station.settings.StartConfirmed);
        EXPECT_FALSE(form01()->isVisible());
        form03 = program->measurementScreen();
        ASSERT_NE(form03, nullptr);
        EXPECT_TRUE(form03->isVisible());
        EXPECT_EQ(form03->windowTitle(), hs::MeasurementScreen::caption());
        EXPECT_EQ(events.mid(mark).count(QStringLiteral("0 :AUTO")), 0)
            << "no set-up once confirmed";
    }

    // Returns the number of records written when the end button was pressed.
    qint64 runTwoSaveIntervalsAndEnd()
    {
        // The run: views and the feeder switched while it goes on, two save intervals, the end.
        QStringList summaries;
        QObject::connect(form03, &hs::MeasurementScreen::summaryTextChanged,
                         [&](const QString& t) { summaries << t; });
        hs::RecordLayout layout;
        layout.saveOption = 3;
        layout.feeders = kFeeders;
        const auto recordsWritten = [&] {
            return QFileInfo(station.settings.OutputFile).size() / layout.recordLength();
        };
        qint64 recordsAtEnd = 0;
        QDateTime runStart;
        hs::test::OperatorScript script;
        script.steps = {
            {[&] { return !summaries.isEmpty(); },
             [&] {
                 runStart = station.clock.now();
                 EXPECT_EQ(form03->CurrentView(), 1) << "the graph view first";
                 click(child<QPushButton>(form03, QStringLiteral("Command3(1)")));
                 EXPECT_EQ(form03->CurrentView(), 2);
                 EXPECT_EQ(form03->grids()[0].text(0, 5), QStringLiteral("位相差"));
             }},
            {[&] { return summaries.size() >= 3; },
             [&] {
                 // "+" on the right part of the channel switch: feeder 2.
                 auto* sw = child<QPushButton>(form03, QStringLiteral("Command4"));
                 QTest::mouseClick(sw, Qt::LeftButton, {},
                                   QPoint(sw->width() - 5, sw->height() / 2));
                 EXPECT_EQ(form03->CurrentChannel(), 1);
                 click(child<QPushButton>(form03, QStringLiteral("Command3(0)")));
                 EXPECT_EQ(form03->CurrentView(), 1);
             }},
            {[&] { return recordsWritten() >= 3 && runStart.secsTo(station.clock.now()) >= 120; },
             [&] {
                 recordsAtEnd = recordsWritten();
                 click(child<QPushButton>(form03, QStringLiteral("Command1")));
             }},
        };
        script.start();
        const qsizetype mark = events.size();
        EXPECT_TRUE(station.clock.waitUntil([&] { return !endCodes.empty(); }, 3600 * 1000));
        EXPECT_TRUE(script.done()) << "steps done: " << script.next;
        EXPECT_EQ(endCodes, std::vector<int>{0});
        EXPECT_FALSE(resultFilesOpenAtEnd);
        EXPECT_TRUE(messages.isEmpty()) << qPrintable(messages.join('\n'));

        // The recorders: zero adjustment and shots, then ":ABORT" to 1 and 2, each link closed
        // after its command, and nothing after.
        const QStringList run = eventsFrom(mark, 1);
        const QStringList r0 = linesOf(run, 0);
        EXPECT_GE(r0.count(QStringLiteral(":STAR")), 3);
        EXPECT_GE(linesOf(run, 1).count(QStringLiteral(":STAR")), 3);
        EXPECT_GT(r0.count(QStringLiteral(":MEM:MAXP?")), 0);
        EXPECT_TRUE(std::any_of(r0.begin(), r0.end(),
                                [](const QString& l) { return l.startsWith(":MEM:BDAT? "); }));
        station.clock.waitMs(2000);
        const QStringList all = events.mid(mark);
        EXPECT_EQ(all.mid(all.size() - 4), abortLines());
        EXPECT_EQ(all.count(QStringLiteral("0 :ABORT")), 1);
        EXPECT_EQ(sim->connectionCount(0) + sim->connectionCount(1), 0);

        return recordsAtEnd;
    }

    void expectTheScenarioInTheResultFile(qint64 recordsAtEnd)
    {
        // The result file: whole records a minute apart, the scenario's values.
        hs::ResultFile file;
        QString error;
        ASSERT_TRUE(hs::ReadResultFile(station.settings.OutputFile, file, error))
            << qPrintable(error);
        EXPECT_FALSE(file.truncated());
        ASSERT_GE(file.records.size(), 3u);
        EXPECT_EQ(static_cast<qint64>(file.records.size()), recordsAtEnd);
        const hs::sim::Scenario& sc = sim->scenario();
        const double vrs1 = std::abs(hs::test::ScenarioPhasor(sc, QStringLiteral("V R-S"), 1));
        for (std::size_t n = 0; n < file.records.size(); ++n) {
            SCOPED_TRACE(n);
            const hs::ResultRecord& rec = file.records[n];
            if (n > 0) {
                EXPECT_EQ(file.records[n - 1].time.secsTo(rec.time), 60);
            }
            ASSERT_EQ(rec.current.size(), static_cast<std::size_t>(kFeeders));
            for (std::size_t i = 0; i < file.orders.size(); ++i) {
                const int h = file.orders[i];
                SCOPED_TRACE(h);
                const double v = hs::test::ScenarioVoltageMean(sc, h);
                EXPECT_NEAR(rec.voltage.at(i), v, 0.01 * v + kFloor * vrs1);
                for (int f = 0; f < kFeeders; ++f) {
                    const double fundamental = hs::test::ScenarioCurrentFundamental(sc, f);
                    const double c = hs::test::ScenarioCurrentMean(sc, f, h);
                    EXPECT_NEAR(rec.current[static_cast<std::size_t>(f)].at(i), c,
                                0.01 * c + kFloor * fundamental)
                        << "feeder " << f;
                }
            }
        }
    }

    hs::MeasurementScreen* form03 = nullptr;
};

TEST_F(OperatorPath, FromConnectionToTheEndOfTheMeasurement)
{
    for (const auto step : {&OperatorPath::connectAndOpenTheSettings, &OperatorPath::enterTheSetUp,
                            &OperatorPath::openAndCloseTheRcComplement,
                            &OperatorPath::startAndCancel, &OperatorPath::startAndConfirm}) {
        (this->*step)();
        if (HasFatalFailure())
            return;
    }
    const qint64 records = runTwoSaveIntervalsAndEnd();
    expectTheScenarioInTheResultFile(records);
}

// A window activation of the settings screen that arrives while the preparation screen is up
// (one the window system had under way when 測定開始 was clicked on an inactive window) is not
// the return from the preparation: it must neither start the recorders' set-up in the middle of
// the preparation nor use up the hand-over to the measurement screen.
TEST_F(DesktopFlow, AnActivationDuringThePreparationLeavesTheHandOverToItsEnd)
{
    connectRecorders();
    ASSERT_NE(form01(), nullptr);
    const QString chosen = dir.filePath(QStringLiteral("early"));
    form01()->setOutputFileDialog([&] { return chosen; });
    click(child<QPushButton>(form01(), QStringLiteral("Command10")));
    waitForCount(QStringLiteral("1 :AUTO"), 1);
    expectLockOut();

    whenModal(
        QStringLiteral("Form02"),
        [](QWidget* form) {
            return static_cast<hs::PreparationScreen*>(form)->phase() ==
                   hs::PreparationScreen::Phase::Busy;
        },
        [&](QWidget*) {
            QEvent activation(QEvent::WindowActivate);
            QApplication::sendEvent(form01(), &activation);
        });
    const auto confirming = [](QWidget* form) {
        return static_cast<hs::PreparationScreen*>(form)->phase() ==
               hs::PreparationScreen::Phase::Confirm;
    };
    whenModal(QStringLiteral("Form02"), confirming, [&](QWidget* form) {
        click(child<QPushButton>(form, QStringLiteral("Command1(1)")));
    });
    const qsizetype mark = events.size();
    click(child<QPushButton>(form01(), QStringLiteral("Command4")));
    EXPECT_EQ(events.mid(mark).count(QStringLiteral("0 :AUTO")), 0);
    EXPECT_TRUE(station.settings.StartConfirmed);
    EXPECT_FALSE(form01()->isVisible());
    ASSERT_NE(program->measurementScreen(), nullptr);
    EXPECT_TRUE(program->measurementScreen()->isVisible());
}

// The same for the R-C complement screen: the recorders' set-up and the lock-out follow its
// closing, not an activation that arrived while it was up.
TEST_F(DesktopFlow, AnActivationWhileTheRcComplementIsUpWaitsForItsClosing)
{
    connectRecorders();
    ASSERT_NE(form01(), nullptr);
    waitForCount(QStringLiteral("1 :AUTO"), 1);
    expectLockOut();
    QStringList whileUp;
    whenModal(
        QStringLiteral("Form04"), [](QWidget*) { return true; },
        [&](QWidget* form) {
            QEvent activation(QEvent::WindowActivate);
            QApplication::sendEvent(form01(), &activation);
            station.clock.waitMs(500);
            whileUp = events;
            click(child<QPushButton>(form, QStringLiteral("Command1")));
        });
    const qsizetype mark = events.size();
    auto* option4 = child<QRadioButton>(form01(), QStringLiteral("Option8(4)"));
    QTest::mouseDClick(option4, Qt::LeftButton, {}, QPoint(8, option4->height() / 2));
    EXPECT_EQ(whileUp.size(), mark) << qPrintable(whileUp.join('\n'));
    EXPECT_TRUE(form01()->lockOutRunning());
    waitForCount(QStringLiteral("1 :AUTO"), 2);
    EXPECT_EQ(events.mid(mark), autoLines());
}

// ---- A set-up that is never lost ---------------------------------------------------------

// An output folder that cannot be written is refused at 測定開始 before the recorders are
// prepared; result files that cannot be opened when the run starts (here: held by another
// run) bring the settings screen back with every setting as it was, and the next 測定開始
// measures.
TEST_F(OperatorPath, ABadOutputFileNeverLosesTheSetUp)
{
    if (!hs::testing::AsAnotherUser::possible())
        GTEST_SKIP() << "no folder can be made unwritable for this user";
    ASSERT_TRUE(program->serveStatusPage(hs::web::ServeOptions{}));
    connectRecorders();
    ASSERT_NE(form01(), nullptr);
    type(child<QLineEdit>(form01(), QStringLiteral("Text7")), QStringLiteral("1"));
    const QString folder = dir.filePath(QStringLiteral("out"));
    form01()->setOutputFileDialog([&] { return folder + QStringLiteral("/run"); });
    click(child<QPushButton>(form01(), QStringLiteral("Command10")));
    ASSERT_TRUE(QFileInfo(folder).isDir()) << "made when chosen";
    expectLockOut();
    const hs::MeasurementSettings chosen = station.settings;

    ASSERT_TRUE(hs::testing::makeUnwritableFolder(folder));
    qsizetype mark = events.size();
    {
        hs::testing::AsAnotherUser nobody;
        click(child<QPushButton>(form01(), QStringLiteral("Command4")));
    }
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains(folder)) << qPrintable(messages[0]);
    EXPECT_TRUE(messages[0].contains(QString::fromLocal8Bit(std::strerror(EACCES))));
    station.clock.waitMs(500);
    EXPECT_EQ(events.size(), mark) << "nothing sent to the recorders";
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0755), 0);

    hs::ResultFileLock otherRun;
    whenModal(
        QStringLiteral("Form02"), [](QWidget* form) { return inPhase(form, Phase::Confirm); },
        [&](QWidget* form) {
            ASSERT_TRUE(otherRun.take(station.settings.OutputFile).ok());
            click(child<QPushButton>(form, QStringLiteral("Command1(1)")));
        });
    click(child<QPushButton>(form01(), QStringLiteral("Command4")));
    // The measurement screen's message, then the settings screen's.
    EXPECT_TRUE(station.clock.waitUntil(
        [&] { return messages.size() == 3 && program->measurementScreen() == nullptr; }, 60000));
    ASSERT_EQ(messages.size(), 3);
    EXPECT_TRUE(messages[2].contains(QStringLiteral("別の測定が使用中")))
        << qPrintable(messages[2]);
    EXPECT_TRUE(messages[2].contains(QStringLiteral("設定はそのままです")));
    EXPECT_TRUE(endCodes.empty());
    EXPECT_TRUE(form01()->isVisible());
    EXPECT_FALSE(station.settings.StartConfirmed);
    EXPECT_EQ(station.settings.OutputFile, chosen.OutputFile);
    EXPECT_EQ(station.settings.SaveIntervalMin, 1);
    EXPECT_EQ(child<QLineEdit>(form01(), QStringLiteral("Text7"))->text(), QStringLiteral("1"));
    // The status page waits again instead of showing a run that never started.
    auto page = std::async(std::launch::async, [port = program->statusServer()->port()] {
        return webtest::get(port, "/api/status");
    });
    station.clock.waitUntil(
        [&] { return page.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        600000);
    EXPECT_TRUE(page.get().json()[QStringLiteral("waiting")].toBool());
    expectLockOut();

    otherRun.release();
    whenModal(
        QStringLiteral("Form02"), [](QWidget* form) { return inPhase(form, Phase::Confirm); },
        [&](QWidget* form) { click(child<QPushButton>(form, QStringLiteral("Command1(1)"))); });
    mark = events.size();
    click(child<QPushButton>(form01(), QStringLiteral("Command4")));
    form03 = program->measurementScreen();
    ASSERT_NE(form03, nullptr);
    // The run measures (its first shot started), then the end button.
    hs::test::OperatorScript script;
    script.steps = {{[&] { return linesOf(events.mid(mark), 0).contains(QStringLiteral(":STAR")); },
                     [&] { click(child<QPushButton>(form03, QStringLiteral("Command1"))); }}};
    script.start();
    EXPECT_TRUE(station.clock.waitUntil([&] { return !endCodes.empty(); }, 600000));
    EXPECT_EQ(endCodes, std::vector<int>{0});
    EXPECT_EQ(messages.size(), 3) << qPrintable(messages.join('\n'));
}

// A recorder switched off while the operator is on the settings screen: 測定開始 says so and
// prepares nothing; once it is back, 測定開始 connects again (identification and reset, then
// the automatic set-up and the lock-out), and the next one goes on to the preparation.
TEST_F(DesktopFlow, ARecorderLostBeforeTheRunIsToldAndConnectedAgain)
{
    connectRecorders();
    ASSERT_NE(form01(), nullptr);
    int preparations = 0;
    form01()->setOpenPreparation([&] { ++preparations; });
    form01()->setOutputFileDialog([&] { return dir.filePath(QStringLiteral("lost")); });
    click(child<QPushButton>(form01(), QStringLiteral("Command10")));
    expectLockOut();

    const quint16 ports[2] = {sim->port(0), sim->port(1)};
    sim.reset();
    EXPECT_TRUE(station.clock.waitUntil([&] { return !station.recorders[0].isOpen(); }, 5000));
    click(child<QPushButton>(form01(), QStringLiteral("Command4")));
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith(QStringLiteral("測定器1との接続が切れています")))
        << qPrintable(messages[0]);
    EXPECT_EQ(preparations, 0);

    sim = std::make_unique<hs::sim::SimServer>(station.clock, hs::sim::Scenario::defaultScenario(),
                                               2);
    for (int r = 0; r < 2; ++r) {
        ASSERT_TRUE(sim->listen(r, QHostAddress::LocalHost, ports[r]));
        sim->recorder(r).setLogListener([this, r](int, const hs::sim::CommandLogEntry& e) {
            events << QStringLiteral("%1 %2").arg(r).arg(e.line);
        });
    }
    const qsizetype mark = events.size();
    click(child<QPushButton>(form01(), QStringLiteral("Command4")));
    ASSERT_EQ(messages.size(), 2);
    EXPECT_TRUE(messages[1].contains(QStringLiteral("接続し直しました")))
        << qPrintable(messages[1]);
    EXPECT_EQ(preparations, 0);
    EXPECT_EQ(sim->connectionCount(0) + sim->connectionCount(1), 2);
    waitForCount(QStringLiteral("1 :AUTO"), 2);
    for (int r = 0; r < 2; ++r) {
        const QStringList lines = linesOf(events.mid(mark), r);
        EXPECT_TRUE(lines.contains(QStringLiteral("*IDN?")) &&
                    lines.contains(QStringLiteral("*RST")))
            << r;
        EXPECT_EQ(lines.last(), QStringLiteral(":AUTO")) << r;
    }
    expectLockOut();
    click(child<QPushButton>(form01(), QStringLiteral("Command4")));
    EXPECT_EQ(preparations, 1);
    EXPECT_EQ(messages.size(), 2);
}

// ---- Every way the program ends --------------------------------------------------------
// (The measurement screen's end button is the end of the operator's path above.)

TEST_F(DesktopFlow, TheConnectionScreensEndButtonEndsAtOnceWithoutAWord)
{
    click(child<QPushButton>(&tcpCont(), QStringLiteral("CommandEnd")));
    EXPECT_EQ(sequence, QStringList{QStringLiteral("end 0")});
    station.clock.waitMs(1000);
    EXPECT_TRUE(events.isEmpty()) << qPrintable(events.join('\n'));
    EXPECT_EQ(program->settingsScreen(), nullptr);
}

TEST_F(DesktopFlow, ARecorderWithoutInputsEndsAfterTheMessage)
{
    sim->recorder(1).setUnits({0, 0, 2});
    connectRecorders();
    EXPECT_EQ(sequence, (QStringList{QStringLiteral("message"), QStringLiteral("end 1")}));
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith(QStringLiteral("2台目の測定器8841")));
    EXPECT_TRUE(messages[0].endsWith(QStringLiteral("プログラムを終了します。")));
    // Recorder 2 was asked what it is and what it carries, and nothing else.
    station.clock.waitMs(1000);
    EXPECT_EQ(linesOf(events, 1), (QStringList{QStringLiteral("*CLS"), QStringLiteral("*IDN?"),
                                               QStringLiteral("*OPT?")}));
    EXPECT_EQ(program->settingsScreen(), nullptr);
}

TEST_F(DesktopFlow, TheSettingsScreensEndButtonAbortsEachRecorderAndClosesItsLink)
{
    connectRecorders();
    ASSERT_NE(form01(), nullptr);
    expectLockOut();
    const qsizetype mark = events.size();
    click(child<QPushButton>(form01(), QStringLiteral("Command5")));
    EXPECT_EQ(endCodes, std::vector<int>{0});
    EXPECT_EQ(eventsFrom(mark, 4), abortLines());
    station.clock.waitMs(1000);
    EXPECT_EQ(events.size(), mark + 4);
}

TEST_F(DesktopFlow, ClosingTheSettingsScreenEndsWithoutSendingAnything)
{
    connectRecorders();
    ASSERT_NE(form01(), nullptr);
    eventsFrom(events.size(), 0);
    station.clock.waitMs(1000);
    const qsizetype mark = events.size();
    form01()->close();
    EXPECT_EQ(endCodes, std::vector<int>{0});
    station.clock.waitMs(1000);
    EXPECT_EQ(events.mid(mark), QStringList{});
    EXPECT_EQ(sim->connectionCount(0) + sim->connectionCount(1), 2);
}

} // namespace
