#include "engine/Measurement.h"

#include "model/EngineObserver.h"
#include "engine/Acquisition.h"
#include "engine/HarmonicAnalysis.h"
#include "model/MeasurementData.h"
#include "recorder/Recorder.h"
#include "model/RecorderFacts.h"
#include "model/MeasurementSettings.h"

#include <algorithm>

namespace hs {

namespace {

const QString kNotAnalysableText =
    QStringLiteral("測定条件が解析できません。設定を確認してください。");

} // namespace

Measurement::Measurement(EngineContext& ctx) : ctx_(ctx), files_(ctx.settings, ctx.data, ctx.clock)
{
}

int Measurement::Load()
{
    MeasurementSettings& s = ctx_.settings;
    MeasurementData& d = ctx_.data;
    d.sizeForMeasurement(s);
    // The tables are built over zeroed arrays; the preparation sized them for this SampleCount.
    const std::size_t n = static_cast<std::size_t>(std::max<int>(s.SampleCount, 0));
    if (d.BitReverse.size() != n + 1 || d.WaveData.dim1() != n + 1)
        d.sizeForPreparation(s);
    std::fill(d.BitReverse.begin(), d.BitReverse.end(), std::int16_t{0});
    const int tables = BuildTransformTables(d, s);
    state_ = RunLoopState{};
    state_.CurrentView = 1;
    state_.CurrentChannel = 0;
    d.ShotCount = 0;
    if (tables != AnalysisOk) {
        ctx_.observer.message(kNotAnalysableText, MessageSeverity::error());
        return tables;
    }
    if (s.PrintIntervalMin > 0) {
        ctx_.recorder(0).listGauge();
        if (ctx_.lastRecorder() == 1)
            ctx_.recorder(1).listGauge();
        WaitMilliseconds(ctx_.clock, 2000);
    }
    return AnalysisOk;
}

int Measurement::Start(const RunLoopHooks& hooks)
{
    if (started_)
        return RunStopped;
    started_ = true;
    if (files_.Open() != ResultFiles::kOk) {
        ctx_.observer.runEvent({run::WriteFailed{}, files_.ErrorText(), MessageSeverity::error()});
        return RunFileError;
    }
    // Everything the run reports passes its log on the way to the caller's observer.
    log_ = std::make_unique<RunLog>(ctx_.settings, state_, ctx_.clock, ctx_.observer);
    log_->started(files_.FileNames());
    EngineContext logged{ctx_.recorders, ctx_.facts, ctx_.settings, ctx_.data, ctx_.clock, *log_};
    state_.NextPrintTime = ctx_.settings.StartDateTime;
    state_.NextFdSaveTime = ctx_.settings.StartDateTime;
    return MeasureRunLoop(logged, files_, state_, hooks);
}

void Measurement::End()
{
    if (log_)
        log_->stopped();
    AbortRecorders(ctx_);
    files_.Close();
}

} // namespace hs
