#include "engine/FloppySave.h"

#include "common/Clock.h"
#include "model/MeasurementSettings.h"
#include "model/RecorderFacts.h"
#include "recorder/Recorder.h"

#include <vector>

namespace hs {

bool FloppySaveUsesSecondRecorder(const MeasurementSettings& settings,
                                  const RecorderPair& recorders)
{
    return settings.FdSaveMode == 5 && recorders.twoInUse();
}

LinkStatus SaveToRecorderFloppy(RecorderPair& recorders, const MeasurementSettings& settings,
                                QDateTime& NextFdSaveTime)
{
    if (settings.FdSaveMode < 1 || settings.FdSaveMode > 5)
        return {};
    const Clock& clock = recorders.link().clock();
    const bool second = FloppySaveUsesSecondRecorder(settings, recorders);
    // Recorder 1 first, then recorder 2 when it takes part; the shot starts on recorder 2 first.
    std::vector<int> used{0};
    if (second)
        used.push_back(1);
    LinkStatus first;
    const auto keep = [&first](const LinkStatus& sent) {
        if (first.ok())
            first = sent;
    };

    if (second) {
        keep(recorders[1].configureShot50());
        keep(recorders[1].start());
    }
    keep(recorders[0].configureShot50());
    keep(recorders[0].start());
    clock.waitMs(2000);

    if (second)
        keep(recorders[1].enableFloppy(recorders.modelClass(1)));
    keep(recorders[0].enableFloppy(recorders.modelClass(0)));
    clock.waitMs(3000);

    for (int r : used)
        keep(recorders[r].saveToFloppy(NextFdSaveTime, recorders.modelClass(r),
                                       settings.FdSaveMode));
    clock.waitMs(12000);

    for (int r : used)
        keep(recorders[r].floppyOff());
    clock.waitMs(2500);

    for (int r : used)
        keep(recorders[r].configureShot100());
    clock.waitMs(1500);

    NextFdSaveTime = NextFdSaveTime.addSecs(60LL * settings.FdSaveIntervalMin);
    return first;
}

} // namespace hs
