#include "app/SimulateCommand.h"
#include "sim/Scenario.h"
#include "support/BlockingFifo.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

namespace hs::sim {
namespace {

TEST(Scenario, DefaultIsTheFeederSystemSeenThroughPt60)
{
    const Scenario s = Scenario::defaultScenario();
    EXPECT_DOUBLE_EQ(s.frequencyHz, 50.02);
    // RMS over one period of the line voltage at the input: 110 V with a little distortion.
    const int n = 4000;
    double sum = 0.0, sumI = 0.0;
    for (int i = 0; i < n; ++i) {
        const double t = i / (n * s.frequencyHz);
        sum += std::pow(s.inputVolts(1, 1, t, static_cast<std::uint64_t>(i)), 2);
        sumI += std::pow(s.inputVolts(1, 3, t, static_cast<std::uint64_t>(i)), 2);
    }
    EXPECT_NEAR(std::sqrt(sum / n), 110.0, 0.5);
    EXPECT_NEAR(std::sqrt(sumI / n), 20.0, 0.5); // 200 A through 0.1 V/A
    // Three feeders on recorder 1, further ones on recorder 2, high orders for the 256 mode.
    EXPECT_FALSE(s.terms(1, 8).isEmpty());
    EXPECT_TRUE(s.terms(1, 9).isEmpty());
    EXPECT_FALSE(s.terms(2, 1).isEmpty());
    int highest = 0;
    for (const Harmonic& h : s.quantities[2].harmonics)
        highest = std::max(highest, h.order);
    EXPECT_GT(highest, 200);
}

TEST(Scenario, JsonRoundTripAndTheExampleFile)
{
    const Scenario s = Scenario::defaultScenario();
    QString error;
    const auto back = Scenario::fromJson(s.toJson(), &error);
    ASSERT_TRUE(back.has_value()) << error.toStdString();
    EXPECT_EQ(back->toJson(), s.toJson());
    for (double t : {0.0, 0.0123, 77.7})
        EXPECT_DOUBLE_EQ(back->inputVolts(1, 4, t, 9), s.inputVolts(1, 4, t, 9));

    const QString example = qEnvironmentVariable("HS_SOURCE_DIR", QStringLiteral("/work/main")) +
                            QStringLiteral("/examples/scenario-default.json");
    const auto loaded = Scenario::load(example, &error);
    ASSERT_TRUE(loaded.has_value()) << error.toStdString();
    EXPECT_EQ(loaded->toJson(), s.toJson());
}

TEST(Scenario, WiringGainFormsAndRefusedFiles)
{
    const QByteArray good = R"({"frequency": 60, "quantities": [{"name": "V", "rms": 6600},
        {"name": "I", "rms": 100, "harmonics": [{"order": 5, "ratio": 0.1, "phase": 0}]}],
        "wiring": [{"quantity": "V", "recorder": 1, "channel": 1, "ptRatio": 60},
                   {"quantity": "I", "recorder": 2, "channel": 16, "ctRatio": 40, "voltsPerAmpere": 0.2}]})";
    QString error;
    const auto s = Scenario::fromJson(QJsonDocument::fromJson(good).object(), &error);
    ASSERT_TRUE(s.has_value()) << error.toStdString();
    EXPECT_DOUBLE_EQ(s->wiring[0].gain, 1.0 / 60.0);
    EXPECT_DOUBLE_EQ(s->wiring[1].gain, 0.2 / 40.0);
    EXPECT_NEAR(s->inputPeakBound(2, 16), 100 * std::sqrt(2.0) * 1.1 * 0.005, 1e-9);

    for (const char* bad :
         {R"({"frequency": 0})", R"({"frequency": "50"})",
          R"({"quantities": [{"name": "V"}, {"name": "V"}]})",
          R"({"quantities": [{"name": "V"}], "wiring": [{"quantity": "W"}]})",
          R"({"quantities": [{"name": "V"}], "wiring": [{"quantity": "V", "channel": 17}]})",
          R"({"quantities": [{"name": "V"}], "wiring": [{"quantity": "V", "ptRatio": 0}]})",
          R"({"recorders": [{"model": 8841, "units": [1, 12]}]})",
          R"({"quantities": [{"name": "V", "noise": -1}]})"}) {
        error.clear();
        EXPECT_FALSE(Scenario::fromJson(QJsonDocument::fromJson(bad).object(), &error)) << bad;
        EXPECT_FALSE(error.isEmpty()) << bad;
    }
    QTemporaryDir dir;
    QFile f(dir.filePath(QStringLiteral("broken.json")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("{ not json");
    f.close();
    EXPECT_FALSE(Scenario::load(f.fileName(), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("broken.json")));
    EXPECT_FALSE(Scenario::load(dir.filePath(QStringLiteral("missing.json")), &error));
}

TEST(SimulateOptions, DefaultsOverridesAndErrors)
{
    QString error;
    auto o = parseSimulateOptions({}, &error);
    ASSERT_TRUE(o.has_value());
    EXPECT_EQ(o->recorders, 1);
    EXPECT_EQ(o->addresses[0], QStringLiteral("127.0.0.1"));
    EXPECT_EQ(o->addresses[1], QStringLiteral("127.0.0.2"));
    EXPECT_EQ(o->ports[0], 8802);
    EXPECT_EQ(o->ports[1], 8802);

    o = parseSimulateOptions({"--recorders", "2", "--model", "8840", "--model", "2:8835", "--units",
                              "1:1,1,4,7", "--port2", "0", "--time-scale", "0.01", "--fault",
                              "2:no-trigger", "-v", "--log", "x.log"},
                             &error);
    ASSERT_TRUE(o.has_value()) << error.toStdString();
    EXPECT_EQ(o->recorders, 2);
    EXPECT_EQ(o->scenario.recorders[0].model, 8840);
    EXPECT_EQ(o->scenario.recorders[1].model, 8835);
    EXPECT_EQ(o->scenario.recorders[0].units, (QVector<int>{1, 1, 4, 7}));
    EXPECT_EQ(o->ports[1], 0);
    EXPECT_DOUBLE_EQ(o->timeScale, 0.01);
    EXPECT_TRUE(o->faults[1].noTrigger);
    EXPECT_FALSE(o->faults[0].noTrigger);
    EXPECT_TRUE(o->verbose);

    for (const QStringList& bad :
         {QStringList{"--recorders", "3"}, QStringList{"--port1", "70000"},
          QStringList{"--model", "88"}, QStringList{"--units", "1,x"},
          QStringList{"--time-scale", "0"}, QStringList{"--fault", "boom"},
          QStringList{"--scenario", "/nonexistent.json"}, QStringList{"--address1", "nowhere"},
          QStringList{"--port1"}, QStringList{"extra"}}) {
        error.clear();
        EXPECT_FALSE(parseSimulateOptions(bad, &error)) << bad.join(' ').toStdString();
        EXPECT_FALSE(error.isEmpty());
    }
    // The texts name the option as the operator typed it.
    const std::pair<QStringList, const char*> texts[] = {
        {{"--port1"}, "--port1 takes a port number 0 to 65535"},
        {{"--recorders", "2", "--fault"}, "--fault takes [R:]KEY[=VALUE]"},
        {{"-v", "--colour", "red"}, "unknown option \"--colour\" (see --help)"},
        {{"-x"}, "unknown option \"-x\" (see --help)"},
        {{"--log", "a.log", "extra"}, "unknown option \"extra\" (see --help)"},
        {{"--address2", "nowhere"}, "--address2 takes an IP address"},
        {{"--units", "2:1,1,10"}, "--units \"2:1,1,10\": single-digit codes separated by \",\""},
    };
    for (const auto& [bad, text] : texts) {
        EXPECT_FALSE(parseSimulateOptions(bad, &error));
        EXPECT_EQ(error, QString::fromUtf8(text));
    }
    // Every option is documented.
    const QString help = simulateHelp();
    for (const char* opt :
         {"--recorders", "--address1", "--address2", "--port1", "--port2", "--model", "--units",
          "--scenario", "--save-scenario", "--time-scale", "--duration", "--log", "--fault",
          "--verbose", "silent-query", "no-crossing"})
        EXPECT_TRUE(help.contains(QLatin1String(opt))) << opt;
}

} // namespace
} // namespace hs::sim

TEST(Scenario, AFifoIsRefusedWithoutBlocking)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    hs::test::BlockingFifo fifo(dir.filePath(QStringLiteral("scenario.json")));
    ASSERT_TRUE(fifo.made());
    QString error;
    EXPECT_FALSE(hs::sim::Scenario::load(dir.filePath(QStringLiteral("scenario.json")), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("not a regular file"))) << qPrintable(error);
    EXPECT_FALSE(fifo.readerBlocked());
}
