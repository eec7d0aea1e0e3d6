#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <vector>

class QFile;

namespace hs {

class Clock;
struct MeasurementSettings;
struct MeasurementData;

// ---------------------------------------------------------------------------------------------
// Record layout. The result files carry no header: the layout follows from the save option,
// the number of feeders and the order set (odd orders 1..49, or every order 1..256 when the
// 256-order option is chosen). Readers of the files use the same description.

struct RecordLayout {
    int saveOption = 3; // 0..4
    int feeders = 1;    // LastFeeder + 1, 1..9
    bool orders256 = false;

    int orderCount() const { return orders256 ? 256 : 25; }
    // The harmonic order stored at position i of every block by order.
    int orderAt(int i) const { return orders256 ? i + 1 : 2 * i + 1; }
    bool hasVoltSuperAngle() const { return saveOption == 1 || saveOption == 3 || saveOption == 4; }
    bool hasCurSuperAngle() const { return saveOption == 1; }
    bool hasRms() const { return saveOption == 2 || saveOption == 3; }
    // Bytes of one record: 6 + 4n + feeders*6n (+2n) (+2n) (+12 + 12*feeders).
    int recordLength() const;
};

// The order set as a list of harmonic orders.
std::vector<int> OrderSet(bool orders256);

// The names of the files one run writes: the output file itself for MeasureType 0..3, or the
// "R", "T", "S" phase files for MeasureType 4, named by phaseFileName (settings rules).
QStringList ResultFileNames(const QString& outputFile, int measureType);

// "yyyymmdd-hhmm" + "Wev.dat" in the given folder (the output file's folder when empty).
QString WaveformFileName(const QString& folder, const QDateTime& clockTime);

// The two angle rules of the records, in whole degrees.
// Rule A (single file): the superposition angle of (x, y).
std::int16_t RecordAngleA(double x, double y);
// Rule B (phase files): the fundamental angle of (x, y) in degrees with 180 / 3.1415.
std::int16_t RecordAngleB(float x, float y);

// The date field: T formatted "yymmdd" read as a number (2004-02-07 gives 40207).
float RecordDateValue(const QDateTime& t);
// The time field: hour * 100 + minute of T (09:05 gives 905).
std::int16_t RecordTimeValue(const QDateTime& t);

// The bytes of one record of the single result file, from the interval record divided by
// shotCount. An interval without a shot (shotCount 0) has no record: the result is empty.
QByteArray BuildResultRecord(const MeasurementSettings& settings, const MeasurementData& data,
                             int shotCount, const QDateTime& saveTime);
// The bytes of the record of phase file p (0 R, 1 T, 2 S); empty for shotCount 0.
QByteArray BuildPhaseRecord(const MeasurementSettings& settings, const MeasurementData& data,
                            int shotCount, const QDateTime& saveTime, int phase);
// The bytes of the waveform file: last channel, N, WaveData in storage order, InputRange.
QByteArray BuildWaveformFile(const MeasurementData& data);

// ---------------------------------------------------------------------------------------------
// The result files of one run. Open() creates or truncates them (the operator chose the name;
// an older, longer file must not leave its bytes behind the new records). Every record is
// written whole and synced to disk before the run goes on. Before each record the writer checks
// that the file's name still leads to the open file: a file (or folder) removed or replaced
// during the run is made again under the same name, and a notice says so. A write error returns
// a non-zero status, cuts the file back to its last whole record, and ErrorText() names the
// file and the system's reason.
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
    std::vector<std::unique_ptr<QFile>> files_;
    std::vector<FileIdentity> identities_;
    QStringList notices_;
    QString errorText_;
    QString lastWaveformFile_;
};

// Writes bytes to a file: creates or truncates it, writes, flushes and syncs. Returns false and
// sets errorText (naming the file and the reason) on failure.
bool WriteWholeFile(const QString& path, const QByteArray& bytes, QString& errorText);

} // namespace hs
