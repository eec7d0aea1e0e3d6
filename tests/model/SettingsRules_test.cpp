#include "model/RecorderFacts.h"
#include "model/SettingsRules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

using namespace hs;

namespace {

// One 8841 whose channels 1..usable carry voltage/current units (code 1).
RecorderFacts oneRecorder(int usable, int model = 8841)
{
    RecorderFacts f;
    f.LastRecorder = 0;
    f.RecorderModel = {static_cast<std::int16_t>(model), 0};
    for (int k = 0; k < usable; ++k)
        f.ChannelUnit[0][static_cast<std::size_t>(k)] = 1;
    f.UsableChannelTotal = static_cast<std::int16_t>(usable);
    return f;
}

RecorderFacts twoRecorders(int usable1, int usable2)
{
    RecorderFacts f = oneRecorder(usable1);
    f.LastRecorder = 1;
    f.RecorderModel[1] = 8841;
    for (int k = 0; k < usable2; ++k)
        f.ChannelUnit[1][static_cast<std::size_t>(k)] = 4;
    f.UsableChannelTotal = static_cast<std::int16_t>(usable1 + usable2);
    return f;
}

class Rules : public ::testing::Test {
protected:
    MeasurementSettings s;
    SettingsView v;
    SettingsRules rules{s, v};
};

} // namespace

TEST(SettingsDefaults, UntouchedModelHoldsTheStartValues)
{
    const MeasurementSettings s;
    EXPECT_EQ(s.SampleCount, 512);
    EXPECT_EQ(s.SampleCountLog2, 9);
    EXPECT_EQ(s.MeasureType(), 2);
    EXPECT_EQ(s.PhaseShift(), 2);
    EXPECT_EQ(s.SaveFormat(), 1);
    EXPECT_EQ(s.SaveOption(), 3);
    EXPECT_EQ(s.MaxHarmonicOrder, 99);
    EXPECT_EQ(s.PtRatio, 60);
    EXPECT_EQ(s.SaveIntervalMin, 5);
    EXPECT_EQ(s.PrintIntervalMin, 0);
    EXPECT_EQ(s.FdSaveMode, 0);
    EXPECT_EQ(s.FdSaveIntervalMin, 60);
    EXPECT_EQ(s.SyncMode, 0);
    EXPECT_EQ(s.LastFeeder, 0);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(s.CtRatio[static_cast<std::size_t>(i)], 1);
        EXPECT_FLOAT_EQ(s.CurrentScale[static_cast<std::size_t>(i)], 0.1f);
    }
    EXPECT_EQ(s.InputChannel[0], 1);
    EXPECT_EQ(s.InputChannel[3], 4);
    EXPECT_EQ(s.InputChannel[4], 0);
    EXPECT_FALSE(s.StartConfirmed);
    EXPECT_TRUE(s.OutputFile.isEmpty());
}

TEST_F(Rules, ClockDefaultsGiveTodayAndTomorrowAtTheSameMinuteSecondOne)
{
    rules.applyClockDefaults(QDateTime(QDate(2004, 2, 28), QTime(12, 34, 56)));
    EXPECT_EQ(v.dateText[0], "2004/02/28");
    EXPECT_EQ(v.dateText[1], "2004/02/29");
    EXPECT_EQ(v.timeText[0], "12:34");
    EXPECT_EQ(v.timeText[1], "12:34");
    EXPECT_EQ(s.StartDateTime, QDateTime(QDate(2004, 2, 28), QTime(12, 34, 1)));
    EXPECT_EQ(s.EndDateTime, QDateTime(QDate(2004, 2, 29), QTime(12, 34, 1)));
}

TEST_F(Rules, SaveOptionFourLocksSamplingAndOtherOptionsReleaseIt)
{
    rules.chooseSaveOption(4);
    EXPECT_EQ(s.MaxHarmonicOrder, 256);
    EXPECT_EQ(s.SampleCount, 1024);
    EXPECT_EQ(s.SampleCountLog2, 10);
    EXPECT_TRUE(s.Orders256);
    EXPECT_EQ(v.samplingChoice, 2);
    EXPECT_FALSE(v.samplingEnabled[0]);
    EXPECT_FALSE(v.samplingEnabled[1]);
    rules.chooseSampling(0); // greyed: nothing happens
    EXPECT_EQ(s.SampleCount, 1024);

    rules.chooseSaveOption(0);
    EXPECT_EQ(s.MaxHarmonicOrder, 99);
    EXPECT_EQ(s.SampleCount, 1024) << "leaving option 4 keeps the count";
    EXPECT_FALSE(s.Orders256);
    EXPECT_TRUE(v.samplingEnabled[0] && v.samplingEnabled[1]);
    rules.chooseSampling(0);
    EXPECT_EQ(s.SampleCount, 256);
    EXPECT_EQ(s.SampleCountLog2, 8);
}

