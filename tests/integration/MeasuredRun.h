#pragma once

// A run as the screens and `measure` take it against the simulated station: preparation,
// measurement load and start, with every shot's report kept.

#include "engine/InstrumentPreparation.h"
#include "engine/Measurement.h"
#include "engine/RunLoop.h"
#include "integration/SimStation.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace hs::testing {

// A nominal minute passes in 0.6 s.
inline constexpr double kRunScale = 0.01;
// One feeder, SaveOption 3, odd orders 1..49: 6 + 4*25 + 6*25 + 2*25 + 12 + 12 bytes.
inline constexpr qint64 kOneFeederRecordBytes = 330;

struct MeasuredRun {
    int status = -1;
    std::vector<ShotReport> shots;
    RunLoopState state;
};

// beforeStart runs when the loop is about to begin; stop is the loop's stop request.
inline MeasuredRun MeasureRun(SimStation& st, const std::function<void()>& beforeStart = {},
                              std::function<bool()> stop = {})
{
    MeasuredRun run;
    auto ctx = st.context();
    InstrumentPreparation prep(ctx);
    PreparationResult checked;
    EXPECT_TRUE(prep.Run(checked).ok());
    Measurement m(ctx);
    EXPECT_EQ(m.Load(), AnalysisOk);
    if (beforeStart)
        beforeStart();
    RunLoopHooks hooks;
    hooks.stopRequested = std::move(stop);
    hooks.shotFinished = [&](const ShotReport& r) { run.shots.push_back(r); };
    run.status = m.Start(hooks);
    run.state = m.State();
    return run;
}

} // namespace hs::testing
