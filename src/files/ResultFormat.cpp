#include "files/ResultFormat.h"

#include "common/DateText.h"
#include "common/Numbers.h"
#include "common/Angles.h"
#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"
#include "model/SettingsRules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace hs {

namespace {

void putInt16(QByteArray& out, std::int16_t v)
{
    char bytes[2];
    qToLittleEndian<std::int16_t>(v, bytes);
    out.append(bytes, 2);
}

void putFloat(QByteArray& out, double v)
{
    const float f = static_cast<float>(v);
    std::uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    char bytes[4];
    qToLittleEndian<std::uint32_t>(bits, bytes);
    out.append(bytes, 4);
}

std::size_t sz(int v)
{
    return static_cast<std::size_t>(v);
}

} // namespace

int RecordLayout::recordLength() const
{
    const int n = orderCount();
    int length = 6 + 4 * n + feeders * 6 * n;
    if (hasVoltSuperAngle())
        length += 2 * n;
    if (hasCurSuperAngle())
        length += 2 * n;
    if (hasRms())
        length += 12 + 12 * feeders;
    return length;
}

std::vector<int> OrderSet(bool orders256)
{
    RecordLayout layout;
    layout.orders256 = orders256;
    std::vector<int> orders;
    for (int i = 0; i < layout.orderCount(); ++i)
        orders.push_back(layout.orderAt(i));
    return orders;
}

QStringList ResultFileNames(const QString& outputFile, int measureType)
{
    if (measureType != 4)
        return {outputFile};
    return {phaseFileName(outputFile, QLatin1Char('R')),
            phaseFileName(outputFile, QLatin1Char('T')),
            phaseFileName(outputFile, QLatin1Char('S'))};
}

QString WaveformFileName(const QString& folder, const QDateTime& clockTime)
{
    const QString name = waveFileStamp(clockTime) + QStringLiteral("Wev.dat");
    if (folder.isEmpty())
        return name;
    if (folder.endsWith(QLatin1Char('/')) || folder.endsWith(QLatin1Char('\\')))
        return folder + name;
    return folder + QLatin1Char('/') + name;
}

std::int16_t RecordAngleA(double x, double y)
{
    return SuperpositionAngle(x, y);
}

std::int16_t RecordAngleB(float x, float y)
{
    return toInt16Saturating(static_cast<double>(FundamentalAngle(x, y)) * 180.0 / 3.1415);
}

float RecordDateValue(const QDateTime& t)
{
    return static_cast<float>(readNumber(yymmddText(t.date())));
}

std::int16_t RecordTimeValue(const QDateTime& t)
{
    return static_cast<std::int16_t>(t.time().hour() * 100 + t.time().minute());
}

namespace {

RecordLayout layoutOf(const MeasurementSettings& s)
{
    RecordLayout layout;
    layout.saveOption = s.SaveOption();
    layout.feeders = s.LastFeeder + 1;
    layout.orders256 = s.Orders256;
    return layout;
}

} // namespace

namespace {

// The RMS fields closing a record: the three voltage phases, then each feeder's currents in
// phase order 0, 2, 1; interval sums divided by D.
void putRmsFields(QByteArray& out, const RecordLayout& layout, const MeasurementData& d, double D)
{
    for (std::size_t c = 0; c < 3; ++c)
        putFloat(out, d.IntVoltRms[c] / D);
    for (int f = 0; f < layout.feeders; ++f) {
        for (std::size_t c : {0u, 2u, 1u})
            putFloat(out, d.IntCurRms(sz(f), c) / D);
    }
}

} // namespace

QByteArray BuildResultRecord(const MeasurementSettings& settings, const MeasurementData& d,
                             int shotCount, const QDateTime& saveTime)
{
    // An interval without a shot has no record: nothing may stand in for the shots it lacks.
    if (shotCount <= 0)
        return {};
    const RecordLayout layout = layoutOf(settings);
    const std::vector<int> orders = OrderSet(layout.orders256);
    const double D = shotCount;

    QByteArray out;
    out.reserve(layout.recordLength());
    putFloat(out, RecordDateValue(saveTime));
    putInt16(out, RecordTimeValue(saveTime));
    for (int n : orders)
        putFloat(out, d.IntVoltByOrder[sz(n)] / D);
    for (int f = 0; f < layout.feeders; ++f) {
        for (int n : orders)
            putFloat(out, d.IntCurByOrder(sz(f), sz(n)) / D);
        for (int n : orders)
            putInt16(out, RecordAngleA(d.IntActivePower(sz(f), sz(n)),
                                       d.IntReactivePower(sz(f), sz(n))));
    }
    if (layout.hasVoltSuperAngle()) {
        for (int n : orders)
            putInt16(out, RecordAngleA(d.IntVoltSuperRe[sz(n)], d.IntVoltSuperIm[sz(n)]));
    }
    if (layout.hasCurSuperAngle()) {
        for (int n : orders)
            putInt16(out, RecordAngleA(d.IntCurSuperRe(0, sz(n)), d.IntCurSuperIm(0, sz(n))));
    }
    if (layout.hasRms())
        putRmsFields(out, layout, d, D);
    return out;
}