TEST_F(Rules, PhaseShiftOnlyWithOneMeterTypeAndForcedBackOtherwise)
{
    rules.choosePhaseShift(0); // greyed with type 2
    EXPECT_EQ(s.PhaseShift(), 2);
    rules.chooseMeasureType(3);
    EXPECT_TRUE(v.phaseShiftEnabled);
    EXPECT_FALSE(v.secondInputsEnabled);
    rules.choosePhaseShift(4);
    EXPECT_EQ(s.PhaseShift(), 4);
    rules.chooseMeasureType(4);
    EXPECT_EQ(s.MeasureType(), 4);
    EXPECT_EQ(s.PhaseShift(), 2);
    EXPECT_EQ(v.phaseShiftChoice, 2);
    EXPECT_FALSE(v.phaseShiftEnabled);
    EXPECT_TRUE(v.secondInputsEnabled);
    rules.chooseMeasureType(0);
    EXPECT_FALSE(v.secondInputsEnabled);
}

TEST(FeederCountList, TwoChannelsForTheVoltagesThenTwoPerFeederAtMostNine)
{
    EXPECT_EQ(feederCountList(8), QStringList({"1", "2", "3"}));
    EXPECT_EQ(feederCountList(9), QStringList({"1", "2", "3"}));
    EXPECT_TRUE(feederCountList(2).isEmpty());
    EXPECT_TRUE(feederCountList(1).isEmpty());
    EXPECT_TRUE(feederCountList(0).isEmpty());
    EXPECT_EQ(feederCountList(20).size(), 9);
    EXPECT_EQ(feederCountList(32).size(), 9);
}

TEST_F(Rules, ThreeFeedersOnEightChannelsMapCaptionAndScreenState)
{
    const RecorderFacts facts = oneRecorder(8);
    rules.fillFeederCountList(facts);
    EXPECT_EQ(v.feederCounts.size(), 3);
    ASSERT_TRUE(rules.chooseFeederCount(3, facts));

    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(s.InputChannel[static_cast<std::size_t>(k)], k + 1) << k;
    for (int k = 8; k < 20; ++k)
        EXPECT_EQ(s.InputChannel[static_cast<std::size_t>(k)], 0) << k;
    EXPECT_EQ(v.channelCaptions[0], "電  圧：R-S相=ch1,T-S相=ch2(1台目8841)");
    EXPECT_EQ(v.channelCaptions[1], "電流F1：R相=ch3,T相=ch4(1台目8841)");
    EXPECT_EQ(v.channelCaptions[3], "電流F3：R相=ch7,T相=ch8(1台目8841)");
    for (int f = 4; f <= 9; ++f) {
        EXPECT_EQ(v.channelCaptions[static_cast<std::size_t>(f)],
                  QStringLiteral("電流F%1：R相=ch-,T相=ch-(-台目----)").arg(f));
        EXPECT_FALSE(v.channelCaptionEnabled[static_cast<std::size_t>(f)]);
        EXPECT_FALSE(v.feederRowEnabled[static_cast<std::size_t>(f - 1)]);
    }
    EXPECT_TRUE(v.feederRowEnabled[2]);
    EXPECT_EQ(s.LastFeeder, 2);
    EXPECT_EQ(s.SaveFormat(), 0) << "several feeders select 平均値";
    EXPECT_FALSE(v.saveFormatEnabled[3]);
    EXPECT_FALSE(v.saveOptionEnabled[1]);
    EXPECT_FALSE(v.saveOptionEnabled[2]);
    EXPECT_TRUE(v.channelTableShown && v.severalFeedersFrameShown);
    EXPECT_FALSE(v.channelHeadingShown || v.oneFeederFrameShown);
    EXPECT_FALSE(rules.chooseFeederCount(4, facts)) << "more feeders than the recorder can serve";
    EXPECT_EQ(s.LastFeeder, 2);
}

