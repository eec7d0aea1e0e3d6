#pragma once

#include "files/ResultFileReader.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

class QIODevice;

#include <optional>
#include <vector>

namespace hs {

// What of a result file an export keeps: the orders (empty = every order of the file) and the
// feeder (0 = every feeder, else 1-based).
struct ExportSelection {
    std::vector<int> orders;
    int feeder = 0;
};

// "1,3,5-11": harmonic orders in increasing order without repeats; nullopt on anything else.
std::optional<std::vector<int>> ParseOrderList(const QString& text);

// Checks a selection against a file: at least one chosen order must be saved in it (the others
// are left out, see UnsavedOrders) and the feeder must be in 1..feeders. Empty when fine, else
// the reason.
QString CheckSelection(const ResultFile& file, const ExportSelection& selection);
// The chosen orders the file does not hold (even orders of an odd-order file).
std::vector<int> UnsavedOrders(const ResultFile& file, const ExportSelection& selection);

// The shortest text that reads back as the same float, "." decimals ("230", "0.1", "1.5e-07").
QString FloatText(float value);

// One CSV row per record, UTF-8, comma-separated, first line the column names:
//   time                  ISO date-time of the save ("2004-02-07T09:05:00")
//   V_h<k>                voltage at order k
//   I<f>_h<k>, PA<f>_h<k> current and power angle (degrees) of feeder f at order k
//   VSA_h<k>              voltage superposition angle (degrees), when saved
//   ISA1_h<k>             current superposition angle of the first feeder, when saved
//   Vrms_1..Vrms_3        RMS of voltage phases 0, 1, 2, when saved
//   I<f>rms_R, _S, _T     RMS of feeder f's currents, when saved
QByteArray ResultCsv(const ResultFile& file, const ExportSelection& selection);

// The same as JSON: {"file", "saveOption", "feeders", "phase", "orders", "records": [{"time",
// "V": [...], "I": {"1": [...]}, "PA": {...}, "VSA", "ISA1", "Vrms", "Irms": {"1": [R, S, T]}}]}
// with one array entry per selected order.
QByteArray ResultJson(const ResultFile& file, const ExportSelection& selection);

// The same CSV or JSON, written to out record by record as the reader gives them, so that a file
// of any size is exported in little memory. False with error set when the file cannot be read
// to its end or out cannot be written; what was written is then incomplete.
enum class ExportFormat { Csv, Json };
bool WriteResultExport(ResultRecordReader& reader, const ExportSelection& selection,
                       ExportFormat format, QIODevice& out, QString& error);

// The JSON export of one record of a file, every order and feeder: the document ResultJson
// writes for a file that holds this record alone. Stations publish their records in this form.
QJsonObject ResultRecordDocument(const ResultFile& file, const ResultRecord& record);

} // namespace hs
