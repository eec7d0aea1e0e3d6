#include "ui/SettingsScreen.h"

#include "engine/RunLoop.h"
#include "engine/Station.h"
#include "model/EngineObserver.h"
#include "recorder/ConnectionSetup.h"
#include "sim/SimServer.h"
#include "support/UnwritableFolder.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

using Message = std::pair<QString, QString>; // text, title

// Recorder 1 an 8841 with eight usable inputs, recorder 2 an 8840 with three (codes 3, 4, 7):
// eleven usable channels, so one to four feeders.
hs::RecorderFacts twoRecorderFacts()
{
    hs::RecorderFacts f;
    f.LastRecorder = 1;
    f.RecorderModel = {8841, 8840};
    for (std::size_t k = 0; k < 8; ++k)
        f.ChannelUnit[0][k] = k < 2 ? 1 : 4;
    f.ChannelUnit[1][0] = 3;
    f.ChannelUnit[1][1] = 4;
    f.ChannelUnit[1][2] = 7;
    f.UsableChannelTotal = 11;
    return f;
}

class SettingsScreenTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        station.clock.setCalendar(QDateTime(QDate(2026, 1, 31), QTime(23, 58, 30)));
        station.facts = twoRecorderFacts();
    }

    hs::SettingsScreen& makeScreen()
    {
        screen = std::make_unique<hs::SettingsScreen>(station);
        screen->setMessageFunction([this](const QString& text, const QString& title) {
            messages.emplace_back(text, title);
        });
        screen->setQuestionFunction([this](const QString& text) {
            questions.push_back(text);
            return answer;
        });
        screen->setOutputFileDialog([this] { return dialogPath; });
        screen->setEndProgram([this](int code) { endCodes.push_back(code); });
        screen->show();
        QApplication::setActiveWindow(screen.get());
        QApplication::processEvents();
        return *screen;
    }

    template <typename T> T* w(const char* name)
    {
        T* found = screen->findChild<T*>(QString::fromUtf8(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QLineEdit* box(const char* name) { return w<QLineEdit>(name); }
    QRadioButton* option(const char* name) { return w<QRadioButton>(name); }
    bool shown(const char* name) { return !w<QWidget>(name)->isHidden(); }
    bool enabled(const char* name) { return w<QWidget>(name)->isEnabled(); }

    void click(const char* name)
    {
        QWidget* target = w<QWidget>(name);
        ASSERT_TRUE(target->isEnabled()) << name;
        // Option buttons and check boxes take clicks on their mark and caption, at the left.
        const bool marked = qobject_cast<QRadioButton*>(target) || qobject_cast<QCheckBox*>(target);
        const QPoint at = marked ? QPoint(8, target->height() / 2) : target->rect().center();
        QTest::mouseClick(target, Qt::LeftButton, {}, at);
    }
    // Types into a box as the operator does: click in, select all, type; optionally leave.
    void type(const char* name, const QString& text, bool leave = true)
    {
        QLineEdit* target = box(name);
        target->setFocus(Qt::MouseFocusReason);
        QTest::keyClick(target, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(target, Qt::Key_Delete);
        QTest::keyClicks(target, text);
        if (leave)
            leaveBox();
    }
    void leaveBox() { w<QWidget>("Combo1")->setFocus(Qt::TabFocusReason); }
    // Chooses a feeder count in Combo1 with the keyboard, as an operator can.
    void chooseFeeders(int count)
    {
        auto* combo = w<QComboBox>("Combo1");
        combo->setFocus(Qt::TabFocusReason);
        QTest::keyClick(combo, Qt::Key_Home);
        for (int i = 1; i < count; ++i)
            QTest::keyClick(combo, Qt::Key_Down);
        ASSERT_EQ(combo->currentText(), QString::number(count));
    }
    const hs::MeasurementSettings& s() const { return station.settings; }

    hs::Station station{0.01};
    std::unique_ptr<hs::SettingsScreen> screen;
    std::vector<Message> messages;
    std::vector<QString> questions;
    std::vector<int> endCodes;
    bool answer = true;
    QString dialogPath;
    QTemporaryDir dir;
};

// ---- Defaults --------------------------------------------------------------------------

TEST_F(SettingsScreenTest, TheScreenOpensWithTheDefaults)
{
    makeScreen();
    EXPECT_EQ(screen->objectName(), QStringLiteral("Form01"));
    EXPECT_EQ(screen->windowTitle(), QStringLiteral("高調波測定．設定画面(2004/02/02) Win2000"));
    for (const char* name : {"Option1(1)", "Option2(2)", "Option3(0)", "Option4(1)", "Option5(2)",
                             "Option6(3)", "Option7(0)", "Option8(3)", "Option9(2)", "Option10(0)",
                             "Option11(1)", "Option12(0)", "Option13(0)"})
        EXPECT_TRUE(option(name)->isChecked()) << name;
    EXPECT_EQ(option("Option8(3)")->text(), QStringLiteral("重畳角･　不平衡保存"));
    EXPECT_EQ(option("Option8(4)")->toolTip(),
              QStringLiteral("偶数時も含み256次までの測定を行います。"));
    EXPECT_EQ(w<QGroupBox>("Frame17")->title(), QStringLiteral("同期検出"));
    EXPECT_EQ(w<QPushButton>("Command5")->text(), QStringLiteral("終　　了"));

    EXPECT_EQ(box("Text1(0)")->text(), QStringLiteral("0.1"));
    EXPECT_EQ(box("Text1(1)")->text(), QStringLiteral("2"));
    EXPECT_FALSE(enabled("Text1(1)"));
    EXPECT_EQ(box("Text2(0)")->text(), QStringLiteral("60"));
    EXPECT_EQ(box("Text7")->text(), QStringLiteral("5"));
    // The calendar stands at 2026/01/31 23:58: the end is the next day at the same minute.
    EXPECT_EQ(box("Text5(0)")->text(), QStringLiteral("2026/01/31"));
    EXPECT_EQ(box("Text5(1)")->text(), QStringLiteral("2026/02/01"));
    EXPECT_EQ(box("Text6(0)")->text(), QStringLiteral("23:58"));
    EXPECT_EQ(s().StartDateTime, QDateTime(QDate(2026, 1, 31), QTime(23, 58, 1)));
    EXPECT_EQ(s().EndDateTime, QDateTime(QDate(2026, 2, 1), QTime(23, 58, 1)));

    EXPECT_FALSE(shown("Frame15"));
    EXPECT_FALSE(shown("Frame16"));
    EXPECT_TRUE(shown("Frame11"));
    EXPECT_TRUE(shown("Label14"));
    EXPECT_FALSE(enabled("Frame9"));
    EXPECT_FALSE(shown("Text8"));
    EXPECT_FALSE(shown("Command7(0)"));
    EXPECT_FALSE(enabled("FdIntervalCaption"));
    EXPECT_FALSE(shown("Text9"));
    EXPECT_FALSE(enabled("PrintIntervalCaption"));

    auto* combo = w<QComboBox>("Combo1");
    ASSERT_EQ(combo->count(), 4);
    EXPECT_EQ(combo->itemText(3), QStringLiteral("4"));
    EXPECT_EQ(combo->currentText(), QStringLiteral("1")) << "the one feeder the settings hold";
    EXPECT_TRUE(w<QLabel>("Label7")->text().isEmpty());
    EXPECT_FALSE(enabled("Command4"));
    EXPECT_FALSE(enabled("Command5"));

    EXPECT_EQ(s().SampleCount, 512);
    EXPECT_EQ(s().SaveOption(), 3);
    EXPECT_EQ(s().SaveFormat(), 1);
    EXPECT_EQ(s().MaxHarmonicOrder, 99);
    EXPECT_EQ(s().PrintIntervalMin, 0);
}

// ---- Option buttons --------------------------------------------------------------------

TEST_F(SettingsScreenTest, TheMeasureTypeEnablesTheSecondInputsAndThePhaseCorrection)
{
    makeScreen();
    click("Option2(3)");
    EXPECT_EQ(s().MeasureType(), 3);
    EXPECT_TRUE(enabled("Frame9"));
    EXPECT_TRUE(enabled("Option9(4)"));
    EXPECT_FALSE(enabled("Frame4"));
    EXPECT_FALSE(enabled("Frame6"));
    EXPECT_FALSE(enabled("Option4(0)"));
    click("Option9(4)");
    EXPECT_EQ(s().PhaseShift(), 4);

    click("Option2(4)");
    EXPECT_EQ(s().MeasureType(), 4);
    EXPECT_FALSE(enabled("Option9(0)"));
    EXPECT_TRUE(option("Option9(2)")->isChecked());
    EXPECT_EQ(s().PhaseShift(), 2);
    EXPECT_TRUE(enabled("Frame4"));
    click("Option2(0)");
    EXPECT_FALSE(enabled("Frame6"));

    click("Option13(3)");
    EXPECT_EQ(s().SyncMode, 3);
    click("Option7(2)");
    EXPECT_EQ(s().SaveFormat(), 2);
}

TEST_F(SettingsScreenTest, OptionFourLocksTheSamplingButtonsAtTwelveHundredAndTwentyFour)
{
    makeScreen();
    click("Option1(0)");
    EXPECT_EQ(s().SampleCount, 256);
    click("Option8(4)");
    EXPECT_TRUE(option("Option1(2)")->isChecked());
    EXPECT_FALSE(enabled("Option1(0)"));
    EXPECT_FALSE(enabled("Option1(1)"));
    EXPECT_EQ(s().SampleCount, 1024);
    EXPECT_EQ(s().SampleCountLog2, 10);
    EXPECT_EQ(s().MaxHarmonicOrder, 256);
    EXPECT_TRUE(s().Orders256);

    click("Option8(0)");
    EXPECT_TRUE(enabled("Option1(0)"));
    EXPECT_TRUE(option("Option1(2)")->isChecked());
    EXPECT_EQ(s().SampleCount, 1024);
    EXPECT_EQ(s().MaxHarmonicOrder, 99);
    EXPECT_FALSE(s().Orders256);
}

TEST_F(SettingsScreenTest, FloppySaveAndAutoPrintShowTheirIntervals)
{
    makeScreen();
    click("Option10(5)");
    EXPECT_EQ(s().FdSaveMode, 5);
    EXPECT_TRUE(shown("Text8"));
    EXPECT_TRUE(enabled("FdIntervalUnit"));
    click("Command7(0)");
    EXPECT_EQ(box("Text8")->text(), QStringLiteral("61"));
    EXPECT_EQ(s().FdSaveIntervalMin, 61);
    click("Option10(0)");
    EXPECT_FALSE(shown("Command7(1)"));

    click("Option11(0)");
    EXPECT_TRUE(shown("Text9"));
    EXPECT_EQ(s().PrintIntervalMin, 60);
    click("Command9(1)");
    EXPECT_EQ(s().PrintIntervalMin, 59);
    click("Option11(1)");
    EXPECT_EQ(s().PrintIntervalMin, 0);
    EXPECT_FALSE(shown("Text9"));
    EXPECT_FALSE(enabled("PrintIntervalCaption"));
}

// ---- Feeders and channels --------------------------------------------------------------

TEST_F(SettingsScreenTest, OneFeederSwapsChannelsSoThatFourInputsUseFourChannels)
{
    makeScreen();
    click("Option3(2)"); // voltage R-S onto channel 3: current R takes channel 1
    EXPECT_TRUE(option("Option5(0)")->isChecked());
    EXPECT_EQ(s().InputChannel[0], 3);
    EXPECT_EQ(s().InputChannel[2], 1);
    click("Option6(0)"); // current T onto channel 1: current R takes channel 4
    EXPECT_TRUE(option("Option5(3)")->isChecked());
    std::array<int, 4> channels{};
    for (std::size_t i = 0; i < 4; ++i)
        channels[i] = s().InputChannel[i];
    EXPECT_EQ(channels, (std::array<int, 4>{3, 2, 4, 1}));
}

// ---- Text boxes ------------------------------------------------------------------------

TEST_F(SettingsScreenTest, ShuntAndClampDescribeTheSameSensor)
{
    makeScreen();
    click("Option12(1)");
    EXPECT_TRUE(enabled("Text1(1)"));
    EXPECT_FALSE(enabled("Text1(0)"));
    EXPECT_FALSE(enabled("Label1(0)"));
    type("Text1(1)", QStringLiteral("5"));
    EXPECT_EQ(box("Text1(0)")->text(), QStringLiteral("0.04"));
    EXPECT_FLOAT_EQ(s().CurrentScale[0], 0.04f);
    type("Text1(1)", QStringLiteral("0"));
    EXPECT_EQ(box("Text1(1)")->text(), QStringLiteral("20"));
    EXPECT_EQ(box("Text1(0)")->text(), QStringLiteral("0.01"));
    EXPECT_FLOAT_EQ(s().CurrentScale[0], 0.01f);
    EXPECT_TRUE(messages.empty());

    click("Option12(0)");
    type("Text1(0)", QStringLiteral("0.5"));
    EXPECT_EQ(box("Text1(1)")->text(), QStringLiteral("0.4"));
    EXPECT_FLOAT_EQ(s().CurrentScale[0], 0.5f);
}

TEST_F(SettingsScreenTest, ZeroEntriesAreReplacedAsTheRulesSay)
{
    makeScreen();
    type("Text2(0)", QStringLiteral("0"), false);
    EXPECT_EQ(s().PtRatio, 0) << "the box shows 0 until it is left";
    leaveBox();
    EXPECT_EQ(box("Text2(0)")->text(), QStringLiteral("60"));
    EXPECT_EQ(s().PtRatio, 60);
    type("Text3", QStringLiteral("0"));
    EXPECT_EQ(box("Text3")->text(), QStringLiteral("1"));
    EXPECT_EQ(s().CtRatio[0], 1);
    type("Text7", QStringLiteral("0"), false);
    EXPECT_EQ(box("Text7")->text(), QStringLiteral("1")) << "replaced on change";
    EXPECT_EQ(s().SaveIntervalMin, 1);
    click("Command6(1)");
    EXPECT_EQ(box("Text7")->text(), QStringLiteral("1"));
    click("Command6(0)");
    click("Command6(0)");
    EXPECT_EQ(s().SaveIntervalMin, 3);
    EXPECT_TRUE(messages.empty());
}

TEST_F(SettingsScreenTest, AnEntryThatCannotBeTakenIsRefusedAndTheBoxShowsThePreviousValue)
{
    makeScreen();
    type("Text2(0)", QStringLiteral("40000"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, hs::integerRangeMessage());
    EXPECT_EQ(messages[0].second, QStringLiteral("エラー"));
    EXPECT_EQ(box("Text2(0)")->text(), QStringLiteral("4000"));
    EXPECT_EQ(s().PtRatio, 4000);

    messages.clear();
    type("Text3", QStringLiteral("12x"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, QStringLiteral("数値を入力して下さい"));
    EXPECT_EQ(box("Text3")->text(), QStringLiteral("12"));
    EXPECT_EQ(s().CtRatio[0], 12);

    // An emptied box left as it is: refused, the last value comes back.
    messages.clear();
    type("Text7", QString());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(box("Text7")->text(), QStringLiteral("5"));
    EXPECT_EQ(s().SaveIntervalMin, 5);

    // A negative interval would save on every shot.
    messages.clear();
    type("Text7", QStringLiteral("-3"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, hs::intervalMessage());
    EXPECT_EQ(box("Text7")->text(), QStringLiteral("5"));
    EXPECT_EQ(s().SaveIntervalMin, 5);

    // A negative clamp range is no sensor.
    messages.clear();
    click("Option12(1)");
    type("Text1(1)", QStringLiteral("-5"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(box("Text1(1)")->text(), QStringLiteral("2"));
    EXPECT_FLOAT_EQ(s().CurrentScale[0], 0.1f);
}

TEST_F(SettingsScreenTest, FeederBoxesAreCopiedDownOnLeaving)
{
    makeScreen();
    chooseFeeders(4);
    type("Text10(1)", QStringLiteral("50"));
    for (int i = 1; i < 9; ++i) {
        EXPECT_EQ(box(qPrintable(QStringLiteral("Text10(%1)").arg(i)))->text(),
                  QStringLiteral("50"));
        EXPECT_EQ(s().CtRatio[static_cast<std::size_t>(i)], 50);
    }
    EXPECT_EQ(s().CtRatio[0], 1);
    type("Text11(0)", QStringLiteral("5"));
    for (int i = 0; i < 9; ++i)
        EXPECT_FLOAT_EQ(s().CurrentScale[static_cast<std::size_t>(i)], 0.04f);
    type("Text11(2)", QStringLiteral("0"));
    EXPECT_EQ(box("Text11(8)")->text(), QStringLiteral("0.1"));
    EXPECT_FLOAT_EQ(s().CurrentScale[8], 2.0f);
    EXPECT_FLOAT_EQ(s().CurrentScale[1], 0.04f);
    type("Text2(1)", QStringLiteral("110"));
    EXPECT_EQ(s().PtRatio, 110);
}

TEST_F(SettingsScreenTest, AValueEnteredForAnotherFeederIsNeverOverwritten)
{
    makeScreen();
    chooseFeeders(3);
    type("Text10(1)", QStringLiteral("2"));
    type("Text10(2)", QStringLiteral("5"));
    type("Text10(0)", QStringLiteral("1"));
    type("Text11(1)", QStringLiteral("5"));
    type("Text11(2)", QStringLiteral("20"));
    type("Text11(0)", QStringLiteral("10"));
    const char* ct[] = {"1", "2", "5"};
    const char* clamp[] = {"10", "5", "20"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(box(qPrintable(QStringLiteral("Text10(%1)").arg(i)))->text(), ct[i]) << i;
        EXPECT_EQ(box(qPrintable(QStringLiteral("Text11(%1)").arg(i)))->text(), clamp[i]) << i;
    }
    EXPECT_EQ(s().CtRatio[1], 2);
    EXPECT_EQ(s().CtRatio[2], 5);
    EXPECT_FLOAT_EQ(s().CurrentScale[0], 0.02f);
    EXPECT_FLOAT_EQ(s().CurrentScale[1], 0.04f);
    EXPECT_FLOAT_EQ(s().CurrentScale[2], 0.01f);
}

TEST_F(SettingsScreenTest, DateAndTimeSpinnersCrossMidnightAndMonthEnds)
{
    makeScreen();
    click("Command2(0)");
    EXPECT_EQ(box("Text6(0)")->text(), QStringLiteral("23:59"));
    click("Command2(0)");
    EXPECT_EQ(box("Text6(0)")->text(), QStringLiteral("00:00"));
    EXPECT_EQ(box("Text5(0)")->text(), QStringLiteral("2026/01/31")) << "the date stays";
    EXPECT_EQ(s().StartDateTime, QDateTime(QDate(2026, 1, 31), QTime(0, 0, 1)));
    click("Command1(0)");
    EXPECT_EQ(box("Text6(0)")->text(), QStringLiteral("23:59"));

    click("Command3(0)");
    EXPECT_EQ(box("Text5(0)")->text(), QStringLiteral("2026/02/01"));
    type("Text5(1)", QStringLiteral("2024/02/28"));
    click("Command3(1)");
    EXPECT_EQ(box("Text5(1)")->text(), QStringLiteral("2024/02/29"));
    click("Command3(1)");
    EXPECT_EQ(box("Text5(1)")->text(), QStringLiteral("2024/03/01"));
    click("Command8(1)");
    EXPECT_EQ(s().EndDateTime.date(), QDate(2024, 2, 29));
    EXPECT_TRUE(messages.empty());
}

TEST_F(SettingsScreenTest, ADateOrTimeThatDoesNotExistIsRefused)
{
    makeScreen();
    type("Text5(1)", QStringLiteral("2026/02/30"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].first.startsWith(QStringLiteral("日付を正しく入力して下さい")));
    EXPECT_EQ(box("Text5(1)")->text(), QStringLiteral("2026/02/01"));
    EXPECT_EQ(s().EndDateTime, QDateTime(QDate(2026, 2, 1), QTime(23, 58, 1)));

    messages.clear();
    type("Text6(1)", QStringLiteral("24:10"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(box("Text6(1)")->text(), QStringLiteral("23:58"));

    messages.clear();
    type("Text6(1)", QStringLiteral("7:5"));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(box("Text6(1)")->text(), QStringLiteral("07:05"));
    EXPECT_EQ(s().EndDateTime, QDateTime(QDate(2026, 2, 1), QTime(7, 5, 1)));
}

// ---- Output file -----------------------------------------------------------------------

TEST_F(SettingsScreenTest, TheOutputFileTakesTheExtensionAndAsksBeforeOverwriting)
{
    makeScreen();
    dialogPath = QString();
    click("Command10");
    EXPECT_TRUE(w<QLabel>("Label7")->text().isEmpty()) << "cancelled";

    const QString existing = dir.filePath(QStringLiteral("old.hv1"));
    QFile(existing).open(QIODevice::WriteOnly);
    dialogPath = dir.filePath(QStringLiteral("old.dat"));
    answer = false;
    click("Command10");
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_TRUE(questions[0].contains(QDir::toNativeSeparators(existing)));
    EXPECT_TRUE(w<QLabel>("Label7")->text().isEmpty());
    answer = true;
    click("Command10");
    EXPECT_EQ(w<QLabel>("Label7")->text(), existing);
    EXPECT_EQ(s().OutputFolder, dir.path() + QStringLiteral("/"));

    click("Check1");
    EXPECT_TRUE(s().SaveWaveforms);
}

// Before a file is chosen the start button says why it is greyed, and no extension alone
// stands as a name; a chosen file's folder is made, and one that cannot be written is refused
// with the system's reason when it is chosen.
TEST_F(SettingsScreenTest, TheOutputFileIsCheckedWhenChosen)
{
    if (!hs::testing::AsAnotherUser::possible())
        GTEST_SKIP() << "no folder can be made unwritable for this user";
    makeScreen();
    screen->activate();
    station.clock.waitUntil([&] { return !screen->lockOutRunning(); }, 20000);
    chooseFeeders(2);
    EXPECT_TRUE(s().OutputFile.isEmpty()) << qPrintable(s().OutputFile);
    EXPECT_TRUE(w<QLabel>("Label7")->text().isEmpty());
    EXPECT_FALSE(enabled("Command4"));
    EXPECT_TRUE(w<QPushButton>("Command4")->toolTip().contains(QStringLiteral("出力ファイル名")));

    const QString readOnly = dir.filePath(QStringLiteral("ro"));
    ASSERT_TRUE(hs::testing::makeUnwritableFolder(readOnly));
    dialogPath = readOnly + QStringLiteral("/meas");
    {
        hs::testing::AsAnotherUser nobody;
        click("Command10");
    }
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].first.contains(readOnly));
    EXPECT_TRUE(messages[0].first.contains(QString::fromLocal8Bit(std::strerror(EACCES))));
    EXPECT_TRUE(s().OutputFile.isEmpty());

    dialogPath = dir.filePath(QStringLiteral("new/folder/meas"));
    click("Command10");
    EXPECT_EQ(messages.size(), 1u);
    EXPECT_EQ(w<QLabel>("Label7")->text(), dialogPath + QStringLiteral(".hv2"));
    EXPECT_TRUE(QFileInfo(dir.filePath(QStringLiteral("new/folder"))).isDir());
    EXPECT_TRUE(enabled("Command4"));
    EXPECT_TRUE(w<QPushButton>("Command4")->toolTip().isEmpty());
}

TEST_F(SettingsScreenTest, StartAsksAgainWhenTheNameNowMeetsAnExistingResultFile)
{
    makeScreen();
    int preparations = 0;
    screen->setOpenPreparation([&] { ++preparations; });
    QFile(dir.filePath(QStringLiteral("meas.hv3"))).open(QIODevice::WriteOnly);
    dialogPath = dir.filePath(QStringLiteral("meas"));
    click("Command10");
    EXPECT_TRUE(questions.empty()) << "meas.hv1 is new";
    chooseFeeders(3);
    station.clock.waitUntil([&] { return !screen->lockOutRunning(); }, 20000);

    answer = false;
    click("Command4");
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_TRUE(questions[0].contains(QStringLiteral("meas.hv3")));
    EXPECT_EQ(preparations, 0);

    answer = true;
    click("Command4");
    EXPECT_EQ(preparations, 1);
    station.clock.waitUntil([&] { return !screen->lockOutRunning(); }, 20000);
    click("Command4");
    EXPECT_EQ(preparations, 2);
    EXPECT_EQ(questions.size(), 2u) << "asked once for the same files";

    // The three-meter type writes one file per phase.
    QFile(dir.filePath(QStringLiteral("meas.Rhv3"))).open(QIODevice::WriteOnly);
    click("Option2(4)");
    station.clock.waitUntil([&] { return !screen->lockOutRunning(); }, 20000);
    answer = false;
    click("Command4");
    ASSERT_EQ(questions.size(), 3u);
    EXPECT_TRUE(questions[2].contains(QStringLiteral("meas.Rhv3")));
    EXPECT_EQ(preparations, 2);
}

// ---- Activation, lock-out, start and end -----------------------------------------------

TEST_F(SettingsScreenTest, TheLockOutHoldsBothButtonsForNineSeconds)
{
    makeScreen();
    screen->activate();
    QElapsedTimer timer;
    timer.start();
    EXPECT_TRUE(screen->lockOutRunning());
    EXPECT_FALSE(enabled("Command4"));
    EXPECT_FALSE(enabled("Command5"));
    // Choosing a file during the lock-out does not free the start button.
    dialogPath = dir.filePath(QStringLiteral("meas"));
    click("Command10");
    EXPECT_FALSE(enabled("Command4"));
    station.clock.waitUntil([&] { return !screen->lockOutRunning(); }, 20000);
    // 9 nominal seconds at a time scale of 0.01: 90 ms.
    EXPECT_GE(timer.elapsed(), 85);
    EXPECT_TRUE(enabled("Command4"));
    EXPECT_TRUE(enabled("Command5"));

    screen->activate();
    EXPECT_FALSE(enabled("Command4"));
    EXPECT_FALSE(enabled("Command5"));
}

TEST_F(SettingsScreenTest, StartNeedsAnEndAfterTheStartThenOpensThePreparation)
{
    makeScreen();
    int preparations = 0;
    int measurements = 0;
    screen->setOpenPreparation([&] { ++preparations; });
    screen->setOpenMeasurement([&] { ++measurements; });
    dialogPath = dir.filePath(QStringLiteral("meas"));
    click("Command10");
    station.clock.waitUntil([&] { return !screen->lockOutRunning(); }, 20000);

    type("Text5(1)", QStringLiteral("2026/01/31"));
    type("Text6(1)", QStringLiteral("23:58"));
    click("Command4");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, QStringLiteral("終了日時は開始日時より後にして下さい"));
    EXPECT_EQ(preparations, 0);

    click("Command3(1)");
    click("Command4");
    EXPECT_EQ(preparations, 1);
    EXPECT_EQ(measurements, 0);
    EXPECT_TRUE(screen->lockOutRunning()) << "back from the preparation: activated again";
    EXPECT_EQ(screen->cursor().shape(), Qt::ArrowCursor);

    // Confirmed in the preparation: the activation hands over to the measurement screen.
    station.clock.waitUntil([&] { return !screen->lockOutRunning(); }, 20000);
    screen->setOpenPreparation([&] {
        ++preparations;
        station.settings.StartConfirmed = true;
    });
    screen->setOpenMeasurement([&] {
        ++measurements;
        EXPECT_FALSE(screen->isVisible()) << "out of the way before the measurement runs";
    });
    click("Command4");
    EXPECT_EQ(measurements, 1);
    EXPECT_FALSE(screen->isVisible());
}

// A period that has already ended is refused at the start, before the preparation opens.
TEST_F(SettingsScreenTest, StartRefusesAPeriodThatHasEnded)
{
    makeScreen();
    int preparations = 0;
    screen->setOpenPreparation([&] { ++preparations; });
    dialogPath = dir.filePath(QStringLiteral("meas"));
    click("Command10");
    station.clock.waitUntil([&] { return !screen->lockOutRunning(); }, 20000);
    type("Text5(0)", QStringLiteral("2026/01/31"));
    type("Text6(0)", QStringLiteral("23:00"));
    type("Text5(1)", QStringLiteral("2026/01/31"));
    type("Text6(1)", QStringLiteral("23:30"));
    click("Command4");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, hs::kPeriodOverText);
    EXPECT_EQ(preparations, 0);
}

TEST_F(SettingsScreenTest, ClosingTheWindowEndsTheProgram)
{
    makeScreen();
    screen->close();
    EXPECT_EQ(endCodes, std::vector<int>{0});
}

// Two simulated recorders connected in this process: what the screen sends them.
class SettingsScreenLinkTest : public SettingsScreenTest {
protected:
    void SetUp() override
    {
        SettingsScreenTest::SetUp();
        station.facts = hs::RecorderFacts{};
        sim = std::make_unique<hs::sim::SimServer>(station.clock,
                                                   hs::sim::Scenario::defaultScenario(), 2);
        sim->recorder(0).setModel(8841);
        sim->recorder(0).setUnits({1, 1, 4, 4, 4, 4, 4, 4});
        sim->recorder(1).setModel(8840);
        sim->recorder(1).setUnits({3, 4, 7});
        hs::ConnectionRequest request;
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(sim->listen(i, QHostAddress::LocalHost, 0));
            request.addresses[static_cast<std::size_t>(i)] = QStringLiteral("127.0.0.1");
            request.ports[static_cast<std::size_t>(i)] = QString::number(sim->port(i));
        }
        request.recorderCount = 2;
        hs::EngineObserver quiet;
        hs::ConnectionSetup setup(station.recorders, quiet);
        ASSERT_EQ(setup.initialise(request), hs::ConnectionStatus::Ok);
        station.clock.waitMs(500);
        for (int i = 0; i < 2; ++i) {
            sim->recorder(i).clearLog();
            sim->recorder(i).setLogListener([this, i](int, const hs::sim::CommandLogEntry&) {
                events.push_back(
                    QStringLiteral("%1 %2").arg(i).arg(sim->recorder(i).commandLines().last()));
            });
        }
        QObject::connect(sim.get(), &hs::sim::SimServer::connectionClosed, [this](int index) {
            events.push_back(QStringLiteral("%1 closed").arg(index));
        });
    }
    QStringList eventsAfter(qsizetype count)
    {
        station.clock.waitUntil([&] { return events.size() >= count; }, 5000);
        return events;
    }

    std::unique_ptr<hs::sim::SimServer> sim;
    QStringList events;
};

TEST_F(SettingsScreenLinkTest, ActivationSendsAutoAndTheEndButtonAbortsEachRecorderInTurn)
{
    makeScreen();
    events.clear();
    screen->activate();
    EXPECT_EQ(eventsAfter(2), (QStringList{QStringLiteral("0 :AUTO"), QStringLiteral("1 :AUTO")}));
    station.clock.waitUntil([&] { return !screen->lockOutRunning(); }, 20000);

    events.clear();
    click("Command5");
    EXPECT_EQ(eventsAfter(4),
              (QStringList{QStringLiteral("0 :ABORT"), QStringLiteral("0 closed"),
                           QStringLiteral("1 :ABORT"), QStringLiteral("1 closed")}));
    EXPECT_EQ(endCodes, std::vector<int>{0});
}

TEST_F(SettingsScreenLinkTest, TheFeederCountBuildsTheChannelMapOverBothRecorders)
{
    // The facts come from the connection set-up with the simulated recorders.
    EXPECT_EQ(station.facts.UsableChannelTotal, 11);
    makeScreen();
    dialogPath = dir.filePath(QStringLiteral("meas.txt"));
    click("Command10");
    EXPECT_EQ(w<QLabel>("Label7")->text(), dir.filePath(QStringLiteral("meas.hv1")));

    chooseFeeders(4);
    EXPECT_EQ(s().LastFeeder, 3);
    EXPECT_EQ(w<QLabel>("Label23(0)")->text(),
              QStringLiteral("電  圧：R-S相=ch1,T-S相=ch2(1台目8841)"));
    EXPECT_EQ(w<QLabel>("Label23(3)")->text(),
              QStringLiteral("電流F3：R相=ch7,T相=ch8(1台目8841)"));
    EXPECT_EQ(w<QLabel>("Label23(4)")->text(),
              QStringLiteral("電流F4：R相=ch1,T相=ch2(2台目8840)"));
    // The captions show the channel walk before the unused feeders are unassigned: feeder 5
    // would start on recorder 2's third input, greyed; feeder 6 finds none.
    EXPECT_EQ(w<QLabel>("Label23(5)")->text(),
              QStringLiteral("電流F5：R相=ch3,T相=ch0(2台目8840)"));
    EXPECT_EQ(w<QLabel>("Label23(6)")->text(),
              QStringLiteral("電流F6：R相=ch-,T相=ch-(-台目----)"));
    EXPECT_EQ(s().InputChannel[8], 1);
    EXPECT_EQ(s().InputRecorder[8], 1);
    EXPECT_EQ(s().InputChannel[10], 0);
    EXPECT_TRUE(enabled("Label23(4)"));
    EXPECT_FALSE(enabled("Label23(5)"));
    EXPECT_TRUE(enabled("Text10(3)"));
    EXPECT_FALSE(enabled("Text10(4)"));
    EXPECT_FALSE(enabled("Text11(8)"));
    EXPECT_FALSE(enabled("Label27(4)"));
    EXPECT_TRUE(shown("Frame15"));
    EXPECT_FALSE(shown("Label14"));
    EXPECT_TRUE(shown("Frame16"));
    EXPECT_FALSE(shown("Frame11"));
    EXPECT_FALSE(enabled("Option7(3)"));
    EXPECT_TRUE(option("Option7(0)")->isChecked());
    EXPECT_EQ(s().SaveFormat(), 0);
    EXPECT_FALSE(enabled("Option8(1)"));
    EXPECT_FALSE(enabled("Option8(2)"));
    EXPECT_EQ(w<QLabel>("Label7")->text(), dir.filePath(QStringLiteral("meas.hv4")));

    chooseFeeders(1);
    EXPECT_TRUE(enabled("Option7(3)"));
    EXPECT_TRUE(enabled("Option8(1)"));
    EXPECT_FALSE(shown("Frame15"));
    EXPECT_TRUE(shown("Frame11"));
    EXPECT_EQ(s().InputChannel[4], 0);
    EXPECT_EQ(w<QLabel>("Label7")->text(), dir.filePath(QStringLiteral("meas.hv1")));
}

// ---- Picture ---------------------------------------------------------------------------

// With HS_SCREENSHOT_DIR set the pictures are saved there (docs/settings-screen.png).
TEST_F(SettingsScreenTest, FitsTheScreenAndRendersOffscreen)
{
    makeScreen();
    dialogPath = QStringLiteral("C:/data/0207.txt");
    click("Command10");
    station.clock.waitUntil([&] { return !screen->lockOutRunning(); }, 20000);
    QApplication::processEvents();
    const QImage image = screen->grab().toImage();
    EXPECT_LE(screen->frameGeometry().width(), 1024);
    EXPECT_LE(screen->frameGeometry().height(), 768);
    // The several-feeder controls take the place of the one-feeder ones: the size stays.
    const QSize oneFeeder = screen->sizeHint();
    chooseFeeders(4);
    dialogPath = QStringLiteral("/a/rather/long/folder/name/for/the/results/of/this/station/") +
                 QString(120, QLatin1Char('x'));
    click("Command10");
    QApplication::processEvents();
    EXPECT_EQ(screen->sizeHint(), oneFeeder);
    EXPECT_LE(oneFeeder.height(), 740);
    const QString out = qEnvironmentVariable("HS_SCREENSHOT_DIR");
    if (!out.isEmpty()) {
        EXPECT_TRUE(image.save(out + QStringLiteral("/settings-screen.png")));
    }
}

} // namespace

namespace {

// ---- Settings files --------------------------------------------------------------------

TEST_F(SettingsScreenTest, ASavedSetUpIsWhatMeasureReadsAndLoadsBackOntoTheScreen)
{
    makeScreen();
    screen->setRecorderAddresses(
        {{QStringLiteral("127.0.0.1"), 8802}, {QStringLiteral("127.0.0.2"), 8812}});
    const QString settingsPath = dir.filePath(QStringLiteral("setup.json"));
    screen->setSettingsFileDialogs([&] { return settingsPath; }, [&] { return settingsPath; });
    dialogPath = dir.filePath(QStringLiteral("run"));
    click("Command10");
    chooseFeeders(3);
    click("Option2(4)");
    click("Option8(4)");
    click("Option13(1)");
    click("Option10(3)");
    click("Option11(0)");
    click("Command9(0)");
    click("Check1");
    type("Text10(1)", QStringLiteral("200"));
    type("Text11(2)", QStringLiteral("50"));
    type("Text2(1)", QStringLiteral("66"));
    type("Text7", QStringLiteral("15"));
    station.settings.RcRows[3] = hs::RcRow{true, QStringLiteral("2.2"), QStringLiteral("0.47")};
    station.settings.VConnection[1] = true;
    click("Command12");
    ASSERT_TRUE(messages.empty()) << qPrintable(messages[0].first);

    // What `measure --settings` reads is what the screen holds.
    const hs::SettingsFileResult read = hs::readSettingsFile(settingsPath, station.clock.now());
    ASSERT_TRUE(read.ok) << qPrintable(read.error);
    const hs::MeasurementSettings& m = read.content.settings;
    const hs::MeasurementSettings saved = station.settings;
    EXPECT_EQ(read.content.recorders.size(), 2u);
    EXPECT_EQ(read.content.recorders[1].port, 8812);
    EXPECT_EQ(m.ModeTable[2], saved.ModeTable[2]);
    EXPECT_EQ(m.SaveOption(), 4);
    EXPECT_EQ(m.SaveFormat(), saved.SaveFormat());
    EXPECT_EQ(m.SampleCount, 1024);
    EXPECT_EQ(m.MaxHarmonicOrder, 256);
    EXPECT_EQ(m.SyncMode, 1);
    EXPECT_EQ(m.LastFeeder, 2);
    EXPECT_EQ(m.PtRatio, 66);
    EXPECT_EQ(m.CtRatio, saved.CtRatio);
    EXPECT_EQ(m.CurrentScale, saved.CurrentScale);
    EXPECT_EQ(m.InputChannel, saved.InputChannel);
    EXPECT_EQ(m.InputRecorder, saved.InputRecorder);
    EXPECT_EQ(m.SaveIntervalMin, 15);
    EXPECT_EQ(m.PrintIntervalMin, 61);
    EXPECT_EQ(m.FdSaveMode, 3);
    EXPECT_EQ(m.StartDateTime, saved.StartDateTime);
    EXPECT_EQ(m.EndDateTime, saved.EndDateTime);
    EXPECT_EQ(m.OutputFile, dir.filePath(QStringLiteral("run.hn3")));
    EXPECT_EQ(m.OutputFolder, saved.OutputFolder);
    EXPECT_TRUE(m.SaveWaveforms);
    EXPECT_TRUE(m.RcRows[3].ticked);
    EXPECT_EQ(m.RcRows[3].rText, QStringLiteral("2.2"));
    EXPECT_EQ(m.VConnection, saved.VConnection);

    // A fresh screen loads it back: controls and settings as they were.
    screen.reset();
    station.settings = hs::MeasurementSettings{};
    makeScreen();
    screen->setSettingsFileDialogs([&] { return settingsPath; }, [&] { return settingsPath; });
    click("Command11");
    ASSERT_TRUE(messages.empty()) << qPrintable(messages[0].first);
    EXPECT_EQ(station.settings.CurrentScale, saved.CurrentScale);
    EXPECT_EQ(station.settings.CtRatio, saved.CtRatio);
    EXPECT_EQ(station.settings.InputChannel, saved.InputChannel);
    EXPECT_EQ(station.settings.OutputFile, saved.OutputFile);
    EXPECT_EQ(station.settings.StartDateTime, saved.StartDateTime);
    EXPECT_EQ(station.settings.ModeTable, saved.ModeTable);
    EXPECT_EQ(station.settings.PrintIntervalMin, 61);
    EXPECT_EQ(w<QComboBox>("Combo1")->currentText(), QStringLiteral("3"));
    EXPECT_TRUE(option("Option2(4)")->isChecked());
    EXPECT_TRUE(option("Option8(4)")->isChecked());
    EXPECT_FALSE(enabled("Option1(0)"));
    EXPECT_TRUE(option("Option10(3)")->isChecked());
    EXPECT_TRUE(shown("Text9"));
    EXPECT_EQ(box("Text10(1)")->text(), QStringLiteral("200"));
    EXPECT_EQ(box("Text11(2)")->text(), QStringLiteral("50"));
    EXPECT_EQ(box("Text2(1)")->text(), QStringLiteral("66"));
    EXPECT_EQ(box("Text7")->text(), QStringLiteral("15"));
    EXPECT_TRUE(w<QCheckBox>("Check1")->isChecked());
    EXPECT_EQ(w<QLabel>("Label7")->text(), dir.filePath(QStringLiteral("run.hn3")));
}

TEST_F(SettingsScreenTest, AFileWhoseChannelsTheRecordersLackIsRefusedAndTheScreenKeepsItsValues)
{
    makeScreen();
    const QString path = dir.filePath(QStringLiteral("big.json"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(R"({"recorders": [{"address": "127.0.0.1"}], "LastFeeder": 6, "PtRatio": 99,
               "OutputFile": "/tmp/x"})");
    f.close();
    type("Text2(0)", QStringLiteral("70"));
    EXPECT_FALSE(screen->loadSettingsFile(path));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].first.contains(QStringLiteral("LastFeeder")))
        << qPrintable(messages[0].first);
    EXPECT_EQ(station.settings.PtRatio, 70);
    EXPECT_EQ(station.settings.LastFeeder, 0);
    EXPECT_EQ(box("Text2(0)")->text(), QStringLiteral("70"));

    messages.clear();
    EXPECT_FALSE(screen->saveSettingsFile(path)) << "no output file chosen yet";
    ASSERT_EQ(messages.size(), 1u);
}

} // namespace