TEST(ChannelMap, UnusableUnitsAreSkippedAndCodeThreeCountsOnlyOn8840)
{
    for (const int model : {8841, 8840}) {
        RecorderFacts facts = oneRecorder(0, model);
        const std::int16_t units[8] = {1, 0, 3, 4, 7, 1, 1, 1};
        for (int k = 0; k < 8; ++k)
            facts.ChannelUnit[0][static_cast<std::size_t>(k)] = units[k];
        MeasurementSettings s;
        s.InputChannel[19] = 9; // the walk runs out of slots before input 19
        ChannelMapBuild(s, facts);
        if (model == 8841) {
            EXPECT_EQ(s.InputChannel[1], 4);
            EXPECT_EQ(s.InputChannel[5], 8);
            EXPECT_EQ(s.InputChannel[6], 0) << "passed over up to the last slot";
            EXPECT_EQ(s.InputChannel[7], 0);
        } else {
            EXPECT_EQ(s.InputChannel[1], 3);
            EXPECT_EQ(s.InputChannel[6], 8);
            EXPECT_EQ(s.InputChannel[7], 0);
        }
        EXPECT_EQ(s.InputChannel[0], 1);
        EXPECT_EQ(s.InputChannel[19], 9) << "entries the walk does not reach keep their values";
    }
}

TEST(ChannelMap, SecondRecorderContinuesAfterTheFirstOnlyWhenInUse)
{
    RecorderFacts facts = twoRecorders(8, 12);
    MeasurementSettings s;
    buildFeederChannelMap(s, facts, 9);
    EXPECT_EQ(s.InputChannel[7], 8);
    EXPECT_EQ(s.InputRecorder[7], 0);
    EXPECT_EQ(s.InputChannel[8], 1);
    EXPECT_EQ(s.InputRecorder[8], 1);
    EXPECT_EQ(s.InputChannel[19], 12);
    EXPECT_EQ(s.InputRecorder[19], 1);
    const auto captions = channelCaptions(s, facts);
    EXPECT_EQ(captions[4], "電流F4：R相=ch1,T相=ch2(2台目8841)");

    // Recorder 2's facts left from an earlier attempt do not count while only one is used.
    facts.LastRecorder = 0;
    MeasurementSettings one;
    ChannelMapBuild(one, facts);
    EXPECT_EQ(one.InputChannel[8], 0);
    EXPECT_EQ(one.InputRecorder[8], 0);
}

TEST_F(Rules, FeederCountAndOptionsGiveTheExtensionOfTheOutputFile)
{
    const RecorderFacts facts = twoRecorders(16, 4);
    ASSERT_TRUE(rules.chooseFeederCount(3, facts));
    EXPECT_EQ(s.OutputFile, "") << "no file chosen: an extension alone is no name";
    EXPECT_FALSE(rules.startAllowed());

    rules.chooseOutputFile("/data/meas.txt");
    EXPECT_EQ(s.OutputFile, "/data/meas.hv3");
    EXPECT_EQ(s.OutputFolder, "/data/");
    EXPECT_TRUE(rules.startAllowed());

    ASSERT_TRUE(rules.chooseFeederCount(5, facts));
    EXPECT_EQ(s.OutputFile, "/data/meas.hv5");
    rules.chooseSaveOption(0);
    EXPECT_EQ(s.OutputFile, "/data/meas.hm5");
    rules.chooseSaveOption(4);
    EXPECT_EQ(s.OutputFile, "/data/meas.hn5");

    rules.chooseOutputFile(QString()); // dialog cancelled
    EXPECT_EQ(s.OutputFile, "/data/meas.hn5");
    EXPECT_EQ(s.OutputFolder, "/data/");
}

TEST_F(Rules, SeveralFeedersTurnAngleOrUnbalanceAloneIntoOptionThree)
{
    const RecorderFacts facts = oneRecorder(8);
    ASSERT_TRUE(rules.chooseFeederCount(1, facts));
    rules.chooseOutputFile("/d/m");
    rules.chooseSaveOption(1);
    EXPECT_EQ(s.OutputFile, "/d/m.ha4");
    ASSERT_TRUE(rules.chooseFeederCount(2, facts));
    EXPECT_EQ(s.SaveOption(), 3);
    EXPECT_EQ(v.saveOptionChoice, 3);
    EXPECT_EQ(s.OutputFile, "/d/m.hv2");
    ASSERT_TRUE(rules.chooseFeederCount(1, facts));
    EXPECT_TRUE(v.saveOptionEnabled[1] && v.saveOptionEnabled[2]) << "re-enabled";
    EXPECT_EQ(s.SaveOption(), 3) << "but not selected";
    EXPECT_TRUE(v.saveFormatEnabled[3]);
    EXPECT_TRUE(v.oneFeederFrameShown);
    EXPECT_EQ(s.OutputFile, "/d/m.hv1");
}

