#include "engine/RangeAdjustment.h"

#include "EngineSimFixture.h"

using namespace hs;
using namespace hs::enginetest;

namespace {

// Inputs 2p and 2p + 1 on channels 2p + 1 and 2p + 2 of the recorder given per pair.
class RangeAdjustment : public EngineSim {
protected:
    RangeAdjustment() { clock.setTimeScale(0.1); } // fine enough to measure the pauses

    void setUp(int model, int lastFeeder, int elementLast, int recorders = 1, int pairOnSecond = 99)
    {
        TestSignal s;
        start(s, recorders, model, model);
        for (int r = 0; r < recorders; ++r)
            pair[r].headerOff();
        settings.LastFeeder = static_cast<std::int16_t>(lastFeeder);
        for (int k = 0; k < 20; ++k) {
            const bool second = k / 2 >= pairOnSecond;
            settings.InputRecorder[static_cast<std::size_t>(k)] = second ? 1 : 0;
            settings.InputChannel[static_cast<std::size_t>(k)] =
                static_cast<std::int16_t>(k % 8 + 1);
        }
        data.ElementLast = static_cast<std::int16_t>(elementLast);
        // Every used input starts at 1 V/div, x1, with a peak that asks for nothing.
        for (int k = 0; k <= 2 * lastFeeder + 3; ++k)
            setRange(k, 1.0f, 1.0f);
        data.InputPeak.fill(500);
        resetLogs();
    }

    // Lets every command sent so far arrive, then forgets them.
    void resetLogs()
    {
        settle();
        clearLogs();
    }

    // Puts input k's channel on the recorder and in the data to this range and divisor.
    void setRange(int k, float range, float divisor)
    {
        const std::size_t a = static_cast<std::size_t>(k);
        SetInputRange(ctx, settings.InputChannel[a], range, settings.InputRecorder[a], divisor);
        data.InputRange[a] = range;
        data.InputDivisor[a] = divisor;
    }
    double simRange(int k)
    {
        const std::size_t a = static_cast<std::size_t>(k);
        return rec(settings.InputRecorder[a]).range(settings.InputChannel[a]);
    }
    double simDivisor(int k)
    {
        const std::size_t a = static_cast<std::size_t>(k);
        return rec(settings.InputRecorder[a]).divisor(settings.InputChannel[a]);
    }
    // Nominal milliseconds between two logged lines of recorder r.
    qint64 gap(int r, const QString& from, const QString& to)
    {
        const auto& log = rec(r).commandLog();
        const auto l = lines(r);
        const auto a = l.indexOf(from), b = l.indexOf(to);
        EXPECT_GE(a, 0) << from.toStdString();
        EXPECT_GT(b, a) << to.toStdString();
        if (a < 0 || b <= a)
            return -1;
        return log[a].time.msecsTo(log[b].time);
    }
    void settle() { clock.waitMs(300); }
};

} // namespace

TEST_F(RangeAdjustment, OverflowStepsThePairUpWithThePausesAndTheZeroAdjustment)
{
    setUp(8835, 0, 1);
    setRange(0, 20, 1);
    setRange(1, 20, 1);
    resetLogs();
    data.InputPeak[0] = 1700;
    data.InputPeak[1] = 300;

    const QDateTime before = clock.now();
    EXPECT_TRUE(AdjustRanges(ctx));
    const QDateTime after = clock.now();
    settle();

    EXPECT_EQ(simRange(0), 50.0);
    EXPECT_EQ(simRange(1), 50.0);
    EXPECT_EQ(data.InputRange[0], 50.0f);
    EXPECT_EQ(data.InputRange[1], 50.0f);
    EXPECT_EQ(simRange(2), 1.0) << "the current pair is left alone";
    EXPECT_EQ(lines(0),
              (QStringList{":UNIT:RANG CH 1, 50", ":DISP:YMAG CH 1,X1_ 1", ":UNIT:RANG CH 2, 50",
                           ":DISP:YMAG CH 2,X1_ 1", ":UNIT:ADJUST"}));
    EXPECT_TRUE(observer.saw(kRangeAdjustingText));

    const qint64 rangeToMag = gap(0, ":UNIT:RANG CH 1, 50", ":DISP:YMAG CH 1,X1_ 1");
    const qint64 pairPause = gap(0, ":DISP:YMAG CH 1,X1_ 1", ":UNIT:RANG CH 2, 50");
    const qint64 settling = gap(0, ":DISP:YMAG CH 2,X1_ 1", ":UNIT:ADJUST");
    EXPECT_GE(rangeToMag, 90);
    EXPECT_GE(pairPause, 490);
    EXPECT_LT(pairPause, 650);
    EXPECT_GE(settling, 190);
    EXPECT_LT(settling, 350);
    const auto adjust = rec(0).commandLog().back().time;
    EXPECT_GE(adjust.msecsTo(after), 490) << "500 ms after the zero adjustment";
    EXPECT_GE(before.msecsTo(after), 100 + 500 + 100 + 200 + 500 - 20);
    EXPECT_EQ(data.RangeDownCount[0], 0);
}

