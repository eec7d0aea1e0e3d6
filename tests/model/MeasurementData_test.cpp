#include "model/MeasurementData.h"
#include "model/RecorderFacts.h"
#include "model/MeasurementSettings.h"

#include <gtest/gtest.h>

using namespace hs;

namespace {

MeasurementSettings settingsFor(int feeders, int sampleCount, int saveOption)
{
    MeasurementSettings s;
    s.LastFeeder = static_cast<std::int16_t>(feeders - 1);
    s.setSampleCount(sampleCount);
    s.SaveOption() = static_cast<std::int16_t>(saveOption);
    s.MaxHarmonicOrder = saveOption == 4 ? 256 : 99;
    return s;
}

} // namespace

TEST(MeasurementData, PreparationSizesWaveformsAndTransformTables)
{
    MeasurementData d;
    d.sizeForPreparation(settingsFor(9, 1024, 4));
    EXPECT_EQ(d.WaveData.dim0(), 30u);
    EXPECT_EQ(d.WaveData.dim1(), 1025u);
    EXPECT_EQ(d.SamplePosition.size(), 1026u);
    EXPECT_EQ(d.BitReverse.size(), 1025u);
    EXPECT_EQ(d.TwiddleCos.size(), 513u);
    EXPECT_EQ(d.TwiddleSin.size(), 513u);
    EXPECT_EQ(d.FftReal.size(), 1025u);
    EXPECT_EQ(d.FftImag.size(), 1025u);

    d.WaveData(29, 1024) = 7;
    d.sizeForPreparation(settingsFor(1, 256, 3));
    EXPECT_EQ(d.WaveData.dim0(), 6u);
    EXPECT_EQ(d.WaveData.dim1(), 257u);
    for (std::size_t i = 0; i < d.WaveData.size(); ++i)
        ASSERT_EQ(d.WaveData.data()[i], 0);
}

TEST(MeasurementData, WaveDataStoresTheChannelIndexFastest)
{
    MeasurementData d;
    d.sizeForPreparation(settingsFor(2, 256, 3));
    const std::size_t channels = d.WaveData.dim0();
    ASSERT_EQ(channels, 9u);
    d.WaveData(1, 0) = 11;
    d.WaveData(0, 1) = 22;
    d.WaveData(8, 256) = 33;
    EXPECT_EQ(d.WaveData.data()[1], 11);
    EXPECT_EQ(d.WaveData.data()[channels], 22);
    EXPECT_EQ(d.WaveData.data()[d.WaveData.size() - 1], 33);

    d.sizeForMeasurement(settingsFor(2, 256, 3));
    d.CurCos(1, 0, 0) = 1.0f;
    d.CurCos(0, 1, 0) = 2.0f;
    d.CurCos(0, 0, 1) = 3.0f;
    EXPECT_EQ(d.CurCos.data()[1], 1.0f);
    EXPECT_EQ(d.CurCos.data()[2], 2.0f);     // feeders (2) vary fastest
    EXPECT_EQ(d.CurCos.data()[2 * 6], 3.0f); // then the 6 slots
}

