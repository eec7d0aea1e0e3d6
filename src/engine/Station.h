#pragma once

#include "common/Clock.h"
#include "model/MeasurementData.h"
#include "recorder/LanModule.h"
#include "model/RecorderFacts.h"
#include "model/MeasurementSettings.h"

namespace hs {

// The process-wide state of the desktop program: created once by main and handed to the screens
// by reference. Nothing here is global; every test builds its own.
struct Station {
    explicit Station(double timeScale) : clock(timeScale), lan(clock) {}

    Clock clock;
    LanModule lan;
    RecorderFacts facts;
    MeasurementSettings settings;
    MeasurementData data;
};

} // namespace hs
