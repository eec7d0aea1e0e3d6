#pragma once

#include "common/Clock.h"
#include "recorder/Transport.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>

class QTcpSocket;

namespace hs {

// The TCP link to the recorders (two at most, index 0 and 1). Nothing else touches the sockets.
// Every wait runs the event loop through the Clock and blocks for the next event.
class LanModule : public QObject, public Transport {
    Q_OBJECT
public:
    static constexpr int kBlockBufferSize = 405; // positions 0..404; a block uses 1..n

    explicit LanModule(Clock& clock, QObject* parent = nullptr);
    ~LanModule() override;

    const Clock& clock() const override { return clock_; }

    // --- Opening connections ---
    LinkStatus open(int r, const QString& host, quint16 port) override;
    bool reopen(int r) override;
    // Established and neither closed by the recorder nor lost since.
    bool isOpen(int r) const override;
    void close(int r) override;
    // Sets the remote address and port of connection r and starts connecting without waiting;
    // LinkConnected(r) becomes true when the connection is established.
    void connectToRecorder(int r, const QString& host, quint16 port);
    // Whether connection r was established since its last connectToRecorder (stays true when
    // the connection is lost later).
    bool LinkConnected(int r) const;
    int PendingBytes(int r) const;

    // --- The link timer (one-shot) ---
    void startLinkTimer();
    bool linkTimerRunning() const;
    int linkTimerPeriodMs() const; // nominal period

    // The terminators in force (line feed until setTerminators changes them).
    QChar sendTerminator() const { return QChar(static_cast<char16_t>(sendTerminator_)); }
    QChar receiveTerminator() const { return QChar(static_cast<char16_t>(receiveTerminator_)); }

    // --- Exchanges ---
    LinkStatus send(int r, const QString& line) override;
    LinkReply<QString> receiveLine(int r) override;
    LinkReply<std::span<const std::uint8_t>> receiveBlock(int r, int bytes) override;
    void clearReceived(int r) override;
    void clearAllReceived() override;
    // Drops every byte the connection holds unread (clearReceived only forgets the count). Used
    // after a failed block, whose remains would otherwise be taken as the start of the block
    // asked for again.
    void discardReceived(int r) override;
    void setReplyTimeout(int n) override;
    void setTerminators(int receiveCode, int sendCode) override;
    void waitSeconds(int n) override;

private:
    Clock& clock_;
    struct Connection {
        QTcpSocket* socket = nullptr; // created by connectToRecorder, owned by this object
        bool linkConnected = false;
        int pendingBytes = 0;
        QString host; // of the last connectToRecorder
        quint16 port = 0;
    };

    // The connection of index r, or null when r is neither 0 nor 1 (a caller's fault that must
    // not reach the sockets).
    Connection* connection(int r);
    const Connection* connection(int r) const;
    // A wait on a connection that is closed and holds nothing more can only end by time-out:
    // it ends at once instead.
    static bool lostAndEmpty(const Connection& c);
    // Why a connection takes or gives nothing: refused or closed.
    static LinkErrorKind lossKind(const Connection* c);
    void onDataArrival(int r);
    // Reads and throws away everything the socket holds (in whole chunks).
    static void discardHeld(QTcpSocket* socket);
    static std::uint8_t terminatorOf(int code, std::uint8_t current);

    std::array<Connection, 2> connections_{};
    QTimer linkTimer_;
    int linkPeriodMs_ = 1500;
    std::uint8_t sendTerminator_ = '\n';
    std::uint8_t receiveTerminator_ = '\n';
    std::array<std::uint8_t, kBlockBufferSize> blockBuffer_{};
};

} // namespace hs
