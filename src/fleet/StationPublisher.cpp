#include "fleet/StationPublisher.h"

#include "common/Clock.h"
#include "fleet/RecordMessage.h"
#include "model/MeasurementSettings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QJsonDocument>
#include <QSaveFile>

namespace hs::fleet {

// ---- PublishArguments -------------------------------------------------------------------------

bool PublishArguments::take(const QStringList& args, qsizetype& i)
{
    QString* target = nullptr;
    const QString& a = args[i];
    if (a == QStringLiteral("--publish"))
        target = &url_;
    else if (a == QStringLiteral("--publish-ca"))
        target = &ca_;
    else if (a == QStringLiteral("--publish-password-file"))
        target = &passwordFile_;
    else if (a == QStringLiteral("--station-id"))
        target = &stationId_;
    else
        return false;
    if (a == QStringLiteral("--station-id"))
        stationGiven_ = true;
    if (i + 1 >= args.size() || args[i + 1].startsWith(QStringLiteral("--")))
        missing_ = a;
    else
        *target = args[++i];
    return true;
}

std::optional<PublishOptions> PublishArguments::options(QString* error) const
{
    const auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (!missing_.isEmpty())
        return fail(missing_ + QStringLiteral(" needs a value"));
    if (url_.isEmpty()) {
        if (!ca_.isEmpty() || !passwordFile_.isEmpty() || stationGiven_)
            return fail(QStringLiteral("--publish-ca, --publish-password-file and --station-id "
                                       "go with --publish"));
        return std::nullopt;
    }
    QString why;
    auto broker = ParseBrokerUrl(url_, &why);
    if (!broker)
        return fail(QStringLiteral("--publish ") + why);
    if (!ca_.isEmpty() && !broker->tls)
        return fail(QStringLiteral("--publish-ca goes with an mqtts:// address"));
    if (!ca_.isEmpty() && !QFile::exists(ca_))
        return fail(QStringLiteral("--publish-ca %1: no such file").arg(ca_));
    broker->caFile = ca_;
    if (!passwordFile_.isEmpty()) {
        broker->password = ReadPasswordFile(passwordFile_, &why);
        if (broker->password.isEmpty())
            return fail(QStringLiteral("--publish-password-file ") + why);
    }
    PublishOptions o;
    o.broker = *broker;
    o.stationId = stationGiven_ ? stationId_ : QHostInfo::localHostName();
    if (!ValidStationName(o.stationId))
        return fail(QStringLiteral("--station-id '%1': a station name is 1..128 printable "
                                   "characters without '/', '+' or '#'")
                        .arg(o.stationId));
    return o;
}

QString PublishArguments::help()
{
    return QStringLiteral(
        "  --publish URL         publish every record, the status and the run events to the\n"
        "                        MQTT broker mqtt://[user@]host[:port]/prefix (or mqtts://);\n"
        "                        records not yet acknowledged are sent after a reconnect or a\n"
        "                        restart (state in <result file>.publish)\n"
        "  --publish-ca FILE     the CA certificate that signs an mqtts:// broker's certificate\n"
        "  --publish-password-file FILE\n"
        "                        the broker password: the file's first line\n"
        "  --station-id NAME     the station's name in the topics (default: the host name)\n");
}

// ---- RecordSpool --------------------------------------------------------------------------------

RecordSpool::RecordSpool(QString path, QString station)
    : path_(std::move(path)), station_(std::move(station))
{
}

bool RecordSpool::loadState()
{
    QFile f(statePath());
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject o = QJsonDocument::fromJson(f.read(1 << 16)).object();
    run_ = o.value(QStringLiteral("run")).toString();
    acked_ = o.value(QStringLiteral("acknowledged")).toInteger();
    unsentAcked_ = o.value(QStringLiteral("unsentAcknowledged")).toInteger();
    lastAcked_ =
        QDateTime::fromString(o.value(QStringLiteral("lastRecord")).toString(), Qt::ISODate);
    QFile u(unsentPath());
    if (u.open(QIODevice::ReadOnly))
        unsent_ = u.readAll().split('\n');
    while (!unsent_.isEmpty() && unsent_.back().isEmpty())
        unsent_.removeLast();
    return !run_.isEmpty();
}

bool RecordSpool::beginRun(const QString& run, QString* error)
{
    // The records the last run wrote after its last acknowledged one, as messages of that run.
    if (loadState()) {
        unsent_ = unsent_.mid(std::min<qsizetype>(unsentAcked_, unsent_.size()));
        ResultRecordReader reader;
        QString why;
        if (QFile::exists(path_) && reader.open(path_, why)) {
            ResultRecord r;
            for (qint64 i = 0; reader.next(r); ++i)
                if (i >= acked_)
                    unsent_ << RecordMessageJson(station_, run_, std::nullopt, reader.file(), r);
        }
        QSaveFile out(unsentPath());
        if (!unsent_.isEmpty()) {
            if (!out.open(QIODevice::WriteOnly) || out.write(unsent_.join('\n') + '\n') < 0 ||
                !out.commit()) {
                if (error)
                    *error = QStringLiteral("%1: %2").arg(unsentPath(), out.errorString());
                return false;
            }
        } else {
            QFile::remove(unsentPath());
        }
    }
    run_ = run;
    acked_ = next_ = 0;
    unsentAcked_ = unsentNext_ = 0;
    dirty_ = true;
    // A folder that is not there yet holds no earlier run; the run makes it, and the state is
    // written with the first acknowledgement.
    return !QFileInfo(path_).dir().exists() || saveState(error);
}

bool RecordSpool::saveState(QString* error)
{
    if (!dirty_ || !QFileInfo(path_).dir().exists())
        return true;
    if (unsentAcked_ > 0 && unsentAcked_ >= unsent_.size()) {
        QFile::remove(unsentPath());
        unsent_.clear();
        unsentNext_ -= unsentAcked_;
        unsentAcked_ = 0;
    }
    const QJsonObject o{{QStringLiteral("run"), run_},
                        {QStringLiteral("file"), path_},
                        {QStringLiteral("acknowledged"), acked_},
                        {QStringLiteral("unsentAcknowledged"), unsentAcked_},
                        {QStringLiteral("lastRecord"), lastAcked_.toString(Qt::ISODate)}};
    QSaveFile f(statePath());
    if (!f.open(QIODevice::WriteOnly) || f.write(QJsonDocument(o).toJson()) < 0 || !f.commit()) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(statePath(), f.errorString());
        return false;
    }
    dirty_ = false;
    return true;
}

