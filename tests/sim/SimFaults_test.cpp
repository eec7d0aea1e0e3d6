#include "SimTestSupport.h"

namespace hs::sim::test {
namespace {

class SimFaults : public SimLink {
protected:
    void startWith(const QString& option)
    {
        start(simpleScenario());
        std::array<FaultPlan, 2> plans;
        QString error;
        ASSERT_TRUE(applyFaultOption(option, plans, &error)) << error.toStdString();
        server->recorder(0).setFaults(plans[0]);
    }
    int model() { return cmd::parseModel(query(0, cmd::identify())); }
    // A shot on recorder 1 and the station's first block request for it.
    void shotAndPoint()
    {
        stationSetup(0, 1);
        send(0, cmd::start());
        ASSERT_EQ(awaitShot(0, 10000), 10000);
        send(0, cmd::memPoint(1, 0, false));
    }
};

TEST_F(SimFaults, SilentQueryAndSilentCommand)
{
    startWith(QStringLiteral("1:silent-query=2"));
    EXPECT_EQ(model(), 8841);
    EXPECT_EQ(model(), 0);
    EXPECT_FALSE(last.ok());
    EXPECT_EQ(model(), 8841);

    std::array<FaultPlan, 2> plans;
    ASSERT_TRUE(applyFaultOption(QStringLiteral("silent-command=:mem:maxp?"), plans, nullptr));
    server->recorder(0).setFaults(plans[0]);
    query(0, cmd::memMaxPoint());
    EXPECT_FALSE(last.ok());
    EXPECT_EQ(model(), 8841);
    EXPECT_TRUE(server->recorder(0).commandLog()[3].note.contains(QStringLiteral("no reply")));
}

TEST_F(SimFaults, DelayedReplies)
{
    startWith(QStringLiteral("reply-delay=3000"));
    const QDateTime before = clock.now();
    EXPECT_EQ(model(), 8841);
    EXPECT_GE(before.msecsTo(clock.now()), 2900);
    lan.setReplyTimeout(-3); // 2 s: shorter than the delay
    EXPECT_EQ(model(), 0);
}

TEST_F(SimFaults, ShortSplitAndGarbledBlocks)
{
    startWith(QStringLiteral("short-block=2/100"));
    shotAndPoint();
    const auto whole = readBlocks(0, 1, 0, 200, 200, 1);
    ASSERT_EQ(whole.size(), 200u);
    send(0, cmd::memBinaryData(200));
    EXPECT_FALSE(lan.receiveBlock(0, 403).ok());
    EXPECT_EQ(server->recorder(0).executeLine(cmd::memBinaryData(200).toLatin1()).reply.size(),
              403);
    // Drain the 100 bytes of the cut block that the link leaves queued.
    lan.send(0, cmd::identify());
    last = lan.receiveLine(0);
    EXPECT_TRUE(reply().endsWith(QStringLiteral("HIOKI,8841,0,V1.20\n")));
    EXPECT_EQ(reply().size(), 100 + 19);

    std::array<FaultPlan, 2> plans;
    ASSERT_TRUE(applyFaultOption(QStringLiteral("split-block=7"), plans, nullptr));
    server->recorder(0).setFaults(plans[0]);
    EXPECT_EQ(readBlocks(0, 1, 0, 200, 200, 1), whole);

    plans = {};
    ASSERT_TRUE(applyFaultOption(QStringLiteral("garbage=2/5"), plans, nullptr));
    server->recorder(0).setFaults(plans[0]);
    EXPECT_EQ(model(), 8841);
    const QString garbled = query(0, cmd::identify());
    EXPECT_EQ(garbled.size(), 5 + 19);
    EXPECT_FALSE(garbled.left(5).contains(QLatin1Char('\n')));
    EXPECT_EQ(model(), 8841);
}

TEST_F(SimFaults, ConnectionDroppedAfterCommands)
{
    startWith(QStringLiteral("drop-after=3"));
    EXPECT_EQ(model(), 8841);
    send(0, cmd::headerOff());
    EXPECT_EQ(model(), 8841); // the third line is still answered
    EXPECT_TRUE(clock.waitUntil([&] { return server->connectionCount(0) == 0; }, 100000));
    EXPECT_EQ(model(), 0);
    EXPECT_FALSE(last.ok());
}

TEST_F(SimFaults, NoTriggerAndNoZeroCrossing)
{
    startWith(QStringLiteral("no-trigger"));
    stationSetup(0, 1);
    send(0, cmd::start());
    clock.waitMs(2000);
    EXPECT_EQ(awaitShot(0, 10000, 3), 0);

    std::array<FaultPlan, 2> plans;
    ASSERT_TRUE(applyFaultOption(QStringLiteral("1:no-crossing"), plans, nullptr));
    server->recorder(0).setFaults(plans[0]);
    send(0, cmd::start());
    ASSERT_EQ(awaitShot(0, 10000), 10000);
    for (int ch : {1, 2}) {
        const auto w = readBlocks(0, ch, 0, 10000, 200, 1);
        ASSERT_EQ(w.size(), 10000u);
        EXPECT_GT(*std::min_element(w.begin(), w.end()), 0) << "CH" << ch;
    }
}

TEST(FaultOptions, ParseAndRefuse)
{
    std::array<FaultPlan, 2> p;
    QString error;
    EXPECT_TRUE(applyFaultOption(QStringLiteral("2:short-block=4"), p, &error));
    EXPECT_EQ(p[1].shortBlock, 4);
    EXPECT_EQ(p[1].shortBlockBytes, 100);
    EXPECT_EQ(p[0].shortBlock, 0);
    EXPECT_TRUE(applyFaultOption(QStringLiteral("garbage=3/40"), p, &error));
    EXPECT_EQ(p[0].garbageReply, 3);
    EXPECT_EQ(p[1].garbageBytes, 40);
    EXPECT_TRUE(p[0].any());
    EXPECT_TRUE(p[0].describe().contains(QStringLiteral("40 garbage bytes before reply 3")));
    for (const char* bad :
         {"silent-query=0", "silent-query=x", "reply-delay=-1", "short-block=2/x", "split-block=0",
          "no-trigger=1", "3:no-trigger", "explode", "drop-after="}) {
        EXPECT_FALSE(applyFaultOption(QString::fromLatin1(bad), p, &error)) << bad;
        EXPECT_FALSE(error.isEmpty());
    }
}

} // namespace
} // namespace hs::sim::test
