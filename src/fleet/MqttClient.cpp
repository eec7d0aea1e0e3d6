#include "fleet/MqttClient.h"

#include <QFile>
#include <QSocketNotifier>
#include <QUrl>

#include <mosquitto.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace hs::fleet {

namespace {

void initialiseLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

QString connackText(int rc)
{
    switch (rc) {
    case 1:
        return QStringLiteral("the broker does not speak this protocol version");
    case 2:
        return QStringLiteral("the broker refused the client id");
    case 3:
        return QStringLiteral("the broker is unavailable");
    case 4:
        return QStringLiteral("the broker refused the user name or password");
    case 5:
        return QStringLiteral("the broker refused the user name or password (not authorised)");
    default:
        return QString::fromUtf8(mosquitto_connack_string(rc));
    }
}

bool validPrefix(const QString& prefix)
{
    if (prefix.isEmpty() || prefix.contains(QLatin1Char('+')) || prefix.contains(QLatin1Char('#')))
        return false;
    const QStringList levels = prefix.split(QLatin1Char('/'));
    return std::none_of(levels.begin(), levels.end(), [](const QString& l) { return l.isEmpty(); });
}

} // namespace

QString BrokerAddress::text() const
{
    return QStringLiteral("%1://%2%3:%4/%5")
        .arg(tls ? QStringLiteral("mqtts") : QStringLiteral("mqtt"),
             user.isEmpty() ? QString() : user + QLatin1Char('@'), host)
        .arg(port)
        .arg(prefix);
}

std::optional<BrokerAddress> ParseBrokerUrl(const QString& url, QString* error)
{
    const auto fail = [error, &url](const QString& why) {
        if (error)
            *error = QStringLiteral("'%1': %2").arg(url, why);
        return std::nullopt;
    };
    const QUrl u(url, QUrl::StrictMode);
    if (!u.isValid() || u.host().isEmpty())
        return fail(QStringLiteral("not a URL mqtt://[user@]host[:port]/prefix"));
    BrokerAddress a;
    if (u.scheme() == QStringLiteral("mqtts"))
        a.tls = true;
    else if (u.scheme() != QStringLiteral("mqtt"))
        return fail(QStringLiteral("the scheme must be mqtt:// or mqtts://"));
    if (!u.password().isEmpty())
        return fail(QStringLiteral("the password goes into a file (--publish-password-file), "
                                   "not into the URL"));
    a.user = u.userName();
    a.host = u.host();
    a.port = u.port(a.tls ? 8883 : 1883);
    if (a.port < 1 || a.port > 65535)
        return fail(QStringLiteral("the port must be 1..65535"));
    a.prefix = u.path().mid(1);
    while (a.prefix.endsWith(QLatin1Char('/')))
        a.prefix.chop(1);
    if (!validPrefix(a.prefix) || u.hasQuery() || u.hasFragment())
        return fail(QStringLiteral("a topic prefix is needed after the host (levels without + "
                                   "or #), e.g. mqtt://broker/utility/stations"));
    return a;
}

QString ReadPasswordFile(const QString& path, QString* error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, f.errorString());
        return {};
    }
    const QString line =
        QString::fromUtf8(f.readLine(4096)).remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
    if (line.isEmpty() && error)
        *error = QStringLiteral("%1: the first line (the password) is empty").arg(path);
    return line;
}

// ---- MqttClient ---------------------------------------------------------------------------------

MqttClient::MqttClient(Options options, QObject* parent)
    : QObject(parent), options_(std::move(options))
{
    initialiseLibrary();
    misc_.setInterval(1000);
    connect(&misc_, &QTimer::timeout, this, &MqttClient::housekeeping);
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &MqttClient::attempt);
}

MqttClient::~MqttClient()
{
    closeNotifiers();
    if (mosq_)
        mosquitto_destroy(mosq_);
}

void MqttClient::start()
{
    running_ = true;
    attempt();
}

void MqttClient::stop()
{
    running_ = false;
    retry_.stop();
    if (mosq_ && connected_) {
        mosquitto_disconnect(mosq_);
        // The goodbye is small: one write sends it, or the socket closes without it.
        mosquitto_loop_write(mosq_, 1);
    }
    connected_ = false;
    closeNotifiers();
    misc_.stop();
}

void MqttClient::abort()
{
    running_ = false;
    retry_.stop();
    if (mosq_ && mosquitto_socket(mosq_) >= 0)
        ::shutdown(mosquitto_socket(mosq_), SHUT_RDWR);
}

bool MqttClient::createSession()
{
    closeNotifiers();
    if (mosq_)
        mosquitto_destroy(mosq_);
    const QByteArray id = options_.clientId.toUtf8();
    mosq_ = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), options_.cleanSession, this);
    if (!mosq_) {
        lastError_ =
            QStringLiteral("cannot create an MQTT session (client id '%1')").arg(options_.clientId);
        return false;
    }
    mosquitto_connect_with_flags_callback_set(mosq_, &MqttClient::onConnect);
    mosquitto_disconnect_callback_set(mosq_, &MqttClient::onDisconnect);
    mosquitto_publish_callback_set(mosq_, &MqttClient::onPublish);
    mosquitto_message_callback_set(mosq_, &MqttClient::onMessage);
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    const BrokerAddress& b = options_.broker;
    if (!b.user.isEmpty() || !b.password.isEmpty())
        mosquitto_username_pw_set(mosq_, b.user.toUtf8().constData(),
                                  b.password.isEmpty() ? nullptr : b.password.toUtf8().constData());
    if (!options_.willTopic.isEmpty())
        mosquitto_will_set(mosq_, options_.willTopic.toUtf8().constData(),
                           static_cast<int>(options_.willPayload.size()),
                           options_.willPayload.constData(), 1, options_.willRetain);
    if (b.tls) {
        const QByteArray ca = options_.broker.caFile.toLocal8Bit();
        const int rc =
            mosquitto_tls_set(mosq_, ca.isEmpty() ? nullptr : ca.constData(),
                              ca.isEmpty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            lastError_ = QStringLiteral("TLS set-up: %1").arg(mosquitto_strerror(rc));
            return false;
        }
    }
    return true;
}

