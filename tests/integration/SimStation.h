#pragma once

// A station connected to one simulated recorder inside the test process, for the run-loop and
// preparation tests: the shared simulated station, initialised as the connection screen does.

#include "common/Clock.h"
#include "engine/EngineContext.h"
#include "model/EngineObserver.h"
#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"
#include "model/RecorderFacts.h"
#include "model/SettingsRules.h"
#include "recorder/ConnectionSetup.h"
#include "recorder/LanModule.h"
#include "sim/SimServer.h"
#include "support/RecordingObserver.h"
#include "support/SimulatedStation.h"

#include <QDateTime>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

namespace hs::testing {

class SimStation {
public:
    // model: the simulated recorder's model (8841 default, 8840 for ModelClass 0).
    explicit SimStation(double timeScale, int model = 8841,
                        const sim::Scenario& scenario = sim::Scenario::defaultScenario())
        : base_(timeScale)
    {
        listening = base_.listen(scenario, 1);
        if (listening)
            sim->recorder(0).setModel(model);
    }

    // Connects and initialises the recorder, then builds the channel map for the feeders and
    // the measurement type; the output file goes into a temporary folder. port: where the
    // recorder is reached when not directly (a proxy in front of it).
    bool connect(int feeders, int measureType, quint16 port = 0)
    {
        if (!listening)
            return false;
        ConnectionRequest request;
        request.addresses[0] = QStringLiteral("127.0.0.1");
        request.ports[0] = QString::number(port != 0 ? port : sim->port(0));
        request.recorderCount = 1;
        ConnectionSetup setup(recorders, observer);
        if (setup.initialise(request) != ConnectionStatus::Ok)
            return false;
        // The last set-up lines (the clock) may still be on their way.
        clock.waitUntil(
            [&] {
                return lines().size() >= 2 &&
                       lines().last().startsWith(QStringLiteral(":SYST:TIME"));
            },
            5000);
        settings.MeasureType() = static_cast<std::int16_t>(measureType);
        buildFeederChannelMap(settings, facts, feeders);
        settings.LastFeeder = static_cast<std::int16_t>(feeders - 1);
        settings.OutputFile = dir.path() + QStringLiteral("/run.hv3");
        settings.OutputFolder = dir.path() + QStringLiteral("/");
        const QDateTime now = clock.now();
        settings.StartDateTime =
            QDateTime(now.date(), QTime(now.time().hour(), now.time().minute(), 1));
        settings.EndDateTime = settings.StartDateTime.addSecs(60);
        sim->recorder(0).clearLog();
        return true;
    }

    QStringList lines() const { return sim->recorder(0).commandLines(); }
    // The command lines once at least count of them have arrived (or a nominal 5 s passed).
    QStringList linesAfter(qsizetype count)
    {
        clock.waitUntil([&] { return lines().size() >= count; }, 5000);
        return lines();
    }

    EngineContext context() { return base_.flow.context(); }

private:
    SimulatedStation base_;

public:
    Clock& clock = base_.station.clock;
    std::unique_ptr<sim::SimServer>& sim = base_.server;
    bool listening = false;
    LanModule& lan = base_.station.lan;
    RecorderFacts& facts = base_.station.facts;
    RecorderPair& recorders = base_.station.recorders;
    MeasurementSettings& settings = base_.station.settings;
    MeasurementData& data = base_.station.data;
    RecordingObserver& observer = base_.observer;
    QTemporaryDir dir;
};

} // namespace hs::testing
