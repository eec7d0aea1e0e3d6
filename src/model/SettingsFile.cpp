#include "model/SettingsFile.h"

#include "common/DateText.h"
#include "common/RegularFile.h"
#include "model/RcComplement.h"
#include "model/RecorderFacts.h"
#include "model/SettingsRules.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>

#include <climits>
#include <cmath>
#include <optional>
#include <set>

namespace hs {

namespace {

constexpr std::size_t kFeeders = 9;
constexpr std::size_t kInputs = 20;

// Thrown inside the reader only; turned into the result's error before leaving this file.
struct FileError {
    QString message;
};

[[noreturn]] void fail(const QString& key, const QString& reason)
{
    throw FileError{key + QStringLiteral(": ") + reason};
}

double number(const QString& key, const QJsonValue& value)
{
    if (!value.isDouble())
        fail(key, QStringLiteral("must be a number"));
    return value.toDouble();
}

int wholeNumber(const QString& key, const QJsonValue& value, int low, int high)
{
    const double v = number(key, value);
    if (std::floor(v) != v || v < low || v > high)
        fail(key, QStringLiteral("%1 is not a whole number from %2 to %3")
                      .arg(QString::number(v, 'g', 15))
                      .arg(low)
                      .arg(high));
    return static_cast<int>(v);
}

std::int16_t nonZeroInt16(const QString& key, const QJsonValue& value)
{
    const int v = wholeNumber(key, value, -32768, 32767);
    if (v == 0)
        fail(key, QStringLiteral("must not be 0"));
    return static_cast<std::int16_t>(v);
}

QJsonArray list(const QString& key, const QJsonValue& value, qsizetype maxSize)
{
    if (!value.isArray())
        fail(key, QStringLiteral("must be a list"));
    const QJsonArray a = value.toArray();
    if (a.size() > maxSize)
        fail(key,
             QStringLiteral("has %1 entries, at most %2 are allowed").arg(a.size()).arg(maxSize));
    return a;
}

QString indexed(const QString& key, qsizetype i)
{
    return key + QLatin1Char('[') + QString::number(i) + QLatin1Char(']');
}

// "yyyy/MM/dd HH:mm", or "+N": N minutes from now; seconds are always 1.
QDateTime timeValue(const QString& key, const QJsonValue& value, const QDateTime& now)
{
    if (!value.isString())
        fail(key, QStringLiteral("must be a text \"yyyy/MM/dd HH:mm\" or \"+N\""));
    const QString text = value.toString().trimmed();
    static const QRegularExpression relative(QStringLiteral("^\\+(\\d{1,7})$"));
    if (const auto m = relative.match(text); m.hasMatch()) {
        const QDateTime t = now.addSecs(m.captured(1).toLongLong() * 60);
        return QDateTime(t.date(), QTime(t.time().hour(), t.time().minute(), 1));
    }
    const QStringList parts = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() == 2) {
        if (const auto dateTime = boxesDateTime(parts[0], parts[1]))
            return *dateTime;
    }
    fail(key,
         QStringLiteral("\"%1\" is neither \"yyyy/MM/dd HH:mm\" nor \"+N\" minutes").arg(text));
}

void checkKeys(const QString& where, const QJsonObject& object, const QStringList& known)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!known.contains(it.key()))
            fail(where + it.key(), QStringLiteral("unknown key"));
    }
}

std::vector<RecorderAddress> recorders(const QJsonValue& value)
{
    const QString key = QStringLiteral("recorders");
    const QJsonArray a = list(key, value, 2);
    if (a.isEmpty())
        fail(key, QStringLiteral("needs one or two recorders"));
    std::vector<RecorderAddress> result;
    for (qsizetype i = 0; i < a.size(); ++i) {
        const QString where = indexed(key, i);
        if (!a[i].isObject())
            fail(where, QStringLiteral("must be an object with \"address\" and \"port\""));
        const QJsonObject o = a[i].toObject();
        checkKeys(where + QLatin1Char('.'), o, {QStringLiteral("address"), QStringLiteral("port")});
        RecorderAddress r;
        const QJsonValue address = o.value(QStringLiteral("address"));
        if (!address.isString() || address.toString().trimmed().isEmpty())
            fail(where + QStringLiteral(".address"), QStringLiteral("must be a non-empty text"));
        r.address = address.toString().trimmed();
        if (o.contains(QStringLiteral("port")))
            r.port = static_cast<std::uint16_t>(wholeNumber(
                where + QStringLiteral(".port"), o.value(QStringLiteral("port")), 1, 65535));
        result.push_back(r);
    }
    return result;
}