bool RecordSpool::readerAt(qint64 index)
{
    if (reader_ && readerAt_ == index && index < reader_->recordCount())
        return true;
    // Opened again when the file grew beyond what the reader saw, or after a rewind.
    reader_ = std::make_unique<ResultRecordReader>();
    readerAt_ = 0;
    QString why;
    if (!QFile::exists(path_) || !reader_->open(path_, why)) {
        reader_.reset();
        return false;
    }
    ResultRecord skipped;
    while (readerAt_ < index && reader_->next(skipped))
        ++readerAt_;
    return readerAt_ == index && index < reader_->recordCount();
}

std::optional<QByteArray> RecordSpool::next()
{
    if (unsentNext_ < unsent_.size()) {
        flight_.push_back({true, {}});
        return unsent_[unsentNext_++];
    }
    if (!fileOpen_ || !readerAt(next_))
        return std::nullopt;
    ResultRecord r;
    if (!reader_->next(r)) {
        readError_ = reader_->error();
        reader_.reset();
        return std::nullopt;
    }
    ++readerAt_;
    ++next_;
    flight_.push_back({false, r.time});
    const auto shots = shots_.find(r.time);
    return RecordMessageJson(station_, run_,
                             shots == shots_.end() ? std::nullopt : std::optional(shots->second),
                             reader_->file(), r);
}

void RecordSpool::setShots(const QDateTime& saveTime, int shots)
{
    QDateTime minute = saveTime;
    minute.setTime(QTime(saveTime.time().hour(), saveTime.time().minute()));
    shots_[minute] = shots;
}

