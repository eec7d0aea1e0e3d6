#include "recorder/LanModule.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstring>

namespace hs {
namespace {

// A recorder stand-in on a loopback port: it records what it is sent and writes scripted bytes,
// at once or after a real-time delay.
class ScriptedPeer {
public:
    ScriptedPeer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            conn = server.nextPendingConnection();
            QObject::connect(conn, &QTcpSocket::readyRead, [this] { received += conn->readAll(); });
        });
    }
    quint16 port() const { return server.serverPort(); }
    void send(const QByteArray& bytes)
    {
        conn->write(bytes);
        conn->flush();
    }
    void sendAfter(int realMs, const QByteArray& bytes)
    {
        QTimer::singleShot(realMs, conn, [this, bytes] { send(bytes); });
    }

    QTcpServer server;
    QTcpSocket* conn = nullptr;
    QByteArray received;
};

QByteArray pattern(int n)
{
    QByteArray bytes(n, '\0');
    for (int i = 0; i < n; ++i)
        bytes[i] = static_cast<char>((i * 7 + 3) % 251);
    return bytes;
}

class LanModuleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer.server.isListening());
        EXPECT_FALSE(lan.LinkConnected(0));
        lan.connectToRecorder(0, QStringLiteral("127.0.0.1"), peer.port());
        ASSERT_TRUE(clock.waitUntil([this] { return lan.LinkConnected(0) && peer.conn; }, 200000));
    }
    // Waits (real time, generous) until connection 0 announces n bytes.
    void awaitPending(int n)
    {
        ASSERT_TRUE(clock.waitUntil([this, n] { return lan.PendingBytes(0) == n; }, 200000))
            << "pending " << lan.PendingBytes(0) << " of " << n;
    }
    // Real milliseconds of a nominal period at the test's time scale.
    qint64 real(qint64 nominalMs) const { return clock.realMs(nominalMs); }

    Clock clock{0.01};
    LanModule lan{clock};
    ScriptedPeer peer;
};

TEST_F(LanModuleTest, SendsOneLineAndJoinsAReplySplitAcrossSegments)
{
    lan.SetReplyTimeout(30); // 35 s nominal, 350 ms real
    EXPECT_EQ(lan.SendCommand(QStringLiteral("0"), QStringLiteral("*IDN?")), 0);
    ASSERT_TRUE(clock.waitUntil([this] { return peer.received.size() >= 6; }, 100000));
    EXPECT_EQ(peer.received, QByteArray("*IDN?\n"));

    peer.send("HIOKI,");
    peer.sendAfter(30, "8841,V1.0\n");
    QString reply = QStringLiteral("left over");
    EXPECT_EQ(lan.ReceiveResponse(QStringLiteral("0"), reply), 0);
    EXPECT_EQ(reply, QStringLiteral("HIOKI,8841,V1.0\n"));
    EXPECT_EQ(lan.PendingBytes(0), 0);
    EXPECT_FALSE(lan.linkTimerRunning());
}

TEST_F(LanModuleTest, TwoQueuedRepliesComeBackJoined)
{
    lan.SetReplyTimeout(30);
    peer.send("12\n");
    peer.send("34\n");
    awaitPending(6);
    QString reply;
    EXPECT_EQ(lan.ReceiveResponse(QStringLiteral("0"), reply), 0);
    EXPECT_EQ(reply, QStringLiteral("12\n34\n"));
}

TEST_F(LanModuleTest, UnterminatedReplyTimesOutAfterOnePeriodWithEmptyReply)
{
    lan.SetReplyTimeout(1); // 6 s nominal
    EXPECT_EQ(lan.linkTimerPeriodMs(), 6000);
    EXPECT_FALSE(lan.linkTimerRunning()); // setting the period does not start the timer
    peer.send("123");
    QString reply;
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_EQ(lan.ReceiveResponse(QStringLiteral("0"), reply), 3);
    EXPECT_GE(elapsed.elapsed(), real(6000) - 2);
    EXPECT_LT(elapsed.elapsed(), real(6000) + 1000);
    EXPECT_TRUE(reply.isEmpty());
    EXPECT_EQ(lan.PendingBytes(0), 0);
}

