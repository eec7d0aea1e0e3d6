#include "files/Comtrade.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cmath>

namespace hs {

namespace {

const QString kEol = QStringLiteral("\r\n");

QString real(double v)
{
    return QString::number(v, 'g', 10);
}

bool writeText(const QString& path, const QString& text, QString& error)
{
    QFile file(path);
    const QByteArray bytes = text.toUtf8();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size() || !file.flush()) {
        error = QStringLiteral("%1: cannot write: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace

double ComtradeChannelFactor(const WaveformFile& wave, int channel, const ComtradeOptions& options)
{
    const int input = AnalysisChannelInput(channel);
    const double cpd = options.countsPerDivision > 0 ? options.countsPerDivision : 80;
    double factor = wave.inputRange[static_cast<std::size_t>(input)] / cpd;
    if (options.primary) {
        if (channel < 3) {
            factor *= options.ptRatio;
        } else {
            const std::size_t f = static_cast<std::size_t>((channel - 3) / 3);
            factor *=
                options.currentScale[f] != 0 ? options.ctRatio[f] / options.currentScale[f] : 0.0;
        }
    }
    return factor;
}

ComtradeRecord BuildComtrade(const WaveformFile& wave, const ComtradeOptions& options)
{
    const int channels = wave.channelCount();
    const int samples = wave.sampleCount + 1;
    const double rate = wave.sampleCount * options.frequency;
    const QDateTime start =
        wave.time.isValid() ? wave.time : QDateTime(QDate(2000, 1, 1), QTime(0, 0));
    const QString stamp = start.toString(QStringLiteral("dd/MM/yyyy,HH:mm:ss.zzz000"));
    static const char* const phaseLetters[3] = {"R", "T", "S"};

    QString cfg;
    cfg += options.stationName + QLatin1Char(',') + QFileInfo(wave.path).completeBaseName() +
           QStringLiteral(",1999") + kEol;
    cfg += QStringLiteral("%1,%1A,0D").arg(channels) + kEol;
    for (int c = 0; c < channels; ++c) {
        const bool voltage = c < 3;
        const std::size_t f = voltage ? 0 : static_cast<std::size_t>((c - 3) / 3);
        const QString circuit =
            voltage ? QStringLiteral("voltage") : QStringLiteral("feeder %1").arg(f + 1);
        const QString unit =
            (voltage || !options.primary) ? QStringLiteral("V") : QStringLiteral("A");
        // primary and secondary: the transformer ratio of the channel, as primary per secondary.
        const double primaryRatio =
            voltage ? options.ptRatio
                    : (options.currentScale[f] != 0 ? options.ctRatio[f] / options.currentScale[f]
                                                    : 0.0);
        cfg += QStringLiteral("%1,%2,%3,%4,%5,%6,0,0,-32768,32767,%7,1,%8")
                   .arg(c + 1)
                   .arg(AnalysisChannelName(c),
                        QLatin1String(phaseLetters[(voltage ? c : (c - 3)) % 3]), circuit, unit,
                        real(ComtradeChannelFactor(wave, c, options)), real(primaryRatio),
                        options.primary ? QStringLiteral("P") : QStringLiteral("S")) +
               kEol;
    }
    cfg += real(options.frequency) + kEol;
    cfg += QStringLiteral("1") + kEol;
    cfg += QStringLiteral("%1,%2").arg(real(rate)).arg(samples) + kEol;
    cfg += stamp + kEol;
    cfg += stamp + kEol;
    cfg += QStringLiteral("ASCII") + kEol;
    cfg += QStringLiteral("1") + kEol;

    QString dat;
    dat.reserve(samples * channels * 7);
    for (int i = 0; i < samples; ++i) {
        const qint64 micros = rate > 0 ? std::llround(i * 1e6 / rate) : 0;
        dat += QString::number(i + 1) + QLatin1Char(',') + QString::number(micros);
        for (int c = 0; c < channels; ++c)
            dat += QLatin1Char(',') + QString::number(wave.wave(static_cast<std::size_t>(c),
                                                                static_cast<std::size_t>(i)));
        dat += kEol;
    }
    return {cfg, dat};
}

bool WriteComtrade(const WaveformFile& wave, const ComtradeOptions& options,
                   const QString& basePath, QString& error)
{
    const ComtradeRecord record = BuildComtrade(wave, options);
    return writeText(basePath + QStringLiteral(".cfg"), record.cfg, error) &&
           writeText(basePath + QStringLiteral(".dat"), record.dat, error);
}

} // namespace hs
