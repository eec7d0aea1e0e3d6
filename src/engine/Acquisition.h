#pragma once

#include "engine/EngineContext.h"

#include <QString>

#include <cstdint>
#include <span>
#include <vector>

namespace hs {

class Clock;

// Waveform acquisition: a shot on the recorders, one fundamental period found in the stored
// record, and that period of every used input downloaded as SampleCount + 1 equally spaced
// points into WaveData.
//
// Recorder facts the whole module relies on: a shot stores 10 000 samples at 200 000 samples
// per second, and the trigger point (a rising zero crossing of the first input on recorder 1)
// lies at sample 200.

// Position of the trigger point in the recorder's memory.
inline constexpr int kTriggerPosition = 200;
// Where the zero-cross search for the period end starts at the beginning of a run, and where
// a failed search puts it back.
inline constexpr int kCrossingSearchHome = 4150;
// Stored samples a shot must reach to count as taken.
inline constexpr int kShotMinimumCount = 4000;
// Shots StartShot may repeat while recorder 1 has its samples but the last recorder does not.
inline constexpr int kShotLaggingRecorderRepeats = 4;
// Window moves of the zero-cross search before it gives up: 10 for recorder class 0; for the
// other classes one more than a straight walk across the 2000-sample range can need, which
// only a search swinging between two windows (a crossing right between them) exceeds.
inline constexpr int kCrossingMovesClass0 = 10;
inline constexpr int kCrossingMovesOther = 21;

// Operator texts.
inline const QString kAsciiTransferText = QStringLiteral("ｱｽｷｰ取込中");
inline const QString kShotNotStoredText = QStringLiteral("測定器の記録が完了しません");
inline const QString kCrossingGivenUpText = QStringLiteral("ゼロクロス位置が定まりません");

// A delay of ms milliseconds that keeps the event loop running.
void WaitMilliseconds(const Clock& clock, std::int16_t ms);

// Starts a shot on the recorders (recorder 2 first when present) and polls until the stored
// count is large enough. status becomes -1 when no good shot was obtained; else it is left.
void StartShot(EngineContext& ctx, int recorder, std::int16_t& status);

// Searches 100-sample windows from position for a rising zero crossing of channel on
// recorder, keeping position within lowerLimit .. lowerLimit + 2000. Returns the crossing's
// sample number and leaves position 50 samples in front of it; on failure returns -1 and sets
// position to kCrossingSearchHome.
int FindRisingCrossing(EngineContext& ctx, std::int16_t& position, int channel, int recorder,
                       int lowerLimit);

// Fourier-mode period finder: downloads samples 0 .. expectedEnd + 50 of channel and returns
// the sample one period after the trigger point, or -1. start is set to the trigger point.
int FindPeriodEnd(EngineContext& ctx, int expectedEnd, int channel, int recorder,
                  std::int16_t& start);

// SamplePosition(i) = (end - start) / sampleCount * i, rounded half to even, i = 0..sampleCount.
// The table is grown to sampleCount + 2 entries when it is shorter.
void MakeSamplePositions(int start, int end, int sampleCount,
                         std::vector<std::int16_t>& SamplePosition);

// Downloads one period (start .. end) of every measured input into WaveData and InputPeak.
// recorder reports the recorder last addressed and is 0 on return; errorCount is the caller's
// consecutive-error count, above 3 after the call when the shot's data is incomplete.
void DownloadWaveforms(EngineContext& ctx, int start, int end, std::int16_t& recorder,
                       std::int16_t& errorCount);

// Text transfer of one logical input, the fall-back when binary blocks keep failing. Takes the
// same points as DownloadWaveforms and keeps the largest absolute value in peak.
void DownloadWaveformsAscii(EngineContext& ctx, int input, int start, int end,
                            std::int16_t& errorCount, std::int16_t& peak);

// ---- Pure parts, exposed for tests ----

// Where a 100-sample window stands relative to a rising zero crossing.
struct CrossingVerdict {
    enum Kind { MoveBack, MoveForward, Found } kind;
    int index = 0; // Found: the first sample index (0..99) whose value is zero or positive
};
CrossingVerdict ClassifyCrossingWindow(std::span<const int> window);

// The Fourier fit of a window of w samples from the trigger point: sqrt(S^2 - C^2) of its
// fundamental component as a float, or a negative value when S^2 < C^2 (the window does not
// start on a rising fundamental and is never taken). samples holds the record from sample 0 on.
float PeriodFitMagnitude(std::span<const int> samples, int w);

// Samples compared by PeriodMismatch: the pre-trigger stretch 0 .. 200, which holds the
// trigger crossing where the signal is steepest.
inline constexpr int kPeriodCompareSamples = kTriggerPosition + 1;
// How badly the record fails to repeat after w samples: the sum of (x(m + w) - x(m))^2 over
// m = 0 .. 200. Zero for a record of period w whatever its harmonics; infinite when the
// record is too short.
double PeriodMismatch(std::span<const int> samples, int w);

// The search of the Fourier mode around expected end n over a downloaded record (samples
// 0 .. n + 50): from w = n - 200 it grows, or else shrinks, the window while its repetition
// improves, among windows that start on a rising fundamental. Returns 200 + the best w, or -1
// when the best lies at or beyond n - 150 or n - 300 or no window qualifies.
int SearchPeriodEnd(std::span<const int> samples, int n);

} // namespace hs
