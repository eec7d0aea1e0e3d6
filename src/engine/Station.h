#pragma once

#include "common/Clock.h"
#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"
#include "model/RecorderFacts.h"
#include "recorder/LanModule.h"
#include "recorder/Recorder.h"

namespace hs {

// The process-wide state of the desktop program: created once by main and handed to the screens
// by reference. Nothing here is global; every test builds its own.
struct Station {
    explicit Station(double timeScale) : clock(timeScale), lan(clock), recorders(lan, facts) {}

    Clock clock;
    LanModule lan;
    RecorderFacts facts;
    RecorderPair recorders;
    MeasurementSettings settings;
    MeasurementData data;
};

} // namespace hs
