#include "sim/SimServer.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <deque>

namespace hs::sim {

// One client connection of a recorder: frames lines (bounded), hands them to the recorder one
// at a time and sends what it answers, honouring its delays, busy times and faults.
class SimServer::Connection : public QObject {
    // Lines that may wait while the recorder is busy (a floppy save); more are discarded.
    static constexpr std::size_t kMaxQueuedLines = 10000;

public:
    Connection(SimServer& server, int index, QTcpSocket* socket)
        : QObject(&server), server_(server), index_(index), socket_(socket)
    {
        socket_->setParent(this);
        peer_ =
            QStringLiteral("%1:%2").arg(socket_->peerAddress().toString()).arg(socket_->peerPort());
        connect(socket_, &QTcpSocket::readyRead, this, [this] { readLines(); });
        connect(socket_, &QTcpSocket::disconnected, this, [this] { finish(); });
        connect(socket_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
            if (e != QAbstractSocket::RemoteHostClosedError)
                finish();
        });
    }

    int index() const { return index_; }
    bool open() const { return !finished_; }
    void close()
    {
        if (!finished_)
            socket_->abort();
        finish();
    }

private:
    SimRecorder& recorder() { return server_.recorder(index_); }

    void readLines()
    {
        // Read in whole chunks; the line buffer never holds more than one over-long line.
        while (socket_->bytesAvailable() > 0) {
            const QByteArray chunk = socket_->read(16384);
            if (chunk.isEmpty())
                break;
            qsizetype from = 0;
            while (from < chunk.size()) {
                const qsizetype lf = chunk.indexOf('\n', from);
                const qsizetype end = lf < 0 ? chunk.size() : lf;
                if (!discarding_)
                    buffer_.append(chunk.constData() + from, end - from);
                if (buffer_.size() > kMaxLineBytes) {
                    recorder().logEvent(
                        QString::fromLatin1(buffer_.left(60)) + QStringLiteral("..."),
                        QStringLiteral("line longer than %1 bytes discarded").arg(kMaxLineBytes));
                    buffer_.clear();
                    discarding_ = true;
                }
                if (lf < 0)
                    break;
                if (!discarding_ && queue_.size() >= kMaxQueuedLines) {
                    recorder().logEvent(QString::fromLatin1(buffer_.left(60)),
                                        QStringLiteral("more than %1 lines waiting, line discarded")
                                            .arg(kMaxQueuedLines));
                } else if (!discarding_) {
                    queue_.push_back(buffer_);
                }
                buffer_.clear();
                discarding_ = false;
                from = lf + 1;
            }
        }
        pump();
    }

    void pump()
    {
        while (!busy_ && !finished_ && !queue_.empty()) {
            QByteArray line = queue_.front();
            queue_.pop_front();
            if (line.endsWith('\r'))
                line.chop(1);
            if (line.trimmed().isEmpty())
                continue;
            const LineOutcome out = recorder().executeLine(line);
            deliver(out);
        }
    }

    void later(qint64 nominalMs, std::function<void()> what)
    {
        QTimer::singleShot(server_.clock().realMs(nominalMs), this, std::move(what));
    }

    void deliver(const LineOutcome& out)
    {
        busy_ = true;
        auto after = [this, out] {
            if (out.drop) {
                socket_->flush();
                socket_->disconnectFromHost();
                finish();
                return;
            }
            if (out.busyMs > 0) {
                later(out.busyMs, [this] {
                    busy_ = false;
                    pump();
                });
            } else {
                busy_ = false;
            }
        };
        if (out.reply.isEmpty()) {
            after();
            return;
        }
        if (out.replyDelayMs > 0) {
            later(out.replyDelayMs, [this, out, after] {
                if (out.segmentBytes > 0) {
                    sendSegments(out.reply, 0, out.segmentBytes, after);
                } else {
                    write(out.reply);
                    after();
                    pump();
                }
            });
        } else if (out.segmentBytes > 0) {
            sendSegments(out.reply, 0, out.segmentBytes, after);
        } else {
            write(out.reply);
            after(); // the caller's loop goes on with the next line
        }
    }

