#include "engine/InstrumentPreparation.h"

#include "common/Clock.h"
#include "model/EngineObserver.h"
#include "common/NumberFormat.h"
#include "common/Numbers.h"
#include "engine/Acquisition.h"
#include "model/MeasurementData.h"
#include "engine/RangeAdjustment.h"
#include "engine/RecorderSetup.h"
#include "recorder/Recorder.h"
#include "model/RecorderFacts.h"
#include "model/MeasurementSettings.h"

#include <algorithm>
#include <cmath>

namespace hs {

namespace {


std::size_t at(int i)
{
    return static_cast<std::size_t>(i);
}

int elementLastOf(int measureType)
{
    static constexpr int table[5] = {0, 1, 1, 0, 1};
    return measureType >= 0 && measureType <= 4 ? table[measureType] : 0;
}

bool validChannel(int ch)
{
    return ch >= 1 && ch <= 16;
}

double finiteOrZero(double v)
{
    return std::isfinite(v) ? v : 0.0;
}

} // namespace

QString PreparationInputText(const MeasurementSettings& s, const std::array<double, 20>& values)
{
    // An input whose value is not a number (no usable signal) shows as 0.0, not as "NaN".
    std::array<double, 20> rms = values;
    for (double& v : rms)
        v = finiteOrZero(v);
    const QString cr = QStringLiteral("\r");
    // RMS values are magnitudes: a reversed transformer shows in the diagram, not here.
    const double pt = std::abs(PrimaryPerInputVolt(s, 0));
    QString text = QStringLiteral("入力電圧,Vr-s=") + formatNumber(pt * rms[0], u" ####0.0V") +
                   QStringLiteral(" ,Vt-s=") + formatNumber(pt * rms[1], u" ####0.0V") + cr;
    for (int f = 0; f <= s.LastFeeder && f < 9; ++f) {
        const double factor = finiteOrZero(std::abs(PrimaryPerInputVolt(s, 2 * f + 2)));
        const QString n = QString::number(f + 1);
        text += QStringLiteral("入力電流,I") + n + QStringLiteral("r=") +
                formatNumber(factor * rms[at(2 * f + 2)], u" ####0.0A") + QStringLiteral(" ,I") +
                n + QStringLiteral("t=") + formatNumber(factor * rms[at(2 * f + 3)], u" ####0.0A") +
                cr;
    }
    return text + kWiringQuestion;
}

double PhaseSequenceAngle(int measureType, double s0, double c0, double s1, double c1)
{
    if (measureType != 2 && measureType != 4)
        return 0.0;
    // T-S ahead of R-S (the normal sequence of a V connection) turns the diagram by 60 degrees,
    // the reverse sequence by 120.
    const double z = c1 * s0 - c0 * s1;
    return z >= 0 ? 1.05 : 2.09;
}

void ComputePreparationResult(const EngineContext& ctx, PreparationResult& r)
{
    const MeasurementSettings& s = ctx.settings;
    const MeasurementData& d = ctx.data;
    const int n = s.SampleCount;
    const int step = 2 - (d.ElementLast != 0 ? 1 : 0);
    const int last = 2 * s.LastFeeder + 3;
    const int every = std::max(1, static_cast<int>(roundHalfEven(n / 8.0)));
    r.Rms.fill(0.0);
    r.S.fill(0.0);
    r.C.fill(0.0);
    r.Theta.fill(0.0);
    for (int k = 0; k <= last && k < 20; k += step) {
        const std::size_t ch = at(k + k / 2);
        if (ch >= d.WaveData.dim0() || d.WaveData.dim1() < at(n))
            continue;
        double squares = 0.0;
        for (int i = 0; i < n; ++i) {
            const double x = d.WaveData(ch, at(i));
            squares += x * x;
        }
        r.Rms[at(k)] = finiteOrZero(std::sqrt(squares / n) * d.InputRange[at(k)] /
                                    CountsPerDivision(s, ctx.facts, k));
        double sum_s = 0.0, sum_c = 0.0;
        for (int i = 0; i < n; i += every) {
            const double x = d.WaveData(ch, at(i));
            const double a = 6.2831852 * i / n;
            sum_s += x * std::sin(a);
            sum_c += x * std::cos(a);
        }
        // A channel without usable samples counts as one without signal: a zero vector. A
        // transformer wired with reversed polarity turns its vector by 180 degrees.
        if (!std::isfinite(sum_s) || !std::isfinite(sum_c))
            sum_s = sum_c = 0.0;
        if (PrimaryPerInputVolt(s, k) < 0) {
            sum_s = -sum_s;
            sum_c = -sum_c;
        }
        r.S[at(k)] = sum_s;
        r.C[at(k)] = sum_c;
        r.Theta[at(k)] = std::atan(sum_c / (sum_s + 1e-20)) - (sum_s < 0 ? 3.1416 : 0.0);
    }
    r.Rho = PhaseSequenceAngle(s.MeasureType(), r.S[0], r.C[0], r.S[1], r.C[1]);
    r.InputText = PreparationInputText(s, r.Rms);
}

int InstrumentPreparation::inputStep() const
{
    return 2 - (ctx_.data.ElementLast != 0 ? 1 : 0);
}

int InstrumentPreparation::lastInput() const
{
    return std::min(2 * ctx_.settings.LastFeeder + 3, 19);
}

void InstrumentPreparation::displaySetup(int recorder)
{
    SendDisplaySetup(ctx_, recorder);
}

Result<void> InstrumentPreparation::failed(PreparationStatus code, const QString& text)
{
    if (!text.isEmpty())
        ctx_.observer.message(text, MessageSeverity::error());
    return fail(Error{code, text});
}

Result<void> InstrumentPreparation::Configure()
{
    MeasurementSettings& s = ctx_.settings;
    MeasurementData& d = ctx_.data;
    const int lastRecorder = ctx_.lastRecorder();
    ctx_.status(kConfiguringText);

    // 1. Analysis tables and the wattmeter elements of the measure type.
    d.sizeForPreparation(s);
    d.ElementLast = static_cast<std::int16_t>(elementLastOf(s.MeasureType()));

    // 2. Stop whatever the recorders do; no headers in replies.
    for (int r = 0; r <= lastRecorder; ++r)
        ctx_.recorder(r).abort();
    WaitMilliseconds(ctx_.clock, 300);
    for (int r = 0; r <= lastRecorder; ++r)
        ctx_.recorder(r).headerOff();

    // 3 to 5. Display, time base and memory format of each recorder.
    displaySetup(0);
    if (lastRecorder == 1)
        displaySetup(1);

    // 6.
    WaitMilliseconds(ctx_.clock, 3000);
    if (stopped())
        return failed(PreparationStopped, {});

    // 7. Ranges, zero positions, triggers off and graphs of every input.
    for (int k = 0; k <= lastInput(); k += inputStep()) {
        const int rec = s.InputRecorder[at(k)] == 1 && lastRecorder == 1 ? 1 : 0;
        const int ch = s.InputChannel[at(k)];
        float range = 0.0f, divisor = 1.0f;
        if (!validChannel(ch) || !ReadInputRange(ctx_, ch, rec, range, divisor)) {
            return failed(PreparationRangeUnreadable, kRangeUnreadableText + plainNumber(ch));
        }
        d.InputRange[at(k)] = range;
        d.InputDivisor[at(k)] = divisor;
        SendInputSetup(ctx_, k, rec, ch);
        if (stopped())
            return failed(PreparationStopped, {});
    }

    // 8, 9. Recorder 1 triggers on a rising zero crossing of the first input, 2 % pre-trigger;
    // recorder 2 follows recorder 1 through its external trigger input.
    SendTriggerSetup(ctx_);

    // 10. Both inputs of a pair on the larger of their ranges.
    if (s.MeasureType() != 0 && s.MeasureType() != 3) {
        for (int i = 0; i <= 2 * s.LastFeeder + 2 && i + 1 < 20; i += 2) {
            const std::size_t a = at(i), b = at(i + 1);
            const int rec = s.InputRecorder[a] == 1 && lastRecorder == 1 ? 1 : 0;
            if (d.InputRange[a] > d.InputRange[b]) {
                SetInputRange(ctx_, s.InputChannel[b], d.InputRange[a], rec, d.InputDivisor[a]);
                d.InputRange[b] = d.InputRange[a];
                d.InputDivisor[b] = d.InputDivisor[a];
            } else if (d.InputRange[b] > d.InputRange[a]) {
                SetInputRange(ctx_, s.InputChannel[a], d.InputRange[b], rec, d.InputDivisor[b]);
                d.InputRange[a] = d.InputRange[b];
                d.InputDivisor[a] = d.InputDivisor[b];
            }
        }
    }

    // 11. Zero adjustment, recorder 2 first.
    if (lastRecorder == 1)
        ctx_.recorder(1).zeroAdjust();
    ctx_.recorder(0).zeroAdjust();
    WaitMilliseconds(ctx_.clock, 2500);
    if (stopped())
        return failed(PreparationStopped, {});
    return {};
}

Result<void> InstrumentPreparation::CheckShot(PreparationResult& result)
{
    const MeasurementSettings& s = ctx_.settings;
    const RecorderFacts& facts = ctx_.facts;
    const int lastRecorder = ctx_.lastRecorder();
    const int c0 = s.InputChannel[0];
    std::int16_t errorCount = 0;

    for (int attempt = 1; attempt <= kCheckShotAttempts; ++attempt) {
        result.Attempts = attempt;
        if (lastRecorder == 1) {
            ctx_.recorder(1).identify(); // the reply is not used
            ctx_.recorder(1).start();
            const bool slowSecond = facts.ModelClass[1] == 0 && facts.ModelClass[0] != 0;
            WaitMilliseconds(ctx_.clock, slowSecond ? 2000 : 500);
        }
        ctx_.recorder(0).start();
        if (onShotStarted)
            onShotStarted();
        WaitMilliseconds(ctx_.clock, 4000);
        if (stopped())
            return failed(PreparationStopped, {});

        std::int16_t from = 150;
        const int start = FindRisingCrossing(ctx_, from, c0, 0, 0);
        const int end = FindRisingCrossing(ctx_, crossingPosition_, c0, 0, 3000);
        if (stopped())
            return failed(PreparationStopped, {});
        if (start < 0 || end < 0 || end <= start)
            continue;
        result.Start = static_cast<std::int16_t>(start);
        result.End = static_cast<std::int16_t>(end);
        result.FrequencyText = kFrequencyCaption + QStringLiteral(" ") +
                               formatNumber(200000.0 / (end - start), u"##.00") +
                               QStringLiteral("Hz");

        std::int16_t recorder = 0;
        DownloadWaveforms(ctx_, start, end, recorder, errorCount);
        if (stopped())
            return failed(PreparationStopped, {});
        if (errorCount > 3) {
            errorCount = 0;
            continue;
        }
        ComputePreparationResult(ctx_, result);
        return {};
    }
    return failed(PreparationCheckShotFailed, kCheckShotFailedText);
}

Result<void> InstrumentPreparation::Run(PreparationResult& result)
{
    const Result<void> configured = Configure();
    return configured ? CheckShot(result) : configured;
}

void InstrumentPreparation::Cancel()
{
    WaitMilliseconds(ctx_.clock, 3000);
    const int lastRecorder = ctx_.lastRecorder();
    for (int r = 0; r <= lastRecorder; ++r) {
        ctx_.recorder(r).idleSetup();
        ctx_.recorder(r).headerOff();
    }
}

} // namespace hs