TEST_F(Rules, OneFeederChannelChoiceSwapsAndKeepsFourDifferentChannels)
{
    rules.chooseInputChannel(1, 1);
    EXPECT_EQ(s.InputChannel[0], 2);
    EXPECT_EQ(s.InputChannel[1], 1);
    EXPECT_EQ(v.inputChannelChoice[0], 1);
    EXPECT_EQ(v.inputChannelChoice[1], 0);
    rules.chooseInputChannel(3, 2);
    EXPECT_EQ(s.InputChannel[0], 4);
    EXPECT_EQ(s.InputChannel[3], 2);

    std::mt19937 random(5);
    for (int step = 0; step < 200; ++step) {
        rules.chooseInputChannel(static_cast<int>(random() % 4),
                                 static_cast<int>(random() % 4) + 1);
        std::set<int> used;
        for (int k = 0; k < 4; ++k) {
            const int ch = s.InputChannel[static_cast<std::size_t>(k)];
            used.insert(ch);
            EXPECT_EQ(v.inputChannelChoice[static_cast<std::size_t>(k)], ch - 1)
                << "buttons follow the map";
        }
        ASSERT_EQ(used, (std::set<int>{1, 2, 3, 4})) << "step " << step;
    }

    // Choosing one feeder selects 1ch..4ch again.
    ASSERT_TRUE(rules.chooseFeederCount(1, oneRecorder(8)));
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(s.InputChannel[static_cast<std::size_t>(k)], k + 1);
}

TEST_F(Rules, ShuntAndClampDescribeTheSameSensor)
{
    rules.leaveSensorBox(1, "5");
    EXPECT_EQ(v.sensorText[0], "0.04");
    EXPECT_FLOAT_EQ(s.CurrentScale[0], 0.04f);
    rules.leaveSensorBox(1, "2");
    EXPECT_FLOAT_EQ(s.CurrentScale[0], 0.1f);
    rules.leaveSensorBox(1, "20");
    EXPECT_FLOAT_EQ(s.CurrentScale[0], 0.01f);
    rules.leaveSensorBox(0, "0.05");
    EXPECT_FLOAT_EQ(s.CurrentScale[0], 0.05f);
    EXPECT_EQ(v.sensorText[1], "4");

    rules.leaveSensorBox(1, "0");
    EXPECT_EQ(v.sensorText[1], "20");
    EXPECT_EQ(v.sensorText[0], "0.01");
    rules.leaveSensorBox(0, "abc");
    EXPECT_EQ(v.sensorText[0], "0.1");
    EXPECT_EQ(v.sensorText[1], "2");
    rules.leaveSensorBox(0, "1e-60"); // would store a zero scale
    EXPECT_EQ(v.sensorText[0], "0.1");
    EXPECT_FLOAT_EQ(s.CurrentScale[0], 0.1f);

    rules.chooseSensor(1);
    EXPECT_TRUE(v.sensorTextEnabled[1]);
    EXPECT_FALSE(v.sensorTextEnabled[0]);
}

TEST_F(Rules, IntegerEntriesBeyondSixteenBitsAreRefusedAndTheOldValueKept)
{
    EXPECT_TRUE(rules.changePtText(0, "32767").accepted);
    EXPECT_EQ(s.PtRatio, 32767);
    const EntryResult r = rules.changePtText(0, "32768");
    EXPECT_FALSE(r.accepted);
    EXPECT_FALSE(r.message.isEmpty());
    EXPECT_EQ(s.PtRatio, 32767);
    EXPECT_EQ(v.ptText[0], "32767");
    EXPECT_FALSE(rules.changeCtText("-32769").accepted);
    EXPECT_TRUE(rules.changeCtText("-32768").accepted);
    EXPECT_EQ(s.CtRatio[0], -32768);
    EXPECT_FALSE(rules.changeFeederCtText(4, "1e9").accepted);
    EXPECT_EQ(s.CtRatio[4], 1);
    EXPECT_FALSE(rules.changeSaveIntervalText("99999").accepted);
    EXPECT_EQ(s.SaveIntervalMin, 5);
    EXPECT_TRUE(rules.changeFdIntervalText("32767").accepted);
    EXPECT_FALSE(rules.stepFdInterval(1).accepted) << "the spinner cannot pass the limit either";
    EXPECT_EQ(s.FdSaveIntervalMin, 32767);
    EXPECT_EQ(v.fdIntervalText, "32767");
    EXPECT_FALSE(rules.changePrintIntervalText("-40000").accepted);

    EXPECT_TRUE(rules.changePtText(0, "2.5").accepted);
    EXPECT_EQ(s.PtRatio, 2) << "halves round to even";
}

