#pragma once

#include "common/Result.h"
#include "files/ResultFormat.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <vector>

class QFile;
class QLockFile;

namespace hs {

class Clock;
struct MeasurementSettings;
struct MeasurementData;

// ---------------------------------------------------------------------------------------------
// The result files of one run. Open() creates or truncates them (the operator chose the name;
// an older, longer file must not leave its bytes behind the new records). Every record is
// written whole and synced to disk before the run goes on. Before each record the writer checks
// that the file's name still leads to the open file: a file (or folder) removed or replaced
// during the run is made again under the same name, and a notice says so. A write error returns
// a non-zero status, cuts the file back to its last whole record, and ErrorText() names the
// file and the system's reason.
// The lock of one run on its result files: "<output file>.lock" beside them, held from before
// the files are opened (or truncated) to the end of the run, so that a second run on the same
// files is refused instead of writing its records between ours. A lock left by a run that
// died is taken over; a run's age never makes its lock stale.
class ResultFileLock {
public:
    ResultFileLock();
    ~ResultFileLock();
    ResultFileLock(const ResultFileLock&) = delete;
    ResultFileLock& operator=(const ResultFileLock&) = delete;

    // Takes the lock of outputFile (nothing to do when it is held for that file already); the
    // error names the program and process that hold it.
    Result<void> take(const QString& outputFile);
    void release();
    bool held() const { return lock_ != nullptr; }

private:
    std::unique_ptr<QLockFile> lock_;
    QString outputFile_;
};

class ResultFiles {
public:
    static constexpr int kOk = 0;
    static constexpr int kFileError = 1;
    static constexpr int kLayoutError = 2; // the data arrays do not fit the settings
    static constexpr int kNoShot = 3;      // the interval holds no shot: nothing was written

    ResultFiles(MeasurementSettings& settings, MeasurementData& data, const Clock& clock);
    ~ResultFiles();
    ResultFiles(const ResultFiles&) = delete;
    ResultFiles& operator=(const ResultFiles&) = delete;

    // Opens files 2 (and 3, 4 for MeasureType 4) named from settings.OutputFile.
    int Open();
    void Close();
    bool IsOpen() const { return !files_.empty(); }
    // Names of the open result files (file 2 first).
    QStringList FileNames() const;
    // The waveform file written by the last save, empty when none.
    QString LastWaveformFile() const { return lastWaveformFile_; }

    // The save of MeasureType 0..3: one record to file 2, clears the interval record, sets
    // ShotCount to 0, moves StartDateTime on by SaveIntervalMin, writes the waveform file when
    // asked. Returns kOk or an error status (ErrorText()).
    int WriteResultRecord(std::int16_t& ShotCount);
    // The save of MeasureType 4: one record to each phase file, then as above; also clears the
    // fundamental-referred sums (slots 3..5) of the order set's range.
    int WritePhaseRecords(std::int16_t& ShotCount);
    // The save the run loop calls: WritePhaseRecords for MeasureType 4, else WriteResultRecord.
    // With ShotCount 0 nothing is written and kNoShot returned.
    int WriteSave(std::int16_t& ShotCount);
    // The end of an interval that has no record: clears the interval record, sets ShotCount to
    // 0 and moves StartDateTime on by SaveIntervalMin, as a save does, without writing.
    void SkipSave(std::int16_t& ShotCount);
    // Writes the current waveforms to "yyyymmdd-hhmm" + "Wev.dat" (clock time) in OutputFolder.
    int WriteWaveformFile();

    // Operator text of the last error: which file and why.
    QString ErrorText() const { return errorText_; }
    // What the writer did on its own since the last call (a file made again), for the
    // operator; emptied by the call.
    QStringList TakeNotices();

private:
    struct FileIdentity {
        quint64 device = 0;
        quint64 inode = 0;
    };
    int openFile(const QString& name, bool truncate);
    int checkLayout();
    int ensureSameFile(std::size_t fileIndex);
    int appendRecord(std::size_t fileIndex, const QByteArray& record, qint64* start = nullptr);
    int fail(int status, const QString& text);
    void clearInterval(bool phaseSums);
    int finishSave(std::int16_t& ShotCount, bool phaseSums);

    MeasurementSettings& settings_;
    MeasurementData& data_;
    const Clock& clock_;
    ResultFileLock lock_;
    std::vector<std::unique_ptr<QFile>> files_;
    std::vector<FileIdentity> identities_;
    QStringList notices_;
    QString errorText_;
    QString lastWaveformFile_;
};

} // namespace hs
