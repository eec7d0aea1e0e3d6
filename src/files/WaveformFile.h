#pragma once

#include "common/Arrays.h"

#include <QDateTime>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

namespace hs {

// A waveform file ("yyyymmdd-hhmm" + "Wev.dat"): the last shot's one resampled fundamental
// period of every analysis channel, in recorder counts, and the input ranges.
struct WaveformFile {
    QString path;
    int lastChannel = 0;                // 3L + 5
    int sampleCount = 0;                // N; each channel holds N + 1 samples
    Array2<std::int16_t> wave;          // [channel 0..3L+5][sample 0..N]
    std::array<float, 21> inputRange{}; // volts per division of logical inputs 0..20
    QDateTime time;                     // from the file name; invalid when it has none

    int channelCount() const { return lastChannel + 1; }
    int feeders() const { return (lastChannel - 2) / 3; }
};

// The channel's name: "V1".."V3" for the voltage phases, "I<feeder>-<phase>" for currents
// ("I1-1", "I1-2", "I1-3", "I2-1", ...).
QString AnalysisChannelName(int channel);
// The logical input whose range scales the channel: the measured inputs their own (0, 1 and
// 2f+2, 2f+3), a computed third phase that of its group's first input (0, or 2f+2).
int AnalysisChannelInput(int channel);

// The save time a waveform file name carries ("20040207-0905Wev.dat" gives 2004-02-07 09:05).
std::optional<QDateTime> WaveformFileTime(const QString& path);

// Reads a waveform file; refuses (false, error) a file whose header is no valid channel and
// sample count or whose size is not exactly what the header announces.
bool ReadWaveformFile(const QString& path, WaveformFile& out, QString& error);

} // namespace hs
