#include "engine/InstrumentPreparation.h"

#include "integration/SimStation.h"

#include "common/Numbers.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using hs::testing::SimStation;

constexpr double kScale = 0.01;

QStringList displayLines(const QStringList& lines)
{
    QStringList out;
    for (const QString& l : lines)
        if (l.startsWith(QStringLiteral(":DISP:DRAW")) ||
            l.startsWith(QStringLiteral(":CONF:TDIV")))
            out << l;
    return out;
}

// One feeder of the two-meter type on an 8841: the whole configuration in order.
TEST(Preparation, ConfigurationSendsTheSetUpInOrder)
{
    SimStation st(kScale);
    ASSERT_TRUE(st.connect(1, 2));
    auto ctx = st.context();
    hs::InstrumentPreparation prep(ctx);
    ASSERT_TRUE(prep.Configure().ok());

    const QStringList expected = {
        QStringLiteral(":ABORT"), QStringLiteral(":HEAD OFF"),
        // Inputs 0..3 on channels 1..4; channels 5..8 carry units but no input.
        QStringLiteral(":DISP:DRAW CH 1,C2"), QStringLiteral(":DISP:DRAW CH 2,C1"),
        QStringLiteral(":DISP:DRAW CH 3,C2"), QStringLiteral(":DISP:DRAW CH 4,C1"),
        QStringLiteral(":DISP:DRAW CH 5,OFF"), QStringLiteral(":DISP:DRAW CH 6,OFF"),
        QStringLiteral(":DISP:DRAW CH 7,OFF"), QStringLiteral(":DISP:DRAW CH 8,OFF"),
        QStringLiteral(":TRIG:KIND CH 1,OFF"),
        QStringLiteral(":CONF:TDIV +500E-6;SHOT 100;FORM DUAL;:DISP:XMAG X1_5"),
        QStringLiteral(":UNIT:RANG? CH 1"), QStringLiteral(":DISP:YMAG? CH 1"),
        QStringLiteral(":UNIT:POSI CH 1,50"), QStringLiteral(":DISP:GRAP CH 1, 1"),
        QStringLiteral(":UNIT:RANG? CH 2"), QStringLiteral(":DISP:YMAG? CH 2"),
        QStringLiteral(":UNIT:POSI CH 2,50"), QStringLiteral(":TRIG:KIND CH 2,OFF"),
        QStringLiteral(":DISP:GRAP CH 2, 1"), QStringLiteral(":UNIT:RANG? CH 3"),
        QStringLiteral(":DISP:YMAG? CH 3"), QStringLiteral(":UNIT:POSI CH 3,50"),
        QStringLiteral(":TRIG:KIND CH 3,OFF"), QStringLiteral(":DISP:GRAP CH 3, 2"),
        QStringLiteral(":UNIT:RANG? CH 4"), QStringLiteral(":DISP:YMAG? CH 4"),
        QStringLiteral(":UNIT:POSI CH 4,50"), QStringLiteral(":TRIG:KIND CH 4,OFF"),
        QStringLiteral(":DISP:GRAP CH 4, 2"), QStringLiteral(":TRIG:KIND CH1,LEVE"),
        QStringLiteral(":TRIG:LEVE CH 1,0 ;SLOP CH 1,UP"), QStringLiteral(":TRIG:MODE SING;PRET 2"),
        QStringLiteral(":UNIT:ADJUST")};
    QStringList got = st.linesAfter(expected.size());
    // Ranges that differ within a pair add range lines before the zero adjustment; the
    // simulator starts every pair equal, so none are expected here.
    EXPECT_EQ(got, expected) << qPrintable(got.join(QLatin1Char('|')));
    EXPECT_EQ(st.data.ElementLast, 1);
    EXPECT_EQ(st.data.WaveData.dim0(), 6u);
    EXPECT_EQ(st.data.WaveData.dim1(), 513u);
    for (int k = 0; k < 4; ++k) {
        EXPECT_FLOAT_EQ(st.data.InputRange[static_cast<std::size_t>(k)],
                        static_cast<float>(st.sim->recorder(0).range(k + 1)));
        EXPECT_GT(st.data.InputRange[static_cast<std::size_t>(k)], 0.0f);
    }
}