TEST_F(Rules, ZeroEntriesAreReplacedWhenTheBoxIsLeftOrChanged)
{
    rules.changePtText(1, "0");
    EXPECT_EQ(s.PtRatio, 0);
    rules.leavePtBox(1);
    EXPECT_EQ(v.ptText[1], "60");
    EXPECT_EQ(s.PtRatio, 60);
    rules.changePtText(0, "0.4"); // rounds to 0
    rules.leavePtBox(0);
    EXPECT_EQ(s.PtRatio, 60);
    rules.changePtText(1, "100");
    EXPECT_EQ(s.PtRatio, 100);
    EXPECT_EQ(v.ptText[0], "60") << "the two PT boxes are independent";

    rules.changeCtText("");
    rules.leaveCtBox();
    EXPECT_EQ(v.ctText, "1");
    EXPECT_EQ(s.CtRatio[0], 1);

    rules.changeSaveIntervalText("0");
    EXPECT_EQ(v.saveIntervalText, "1");
    EXPECT_EQ(s.SaveIntervalMin, 1);
    rules.stepSaveInterval(-1);
    EXPECT_EQ(s.SaveIntervalMin, 1);
    rules.stepSaveInterval(1);
    EXPECT_EQ(v.saveIntervalText, "2");
    rules.changeFdIntervalText("x");
    EXPECT_EQ(s.FdSaveIntervalMin, 60);
}

TEST_F(Rules, PrintIntervalCountsOnlyWhilePrintingIsOn)
{
    rules.changePrintIntervalText("15");
    EXPECT_EQ(s.PrintIntervalMin, 0);
    rules.choosePrint(0);
    EXPECT_TRUE(v.printIntervalShown);
    EXPECT_EQ(s.PrintIntervalMin, 15);
    rules.changePrintIntervalText("0");
    EXPECT_EQ(s.PrintIntervalMin, 60);
    rules.choosePrint(1);
    EXPECT_EQ(s.PrintIntervalMin, 0);
    EXPECT_FALSE(v.printIntervalShown);
    rules.chooseFdSaveMode(3);
    EXPECT_EQ(s.FdSaveMode, 3);
    EXPECT_TRUE(v.fdIntervalShown);
}

TEST_F(Rules, CopyDownFillsTheRowsBelowAndTheirModelValues)
{
    rules.changeFeederCtText(3, "5");
    rules.leaveFeederCtBox(3);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(s.CtRatio[static_cast<std::size_t>(i)], i < 3 ? 1 : 5) << i;
    EXPECT_EQ(v.feederCtText[8], "5");

    rules.changeFeederClampText(2, "20");
    rules.leaveFeederClampBox(2);
    for (int i = 0; i < 9; ++i)
        EXPECT_FLOAT_EQ(s.CurrentScale[static_cast<std::size_t>(i)], i < 2 ? 0.1f : 0.01f) << i;

    rules.changeFeederCtText(7, "0");
    rules.leaveFeederCtBox(7);
    EXPECT_EQ(v.feederCtText[7], "1");
    EXPECT_EQ(s.CtRatio[8], 1);
    rules.changeFeederClampText(6, "0");
    EXPECT_FLOAT_EQ(s.CurrentScale[6], 0.01f)
        << "a zero range leaves the scale until the box is left";
    rules.leaveFeederClampBox(6);
    EXPECT_EQ(v.feederClampText[8], "0.1");
    EXPECT_FLOAT_EQ(s.CurrentScale[8], 2.0f);
}

TEST(CopyDown, OnlyTheRunOfRowsStillHoldingThePreviousValueFollows)
{
    const std::array<QString, 9> column{"1", "1", "1.0", "2", "1", "1", "1", "1", "1"};
    EXPECT_EQ(followingRows(column, 0, "1"), (std::vector<int>{1, 2}))
        << "equal as numbers; row 3 was entered and ends the run, row 4 below it stays too";
    EXPECT_EQ(followingRows(column, 0, "3"), std::vector<int>{});
    EXPECT_EQ(followingRows(column, 3, "1"), (std::vector<int>{4, 5, 6, 7, 8}));
    EXPECT_EQ(followingRows(column, 8, "1"), std::vector<int>{});
}

