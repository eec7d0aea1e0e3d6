#pragma once

#include "files/ResultFormat.h"

#include <QChar>
#include <QDateTime>
#include <QFile>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace hs {

// Reading the station's result files. They carry no header: the layout follows from the file
// name's extension (".hmN", ".ha4", ".ha5", ".hvN", ".hnN", and the phase files ".R…", ".T…",
// ".S…" of the three-meter type) and the order set (every order 1..256 for ".hn", else the odd
// orders 1..49). ".ha4" and ".ha5" do not name the number of feeders: it is found from the file
// (the one count whose records fit the size and carry valid dates), or given by the caller.

struct ResultFileKind {
    int saveOption = 0; // 0..4
    int feeders = 0;    // 1..9; 0 when the extension does not say (".ha4", ".ha5")
    QChar phase;        // 'R', 'T', 'S' for a phase file, else null
    bool orders256() const { return saveOption == 4; }
};

// The kind a file name's extension announces; nullopt for any other name.
std::optional<ResultFileKind> ResultFileKindFromName(const QString& path);

// One record as stored. Blocks by order hold one value per order of ResultFile::orders.
struct ResultRecord {
    QDateTime time;                                    // the save time (seconds 0)
    float dateValue = 0;                               // the stored yymmdd number
    std::int16_t timeValue = 0;                        // the stored hhmm number
    std::vector<float> voltage;                        // voltage by order
    std::vector<std::vector<float>> current;           // [feeder][order]
    std::vector<std::vector<std::int16_t>> powerAngle; // [feeder][order], degrees
    std::vector<std::int16_t> voltSuperAngle;          // empty when the option has none
    std::vector<std::int16_t> curSuperAngle;           // first feeder; empty when absent
    bool hasRms = false;
    std::array<float, 3> voltRms{};           // voltage phases 0, 1, 2
    std::vector<std::array<float, 3>> curRms; // [feeder] as stored: phases R, S, T
};

struct ResultFile {
    QString path;
    ResultFileKind kind;
    RecordLayout layout;
    std::vector<int> orders;
    std::vector<ResultRecord> records;
    qint64 fileSize = 0;
    qint64 trailingBytes = 0; // bytes of an incomplete last record (not read)

    bool truncated() const { return trailingBytes != 0; }
    // "…: 12 whole records, 100 bytes of an incomplete record left out" or empty.
    QString truncationNote() const;
};

// Whether a stored date and time field pair is a real date and time of day. The two-digit year
// is read as the year of the hundred years that begin with fromYear. A file's first record is
// read from 1930 (1930..2029, as in the date boxes); every later record from the first record's
// year, so that a file that runs from 2029 into 2030 stays in time order.
inline constexpr int kFirstRecordYear = 1930;
std::optional<QDateTime> RecordFieldsTime(float dateValue, std::int16_t timeValue,
                                          int fromYear = kFirstRecordYear);

// Decodes one record of a layout from exactly layout.recordLength() bytes; fromYear as for
// RecordFieldsTime.
ResultRecord DecodeResultRecord(const RecordLayout& layout, const char* bytes,
                                int fromYear = kFirstRecordYear);

// Reads a result file's records one at a time through a bounded buffer, so that a file of any
// size is read in little memory. open() checks the whole file in one pass (the layout, every
// record's date and their time order) and refuses it as ReadResultFile does; next() then decodes
// the records in turn. A file that grows meanwhile is read to the size it had at open().
class ResultRecordReader {
public:
    bool open(const QString& path, QString& error, int feeders = 0);
    // The file as open() found it (kind, layout, orders, size, trailing bytes); no records.
    const ResultFile& file() const { return file_; }
    qint64 recordCount() const;
    // The next whole record; false after the last one or when the file can no longer be read
    // as it was checked (error() then says why).
    bool next(ResultRecord& record);
    const QString& error() const { return error_; }

private:
    bool findLayout(const ResultFileKind& kind, int feeders, QString& error);
    bool readChunk();

    QFile in_;
    ResultFile file_;
    int firstYear_ = kFirstRecordYear;
    qint64 done_ = 0;
    QByteArray chunk_; // whole records read ahead, up to about a megabyte
    qsizetype chunkAt_ = 0;
    QString error_;
};

// Reads the records a reader has not given yet into out.records; false with error set when the
// file cannot be read to its end.
bool ReadRemainingRecords(ResultRecordReader& reader, ResultFile& out, QString& error);

// Reads a result file. feeders overrides the count the extension gives (needed only when the
// file cannot tell, see above); 0 means automatic. A file whose size is no whole number of
// records but whose whole records are sound is read with trailingBytes set (a run that was cut
// short); a file whose records do not carry valid dates at their places, in time order, is
// refused: it is not a file of the layout its name announces (a stretch of zero bytes, as a
// sparse or damaged file holds, is no record). Returns false with error set on refusal.
bool ReadResultFile(const QString& path, ResultFile& out, QString& error, int feeders = 0);

} // namespace hs
