#include "files/ResultExport.h"

#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <set>

namespace hs {

namespace {

// Positions in the file's order set of the selected orders.
std::vector<std::size_t> orderPositions(const ResultFile& file, const ExportSelection& selection)
{
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < file.orders.size(); ++i) {
        if (selection.orders.empty() || std::find(selection.orders.begin(), selection.orders.end(),
                                                  file.orders[i]) != selection.orders.end())
            positions.push_back(i);
    }
    return positions;
}

std::vector<int> feederList(const ResultFile& file, const ExportSelection& selection)
{
    std::vector<int> feeders;
    for (int f = 1; f <= file.layout.feeders; ++f)
        if (selection.feeder == 0 || selection.feeder == f)
            feeders.push_back(f);
    return feeders;
}

QString isoTime(const ResultRecord& r)
{
    return r.time.isValid() ? r.time.toString(Qt::ISODate) : QString();
}

QJsonValue jsonFloat(float v)
{
    // JSON has no NaN or infinity; such values are written as null.
    return std::isfinite(v) ? QJsonValue(FloatText(v).toDouble()) : QJsonValue();
}

} // namespace

std::optional<std::vector<int>> ParseOrderList(const QString& text)
{
    std::set<int> orders;
    const QStringList parts = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return std::nullopt;
    for (const QString& rawPart : parts) {
        const QString part = rawPart.trimmed();
        const int dash = part.indexOf(QLatin1Char('-'));
        bool ok1 = false, ok2 = true;
        const int from = (dash < 0 ? part : part.left(dash)).toInt(&ok1);
        const int to = dash < 0 ? from : part.mid(dash + 1).toInt(&ok2);
        if (!ok1 || !ok2 || from < 1 || to < from || to > 256)
            return std::nullopt;
        for (int k = from; k <= to; ++k)
            orders.insert(k);
    }
    return std::vector<int>(orders.begin(), orders.end());
}

QString CheckSelection(const ResultFile& file, const ExportSelection& selection)
{
    const bool anySaved =
        selection.orders.empty() ||
        std::any_of(selection.orders.begin(), selection.orders.end(), [&file](int k) {
            return std::find(file.orders.begin(), file.orders.end(), k) != file.orders.end();
        });
    if (!anySaved)
        return QStringLiteral("%1 holds none of the chosen orders (its orders are %2)")
            .arg(file.path, file.layout.orders256 ? QStringLiteral("1..256")
                                                  : QStringLiteral("the odd orders 1..49"));
    if (selection.feeder < 0 || selection.feeder > file.layout.feeders)
        return QStringLiteral("feeder %1 is not in %2 (it holds %3)")
            .arg(selection.feeder)
            .arg(file.path)
            .arg(file.layout.feeders);
    return {};
}

std::vector<int> UnsavedOrders(const ResultFile& file, const ExportSelection& selection)
{
    std::vector<int> missing;
    for (int k : selection.orders)
        if (std::find(file.orders.begin(), file.orders.end(), k) == file.orders.end())
            missing.push_back(k);
    return missing;
}

QString FloatText(float value)
{
    if (std::isnan(value))
        return QStringLiteral("nan");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return QString::fromLatin1(buffer, static_cast<int>(result.ptr - buffer));
}

