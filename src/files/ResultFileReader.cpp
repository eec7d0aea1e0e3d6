#include "files/ResultFileReader.h"

#include "common/RegularFile.h"

#include <algorithm>

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <cmath>
#include <cstring>

namespace hs {

namespace {

float floatAt(const char* p)
{
    const std::uint32_t bits = qFromLittleEndian<std::uint32_t>(p);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

std::int16_t int16At(const char* p)
{
    return qFromLittleEndian<std::int16_t>(p);
}

// Bytes read at a time while a file is checked.
constexpr qint64 kCheckChunkBytes = 1 << 20;

// The first record of a layout in the file that carries no valid date or goes back in time
// (an incomplete last record counts too when its date field is there), or -1 when there is
// none. firstYear is set to the first record's year. A read failure counts as a bad record.
qint64 firstUnsoundRecord(QFile& in, qint64 size, const RecordLayout& layout, int& firstYear)
{
    const qint64 length = layout.recordLength();
    const qint64 chunkRecords = std::max<qint64>(1, kCheckChunkBytes / length);
    QByteArray chunk(chunkRecords * length, Qt::Uninitialized);
    firstYear = kFirstRecordYear;
    QDateTime previous;
    if (!in.seek(0))
        return 0;
    for (qint64 first = 0; first * length < size; first += chunkRecords) {
        const qint64 want = std::min(chunk.size(), size - first * length);
        if (in.read(chunk.data(), want) != want)
            return first;
        for (qint64 r = 0; r * length + 6 <= want; ++r) {
            const char* p = chunk.constData() + r * length;
            const auto t = RecordFieldsTime(floatAt(p), int16At(p + 4), firstYear);
            if (!t || (previous.isValid() && *t < previous))
                return first + r;
            if (!previous.isValid())
                firstYear = t->date().year();
            previous = *t;
        }
    }
    return -1;
}

} // namespace

std::optional<ResultFileKind> ResultFileKindFromName(const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return std::nullopt;
    QString ext = name.mid(dot + 1);
    ResultFileKind kind;
    if (!ext.isEmpty() &&
        (ext[0] == QLatin1Char('R') || ext[0] == QLatin1Char('T') || ext[0] == QLatin1Char('S'))) {
        kind.phase = ext[0];
        ext = ext.mid(1);
    }
    if (ext.size() != 3 || ext[0] != QLatin1Char('h') || !ext[2].isDigit())
        return std::nullopt;
    const int digit = ext[2].digitValue();
    switch (ext[1].toLatin1()) {
    case 'm':
        kind.saveOption = 0;
        break;
    case 'a':
        if (digit != 4 && digit != 5)
            return std::nullopt;
        kind.saveOption = digit == 4 ? 1 : 2;
        return kind; // feeders unknown
    case 'v':
        kind.saveOption = 3;
        break;
    case 'n':
        kind.saveOption = 4;
        break;
    default:
        return std::nullopt;
    }
    if (digit < 1 || digit > 9)
        return std::nullopt;
    kind.feeders = digit;
    return kind;
}

std::optional<QDateTime> RecordFieldsTime(float dateValue, std::int16_t timeValue, int fromYear)
{
    if (!std::isfinite(dateValue) || dateValue < 0 || dateValue > 991231 ||
        dateValue != std::floor(dateValue))
        return std::nullopt;
    const int v = static_cast<int>(dateValue);
    const int year = fromYear + (v / 10000 - fromYear % 100 + 100) % 100;
    const QDate date(year, (v / 100) % 100, v % 100);
    const QTime time(timeValue / 100, timeValue % 100);
    if (!date.isValid() || timeValue < 0 || !time.isValid())
        return std::nullopt;
    return QDateTime(date, time);
}

ResultRecord DecodeResultRecord(const RecordLayout& layout, const char* p, int fromYear)
{
    const int n = layout.orderCount();
    ResultRecord r;
    r.dateValue = floatAt(p);
    r.timeValue = int16At(p + 4);
    r.time = RecordFieldsTime(r.dateValue, r.timeValue, fromYear).value_or(QDateTime());
    p += 6;
    auto floats = [&p, n] {
        std::vector<float> v(static_cast<std::size_t>(n));
        for (float& x : v) {
            x = floatAt(p);
            p += 4;
        }
        return v;
    };
    auto int16s = [&p, n] {
        std::vector<std::int16_t> v(static_cast<std::size_t>(n));
        for (std::int16_t& x : v) {
            x = int16At(p);
            p += 2;
        }
        return v;
    };
    r.voltage = floats();
    for (int f = 0; f < layout.feeders; ++f) {
        r.current.push_back(floats());
        r.powerAngle.push_back(int16s());
    }
    if (layout.hasVoltSuperAngle())
        r.voltSuperAngle = int16s();
    if (layout.hasCurSuperAngle())
        r.curSuperAngle = int16s();
    if (layout.hasRms()) {
        r.hasRms = true;
        for (float& x : r.voltRms) {
            x = floatAt(p);
            p += 4;
        }
        for (int f = 0; f < layout.feeders; ++f) {
            std::array<float, 3> rst{};
            for (float& x : rst) {
                x = floatAt(p);
                p += 4;
            }
            r.curRms.push_back(rst);
        }
    }
    return r;
}

QString ResultFile::truncationNote() const
{
    if (!truncated())
        return {};
    return QStringLiteral("%1: %2 whole records, %3 bytes of an incomplete record left out")
        .arg(path)
        .arg(records.size())
        .arg(trailingBytes);
}

bool ResultRecordReader::open(const QString& path, QString& error, int feeders)
{
    file_ = ResultFile{};
    file_.path = path;
    done_ = 0;
    chunk_.clear();
    chunkAt_ = 0;
    error_.clear();
    in_.close();
    const auto kind = ResultFileKindFromName(path);
    if (!kind) {
        error = QStringLiteral("%1: not a result file name (expected .hmN, .ha4, .ha5, .hvN, .hnN "
                               "or a phase file .R/.T/.S…)")
                    .arg(path);
        return false;
    }
    if (feeders < 0 || feeders > 9) {
        error = QStringLiteral("%1: the number of feeders must be 1..9").arg(path);
        return false;
    }
    QString why;
    if (openRegularFile(in_, path, why) != RegularFileOpen::Opened) {
        error = QStringLiteral("%1: cannot open: %2").arg(path, why);
        return false;
    }
    if (!findLayout(*kind, feeders, error)) {
        in_.close();
        return false;
    }
    file_.kind = *kind;
    file_.kind.feeders = file_.layout.feeders;
    file_.orders = OrderSet(file_.layout.orders256);
    file_.trailingBytes = file_.fileSize % file_.layout.recordLength();
    if (!in_.seek(0)) {
        error = QStringLiteral("%1: cannot read: %2").arg(path, in_.errorString());
        return false;
    }
    return true;
}

bool ResultRecordReader::findLayout(const ResultFileKind& kind, int feeders, QString& error)
{
    const QString& path = file_.path;
    const qint64 size = in_.size();
    file_.fileSize = size;

    // Candidate feeder counts: the caller's, the extension's, or every count 1..9.
    std::vector<int> candidates;
    if (feeders > 0)
        candidates.push_back(feeders);
    else if (kind.feeders > 0)
        candidates.push_back(kind.feeders);
    else
        for (int f = 1; f <= 9; ++f)
            candidates.push_back(f);

    // Shorter than the shortest record the file can hold: there is nothing to read.
    qint64 shortest = 0;
    for (int f : candidates) {
        const qint64 length = RecordLayout{kind.saveOption, f, kind.orders256()}.recordLength();
        shortest = shortest == 0 ? length : std::min(shortest, length);
    }
    if (size < shortest) {
        error = QStringLiteral("%1: no whole record (%2 bytes; a record is %3 bytes)")
                    .arg(path)
                    .arg(size)
                    .arg(shortest);
        return false;
    }

    std::vector<std::pair<RecordLayout, int>> exact, cut; // with the first record's year
    qint64 badRecord = -1;
    for (int f : candidates) {
        const RecordLayout layout{kind.saveOption, f, kind.orders256()};
        const qint64 length = layout.recordLength();
        int firstYear = kFirstRecordYear;
        badRecord = firstUnsoundRecord(in_, size, layout, firstYear);
        if (badRecord >= 0)
            continue;
        if (size % length == 0)
            exact.emplace_back(layout, firstYear);
        else if (size / length > 0 || candidates.size() == 1)
            cut.emplace_back(layout, firstYear);
    }
    const auto& fits = exact.empty() ? cut : exact;
    if (fits.empty()) {
        const RecordLayout first{kind.saveOption, candidates.front(), kind.orders256()};
        error = candidates.size() == 1
                    ? QStringLiteral("%1: %2 bytes do not hold records of %3 bytes with valid "
                                     "dates in time order (record %4 at byte %5 is none): not "
                                     "a file of the layout its name announces")
                          .arg(path)
                          .arg(size)
                          .arg(first.recordLength())
                          .arg(badRecord + 1)
                          .arg(badRecord * first.recordLength())
                    : QStringLiteral(
                          "%1: %2 bytes fit no number of feeders 1..9 with valid record dates")
                          .arg(path)
                          .arg(size);
        return false;
    }
    if (fits.size() > 1) {
        error = QStringLiteral("%1: the number of feeders cannot be told from the file (it fits %2 "
                               "different counts); give it with --feeders")
                    .arg(path)
                    .arg(fits.size());
        return false;
    }
    file_.layout = fits.front().first;
    firstYear_ = fits.front().second;
    return true;
}

qint64 ResultRecordReader::recordCount() const
{
    return file_.layout.recordLength() > 0 && in_.isOpen()
               ? file_.fileSize / file_.layout.recordLength()
               : 0;
}

bool ResultRecordReader::next(ResultRecord& record)
{
    if (done_ >= recordCount() || !error_.isEmpty())
        return false;
    const qint64 length = file_.layout.recordLength();
    if (chunkAt_ >= chunk_.size() && !readChunk())
        return false;
    record = DecodeResultRecord(file_.layout, chunk_.constData() + chunkAt_, firstYear_);
    if (!record.time.isValid()) {
        // The check at open() found a date here: the file was changed under the reader.
        error_ = QStringLiteral("%1: record %2 changed while the file was read")
                     .arg(file_.path)
                     .arg(done_ + 1);
        return false;
    }
    chunkAt_ += length;
    ++done_;
    return true;
}

bool ResultRecordReader::readChunk()
{
    const qint64 length = file_.layout.recordLength();
    const qint64 records =
        std::min(std::max<qint64>(1, kCheckChunkBytes / length), recordCount() - done_);
    chunk_.resize(records * length);
    chunkAt_ = 0;
    if (in_.read(chunk_.data(), chunk_.size()) == chunk_.size())
        return true;
    error_ = QStringLiteral("%1: cannot read record %2: %3")
                 .arg(file_.path)
                 .arg(done_ + 1)
                 .arg(in_.errorString());
    return false;
}

bool ReadRemainingRecords(ResultRecordReader& reader, ResultFile& out, QString& error)
{
    out.records.reserve(static_cast<std::size_t>(reader.recordCount()));
    ResultRecord record;
    while (reader.next(record))
        out.records.push_back(std::move(record));
    error = reader.error();
    return error.isEmpty();
}

bool ReadResultFile(const QString& path, ResultFile& out, QString& error, int feeders)
{
    ResultRecordReader reader;
    const bool opened = reader.open(path, error, feeders);
    out = reader.file();
    return opened && ReadRemainingRecords(reader, out, error);
}

} // namespace hs
