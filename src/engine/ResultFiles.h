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
// that the file is still as the run left it: its name leads to the open file, and the file is
// as long as the records written and begins and ends with the first and last of them. A file
// (or folder) removed, replaced, cut short or written into by someone else is made again under
// the same name, every record of the run is written into it again, and a notice says so; what
// stood under the name is moved aside, never destroyed. A write error returns a non-zero
// status, cuts the file back to its last whole record, and ErrorText() names the file and the
// system's reason.
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
    // Takes the lock again when its file is gone (removed with its folder), so that the run
    // still refuses a second one.
    void renew();

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

    // The check made before each record, for the end of the run: a file that is no longer as
    // the run left it is made again with the run's records. kOk or kFileError (ErrorText()).
    int CheckFiles();
    // Records the run wrote that its files no longer hold: lost with a file that was removed,
    // replaced or altered when they could not be written again (records beyond the kept ones,
    // see setKeptRecordBytes, in a file that was altered in place). For MeasureType 4 the saves
    // that lost a record in any phase file.
    qint64 RecordsLost() const;
    // The bytes of records kept per file to write them again into a file made anew; beyond
    // them the records are read back from the old file while it is intact (removed or renamed
    // away, not altered).
    static constexpr qint64 kKeptRecordBytes = 16 * 1024 * 1024;
    void setKeptRecordBytes(qint64 bytes) { keptLimit_ = bytes; }

    // Operator text of the last error: which file and why.
    QString ErrorText() const { return errorText_; }
    // What the writer did on its own since the last call (a file made again), for the
    // operator; emptied by the call.
    QStringList TakeNotices();

private:
    struct FileIdentity {
        quint64 device = 0;
        quint64 inode = 0;
        bool operator==(const FileIdentity&) const = default;
    };
    // One result file and what the run left in it.
    struct OpenFile {
        std::unique_ptr<QFile> file;
        FileIdentity identity;
        qint64 length = 0;      // bytes of the records it holds
        qint64 written = 0;     // records the run wrote for it
        qint64 held = 0;        // of those, the records it holds
        QByteArray first, last; // its first and last record
        QByteArray kept;        // the records it holds, while keptAll
        bool keptAll = true;
    };
    int openFile(const QString& name, bool truncate);
    int checkLayout();
    bool holdsItsRecords(const OpenFile& f) const;
    int ensureSameFile(std::size_t fileIndex);
    int makeAgain(OpenFile& f, bool exists, bool intact, const QString& why);
    int appendRecord(std::size_t fileIndex, const QByteArray& record, qint64* start = nullptr);
    void noteWritten(std::size_t fileIndex, const QByteArray& record);
    int fail(int status, const QString& text);
    void clearInterval(bool phaseSums);
    int finishSave(std::int16_t& ShotCount, bool phaseSums);

    MeasurementSettings& settings_;
    MeasurementData& data_;
    const Clock& clock_;
    ResultFileLock lock_;
    std::vector<OpenFile> files_;
    qint64 keptLimit_ = kKeptRecordBytes;
    QStringList notices_;
    QString errorText_;
    QString lastWaveformFile_;
};

} // namespace hs
