#include "recorder/RecorderCommands.h"

#include "common/Numbers.h"

#include <cmath>

namespace hs::cmd {

namespace {

QString channel(int ch)
{
    return QStringLiteral("CH") + spacedNumber(ch);
}

} // namespace

QString clearStatus()
{
    return QStringLiteral("*CLS");
}

QString identify()
{
    return QStringLiteral("*IDN?");
}

QString options()
{
    return QStringLiteral("*OPT?");
}

QString reset()
{
    return QStringLiteral("*RST");
}

QString idleSetup()
{
    return QStringLiteral(":DISP:CHAN DISP;:FUNM MEM;:CONF:TDIV 5E-4;SHOT 50");
}

QString headerOff()
{
    return QStringLiteral(":HEAD OFF");
}

QString systemDate(const QDate& date)
{
    return QStringLiteral(":SYST:DATE ") + plainNumber(date.year() % 100) + u',' +
           plainNumber(date.month()) + u',' + plainNumber(date.day());
}

QString systemTime(const QTime& time)
{
    return QStringLiteral(":SYST:TIME ") + plainNumber(time.hour()) + u',' +
           plainNumber(time.minute()) + u',' + plainNumber(time.second());
}

QString autoSetup()
{
    return QStringLiteral(":AUTO");
}

QString abort()
{
    return QStringLiteral(":ABORT");
}

QString displayDraw(int ch, DrawMode mode)
{
    const char* suffix = ",OFF";
    switch (mode) {
    case DrawMode::Off:
        suffix = ",OFF";
        break;
    case DrawMode::Norm:
        suffix = ",NORM";
        break;
    case DrawMode::Dark:
        suffix = ",DARK";
        break;
    case DrawMode::C1:
        suffix = ",C1";
        break;
    case DrawMode::C2:
        suffix = ",C2";
        break;
    case DrawMode::C3:
        suffix = ",C3";
        break;
    case DrawMode::C4:
        suffix = ",C4";
        break;
    }
    return QStringLiteral(":DISP:DRAW ") + channel(ch) + QLatin1String(suffix);
}

QString triggerKindChannel1Off()
{
    return QStringLiteral(":TRIG:KIND CH 1,OFF");
}

QString configureMeasurement(bool quad)
{
    return QStringLiteral(":CONF:TDIV +500E-6;SHOT 100;FORM ") +
           (quad ? QStringLiteral("QUAD") : QStringLiteral("DUAL")) +
           QStringLiteral(";:DISP:XMAG X1_5");
}

QString unitPosition(int ch)
{
    return QStringLiteral(":UNIT:POSI ") + channel(ch) + QStringLiteral(",50");
}

QString triggerKindOff(int ch)
{
    return QStringLiteral(":TRIG:KIND ") + channel(ch) + QStringLiteral(",OFF");
}

QString displayGraph(int ch, int graph)
{
    return QStringLiteral(":DISP:GRAP ") + channel(ch) + u',' + spacedNumber(graph);
}

QString triggerKindLevel(int ch)
{
    return QStringLiteral(":TRIG:KIND CH") + plainNumber(ch) + QStringLiteral(",LEVE");
}

QString triggerLevelSlope(int ch)
{
    return QStringLiteral(":TRIG:LEVE ") + channel(ch) + QStringLiteral(",0 ;SLOP ") + channel(ch) +
           QStringLiteral(",UP");
}

QString triggerModeSingle()
{
    return QStringLiteral(":TRIG:MODE SING;PRET 2");
}

QString triggerKindCh1Level()
{
    return QStringLiteral(":TRIG:KIND CH1,LEVE");
}

QString triggerExternalOn()
{
    return QStringLiteral(":TRIG:EXTE ON");
}

QString triggerKindCh1Off()
{
    return QStringLiteral(":TRIG:KIND CH1,OFF");
}

QString unitAdjust()
{
    return QStringLiteral(":UNIT:ADJUST");
}

QString start()
{
    return QStringLiteral(":STAR");
}

QString memMaxPoint()
{
    return QStringLiteral(":MEM:MAXP?");
}

QString memPoint(int ch, int point, bool spaced)
{
    if (spaced)
        return QStringLiteral(":MEM:POIN ") + channel(ch) + u',' + spacedNumber(point);
    return QStringLiteral(":MEM:POIN CH") + plainNumber(ch) + u',' + plainNumber(point);
}

QString memBinaryData(int samples)
{
    return QStringLiteral(":MEM:BDAT? ") + plainNumber(samples);
}

QString memAsciiData()
{
    return QStringLiteral(":MEM:ADAT? 40");
}

QString unitRange(int ch, double range)
{
    return QStringLiteral(":UNIT:RANG ") + channel(ch) + u',' + spacedNumber(range);
}

QString displayYMag(int ch, double divisor)
{
    return QStringLiteral(":DISP:YMAG ") + channel(ch) + QStringLiteral(",X1_") +
           spacedNumber(divisor);
}

QString unitRangeQuery(int ch)
{
    return QStringLiteral(":UNIT:RANG? ") + channel(ch);
}

QString displayYMagQuery(int ch)
{
    return QStringLiteral(":DISP:YMAG? ") + channel(ch);
}

QString print()
{
    return QStringLiteral(":PRIN");
}

QString listGauge()
{
    return QStringLiteral(":SYST:LIST GAUGE");
}

QString configureShot50()
{
    return QStringLiteral(":CONF:TDIV +500E-6;SHOT 50");
}

QString configureShot100()
{
    return QStringLiteral(":CONF:TDIV +500E-6;SHOT 100");
}

QString fdiskModeOn()
{
    return QStringLiteral(":FDISK:MODE ON");
}

QString fdiskMediaFd()
{
    return QStringLiteral(":FDISK:MEDIA FD");
}

QString fdiskModeOff()
{
    return QStringLiteral(":FDISK:MODE OFF");
}

QString fdiskEnable(int modelClass)
{
    return modelClass == 0 ? fdiskModeOn() : fdiskMediaFd();
}

QString fdiskSave(const QString& fileName, int modelClass, int fdSaveMode)
{
    const QString what = fdSaveMode == 5 ? QStringLiteral("ALL") : channel(fdSaveMode);
    return QStringLiteral(":FDISK:SAVE \"") + fileName + u'"' +
           (modelClass == 0 ? QStringLiteral(",W,") : QStringLiteral(",Bin,")) + what;
}

// --- Replies ---

std::int16_t parseModel(QStringView reply)
{
    if (reply.size() < 7)
        return 0;
    return toInt16(readNumber(reply.mid(6, 4))).value_or(0);
}

std::int16_t modelClassOf(int model)
{
    if (model == 8840)
        return 0;
    if (model == 8835)
        return 2;
    return 1;
}

std::array<std::int16_t, 16> parseUnitCodes(QStringView reply)
{
    const QString padded = reply.toString() + QStringLiteral("00000000000000000000000000000000");
    std::array<std::int16_t, 16> codes{};
    for (int k = 1; k <= 16; ++k) {
        // A single character reads as one digit at most.
        codes[static_cast<std::size_t>(k - 1)] =
            static_cast<std::int16_t>(readNumber(QStringView(padded).mid(2 * k - 2, 1)));
    }
    return codes;
}

double parseRangeReply(QStringView reply, int ch)
{
    const qsizetype from = 4 + (ch < 0 ? 0 : ch / 10);
    if (from >= reply.size())
        return 0.0;
    return readNumber(reply.mid(from));
}

std::optional<double> parseMagnificationReply(QStringView reply)
{
    double divisor = 0.0;
    const qsizetype underscore = reply.indexOf(u'_');
    if (underscore >= 0) {
        divisor = readNumber(reply.mid(underscore + 1));
    } else {
        const qsizetype x = reply.indexOf(u'X');
        if (x < 0)
            return std::nullopt;
        const double factor = readNumber(reply.mid(x + 1));
        if (factor == 0.0)
            return std::nullopt;
        divisor = 1.0 / factor;
    }
    if (!std::isfinite(divisor) || divisor <= 0.0)
        return std::nullopt;
    return divisor;
}

double parseMaxPoint(QStringView reply)
{
    return readNumber(reply);
}

std::optional<std::array<std::int16_t, kAsciiSamples>> parseAsciiData(QStringView reply,
                                                                      int modelClass)
{
    if (!reply.endsWith(u'\n'))
        return std::nullopt;
    QStringView body = reply.chopped(1);
    if (body.endsWith(u'\r'))
        body.chop(1);
    while (!body.isEmpty() &&
           (body.front() == u'\n' || body.front() == u'\r' || body.front() == u' '))
        body = body.sliced(1);

    std::array<std::int16_t, kAsciiSamples> values{};
    int count = 0;
    qsizetype pos = 0;
    while (true) {
        if (count == kAsciiSamples)
            return std::nullopt; // more than 40 values
        qsizetype comma = body.indexOf(u',', pos);
        const qsizetype stop = comma < 0 ? body.size() : comma;
        const QStringView field = body.sliced(pos, stop - pos).trimmed();
        // An optional sign and one to five digits, nothing else.
        qsizetype i = 0;
        bool negative = false;
        if (i < field.size() && (field[i] == u'+' || field[i] == u'-')) {
            negative = field[i] == u'-';
            ++i;
        }
        const qsizetype digits = field.size() - i;
        if (digits < 1 || digits > 5)
            return std::nullopt;
        int value = 0;
        for (; i < field.size(); ++i) {
            const char16_t c = field[i].unicode();
            if (c < u'0' || c > u'9')
                return std::nullopt;
            value = value * 10 + (c - u'0');
        }
        if (negative)
            value = -value;
        if (modelClass == 0)
            value -= 2048;
        if (value < -2048 || value > 2047)
            return std::nullopt;
        values[static_cast<std::size_t>(count++)] = static_cast<std::int16_t>(value);
        if (comma < 0)
            break;
        pos = comma + 1;
    }
    if (count != kAsciiSamples)
        return std::nullopt;
    return values;
}

// --- Binary sample blocks ---

int blockSamples(int modelClass)
{
    return modelClass == 0 ? kBlockSamplesClass0 : kBlockSamplesOther;
}

int blockByteCount(int samples)
{
    return 2 * samples + 3;
}

std::int16_t decodeSample(std::uint8_t high, std::uint8_t low, int modelClass)
{
    if (modelClass == 0)
        return static_cast<std::int16_t>((high & 15) * 256 + low - 2048);
    return static_cast<std::int16_t>(((high & 7) - (high & 8)) * 256 + low);
}

std::array<std::uint8_t, 2> encodeSample(int value, int modelClass)
{
    const int v = value < -2048 ? -2048 : (value > 2047 ? 2047 : value);
    const int raw = modelClass == 0 ? v + 2048 : (v & 0x0FFF);
    return {static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw & 0xFF)};
}

