#include "engine/RangeAdjustment.h"

#include "common/Clock.h"
#include "model/EngineObserver.h"
#include "common/Numbers.h"
#include "engine/Acquisition.h"
#include "model/MeasurementData.h"
#include "recorder/Recorder.h"
#include "model/RecorderFacts.h"
#include "model/MeasurementSettings.h"

#include <cmath>

namespace hs {

namespace {

constexpr float kQuarterDivisor = 4.0f;

// A computed range kept to six significant digits, so that 0.02 x 2.5 is the float 0.05 the
// recorder is told, not its neighbour 0.049999997.
float tidy(double value)
{
    if (!(value > 0) || !std::isfinite(value))
        return static_cast<float>(value);
    return static_cast<float>(QString::number(value, 'g', 6).toDouble());
}

QString rangeText(float range)
{
    return spacedNumber(static_cast<double>(range));
}

int firstSignificantDigit(const QString& text)
{
    for (const QChar ch : text) {
        if (ch >= QLatin1Char('1') && ch <= QLatin1Char('9'))
            return ch.digitValue();
        if (ch == QLatin1Char('E'))
            break;
    }
    return 0;
}

void showAdjusting(EngineContext& ctx)
{
    ctx.observer.status(RunStatus::usual(kRangeAdjustingText));
    Clock::pumpEvents();
}

bool validInput(int k)
{
    return k >= 0 && k + 1 < 20;
}

// Steps the pair of input k to newRange on both inputs (the second only when both are
// measured), with the settling pause between the two.
void stepPair(EngineContext& ctx, int k, int recorder, float newRange)
{
    MeasurementData& data = ctx.data;
    const auto& channels = ctx.settings.InputChannel;
    const std::size_t a = static_cast<std::size_t>(k);
    data.InputRange[a] = newRange;
    SetInputRange(ctx, channels[a], data.InputRange[a], recorder, data.InputDivisor[a]);
    if (data.ElementLast != 0) {
        WaitMilliseconds(ctx.clock, 500);
        data.InputRange[a + 1] = data.InputRange[a];
        data.InputDivisor[a + 1] = data.InputDivisor[a];
        SetInputRange(ctx, channels[a + 1], data.InputRange[a], recorder, data.InputDivisor[a]);
    }
}

} // namespace

float RangeBelow(float range)
{
    const bool hasFive = rangeText(range).contains(QLatin1Char('5'));
    return tidy(static_cast<double>(range) / (hasFive ? 2.5 : 2.0));
}

float RangeAbove(float range)
{
    const bool startsWithTwo = firstSignificantDigit(rangeText(range)) == 2;
    return tidy(static_cast<double>(range) * (startsWithTwo ? 2.5 : 2.0));
}

bool ReadInputRange(EngineContext& ctx, int channel, int recorder, float& range, float& divisor)
{
    for (int attempt = 0; attempt < kRangeReadAttempts; ++attempt) {
        // Both are asked every time, whatever the first reply was.
        const LinkReply<double> r = ctx.recorder(recorder).readRange(channel);
        const LinkReply<double> d = ctx.recorder(recorder).readMagnification(channel);
        if (!r || !d)
            continue;
        range = static_cast<float>(*r);
        divisor = static_cast<float>(*d);
        return true;
    }
    // The recorder keeps answering with nothing usable: the caller sees range 0, its sign of a
    // failed read.
    ctx.observer.status(RunStatus::trouble(kRangeReadFailedText + plainNumber(channel)));
    Clock::pumpEvents();
    range = 0.0f;
    divisor = 1.0f;
    return false;
}

void SetInputRange(EngineContext& ctx, int channel, float range, int recorder, float divisor)
{
    Recorder& rec = ctx.recorder(recorder);
    rec.setRange(channel, static_cast<double>(range));
    WaitMilliseconds(ctx.clock, 100);
    rec.setMagnification(channel, static_cast<double>(divisor));
}

void StepRangeDown(EngineContext& ctx, int k, int recorder)
{
    if (!validInput(k))
        return;
    showAdjusting(ctx);
    stepPair(ctx, k, recorder, RangeBelow(ctx.data.InputRange[static_cast<std::size_t>(k)]));
}

void StepRangeUp(EngineContext& ctx, int k, int recorder)
{
    if (!validInput(k))
        return;
    showAdjusting(ctx);
    stepPair(ctx, k, recorder, RangeAbove(ctx.data.InputRange[static_cast<std::size_t>(k)]));
}

void SetQuarterMagnification(EngineContext& ctx, int k, int recorder)
{
    if (!validInput(k))
        return;
    showAdjusting(ctx);
    MeasurementData& data = ctx.data;
    const auto& channels = ctx.settings.InputChannel;
    const std::size_t a = static_cast<std::size_t>(k);
    SetInputRange(ctx, channels[a], data.InputRange[a], recorder, kQuarterDivisor);
    data.InputDivisor[a] = kQuarterDivisor;
    if (data.ElementLast != 0) {
        data.InputDivisor[a + 1] = kQuarterDivisor;
        SetInputRange(ctx, channels[a + 1], data.InputRange[a], recorder, kQuarterDivisor);
    }
}

bool AdjustRanges(EngineContext& ctx)
{
    MeasurementData& data = ctx.data;
    const MeasurementSettings& settings = ctx.settings;
    int steps = 0;
    const int lastPair = std::min(2 * static_cast<int>(settings.LastFeeder) + 2, 18);
    for (int k = 0; k <= lastPair; k += 2) {
        const std::size_t a = static_cast<std::size_t>(k);
        const int rec = RecorderPair::indexOf(settings.InputRecorder[a]);
        const int ch = settings.InputChannel[a];
        const std::size_t unit = static_cast<std::size_t>(ch >= 1 && ch <= 16 ? ch - 1 : 0);
        const float max = ctx.facts.ChannelRangeMax[static_cast<std::size_t>(rec)][unit];
        const float min = ctx.facts.ChannelRangeMin[static_cast<std::size_t>(rec)][unit];
        const int p = k / 2;
        std::int16_t& downCount = data.RangeDownCount[static_cast<std::size_t>(p)];
        const int peakA = data.InputPeak[a];
        const int peakB = data.InputPeak[a + 1];

        if ((peakA > kOverflowPeak || peakB > kOverflowPeak) && data.InputRange[a] < max) {
            StepRangeUp(ctx, k, rec);
            ++steps;
            downCount = 0;
        } else if ((peakA > kLargePeak || peakB > kLargePeak) &&
                   data.InputDivisor[a] < kQuarterDivisor) {
            SetQuarterMagnification(ctx, k, rec);
            downCount = 0;
        } else if (peakA < kSmallPeak && peakB < kSmallPeak && data.InputRange[a] > min) {
            if (++downCount >= kSmallShotsBeforeDown) {
                downCount = 0;
                StepRangeDown(ctx, k, rec);
                ++steps;
            }
        } else {
            downCount = 0;
        }
    }
    if (steps == 0)
        return false;

    WaitMilliseconds(ctx.clock, static_cast<std::int16_t>(steps * 200));
    if (ctx.lastRecorder() == 1)
        ctx.recorder(1).zeroAdjust();
    ctx.recorder(0).zeroAdjust();
    WaitMilliseconds(ctx.clock, 500);
    return true;
}

} // namespace hs
