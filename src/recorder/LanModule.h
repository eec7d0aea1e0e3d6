#pragma once

#include "common/Clock.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>

class QTcpSocket;

namespace hs {

// The recorder connections (two at most) in the manner of an instrument-bus library: a
// connection is named by its identifier text ("0" or "1"), every operation returns a status
// number (0 success, 3 time-out) that callers store in LinkResult. Nothing else touches the
// sockets. Every wait runs the event loop through the Clock and blocks for the next event.
class LanModule : public QObject {
    Q_OBJECT
public:
    static constexpr int kBlockBufferSize = 405; // positions 0..404; a block uses 1..n

    explicit LanModule(Clock& clock, QObject* parent = nullptr);
    ~LanModule() override;

    Clock& clock() const { return clock_; }

    // --- Opening connections (used by the connection set-up) ---
    // Sets the remote address and port of connection index (0 or 1) and starts connecting;
    // LinkConnected(index) becomes true when the connection is established.
    void connectToRecorder(int index, const QString& host, quint16 port);
    bool LinkConnected(int index) const;
    int PendingBytes(int index) const;
    // Whether connection index is open now: established and neither closed by the recorder
    // nor lost since (LinkConnected stays true once a connection was made).
    bool LinkUp(int index) const;
    // Starts a new connection of index to the address and port of its last connectToRecorder
    // (a link lost during a measurement); false when the connection was never set up.
    bool reconnectRecorder(int index);

    // --- The link timer (one-shot) ---
    void startLinkTimer();
    bool linkTimerRunning() const;
    int linkTimerPeriodMs() const; // nominal period

    // The terminators in force (line feed until SetTerminator changes them).
    QChar sendTerminator() const { return QChar(static_cast<char16_t>(sendTerminator_)); }
    QChar receiveTerminator() const { return QChar(static_cast<char16_t>(receiveTerminator_)); }

    // --- Operations ---
    int SendCommand(const QString& id, const QString& text);
    // A query as every caller makes it: ReplyText emptied, the command sent, the reply received
    // into ReplyText (empty after a time-out). The result (0 or 3) is also left in LinkResult.
    int Query(const QString& id, const QString& command);
    int ReceiveResponse(const QString& id, QString& reply);
    int ReceiveBinaryBlock(const QString& id, int count);
    int ReceivedByteCount() const;
    int SetReplyTimeout(int n);
    void WaitSeconds(int n);
    int SetTerminator(const QString& kind, int code);
    int ClearReceiveBuffer(const QString& id);
    int ClearAllReceiveBuffers();
    // Drops every byte the connection holds unread (ClearReceiveBuffer only forgets the
    // count). Used after a failed block, whose remains would otherwise be taken as the start
    // of the block asked for again.
    int DiscardReceived(const QString& id);
    int CloseLink(const QString& id);

    const std::array<std::uint8_t, kBlockBufferSize>& BlockBuffer() const { return blockBuffer_; }

    // Global link status and reply text, as the callers use them.
    int LinkResult = 0;
    QString ReplyText;
    std::array<QString, 2> InstrumentId{QStringLiteral("0"), QStringLiteral("1")};

private:
    Clock& clock_;
    struct Connection {
        QTcpSocket* socket = nullptr; // created by connectToRecorder, owned by this object
        bool linkConnected = false;
        int pendingBytes = 0;
        QString host; // of the last connectToRecorder
        quint16 port = 0;
    };

    // A wait on a connection that is closed and holds nothing more can only end by time-out:
    // it ends at once instead.
    static bool lostAndEmpty(const Connection& c);

    // Connection index of an identifier text, or -1 when it does not read as 0 or 1.
    static int indexOf(const QString& id);
    void onDataArrival(int index);
    // Reads and throws away everything the socket holds (in whole chunks).
    static void discardHeld(QTcpSocket* socket);

    std::array<Connection, 2> connections_{};
    QTimer linkTimer_;
    int linkPeriodMs_ = 1500;
    std::uint8_t sendTerminator_ = '\n';
    std::uint8_t receiveTerminator_ = '\n';
    std::array<std::uint8_t, kBlockBufferSize> blockBuffer_{};
    std::int16_t lastBlockByteCount_ = 0;
};

} // namespace hs
