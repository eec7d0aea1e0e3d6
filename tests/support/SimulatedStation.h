#pragma once

// A station as main builds it (clock, link, recorder facts, recorders, settings, data) with
// simulated recorders inside the test process on ephemeral loopback ports, and the set-up flow
// that gives the engine its context. The test fixtures that run against the simulator build
// on this one; every test gets a fresh one.

#include "engine/SetupFlow.h"
#include "engine/Station.h"
#include "sim/SimServer.h"
#include "support/RecordingObserver.h"

#include <QHostAddress>
#include <QRandomGenerator>
#include <QStringList>

#include <gtest/gtest.h>

#include <memory>

namespace hs::testing {

// Both simulated recorders listening on loopback ports ending in 2, as the connection screen's
// port check wants them.
inline bool listenOnPortsEndingIn2(sim::SimServer& server)
{
    for (int r = 0; r < server.recorderCount(); ++r) {
        bool listening = false;
        for (int attempt = 0; attempt < 100 && !listening; ++attempt) {
            const auto port =
                static_cast<quint16>(20002 + 10 * QRandomGenerator::global()->bounded(4000));
            listening = server.listen(r, QHostAddress::LocalHost, port);
        }
        if (!listening)
            return false;
    }
    return true;
}

class SimulatedStation {
public:
    // Where the simulated recorders listen: any free port, or one the connection screen takes.
    enum class Ports { Any, EndingIn2 };

    explicit SimulatedStation(double timeScale) : station(timeScale) {}

    // `recorders` simulated recorders of the scenario, each listening on a loopback port; false
    // (and a test failure) when one cannot listen.
    bool listen(const sim::Scenario& scenario, int recorders = 1, Ports ports = Ports::Any)
    {
        server = std::make_unique<sim::SimServer>(station.clock, scenario, recorders);
        if (ports == Ports::EndingIn2) {
            const bool listening = listenOnPortsEndingIn2(*server);
            EXPECT_TRUE(listening);
            return listening;
        }
        for (int r = 0; r < recorders; ++r) {
            QString error;
            const bool listening = server->listen(r, QHostAddress::LocalHost, 0, &error);
            EXPECT_TRUE(listening) << qPrintable(error);
            if (!listening)
                return false;
        }
        return true;
    }
    // The station's link to each simulated recorder, opened without the connection set-up;
    // false when one does not connect within a nominal 100 s.
    bool openLinks()
    {
        for (int r = 0; r < server->recorderCount(); ++r) {
            station.lan.connectToRecorder(r, QStringLiteral("127.0.0.1"), server->port(r));
            if (!station.clock.waitUntil([&] { return station.lan.LinkConnected(r); }, 100000))
                return false;
        }
        return true;
    }

    QStringList lines(int r) const { return server->recorder(r).commandLines(); }
    void clearLogs()
    {
        for (int r = 0; r < server->recorderCount(); ++r)
            server->recorder(r).clearLog();
    }

    Station station;
    RecordingObserver observer;
    SetupFlow flow{station, observer};
    std::unique_ptr<sim::SimServer> server;
};

} // namespace hs::testing