void rcRows(const QJsonValue& value, MeasurementSettings& s)
{
    const QString key = QStringLiteral("RcComplement");
    const QJsonArray a = list(key, value, 10);
    std::set<int> seen;
    for (qsizetype i = 0; i < a.size(); ++i) {
        const QString where = indexed(key, i);
        if (!a[i].isObject())
            fail(where, QStringLiteral("must be an object with \"row\", \"R_kOhm\" and \"C_uF\""));
        const QJsonObject o = a[i].toObject();
        checkKeys(where + QLatin1Char('.'), o,
                  {QStringLiteral("row"), QStringLiteral("R_kOhm"), QStringLiteral("C_uF"),
                   QStringLiteral("ticked")});
        for (const char* required : {"row", "R_kOhm", "C_uF"}) {
            if (!o.contains(QLatin1String(required)))
                fail(where + QLatin1Char('.') + QLatin1String(required), QStringLiteral("missing"));
        }
        const int row =
            wholeNumber(where + QStringLiteral(".row"), o.value(QStringLiteral("row")), 0, 9);
        if (!seen.insert(row).second)
            fail(where + QStringLiteral(".row"), QStringLiteral("row %1 is given twice").arg(row));
        const double r =
            number(where + QStringLiteral(".R_kOhm"), o.value(QStringLiteral("R_kOhm")));
        const double c = number(where + QStringLiteral(".C_uF"), o.value(QStringLiteral("C_uF")));
        if (!(r > 0))
            fail(where + QStringLiteral(".R_kOhm"), QStringLiteral("must be greater than 0"));
        if (!(c > 0))
            fail(where + QStringLiteral(".C_uF"), QStringLiteral("must be greater than 0"));
        bool ticked = true;
        if (o.contains(QStringLiteral("ticked"))) {
            if (!o.value(QStringLiteral("ticked")).isBool())
                fail(where + QStringLiteral(".ticked"), QStringLiteral("must be true or false"));
            ticked = o.value(QStringLiteral("ticked")).toBool();
        }
        RcRow& target = s.RcRows[static_cast<std::size_t>(row)];
        target.ticked = ticked;
        target.rText = numberText(r);
        target.cText = numberText(c);
    }
}

// Reads one of the three ways of giving the current sensors.
void currentScale(const QString& key, const QJsonValue& value, MeasurementSettings& s)
{
    const QJsonArray a = list(key, value, kFeeders);
    for (qsizetype i = 0; i < a.size(); ++i) {
        const QString where = indexed(key, i);
        const double v = number(where, a[i]);
        double scale = v;
        if (key == QLatin1String("ClampRangeA") || key == QLatin1String("ShuntOhm")) {
            if (!(v > 0))
                fail(where, QStringLiteral("must be greater than 0"));
            if (key == QLatin1String("ClampRangeA"))
                scale = 0.2 / v;
        }
        const float stored = static_cast<float>(scale);
        if (stored == 0.0f || !std::isfinite(stored))
            fail(where, QStringLiteral("gives a current scale of 0 or out of range"));
        s.CurrentScale[static_cast<std::size_t>(i)] = stored;
    }
}

// Reads the top-level keys into a SettingsFileContent. The cross-field rules (what a feeder
// count, measure type or save option allows) are those of the settings screen, kept by rules
// on a view nobody shows.
struct ContentReader {
    ContentReader(const QJsonObject& object, const QDateTime& start)
        : root(object), now(start), s(content.settings), rules(s, view)
    {
    }

    bool has(const char* key) const { return root.contains(QLatin1String(key)); }
    static std::int16_t whole(const QString& key, const QJsonValue& value, int low, int high)
    {
        return static_cast<std::int16_t>(wholeNumber(key, value, low, high));
    }

    const QJsonObject& root;
    const QDateTime now;
    SettingsFileContent content;
    MeasurementSettings& s;
    SettingsView view;
    SettingsRules rules;
    int sensorKeys = 0;
};