// The 8840 draws with DARK and NORM; three feeders use eight channels: QUAD.
TEST(Preparation, DrawingModesOfTheModelAndTheLayoutOfManyChannels)
{
    SimStation st(kScale, 8840);
    ASSERT_TRUE(st.connect(3, 2));
    auto ctx = st.context();
    hs::InstrumentPreparation prep(ctx);
    ASSERT_TRUE(prep.Configure().ok());
    const QStringList expected = {
        QStringLiteral(":DISP:DRAW CH 1,DARK"),
        QStringLiteral(":DISP:DRAW CH 2,NORM"),
        QStringLiteral(":DISP:DRAW CH 3,DARK"),
        QStringLiteral(":DISP:DRAW CH 4,NORM"),
        QStringLiteral(":DISP:DRAW CH 5,DARK"),
        QStringLiteral(":DISP:DRAW CH 6,NORM"),
        QStringLiteral(":DISP:DRAW CH 7,DARK"),
        QStringLiteral(":DISP:DRAW CH 8,NORM"),
        QStringLiteral(":CONF:TDIV +500E-6;SHOT 100;FORM QUAD;:DISP:XMAG X1_5")};
    st.linesAfter(60);
    EXPECT_EQ(displayLines(st.lines()), expected);
    // Two inputs per graph: inputs 4, 5 on graph 3, inputs 6, 7 on graph 4.
    EXPECT_TRUE(st.lines().contains(QStringLiteral(":DISP:GRAP CH 5, 3")));
    EXPECT_TRUE(st.lines().contains(QStringLiteral(":DISP:GRAP CH 8, 4")));
}

// Both inputs of a pair end on the larger range, except for the types that measure only the
// first input of each pair.
TEST(Preparation, PairRangesAreEqualisedUpwards)
{
    for (const int type : {2, 0}) {
        SimStation st(kScale);
        ASSERT_TRUE(st.connect(1, type));
        st.sim->recorder(0).executeLine(":UNIT:RANG CH 1, 2");
        st.sim->recorder(0).executeLine(":UNIT:RANG CH 2, 5");
        st.sim->recorder(0).clearLog();
        auto ctx = st.context();
        hs::InstrumentPreparation prep(ctx);
        ASSERT_TRUE(prep.Configure().ok());
        const QStringList got = st.linesAfter(type == 2 ? 37 : 28);
        if (type == 2) {
            EXPECT_TRUE(got.contains(QStringLiteral(":UNIT:RANG CH 1, 5")))
                << qPrintable(got.join('|'));
            EXPECT_FLOAT_EQ(st.data.InputRange[0], 5.0f);
            EXPECT_FLOAT_EQ(st.data.InputRange[1], 5.0f);
            EXPECT_DOUBLE_EQ(st.sim->recorder(0).range(1), 5.0);
            // The range is set before the zero adjustment.
            EXPECT_LT(got.indexOf(QStringLiteral(":UNIT:RANG CH 1, 5")),
                      got.indexOf(QStringLiteral(":UNIT:ADJUST")));
        } else {
            for (const QString& l : got)
                EXPECT_FALSE(l.startsWith(QStringLiteral(":UNIT:RANG CH"))) << qPrintable(l);
            // Only the first input of each pair is read.
            EXPECT_FALSE(got.contains(QStringLiteral(":UNIT:RANG? CH 2")));
            EXPECT_FLOAT_EQ(st.data.InputRange[0], 2.0f);
        }
    }
}

// The check shot measures the inputs: primary-side values in the label text, the fundamental
// angles and the phase sequence of the V-connected line voltages (T-S 60 degrees ahead).
TEST(Preparation, CheckShotResultsMatchTheSignals)
{
    SimStation st(kScale);
    ASSERT_TRUE(st.connect(2, 2));
    auto ctx = st.context();
    hs::InstrumentPreparation prep(ctx);
    int started = 0;
    prep.onShotStarted = [&] { ++started; };
    hs::PreparationResult r;
    ASSERT_TRUE(prep.Run(r).ok());
    EXPECT_EQ(started, r.Attempts);
    EXPECT_TRUE(r.FrequencyText.startsWith(QStringLiteral("基本波周波数 50.0")))
        << qPrintable(r.FrequencyText);
    EXPECT_TRUE(r.FrequencyText.endsWith(QStringLiteral("Hz")));

    // "入力電圧,Vr-s= 6600.0V ,Vt-s= 6600.0V\r入力電流,I1r= 200.0A ,I1t= 200.0A\r..."
    const QStringList lines = r.InputText.split(QLatin1Char('\r'));
    ASSERT_EQ(lines.size(), 4) << qPrintable(r.InputText);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("入力電圧,Vr-s= ")));
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("入力電流,I1r= ")));
    EXPECT_TRUE(lines[2].startsWith(QStringLiteral("入力電流,I2r= ")));
    EXPECT_EQ(lines[3], QStringLiteral("結線はこのままでよいですか"));
    const auto valueAfter = [](const QString& line, const QString& key) {
        return hs::readNumber(QStringView(line).mid(line.indexOf(key) + key.size()));
    };
    // RMS values include the harmonics (about 2 % for the voltages, 6 % for the currents).
    EXPECT_NEAR(valueAfter(lines[0], QStringLiteral("Vr-s=")), 6600.0, 6600 * 0.01);
    EXPECT_NEAR(valueAfter(lines[0], QStringLiteral("Vt-s=")), 6600.0, 6600 * 0.01);
    EXPECT_NEAR(valueAfter(lines[1], QStringLiteral("I1t=")), 200.0, 200 * 0.01);
    EXPECT_NEAR(valueAfter(lines[2], QStringLiteral("I2r=")), 150.0, 150 * 0.01);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("V"))) << qPrintable(lines[0]);

    const double degree = 3.14159265 / 180.0;
    const auto angleNear = [&](double got, double wantDeg) {
        const double d = std::remainder(got - wantDeg * degree, 2 * 3.14159265);
        EXPECT_LT(std::abs(d), 3 * degree) << got / degree << " vs " << wantDeg;
    };
    // The period starts at the rising crossing of R-S.
    angleNear(r.Theta[0], 0.0);
    angleNear(r.Theta[1], 60.0);
    angleNear(r.Theta[2], -48.0);       // feeder 1 R current: -30 - 18
    angleNear(r.Theta[5], 90.0 - 25.0); // feeder 2 T current
    EXPECT_DOUBLE_EQ(r.Rho, 1.05);
}

