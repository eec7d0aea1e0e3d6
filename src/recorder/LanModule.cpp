#include "recorder/LanModule.h"

#include <QByteArray>
#include <QLatin1String>
#include <QTcpSocket>

#include <algorithm>
#include <climits>
#include <cmath>

namespace hs {

namespace {

// A block occupies BlockBuffer positions 1..404.
constexpr int kMaxBlockBytes = LanModule::kBlockBufferSize - 1;
constexpr int kBlockTimeoutsBeforeFailure = 3;
constexpr qint64 kReadChunk = 4096;

int periodFromSeconds(qint64 seconds)
{
    const qint64 ms = seconds * 1000;
    return static_cast<int>(std::clamp<qint64>(ms, 0, INT_MAX));
}

} // namespace

LanModule::LanModule(Clock& clock, QObject* parent) : QObject(parent), clock_(clock)
{
    linkTimer_.setSingleShot(true);
    linkTimer_.setTimerType(Qt::PreciseTimer);
}

LanModule::~LanModule() = default;

int LanModule::indexOf(const QString& id)
{
    // The identifier is read as a decimal number and rounded (halves to even); only the two
    // connections exist. Anything else is a caller's fault that must not reach the sockets.
    bool ok = false;
    const double value = id.trimmed().toDouble(&ok);
    if (!ok)
        return -1;
    const double rounded = std::nearbyint(value);
    if (rounded == 0.0)
        return 0;
    if (rounded == 1.0)
        return 1;
    return -1;
}

void LanModule::connectToRecorder(int index, const QString& host, quint16 port)
{
    if (index < 0 || index > 1)
        return;
    Connection& c = connections_[static_cast<std::size_t>(index)];
    if (c.socket == nullptr) {
        c.socket = new QTcpSocket(this);
        connect(c.socket, &QTcpSocket::connected, this, [this, index] {
            Connection& opened = connections_[static_cast<std::size_t>(index)];
            // Command lines go out the moment they are sent: without this a short command that
            // follows one without a reply waits for the recorder's delayed acknowledgement,
            // which stretches the prescribed pauses between commands.
            opened.socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            opened.linkConnected = true;
        });
        connect(c.socket, &QTcpSocket::readyRead, this, [this, index] { onDataArrival(index); });
    } else if (c.socket->state() != QAbstractSocket::UnconnectedState || c.socket->isOpen()) {
        // A repeated set-up starts from a fresh connection.
        c.socket->abort();
    }
    // A new attempt is a new connection: whether an earlier one was established says nothing
    // about this one (a retry may point at a different, unreachable address).
    c.linkConnected = false;
    c.pendingBytes = 0;
    c.host = host;
    c.port = port;
    c.socket->connectToHost(host, port);
}

bool LanModule::reconnectRecorder(int index)
{
    if (index < 0 || index > 1)
        return false;
    const Connection& c = connections_[static_cast<std::size_t>(index)];
    if (c.socket == nullptr || c.port == 0)
        return false;
    const QString host = c.host;
    const quint16 port = c.port;
    connectToRecorder(index, host, port);
    return true;
}

bool LanModule::LinkUp(int index) const
{
    if (index < 0 || index > 1)
        return false;
    const Connection& c = connections_[static_cast<std::size_t>(index)];
    return c.linkConnected && c.socket != nullptr &&
           c.socket->state() == QAbstractSocket::ConnectedState;
}

bool LanModule::lostAndEmpty(const Connection& c)
{
    if (c.socket == nullptr)
        return true;
    return c.socket->state() != QAbstractSocket::ConnectedState && c.socket->bytesAvailable() == 0;
}

void LanModule::onDataArrival(int index)
{
    Connection& c = connections_[static_cast<std::size_t>(index)];
    // The total the socket holds, not the size of this arrival.
    c.pendingBytes = static_cast<int>(std::min<qint64>(c.socket->bytesAvailable(), INT_MAX));
}

bool LanModule::LinkConnected(int index) const
{
    return index >= 0 && index <= 1 && connections_[static_cast<std::size_t>(index)].linkConnected;
}

int LanModule::PendingBytes(int index) const
{
    return index >= 0 && index <= 1 ? connections_[static_cast<std::size_t>(index)].pendingBytes
                                    : 0;
}

void LanModule::startLinkTimer()
{
    linkTimer_.start(clock_.realMs(linkPeriodMs_));
}

bool LanModule::linkTimerRunning() const
{
    return linkTimer_.isActive();
}

int LanModule::linkTimerPeriodMs() const
{
    return linkPeriodMs_;
}

void LanModule::discardHeld(QTcpSocket* socket)
{
    if (socket == nullptr)
        return;
    while (socket->bytesAvailable() > 0) {
        if (socket->skip(socket->bytesAvailable()) <= 0)
            break;
    }
}

int LanModule::SendCommand(const QString& id, const QString& text)
{
    const int index = indexOf(id);
    if (index >= 0) {
        QTcpSocket* socket = connections_[static_cast<std::size_t>(index)].socket;
        // A connection that is not open takes nothing; the caller's following receive then
        // ends by time-out, which is how the failure reaches LinkResult.
        if (socket != nullptr && socket->state() == QAbstractSocket::ConnectedState) {
            QByteArray line = text.toLatin1();
            line.append(static_cast<char>(sendTerminator_));
            socket->write(line);
        }
    }
    Clock::pumpEvents();
    return 0;
}

int LanModule::ReceiveResponse(const QString& id, QString& reply)
{
    const int index = indexOf(id);
    reply.clear();
    if (index < 0)
        return 3;
    Connection& c = connections_[static_cast<std::size_t>(index)];
    const QChar terminator = receiveTerminator();
    startLinkTimer();
    for (;;) {
        if (c.pendingBytes > 0) {
            if (c.socket != nullptr) {
                char chunk[kReadChunk];
                qint64 got = 0;
                while ((got = c.socket->read(chunk, kReadChunk)) > 0)
                    reply.append(QLatin1String(chunk, static_cast<qsizetype>(got)));
            }
            c.pendingBytes = 0;
        }
        if (!reply.isEmpty() && reply.back() == terminator) {
            c.pendingBytes = 0;
            linkTimer_.stop();
            return 0;
        }
        if (!linkTimer_.isActive() || lostAndEmpty(c)) {
            c.pendingBytes = 0;
            reply.clear();
            linkTimer_.stop();
            return 3;
        }
        Clock::waitForEvents();
    }
}

int LanModule::ReceiveBinaryBlock(const QString& id, int count)
{
    const int index = indexOf(id);
    if (index < 0) {
        lastBlockByteCount_ = 0;
        return 3;
    }
    Connection& c = connections_[static_cast<std::size_t>(index)];
    int timeouts = 0;
    startLinkTimer();
    for (;;) {
        // More than a block can hold will never become a good block: decide at once.
        if (c.pendingBytes >= count || c.pendingBytes > kMaxBlockBytes) {
            const qint64 held = c.socket != nullptr ? c.socket->bytesAvailable() : 0;
            if (held > kMaxBlockBytes) {
                // Bounded: nothing is written to BlockBuffer, the whole reply is thrown away so
                // that it cannot spoil the next one, and the caller retries as after a time-out.
                lastBlockByteCount_ = static_cast<std::int16_t>(std::min<qint64>(held, SHRT_MAX));
                discardHeld(c.socket);
                c.pendingBytes = 0;
                linkTimer_.stop();
                return 3;
            }
            if (held >= count) {
                qint64 got = 0;
                if (held > 0)
                    got = c.socket->read(reinterpret_cast<char*>(blockBuffer_.data() + 1), held);
                lastBlockByteCount_ = static_cast<std::int16_t>(std::max<qint64>(got, 0));
                c.pendingBytes = 0;
                return 0;
            }
            // The socket lost what was announced (closed under the wait): keep waiting.
            c.pendingBytes = static_cast<int>(held);
        }
        if (lostAndEmpty(c)) {
            // Nothing more can come: the connection is gone.
            lastBlockByteCount_ = static_cast<std::int16_t>(c.pendingBytes);
            c.pendingBytes = 0;
            linkTimer_.stop();
            return 3;
        }
        if (!linkTimer_.isActive()) {
            lastBlockByteCount_ = static_cast<std::int16_t>(c.pendingBytes);
            c.pendingBytes = 0;
            if (++timeouts == kBlockTimeoutsBeforeFailure)
                return 3;
            startLinkTimer();
            continue;
        }
        Clock::waitForEvents();
    }
}

int LanModule::ReceivedByteCount() const
{
    return lastBlockByteCount_;
}

int LanModule::SetReplyTimeout(int n)
{
    linkPeriodMs_ = periodFromSeconds(static_cast<qint64>(n) + 5);
    return 0;
}

void LanModule::WaitSeconds(int n)
{
    const int previous = linkPeriodMs_;
    linkPeriodMs_ = periodFromSeconds(static_cast<qint64>(n) + 1);
    startLinkTimer();
    while (linkTimer_.isActive())
        Clock::waitForEvents();
    linkPeriodMs_ = previous;
}

int LanModule::SetTerminator(const QString& kind, int code)
{
    // Remainder with the sign of the code; a negative remainder names no character.
    const int character = code % 128;
    if (character < 0)
        return 0;
    if (kind == QLatin1String("t"))
        sendTerminator_ = static_cast<std::uint8_t>(character);
    else if (kind == QLatin1String("l"))
        receiveTerminator_ = static_cast<std::uint8_t>(character);
    return 0;
}

int LanModule::ClearReceiveBuffer(const QString& id)
{
    // Only the count is forgotten; bytes the socket still holds come with the next arrival.
    const int index = indexOf(id);
    if (index >= 0)
        connections_[static_cast<std::size_t>(index)].pendingBytes = 0;
    return 0;
}

int LanModule::Query(const QString& id, const QString& command)
{
    ReplyText.clear();
    SendCommand(id, command);
    LinkResult = ReceiveResponse(id, ReplyText);
    return LinkResult;
}

int LanModule::DiscardReceived(const QString& id)
{
    const int index = indexOf(id);
    if (index >= 0) {
        Connection& c = connections_[static_cast<std::size_t>(index)];
        discardHeld(c.socket);
        c.pendingBytes = 0;
    }
    return 0;
}

int LanModule::ClearAllReceiveBuffers()
{
    for (Connection& c : connections_)
        c.pendingBytes = 0;
    return 0;
}

int LanModule::CloseLink(const QString& id)
{
    const int index = indexOf(id);
    if (index < 0)
        return 0;
    Connection& c = connections_[static_cast<std::size_t>(index)];
    if (c.socket != nullptr &&
        (c.socket->state() != QAbstractSocket::UnconnectedState || c.socket->isOpen())) {
        c.socket->close();
        c.pendingBytes = 0; // closing drops what the socket held
    }
    return 0;
}

} // namespace hs
