#pragma once

#include <QDateTime>
#include <QString>

namespace hs {

class LanModule;
struct MeasurementSettings;
struct RecorderFacts;

// Whether recorder 2 takes part in a floppy save: only when every channel is saved
// (FdSaveMode 5) and a second recorder is in use.
bool FloppySaveUsesSecondRecorder(const MeasurementSettings& settings, const RecorderFacts& facts);

// The ":FDISK:SAVE" line for one recorder: the quoted file name from the scheduled time
// ("07D9H05.WAV"), ",Bin," for recorders whose ModelClass is not 0 (else ",W,"), and what to
// save ("ALL" for FdSaveMode 5, else "CH" and the mode in the spaced form, "CH 3").
QString FloppySaveLine(const QDateTime& saveTime, int modelClass, int fdSaveMode);

// At the floppy-save time: the recorders take one extra shot of 50 divisions, store it on their
// own floppy disks under a name built from NextFdSaveTime, and return to 100 divisions per shot;
// NextFdSaveTime moves on by FdSaveIntervalMin minutes. No reply is read; the waits (21 s in
// all, through the LanModule's clock) give the recorders time to finish the shot and the write.
// Every command result is stored in lan.LinkResult. Does nothing when FdSaveMode is not 1..5.
void SaveToRecorderFloppy(LanModule& lan, const RecorderFacts& facts,
                          const MeasurementSettings& settings, QDateTime& NextFdSaveTime);

} // namespace hs
