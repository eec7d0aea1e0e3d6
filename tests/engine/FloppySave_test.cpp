#include "engine/FloppySave.h"

#include "common/Clock.h"
#include "recorder/LanModule.h"
#include "recorder/Recorder.h"
#include "model/RecorderFacts.h"
#include "model/MeasurementSettings.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <memory>

using namespace hs;

namespace {

// A recorder stand-in that records each command line with the nominal time it arrived.
class RecordingPeer {
public:
    explicit RecordingPeer(const Clock& clock) : clock_(clock)
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            conn = server.nextPendingConnection();
            QObject::connect(conn, &QTcpSocket::readyRead, [this] {
                buffer += conn->readAll();
                for (int nl = buffer.indexOf('\n'); nl >= 0; nl = buffer.indexOf('\n')) {
                    lines << QString::fromLatin1(buffer.left(nl));
                    times << clock_.now();
                    buffer.remove(0, nl + 1);
                }
            });
        });
    }
    QTcpServer server;
    QTcpSocket* conn = nullptr;
    QByteArray buffer;
    QStringList lines;
    QList<QDateTime> times;

private:
    const Clock& clock_;
};

class FloppySaveTest : public ::testing::Test {
protected:
    void connect(int recorders)
    {
        for (int r = 0; r < recorders; ++r) {
            peers[r] = std::make_unique<RecordingPeer>(clock);
            lan.connectToRecorder(r, QStringLiteral("127.0.0.1"), peers[r]->server.serverPort());
            RecordingPeer* peer = peers[r].get();
            ASSERT_TRUE(
                clock.waitUntil([&] { return lan.LinkConnected(r) && peer->conn; }, 500000));
        }
        facts.LastRecorder = static_cast<std::int16_t>(recorders - 1);
    }
    // Lets the last lines arrive.
    void settle(int recorder, int lineCount)
    {
        RecordingPeer* peer = peers[recorder].get();
        clock.waitUntil([&] { return peer->lines.size() >= lineCount; }, 500000);
    }

    Clock clock{0.01};
    LanModule lan{clock};
    std::unique_ptr<RecordingPeer> peers[2];
    RecorderFacts facts;
    RecorderPair pair{lan, facts};
    MeasurementSettings settings;
};

} // namespace

TEST(FloppySaveLine, NameAndFormatFollowTimeModelAndMode)
{
    const QDateTime morning(QDate(2009, 12, 7), QTime(9, 5, 0));
    EXPECT_EQ(FloppySaveLine(morning, 0, 5), QStringLiteral(":FDISK:SAVE \"07D9H05.WAV\",W,ALL"));
    EXPECT_EQ(FloppySaveLine(morning, 1, 3),
              QStringLiteral(":FDISK:SAVE \"07D9H05.WAV\",Bin,CH 3"));
    const QDateTime afternoon(QDate(2009, 12, 7), QTime(14, 30, 1));
    EXPECT_EQ(FloppySaveLine(afternoon, 2, 1),
              QStringLiteral(":FDISK:SAVE \"07D14H30.WAV\",Bin,CH 1"));
}

TEST_F(FloppySaveTest, OneRecorderSequenceWaitsAndNextTime)
{
    connect(1);
    facts.ModelClass = {0, 0}; // 8840
    settings.FdSaveMode = 5;
    settings.FdSaveIntervalMin = 60;
    QDateTime next(QDate(2009, 12, 7), QTime(9, 5, 0));
    const QDateTime before = clock.now();
    const LinkStatus sent = SaveToRecorderFloppy(pair, settings, next);
    const qint64 took = before.msecsTo(clock.now());
    EXPECT_GE(took, 21000);
    EXPECT_EQ(next, QDateTime(QDate(2009, 12, 7), QTime(10, 5, 0)));
    settle(0, 6);

    const RecordingPeer& p = *peers[0];
    ASSERT_EQ(p.lines, (QStringList{":CONF:TDIV +500E-6;SHOT 50", ":STAR", ":FDISK:MODE ON",
                                    ":FDISK:SAVE \"07D9H05.WAV\",W,ALL", ":FDISK:MODE OFF",
                                    ":CONF:TDIV +500E-6;SHOT 100"}));
    // The waits lie between the right commands (nominal ms, with room for delivery jitter).
    auto gap = [&p](int a, int b) { return p.times[a].msecsTo(p.times[b]); };
    EXPECT_GE(gap(1, 2), 1400);
    EXPECT_GE(gap(2, 3), 2100);
    EXPECT_GE(gap(3, 4), 8400);
    EXPECT_GE(gap(4, 5), 1750);
    EXPECT_LT(gap(0, 1), 1000);
    EXPECT_TRUE(sent.ok());
}

TEST_F(FloppySaveTest, AllChannelsAddressBothRecordersEachByItsModel)
{
    connect(2);
    facts.ModelClass = {1, 0}; // 8841 first, 8840 second
    settings.FdSaveMode = 5;
    settings.FdSaveIntervalMin = 15;
    QDateTime next(QDate(2009, 12, 7), QTime(14, 30, 1));
    SaveToRecorderFloppy(pair, settings, next);
    EXPECT_EQ(next, QDateTime(QDate(2009, 12, 7), QTime(14, 45, 1)));
    settle(0, 6);
    settle(1, 6);
    EXPECT_EQ(peers[0]->lines,
              (QStringList{":CONF:TDIV +500E-6;SHOT 50", ":STAR", ":FDISK:MEDIA FD",
                           ":FDISK:SAVE \"07D14H30.WAV\",Bin,ALL", ":FDISK:MODE OFF",
                           ":CONF:TDIV +500E-6;SHOT 100"}));
    EXPECT_EQ(peers[1]->lines, (QStringList{":CONF:TDIV +500E-6;SHOT 50", ":STAR", ":FDISK:MODE ON",
                                            ":FDISK:SAVE \"07D14H30.WAV\",W,ALL", ":FDISK:MODE OFF",
                                            ":CONF:TDIV +500E-6;SHOT 100"}));
    // Recorder 2 starts its shot first.
    EXPECT_LE(peers[1]->times[1], peers[0]->times[1]);
}

TEST_F(FloppySaveTest, OneChannelAddressesRecorderOneOnlyAndModeOffDoesNothing)
{
    connect(2);
    facts.ModelClass = {1, 1};
    settings.FdSaveMode = 3;
    QDateTime next(QDate(2009, 12, 7), QTime(9, 5, 1));
    SaveToRecorderFloppy(pair, settings, next);
    settle(0, 6);
    EXPECT_EQ(peers[0]->lines.value(3), QStringLiteral(":FDISK:SAVE \"07D9H05.WAV\",Bin,CH 3"));
    EXPECT_EQ(peers[0]->lines.size(), 6);
    EXPECT_TRUE(peers[1]->lines.isEmpty());

    settings.FdSaveMode = 0;
    const QDateTime unchanged = next;
    SaveToRecorderFloppy(pair, settings, next);
    EXPECT_EQ(next, unchanged);
    clock.waitMs(200);
    EXPECT_EQ(peers[0]->lines.size(), 6);
}