TEST_F(Rules, CopyDownNeverOverwritesAValueEnteredForAnotherFeeder)
{
    auto enter = [this](int row, const QString& ct, const QString& clamp) {
        rules.changeFeederCtText(row, ct);
        rules.leaveFeederCtBox(row);
        rules.changeFeederClampText(row, clamp);
        rules.leaveFeederClampBox(row);
    };
    enter(1, "2", "5");
    enter(2, "5", "20");
    enter(0, "1", "2"); // feeder 1 typed again with the value it had
    EXPECT_EQ(s.CtRatio[1], 2);
    EXPECT_EQ(s.CtRatio[2], 5);
    EXPECT_FLOAT_EQ(s.CurrentScale[1], 0.04f);
    EXPECT_FLOAT_EQ(s.CurrentScale[2], 0.01f);
    enter(0, "3", "10"); // a new value for feeder 1 alone
    EXPECT_EQ(s.CtRatio[1], 2);
    EXPECT_EQ(v.feederClampText[1], "5");
    // Rows that followed feeder 3 follow its new value, also through a zero replacement.
    enter(2, "0", "0");
    for (std::size_t i = 2; i < 9; ++i) {
        EXPECT_EQ(v.feederCtText[i], "1") << i;
        EXPECT_EQ(v.feederClampText[i], "0.1") << i;
    }
    // A loaded set-up is where the next edit starts from.
    MeasurementSettings loaded;
    loaded.CtRatio = {4, 4, 7, 4, 4, 4, 4, 4, 4};
    loaded.OutputFile = "m.hm3";
    RecorderFacts facts;
    facts.UsableChannelTotal = 20;
    rules.applySettings(loaded, facts, true);
    rules.changeFeederCtText(0, "6");
    rules.leaveFeederCtBox(0);
    EXPECT_EQ(s.CtRatio, (std::array<std::int16_t, 9>{6, 6, 7, 4, 4, 4, 4, 4, 4}));
}

TEST_F(Rules, DateAndTimeBoxesBuildTheMeasurementPeriod)
{
    rules.applyClockDefaults(QDateTime(QDate(2004, 1, 1), QTime(8, 0)));
    rules.changeDateText(0, "2004/02/02");
    rules.changeTimeText(0, "12:00");
    EXPECT_EQ(s.StartDateTime, QDateTime(QDate(2004, 2, 2), QTime(12, 0, 1)));

    rules.changeDateText(0, "2004/02/30");
    rules.changeTimeText(1, "25:00");
    EXPECT_EQ(s.StartDateTime, QDateTime(QDate(2004, 2, 2), QTime(12, 0, 1)));
    EXPECT_EQ(s.EndDateTime, QDateTime(QDate(2004, 1, 2), QTime(8, 0, 1)));
    rules.leaveDateBox(0);
    rules.leaveTimeBox(1);
    EXPECT_EQ(v.dateText[0], "2004/02/02");
    EXPECT_EQ(v.timeText[1], "08:00");

    rules.changeTimeText(0, "00:00");
    rules.stepTime(0, -1);
    EXPECT_EQ(v.timeText[0], "23:59");
    EXPECT_EQ(v.dateText[0], "2004/02/02") << "the date does not move when the time wraps";
    rules.stepTime(0, 1);
    EXPECT_EQ(v.timeText[0], "00:00");
    rules.changeTimeText(0, "23:59");
    rules.stepTime(0, 1);
    EXPECT_EQ(v.timeText[0], "00:00");
    EXPECT_EQ(s.StartDateTime, QDateTime(QDate(2004, 2, 2), QTime(0, 0, 1)));

    rules.changeDateText(1, "2004/02/28");
    rules.stepDate(1, 1);
    EXPECT_EQ(v.dateText[1], "2004/02/29");
    rules.stepDate(1, 1);
    EXPECT_EQ(v.dateText[1], "2004/03/01");
    rules.stepDate(1, -1);
    EXPECT_EQ(s.EndDateTime.date(), QDate(2004, 2, 29));
    rules.changeDateText(1, "2004/0"); // half-typed: the spinner steps from the model's date
    rules.stepDate(1, 1);
    EXPECT_EQ(v.dateText[1], "2004/03/01");
}

TEST(FileNames, ExtensionTable)
{
    EXPECT_EQ(extensionFor(0, 1), ".hm1");
    EXPECT_EQ(extensionFor(1, 3), ".ha4");
    EXPECT_EQ(extensionFor(2, 3), ".ha5");
    EXPECT_EQ(extensionFor(3, 3), ".hv3");
    EXPECT_EQ(extensionFor(4, 9), ".hn9");
    EXPECT_EQ(extensionFor(5, 1), "");
}

TEST(FileNames, ApplyExtensionReplacesOnlyTheFileNamesExtension)
{
    EXPECT_EQ(ApplyExtension("", ".hv3"), ".hv3");
    EXPECT_EQ(ApplyExtension(".hv3", ".hv5"), ".hv5");
    EXPECT_EQ(ApplyExtension("/data/meas.hv3", ".hn3"), "/data/meas.hn3");
    EXPECT_EQ(ApplyExtension("/data/meas.ha4", ".hv1"), "/data/meas.hv1");
    EXPECT_EQ(ApplyExtension("/data/meas", ".hv3"), "/data/meas.hv3");
    // A dot in a folder name is not an extension.
    EXPECT_EQ(ApplyExtension("/home/op/my.data/meas", ".hv3"), "/home/op/my.data/meas.hv3");
    EXPECT_EQ(ApplyExtension("/op/a.b/m", ".hv3"), "/op/a.b/m.hv3");
    // A four-letter extension is replaced, not the whole path.
    EXPECT_EQ(ApplyExtension("/data/meas.data", ".hv3"), "/data/meas.hv3");
    // An extension longer than four letters is part of the name.
    EXPECT_EQ(ApplyExtension("/data/meas.backup", ".hv3"), "/data/meas.backup.hv3");
}

