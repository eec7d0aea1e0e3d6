#include "recorder/LanModule.h"
#include "support/ScriptedPeer.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstring>

namespace hs {
namespace {

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
    lan.setReplyTimeout(30); // 35 s nominal, 350 ms real
    EXPECT_TRUE(lan.send(0, QStringLiteral("*IDN?")).ok());
    ASSERT_TRUE(clock.waitUntil([this] { return peer.received.size() >= 6; }, 100000));
    EXPECT_EQ(peer.received, QByteArray("*IDN?\n"));

    peer.send("HIOKI,");
    peer.sendAfter(30, "8841,V1.0\n");
    const LinkReply<QString> reply = lan.receiveLine(0);
    ASSERT_TRUE(reply.ok());
    EXPECT_EQ(*reply, QStringLiteral("HIOKI,8841,V1.0\n"));
    EXPECT_EQ(lan.PendingBytes(0), 0);
    EXPECT_FALSE(lan.linkTimerRunning());

    // Two queued replies come back joined.
    peer.send("12\n");
    peer.send("34\n");
    awaitPending(6);
    EXPECT_EQ(lan.receiveLine(0).valueOr(QString()), QStringLiteral("12\n34\n"));
}

TEST_F(LanModuleTest, UnterminatedReplyTimesOutAfterOnePeriod)
{
    lan.setReplyTimeout(1); // 6 s nominal
    EXPECT_EQ(lan.linkTimerPeriodMs(), 6000);
    EXPECT_FALSE(lan.linkTimerRunning()); // setting the period does not start the timer
    peer.send("123");
    QElapsedTimer elapsed;
    elapsed.start();
    const LinkReply<QString> reply = lan.receiveLine(0);
    ASSERT_FALSE(reply.ok());
    EXPECT_EQ(reply.error().kind, LinkErrorKind::Timeout);
    EXPECT_FALSE(reply.error().text.isEmpty());
    EXPECT_GE(elapsed.elapsed(), real(6000) - 2);
    EXPECT_LT(elapsed.elapsed(), real(6000) + 1000);
    EXPECT_EQ(lan.PendingBytes(0), 0);
}

TEST_F(LanModuleTest, BlockTakesAllPendingBytesAlsoWhenSplit)
{
    lan.setReplyTimeout(30);
    const QByteArray block = pattern(300);
    peer.send(block);
    awaitPending(300);
    const auto first = lan.receiveBlock(0, 253);
    ASSERT_TRUE(first.ok());
    ASSERT_EQ(first->size(), 301u);
    EXPECT_EQ(lan.PendingBytes(0), 0);
    EXPECT_EQ((*first)[0], 0); // position 0 is never written
    for (int k = 0; k < 300; ++k)
        ASSERT_EQ((*first)[static_cast<std::size_t>(k + 1)], static_cast<std::uint8_t>(block[k]))
            << k;

    // A 403-byte block arriving in two pieces is assembled before it is taken.
    const QByteArray big = pattern(403);
    peer.send(big.left(150));
    peer.sendAfter(30, big.mid(150));
    const auto second = lan.receiveBlock(0, 403);
    ASSERT_TRUE(second.ok());
    ASSERT_EQ(second->size(), 404u);
    EXPECT_EQ((*second)[403], static_cast<std::uint8_t>(big[402]));
}

TEST_F(LanModuleTest, ShortBlockTimesOutAfterThreePeriodsAndCountsNothing)
{
    lan.setReplyTimeout(1); // 6 s nominal per period
    peer.send(pattern(100));
    awaitPending(100);
    QElapsedTimer elapsed;
    elapsed.start();
    const auto block = lan.receiveBlock(0, 253);
    ASSERT_FALSE(block.ok());
    EXPECT_EQ(block.error().kind, LinkErrorKind::Timeout);
    EXPECT_GE(elapsed.elapsed(), 3 * real(6000) - 3);
    EXPECT_LT(elapsed.elapsed(), 3 * real(6000) + 1000);
    // The 100 bytes were counted and forgotten at the first time-out; nothing raised it again.
    EXPECT_EQ(block.error().received, 0);
    EXPECT_EQ(lan.PendingBytes(0), 0);
}

TEST_F(LanModuleTest, OversizedBlockFailsWithoutLeavingBytesForTheNextReply)
{
    lan.setReplyTimeout(30);
    peer.send(pattern(500));
    awaitPending(500);
    QElapsedTimer elapsed;
    elapsed.start();
    const auto block = lan.receiveBlock(0, 403);
    ASSERT_FALSE(block.ok());
    EXPECT_EQ(block.error().kind, LinkErrorKind::Oversize);
    EXPECT_LT(elapsed.elapsed(), real(35000)); // decided at once, not by time-out
    EXPECT_EQ(block.error().received, 500);
    EXPECT_EQ(lan.PendingBytes(0), 0);

    peer.sendAfter(10, "OK\n");
    EXPECT_EQ(lan.receiveLine(0).valueOr(QString()), QStringLiteral("OK\n"));

    // A block asked for with a count the buffer cannot hold is bounded the same way.
    peer.send(pattern(420));
    const auto tooMany = lan.receiveBlock(0, 1000);
    ASSERT_FALSE(tooMany.ok());
    EXPECT_EQ(tooMany.error().kind, LinkErrorKind::Oversize);
    EXPECT_EQ(tooMany.error().received, 420);
    peer.send(pattern(253));
    const auto good = lan.receiveBlock(0, 253);
    ASSERT_TRUE(good.ok());
    EXPECT_EQ(good->size(), 254u);
    EXPECT_EQ((*good)[1], static_cast<std::uint8_t>(pattern(1)[0]));
}

TEST_F(LanModuleTest, ClearingKeepsQueuedBytesInFrontOfTheNextReply)
{
    lan.setReplyTimeout(1);
    peer.send("OLD\n");
    awaitPending(4);
    lan.clearReceived(0);
    EXPECT_EQ(lan.PendingBytes(0), 0);

    // Without a new arrival the stale bytes are not seen: the wait times out.
    EXPECT_FALSE(lan.receiveLine(0).ok());

    // The next arrival announces the socket's total, stale bytes included, and both are read.
    peer.send("NEW\n");
    awaitPending(8);
    lan.setReplyTimeout(30);
    EXPECT_EQ(lan.receiveLine(0).valueOr(QString()), QStringLiteral("OLD\nNEW\n"));

    peer.send("X\n");
    awaitPending(2);
    lan.clearAllReceived();
    EXPECT_EQ(lan.PendingBytes(0), 0);
}

TEST_F(LanModuleTest, DiscardReceivedDropsWhatTheSocketHolds)
{
    lan.setReplyTimeout(30);
    peer.send(pattern(100)); // the remains of a block cut short
    awaitPending(100);
    lan.discardReceived(0);
    EXPECT_EQ(lan.PendingBytes(0), 0);
    const QByteArray block = pattern(253);
    peer.send(block);
    const auto got = lan.receiveBlock(0, 253);
    ASSERT_TRUE(got.ok());
    ASSERT_EQ(got->size(), 254u);
    EXPECT_EQ(std::memcmp(got->data() + 1, block.constData(), 253), 0);
}

TEST_F(LanModuleTest, WaitSecondsLastsOneSecondMoreAndRestoresThePeriod)
{
    EXPECT_EQ(lan.linkTimerPeriodMs(), 1500); // design period before any set-up
    lan.setReplyTimeout(2);
    for (int n : {0, 3}) {
        QElapsedTimer elapsed;
        elapsed.start();
        lan.waitSeconds(n);
        EXPECT_GE(elapsed.elapsed(), real((n + 1) * 1000) - 2) << n;
        EXPECT_LT(elapsed.elapsed(), real((n + 1) * 1000) + 500) << n;
        EXPECT_EQ(lan.linkTimerPeriodMs(), 7000);
        EXPECT_FALSE(lan.linkTimerRunning());
    }
}

TEST_F(LanModuleTest, TerminatorCodesAreTakenModulo128)
{
    lan.setTerminators(10, 141); // 141 % 128 = 13
    EXPECT_EQ(lan.sendTerminator(), QChar(13));
    EXPECT_EQ(lan.receiveTerminator(), QChar(10));
    lan.send(0, QStringLiteral("*CLS"));
    ASSERT_TRUE(clock.waitUntil([this] { return peer.received.size() >= 5; }, 100000));
    EXPECT_EQ(peer.received, QByteArray("*CLS\r"));

    lan.setTerminators(13, 141);
    lan.setReplyTimeout(30);
    peer.send("A\nB\r");
    EXPECT_EQ(lan.receiveLine(0).valueOr(QString()), QStringLiteral("A\nB\r"));

    lan.setTerminators(138, 138);
    EXPECT_EQ(lan.receiveTerminator(), QChar(10));
    EXPECT_EQ(lan.sendTerminator(), QChar(10));
    lan.setTerminators(-10, -3); // negative remainders: no character, nothing changes
    EXPECT_EQ(lan.receiveTerminator(), QChar(10));
    EXPECT_EQ(lan.sendTerminator(), QChar(10));
}

// A wait on a connection that is closed, or was never opened, fails at once: nothing can come
// on it (a recorder lost during a measurement is noticed within one wait, not after time-outs).
TEST_F(LanModuleTest, ClosedMissingOrUnknownConnectionsFailAtOnceAsClosed)
{
    lan.setReplyTimeout(0); // 5 s nominal
    lan.close(0);
    lan.close(0); // already closed: nothing happens
    EXPECT_TRUE(lan.LinkConnected(0)); // never cleared
    EXPECT_FALSE(lan.isOpen(0));
    QElapsedTimer elapsed;
    elapsed.start();
    // 1 was never opened; 2 and -1 name no connection.
    for (int r : {0, 1, 2, -1}) {
        const LinkStatus sent = lan.send(r, QStringLiteral("*IDN?"));
        ASSERT_FALSE(sent.ok()) << r;
        EXPECT_EQ(sent.error().kind, LinkErrorKind::Closed) << r;
        const LinkReply<QString> reply = lan.receiveLine(r);
        ASSERT_FALSE(reply.ok()) << r;
        EXPECT_EQ(reply.error().kind, LinkErrorKind::Closed) << r;
        const auto block = lan.receiveBlock(r, 253);
        ASSERT_FALSE(block.ok()) << r;
        EXPECT_EQ(block.error().kind, LinkErrorKind::Closed) << r;
        lan.clearReceived(r);
        lan.close(r);
    }
    EXPECT_LT(elapsed.elapsed(), real(5000));
    clock.waitMs(1000);
    EXPECT_TRUE(peer.received.isEmpty());
    EXPECT_FALSE(lan.reopen(1)); // never set up
    EXPECT_FALSE(lan.reopen(2));
}

// The recorder closes the connection while a reply is awaited: what it sent before closing is
// still taken, then the next wait fails at once; the link opens again on the same address.
TEST_F(LanModuleTest, ALinkClosedByTheRecorderIsSeenAndOpensAgain)
{
    lan.setReplyTimeout(30); // 35 s nominal, 350 ms real
    EXPECT_TRUE(lan.isOpen(0));
    peer.sendAfter(5, QByteArray("8841\n"));
    QTimer::singleShot(20, peer.conn, [this] { peer.conn->disconnectFromHost(); });
    EXPECT_EQ(lan.receiveLine(0).valueOr(QString()), QStringLiteral("8841\n"));
    QElapsedTimer elapsed;
    elapsed.start();
    const LinkReply<QString> reply = lan.receiveLine(0);
    ASSERT_FALSE(reply.ok());
    EXPECT_EQ(reply.error().kind, LinkErrorKind::Closed);
    EXPECT_LT(elapsed.elapsed(), real(35000) / 2);
    EXPECT_FALSE(lan.isOpen(0));
    EXPECT_TRUE(lan.LinkConnected(0)); // it was made once

    peer.conn = nullptr;
    ASSERT_TRUE(lan.reopen(0));
    ASSERT_TRUE(clock.waitUntil([this] { return lan.isOpen(0) && peer.conn; }, 200000));
    lan.send(0, QStringLiteral("*IDN?"));
    ASSERT_TRUE(clock.waitUntil([this] { return peer.received.endsWith("*IDN?\n"); }, 100000));
}

// A write the socket does not take is an error, not a line silently lost: here the recorder
// closed the connection while its last reply was still held, so the socket stays readable but
// refuses the write.
TEST_F(LanModuleTest, AWriteTheSocketRefusesIsAnError)
{
    lan.setReplyTimeout(30);
    peer.send("LAST\n");
    awaitPending(5);
    peer.conn->disconnectFromHost();
    ASSERT_TRUE(clock.waitUntil([this] { return !lan.isOpen(0); }, 100000));
    const LinkStatus sent = lan.send(0, QStringLiteral(":STAR"));
    ASSERT_FALSE(sent.ok());
    EXPECT_EQ(sent.error().kind, LinkErrorKind::Closed);
    EXPECT_EQ(lan.receiveLine(0).valueOr(QString()), QStringLiteral("LAST\n"));
}

TEST_F(LanModuleTest, ANewAttemptIsNotConnectedUntilItsOwnConnectionIsEstablished)
{
    // A set-up retried against an address where nothing listens must not find the earlier
    // connection's flag still set; the attempt that opens nothing says it was refused.
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const quint16 deadPort = closed.serverPort();
    closed.close();
    const LinkStatus refused = lan.open(0, QStringLiteral("127.0.0.1"), deadPort);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, LinkErrorKind::Refused);
    EXPECT_FALSE(lan.LinkConnected(0));
    const LinkStatus sent = lan.send(0, QStringLiteral("*IDN?"));
    ASSERT_FALSE(sent.ok());
    EXPECT_EQ(sent.error().kind, LinkErrorKind::Refused);
    EXPECT_TRUE(lan.open(0, QStringLiteral("127.0.0.1"), peer.port()).ok());
    EXPECT_TRUE(lan.LinkConnected(0));
}

} // namespace
} // namespace hs
