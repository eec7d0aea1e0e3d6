#pragma once

#include <QJsonObject>
#include <QString>
#include <QVector>

#include <array>
#include <cstdint>
#include <limits>
#include <optional>

namespace hs::sim {

// One harmonic of a grid quantity: order h, amplitude relative to the fundamental, and the phase
// (degrees) of sin(h * theta + phase), theta being the grid's fundamental angle. It is present
// from grid second fromS until untilS (always by default: a load that switches on or off).
struct Harmonic {
    int order = 2;
    double ratio = 0.0;
    double phaseDeg = 0.0;
    double fromS = -std::numeric_limits<double>::infinity();
    double untilS = std::numeric_limits<double>::infinity();
    bool presentAt(double t) const { return t >= fromS && t < untilS; }
};

// A grid quantity in primary units (volts or amperes): a line voltage or a feeder current.
struct Quantity {
    QString name;
    double rms = 0.0;      // RMS of the fundamental
    double phaseDeg = 0.0; // phase of the fundamental, sin(theta + phase)
    double dc = 0.0;       // DC offset, same unit
    double noiseRms = 0.0; // white noise (seeded, reproducible), same unit
    QVector<Harmonic> harmonics;
};

// Where a quantity enters a recorder: input volts = gain x quantity.
struct Wiring {
    QString quantity;
    int recorder = 1; // 1 or 2
    int channel = 1;  // 1..16
    double gain = 1.0;
};

// A simulated recorder's identity and its input units (one code per channel, channel 1 first;
// missing channels carry no unit).
struct RecorderSetup {
    int model = 8841;
    QVector<int> units;
};

// Everything the simulated recorders see of the grid: the fundamental frequency (with a slow
// sinusoidal drift), the quantities and how they are wired to the recorders' channels.
struct Scenario {
    QString name;
    double frequencyHz = 50.0;
    double driftHz = 0.0;        // peak deviation of the frequency
    double driftPeriodS = 600.0; // period of the deviation
    quint32 seed = 1;
    std::array<RecorderSetup, 2> recorders;
    QVector<Quantity> quantities;
    QVector<Wiring> wiring;

    // The default: a 6.6 kV three-phase feeder system at 50.02 Hz seen through PT 60 (110 V
    // line-to-line at the input); three feeders on recorder 1 (channels 3..8), two more on
    // recorder 2; current sensors of 0.1 V/A on CT ratio 1 (the station's default settings).
    static Scenario defaultScenario();

    QJsonObject toJson() const;
    // Reads a scenario; on failure returns nullopt and says why in error.
    static std::optional<Scenario> fromJson(const QJsonObject& json, QString* error);
    static std::optional<Scenario> load(const QString& path, QString* error);
    bool save(const QString& path, QString* error) const;

    // The fundamental angle theta (radians) at grid time t (seconds), drift included.
    double angleAt(double t) const;
    // The value of quantity q at grid time t with its noise drawn for sample key k.
    double quantityAt(int q, double t, std::uint64_t sampleKey) const;
    // The quantities wired to a channel with their gains, and the input volts they make.
    struct Term {
        int quantity = 0;
        double gain = 0.0;
    };
    QVector<Term> terms(int recorder, int channel) const;
    double volts(const QVector<Term>& channelTerms, double t, std::uint64_t sampleKey) const;
    // Input volts on a recorder's channel (recorder 1 or 2), noise keyed by the sample index.
    double inputVolts(int recorder, int channel, double t, std::uint64_t sampleKey) const;
    // Largest absolute input voltage the channel can reach (sum of all amplitudes and offsets,
    // noise counted at four RMS).
    double inputPeakBound(int recorder, int channel) const;
    // Index of a quantity by name, -1 when there is none.
    int quantityIndex(const QString& name) const;
};

} // namespace hs::sim