TEST(FileNames, ChosenPathGivesNameAndFolder)
{
    EXPECT_EQ(outputFileFromPath("/data/meas.txt", ".hv3"), "/data/meas.hv3");
    EXPECT_EQ(outputFileFromPath("/home/op/my.data/meas.txt", ".hv3"), "/home/op/my.data/meas.hv3");
    EXPECT_EQ(outputFileFromPath("/home/op/my.data/meas", ".hv3"), "/home/op/my.data/meas.hv3");
    EXPECT_EQ(outputFileFromPath("meas", ""), "meas");
    EXPECT_EQ(outputFolderOf("/data/meas.txt"), "/data/");
    EXPECT_EQ(outputFolderOf("/home/op/my.data/meas.txt"), "/home/op/my.data/");
    EXPECT_EQ(outputFolderOf("meas.txt"), "");
}

TEST(FileNames, PhaseFilesInsertTheLetterIntoTheFileNamesExtension)
{
    EXPECT_EQ(phaseFileName("/d/0101.hv2", 'R'), "/d/0101.Rhv2");
    EXPECT_EQ(phaseFileName("/d/0101.hv2", 'S'), "/d/0101.Shv2");
    EXPECT_EQ(phaseFileName("/d/my.hdata/0101.hm3", 'T'), "/d/my.hdata/0101.Thm3");
    EXPECT_EQ(phaseFileName("/d/my.hdata/0101", 'T'), "/d/my.hdata/T0101");
    EXPECT_EQ(phaseFileName("/d/my.hdata/run.txt", 'S'), "/d/my.hdata/Srun.txt");
    EXPECT_EQ(phaseFileName("run", 'R'), "Rrun");
}

TEST(Entries, NumbersDatesAndTimesThatCanBeTaken)
{
    for (const char* unfinished : {"", "-", "+", ".", "-.", " . "})
        EXPECT_TRUE(isUnfinishedNumber(QString::fromUtf8(unfinished))) << unfinished;
    EXPECT_FALSE(isUnfinishedNumber(QStringLiteral("0")));

    for (const char* good : {"12", "-3.5", " .5 ", "1.", "+7"})
        EXPECT_TRUE(checkNumberEntry(QString::fromUtf8(good)).accepted) << good;
    for (const char* bad : {"12x", "1,000", "e3", "", "1.2.3", "--1", "０"}) {
        const EntryResult r = checkNumberEntry(QString::fromUtf8(bad));
        EXPECT_FALSE(r.accepted) << bad;
        EXPECT_EQ(r.message, QStringLiteral("数値を入力して下さい")) << bad;
    }
    EXPECT_TRUE(checkSensorEntry(QStringLiteral("0")).accepted) << "left to the zero replacement";
    EXPECT_FALSE(checkSensorEntry(QStringLiteral("-0.1")).accepted);
    EXPECT_FALSE(checkSensorEntry(QStringLiteral("x")).accepted);

    EXPECT_TRUE(checkDateEntry(QStringLiteral("2024/02/29")).accepted);
    EXPECT_FALSE(checkDateEntry(QStringLiteral("2026/02/29")).accepted);
    EXPECT_FALSE(checkDateEntry(QStringLiteral("2026/13/01")).accepted);
    EXPECT_TRUE(checkTimeEntry(QStringLiteral("7:5")).accepted);
    EXPECT_FALSE(checkTimeEntry(QStringLiteral("24:00")).accepted);
    EXPECT_FALSE(checkTimeEntry(QStringLiteral("12.30")).accepted);
}

TEST_F(Rules, AMeasurementMustEndAfterItStarts)
{
    rules.applyClockDefaults(QDateTime(QDate(2004, 2, 2), QTime(12, 0)));
    EXPECT_TRUE(rules.checkPeriod().accepted);
    rules.changeDateText(1, QStringLiteral("2004/02/02"));
    const EntryResult same = rules.checkPeriod();
    EXPECT_FALSE(same.accepted);
    EXPECT_EQ(same.message, QStringLiteral("終了日時は開始日時より後にして下さい"));
    rules.changeTimeText(1, QStringLiteral("11:59"));
    EXPECT_FALSE(rules.checkPeriod().accepted);
    rules.stepTime(1, 2);
    EXPECT_TRUE(rules.checkPeriod().accepted);
}