TEST_F(RangeAdjustment, TwoPairsSteppedWaitFourHundredMilliseconds)
{
    setUp(8835, 0, 1);
    data.InputPeak[1] = 1601;
    data.InputPeak[2] = 1650;
    EXPECT_TRUE(AdjustRanges(ctx));
    settle();
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(simRange(k), 2.0) << k;
    const qint64 settling = gap(0, ":DISP:YMAG CH 4,X1_ 1", ":UNIT:ADJUST");
    EXPECT_GE(settling, 390);
    EXPECT_LT(settling, 550);
}

TEST_F(RangeAdjustment, SixthSmallShotStepsDownAndOtherShotsRestartTheCount)
{
    setUp(8841, 0, 1);
    data.InputPeak[2] = 399;
    data.InputPeak[3] = 120;
    for (int shot = 1; shot <= 5; ++shot) {
        EXPECT_FALSE(AdjustRanges(ctx)) << shot;
        EXPECT_EQ(data.RangeDownCount[1], shot);
    }
    settle();
    EXPECT_TRUE(lines(0).isEmpty()) << "nothing is sent before the sixth small shot";
    EXPECT_TRUE(AdjustRanges(ctx));
    settle();
    EXPECT_EQ(data.RangeDownCount[1], 0);
    EXPECT_EQ(simRange(2), 0.5);
    EXPECT_EQ(simRange(3), 0.5);
    EXPECT_EQ(simRange(0), 1.0);

    // Three small shots, one ordinary one: the count starts again.
    for (int shot = 0; shot < 3; ++shot)
        AdjustRanges(ctx);
    EXPECT_EQ(data.RangeDownCount[1], 3);
    data.InputPeak[3] = 400;
    EXPECT_FALSE(AdjustRanges(ctx));
    EXPECT_EQ(data.RangeDownCount[1], 0);
}

TEST_F(RangeAdjustment, LargePeakGetsTheQuarterMagnificationOnce)
{
    setUp(8841, 0, 1);
    data.InputPeak[0] = 200;
    data.InputPeak[1] = 900;
    data.RangeDownCount[0] = 4;
    EXPECT_FALSE(AdjustRanges(ctx)) << "a magnification is no reason to repeat the shot";
    settle();
    EXPECT_EQ(simDivisor(0), 4.0);
    EXPECT_EQ(simDivisor(1), 4.0);
    EXPECT_EQ(simRange(0), 1.0);
    EXPECT_EQ(data.InputDivisor[0], 4.0f);
    EXPECT_EQ(data.InputDivisor[1], 4.0f);
    EXPECT_EQ(data.RangeDownCount[0], 0);
    EXPECT_EQ(lines(0), (QStringList{":UNIT:RANG CH 1, 1", ":DISP:YMAG CH 1,X1_ 4",
                                     ":UNIT:RANG CH 2, 1", ":DISP:YMAG CH 2,X1_ 4"}));
    clearLogs();
    EXPECT_FALSE(AdjustRanges(ctx));
    settle();
    EXPECT_TRUE(lines(0).isEmpty());
}

TEST_F(RangeAdjustment, TwoTenthsAndTwoHundredthsStepUpToFive)
{
    setUp(8841, 0, 1);
    setRange(0, 0.2f, 1);
    setRange(1, 0.2f, 1);
    setRange(2, 0.02f, 1);
    setRange(3, 0.02f, 1);
    data.InputPeak[0] = 2047;
    data.InputPeak[3] = 1700;
    EXPECT_TRUE(AdjustRanges(ctx));
    settle();
    EXPECT_DOUBLE_EQ(simRange(0), 0.5);
    EXPECT_DOUBLE_EQ(simRange(1), 0.5);
    EXPECT_DOUBLE_EQ(simRange(2), 0.05);
    EXPECT_DOUBLE_EQ(simRange(3), 0.05);
    EXPECT_TRUE(lines(0).contains(":UNIT:RANG CH 3, .05"));
}

