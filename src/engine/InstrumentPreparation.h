#pragma once

#include "common/Result.h"
#include "engine/EngineContext.h"
#include "model/PreparationResult.h"

#include <QString>

#include <array>
#include <cstdint>
#include <functional>

namespace hs {

// Instrument preparation: before a measurement the recorders are configured for it, one check
// shot is taken, and the measured inputs and the angles of their fundamentals are worked out so
// that the operator can confirm the wiring. The preparation screen shows these results; the
// unattended `measure` prints them and accepts the wiring itself.

// Check shots taken before the preparation gives up (the crossing search or the download kept
// failing).
inline constexpr int kCheckShotAttempts = 10;

// Operator texts.
inline const QString kPreparationCaption = QStringLiteral("測定器の設定");
inline const QString kConfiguringText = QStringLiteral("測定器設定内容確認中");
inline const QString kDiagramTitle = QStringLiteral("基本波ベクトル");
inline const QString kFrequencyCaption = QStringLiteral("基本波周波数");
inline const QString kWiringQuestion = QStringLiteral("結線はこのままでよいですか");
// Given up after kCheckShotAttempts failed check shots.
inline const QString kCheckShotFailedText =
    QStringLiteral("確認用の測定で基本波の１周期が得られません。入力の結線と測定器の設定を"
                   "確認してください。");
// A recorder that never gave a usable range for a channel (the channel number follows).
inline const QString kRangeUnreadableText =
    QStringLiteral("測定レンジが読み取れません。測定器の接続を確認してください。CH=");

// The codes of a preparation's Error (PreparationOk only where a status is kept).
enum PreparationStatus : int {
    PreparationOk = 0,
    PreparationRangeUnreadable = 1, // a channel's range could not be read
    PreparationCheckShotFailed = 2, // no usable check shot within kCheckShotAttempts
    PreparationStopped = 3,         // the caller asked to stop
};

// The values of a finished check shot (pure; reads WaveData, InputRange and the settings).
void ComputePreparationResult(const EngineContext& ctx, PreparationResult& result);

// The phase-sequence angle ρ (radians) by which the wiring diagram is turned, from the sine and
// cosine sums of the two line voltages: 0 unless MeasureType is 2 or 4; then 1.05 or 2.09 by
// the sense of rotation.
double PhaseSequenceAngle(int measureType, double s0, double c0, double s1, double c1);

// The inputs label for given RMS values (pure); values that are not numbers show as 0.0.
QString PreparationInputText(const MeasurementSettings& settings,
                             const std::array<double, 20>& rms);

class InstrumentPreparation {
public:
    explicit InstrumentPreparation(EngineContext& ctx) : ctx_(ctx) {}

    // Called when the check shot has been started on recorder 1 (the screen shows itself busy).
    std::function<void()> onShotStarted;
    // Checked after every wait of the check shot; true ends the preparation (PreparationStopped).
    // Each step returns nothing or an Error whose code is a PreparationStatus and whose text is
    // what the operator was told (empty when stopped).
    std::function<bool()> stopRequested;

    // Configuration steps 1 to 11: sizes the analysis tables, sets ElementLast, display and
    // trigger set-up of the recorders, reads every input's range and magnification, equalises
    // the ranges of each input pair, zero adjustment.
    Result<void> Configure();
    // The check shot, repeated while the crossing search or the download fails, at most
    // kCheckShotAttempts times (then the operator is told and PreparationCheckShotFailed
    // returned); on success the result is computed.
    Result<void> CheckShot(PreparationResult& result);
    // Both, as the preparation screen does when it becomes active.
    Result<void> Run(PreparationResult& result);

    // The operator rejected the wiring: the recorders go back to their idle set-up.
    void Cancel();

    // Logical inputs the preparation handles: 0 .. 2 * LastFeeder + 3 in steps of
    // 2 - ElementLast.
    int inputStep() const;
    int lastInput() const;

private:
    void displaySetup(int recorder);
    bool stopped() const { return stopRequested && stopRequested(); }
    // The operator is told text under the error title; the step fails with it.
    Result<void> failed(PreparationStatus code, const QString& text);

    EngineContext& ctx_;
    std::int16_t crossingPosition_ = 4150;
};

} // namespace hs
