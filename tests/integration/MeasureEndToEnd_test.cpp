#include "app/MeasureCommand.h"

#include "common/Clock.h"
#include "sim/SimServer.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include "support/ScenarioPhasor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>

namespace {

using hs::test::Phasor;

// A nominal hour passes in 7.2 s.
constexpr double kScale = 0.002;
constexpr int kFeeders = 3;
constexpr int kOrders = 25; // odd orders 1..49
// Error allowed besides 1 % of the value, as a share of the fundamental: 0.05 % for voltages
// and currents alike. (Without the automatic set-up that `measure` asks for before the
// preparation, the first records were taken on the reset ranges, 2.5 A a count, and carried
// up to 0.1 A on every order.)
constexpr double kVoltageFloor = 0.0005;
constexpr double kCurrentFloor = 0.0005;
// SaveOption 3 with three feeders: 6 + 4n + 3 * 6n + 2n + 12 + 36.
constexpr int kRecordBytes =
    6 + 4 * kOrders + kFeeders * 6 * kOrders + 2 * kOrders + 12 + 12 * kFeeders;

struct Record {
    float date = 0;
    int time = 0;
    float volt[kOrders]{};
    float current[kFeeders][kOrders]{};
    int powerAngle[kFeeders][kOrders]{};
    float voltRms[3]{};
};

Record parse(const QByteArray& bytes, qsizetype at)
{
    const auto* p = reinterpret_cast<const uchar*>(bytes.constData() + at);
    const auto f32 = [&](int offset) {
        const quint32 bits = qFromLittleEndian<quint32>(p + offset);
        float v;
        std::memcpy(&v, &bits, 4);
        return v;
    };
    const auto i16 = [&](int offset) {
        return static_cast<int>(qFromLittleEndian<qint16>(p + offset));
    };
    Record r;
    r.date = f32(0);
    r.time = i16(4);
    int o = 6;
    for (int i = 0; i < kOrders; ++i, o += 4)
        r.volt[i] = f32(o);
    for (int f = 0; f < kFeeders; ++f) {
        for (int i = 0; i < kOrders; ++i, o += 4)
            r.current[f][i] = f32(o);
        for (int i = 0; i < kOrders; ++i, o += 2)
            r.powerAngle[f][i] = i16(o);
    }
    o += 2 * kOrders; // voltage superposition angles
    for (int c = 0; c < 3; ++c, o += 4)
        r.voltRms[c] = f32(o);
    return r;
}

// `measure` against the simulated recorders for one simulated hour: the file holds exactly
// one record per save time, and the saved values are the scenario's, on the primary side.
TEST(MeasureEndToEnd, OneHourAgainstTheSimulator)
{
    hs::Clock clock(kScale);
    const hs::sim::Scenario scenario = hs::sim::Scenario::defaultScenario();
    hs::sim::SimServer sim(clock, scenario, 1);
    QString error;
    ASSERT_TRUE(sim.listen(0, QHostAddress::LocalHost, 0, &error)) << qPrintable(error);

    QTemporaryDir dir;
    const QString output = dir.path() + QStringLiteral("/out/hour.hv3");
    const QString settings = dir.path() + QStringLiteral("/settings.json");
    QFile file(settings);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral(R"({
  "recorders": [ { "address": "127.0.0.1", "port": %1 } ],
  "MeasureType": 2, "LastFeeder": 2, "SampleCount": 512, "SaveFormat": 1, "SaveOption": 3,
  "SyncMode": 0, "PtRatio": 60, "CtRatio": [1, 1, 1], "CurrentScale": [0.1, 0.1, 0.1],
  "SaveIntervalMin": 10, "StartDateTime": "+0", "EndDateTime": "+60",
  "OutputFile": "%2"
})")
                   .arg(sim.port(0))
                   .arg(output)
                   .toUtf8());
    file.close();

    const int status = hs::runMeasureCommand({QStringLiteral("--settings"), settings,
                                              QStringLiteral("--time-scale"),
                                              QString::number(kScale), QStringLiteral("--quiet")});
    ASSERT_EQ(status, hs::kMeasureComplete);

    QFile result(output);
    ASSERT_TRUE(result.open(QIODevice::ReadOnly));
    const QByteArray bytes = result.readAll();
    // Saves at +0, +10, ..., +60.
    ASSERT_EQ(bytes.size(), 7 * kRecordBytes);

    double worst = 0.0; // largest current error beyond 1 % of the value, per fundamental
    const double degree = 180.0 / std::numbers::pi;
    const Phasor vrs1 = hs::test::ScenarioPhasor(scenario, QStringLiteral("V R-S"), 1);
    for (int n = 0; n < 7; ++n) {
        const Record r = parse(bytes, n * kRecordBytes);
        SCOPED_TRACE(n);
        if (n > 0) {
            const Record previous = parse(bytes, (n - 1) * kRecordBytes);
            const int minutes = (r.time / 100 * 60 + r.time % 100) -
                                (previous.time / 100 * 60 + previous.time % 100);
            EXPECT_TRUE(minutes == 10 || minutes == 10 - 24 * 60) << r.time;
        }
        for (int i = 0; i < kOrders; ++i) {
            const int h = 2 * i + 1;
            SCOPED_TRACE(h);
            // Voltage phases R-S, T-S and the computed R-T.
            const Phasor a = hs::test::ScenarioPhasor(scenario, QStringLiteral("V R-S"), h);
            const Phasor b = hs::test::ScenarioPhasor(scenario, QStringLiteral("V T-S"), h);
            const double v = hs::test::ScenarioVoltageMean(scenario, h);
            EXPECT_NEAR(r.volt[i], v, 0.01 * v + kVoltageFloor * std::abs(vrs1));
            for (int f = 0; f < kFeeders; ++f) {
                const QString name = QStringLiteral("F%1 I ").arg(f + 1);
                const Phasor ir = hs::test::ScenarioPhasor(scenario, name + QLatin1Char('R'), h);
                const Phasor it = hs::test::ScenarioPhasor(scenario, name + QLatin1Char('T'), h);
                const double fundamental = hs::test::ScenarioCurrentFundamental(scenario, f);
                const double c = hs::test::ScenarioCurrentMean(scenario, f, h);
                EXPECT_NEAR(r.current[f][i], c, 0.01 * c + kCurrentFloor * fundamental)
                    << "feeder " << f;
                worst = std::max(worst, (std::abs(r.current[f][i] - c) - 0.01 * c) / fundamental);
                if (h == 1 || h == 5 || h == 7) {
                    // Two wattmeter elements: (R-S, R) and (T-S, T).
                    const Phasor s = a * std::conj(ir) + b * std::conj(it);
                    const double angle = std::atan2(-s.imag(), s.real()) * degree;
                    EXPECT_NEAR(std::remainder(r.powerAngle[f][i] - angle, 360.0), 0.0, 2.0)
                        << "feeder " << f;
                }
            }
        }
        // True RMS of the three voltage phases, harmonics included.
        double rs = 0, ts = 0, rt = 0;
        for (int h = 1; h <= 50; ++h) {
            const Phasor a = hs::test::ScenarioPhasor(scenario, QStringLiteral("V R-S"), h);
            const Phasor b = hs::test::ScenarioPhasor(scenario, QStringLiteral("V T-S"), h);
            rs += std::norm(a);
            ts += std::norm(b);
            rt += std::norm(a - b);
        }
        EXPECT_NEAR(r.voltRms[0], std::sqrt(rs), 0.01 * std::sqrt(rs));
        EXPECT_NEAR(r.voltRms[1], std::sqrt(ts), 0.01 * std::sqrt(ts));
        EXPECT_NEAR(r.voltRms[2], std::sqrt(rt), 0.01 * std::sqrt(rt));
    }
    std::printf("largest current error beyond 1 %% of the value: %.3f %% of the fundamental\n",
                100 * worst);
}