// Reads one key; a key read "always" is also read when absent (its value then undefined), for
// its default or because it is required.
using KeyReader = void (*)(ContentReader& r, const QString& key, const QJsonValue& value);
struct SettingsKey {
    const char* name;
    KeyReader read;
    bool always = false;
};

void readRecorders(ContentReader& r, const QString& key, const QJsonValue& value)
{
    if (value.isUndefined())
        fail(key, QStringLiteral("missing"));
    r.content.recorders = recorders(value);
}

void readLastFeeder(ContentReader& r, const QString& key, const QJsonValue& value)
{
    if (!value.isUndefined())
        r.s.LastFeeder = ContentReader::whole(key, value, 0, 8);
    r.rules.limitSaveChoices(r.s.feederCount());
}

void readMeasureType(ContentReader& r, const QString& key, const QJsonValue& value)
{
    r.rules.chooseMeasureType(value.isUndefined() ? r.s.MeasureType()
                                                  : ContentReader::whole(key, value, 0, 4));
}

void readPhaseShift(ContentReader& r, const QString& key, const QJsonValue& value)
{
    const int shift = ContentReader::whole(key, value, 0, 4);
    if (shift != 2 && !r.view.phaseShiftEnabled)
        fail(key, QStringLiteral("can be other than 2 only with MeasureType 3"));
    r.rules.choosePhaseShift(shift);
}

void readSaveOption(ContentReader& r, const QString& key, const QJsonValue& value)
{
    int option = r.s.SaveOption();
    if (!value.isUndefined()) {
        option = ContentReader::whole(key, value, 0, 4);
        if (!r.view.saveOptionEnabled[static_cast<std::size_t>(option)])
            fail(key, QStringLiteral("%1 is only possible with one feeder").arg(option));
    }
    r.rules.chooseSaveOption(option);
}

void readMaxHarmonicOrder(ContentReader& r, const QString& key, const QJsonValue& value)
{
    if (ContentReader::whole(key, value, 99, 256) != r.s.MaxHarmonicOrder)
        fail(key, QStringLiteral("must be %1 with SaveOption %2")
                      .arg(r.s.MaxHarmonicOrder)
                      .arg(r.s.SaveOption()));
}

void readSampleCount(ContentReader& r, const QString& key, const QJsonValue& value)
{
    const int count = ContentReader::whole(key, value, 256, 1024);
    const int choice = count == 256 ? 0 : count == 512 ? 1 : count == 1024 ? 2 : -1;
    if (choice < 0)
        fail(key, QStringLiteral("must be 256, 512 or 1024"));
    if (!r.view.samplingEnabled[static_cast<std::size_t>(choice)])
        fail(key, QStringLiteral("must be 1024 with SaveOption 4"));
    r.rules.chooseSampling(choice);
}

void readSampleCountLog2(ContentReader& r, const QString& key, const QJsonValue& value)
{
    if (ContentReader::whole(key, value, 8, 10) != r.s.SampleCountLog2)
        fail(key, QStringLiteral("must be %1 with SampleCount %2")
                      .arg(r.s.SampleCountLog2)
                      .arg(r.s.SampleCount));
}

void readSaveFormat(ContentReader& r, const QString& key, const QJsonValue& value)
{
    const int format = ContentReader::whole(key, value, 0, 3);
    if (!r.view.saveFormatEnabled[static_cast<std::size_t>(format)])
        fail(key, QStringLiteral("3 is only possible with one feeder"));
    r.rules.chooseSaveFormat(format);
}

void readCtRatio(ContentReader& r, const QString& key, const QJsonValue& value)
{
    const QJsonArray a = list(key, value, kFeeders);
    for (qsizetype i = 0; i < a.size(); ++i)
        r.s.CtRatio[static_cast<std::size_t>(i)] = nonZeroInt16(indexed(key, i), a[i]);
}

// ClampRangeA, ShuntOhm or CurrentScale: one of them at most.
void readSensors(ContentReader& r, const QString& key, const QJsonValue& value)
{
    if (++r.sensorKeys > 1)
        fail(key, QStringLiteral("give only one of ClampRangeA, ShuntOhm and CurrentScale"));
    currentScale(key, value, r.s);
}

void readInputChannel(ContentReader& r, const QString& key, const QJsonValue& value)
{
    r.content.channelMapExplicit = true;
    r.s.InputChannel.fill(0);
    r.s.InputRecorder.fill(0);
    const QJsonArray channels = list(key, value, kInputs);
    for (qsizetype i = 0; i < channels.size(); ++i)
        r.s.InputChannel[static_cast<std::size_t>(i)] =
            ContentReader::whole(indexed(key, i), channels[i], 0, 16);
}

