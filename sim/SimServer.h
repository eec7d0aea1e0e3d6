#pragma once

#include "common/Clock.h"
#include "sim/Scenario.h"
#include "sim/SimRecorder.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class QTcpServer;

namespace hs::sim {

// Serves one or two simulated recorders over TCP, one listening socket per recorder. Both
// recorders share the scenario and the grid time base (the epoch is the moment the server is
// made), so the external trigger of recorder 2 fires at recorder 1's trigger instant.
// Runs on the thread that owns it, inside whatever event loop that thread runs (the station's
// waits included), so tests can drive it in-process.
class SimServer : public QObject {
    Q_OBJECT
public:
    // Lines longer than this without a line feed are discarded.
    static constexpr int kMaxLineBytes = 4096;

    SimServer(Clock& clock, const Scenario& scenario, int recorderCount = 1,
              QObject* parent = nullptr);
    ~SimServer() override;

    int recorderCount() const { return static_cast<int>(recorders_.size()); }
    SimRecorder& recorder(int index) { return *recorders_.at(static_cast<std::size_t>(index)); }
    const Scenario& scenario() const { return scenario_; }
    Clock& clock() const { return clock_; }

    // Starts listening for recorder index (0 or 1); port 0 picks a free port.
    bool listen(int index, const QHostAddress& address, quint16 port, QString* error = nullptr);
    quint16 port(int index) const;
    QHostAddress address(int index) const;
    int connectionCount(int index) const;
    // Closes every connection of recorder index (the listening socket stays).
    void dropConnections(int index);

signals:
    void connectionOpened(int index, const QString& peer);
    void connectionClosed(int index, const QString& peer);

private:
    class Connection;
    friend class Connection;
    void accept(int index);

    Clock& clock_;
    Scenario scenario_;
    std::vector<std::unique_ptr<SimRecorder>> recorders_;
    std::vector<QTcpServer*> servers_;
};

} // namespace hs::sim