// A CT wired with reversed polarity (negative ratio): the label shows the current as a positive
// RMS value and the diagram's current vectors of that feeder turn by 180 degrees.
TEST(Preparation, NegativeCtRatioTurnsTheVectorNotTheRms)
{
    SimStation st(kScale);
    ASSERT_TRUE(st.connect(2, 2));
    st.settings.CtRatio[0] = -5;
    auto ctx = st.context();
    hs::InstrumentPreparation prep(ctx);
    hs::PreparationResult r;
    ASSERT_TRUE(prep.Run(r).ok());
    const QString line = r.InputText.split(QLatin1Char('\r')).value(1);
    const QString key = QStringLiteral("I1r=");
    const double i1r = hs::readNumber(QStringView(line).mid(line.indexOf(key) + key.size()));
    EXPECT_NEAR(i1r, 1000.0, 1000 * 0.01) << qPrintable(line);
    const double degree = 3.14159265 / 180.0;
    EXPECT_LT(std::abs(std::remainder(r.Theta[2] - 132.0 * degree, 2 * 3.14159265)), 3 * degree)
        << r.Theta[2] / degree; // -48 degrees turned by 180
    EXPECT_LT(std::abs(std::remainder(r.Theta[0], 2 * 3.14159265)), 3 * degree);
}

// A check shot that never finds a period is not repeated for ever: the operator is told.
TEST(Preparation, CheckShotGivesUpAfterItsBound)
{
    SimStation st(0.002);
    ASSERT_TRUE(st.connect(1, 2));
    auto ctx = st.context();
    hs::InstrumentPreparation prep(ctx);
    ASSERT_TRUE(prep.Configure().ok());
    hs::sim::FaultPlan plan;
    plan.noZeroCrossing = true;
    st.sim->recorder(0).setFaults(plan);
    st.sim->recorder(0).clearLog();
    hs::PreparationResult r;
    const hs::Result<void> shot = prep.CheckShot(r);
    ASSERT_FALSE(shot.ok());
    EXPECT_TRUE(shot.error().is(hs::PreparationCheckShotFailed));
    EXPECT_EQ(r.Attempts, hs::kCheckShotAttempts);
    EXPECT_EQ(st.lines().count(QStringLiteral(":STAR")), hs::kCheckShotAttempts);
    ASSERT_EQ(st.observer.messages.size(), 1u);
    EXPECT_EQ(st.observer.messages[0].first, hs::kCheckShotFailedText);
    EXPECT_EQ(st.observer.messages[0].second, QStringLiteral("エラー"));
}

TEST(Preparation, CancelPutsTheRecordersBackToIdle)
{
    SimStation st(kScale);
    ASSERT_TRUE(st.connect(1, 2));
    auto ctx = st.context();
    hs::InstrumentPreparation prep(ctx);
    prep.Cancel();
    EXPECT_EQ(st.linesAfter(2),
              (QStringList{QStringLiteral(":DISP:CHAN DISP;:FUNM MEM;:CONF:TDIV 5E-4;SHOT 50"),
                           QStringLiteral(":HEAD OFF")}));
}

} // namespace
