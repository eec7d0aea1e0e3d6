#include "recorder/LanModule.h"

#include <QByteArray>
#include <QLatin1String>
#include <QTcpSocket>

#include <algorithm>
#include <climits>

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

int clampToInt(qint64 n)
{
    return static_cast<int>(std::clamp<qint64>(n, 0, INT_MAX));
}

} // namespace

LanModule::LanModule(Clock& clock, QObject* parent) : QObject(parent), clock_(clock)
{
    linkTimer_.setSingleShot(true);
    linkTimer_.setTimerType(Qt::PreciseTimer);
}

LanModule::~LanModule() = default;

LanModule::Connection* LanModule::connection(int r)
{
    return r == 0 || r == 1 ? &connections_[static_cast<std::size_t>(r)] : nullptr;
}

const LanModule::Connection* LanModule::connection(int r) const
{
    return r == 0 || r == 1 ? &connections_[static_cast<std::size_t>(r)] : nullptr;
}

void LanModule::connectToRecorder(int r, const QString& host, quint16 port)
{
    Connection* c = connection(r);
    if (c == nullptr)
        return;
    if (c->socket == nullptr) {
        c->socket = new QTcpSocket(this);
        connect(c->socket, &QTcpSocket::connected, this, [this, r] {
            Connection& opened = connections_[static_cast<std::size_t>(r)];
            // Command lines go out the moment they are sent: without this a short command that
            // follows one without a reply waits for the recorder's delayed acknowledgement,
            // which stretches the prescribed pauses between commands.
            opened.socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            opened.linkConnected = true;
        });
        connect(c->socket, &QTcpSocket::readyRead, this, [this, r] { onDataArrival(r); });
    } else if (c->socket->state() != QAbstractSocket::UnconnectedState || c->socket->isOpen()) {
        // A repeated set-up starts from a fresh connection.
        c->socket->abort();
    }
    // A new attempt is a new connection: whether an earlier one was established says nothing
    // about this one (a retry may point at a different, unreachable address).
    c->linkConnected = false;
    c->pendingBytes = 0;
    c->host = host;
    c->port = port;
    c->socket->connectToHost(host, port);
}

LinkStatus LanModule::open(int r, const QString& host, quint16 port)
{
    connectToRecorder(r, host, port);
    startLinkTimer();
    // The link timer ends the wait; the extra bound only guards against a timer that never
    // ticks.
    clock_.waitUntil([&] { return LinkConnected(r) || !linkTimerRunning(); },
                     linkTimerPeriodMs() + 1000);
    if (LinkConnected(r))
        return {};
    const Connection* c = connection(r);
    const bool refused =
        c == nullptr || c->socket->error() == QAbstractSocket::ConnectionRefusedError;
    return fail(linkError(refused ? LinkErrorKind::Refused : LinkErrorKind::Timeout));
}

bool LanModule::reopen(int r)
{
    const Connection* c = connection(r);
    if (c == nullptr || c->socket == nullptr || c->port == 0)
        return false;
    const QString host = c->host;
    const quint16 port = c->port;
    connectToRecorder(r, host, port);
    return true;
}

bool LanModule::isOpen(int r) const
{
    const Connection* c = connection(r);
    return c != nullptr && c->linkConnected && c->socket != nullptr &&
           c->socket->state() == QAbstractSocket::ConnectedState;
}

bool LanModule::lostAndEmpty(const Connection& c)
{
    if (c.socket == nullptr)
        return true;
    return c.socket->state() != QAbstractSocket::ConnectedState && c.socket->bytesAvailable() == 0;
}

LinkErrorKind LanModule::lossKind(const Connection* c)
{
    if (c != nullptr && c->socket != nullptr &&
        c->socket->error() == QAbstractSocket::ConnectionRefusedError)
        return LinkErrorKind::Refused;
    return LinkErrorKind::Closed;
}

void LanModule::onDataArrival(int r)
{
    Connection& c = connections_[static_cast<std::size_t>(r)];
    // The total the socket holds, not the size of this arrival.
    c.pendingBytes = clampToInt(c.socket->bytesAvailable());
}

bool LanModule::LinkConnected(int r) const
{
    const Connection* c = connection(r);
    return c != nullptr && c->linkConnected;
}