    void sendSegments(const QByteArray& data, qsizetype from, int size, std::function<void()> after)
    {
        if (finished_)
            return;
        write(data.mid(from, size));
        socket_->flush();
        const qsizetype next = from + size;
        if (next >= data.size()) {
            after();
            pump();
            return;
        }
        // A real millisecond between segments lets them arrive as separate reads.
        QTimer::singleShot(
            1, this, [this, data, next, size, after] { sendSegments(data, next, size, after); });
    }

    void write(const QByteArray& bytes)
    {
        if (!finished_ && socket_->state() == QAbstractSocket::ConnectedState)
            socket_->write(bytes);
    }

    void finish()
    {
        if (finished_)
            return;
        finished_ = true;
        queue_.clear();
        emit server_.connectionClosed(index_, peer_);
        deleteLater();
    }

    SimServer& server_;
    int index_;
    QTcpSocket* socket_;
    QString peer_;
    QByteArray buffer_;
    bool discarding_ = false;
    std::deque<QByteArray> queue_;
    bool busy_ = false;
    bool finished_ = false;
};

SimServer::SimServer(Clock& clock, const Scenario& scenario, int recorderCount, QObject* parent)
    : QObject(parent), clock_(clock), scenario_(scenario)
{
    const QDateTime epoch = clock.now();
    const int n = recorderCount >= 2 ? 2 : 1;
    QVector<SimRecorder*> peers;
    for (int i = 0; i < n; ++i) {
        recorders_.push_back(std::make_unique<SimRecorder>(i, scenario_, clock_, epoch));
        peers.push_back(recorders_.back().get());
        servers_.push_back(new QTcpServer(this));
        connect(servers_.back(), &QTcpServer::newConnection, this, [this, i] { accept(i); });
    }
    for (auto& r : recorders_)
        r->setPeers(peers);
}

SimServer::~SimServer() = default;

bool SimServer::listen(int index, const QHostAddress& address, quint16 port, QString* error)
{
    if (index < 0 || index >= recorderCount()) {
        if (error)
            *error = QStringLiteral("no recorder %1").arg(index + 1);
        return false;
    }
    QTcpServer* s = servers_[static_cast<std::size_t>(index)];
    if (s->isListening())
        s->close();
    if (!s->listen(address, port)) {
        if (error)
            *error =
                QStringLiteral("%1:%2: %3").arg(address.toString()).arg(port).arg(s->errorString());
        return false;
    }
    return true;
}

quint16 SimServer::port(int index) const
{
    return index >= 0 && index < recorderCount()
               ? servers_[static_cast<std::size_t>(index)]->serverPort()
               : 0;
}

QHostAddress SimServer::address(int index) const
{
    return index >= 0 && index < recorderCount()
               ? servers_[static_cast<std::size_t>(index)]->serverAddress()
               : QHostAddress();
}

int SimServer::connectionCount(int index) const
{
    int n = 0;
    for (const QObject* o : children()) {
        if (const auto* c = dynamic_cast<const Connection*>(o);
            c && c->index() == index && c->open())
            ++n;
    }
    return n;
}

void SimServer::dropConnections(int index)
{
    for (QObject* o : children()) {
        if (auto* c = dynamic_cast<Connection*>(o); c && c->index() == index)
            c->close();
    }
}

void SimServer::accept(int index)
{
    QTcpServer* s = servers_[static_cast<std::size_t>(index)];
    while (QTcpSocket* socket = s->nextPendingConnection()) {
        auto* c = new Connection(*this, index, socket);
        emit connectionOpened(
            index,
            QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort()));
        Q_UNUSED(c);
    }
}

} // namespace hs::sim