namespace {

// The parts of a file an export writes: positions of the chosen orders and the chosen feeders.
struct ExportColumns {
    ExportColumns(const ResultFile& file, const ExportSelection& selection)
        : layout(file.layout), pos(orderPositions(file, selection)),
          feeders(feederList(file, selection)),
          firstFeeder(std::find(feeders.begin(), feeders.end(), 1) != feeders.end())
    {
    }
    RecordLayout layout;
    std::vector<std::size_t> pos;
    std::vector<int> feeders;
    bool firstFeeder;
};

QByteArray csvHeader(const ResultFile& file, const ExportColumns& c)
{
    QStringList header{QStringLiteral("time")};
    for (std::size_t i : c.pos)
        header << QStringLiteral("V_h%1").arg(file.orders[i]);
    for (int f : c.feeders) {
        for (std::size_t i : c.pos)
            header << QStringLiteral("I%1_h%2").arg(f).arg(file.orders[i]);
        for (std::size_t i : c.pos)
            header << QStringLiteral("PA%1_h%2").arg(f).arg(file.orders[i]);
    }
    if (c.layout.hasVoltSuperAngle())
        for (std::size_t i : c.pos)
            header << QStringLiteral("VSA_h%1").arg(file.orders[i]);
    if (c.layout.hasCurSuperAngle() && c.firstFeeder)
        for (std::size_t i : c.pos)
            header << QStringLiteral("ISA1_h%1").arg(file.orders[i]);
    if (c.layout.hasRms()) {
        header << QStringLiteral("Vrms_1") << QStringLiteral("Vrms_2") << QStringLiteral("Vrms_3");
        for (int f : c.feeders)
            header << QStringLiteral("I%1rms_R").arg(f) << QStringLiteral("I%1rms_S").arg(f)
                   << QStringLiteral("I%1rms_T").arg(f);
    }
    return header.join(QLatin1Char(',')).toUtf8() + "\n";
}

QByteArray csvRow(const ResultRecord& r, const ExportColumns& c)
{
    QStringList row{isoTime(r)};
    for (std::size_t i : c.pos)
        row << FloatText(r.voltage[i]);
    for (int f : c.feeders) {
        const std::size_t fi = static_cast<std::size_t>(f - 1);
        for (std::size_t i : c.pos)
            row << FloatText(r.current[fi][i]);
        for (std::size_t i : c.pos)
            row << QString::number(r.powerAngle[fi][i]);
    }
    if (c.layout.hasVoltSuperAngle())
        for (std::size_t i : c.pos)
            row << QString::number(r.voltSuperAngle[i]);
    if (c.layout.hasCurSuperAngle() && c.firstFeeder)
        for (std::size_t i : c.pos)
            row << QString::number(r.curSuperAngle[i]);
    if (c.layout.hasRms()) {
        for (float v : r.voltRms)
            row << FloatText(v);
        for (int f : c.feeders)
            for (float v : r.curRms[static_cast<std::size_t>(f - 1)])
                row << FloatText(v);
    }
    return row.join(QLatin1Char(',')).toUtf8() + "\n";
}

QJsonObject jsonRecord(const ResultRecord& r, const ExportColumns& c)
{
    auto floats = [&c](const std::vector<float>& v) {
        QJsonArray a;
        for (std::size_t i : c.pos)
            a.append(jsonFloat(v[i]));
        return a;
    };
    auto angles = [&c](const std::vector<std::int16_t>& v) {
        QJsonArray a;
        for (std::size_t i : c.pos)
            a.append(v[i]);
        return a;
    };
    QJsonObject o;
    o.insert(QStringLiteral("time"), isoTime(r));
    o.insert(QStringLiteral("V"), floats(r.voltage));
    QJsonObject current, powerAngle, currentRms;
    for (int f : c.feeders) {
        const std::size_t fi = static_cast<std::size_t>(f - 1);
        current.insert(QString::number(f), floats(r.current[fi]));
        powerAngle.insert(QString::number(f), angles(r.powerAngle[fi]));
        if (c.layout.hasRms())
            currentRms.insert(QString::number(f),
                              QJsonArray{jsonFloat(r.curRms[fi][0]), jsonFloat(r.curRms[fi][1]),
                                         jsonFloat(r.curRms[fi][2])});
    }
    o.insert(QStringLiteral("I"), current);
    o.insert(QStringLiteral("PA"), powerAngle);
    if (c.layout.hasVoltSuperAngle())
        o.insert(QStringLiteral("VSA"), angles(r.voltSuperAngle));
    if (c.layout.hasCurSuperAngle() && c.firstFeeder)
        o.insert(QStringLiteral("ISA1"), angles(r.curSuperAngle));
    if (c.layout.hasRms()) {
        o.insert(
            QStringLiteral("Vrms"),
            QJsonArray{jsonFloat(r.voltRms[0]), jsonFloat(r.voltRms[1]), jsonFloat(r.voltRms[2])});
        o.insert(QStringLiteral("Irms"), currentRms);
    }
    return o;
}

// The document's members before its records.
QJsonObject jsonHead(const ResultFile& file, const ExportColumns& c)
{
    QJsonObject root;
    root.insert(QStringLiteral("file"), file.path);
    root.insert(QStringLiteral("saveOption"), c.layout.saveOption);
    root.insert(QStringLiteral("feeders"), c.layout.feeders);
    root.insert(QStringLiteral("phase"),
                file.kind.phase.isNull() ? QJsonValue() : QJsonValue(QString(file.kind.phase)));
    QJsonArray orders;
    for (std::size_t i : c.pos)
        orders.append(file.orders[i]);
    root.insert(QStringLiteral("orders"), orders);
    if (file.truncated())
        root.insert(QStringLiteral("incompleteRecordBytes"),
                    static_cast<qint64>(file.trailingBytes));
    return root;
}

// The JSON document without its records, split where they go: the text before the first record
// and the text after the last one.
std::pair<QByteArray, QByteArray> jsonFrame(const ResultFile& file, const ExportColumns& c)
{
    QJsonObject root = jsonHead(file, c);
    // A marker record shows where the records stand in the indented text (a line of its own).
    const QByteArray marker = "\"records go here\"";
    root.insert(QStringLiteral("records"), QJsonArray{QStringLiteral("records go here")});
    const QByteArray text = QJsonDocument(root).toJson(QJsonDocument::Indented);
    const qsizetype at = text.indexOf(marker);
    const qsizetype lineStart = text.lastIndexOf('\n', at) + 1;
    const qsizetype lineEnd = text.indexOf('\n', at) + 1;
    return {text.left(lineStart), text.mid(lineEnd)};
}

// One record as an entry of the records array in the indented document: two levels deep.
QByteArray jsonEntry(const ResultRecord& r, const ExportColumns& c, bool first)
{
    QByteArray text = QJsonDocument(jsonRecord(r, c)).toJson(QJsonDocument::Indented);
    text.chop(1); // the final line break
    text.replace("\n", "\n        ");
    return (first ? QByteArray() : QByteArray(",\n")) + "        " + text;
}

// Writes an export: the head, each record's text in turn, the tail; the text is handed to the
// device in pieces of about a megabyte.
class ChunkedOutput {
public:
    explicit ChunkedOutput(QIODevice& out) : out_(out) {}
    bool add(const QByteArray& text)
    {
        buffer_ += text;
        return buffer_.size() < kChunk || flush();
    }
    bool flush()
    {
        const bool ok = out_.write(buffer_) == buffer_.size();
        buffer_.clear();
        return ok;
    }

private:
    static constexpr qsizetype kChunk = 1 << 20;
    QIODevice& out_;
    QByteArray buffer_;
};

} // namespace