void MqttClient::attempt()
{
    if (!running_)
        return;
    if (!createSession())
        return retryLater();
    const QByteArray host = options_.broker.host.toUtf8();
    const int rc =
        mosquitto_connect_async(mosq_, host.constData(), options_.broker.port, kKeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        lost(failure(rc));
        return;
    }
    misc_.start();
    sync();
}

void MqttClient::lost(const QString& reason)
{
    const bool was = connected_;
    connected_ = false;
    closeNotifiers();
    misc_.stop();
    if (!reason.isEmpty())
        lastError_ = reason;
    if (was || !reason.isEmpty())
        emit disconnected(lastError_);
    retryLater();
}

void MqttClient::retryLater()
{
    if (!running_ || retry_.isActive())
        return;
    retry_.start(backoff_.take());
}

void MqttClient::closeNotifiers()
{
    for (QSocketNotifier** n : {&readNotifier_, &writeNotifier_}) {
        if (*n) {
            (*n)->setEnabled(false);
            (*n)->deleteLater();
            *n = nullptr;
        }
    }
    fd_ = -1;
}

void MqttClient::sync()
{
    const int fd = mosq_ ? mosquitto_socket(mosq_) : -1;
    if (fd != fd_)
        closeNotifiers();
    if (fd < 0)
        return;
    if (!readNotifier_) {
        fd_ = fd;
        readNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(readNotifier_, &QSocketNotifier::activated, this, &MqttClient::readReady);
        writeNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        connect(writeNotifier_, &QSocketNotifier::activated, this, &MqttClient::writeReady);
    }
    writeNotifier_->setEnabled(mosquitto_want_write(mosq_));
}

void MqttClient::readReady()
{
    if (!mosq_)
        return;
    const int rc = mosquitto_loop_read(mosq_, 16);
    if (rc == MOSQ_ERR_CONN_REFUSED)
        return lost(QString()); // told by onConnect
    if (rc != MOSQ_ERR_SUCCESS)
        return lost(failure(rc));
    sync();
}

void MqttClient::writeReady()
{
    if (!mosq_)
        return;
    const int rc = mosquitto_loop_write(mosq_, 16);
    if (rc != MOSQ_ERR_SUCCESS)
        return lost(failure(rc));
    sync();
}

QString MqttClient::failure(int rc) const
{
    const QString why = rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(std::strerror(errno))
                                             : QString::fromLocal8Bit(mosquitto_strerror(rc));
    return (connected_ ? QStringLiteral("connection to %1 lost: %2")
                       : QStringLiteral("cannot connect to %1: %2"))
        .arg(options_.broker.text(), why);
}

void MqttClient::housekeeping()
{
    if (!mosq_)
        return;
    const int rc = mosquitto_loop_misc(mosq_);
    if (rc != MOSQ_ERR_SUCCESS)
        return lost(QStringLiteral("connection to %1 lost (no answer to the keep-alive)")
                        .arg(options_.broker.text()));
    sync();
}

int MqttClient::publish(const QString& topic, const QByteArray& payload, int qos, bool retain)
{
    if (!connected_)
        return -1;
    int mid = 0;
    const int rc =
        mosquitto_publish(mosq_, &mid, topic.toUtf8().constData(), static_cast<int>(payload.size()),
                          payload.constData(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS)
        return -1;
    sync();
    return mid;
}

bool MqttClient::subscribe(const QString& topicFilter, int qos)
{
    if (!connected_)
        return false;
    const bool ok = mosquitto_subscribe(mosq_, nullptr, topicFilter.toUtf8().constData(), qos) ==
                    MOSQ_ERR_SUCCESS;
    sync();
    return ok;
}

// ---- Callbacks: called by the library from inside loop_read / loop_write on this thread
// ----------

void MqttClient::onConnect(mosquitto*, void* self, int rc, int flags)
{
    auto* c = static_cast<MqttClient*>(self);
    if (rc != 0) {
        c->lastError_ = QStringLiteral("%1: %2").arg(c->options_.broker.text(), connackText(rc));
        emit c->disconnected(c->lastError_);
        // The library closes the socket after a refusal; the next attempt waits its turn.
        return;
    }
    c->connected_ = true;
    c->backoff_.reset();
    c->lastError_.clear();
    emit c->connected((flags & 1) != 0);
}

void MqttClient::onDisconnect(mosquitto*, void* self, int rc)
{
    auto* c = static_cast<MqttClient*>(self);
    if (c->connected_ && rc != 0)
        c->lastError_ = QStringLiteral("connection to %1 lost").arg(c->options_.broker.text());
    // What follows is done once the library has returned (see readReady and housekeeping).
}

void MqttClient::onPublish(mosquitto*, void* self, int mid)
{
    emit static_cast<MqttClient*>(self)->published(mid);
}

void MqttClient::onMessage(mosquitto*, void* self, const mosquitto_message* m)
{
    emit static_cast<MqttClient*>(self)->message(
        QString::fromUtf8(m->topic),
        QByteArray(static_cast<const char*>(m->payload), m->payloadlen));
}

} // namespace hs::fleet