void readInputRecorder(ContentReader& r, const QString& key, const QJsonValue& value)
{
    if (!r.has("InputChannel"))
        fail(key, QStringLiteral("needs InputChannel as well"));
    const QJsonArray recorders = list(key, value, kInputs);
    for (qsizetype i = 0; i < recorders.size(); ++i) {
        const int recorder = wholeNumber(indexed(key, i), recorders[i], 0, 1);
        if (recorder >= static_cast<int>(r.content.recorders.size()))
            fail(indexed(key, i),
                 QStringLiteral("recorder %1 is not in the recorders list").arg(recorder));
        r.s.InputRecorder[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(recorder);
    }
}

void readStart(ContentReader& r, const QString& key, const QJsonValue& value)
{
    // The screen's defaults: from now to tomorrow at the same minute.
    const QDateTime& now = r.now;
    r.s.StartDateTime = QDateTime(now.date(), QTime(now.time().hour(), now.time().minute(), 1));
    r.s.EndDateTime = r.s.StartDateTime.addDays(1);
    if (!value.isUndefined())
        r.s.StartDateTime = timeValue(key, value, now);
}

void readEnd(ContentReader& r, const QString& key, const QJsonValue& value)
{
    if (!value.isUndefined())
        r.s.EndDateTime = timeValue(key, value, r.now);
    if (!r.rules.checkPeriod().accepted)
        fail(key, QStringLiteral("must be later than StartDateTime"));
}

// A path the file system can take: at most PATH_MAX - 1 bytes, each name in it at most NAME_MAX.
void checkPathLength(const QString& key, const QString& path)
{
    const QByteArray bytes = QFile::encodeName(path);
    if (bytes.size() >= PATH_MAX)
        fail(key, QStringLiteral("the path is %1 bytes long, at most %2 are allowed")
                      .arg(bytes.size())
                      .arg(PATH_MAX - 1));
    for (const QByteArray& name : bytes.split('/')) {
        if (name.size() > NAME_MAX)
            fail(key, QStringLiteral("a name in the path is %1 bytes long, at most %2 are allowed")
                          .arg(name.size())
                          .arg(NAME_MAX));
    }
}

void readOutputFile(ContentReader& r, const QString& key, const QJsonValue& value)
{
    if (!value.isString() || value.toString().trimmed().isEmpty())
        fail(key, QStringLiteral("a non-empty file name is needed"));
    const QString path = value.toString().trimmed();
    if (path.endsWith(QLatin1Char('/')))
        fail(key, QStringLiteral("\"%1\" names a folder, not a file").arg(path));
    r.s.OutputFile = outputFileFromPath(path, r.rules.currentExtension());
    r.s.OutputFolder = outputFolderOf(path);
    // The three-meter type writes a file per phase, each name one letter longer.
    checkPathLength(key, r.s.MeasureType() == 4 ? phaseFileName(r.s.OutputFile, QLatin1Char('R'))
                                                : r.s.OutputFile);
}

void readOutputFolder(ContentReader& r, const QString& key, const QJsonValue& value)
{
    if (!value.isString())
        fail(key, QStringLiteral("must be a text"));
    r.s.OutputFolder = value.toString().trimmed();
    if (!r.s.OutputFolder.isEmpty() && !r.s.OutputFolder.endsWith(QLatin1Char('/')))
        r.s.OutputFolder += QLatin1Char('/');
    checkPathLength(key, r.s.OutputFolder);
}

void readSaveWaveforms(ContentReader& r, const QString& key, const QJsonValue& value)
{
    if (!value.isBool())
        fail(key, QStringLiteral("must be true or false"));
    r.s.SaveWaveforms = value.toBool();
}

void readVConnection(ContentReader& r, const QString& key, const QJsonValue& value)
{
    const QJsonArray a = list(key, value, kFeeders);
    for (qsizetype i = 0; i < a.size(); ++i) {
        const int feeder = wholeNumber(indexed(key, i), a[i], 1, 9);
        r.s.VConnection[static_cast<std::size_t>(feeder - 1)] = true;
    }
}

// The keys of a settings file in the order they are read: a key's rules may depend on the
// keys before it (the feeder count, measure type and save option first).
const SettingsKey kSettingsKeys[] = {
    {"recorders", readRecorders, true},
    {"LastFeeder", readLastFeeder, true},
    {"MeasureType", readMeasureType, true},
    {"PhaseShift", readPhaseShift},
    {"SaveOption", readSaveOption, true},
    {"MaxHarmonicOrder", readMaxHarmonicOrder},
    {"SampleCount", readSampleCount},
    {"SampleCountLog2", readSampleCountLog2},
    {"SaveFormat", readSaveFormat},
    {"SyncMode",
     [](ContentReader& r, const QString& key, const QJsonValue& value) {
         r.rules.chooseSyncMode(ContentReader::whole(key, value, 0, 3));
     }},
    {"PtRatio", [](ContentReader& r, const QString& key,
                   const QJsonValue& value) { r.s.PtRatio = nonZeroInt16(key, value); }},
    {"CtRatio", readCtRatio},
    {"ClampRangeA", readSensors},
    {"ShuntOhm", readSensors},
    {"CurrentScale", readSensors},
    {"InputChannel", readInputChannel},
    {"InputRecorder", readInputRecorder},
    {"SaveIntervalMin",
     [](ContentReader& r, const QString& key, const QJsonValue& value) {
         r.s.SaveIntervalMin = ContentReader::whole(key, value, 1, 32767);
     }},
    {"PrintIntervalMin",
     [](ContentReader& r, const QString& key, const QJsonValue& value) {
         r.s.PrintIntervalMin = ContentReader::whole(key, value, 0, 32767);
     }},
    {"FdSaveMode",
     [](ContentReader& r, const QString& key, const QJsonValue& value) {
         r.s.FdSaveMode = ContentReader::whole(key, value, 0, 5);
     }},
    {"FdSaveIntervalMin",
     [](ContentReader& r, const QString& key, const QJsonValue& value) {
         r.s.FdSaveIntervalMin = ContentReader::whole(key, value, 1, 32767);
     }},
    {"StartDateTime", readStart, true},
    {"EndDateTime", readEnd, true},
    {"OutputFile", readOutputFile, true},
    {"OutputFolder", readOutputFolder},
    {"SaveWaveforms", readSaveWaveforms},
    {"RcComplement",
     [](ContentReader& r, const QString&, const QJsonValue& value) { rcRows(value, r.s); }},
    {"VConnection", readVConnection},
};

// A walk over the raw text of a document QJsonDocument has already taken as valid JSON, for
// what the parsed document no longer shows: a key given twice in one object (QJsonDocument keeps
// the last one silently). It also refuses control characters in every text value: they have no
// place in an address or a path and would reach the recorders or the file system as they are.
class RawTextCheck {
public:
    explicit RawTextCheck(const QByteArray& text) : t_(text)
    {
        if (t_.startsWith("\xEF\xBB\xBF"))
            p_ = 3;
    }

    void run()
    {
        blanks();
        value(QString());
    }

private:
    char at() const { return p_ < t_.size() ? t_[p_] : '\0'; }

    void blanks()
    {
        while (at() == ' ' || at() == '\t' || at() == '\n' || at() == '\r')
            ++p_;
    }

    // The text starting at the opening quote, decoded; the position moves past the closing one.
    QString text()
    {
        const qsizetype begin = p_++;
        bool escaped = false;
        while (p_ < t_.size() && t_[p_] != '"') {
            if (t_[p_] == '\\') {
                escaped = true;
                ++p_;
            }
            ++p_;
        }
        ++p_;
        const QByteArray raw = t_.mid(begin, p_ - begin);
        if (!escaped)
            return QString::fromUtf8(raw.mid(1, raw.size() - 2));
        return QJsonDocument::fromJson('[' + raw + ']').array().at(0).toString();
    }

    void value(const QString& where)
    {
        switch (at()) {
        case '{':
            object(where);
            break;
        case '[':
            array(where);
            break;
        case '"':
            for (const QChar c : text()) {
                if (c.category() == QChar::Other_Control)
                    fail(where, QStringLiteral("contains a control character (U+%1)")
                                    .arg(QString::number(c.unicode(), 16)
                                             .toUpper()
                                             .rightJustified(4, QLatin1Char('0'))));
            }
            break;
        default: // number, true, false, null
            while (p_ < t_.size() && !QByteArray(",}] \t\r\n").contains(at()))
                ++p_;
        }
    }

    void object(const QString& where)
    {
        ++p_;
        blanks();
        std::set<QString> seen;
        while (at() == '"') {
            const QString key = text();
            const QString path = where.isEmpty() ? key : where + QLatin1Char('.') + key;
            if (!seen.insert(key).second)
                fail(path, QStringLiteral("is given more than once"));
            blanks();
            ++p_; // ':'
            blanks();
            value(path);
            blanks();
            if (at() == ',')
                ++p_;
            blanks();
        }
        ++p_; // '}'
    }

    void array(const QString& where)
    {
        ++p_;
        blanks();
        for (qsizetype i = 0; at() != ']' && p_ < t_.size(); ++i) {
            value(indexed(where, i));
            blanks();
            if (at() == ',')
                ++p_;
            blanks();
        }
        ++p_; // ']'
    }

    const QByteArray& t_;
    qsizetype p_ = 0;
};

SettingsFileContent readContent(const QJsonObject& root, const QDateTime& now)
{
    QStringList known;
    for (const SettingsKey& k : kSettingsKeys)
        known << QLatin1String(k.name);
    checkKeys(QString(), root, known);
    ContentReader reader(root, now);
    for (const SettingsKey& k : kSettingsKeys) {
        if (k.always || reader.has(k.name))
            k.read(reader, QLatin1String(k.name), root.value(QLatin1String(k.name)));
    }
    return reader.content;
}

} // namespace