QByteArray ResultCsv(const ResultFile& file, const ExportSelection& selection)
{
    const ExportColumns columns(file, selection);
    QByteArray out = csvHeader(file, columns);
    for (const ResultRecord& r : file.records)
        out += csvRow(r, columns);
    return out;
}

QByteArray ResultJson(const ResultFile& file, const ExportSelection& selection)
{
    const ExportColumns columns(file, selection);
    const auto [head, tail] = jsonFrame(file, columns);
    QByteArray out = head;
    for (std::size_t i = 0; i < file.records.size(); ++i)
        out += jsonEntry(file.records[i], columns, i == 0);
    if (!file.records.empty())
        out += '\n';
    return out + tail;
}

bool WriteResultExport(ResultRecordReader& reader, const ExportSelection& selection,
                       ExportFormat format, QIODevice& out, QString& error)
{
    const ResultFile& file = reader.file();
    const ExportColumns columns(file, selection);
    const bool json = format == ExportFormat::Json;
    const auto [head, tail] =
        json ? jsonFrame(file, columns) : std::pair{csvHeader(file, columns), QByteArray()};
    ChunkedOutput chunks(out);
    bool written = chunks.add(head);
    ResultRecord r;
    qint64 count = 0;
    while (written && reader.next(r))
        written = chunks.add(json ? jsonEntry(r, columns, count++ == 0) : csvRow(r, columns));
    if (written && json && count > 0)
        written = chunks.add("\n");
    written = written && chunks.add(tail) && chunks.flush();
    if (!reader.error().isEmpty())
        error = reader.error();
    else if (!written)
        error = out.errorString();
    return error.isEmpty();
}

QJsonObject ResultRecordDocument(const ResultFile& file, const ResultRecord& record)
{
    const ExportColumns columns(file, ExportSelection{});
    QJsonObject root = jsonHead(file, columns);
    root.remove(QStringLiteral("incompleteRecordBytes"));
    root.insert(QStringLiteral("records"), QJsonArray{jsonRecord(record, columns)});
    return root;
}

} // namespace hs