// A set-up read from a file is shown as if the operator had chosen it, and the settings are
// exactly the ones read.
TEST_F(Rules, ALoadedSetUpIsShownAndKept)
{
    const RecorderFacts facts = twoRecorders(8, 4);
    rules.fillFeederCountList(facts);
    rules.applyClockDefaults(QDateTime(QDate(2004, 2, 2), QTime(12, 0)));

    MeasurementSettings loaded;
    loaded.LastFeeder = 2;
    loaded.MeasureType() = 4;
    loaded.SaveOption() = 4;
    loaded.SaveFormat() = 2;
    loaded.setSampleCount(1024);
    loaded.MaxHarmonicOrder = 256;
    loaded.Orders256 = true;
    loaded.SyncMode = 3;
    loaded.PtRatio = 110;
    loaded.CtRatio = {1, 200, 200, 1, 1, 1, 1, 1, 1};
    loaded.CurrentScale.fill(0.2f / 3.0f);
    loaded.PrintIntervalMin = 30;
    loaded.FdSaveMode = 5;
    loaded.FdSaveIntervalMin = 120;
    loaded.SaveIntervalMin = 10;
    loaded.StartDateTime = QDateTime(QDate(2004, 3, 1), QTime(8, 0, 1));
    loaded.EndDateTime = QDateTime(QDate(2004, 3, 2), QTime(8, 0, 1));
    loaded.OutputFile = QStringLiteral("/d/run.hn3");
    loaded.OutputFolder = QStringLiteral("/d/");
    loaded.RcRows[2].ticked = true;
    loaded.VConnection[0] = true;
    buildFeederChannelMap(loaded, facts, 3);

    rules.applySettings(loaded, facts, false);
    EXPECT_EQ(s.ModeTable, loaded.ModeTable);
    EXPECT_EQ(s.SampleCount, 1024);
    EXPECT_EQ(s.MaxHarmonicOrder, 256);
    EXPECT_EQ(s.CtRatio, loaded.CtRatio);
    EXPECT_EQ(s.CurrentScale, loaded.CurrentScale);
    EXPECT_EQ(s.InputChannel, loaded.InputChannel);
    EXPECT_EQ(s.PrintIntervalMin, 30);
    EXPECT_EQ(s.StartDateTime, loaded.StartDateTime);
    EXPECT_EQ(s.EndDateTime, loaded.EndDateTime);
    EXPECT_EQ(s.OutputFile, loaded.OutputFile);
    EXPECT_TRUE(s.RcRows[2].ticked);
    EXPECT_TRUE(s.VConnection[0]);

    EXPECT_EQ(v.feederCount, 3);
    EXPECT_TRUE(v.channelTableShown);
    EXPECT_EQ(v.measureTypeChoice, 4);
    EXPECT_EQ(v.saveOptionChoice, 4);
    EXPECT_FALSE(v.samplingEnabled[0]);
    EXPECT_EQ(v.saveFormatChoice, 2);
    EXPECT_EQ(v.printChoice, 0);
    EXPECT_EQ(v.printIntervalText, QStringLiteral("30"));
    EXPECT_TRUE(v.fdIntervalShown);
    EXPECT_EQ(v.feederCtText[1], QStringLiteral("200"));
    EXPECT_EQ(v.feederClampText[2], QStringLiteral("3"));
    EXPECT_EQ(v.ptText[1], QStringLiteral("110"));
    EXPECT_EQ(v.dateText[1], QStringLiteral("2004/03/02"));
    EXPECT_EQ(v.timeText[0], QStringLiteral("08:00"));
}

TEST_F(Rules, NegativeIntervalsAreRefused)
{
    for (auto change :
         {&SettingsRules::changeSaveIntervalText, &SettingsRules::changeFdIntervalText,
          &SettingsRules::changePrintIntervalText}) {
        const EntryResult r = (rules.*change)(QStringLiteral("-5"));
        EXPECT_FALSE(r.accepted);
        EXPECT_EQ(r.message, intervalMessage());
    }
    EXPECT_EQ(s.SaveIntervalMin, 5);
    EXPECT_EQ(s.FdSaveIntervalMin, 60);
    EXPECT_EQ(v.saveIntervalText, QStringLiteral("5"));
    // A negative that rounds to zero is a zero, and replaced.
    EXPECT_TRUE(rules.changeSaveIntervalText(QStringLiteral("-0.4")).accepted);
    EXPECT_EQ(s.SaveIntervalMin, 1);
}
