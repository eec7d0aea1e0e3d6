#pragma once

#include "common/Clock.h"
#include "engine/EngineContext.h"
#include "model/EngineObserver.h"
#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"
#include "model/RecorderFacts.h"
#include "recorder/LanModule.h"
#include "recorder/Recorder.h"
#include "sim/SimServer.h"
#include "support/RecordingObserver.h"
#include "support/SimulatedStation.h"

#include <QHostAddress>
#include <QStringList>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>

namespace hs::enginetest {

using hs::testing::RecordingObserver;

// One grid voltage wired to channels: rms at the fundamental, a phase and one harmonic, so that
// the expected count of any stored sample can be computed here from the definition.
struct TestSignal {
    double hz = 50.0;
    double rms = 150.0;
    double phaseDeg = 0.0;
    int harmonic = 5;
    double ratio = 0.05;
    double harmonicPhaseDeg = 30.0;

    double volts(double t) const
    {
        const double th = 2.0 * std::numbers::pi * hz * t;
        const double d = std::numbers::pi / 180.0;
        return rms * std::numbers::sqrt2 *
               (std::sin(th + phaseDeg * d) +
                ratio * std::sin(harmonic * th + harmonicPhaseDeg * d));
    }
};

// The shared simulated station with a scenario of its own and the links opened without the
// connection set-up, on a fast clock. Channel c of recorder r carries signal (gain gains[r][c-1]).
class EngineSim : public ::testing::Test {
protected:
    static constexpr double kScale = 0.01;

    // model per recorder; every channel 1..8 of each recorder gets a voltage unit (code 1) and
    // carries the signal with gain 1 - 0.1 (channel - 1) so that the inputs differ.
    void start(const TestSignal& s, int recorders = 1, int model0 = 8841, int model1 = 8841)
    {
        signal = s;
        sim::Scenario sc;
        sc.name = QStringLiteral("engine test");
        sc.frequencyHz = s.hz;
        sim::Quantity v;
        v.name = QStringLiteral("V");
        v.rms = s.rms;
        v.phaseDeg = s.phaseDeg;
        v.harmonics = {{s.harmonic, s.ratio, s.harmonicPhaseDeg}};
        sc.quantities = {v};
        const int models[2] = {model0, model1};
        for (int r = 0; r < 2; ++r) {
            sc.recorders[static_cast<std::size_t>(r)] = {models[r], {1, 1, 1, 1, 1, 1, 1, 1}};
            for (int ch = 1; ch <= 8; ++ch)
                sc.wiring.push_back({QStringLiteral("V"), r + 1, ch, gain(ch)});
        }
        ASSERT_TRUE(base_.listen(sc, recorders));
        ASSERT_TRUE(base_.openLinks());
        facts.LastRecorder = static_cast<std::int16_t>(recorders - 1);
        for (int r = 0; r < recorders; ++r) {
            const int model = models[r];
            facts.RecorderModel[static_cast<std::size_t>(r)] = static_cast<std::int16_t>(model);
            facts.ModelClass[static_cast<std::size_t>(r)] = cmd::modelClassOf(model);
            for (std::size_t k = 0; k < 16; ++k) {
                facts.ChannelUnit[static_cast<std::size_t>(r)][k] = k < 8 ? 1 : 0;
                facts.ChannelRangeMax[static_cast<std::size_t>(r)][k] =
                    k < 8 ? (model == 8835 ? 50 : 20) : 0;
                facts.ChannelRangeMin[static_cast<std::size_t>(r)][k] =
                    k < 8 ? (model == 8835 ? 0.01f : 0.005f) : 0.0f;
            }
        }
        lan.setReplyTimeout(1);
    }

    static double gain(int ch) { return 1.0 - 0.1 * (ch - 1); }

    // The recorders set up as the instrument preparation leaves them: 100 divisions, level
    // trigger on channel c0 of recorder 1 with 2 % pre-trigger, recorder 2 on external trigger.
    void configureRecorders(int c0 = 1)
    {
        for (int r = 0; r <= pair.lastInUse(); ++r) {
            pair[r].headerOff();
            pair[r].setMemoryFormat(false);
        }
        pair[0].triggerOnRisingZero(c0);
        if (pair.twoInUse())
            pair[1].followExternalTrigger();
        clock.waitMs(200);
        clearLogs();
    }

    void clearLogs() { base_.clearLogs(); }
    QStringList lines(int r) { return server->recorder(r).commandLines(); }
    sim::SimRecorder& rec(int r) { return server->recorder(r); }

    // The count recorder r stores for sample i of channel ch, computed from the signal.
    int expectedCount(int r, int ch, int i)
    {
        const auto t0 = rec(r).storedStartTime();
        EXPECT_TRUE(t0.has_value());
        const double t = t0.value_or(0.0) + i / 200000.0;
        const double v = gain(ch) * signal.volts(t);
        const double c = v / rec(r).range(ch) * rec(r).countsPerDivision();
        return static_cast<int>(std::clamp(std::nearbyint(c), -2048.0, 2047.0));
    }

    hs::testing::SimulatedStation base_{kScale};
    Clock& clock = base_.station.clock;
    LanModule& lan = base_.station.lan;
    RecorderFacts& facts = base_.station.facts;
    RecorderPair& pair = base_.station.recorders;
    MeasurementSettings& settings = base_.station.settings;
    MeasurementData& data = base_.station.data;
    RecordingObserver& observer = base_.observer;
    EngineContext& ctx = base_.flow.context();
    std::unique_ptr<sim::SimServer>& server = base_.server;
    TestSignal signal;
};

} // namespace hs::enginetest