TEST_F(LanModuleTest, BlockTakesAllPendingBytesAlsoWhenSplit)
{
    lan.SetReplyTimeout(30);
    const QByteArray block = pattern(300);
    peer.send(block);
    awaitPending(300);
    EXPECT_EQ(lan.ReceiveBinaryBlock(QStringLiteral("0"), 253), 0);
    EXPECT_EQ(lan.ReceivedByteCount(), 300);
    EXPECT_EQ(lan.PendingBytes(0), 0);
    EXPECT_EQ(lan.BlockBuffer()[0], 0); // position 0 is never written
    for (int k = 0; k < 300; ++k)
        ASSERT_EQ(lan.BlockBuffer()[static_cast<std::size_t>(k + 1)],
                  static_cast<std::uint8_t>(block[k]))
            << k;

    // A 403-byte block arriving in two pieces is assembled before it is taken.
    const QByteArray big = pattern(403);
    peer.send(big.left(150));
    peer.sendAfter(30, big.mid(150));
    EXPECT_EQ(lan.ReceiveBinaryBlock(QStringLiteral("0"), 403), 0);
    EXPECT_EQ(lan.ReceivedByteCount(), 403);
    EXPECT_EQ(lan.BlockBuffer()[403], static_cast<std::uint8_t>(big[402]));
}

TEST_F(LanModuleTest, ShortBlockFailsAfterThreePeriodsAndCountsNothing)
{
    lan.SetReplyTimeout(1); // 6 s nominal per period
    peer.send(pattern(100));
    awaitPending(100);
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_EQ(lan.ReceiveBinaryBlock(QStringLiteral("0"), 253), 3);
    EXPECT_GE(elapsed.elapsed(), 3 * real(6000) - 3);
    EXPECT_LT(elapsed.elapsed(), 3 * real(6000) + 1000);
    // The 100 bytes were counted and forgotten at the first time-out; nothing raised it again.
    EXPECT_EQ(lan.ReceivedByteCount(), 0);
    EXPECT_EQ(lan.PendingBytes(0), 0);
}

TEST_F(LanModuleTest, OversizedBlockFailsWithoutLeavingBytesForTheNextReply)
{
    lan.SetReplyTimeout(30);
    peer.send(pattern(500));
    awaitPending(500);
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_EQ(lan.ReceiveBinaryBlock(QStringLiteral("0"), 403), 3);
    EXPECT_LT(elapsed.elapsed(), real(35000)); // decided at once, not by time-out
    EXPECT_EQ(lan.ReceivedByteCount(), 500);
    EXPECT_EQ(lan.PendingBytes(0), 0);

    peer.sendAfter(10, "OK\n");
    QString reply;
    EXPECT_EQ(lan.ReceiveResponse(QStringLiteral("0"), reply), 0);
    EXPECT_EQ(reply, QStringLiteral("OK\n"));

    // A block asked for with a count the buffer cannot hold is bounded the same way.
    peer.send(pattern(420));
    EXPECT_EQ(lan.ReceiveBinaryBlock(QStringLiteral("0"), 1000), 3);
    EXPECT_EQ(lan.ReceivedByteCount(), 420);
    peer.send(pattern(253));
    EXPECT_EQ(lan.ReceiveBinaryBlock(QStringLiteral("0"), 253), 0);
    EXPECT_EQ(lan.ReceivedByteCount(), 253);
    EXPECT_EQ(lan.BlockBuffer()[1], static_cast<std::uint8_t>(pattern(1)[0]));
}

TEST_F(LanModuleTest, ClearingKeepsQueuedBytesInFrontOfTheNextReply)
{
    lan.SetReplyTimeout(1);
    peer.send("OLD\n");
    awaitPending(4);
    EXPECT_EQ(lan.ClearReceiveBuffer(QStringLiteral("0")), 0);
    EXPECT_EQ(lan.PendingBytes(0), 0);

    // Without a new arrival the stale bytes are not seen: the wait times out.
    QString reply;
    EXPECT_EQ(lan.ReceiveResponse(QStringLiteral("0"), reply), 3);

    // The next arrival announces the socket's total, stale bytes included, and both are read.
    peer.send("NEW\n");
    awaitPending(8);
    lan.SetReplyTimeout(30);
    EXPECT_EQ(lan.ReceiveResponse(QStringLiteral("0"), reply), 0);
    EXPECT_EQ(reply, QStringLiteral("OLD\nNEW\n"));

    peer.send("X\n");
    awaitPending(2);
    EXPECT_EQ(lan.ClearAllReceiveBuffers(), 0);
    EXPECT_EQ(lan.PendingBytes(0), 0);
}