TEST_F(RangeAdjustment, RangeLimitsAreRespected)
{
    setUp(8841, 0, 1);
    setRange(0, 20, 1); // the 8841's highest
    setRange(1, 20, 1);
    setRange(2, 0.005f, 1); // its lowest
    setRange(3, 0.005f, 1);
    resetLogs();
    data.InputPeak[0] = 1800;
    data.InputPeak[2] = 10;
    data.InputPeak[3] = 10;
    for (int shot = 0; shot < 7; ++shot) {
        EXPECT_FALSE(AdjustRanges(ctx));
        EXPECT_EQ(data.RangeDownCount[1], 0);
    }
    settle();
    EXPECT_EQ(simRange(0), 20.0);
    EXPECT_EQ(simRange(2), 0.005);
    // The overflowing pair only gets the quarter magnification, once.
    EXPECT_EQ(simDivisor(0), 4.0);
    EXPECT_EQ(lines(0).filter(":UNIT:RANG").size(), 2);
}

TEST_F(RangeAdjustment, WithOneInputPerPairOnlyTheFirstIsStepped)
{
    setUp(8841, 0, 0);
    setRange(0, 2, 1);
    setRange(1, 5, 2);
    resetLogs();
    data.InputPeak[0] = 100;
    data.InputPeak[1] = 1700; // the second peak still counts
    EXPECT_TRUE(AdjustRanges(ctx));
    settle();
    EXPECT_EQ(simRange(0), 5.0);
    EXPECT_EQ(simRange(1), 5.0);
    EXPECT_EQ(simDivisor(1), 2.0);
    EXPECT_EQ(data.InputDivisor[1], 2.0f);
    EXPECT_EQ(lines(0),
              (QStringList{":UNIT:RANG CH 1, 5", ":DISP:YMAG CH 1,X1_ 1", ":UNIT:ADJUST"}));
}

TEST_F(RangeAdjustment, PairOnTheSecondRecorderAndZeroAdjustmentOrder)
{
    setUp(8841, 0, 1, 2, 1); // the current pair (inputs 2, 3) on recorder 2
    data.InputPeak[3] = 1700;
    const double untouched = rec(0).range(3);
    EXPECT_TRUE(AdjustRanges(ctx));
    settle();
    EXPECT_EQ(simRange(2), 2.0);
    EXPECT_EQ(simRange(3), 2.0);
    EXPECT_EQ(rec(1).range(3), 2.0);
    EXPECT_EQ(rec(0).range(3), untouched) << "recorder 1's channel 3 is another input";
    EXPECT_EQ(lines(0), QStringList{":UNIT:ADJUST"});
    EXPECT_EQ(lines(1).back(), ":UNIT:ADJUST");
    EXPECT_LE(rec(1).commandLog().back().time, rec(0).commandLog().back().time);
}

TEST_F(RangeAdjustment, ReadInputRangeReadsRangeAndDivisor)
{
    setUp(8841, 0, 1);
    float range = 0, divisor = 0;
    setRange(0, 0.5f, 2);
    settle();
    ASSERT_TRUE(ReadInputRange(ctx, 1, 0, range, divisor));
    EXPECT_EQ(range, 0.5f);
    EXPECT_EQ(divisor, 2.0f);
    setRange(0, 10, 0.5f); // x2
    settle();
    ASSERT_TRUE(ReadInputRange(ctx, 1, 0, range, divisor));
    EXPECT_EQ(range, 10.0f);
    EXPECT_EQ(divisor, 0.5f);
}

TEST_F(RangeAdjustment, RecorderThatNeverAnswersTheRangeIsGivenUp)
{
    setUp(8841, 0, 1);
    clock.setTimeScale(0.005);
    sim::FaultPlan plan;
    plan.silentCommand = QStringLiteral(":DISP:YMAG?");
    rec(0).setFaults(plan);
    resetLogs();
    float range = 7, divisor = 7;
    EXPECT_FALSE(ReadInputRange(ctx, 3, 0, range, divisor));
    EXPECT_EQ(range, 0.0f);
    EXPECT_EQ(divisor, 1.0f);
    EXPECT_EQ(lines(0).count(":UNIT:RANG? CH 3"), kRangeReadAttempts);
    EXPECT_TRUE(observer.saw(kRangeReadFailedText + "3"));
}