int LanModule::PendingBytes(int r) const
{
    const Connection* c = connection(r);
    return c != nullptr ? c->pendingBytes : 0;
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

LinkStatus LanModule::send(int r, const QString& line)
{
    Connection* c = connection(r);
    QByteArray bytes = line.toLatin1();
    bytes.append(static_cast<char>(sendTerminator_));
    // A connection still being made takes nothing (the line would go out when it opens); a
    // socket the recorder closed while replies were still held refuses the write.
    const bool writable = c != nullptr && c->socket != nullptr && c->socket->isOpen() &&
                          (c->socket->state() == QAbstractSocket::ConnectedState ||
                           c->socket->state() == QAbstractSocket::UnconnectedState);
    // Read before the write, which overwrites the socket's error.
    const LinkErrorKind loss = lossKind(c);
    const qint64 written = writable ? c->socket->write(bytes) : -1;
    Clock::pumpEvents();
    if (written != bytes.size())
        return fail(linkError(loss));
    return {};
}

LinkReply<QString> LanModule::receiveLine(int r)
{
    Connection* c = connection(r);
    if (c == nullptr)
        return fail(linkError(LinkErrorKind::Closed));
    QString reply;
    const QChar terminator = receiveTerminator();
    startLinkTimer();
    for (;;) {
        if (c->pendingBytes > 0) {
            if (c->socket != nullptr) {
                char chunk[kReadChunk];
                qint64 got = 0;
                while ((got = c->socket->read(chunk, kReadChunk)) > 0)
                    reply.append(QLatin1String(chunk, static_cast<qsizetype>(got)));
            }
            c->pendingBytes = 0;
        }
        if (!reply.isEmpty() && reply.back() == terminator) {
            linkTimer_.stop();
            return reply;
        }
        const bool lost = lostAndEmpty(*c);
        if (!linkTimer_.isActive() || lost) {
            c->pendingBytes = 0;
            linkTimer_.stop();
            return fail(linkError(lost ? lossKind(c) : LinkErrorKind::Timeout));
        }
        Clock::waitForEvents();
    }
}

LinkReply<std::span<const std::uint8_t>> LanModule::receiveBlock(int r, int bytes)
{
    Connection* c = connection(r);
    if (c == nullptr)
        return fail(linkError(LinkErrorKind::Closed));
    int timeouts = 0;
    startLinkTimer();
    for (;;) {
        // More than a block can hold will never become a good block: decide at once.
        if (c->pendingBytes >= bytes || c->pendingBytes > kMaxBlockBytes) {
            const qint64 held = c->socket != nullptr ? c->socket->bytesAvailable() : 0;
            if (held > kMaxBlockBytes) {
                // Bounded: nothing is written to the block buffer, the whole reply is thrown
                // away so that it cannot spoil the next one.
                discardHeld(c->socket);
                c->pendingBytes = 0;
                linkTimer_.stop();
                return fail(linkError(LinkErrorKind::Oversize, clampToInt(held)));
            }
            if (held >= bytes) {
                qint64 got = 0;
                if (held > 0)
                    got = c->socket->read(reinterpret_cast<char*>(blockBuffer_.data() + 1), held);
                c->pendingBytes = 0;
                return std::span<const std::uint8_t>(
                    blockBuffer_.data(), static_cast<std::size_t>(1 + std::max<qint64>(got, 0)));
            }
            // The socket lost what was announced (closed under the wait): keep waiting.
            c->pendingBytes = static_cast<int>(held);
        }
        if (lostAndEmpty(*c)) {
            // Nothing more can come: the connection is gone.
            const int received = c->pendingBytes;
            c->pendingBytes = 0;
            linkTimer_.stop();
            return fail(linkError(lossKind(c), received));
        }
        if (!linkTimer_.isActive()) {
            const int received = c->pendingBytes;
            c->pendingBytes = 0;
            if (++timeouts == kBlockTimeoutsBeforeFailure)
                return fail(linkError(LinkErrorKind::Timeout, received));
            startLinkTimer();
            continue;
        }
        Clock::waitForEvents();
    }
}

void LanModule::setReplyTimeout(int n)
{
    linkPeriodMs_ = periodFromSeconds(static_cast<qint64>(n) + 5);
}

void LanModule::waitSeconds(int n)
{
    const int previous = linkPeriodMs_;
    linkPeriodMs_ = periodFromSeconds(static_cast<qint64>(n) + 1);
    startLinkTimer();
    while (linkTimer_.isActive())
        Clock::waitForEvents();
    linkPeriodMs_ = previous;
}

std::uint8_t LanModule::terminatorOf(int code, std::uint8_t current)
{
    // Remainder with the sign of the code; a negative remainder names no character.
    const int character = code % 128;
    return character < 0 ? current : static_cast<std::uint8_t>(character);
}

void LanModule::setTerminators(int receiveCode, int sendCode)
{
    receiveTerminator_ = terminatorOf(receiveCode, receiveTerminator_);
    sendTerminator_ = terminatorOf(sendCode, sendTerminator_);
}

void LanModule::clearReceived(int r)
{
    // Only the count is forgotten; bytes the socket still holds come with the next arrival.
    if (Connection* c = connection(r))
        c->pendingBytes = 0;
}

void LanModule::discardReceived(int r)
{
    if (Connection* c = connection(r)) {
        discardHeld(c->socket);
        c->pendingBytes = 0;
    }
}

void LanModule::clearAllReceived()
{
    for (Connection& c : connections_)
        c.pendingBytes = 0;
}

void LanModule::close(int r)
{
    Connection* c = connection(r);
    if (c == nullptr)
        return;
    if (c->socket != nullptr &&
        (c->socket->state() != QAbstractSocket::UnconnectedState || c->socket->isOpen())) {
        c->socket->close();
        c->pendingBytes = 0; // closing drops what the socket held
    }
}

} // namespace hs
