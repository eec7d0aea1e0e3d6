#include "engine/FloppySave.h"

#include "common/DateText.h"
#include "recorder/LanModule.h"
#include "recorder/RecorderCommands.h"
#include "model/RecorderFacts.h"
#include "model/MeasurementSettings.h"

#include <vector>

namespace hs {

bool FloppySaveUsesSecondRecorder(const MeasurementSettings& settings, const RecorderFacts& facts)
{
    return settings.FdSaveMode == 5 && facts.LastRecorder == 1;
}

QString FloppySaveLine(const QDateTime& saveTime, int modelClass, int fdSaveMode)
{
    return cmd::fdiskSave(recorderFloppyFileName(saveTime), modelClass, fdSaveMode);
}

void SaveToRecorderFloppy(LanModule& lan, const RecorderFacts& facts,
                          const MeasurementSettings& settings, QDateTime& NextFdSaveTime)
{
    if (settings.FdSaveMode < 1 || settings.FdSaveMode > 5)
        return;
    const Clock& clock = lan.clock();
    const bool second = FloppySaveUsesSecondRecorder(settings, facts);
    // Recorder 1 first, then recorder 2 when it takes part; the shot starts on recorder 2 first.
    std::vector<int> recorders{0};
    if (second)
        recorders.push_back(1);
    auto send = [&lan](int recorder, const QString& text) {
        lan.LinkResult =
            lan.SendCommand(lan.InstrumentId[static_cast<std::size_t>(recorder)], text);
    };
    auto mediaCommand = [&facts](int recorder) {
        return cmd::fdiskEnable(facts.ModelClass[static_cast<std::size_t>(recorder)]);
    };

    if (second) {
        send(1, cmd::configureShot50());
        send(1, cmd::start());
    }
    send(0, cmd::configureShot50());
    send(0, cmd::start());
    clock.waitMs(2000);

    if (second)
        send(1, mediaCommand(1));
    send(0, mediaCommand(0));
    clock.waitMs(3000);

    for (int r : recorders)
        send(r, FloppySaveLine(NextFdSaveTime, facts.ModelClass[static_cast<std::size_t>(r)],
                               settings.FdSaveMode));
    clock.waitMs(12000);

    for (int r : recorders)
        send(r, cmd::fdiskModeOff());
    clock.waitMs(2500);

    for (int r : recorders)
        send(r, cmd::configureShot100());
    clock.waitMs(1500);

    NextFdSaveTime = NextFdSaveTime.addSecs(60LL * settings.FdSaveIntervalMin);
}

} // namespace hs