TEST(MeasurementData, MeasurementSizingFollowsFeedersAndHighestOrder)
{
    for (const int option : {3, 4}) {
        MeasurementData d;
        d.sizeForMeasurement(settingsFor(3, 1024, option));
        const std::size_t k = option == 4 ? 257u : 100u;
        EXPECT_EQ(d.VoltCos.dim0(), 6u);
        EXPECT_EQ(d.VoltCos.dim1(), k);
        EXPECT_EQ(d.CurSin.dim0(), 3u);
        EXPECT_EQ(d.CurSin.dim1(), 6u);
        EXPECT_EQ(d.CurSin.dim2(), k);
        EXPECT_EQ(d.VoltMag.dim0(), k);
        EXPECT_EQ(d.VoltMag.dim1(), 3u);
        EXPECT_EQ(d.CurMag.dim0(), 3u);
        EXPECT_EQ(d.CurMag.dim1(), k);
        EXPECT_EQ(d.CurMag.dim2(), 3u);
        EXPECT_EQ(d.CurFundRawCos.dim0(), 3u);
        EXPECT_EQ(d.CurFundRawCos.dim1(), 3u);
        for (const std::size_t size :
             {d.VoltByOrder.size(), d.VoltSuperRe.size(), d.VoltSuperIm.size(),
              d.VoltSuperAngle.size(), d.VoltRatio.size(), d.IntVoltByOrder.size(),
              d.IntVoltSuperRe.size(), d.IntVoltSuperIm.size()})
            EXPECT_EQ(size, k);
        for (const Array2<float>* a :
             {&d.CurByOrder, &d.ActivePower, &d.ReactivePower, &d.CurSuperRe, &d.CurSuperIm,
              &d.CurRatio, &d.PowerRatio, &d.IntCurByOrder, &d.IntActivePower, &d.IntReactivePower,
              &d.IntCurSuperRe, &d.IntCurSuperIm}) {
            EXPECT_EQ(a->dim0(), 3u);
            EXPECT_EQ(a->dim1(), k);
        }
        EXPECT_EQ(d.PowerAngle.dim1(), k);
        EXPECT_EQ(d.CurSuperAngle.dim1(), k);
        // Fixed rows whatever the feeder count.
        EXPECT_EQ(d.CurRms.dim0(), 9u);
        EXPECT_EQ(d.IntCurRms.dim0(), 9u);
        EXPECT_EQ(d.CurHarmRssPhase.dim0(), 10u);
    }
}

TEST(MeasurementData, MeasurementSizingClearsTheWholeIntervalRecord)
{
    MeasurementData d;
    const MeasurementSettings s = settingsFor(2, 512, 3);
    d.sizeForMeasurement(s);
    d.IntCurByOrder(1, 5) = 3.0f;
    d.IntVoltRms[2] = 4.0f;
    d.IntCurRms(8, 2) = 5.0f;
    d.ShotCount = 12;
    d.VoltCos(5, 99) = 6.0f;
    d.sizeForMeasurement(s);
    EXPECT_EQ(d.IntCurByOrder(1, 5), 0.0f);
    EXPECT_EQ(d.IntVoltRms[2], 0.0f);
    EXPECT_EQ(d.IntCurRms(8, 2), 0.0f);
    EXPECT_EQ(d.ShotCount, 0);
    EXPECT_EQ(d.VoltCos(5, 99), 0.0f);
}

TEST(MeasurementData, StraySettingsDoNotTurnIntoHugeArrays)
{
    MeasurementSettings s;
    s.LastFeeder = -1;
    s.SampleCount = -512;
    s.MaxHarmonicOrder = -5;
    MeasurementData d;
    d.sizeForPreparation(s);
    d.sizeForMeasurement(s);
    EXPECT_EQ(d.WaveData.dim0(), 6u);
    EXPECT_LE(d.WaveData.size(), 6u * 1025u);
    EXPECT_LE(d.VoltByOrder.size(), 257u);
    s.LastFeeder = 30;
    d.sizeForPreparation(s);
    EXPECT_EQ(d.WaveData.dim0(), 30u);
}

TEST(MeasurementData, VoltageAndElementCountsFollowTheMeasureType)
{
    const int voltageLast[5] = {0, 1, 2, 0, 2};
    const int elementLast[5] = {0, 1, 1, 0, 1};
    for (int type = 0; type <= 4; ++type) {
        MeasurementSettings s;
        s.MeasureType() = static_cast<std::int16_t>(type);
        MeasurementData d;
        d.sizeForMeasurement(s);
        EXPECT_EQ(d.VoltageLast, voltageLast[type]) << type;
        EXPECT_EQ(d.ElementLast, elementLast[type]) << type;
    }
}

TEST(MeasurementData, CountsPerDivisionFollowTheRecorderOfTheInput)
{
    RecorderFacts facts;
    facts.LastRecorder = 1;
    facts.ModelClass = {1, 2};
    MeasurementSettings s;
    s.InputRecorder[3] = 1;
    EXPECT_EQ(CountsPerDivision(s, facts, 0), 80);
    EXPECT_EQ(CountsPerDivision(s, facts, 3), 160);
    facts.ModelClass = {2, 0};
    EXPECT_EQ(CountsPerDivision(s, facts, 0), 160);
    EXPECT_EQ(CountsPerDivision(s, facts, 3), 80);
    EXPECT_EQ(CountsPerDivision(s, facts, 20), 80);
    EXPECT_EQ(CountsPerDivision(s, facts, -1), 80);
}
