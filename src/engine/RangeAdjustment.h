#pragma once

#include "engine/EngineContext.h"

#include <QString>

namespace hs {

// Range adjustment: after every shot each input pair's range follows its largest sample. A
// pair that overflows steps up, one that stays small for six shots steps down, and one with a
// large peak gets the quarter display magnification. A shot after which a range was stepped is
// taken again.

// Peak thresholds in counts (20, 10 and 5 divisions at 80 counts per division).
inline constexpr int kOverflowPeak = 1600;
inline constexpr int kLargePeak = 800;
inline constexpr int kSmallPeak = 400;
// Consecutive small shots before a pair ranges down.
inline constexpr int kSmallShotsBeforeDown = 6;
// Times ReadInputRange asks before it reports the channel as unreadable.
inline constexpr int kRangeReadAttempts = 5;

inline const QString kRangeAdjustingText = QStringLiteral("測定レンジ調整中");
// Shown (with the channel) when a recorder keeps giving unusable range replies.
inline const QString kRangeReadFailedText = QStringLiteral("測定レンジ読取りエラー CH=");

// Reads a channel's range (V/div) and display divisor from the recorder. Returns false, with
// range 0 and divisor 1, when no usable pair of replies came within kRangeReadAttempts.
bool ReadInputRange(EngineContext& ctx, int channel, int recorder, float& range, float& divisor);

// Sets a channel's range and its display magnification 1/divisor. Nothing is read back.
void SetInputRange(EngineContext& ctx, int channel, float range, int recorder, float divisor);

// Act on the pair whose first logical input is k (even), on the given recorder.
void StepRangeDown(EngineContext& ctx, int k, int recorder);
void StepRangeUp(EngineContext& ctx, int k, int recorder);
void SetQuarterMagnification(EngineContext& ctx, int k, int recorder);

// One decision pass after a shot's download. True when a range was stepped and the shot must
// be taken again.
bool AdjustRanges(EngineContext& ctx);

// The range one step down and one step up the 1-2-5 series (50 -> 20, 20 -> 50, 0.5 -> 0.2).
float RangeBelow(float range);
float RangeAbove(float range);

} // namespace hs
