#include "engine/FloppySave.h"

#include "common/DateText.h"
#include "common/Numbers.h"
#include "link/LanModule.h"
#include "link/RecorderFacts.h"
#include "settings/MeasurementSettings.h"

#include <vector>

namespace hs {

namespace {

const QString kShortShot = QStringLiteral(":CONF:TDIV +500E-6;SHOT 50");
const QString kNormalShot = QStringLiteral(":CONF:TDIV +500E-6;SHOT 100");
const QString kStart = QStringLiteral(":STAR");
const QString kMediaFloppy = QStringLiteral(":FDISK:MEDIA FD");
const QString kFloppyModeOn = QStringLiteral(":FDISK:MODE ON");
const QString kFloppyModeOff = QStringLiteral(":FDISK:MODE OFF");

}  // namespace

bool FloppySaveUsesSecondRecorder(const MeasurementSettings& settings, const RecorderFacts& facts)
{
    return settings.FdSaveMode == 5 && facts.LastRecorder == 1;
}

QString FloppySaveLine(const QDateTime& saveTime, int modelClass, int fdSaveMode)
{
    const QString what = fdSaveMode == 5 ? QStringLiteral("ALL") : QStringLiteral("CH") + spacedNumber(fdSaveMode);
    return QStringLiteral(":FDISK:SAVE \"") + recorderFloppyFileName(saveTime) + QLatin1Char('"') +
           (modelClass != 0 ? QStringLiteral(",Bin,") : QStringLiteral(",W,")) + what;
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
        lan.LinkResult = lan.SendCommand(lan.InstrumentId[static_cast<std::size_t>(recorder)], text);
    };
    auto mediaCommand = [&facts](int recorder) {
        return facts.ModelClass[static_cast<std::size_t>(recorder)] != 0 ? kMediaFloppy : kFloppyModeOn;
    };

    if (second) {
        send(1, kShortShot);
        send(1, kStart);
    }
    send(0, kShortShot);
    send(0, kStart);
    clock.waitMs(2000);

    if (second)
        send(1, mediaCommand(1));
    send(0, mediaCommand(0));
    clock.waitMs(3000);

    for (int r : recorders)
        send(r, FloppySaveLine(NextFdSaveTime, facts.ModelClass[static_cast<std::size_t>(r)], settings.FdSaveMode));
    clock.waitMs(12000);

    for (int r : recorders)
        send(r, kFloppyModeOff);
    clock.waitMs(2500);

    for (int r : recorders)
        send(r, kNormalShot);
    clock.waitMs(1500);

    NextFdSaveTime = NextFdSaveTime.addSecs(60LL * settings.FdSaveIntervalMin);
}

}  // namespace hs
