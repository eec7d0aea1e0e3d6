#include "engine/RecorderSetup.h"

#include "engine/Acquisition.h"
#include "model/MeasurementData.h"
#include "engine/RangeAdjustment.h"
#include "recorder/Recorder.h"
#include "model/RecorderFacts.h"
#include "model/MeasurementSettings.h"

#include <algorithm>

namespace hs {

namespace {

std::size_t at(int i)
{
    return static_cast<std::size_t>(i);
}

DrawMode drawModeOf(int k, int modelClass)
{
    if (k < 0)
        return DrawMode::Off;
    if (modelClass == 0)
        return k % 2 == 1 ? DrawMode::Norm : DrawMode::Dark;
    if (k <= 7)
        return k % 2 == 1 ? DrawMode::C1 : DrawMode::C2;
    return k % 2 == 1 ? DrawMode::C3 : DrawMode::C4;
}

} // namespace

int MeasuredInputStep(const EngineContext& ctx)
{
    return 2 - (ctx.data.ElementLast != 0 ? 1 : 0);
}

int LastMeasuredInput(const EngineContext& ctx)
{
    return std::min(2 * ctx.settings.LastFeeder + 3, 19);
}

void SendDisplaySetup(EngineContext& ctx, int recorder)
{
    const MeasurementSettings& s = ctx.settings;
    const int modelClass = ctx.facts.ModelClass[at(recorder)];
    Recorder& rec = ctx.recorder(recorder);
    // Recorder 1 carries the first sixteen inputs at most; recorder 2 may carry any of them.
    const int inputs = recorder == 0 ? 16 : 20;
    int used = 0;
    for (int ch = 1; ch <= 16; ++ch) {
        int first = -1;
        for (int k = 0; k < inputs; ++k) {
            if (s.InputChannel[at(k)] == ch && s.InputRecorder[at(k)] == recorder) {
                first = k;
                break;
            }
        }
        if (first >= 0)
            ++used;
        if (ctx.facts.ChannelUnit[at(recorder)][at(ch - 1)] > 0)
            rec.setDrawMode(ch, drawModeOf(first, modelClass));
    }
    rec.channel1TriggerOff();
    rec.setMemoryFormat(used > 4);
}

void SendInputSetup(EngineContext& ctx, int k, int recorder, int ch)
{
    Recorder& rec = ctx.recorder(recorder);
    rec.setZeroPosition(ch);
    if (k > 0)
        rec.triggerOff(ch);
    rec.setGraph(ch, ((k / 2) & 3) + 1);
}

void SendTriggerSetup(EngineContext& ctx)
{
    ctx.recorder(0).triggerOnRisingZero(ctx.settings.InputChannel[0]);
    if (ctx.lastRecorder() == 1)
        ctx.recorder(1).followExternalTrigger();
}

bool ReapplyConfiguration(EngineContext& ctx, const std::function<bool()>& stopRequested)
{
    const auto stopped = [&] { return stopRequested && stopRequested(); };
    const MeasurementSettings& s = ctx.settings;
    const MeasurementData& d = ctx.data;
    const int lastRecorder = ctx.lastRecorder();
    for (int r = 0; r <= lastRecorder; ++r)
        ctx.recorder(r).abort();
    WaitMilliseconds(ctx.clock, 300);
    for (int r = 0; r <= lastRecorder; ++r) {
        ctx.recorder(r).headerOff();
        SendDisplaySetup(ctx, r);
    }
    WaitMilliseconds(ctx.clock, 3000);
    if (stopped())
        return false;
    for (int k = 0; k <= LastMeasuredInput(ctx); k += MeasuredInputStep(ctx)) {
        const int rec = s.InputRecorder[at(k)] == 1 && lastRecorder == 1 ? 1 : 0;
        const int ch = s.InputChannel[at(k)];
        if (ch < 1 || ch > 16)
            continue;
        if (at(k) < d.InputRange.size() && d.InputRange[at(k)] > 0)
            SetInputRange(ctx, ch, d.InputRange[at(k)], rec, d.InputDivisor[at(k)]);
        SendInputSetup(ctx, k, rec, ch);
    }
    SendTriggerSetup(ctx);
    if (lastRecorder == 1)
        ctx.recorder(1).zeroAdjust();
    ctx.recorder(0).zeroAdjust();
    WaitMilliseconds(ctx.clock, 2500);
    return !stopped();
}

} // namespace hs
