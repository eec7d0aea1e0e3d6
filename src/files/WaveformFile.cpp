#include "files/WaveformFile.h"

#include "common/RegularFile.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtEndian>

#include <cstring>

namespace hs {

QString AnalysisChannelName(int channel)
{
    if (channel < 3)
        return QStringLiteral("V%1").arg(channel + 1);
    const int feeder = (channel - 3) / 3;
    return QStringLiteral("I%1-%2").arg(feeder + 1).arg((channel - 3) % 3 + 1);
}

int AnalysisChannelInput(int channel)
{
    if (channel < 3)
        return channel == 1 ? 1 : 0;
    const int feeder = (channel - 3) / 3;
    const int phase = (channel - 3) % 3;
    return 2 * feeder + 2 + (phase == 1 ? 1 : 0);
}

std::optional<QDateTime> WaveformFileTime(const QString& path)
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d{8})-(\\d{4})Wev\\.dat$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const auto match = pattern.match(QFileInfo(path).fileName());
    if (!match.hasMatch())
        return std::nullopt;
    const QDate date = QDate::fromString(match.captured(1), QStringLiteral("yyyyMMdd"));
    const QTime time = QTime::fromString(match.captured(2), QStringLiteral("HHmm"));
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return QDateTime(date, time);
}

bool ReadWaveformFile(const QString& path, WaveformFile& out, QString& error)
{
    out = WaveformFile{};
    out.path = path;
    QFile file;
    QString why;
    if (openRegularFile(file, path, why) != RegularFileOpen::Opened) {
        error = QStringLiteral("%1: cannot open: %2").arg(path, why);
        return false;
    }
    // The largest file: 30 channels of 16385 samples; a larger one is refused by its size below.
    constexpr qint64 kLargestFile = 4 + 2 * 30 * 16385 + 4 * 21;
    const QByteArray data = file.read(kLargestFile + 1);
    if (data.size() < 4) {
        error = QStringLiteral("%1: %2 bytes are too short for a waveform file")
                    .arg(path)
                    .arg(data.size());
        return false;
    }
    const int lastChannel = qFromLittleEndian<std::int16_t>(data.constData());
    const int n = qFromLittleEndian<std::int16_t>(data.constData() + 2);
    // 1..9 feeders: 6..30 channels; N a power of two.
    const bool channelsOk = lastChannel >= 5 && lastChannel <= 29 && (lastChannel - 5) % 3 == 0;
    const bool samplesOk = n >= 2 && n <= 16384 && (n & (n - 1)) == 0;
    if (!channelsOk || !samplesOk) {
        error = QStringLiteral(
                    "%1: the header (last channel %2, %3 samples) is not that of a waveform file")
                    .arg(path)
                    .arg(lastChannel)
                    .arg(n);
        return false;
    }
    const qint64 values = static_cast<qint64>(n + 1) * (lastChannel + 1);
    const qint64 expected = 4 + 2 * values + 4 * 21;
    if (data.size() != expected) {
        error = QStringLiteral("%1: %2 bytes, but %3 channels of %4 samples need %5 bytes")
                    .arg(path)
                    .arg(file.size())
                    .arg(lastChannel + 1)
                    .arg(n + 1)
                    .arg(expected);
        return false;
    }
    out.lastChannel = lastChannel;
    out.sampleCount = n;
    out.wave.resize(static_cast<std::size_t>(lastChannel + 1), static_cast<std::size_t>(n + 1));
    const char* p = data.constData() + 4;
    std::int16_t* w = out.wave.data();
    for (qint64 i = 0; i < values; ++i, p += 2)
        w[i] = qFromLittleEndian<std::int16_t>(p);
    for (float& range : out.inputRange) {
        const std::uint32_t bits = qFromLittleEndian<std::uint32_t>(p);
        std::memcpy(&range, &bits, sizeof range);
        p += 4;
    }
    out.time = WaveformFileTime(path).value_or(QDateTime());
    return true;
}

} // namespace hs
