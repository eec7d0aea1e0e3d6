#pragma once

#include "common/Clock.h"

#include "recorder/LanModule.h"
#include "recorder/RecorderCommands.h"
#include "sim/SimServer.h"
#include "support/SimulatedStation.h"
#include <algorithm>

#include <QHostAddress>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

namespace hs::sim::test {

// GoogleTest's namespace, not the support helpers' hs::testing.
namespace testing = ::testing;

// A scenario whose channel values are easy to compute independently: recorder 1 channel 1
// carries 100 V rms at 50 Hz plus a 5th harmonic, channel 2 a current-like signal, channel 12
// a small signal; recorder 2 channel 1 carries the same voltage as recorder 1 channel 1.
inline Scenario simpleScenario(int model = 8841)
{
    Scenario s;
    s.name = QStringLiteral("test");
    s.frequencyHz = 50.0;
    s.recorders[0] = {model, {1, 4, 4, 4, 7, 0, 0, 0, 0, 0, 0, 4}};
    s.recorders[1] = {model, {4, 4}};
    Quantity v;
    v.name = QStringLiteral("V");
    v.rms = 100.0;
    v.phaseDeg = 30.0;
    v.harmonics = {{5, 0.1, 40.0}};
    Quantity i;
    i.name = QStringLiteral("I");
    i.rms = 20.0;
    i.phaseDeg = -20.0;
    i.dc = 1.0;
    Quantity small;
    small.name = QStringLiteral("small");
    small.rms = 0.3;
    s.quantities = {v, i, small};
    s.wiring = {{QStringLiteral("V"), 1, 1, 1.0},
                {QStringLiteral("I"), 1, 2, 0.5},
                {QStringLiteral("small"), 1, 12, 1.0},
                {QStringLiteral("V"), 2, 1, 1.0}};
    return s;
}

// The input voltage of simpleScenario() channels, computed here from the definition.
inline double simpleVolts(int recorder, int channel, double t)
{
    const double w = 2.0 * std::numbers::pi * 50.0 * t;
    const double d = std::numbers::pi / 180.0;
    const double r2 = std::numbers::sqrt2;
    if (channel == 1)
        return 100.0 * r2 * (std::sin(w + 30 * d) + 0.1 * std::sin(5 * w + 40 * d));
    if (recorder == 1 && channel == 2)
        return 0.5 * (20.0 * r2 * std::sin(w - 20 * d) + 1.0);
    if (recorder == 1 && channel == 12)
        return 0.3 * r2 * std::sin(w);
    return 0.0;
}

// The shared simulated station's link to its simulated recorders, on a fast clock; the
// recorders are talked to line by line.
class SimLink : public ::testing::Test {
protected:
    void start(const Scenario& scenario, int recorders = 1)
    {
        ASSERT_TRUE(base_.listen(scenario, recorders));
        ASSERT_TRUE(base_.openLinks());
        lan.setReplyTimeout(1);
    }
    // A query as the station makes it: send, receive; the reply is kept in last (an empty text
    // when none came).
    QString query(int r, const QString& command)
    {
        ++sent[static_cast<std::size_t>(r)];
        lan.send(r, command);
        last = lan.receiveLine(r);
        return reply();
    }
    QString reply() const { return last.valueOr(QString()); }
    void send(int r, const QString& command)
    {
        ++sent[static_cast<std::size_t>(r)];
        lan.send(r, command);
    }
    // Waits until the simulator has executed every line sent so far.
    void settle()
    {
        for (int r = 0; r < server->recorderCount(); ++r) {
            const auto& log = server->recorder(r).commandLog();
            EXPECT_TRUE(clock.waitUntil(
                [&] { return log.size() >= sent[static_cast<std::size_t>(r)]; }, 100000));
        }
    }
    // Waits until ":MEM:MAXP?" reports a complete shot; returns the count.
    int awaitShot(int r, int expected, int polls = 40)
    {
        int count = 0;
        for (int i = 0; i < polls && count != expected; ++i) {
            count = static_cast<int>(cmd::parseMaxPoint(query(r, cmd::memMaxPoint())));
            // At small time scales a short nominal pause rounds to no pause at all, so the polls
            // are spaced by real time: each at least 2 ms apart.
            if (count != expected)
                clock.waitMs(std::max<qint64>(20, static_cast<qint64>(2.0 / clock.timeScale())));
        }
        return count;
    }
    // Configures recorder 1 as the station does (level trigger on channel c, 2 % pre-trigger,
    // 100 divisions) and takes a shot.
    void stationSetup(int r, int c, bool external = false)
    {
        send(r, cmd::headerOff());
        send(r, cmd::configureMeasurement(false));
        if (external) {
            send(r, cmd::triggerKindCh1Level());
            send(r, cmd::triggerModeSingle());
            send(r, cmd::triggerExternalOn());
            send(r, cmd::triggerKindCh1Off());
        } else {
            send(r, cmd::triggerKindLevel(c));
            send(r, cmd::triggerLevelSlope(c));
            send(r, cmd::triggerModeSingle());
        }
        settle();
    }
    // Reads samples [from, from + n) of a channel in blocks of the given size.
    std::vector<int> readBlocks(int r, int ch, int from, int n, int blockSize, int modelClass)
    {
        std::vector<int> out;
        send(r, cmd::memPoint(ch, from, true));
        while (static_cast<int>(out.size()) < n) {
            send(r, cmd::memBinaryData(blockSize));
            const auto block = lan.receiveBlock(r, cmd::blockByteCount(blockSize));
            EXPECT_TRUE(block.ok());
            if (!block)
                break;
            EXPECT_EQ(block->size(), static_cast<std::size_t>(cmd::blockByteCount(blockSize)) + 1);
            std::vector<std::int16_t> samples(static_cast<std::size_t>(blockSize));
            const int got = cmd::decodeBlock(*block, modelClass, samples);
            EXPECT_EQ(got, blockSize);
            for (int i = 0; i < got && static_cast<int>(out.size()) < n; ++i)
                out.push_back(samples[static_cast<std::size_t>(i)]);
        }
        return out;
    }

    hs::testing::SimulatedStation base_{0.01};
    Clock& clock = base_.station.clock;
    LanModule& lan = base_.station.lan;
    LinkReply<QString> last = QString();
    std::unique_ptr<SimServer>& server = base_.server;
    std::array<qsizetype, 2> sent{};
};

} // namespace hs::sim::test
