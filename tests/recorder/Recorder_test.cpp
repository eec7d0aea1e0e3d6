#include "model/RecorderFacts.h"
#include "recorder/LanModule.h"
#include "recorder/Recorder.h"
#include "support/ScriptedPeer.h"

#include <gtest/gtest.h>

namespace hs {
namespace {

// Recorder 1 of a pair on a scripted loopback peer.
class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pair[0].open(QStringLiteral("127.0.0.1"), peer.port()).ok());
        ASSERT_TRUE(clock.waitUntil([this] { return peer.conn != nullptr; }, 200000));
        lan.setReplyTimeout(20); // 25 s nominal, 250 ms real
    }
    // Waits until the peer has received text.
    void awaitReceived(const QByteArray& text)
    {
        ASSERT_TRUE(clock.waitUntil([&] { return peer.received.endsWith(text); }, 100000))
            << peer.received.toStdString();
    }

    Clock clock{0.01};
    LanModule lan{clock};
    RecorderFacts facts;
    RecorderPair pair{lan, facts};
    ScriptedPeer peer;
};

// A block of another length than asked for is not the block asked for: Garbled, with what came,
// and nothing of it is left to spoil the block asked for again.
TEST_F(RecorderTest, ABlockOfTheWrongLengthIsGarbledAndDropped)
{
    Recorder& rec = pair[0];
    peer.send(pattern(300));
    const auto wrong = rec.receiveBlock(253);
    ASSERT_FALSE(wrong.ok());
    EXPECT_EQ(wrong.error().kind, LinkErrorKind::Garbled);
    EXPECT_EQ(wrong.error().received, 300);

    peer.sendAfter(10, pattern(253));
    const auto right = rec.receiveBlock(253);
    ASSERT_TRUE(right.ok());
    EXPECT_EQ(right->size(), 254u);
    EXPECT_EQ((*right)[1], static_cast<std::uint8_t>(pattern(1)[0]));

    // Oversize comes through as it is, and is dropped as well.
    peer.send(pattern(450));
    const auto big = rec.receiveBlock(403);
    ASSERT_FALSE(big.ok());
    EXPECT_EQ(big.error().kind, LinkErrorKind::Oversize);
    EXPECT_FALSE(rec.linkLost());
}

// Replies that hold no usable value are Garbled; a reply that never comes is a time-out. Neither
// is a lost link.
TEST_F(RecorderTest, UnusableRepliesAreGarbledAndSilenceIsATimeOut)
{
    Recorder& rec = pair[0];
    peer.send("CH3,+0\n");
    const LinkReply<double> range = rec.readRange(3);
    ASSERT_FALSE(range.ok());
    EXPECT_EQ(range.error().kind, LinkErrorKind::Garbled);
    awaitReceived(":UNIT:RANG? CH 3\n");

    peer.send("X1_0\n");
    const LinkReply<double> magnification = rec.readMagnification(3);
    ASSERT_FALSE(magnification.ok());
    EXPECT_EQ(magnification.error().kind, LinkErrorKind::Garbled);

    peer.send("12,34\n");
    const auto ascii = rec.receiveAscii(1);
    ASSERT_FALSE(ascii.ok());
    EXPECT_EQ(ascii.error().kind, LinkErrorKind::Garbled);

    const LinkReply<double> none = rec.storedSamples();
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.error().kind, LinkErrorKind::Timeout);
    EXPECT_FALSE(rec.linkLost());

    peer.send("CH3,+2.000E-01\n");
    EXPECT_DOUBLE_EQ(rec.readRange(3).valueOr(0), 0.2);
}

// A link the recorder closed marks the recorder lost (which the run loop acts on) until it is
// opened again; the pair sees it only for a recorder in use.
TEST_F(RecorderTest, AClosedLinkMarksTheRecorderLostUntilItIsOpenedAgain)
{
    Recorder& rec = pair[0];
    peer.conn->disconnectFromHost();
    ASSERT_TRUE(clock.waitUntil([&] { return !rec.isOpen(); }, 100000));
    const LinkStatus sent = rec.start();
    ASSERT_FALSE(sent.ok());
    EXPECT_EQ(sent.error().kind, LinkErrorKind::Closed);
    EXPECT_TRUE(rec.linkLost());
    EXPECT_TRUE(pair.anyLost());

    // Recorder 2 was never opened: lost, but not in use with one recorder.
    EXPECT_FALSE(pair[1].identify().ok());
    EXPECT_TRUE(pair[1].linkLost());
    facts.LastRecorder = 0;
    rec.reopen();
    EXPECT_FALSE(rec.linkLost());
    EXPECT_FALSE(pair.anyLost());
    facts.LastRecorder = 1;
    EXPECT_TRUE(pair.anyLost());
}

} // namespace
} // namespace hs
