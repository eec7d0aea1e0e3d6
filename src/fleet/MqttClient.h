#pragma once

#include "fleet/Backoff.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

class QSocketNotifier;
struct mosquitto;
struct mosquitto_message;

namespace hs::fleet {

// Where a station publishes or a collector subscribes: "mqtt://[user@]host[:port]/prefix" or
// "mqtts://..." (TLS; port 1883 and 8883 by default). The prefix is one or more topic levels
// without wildcards.
struct BrokerAddress {
    bool tls = false;
    QString user;
    QString host;
    int port = 1883;
    QString prefix;
    QString password;
    QString caFile;
    // "mqtt://user@host:port/prefix" without the password.
    QString text() const;
};

// Reads the URL; nullopt with the reason in error.
std::optional<BrokerAddress> ParseBrokerUrl(const QString& url, QString* error);
// The password: the first line of the file, without its line break. Empty with the reason in
// error when the file cannot be read or its first line is empty.
QString ReadPasswordFile(const QString& path, QString* error);

// One connection to an MQTT broker through libmosquitto, driven by this thread's event loop:
// socket notifiers for reading and writing and a timer for the keep-alive, so that the client
// runs inside every wait of the measurement and never blocks it (the socket is non-blocking;
// a broker that stops reading only fills the socket's buffer). A lost connection is made again
// with a back-off of kFirstRetryMs doubling up to kMaxRetryMs, each time with a fresh session
// object, so that nothing the library kept from the old connection is sent twice on its own:
// the owner decides what to send again.
class MqttClient : public QObject {
    Q_OBJECT
public:
    static constexpr int kFirstRetryMs = 250;
    static constexpr int kMaxRetryMs = 5000;
    static constexpr int kKeepAliveSeconds = 30;

    struct Options {
        BrokerAddress broker;
        QString clientId;
        bool cleanSession = true;
        // The last will: published by the broker when the connection is lost without a goodbye.
        QString willTopic;
        QByteArray willPayload;
        bool willRetain = true;
    };

    explicit MqttClient(Options options, QObject* parent = nullptr);
    ~MqttClient() override;

    // Starts connecting (and keeps doing so after every loss).
    void start();
    // Sends a goodbye (the will is then not published) and stops.
    void stop();
    // Breaks the connection at once, without a goodbye and without acknowledging the message
    // being delivered (when called from a message() handler), and stops: the broker keeps what
    // was not acknowledged for a persistent session. start() connects again.
    void abort();
    bool isConnected() const { return connected_; }
    // Queues a message; its id (to match published()), or -1 when not connected.
    int publish(const QString& topic, const QByteArray& payload, int qos, bool retain);
    // Asks for a subscription; false when not connected.
    bool subscribe(const QString& topicFilter, int qos);
    // Why the last connection attempt failed, empty after a success.
    const QString& lastError() const { return lastError_; }

signals:
    void connected(bool sessionPresent);
    void disconnected(const QString& reason);
    // The broker acknowledged the QoS 1 message with this id.
    void published(int mid);
    void message(const QString& topic, const QByteArray& payload);

private:
    static void onConnect(mosquitto*, void* self, int rc, int flags);
    static void onDisconnect(mosquitto*, void* self, int rc);
    static void onPublish(mosquitto*, void* self, int mid);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* m);

    bool createSession();
    void attempt();
    void lost(const QString& reason);
    QString failure(int rc) const;
    void retryLater();
    void sync(); // notifiers to the library's socket and wish to write
    void closeNotifiers();
    void readReady();
    void writeReady();
    void housekeeping();

    Options options_;
    mosquitto* mosq_ = nullptr;
    int fd_ = -1;
    QSocketNotifier* readNotifier_ = nullptr;
    QSocketNotifier* writeNotifier_ = nullptr;
    QTimer misc_;
    QTimer retry_;
    Backoff backoff_{kFirstRetryMs, kMaxRetryMs};
    bool running_ = false;
    bool connected_ = false;
    QString lastError_;
};

} // namespace hs::fleet