void RecordSpool::acknowledgeOldest()
{
    if (flight_.empty())
        return;
    if (flight_.front().unsent) {
        ++unsentAcked_;
    } else {
        ++acked_;
        lastAcked_ = flight_.front().time;
        shots_.erase(shots_.begin(), shots_.upper_bound(lastAcked_));
    }
    flight_.pop_front();
    dirty_ = true;
}

void RecordSpool::rewind()
{
    flight_.clear();
    next_ = acked_;
    unsentNext_ = unsentAcked_;
}

bool RecordSpool::allAcknowledged()
{
    return flight_.empty() && unsentAcked_ >= unsent_.size() && (!fileOpen_ || !readerAt(acked_));
}

// ---- StationPublisher ---------------------------------------------------------------------------

namespace {

MqttClient::Options clientOptions(const PublishOptions& o)
{
    MqttClient::Options c;
    c.broker = o.broker;
    c.clientId = QStringLiteral("hs-station-") + o.stationId;
    c.cleanSession = true;
    c.willTopic = StatusTopic(o.broker.prefix, o.stationId);
    c.willPayload = QJsonDocument(QJsonObject{{QStringLiteral("station"), o.stationId},
                                              {QStringLiteral("online"), false}})
                        .toJson(QJsonDocument::Compact);
    return c;
}

} // namespace

StationPublisher::StationPublisher(PublishOptions options, const Clock& clock,
                                   const MeasurementSettings& settings, EngineObserver& next)
    : options_(std::move(options)), clock_(clock), settings_(settings), next_(next),
      client_(clientOptions(options_))
{
    connect(&client_, &MqttClient::connected, this, &StationPublisher::onConnected);
    connect(&client_, &MqttClient::disconnected, this, &StationPublisher::onDisconnected);
    connect(&client_, &MqttClient::published, this, &StationPublisher::onPublished);
    pumpLater_.setSingleShot(true);
    pumpLater_.setInterval(0);
    connect(&pumpLater_, &QTimer::timeout, this, &StationPublisher::pump);
}

StationPublisher::~StationPublisher()
{
    saveStates();
}

bool StationPublisher::beginRun(const QStringList& resultFiles, QString* error)
{
    run_ = clock_.now().toString(QStringLiteral("yyyyMMdd'T'HHmmss"));
    spools_.clear();
    for (const QString& path : resultFiles) {
        auto spool = std::make_unique<RecordSpool>(path, options_.stationId);
        if (!spool->beginRun(run_, error))
            return false;
        spools_.push_back(std::move(spool));
    }
    client_.start();
    return true;
}

void StationPublisher::tell(const QString& text)
{
    if (text == lastTold_)
        return;
    lastTold_ = text;
    if (tell_)
        tell_(QStringLiteral("publishing: ") + text);
    else
        next_.message(QStringLiteral("publishing: ") + text, MessageSeverity::information());
}

void StationPublisher::onConnected()
{
    tell(QStringLiteral("connected to ") + options_.broker.text());
    publishStatus(true);
    pump();
}

void StationPublisher::onDisconnected(const QString& reason)
{
    for (auto& spool : spools_)
        spool->rewind();
    inFlight_.clear();
    tell(reason + QStringLiteral(" (measuring goes on; the records wait in the result file)"));
}

void StationPublisher::onPublished(int mid)
{
    const auto it = inFlight_.find(mid);
    if (it == inFlight_.end())
        return;
    if (it->second)
        it->second->acknowledgeOldest();
    inFlight_.erase(it);
    // The state is written once for every acknowledgement the last read brought.
    if (!pumpLater_.isActive())
        pumpLater_.start();
}

void StationPublisher::saveStates()
{
    for (auto& spool : spools_) {
        QString why;
        if (!spool->saveState(&why))
            tell(why);
    }
}

