#pragma once

#include "common/Clock.h"
#include "engine/MeasurementData.h"
#include "link/LanModule.h"
#include "link/RecorderFacts.h"
#include "settings/MeasurementSettings.h"

namespace hs {

// The process-wide state of the desktop program: created once by main and handed to the screens
// by reference. Nothing here is global; every test builds its own.
struct DesktopStation {
    explicit DesktopStation(double timeScale) : clock(timeScale), lan(clock) {}

    Clock clock;
    LanModule lan;
    RecorderFacts facts;
    MeasurementSettings settings;
    MeasurementData data;
};

} // namespace hs
