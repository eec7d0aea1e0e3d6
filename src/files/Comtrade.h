#pragma once

#include "files/WaveformFile.h"

#include <QString>

#include <array>

namespace hs {

// A waveform file as a COMTRADE record (IEEE C37.111-1999, ASCII): the .cfg names the station,
// one analog channel per analysis channel (V1..V3, I1-1..), each with its factor from counts to
// volts (or to primary volts and amperes), the line frequency, one sampling rate of N samples
// per fundamental period, N + 1 samples, the time of the file name and "ASCII"; the .dat holds
// one line per sample: sample number, time in microseconds, the counts of every channel.
struct ComtradeOptions {
    double frequency = 50.0;    // fundamental frequency of the stored period (not in the file)
    int countsPerDivision = 80; // 80 for the 8840/8841, 160 for the 8835 (not in the file)
    bool primary = false;       // scale to primary values with the ratios below
    double ptRatio = 60;
    std::array<double, 9> ctRatio{1, 1, 1, 1, 1, 1, 1, 1, 1};
    std::array<double, 9> currentScale{0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1};
    QString stationName = QStringLiteral("harmonic-station");
};

struct ComtradeRecord {
    QString cfg;
    QString dat;
};

// The factor a (value = a x count) of a channel: the range of its input per count, times the
// PT ratio (voltages) or the CT ratio over the sensor's volts per ampere (currents) when
// primary values are asked for.
double ComtradeChannelFactor(const WaveformFile& wave, int channel, const ComtradeOptions& options);

ComtradeRecord BuildComtrade(const WaveformFile& wave, const ComtradeOptions& options);

// Writes basePath + ".cfg" and basePath + ".dat"; false with error (naming the file) on failure.
bool WriteComtrade(const WaveformFile& wave, const ComtradeOptions& options,
                   const QString& basePath, QString& error);

} // namespace hs