QByteArray BuildPhaseRecord(const MeasurementSettings& settings, const MeasurementData& d,
                            int shotCount, const QDateTime& saveTime, int phase)
{
    if (shotCount <= 0)
        return {};
    const RecordLayout layout = layoutOf(settings);
    const std::vector<int> orders = OrderSet(layout.orders256);
    // The referred sums always hold every shot since the last save.
    const double D = shotCount;
    const std::size_t slot = sz(phase + 3);

    QByteArray out;
    out.reserve(layout.recordLength());
    putFloat(out, RecordDateValue(saveTime));
    putInt16(out, RecordTimeValue(saveTime));
    for (int n : orders) {
        const double c = d.VoltCos(slot, sz(n)), s = d.VoltSin(slot, sz(n));
        putFloat(out, std::sqrt(c * c + s * s) / D);
    }
    for (int f = 0; f < layout.feeders; ++f) {
        for (int n : orders) {
            const double c = d.CurCos(sz(f), slot, sz(n)), s = d.CurSin(sz(f), slot, sz(n));
            putFloat(out, std::sqrt(c * c + s * s) / D);
        }
        for (int n : orders) {
            const double vc = d.VoltCos(slot, sz(n)), vs = d.VoltSin(slot, sz(n));
            const double ic = d.CurCos(sz(f), slot, sz(n)), is = d.CurSin(sz(f), slot, sz(n));
            const float x = static_cast<float>(is * vs + ic * vc);
            const float y = static_cast<float>(ic * vs - is * vc);
            putInt16(out, RecordAngleB(x, y));
        }
    }
    if (layout.hasVoltSuperAngle()) {
        for (int n : orders)
            putInt16(out, RecordAngleB(d.VoltSin(slot, sz(n)), d.VoltCos(slot, sz(n))));
    }
    if (layout.hasCurSuperAngle()) {
        for (int n : orders)
            putInt16(out, RecordAngleB(d.CurSin(0, slot, sz(n)), d.CurCos(0, slot, sz(n))));
    }
    if (layout.hasRms())
        putRmsFields(out, layout, d, D);
    return out;
}

QByteArray BuildWaveformFile(const MeasurementData& d)
{
    const std::size_t channels = d.WaveData.dim0();
    const std::size_t samples = d.WaveData.dim1(); // N + 1
    QByteArray out;
    out.reserve(static_cast<int>(4 + 2 * channels * samples + 4 * d.InputRange.size()));
    putInt16(out, static_cast<std::int16_t>(static_cast<int>(channels) - 1));
    putInt16(out, static_cast<std::int16_t>(static_cast<int>(samples) - 1));
    // Storage order: the channel index varies fastest.
    const std::int16_t* wave = d.WaveData.data();
    for (std::size_t i = 0; i < d.WaveData.size(); ++i)
        putInt16(out, wave[i]);
    for (float range : d.InputRange)
        putFloat(out, range);
    return out;
}

bool WriteWholeFile(const QString& path, const QByteArray& bytes, QString& errorText)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        errorText = QStringLiteral("ファイル「%1」を開けません: %2").arg(path, file.errorString());
        return false;
    }
    errno = 0;
    if (file.write(bytes) != bytes.size() || ::fsync(file.handle()) != 0) {
        const QString reason =
            errno != 0 ? QString::fromLocal8Bit(std::strerror(errno)) : file.errorString();
        errorText = QStringLiteral("ファイル「%1」に書き込めません: %2").arg(path, reason);
        file.close();
        return false;
    }
    file.close();
    return true;
}

double DistortionPercent(const std::vector<float>& byOrder)
{
    if (byOrder.empty() || byOrder.front() == 0.0f)
        return 0.0;
    double sum = 0.0;
    for (std::size_t i = 1; i < byOrder.size(); ++i)
        sum += double(byOrder[i]) * double(byOrder[i]);
    return std::sqrt(sum) / double(byOrder.front()) * 100.0;
}

} // namespace hs
