#pragma once

#include "recorder/Transport.h"

#include <QDateTime>
#include <QString>

namespace hs {

class RecorderPair;
struct MeasurementSettings;

// Whether recorder 2 takes part in a floppy save: only when every channel is saved
// (FdSaveMode 5) and a second recorder is in use.
bool FloppySaveUsesSecondRecorder(const MeasurementSettings& settings,
                                  const RecorderPair& recorders);

// At the floppy-save time: the recorders take one extra shot of 50 divisions, store it on their
// own floppy disks under a name built from NextFdSaveTime, and return to 100 divisions per shot;
// NextFdSaveTime moves on by FdSaveIntervalMin minutes. No reply is read; the waits (21 s in
// all, through the link's clock) give the recorders time to finish the shot and the write.
// Every line is sent whatever the ones before met; the first link error is returned. Does
// nothing when FdSaveMode is not 1..5.
LinkStatus SaveToRecorderFloppy(RecorderPair& recorders, const MeasurementSettings& settings,
                                QDateTime& NextFdSaveTime);

} // namespace hs