SettingsFileResult parseSettingsJson(const QByteArray& json, const QDateTime& now)
{
    SettingsFileResult result;
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        result.error = QStringLiteral("settings file: not valid JSON (%1 at byte %2)")
                           .arg(parseError.errorString())
                           .arg(parseError.offset);
        return result;
    }
    if (!doc.isObject()) {
        result.error = QStringLiteral("settings file: the top level must be an object { ... }");
        return result;
    }
    try {
        RawTextCheck(json).run();
        result.content = readContent(doc.object(), now);
        result.ok = true;
    } catch (const FileError& e) {
        result.error = e.message;
    }
    return result;
}

SettingsFileResult readSettingsFile(const QString& path, const QDateTime& now)
{
    // Settings files are a few kilobytes; the bound keeps a wrong file from filling memory.
    constexpr qint64 kMaxSettingsBytes = 1024 * 1024;
    QFile file(path);
    SettingsFileResult result;
    if (QString why; openRegularFile(file, path, why) != RegularFileOpen::Opened) {
        result.error = QStringLiteral("settings file \"%1\" cannot be read: %2").arg(path, why);
        return result;
    }
    const QByteArray bytes = file.read(kMaxSettingsBytes + 1);
    if (bytes.size() > kMaxSettingsBytes) {
        result.error = QStringLiteral("settings file \"%1\" is larger than %2 bytes")
                           .arg(path)
                           .arg(kMaxSettingsBytes);
        return result;
    }
    return parseSettingsJson(bytes, now);
}

