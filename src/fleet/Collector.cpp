#include "fleet/Collector.h"

#include "fleet/RecordMessage.h"

#include <QJsonDocument>

namespace hs::fleet {

namespace {

MqttClient::Options subscriberOptions(const BrokerAddress& broker, const QString& clientId)
{
    MqttClient::Options o;
    o.broker = broker;
    o.clientId = clientId;
    o.cleanSession = false; // the broker keeps our messages while we are away
    return o;
}

} // namespace

Collector::Collector(BrokerAddress broker, DatabaseSpec database, QString clientId,
                     std::function<void(const QString&)> log, QObject* parent)
    : QObject(parent), broker_(std::move(broker)), database_(std::move(database)),
      log_(std::move(log)), client_(subscriberOptions(broker_, clientId))
{
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &Collector::tryDatabase);
    connect(&client_, &MqttClient::connected, this, &Collector::onConnected);
    connect(&client_, &MqttClient::disconnected, this,
            [this](const QString& reason) { log_(reason); });
    connect(&client_, &MqttClient::message, this, &Collector::onMessage);
}

void Collector::start()
{
    tryDatabase();
}

void Collector::stop()
{
    retry_.stop();
    client_.stop();
    store_.close();
}

void Collector::tryDatabase()
{
    QString why;
    if (!store_.open(database_, &why)) {
        databaseFailed(why);
        return;
    }
    if (databaseDown_)
        log_(QStringLiteral("database %1 answers again; receiving again").arg(database_.text()));
    else
        log_(QStringLiteral("database %1 open (schema version %2)")
                 .arg(database_.text())
                 .arg(FleetStore::kSchemaVersion));
    databaseDown_ = false;
    backoff_.reset();
    client_.start();
}

void Collector::databaseFailed(const QString& why)
{
    // Whatever is being delivered stays unacknowledged: the broker sends it again later.
    client_.abort();
    store_.close();
    log_(QStringLiteral("database %1 unavailable: %2; not acknowledging messages, trying again "
                        "in %3 s")
             .arg(database_.text(), why.trimmed())
             .arg(backoff_.nextMs() / 1000.0));
    databaseDown_ = true;
    retry_.start(backoff_.take());
}

void Collector::onConnected(bool sessionPresent)
{
    log_(QStringLiteral("connected to %1 (%2)")
             .arg(broker_.text(), sessionPresent ? QStringLiteral("session kept by the broker")
                                                 : QStringLiteral("new session")));
    for (const char* kind : {"record", "status", "event"})
        client_.subscribe(broker_.prefix + QStringLiteral("/+/") + QLatin1String(kind), 1);
}

void Collector::drop(const QString& topic, const QString& why)
{
    ++counts_.dropped;
    log_(QStringLiteral("dropped a message on '%1': %2").arg(topic.left(200), why));
}

void Collector::onMessage(const QString& topic, const QByteArray& payload)
{
    if (databaseDown_)
        return; // the connection is broken already: this one is not acknowledged either
    const QStringList levels = topic.split(QLatin1Char('/'));
    const QStringList prefix = broker_.prefix.split(QLatin1Char('/'));
    if (levels.size() != prefix.size() + 2 || levels.mid(0, prefix.size()) != prefix)
        return drop(topic, QStringLiteral("not a topic under the prefix '%1'").arg(broker_.prefix));
    const QString station = levels[prefix.size()];
    const QString kind = levels.back();
    if (payload.size() > kMaxMessageBytes)
        return drop(
            topic,
            QStringLiteral("%1 bytes, more than %2").arg(payload.size()).arg(kMaxMessageBytes));
    if (payload.isEmpty())
        return; // a retained message cleared
    QString why;
    bool ok = true;
    if (kind == QStringLiteral("record")) {
        const auto message = ParseRecordMessage(payload, &why);
        if (!message)
            return drop(topic, why);
        if (message->station != station)
            return drop(topic,
                        QStringLiteral("the record is of station '%1'").arg(message->station));
        ok = store_.storeRecord(*message, &why);
        counts_.records += ok;
    } else {
        const QJsonDocument doc = QJsonDocument::fromJson(payload);
        if (!doc.isObject() || !ValidStationName(station))
            return drop(topic, QStringLiteral("not a JSON object"));
        if (kind == QStringLiteral("status")) {
            ok = store_.storeStatus(station, doc.object(), &why);
            counts_.statuses += ok;
        } else if (kind == QStringLiteral("event")) {
            ok = store_.storeEvent(station, doc.object(), &why);
            counts_.events += ok;
        } else {
            return drop(topic, QStringLiteral("not a record, status or event"));
        }
    }
    // A database that still answers refused this message alone: it is dropped, not retried.
    if (!ok && store_.ping())
        return drop(topic, QStringLiteral("the database refused it: ") + why);
    if (!ok)
        return databaseFailed(why);
    emit stored();
}

} // namespace hs::fleet