TEST_F(LanModuleTest, DiscardReceivedDropsWhatTheSocketHolds)
{
    lan.SetReplyTimeout(30);
    peer.send(pattern(100)); // the remains of a block cut short
    awaitPending(100);
    EXPECT_EQ(lan.DiscardReceived(QStringLiteral("0")), 0);
    EXPECT_EQ(lan.PendingBytes(0), 0);
    const QByteArray block = pattern(253);
    peer.send(block);
    EXPECT_EQ(lan.ReceiveBinaryBlock(QStringLiteral("0"), 253), 0);
    EXPECT_EQ(lan.ReceivedByteCount(), 253);
    EXPECT_EQ(std::memcmp(lan.BlockBuffer().data() + 1, block.constData(), 253), 0);
}

TEST_F(LanModuleTest, WaitSecondsLastsOneSecondMoreAndRestoresThePeriod)
{
    EXPECT_EQ(lan.linkTimerPeriodMs(), 1500); // design period before any set-up
    lan.SetReplyTimeout(2);
    for (int n : {0, 3}) {
        QElapsedTimer elapsed;
        elapsed.start();
        lan.WaitSeconds(n);
        EXPECT_GE(elapsed.elapsed(), real((n + 1) * 1000) - 2) << n;
        EXPECT_LT(elapsed.elapsed(), real((n + 1) * 1000) + 500) << n;
        EXPECT_EQ(lan.linkTimerPeriodMs(), 7000);
        EXPECT_FALSE(lan.linkTimerRunning());
    }
}

TEST_F(LanModuleTest, TerminatorCodesAreTakenModulo128)
{
    EXPECT_EQ(lan.SetTerminator(QStringLiteral("t"), 141), 0); // 141 % 128 = 13
    EXPECT_EQ(lan.sendTerminator(), QChar(13));
    EXPECT_EQ(lan.receiveTerminator(), QChar(10));
    lan.SendCommand(QStringLiteral("0"), QStringLiteral("*CLS"));
    ASSERT_TRUE(clock.waitUntil([this] { return peer.received.size() >= 5; }, 100000));
    EXPECT_EQ(peer.received, QByteArray("*CLS\r"));

    lan.SetTerminator(QStringLiteral("l"), 13);
    lan.SetReplyTimeout(30);
    peer.send("A\nB\r");
    QString reply;
    EXPECT_EQ(lan.ReceiveResponse(QStringLiteral("0"), reply), 0);
    EXPECT_EQ(reply, QStringLiteral("A\nB\r"));

    lan.SetTerminator(QStringLiteral("l"), 138);
    lan.SetTerminator(QStringLiteral("t"), 138);
    EXPECT_EQ(lan.receiveTerminator(), QChar(10));
    EXPECT_EQ(lan.sendTerminator(), QChar(10));
    lan.SetTerminator(QStringLiteral("x"), 13);  // unknown kind
    lan.SetTerminator(QStringLiteral("l"), -10); // negative remainder: no character
    EXPECT_EQ(lan.receiveTerminator(), QChar(10));
    EXPECT_EQ(lan.sendTerminator(), QChar(10));
}

// A wait on a connection that is closed, or was never opened, fails at once: nothing can come
// on it (a recorder lost during a measurement is noticed within one wait, not after time-outs).
TEST_F(LanModuleTest, ClosedOrMissingConnectionsFailAtOnce)
{
    lan.SetReplyTimeout(0); // 5 s nominal
    QString reply;
    // Connection 1 was never opened.
    EXPECT_FALSE(lan.LinkConnected(1));
    EXPECT_EQ(lan.SendCommand(QStringLiteral("1"), QStringLiteral("*IDN?")), 0);
    EXPECT_EQ(lan.ReceiveResponse(QStringLiteral("1"), reply), 3);
    EXPECT_EQ(lan.CloseLink(QStringLiteral("1")), 0);

    EXPECT_EQ(lan.CloseLink(QStringLiteral("0")), 0);
    EXPECT_EQ(lan.CloseLink(QStringLiteral("0")), 0); // already closed: nothing happens
    EXPECT_TRUE(lan.LinkConnected(0));                // never cleared
    EXPECT_FALSE(lan.LinkUp(0));
    EXPECT_EQ(lan.SendCommand(QStringLiteral("0"), QStringLiteral("*IDN?")), 0);
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_EQ(lan.ReceiveResponse(QStringLiteral("0"), reply), 3);
    EXPECT_TRUE(reply.isEmpty());
    EXPECT_EQ(lan.ReceiveBinaryBlock(QStringLiteral("0"), 253), 3);
    EXPECT_LT(elapsed.elapsed(), real(5000));
    clock.waitMs(1000);
    EXPECT_TRUE(peer.received.isEmpty());
}

