#pragma once

#include "engine/EngineContext.h"

#include <functional>

namespace hs {

// The recorders' set-up for a measurement, as the instrument preparation sends it and as the
// run loop sends it again to a recorder whose link was lost and opened again.

// Display and memory format of one recorder: the drawing mode of every channel that has a
// unit (by the logical input wired to it), channel 1's trigger off, 100 divisions per shot.
void SendDisplaySetup(EngineContext& ctx, int recorder);

// Zero position, trigger off (all inputs but the first) and graph of logical input k on
// channel ch of recorder.
void SendInputSetup(EngineContext& ctx, int k, int recorder, int ch);

// Recorder 1 triggers on a rising zero crossing of the first input with 2 % pre-trigger;
// recorder 2 follows it through its external trigger input.
void SendTriggerSetup(EngineContext& ctx);

// The measurement set-up sent again after a recorder was reset: stop, no headers, display and
// memory format, every input on the range and magnification the run holds (InputRange,
// InputDivisor), triggers, and the zero adjustment, with the preparation's pauses. No check
// shot. Returns false when stopRequested asked to stop during a pause.
bool ReapplyConfiguration(EngineContext& ctx, const std::function<bool()>& stopRequested = {});

// Logical inputs a measurement uses: 0 .. 2 * LastFeeder + 3 (at most 19) in steps of
// 2 - ElementLast.
int MeasuredInputStep(const EngineContext& ctx);
int LastMeasuredInput(const EngineContext& ctx);

} // namespace hs