namespace {

// A float written with the fewest digits that read back to the same float.
double shortestFloat(float value)
{
    const double seven = QString::number(static_cast<double>(value), 'g', 7).toDouble();
    return static_cast<float>(seven) == value ? seven : static_cast<double>(value);
}

template <typename T, std::size_t N> QJsonArray jsonList(const std::array<T, N>& values)
{
    QJsonArray a;
    for (const T& v : values)
        a.append(static_cast<int>(v));
    return a;
}

} // namespace

QByteArray settingsJson(const MeasurementSettings& s, const std::vector<RecorderAddress>& recorders)
{
    QJsonObject root;
    QJsonArray list;
    for (const RecorderAddress& r : recorders)
        list.append(QJsonObject{{QStringLiteral("address"), r.address},
                                {QStringLiteral("port"), static_cast<int>(r.port)}});
    root.insert(QStringLiteral("recorders"), list);
    root.insert(QStringLiteral("MeasureType"), s.MeasureType());
    root.insert(QStringLiteral("SampleCount"), s.SampleCount);
    root.insert(QStringLiteral("SaveFormat"), s.SaveFormat());
    root.insert(QStringLiteral("SaveOption"), s.SaveOption());
    root.insert(QStringLiteral("PhaseShift"), s.PhaseShift());
    root.insert(QStringLiteral("SyncMode"), s.SyncMode);
    root.insert(QStringLiteral("LastFeeder"), s.LastFeeder);
    root.insert(QStringLiteral("PtRatio"), s.PtRatio);
    root.insert(QStringLiteral("CtRatio"), jsonList(s.CtRatio));
    QJsonArray scales;
    for (const float scale : s.CurrentScale)
        scales.append(shortestFloat(scale));
    root.insert(QStringLiteral("CurrentScale"), scales);
    root.insert(QStringLiteral("InputChannel"), jsonList(s.InputChannel));
    root.insert(QStringLiteral("InputRecorder"), jsonList(s.InputRecorder));
    root.insert(QStringLiteral("SaveIntervalMin"), s.SaveIntervalMin);
    root.insert(QStringLiteral("PrintIntervalMin"), s.PrintIntervalMin);
    root.insert(QStringLiteral("FdSaveMode"), s.FdSaveMode);
    root.insert(QStringLiteral("FdSaveIntervalMin"), s.FdSaveIntervalMin);
    auto when = [](const QDateTime& t) {
        return dateBoxText(t.date()) + QLatin1Char(' ') + timeBoxText(t.time());
    };
    root.insert(QStringLiteral("StartDateTime"), when(s.StartDateTime));
    root.insert(QStringLiteral("EndDateTime"), when(s.EndDateTime));
    root.insert(QStringLiteral("OutputFile"), s.OutputFile);
    root.insert(QStringLiteral("OutputFolder"), s.OutputFolder);
    root.insert(QStringLiteral("SaveWaveforms"), s.SaveWaveforms);
    QJsonArray rows;
    for (std::size_t row = 0; row < s.RcRows.size(); ++row) {
        const std::optional<RcFilter> filter =
            rcFilterOf(RcRow{true, s.RcRows[row].rText, s.RcRows[row].cText});
        if (!filter)
            continue; // a row without usable values cannot be ticked
        rows.append(QJsonObject{{QStringLiteral("row"), static_cast<int>(row)},
                                {QStringLiteral("R_kOhm"), filter->resistanceKiloOhm},
                                {QStringLiteral("C_uF"), filter->capacitanceMicroFarad},
                                {QStringLiteral("ticked"), s.RcRows[row].ticked}});
    }
    root.insert(QStringLiteral("RcComplement"), rows);
    QJsonArray marks;
    for (std::size_t f = 0; f < s.VConnection.size(); ++f) {
        if (s.VConnection[f])
            marks.append(static_cast<int>(f + 1));
    }
    root.insert(QStringLiteral("VConnection"), marks);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

QString applyChannelMap(SettingsFileContent& content, const RecorderFacts& facts)
{
    MeasurementSettings& s = content.settings;
    const int count = s.feederCount();
    if (!content.channelMapExplicit) {
        const auto available = feederCountList(facts.UsableChannelTotal).size();
        if (count > available)
            return QStringLiteral(
                       "LastFeeder: %1 feeder(s) need %2 usable channels, the recorders have %3")
                .arg(count)
                .arg(2 * count + 2)
                .arg(facts.UsableChannelTotal);
        buildFeederChannelMap(s, facts, count);
        return {};
    }
    // A given map must name usable channels of connected recorders for every input in use.
    for (int k = 0; k < 2 * count + 2; ++k) {
        const auto entry = static_cast<std::size_t>(k);
        const int channel = s.InputChannel[entry];
        const int recorder = s.InputRecorder[entry];
        const QString key = indexed(QStringLiteral("InputChannel"), k);
        if (channel < 1)
            return key + QStringLiteral(": input %1 is in use and needs a channel 1..16").arg(k);
        if (recorder > facts.LastRecorder)
            return indexed(QStringLiteral("InputRecorder"), k) +
                   QStringLiteral(": recorder %1 is not connected").arg(recorder);
        const auto r = static_cast<std::size_t>(recorder);
        if (!isUsableUnit(facts.ChannelUnit[r][static_cast<std::size_t>(channel - 1)],
                          facts.RecorderModel[r]))
            return key + QStringLiteral(": channel %1 of recorder %2 has no usable input unit")
                             .arg(channel)
                             .arg(recorder + 1);
    }
    return {};
}

} // namespace hs