void StationPublisher::pump()
{
    saveStates();
    if (!client_.isConnected())
        return;
    while (!events_.empty()) {
        const int mid = client_.publish(EventTopic(options_.broker.prefix, options_.stationId),
                                        events_.front(), 1, false);
        if (mid < 0)
            return;
        inFlight_[mid] = nullptr;
        events_.pop_front();
    }
    const QString topic = RecordTopic(options_.broker.prefix, options_.stationId);
    for (auto& spool : spools_) {
        while (spool->inFlight() < kWindow) {
            const std::optional<QByteArray> message = spool->next();
            if (!message)
                break;
            const int mid = client_.publish(topic, *message, 1, false);
            if (mid < 0)
                return; // the connection went; everything is sent again on the next one
            inFlight_[mid] = spool.get();
        }
        if (!spool->readError().isEmpty())
            tell(spool->readError());
    }
}

void StationPublisher::publishStatus(bool online)
{
    QDateTime last;
    for (auto& spool : spools_)
        last = std::max(last, spool->lastAcknowledged());
    const QJsonObject o{{QStringLiteral("station"), options_.stationId},
                        {QStringLiteral("online"), online},
                        {QStringLiteral("run"), run_},
                        {QStringLiteral("time"), clock_.now().toString(Qt::ISODate)},
                        {QStringLiteral("lastRecord"), last.toString(Qt::ISODate)},
                        {QStringLiteral("nextSave"),
                         online ? settings_.StartDateTime.toString(Qt::ISODate) : QString()},
                        {QStringLiteral("saveIntervalMin"), settings_.SaveIntervalMin},
                        {QStringLiteral("feeders"), settings_.LastFeeder + 1}};
    const int mid = client_.publish(StatusTopic(options_.broker.prefix, options_.stationId),
                                    QJsonDocument(o).toJson(QJsonDocument::Compact), 1, true);
    if (mid >= 0)
        inFlight_[mid] = nullptr;
}

void StationPublisher::runEvent(const RunEvent& event)
{
    next_.runEvent(event);
    // Events come from the run loop, which runs on the files the run has opened.
    for (auto& spool : spools_)
        spool->runOpenedFile();
    if (event.is<run::ShotAnalysed>()) {
        ++shotsSinceSave_;
        return;
    }
    QDateTime saved;
    if (const auto* e = event.as<run::RecordSaved>())
        saved = e->saveTime;
    else if (const auto* late = event.as<run::RecordSavedLate>())
        saved = late->saveTime;
    if (saved.isValid()) {
        for (auto& spool : spools_)
            spool->setShots(saved, shotsSinceSave_);
        shotsSinceSave_ = 0;
        publishStatus(true);
    }
    if (!event.is<run::RecordSaved>() && !event.is<run::ReconnectAttempt>()) {
        QJsonObject o = RunEventJson(event);
        o.insert(QStringLiteral("station"), options_.stationId);
        o.insert(QStringLiteral("run"), run_);
        o.insert(QStringLiteral("time"), clock_.now().toString(Qt::ISODate));
        if (events_.size() >= kMaxQueuedEvents)
            events_.pop_front();
        events_.push_back(QJsonDocument(o).toJson(QJsonDocument::Compact));
    }
    pump();
}

bool StationPublisher::finish(int realMs)
{
    const auto done = [this] {
        pump();
        return std::all_of(spools_.begin(), spools_.end(),
                           [](auto& s) { return s->allAcknowledged(); });
    };
    QElapsedTimer waited;
    waited.start();
    // Real time, whatever the station's time scale: the broker's pace is not the station's.
    // Without a broker there is nothing to wait for: the spool keeps the records for the next
    // start.
    const bool sent =
        clock_.waitUntil(
            [&] {
                return done() || waited.elapsed() >= realMs ||
                       (!client_.isConnected() && waited.elapsed() >= 1000);
            },
            static_cast<qint64>(realMs / std::max(clock_.timeScale(), 1e-6)) + 1000) &&
        done();
    saveStates();
    publishStatus(false);
    clock_.waitUntil([this] { return inFlight_.empty() || !client_.isConnected(); },
                     static_cast<qint64>(1000 / std::max(clock_.timeScale(), 1e-6)));
    client_.stop();
    return sent;
}

} // namespace hs::fleet
