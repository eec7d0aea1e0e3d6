#pragma once

#include <QDateTime>
#include <QString>

#include <array>
#include <cstdint>

namespace hs {

// One row of the R-C complement table: row 0 is the voltage input, rows 1..9 feeders 1..9.
// R in kΩ, C in μF, kept as the texts the operator typed.
struct RcRow {
    bool ticked = false;
    QString rText = QStringLiteral("1");
    QString cText = QStringLiteral("0.1");
};

// The measurement the operator has set up. Starts from the defaults; written by the settings
// screens (or a settings file), read by preparation, engine and display.
struct MeasurementSettings {
    // ModeTable: 16 words; slots 2, 8, 14, 15 hold MeasureType, PhaseShift, SaveFormat,
    // SaveOption. The accessors below name them.
    std::array<std::int16_t, 16> ModeTable{0, 0, 2, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 1, 3};
    std::int16_t& MeasureType() { return ModeTable[2]; }
    std::int16_t MeasureType() const { return ModeTable[2]; }
    std::int16_t& PhaseShift() { return ModeTable[8]; }
    std::int16_t PhaseShift() const { return ModeTable[8]; }
    std::int16_t& SaveFormat() { return ModeTable[14]; }
    std::int16_t SaveFormat() const { return ModeTable[14]; }
    std::int16_t& SaveOption() { return ModeTable[15]; }
    std::int16_t SaveOption() const { return ModeTable[15]; }

    std::int16_t SampleCount = 512;
    std::int16_t SampleCountLog2 = 9;
    // SampleCount and SampleCountLog2 always change together: 256/8, 512/9, 1024/10.
    // Any other count is ignored (returns false).
    bool setSampleCount(int count)
    {
        switch (count) {
        case 256:
            SampleCount = 256;
            SampleCountLog2 = 8;
            return true;
        case 512:
            SampleCount = 512;
            SampleCountLog2 = 9;
            return true;
        case 1024:
            SampleCount = 1024;
            SampleCountLog2 = 10;
            return true;
        default:
            return false;
        }
    }
    std::int16_t MaxHarmonicOrder = 99;
    std::int16_t SyncMode = 0;
    std::int16_t LastFeeder = 0;
    int feederCount() const { return LastFeeder + 1; }
    std::int16_t PtRatio = 60;
    std::array<std::int16_t, 9> CtRatio{1, 1, 1, 1, 1, 1, 1, 1, 1};
    std::array<float, 9> CurrentScale{0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f};
    std::array<std::int16_t, 20> InputChannel{1, 2, 3, 4};
    std::array<std::int16_t, 20> InputRecorder{};
    std::int16_t SaveIntervalMin = 5;
    std::int16_t PrintIntervalMin = 0;
    std::int16_t FdSaveMode = 0;
    std::int16_t FdSaveIntervalMin = 60;
    QDateTime StartDateTime;
    QDateTime EndDateTime;
    QString OutputFolder; // folder of the output file, ending in "/" (empty: none chosen)
    bool StartConfirmed = false;

    // Values the screens own, mirrored here the moment they change.
    QString OutputFile;                // the caption of Label7: full path with the extension
    bool SaveWaveforms = false;        // Check1: waveform files into OutputFolder
    bool Orders256 = false;            // Option8(4) selected: every order 1..256 is handled
    std::array<RcRow, 10> RcRows;      // Form04 Check1/Text1/Text2
    std::array<bool, 9> VConnection{}; // Form04 Check2: feeder i+1 carries V-connection voltages
};

// How every screen names feeder f (0-based): "F-1" for the first.
inline QString FeederName(int f)
{
    return QStringLiteral("F-") + QString::number(f + 1);
}

} // namespace hs
