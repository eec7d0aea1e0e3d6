#pragma once

#include "fleet/Backoff.h"
#include "fleet/FleetStore.h"
#include "fleet/MqttClient.h"

#include <QObject>
#include <QTimer>

#include <functional>

namespace hs::fleet {

// Subscribes to PREFIX/+/record, /status and /event with a persistent session (QoS 1) and
// writes what arrives into the fleet's database. Each message is written (and committed) while
// it is being delivered, before the library acknowledges it, so that the broker keeps every
// message that was not written. A message that is not valid, too large or not of the prefix is
// told with its topic and dropped. When the database fails, the connection to the broker is
// broken without acknowledging, and the database is tried again with a back-off (kFirstRetryMs
// doubling to kMaxRetryMs); once it answers, the collector connects again and the broker sends
// what it kept.
class Collector : public QObject {
    Q_OBJECT
public:
    static constexpr int kFirstRetryMs = 500;
    static constexpr int kMaxRetryMs = 30000;

    struct Counts {
        qint64 records = 0, statuses = 0, events = 0, dropped = 0;
    };

    Collector(BrokerAddress broker, DatabaseSpec database, QString clientId,
              std::function<void(const QString&)> log, QObject* parent = nullptr);

    // Opens the database (trying again in the background when it does not answer) and
    // connects to the broker once it does.
    void start();
    void stop();
    FleetStore& store() { return store_; }
    const Counts& counts() const { return counts_; }

signals:
    void stored();

private:
    void onConnected(bool sessionPresent);
    void onMessage(const QString& topic, const QByteArray& payload);
    void drop(const QString& topic, const QString& why);
    void databaseFailed(const QString& why);
    void tryDatabase();

    BrokerAddress broker_;
    DatabaseSpec database_;
    std::function<void(const QString&)> log_;
    FleetStore store_;
    MqttClient client_;
    QTimer retry_;
    Backoff backoff_{kFirstRetryMs, kMaxRetryMs};
    bool databaseDown_ = false;
    Counts counts_;
};

} // namespace hs::fleet
