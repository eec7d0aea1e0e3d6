#include "files/ResultFileReader.h"

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

// Whether the records of a layout in data carry valid dates that never go back in time; an
// incomplete last record counts too when its date field is there.
bool recordsSound(const RecordLayout& layout, const QByteArray& data)
{
    const qint64 length = layout.recordLength();
    const qint64 whole = data.size() / length;
    const qint64 count = data.size() - whole * length >= 6 ? whole + 1 : whole;
    QDateTime previous;
    for (qint64 r = 0; r < count; ++r) {
        const char* p = data.constData() + r * length;
        const auto t = RecordFieldsTime(floatAt(p), int16At(p + 4));
        if (!t || (previous.isValid() && *t < previous))
            return false;
        previous = *t;
    }
    return true;
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

std::optional<QDateTime> RecordFieldsTime(float dateValue, std::int16_t timeValue)
{
    if (!std::isfinite(dateValue) || dateValue < 0 || dateValue > 991231 ||
        dateValue != std::floor(dateValue))
        return std::nullopt;
    const int v = static_cast<int>(dateValue);
    const int yy = v / 10000;
    const QDate date(yy < 30 ? 2000 + yy : 1900 + yy, (v / 100) % 100, v % 100);
    const QTime time(timeValue / 100, timeValue % 100);
    if (!date.isValid() || timeValue < 0 || !time.isValid())
        return std::nullopt;
    return QDateTime(date, time);
}

ResultRecord DecodeResultRecord(const RecordLayout& layout, const char* p)
{
    const int n = layout.orderCount();
    ResultRecord r;
    r.dateValue = floatAt(p);
    r.timeValue = int16At(p + 4);
    r.time = RecordFieldsTime(r.dateValue, r.timeValue).value_or(QDateTime());
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

bool ReadResultFile(const QString& path, ResultFile& out, QString& error, int feeders)
{
    out = ResultFile{};
    out.path = path;
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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("%1: cannot open: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray data = file.readAll();
    const qint64 size = data.size();

    // Candidate feeder counts: the caller's, the extension's, or every count 1..9.
    std::vector<int> candidates;
    if (feeders > 0)
        candidates.push_back(feeders);
    else if (kind->feeders > 0)
        candidates.push_back(kind->feeders);
    else
        for (int f = 1; f <= 9; ++f)
            candidates.push_back(f);

    // Shorter than the shortest record the file can hold: there is nothing to read.
    qint64 shortest = 0;
    for (int f : candidates) {
        const qint64 length = RecordLayout{kind->saveOption, f, kind->orders256()}.recordLength();
        shortest = shortest == 0 ? length : std::min(shortest, length);
    }
    if (size < shortest) {
        error = QStringLiteral("%1: no whole record (%2 bytes; a record is %3 bytes)")
                    .arg(path)
                    .arg(size)
                    .arg(shortest);
        return false;
    }

    std::vector<RecordLayout> exact, cut;
    for (int f : candidates) {
        const RecordLayout layout{kind->saveOption, f, kind->orders256()};
        const qint64 length = layout.recordLength();
        const qint64 whole = size / length;
        if (!recordsSound(layout, data))
            continue;
        if (size % length == 0)
            exact.push_back(layout);
        else if (whole > 0 || candidates.size() == 1)
            cut.push_back(layout);
    }
    const std::vector<RecordLayout>& fits = exact.empty() ? cut : exact;
    if (fits.empty()) {
        const RecordLayout first{kind->saveOption, candidates.front(), kind->orders256()};
        error = candidates.size() == 1
                    ? QStringLiteral("%1: %2 bytes do not hold records of %3 bytes with valid "
                                     "dates: not a file of the layout its name announces")
                          .arg(path)
                          .arg(size)
                          .arg(first.recordLength())
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
    out.kind = *kind;
    out.layout = fits.front();
    out.kind.feeders = out.layout.feeders;
    out.orders = OrderSet(out.layout.orders256);
    out.fileSize = size;
    const qint64 length = out.layout.recordLength();
    const qint64 whole = size / length;
    out.trailingBytes = size - whole * length;
    out.records.reserve(static_cast<std::size_t>(whole));
    for (qint64 r = 0; r < whole; ++r)
        out.records.push_back(DecodeResultRecord(out.layout, data.constData() + r * length));
    return true;
}

} // namespace hs