int blockSampleCount(std::span<const std::uint8_t> buffer)
{
    // Sample i needs positions up to 2i + 4.
    const auto size = static_cast<long long>(buffer.size());
    return size < 5 ? 0 : static_cast<int>((size - 3) / 2);
}

std::optional<std::int16_t> blockSample(std::span<const std::uint8_t> buffer, int i, int modelClass)
{
    if (i < 0 || i >= blockSampleCount(buffer))
        return std::nullopt;
    const auto at = static_cast<std::size_t>(2 * i + 3);
    return decodeSample(buffer[at], buffer[at + 1], modelClass);
}

int decodeBlock(std::span<const std::uint8_t> buffer, int modelClass, std::span<std::int16_t> out)
{
    const auto available = static_cast<std::size_t>(blockSampleCount(buffer));
    const std::size_t n = available < out.size() ? available : out.size();
    for (std::size_t i = 0; i < n; ++i)
        out[i] = decodeSample(buffer[2 * i + 3], buffer[2 * i + 4], modelClass);
    return static_cast<int>(n);
}

QByteArray encodeBlock(std::span<const std::int16_t> samples, int modelClass, std::uint8_t lead1,
                       std::uint8_t lead2)
{
    QByteArray bytes;
    bytes.reserve(static_cast<qsizetype>(2 * samples.size() + 3));
    bytes.append(static_cast<char>(lead1));
    bytes.append(static_cast<char>(lead2));
    for (const std::int16_t v : samples) {
        const auto pair = encodeSample(v, modelClass);
        bytes.append(static_cast<char>(pair[0]));
        bytes.append(static_cast<char>(pair[1]));
    }
    bytes.append('\n');
    return bytes;
}

} // namespace hs::cmd