// The recorder closes the connection while a reply is awaited: what it sent before closing is
// still taken, then the next wait fails at once; the link opens again on the same address.
TEST_F(LanModuleTest, ALinkClosedByTheRecorderIsSeenAndOpensAgain)
{
    lan.SetReplyTimeout(30); // 35 s nominal, 350 ms real
    EXPECT_TRUE(lan.LinkUp(0));
    peer.sendAfter(5, QByteArray("8841\n"));
    QTimer::singleShot(20, peer.conn, [this] { peer.conn->disconnectFromHost(); });
    QString reply;
    EXPECT_EQ(lan.ReceiveResponse(QStringLiteral("0"), reply), 0);
    EXPECT_EQ(reply, QStringLiteral("8841\n"));
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_EQ(lan.ReceiveResponse(QStringLiteral("0"), reply), 3);
    EXPECT_LT(elapsed.elapsed(), real(35000) / 2);
    EXPECT_FALSE(lan.LinkUp(0));
    EXPECT_TRUE(lan.LinkConnected(0)); // it was made once

    peer.conn = nullptr;
    ASSERT_TRUE(lan.reconnectRecorder(0));
    ASSERT_TRUE(clock.waitUntil([this] { return lan.LinkUp(0) && peer.conn; }, 200000));
    lan.SendCommand(QStringLiteral("0"), QStringLiteral("*IDN?"));
    ASSERT_TRUE(clock.waitUntil([this] { return peer.received.endsWith("*IDN?\n"); }, 100000));
    EXPECT_FALSE(lan.reconnectRecorder(1)); // never set up
}

TEST_F(LanModuleTest, ANewAttemptIsNotConnectedUntilItsOwnConnectionIsEstablished)
{
    // A set-up retried against an address where nothing listens must not find the earlier
    // connection's flag still set.
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const quint16 deadPort = closed.serverPort();
    closed.close();
    lan.connectToRecorder(0, QStringLiteral("127.0.0.1"), deadPort);
    EXPECT_FALSE(lan.LinkConnected(0));
    clock.waitMs(1000);
    EXPECT_FALSE(lan.LinkConnected(0));
    lan.connectToRecorder(0, QStringLiteral("127.0.0.1"), peer.port());
    EXPECT_TRUE(clock.waitUntil([this] { return lan.LinkConnected(0); }, 200000));
}

TEST_F(LanModuleTest, IdentifiersAreRoundedAndOthersRefused)
{
    lan.SetReplyTimeout(30);
    peer.send("7\n");
    awaitPending(2);
    QString reply;
    EXPECT_EQ(lan.ReceiveResponse(QStringLiteral(" 0.4 "), reply), 0); // reads as 0
    EXPECT_EQ(reply, QStringLiteral("7\n"));

    for (const QString& id : {QStringLiteral("2"), QStringLiteral("-1"), QStringLiteral("1.5"),
                              QStringLiteral("abc"), QString()}) {
        QElapsedTimer elapsed;
        elapsed.start();
        reply = QStringLiteral("x");
        EXPECT_EQ(lan.SendCommand(id, QStringLiteral("*RST")), 0) << id.toStdString();
        EXPECT_EQ(lan.ReceiveResponse(id, reply), 3);
        EXPECT_TRUE(reply.isEmpty());
        EXPECT_EQ(lan.ReceiveBinaryBlock(id, 253), 3);
        EXPECT_EQ(lan.ClearReceiveBuffer(id), 0);
        EXPECT_EQ(lan.CloseLink(id), 0);
        EXPECT_LT(elapsed.elapsed(), real(35000)); // refused at once
    }
    clock.waitMs(1000);
    EXPECT_TRUE(peer.received.isEmpty());
    EXPECT_TRUE(lan.LinkConnected(0));
}

} // namespace
} // namespace hs
