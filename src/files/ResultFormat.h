#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace hs {

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

// Total distortion in percent of a block by order whose first entry is the fundamental: the
// root sum of squares of the others over the fundamental; 0 without a fundamental.
double DistortionPercent(const std::vector<float>& byOrder);

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

// Writes bytes to a file: creates or truncates it, writes, flushes and syncs. Returns false and
// sets errorText (naming the file and the reason) on failure.
bool WriteWholeFile(const QString& path, const QByteArray& bytes, QString& errorText);

} // namespace hs