TEST(MeasureEndToEnd, CommandLineErrorsAndHelp)
{
    EXPECT_EQ(hs::runMeasureCommand({}), hs::kMeasureUsage);
    EXPECT_EQ(hs::runMeasureCommand({QStringLiteral("--settings")}), hs::kMeasureUsage);
    EXPECT_EQ(hs::runMeasureCommand({QStringLiteral("--settings"), QStringLiteral("x.json"),
                                     QStringLiteral("--time-scale"), QStringLiteral("0")}),
              hs::kMeasureUsage);
    EXPECT_EQ(hs::runMeasureCommand({QStringLiteral("--help")}), hs::kMeasureComplete);
    // A settings file that does not exist is a failure with a message, not a crash.
    EXPECT_EQ(hs::runMeasureCommand(
                  {QStringLiteral("--settings"), QStringLiteral("/nonexistent/s.json")}),
              hs::kMeasureFailed);
    const auto o =
        hs::parseMeasureOptions({QStringLiteral("--settings"), QStringLiteral("a.json"),
                                 QStringLiteral("--simulate"), QStringLiteral("--quiet")},
                                nullptr);
    ASSERT_TRUE(o.has_value());
    EXPECT_TRUE(o->simulate);
    EXPECT_TRUE(o->scenarioFile.isEmpty());
    EXPECT_TRUE(o->quiet);
}

} // namespace
