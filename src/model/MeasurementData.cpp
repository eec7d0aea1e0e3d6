#include "model/MeasurementData.h"

#include "model/RecorderFacts.h"
#include "model/MeasurementSettings.h"

#include <algorithm>

namespace hs {

namespace {

// The sizes come from validated settings; these bounds only keep a stray value from turning
// into a huge allocation.
int feederLast(const MeasurementSettings& settings)
{
    return std::clamp<int>(settings.LastFeeder, 0, 8);
}

} // namespace

void MeasurementData::sizeForPreparation(const MeasurementSettings& settings)
{
    const std::size_t n = static_cast<std::size_t>(std::clamp<int>(settings.SampleCount, 2, 1024));
    WaveData.resize(static_cast<std::size_t>(channelCount(feederLast(settings))), n + 1);
    SamplePosition.assign(n + 2, 0);
    BitReverse.assign(n + 1, 0);
    TwiddleCos.assign(n / 2 + 1, 0.0f);
    TwiddleSin.assign(n / 2 + 1, 0.0f);
    FftReal.assign(n + 1, 0.0f);
    FftImag.assign(n + 1, 0.0f);
}

void MeasurementData::sizeForMeasurement(const MeasurementSettings& settings)
{
    const std::size_t k =
        static_cast<std::size_t>(std::clamp<int>(settings.MaxHarmonicOrder, 1, 256)) + 1;
    const std::size_t f = static_cast<std::size_t>(feederLast(settings)) + 1;
    VoltCos.resize(6, k);
    VoltSin.resize(6, k);
    CurCos.resize(f, 6, k);
    CurSin.resize(f, 6, k);
    VoltMag.resize(k, 3);
    CurMag.resize(f, k, 3);
    CurFundRawCos.resize(f, 3);
    CurFundRawSin.resize(f, 3);
    VoltByOrder.assign(k, 0.0f);
    CurByOrder.resize(f, k);
    ActivePower.resize(f, k);
    ReactivePower.resize(f, k);
    PowerAngle.resize(f, k);
    VoltSuperRe.assign(k, 0.0f);
    VoltSuperIm.assign(k, 0.0f);
    VoltSuperAngle.assign(k, 0);
    CurSuperRe.resize(f, k);
    CurSuperIm.resize(f, k);
    CurSuperAngle.resize(f, k);
    VoltRatio.assign(k, 0.0f);
    CurRatio.resize(f, k);
    PowerRatio.resize(f, k);

    IntVoltByOrder.assign(k, 0.0f);
    IntCurByOrder.resize(f, k);
    IntActivePower.resize(f, k);
    IntReactivePower.resize(f, k);
    IntVoltSuperRe.assign(k, 0.0f);
    IntVoltSuperIm.assign(k, 0.0f);
    IntCurSuperRe.resize(f, k);
    IntCurSuperIm.resize(f, k);
    IntVoltRms.fill(0.0f);
    IntCurRms.zero();
    ShotCount = 0;

    static constexpr std::int16_t voltageLast[5] = {0, 1, 2, 0, 2};
    static constexpr std::int16_t elementLast[5] = {0, 1, 1, 0, 1};
    const int type = settings.MeasureType();
    if (type >= 0 && type <= 4) {
        VoltageLast = voltageLast[type];
        ElementLast = elementLast[type];
    }
}

int CountsPerDivision(const MeasurementSettings& settings, const RecorderFacts& facts, int input)
{
    if (input < 0 || input >= static_cast<int>(settings.InputRecorder.size()))
        return 80;
    const int recorder = settings.InputRecorder[static_cast<std::size_t>(input)];
    if (recorder < 0 || recorder > 1)
        return 80;
    return facts.ModelClass[static_cast<std::size_t>(recorder)] == 2 ? 160 : 80;
}

double PrimaryPerInputVolt(const MeasurementSettings& settings, int input)
{
    if (input == 0 || input == 1)
        return settings.PtRatio;
    const int feeder = (input - 2) / 2;
    if (input < 2 || feeder >= static_cast<int>(settings.CtRatio.size()))
        return 0.0;
    const auto f = static_cast<std::size_t>(feeder);
    return settings.CtRatio[f] / double(settings.CurrentScale[f]);
}

} // namespace hs
