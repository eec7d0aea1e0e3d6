#pragma once

#include "fleet/MqttClient.h"
#include "model/EngineObserver.h"

#include "files/ResultFileReader.h"

#include <QJsonObject>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace hs {
class Clock;
struct MeasurementSettings;
} // namespace hs

namespace hs::fleet {

// What a station publishes to, and as whom.
struct PublishOptions {
    BrokerAddress broker; // with the password and the CA file
    QString stationId;    // default: the host name
};

// The options "--publish URL", "--publish-ca FILE", "--publish-password-file FILE" and
// "--station-id NAME" as `measure` and the desktop program take them.
class PublishArguments {
public:
    // Whether args[i] is one of the options; when it is, its value is taken too.
    bool take(const QStringList& args, qsizetype& i);
    // Once every argument was seen: the options, nullopt without --publish; nullopt with the
    // reason in error when they are wrong (error untouched otherwise).
    std::optional<PublishOptions> options(QString* error) const;
    static QString help();

private:
    QString url_, ca_, passwordFile_, stationId_, missing_;
    bool stationGiven_ = false;
};

// One result file as a spool of records for the broker. The file itself holds the records; the
// state file beside it ("<file>.publish", replaced atomically) holds the run and how many of
// the file's records the broker acknowledged. Records of an earlier run that were never
// acknowledged, when a new run is about to truncate the file, are kept as ready messages in
// "<file>.unsent" and sent first.
class RecordSpool {
public:
    RecordSpool(QString path, QString station);
    // Before a run opens (and truncates) the file: keeps what the last run left unacknowledged
    // and starts the state of the new run. False with the reason in error when the state or
    // the unsent messages cannot be written.
    bool beginRun(const QString& run, QString* error);
    // The next message to send, nullopt when there is none yet (or the file cannot be read:
    // readError() says why). The file's own records only once the run has opened it (before,
    // it still holds the last run's records).
    std::optional<QByteArray> next();
    void runOpenedFile() { fileOpen_ = true; }
    // The oldest message handed out and not acknowledged yet is acknowledged now.
    void acknowledgeOldest();
    // The connection was lost: everything not acknowledged is sent again.
    void rewind();
    bool allAcknowledged();
    int inFlight() const { return static_cast<int>(flight_.size()); }
    // The shots of the interval saved at saveTime (a record holds its minute only).
    void setShots(const QDateTime& saveTime, int shots);
    const QString& readError() const { return readError_; }
    QDateTime lastAcknowledged() const { return lastAcked_; }
    // Writes the state file when it changed; false with error set on failure.
    bool saveState(QString* error);
    qint64 acknowledged() const { return acked_; }

private:
    bool loadState();
    bool readerAt(qint64 index);
    QString statePath() const { return path_ + QStringLiteral(".publish"); }
    QString unsentPath() const { return path_ + QStringLiteral(".unsent"); }

    QString path_, station_, run_;
    qint64 acked_ = 0;         // records of the file acknowledged
    qint64 next_ = 0;          // the next record of the file to send
    QList<QByteArray> unsent_; // earlier runs' messages
    qint64 unsentAcked_ = 0;
    qint64 unsentNext_ = 0;
    struct Sent {
        bool unsent = false; // a message of an earlier run
        QDateTime time;
    };
    std::deque<Sent> flight_; // handed out, oldest first
    QDateTime lastAcked_;
    std::map<QDateTime, int> shots_;
    std::unique_ptr<ResultRecordReader> reader_;
    qint64 readerAt_ = 0;
    QString readError_;
    bool dirty_ = false;
    bool fileOpen_ = false;
};

// Publishes a station's records, status and run events to the broker, beside whatever else
// observes the run (every call is passed on to next). The engine never waits for it: records
// are read from the result file when the broker can take them, at most kWindow at a time.
class StationPublisher : public QObject, public EngineObserver {
    Q_OBJECT
public:
    static constexpr int kWindow = 16;
    static constexpr int kMaxQueuedEvents = 1000;

    StationPublisher(PublishOptions options, const Clock& clock,
                     const MeasurementSettings& settings, EngineObserver& next);
    ~StationPublisher() override;

    // Before the run opens its result files: the spools of these files and the new run's id;
    // false with the reason in error. Starts connecting.
    bool beginRun(const QStringList& resultFiles, QString* error);
    // After the run: waits up to realMs (real time) for the broker to acknowledge every
    // record (a second at most when it is not connected), then says goodbye (status offline).
    // Whether every record went out.
    bool finish(int realMs);
    const QString& run() const { return run_; }
    // Where the publisher's own reports go (connected, refused, lost, ...); by default to
    // next's message().
    void setTell(std::function<void(const QString&)> tell) { tell_ = std::move(tell); }
    const QString& stationId() const { return options_.stationId; }

    void status(const RunStatus& status) override { next_.status(status); }
    void runEvent(const RunEvent& event) override;
    void message(const QString& text, const MessageSeverity& severity) override
    {
        next_.message(text, severity);
    }

private:
    void pump();
    void onConnected();
    void onDisconnected(const QString& reason);
    void onPublished(int mid);
    void publishStatus(bool online);
    void saveStates();
    void tell(const QString& text);

    PublishOptions options_;
    const Clock& clock_;
    const MeasurementSettings& settings_;
    EngineObserver& next_;
    MqttClient client_;
    QString run_;
    std::vector<std::unique_ptr<RecordSpool>> spools_;
    std::map<int, RecordSpool*> inFlight_; // message id -> spool; status/events: nullptr
    std::deque<QByteArray> events_;
    int shotsSinceSave_ = 0;
    QTimer pumpLater_;
    QString lastTold_;
    std::function<void(const QString&)> tell_;
};

} // namespace hs::fleet
