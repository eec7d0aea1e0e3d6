#include "SimTestSupport.h"

#include <QTcpSocket>

namespace hs::sim::test {
namespace {

class SimProtocol : public SimLink {};

// A shot configured as the station configures it: the decoded samples match the signal within
// one count, in both encodings (125-sample blocks for the 8840, 200 for the others), and the
// ASCII read-out gives the same values.
class SimShot : public SimLink, public ::testing::WithParamInterface<int> {};

TEST_P(SimShot, ReadOutMatchesTheSignal)
{
    const int model = GetParam();
    start(simpleScenario(model));
    SimRecorder& rec = server->recorder(0);
    const int mc = rec.modelClass();
    const int cpd = rec.countsPerDivision();
    stationSetup(0, 1);
    send(0, cmd::unitRange(1, 20));
    send(0, cmd::unitRange(2, 5));
    settle();
    send(0, cmd::start());
    ASSERT_EQ(awaitShot(0, 10000), 10000);
    const auto t0 = rec.storedStartTime();
    ASSERT_TRUE(t0.has_value());
    const double fs = 200000.0;
    for (int ch : {1, 2}) {
        const double range = ch == 1 ? 20.0 : 5.0;
        const int block = cmd::blockSamples(mc);
        const auto samples = readBlocks(0, ch, 150, 4 * block, block, mc);
        ASSERT_EQ(samples.size(), static_cast<std::size_t>(4 * block));
        for (int i = 0; i < 4 * block; ++i) {
            const double v = simpleVolts(1, ch, *t0 + (150 + i) / fs);
            const double expected = std::clamp(v / range * cpd, -2048.0, 2047.0);
            ASSERT_NEAR(samples[static_cast<std::size_t>(i)], expected, 1.0)
                << "ch " << ch << " i " << i;
        }
        // ASCII read-out of the same stretch.
        send(0, cmd::memPoint(ch, 150, true));
        const auto ascii = cmd::parseAsciiData(query(0, cmd::memAsciiData()), mc);
        ASSERT_TRUE(ascii.has_value()) << reply().toStdString();
        for (int i = 0; i < 40; ++i)
            EXPECT_EQ((*ascii)[static_cast<std::size_t>(i)], samples[static_cast<std::size_t>(i)]);
    }
    // Past the stored samples the recorder answers zeros.
    const auto tail = readBlocks(0, 1, 9990, 100, 100, mc);
    ASSERT_EQ(tail.size(), 100u);
    EXPECT_NE(tail[0], 0);
    for (int i = 10; i < 100; ++i)
        EXPECT_EQ(tail[static_cast<std::size_t>(i)], 0);
}

TEST_P(SimShot, IdentifiesTheModelAndItsUnits)
{
    const int model = GetParam();
    Scenario s = simpleScenario(model);
    s.recorders[0].units = {1, 1, 4, 4, 7, 0, 3};
    start(s);
    send(0, cmd::clearStatus());
    EXPECT_EQ(cmd::parseModel(query(0, cmd::identify())), model);
    EXPECT_TRUE(last.ok());
    EXPECT_TRUE(reply().endsWith(QLatin1Char('\n')));
    const auto codes = cmd::parseUnitCodes(query(0, cmd::options()));
    const std::array<std::int16_t, 16> expected{1, 1, 4, 4, 7, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(codes, expected);
    EXPECT_EQ(server->recorder(0).countsPerDivision(), model == 8835 ? 160 : 80);
}

INSTANTIATE_TEST_SUITE_P(Models, SimShot, ::testing::Values(8840, 8841, 8835));

TEST_F(SimProtocol, TriggerPutsTheRisingCrossingAtSample200)
{
    start(simpleScenario());
    for (int c : {1, 2}) {
        stationSetup(0, c);
        send(0, cmd::triggerKindOff(c == 1 ? 2 : 1));
        for (int shot = 0; shot < 3; ++shot) {
            send(0, cmd::start());
            ASSERT_EQ(awaitShot(0, 10000), 10000);
            const auto w = readBlocks(0, c, 150, 100, 100, 1);
            ASSERT_EQ(w.size(), 100u);
            for (int i = 0; i < 50; ++i)
                ASSERT_LT(w[static_cast<std::size_t>(i)], 0) << "sample " << 150 + i;
            EXPECT_GE(w[50], 0);
            EXPECT_GT(w[99], w[50]);
            clock.waitMs(7); // a different phase of arming for the next shot
        }
    }
    // The 5000-sample shot of the floppy set-up, and MAXP 0 while a shot is armed.
    send(0, cmd::configureShot50());
    send(0, cmd::triggerKindLevel(1));
    send(0, cmd::triggerLevelSlope(1));
    send(0, cmd::start());
    EXPECT_EQ(awaitShot(0, 5000), 5000);
}

TEST_F(SimProtocol, TwoRecordersShareTheTriggerInstant)
{
    start(simpleScenario(), 2);
    stationSetup(1, 1, true);
    stationSetup(0, 1);
    for (int shot = 0; shot < 3; ++shot) {
        send(1, cmd::start());
        clock.waitMs(100);
        send(0, cmd::start());
        ASSERT_EQ(awaitShot(0, 10000), 10000);
        ASSERT_EQ(awaitShot(1, 10000), 10000);
        const auto t1 = server->recorder(0).storedStartTime();
        const auto t2 = server->recorder(1).storedStartTime();
        ASSERT_TRUE(t1 && t2);
        EXPECT_DOUBLE_EQ(*t1, *t2);
        // Recorder 2 carries the same voltage: its crossing is at sample 200 too.
        const auto w = readBlocks(1, 1, 150, 100, 100, 1);
        ASSERT_EQ(w.size(), 100u);
        EXPECT_LT(w[49], 0);
        EXPECT_GE(w[50], 0);
    }
    // Armed after recorder 1 has triggered, recorder 2 waits for the next trigger.
    send(0, cmd::start());
    ASSERT_EQ(awaitShot(0, 10000), 10000);
    send(1, cmd::start());
    EXPECT_EQ(awaitShot(1, 10000, 5), 0);
}

TEST_F(SimProtocol, RangesAndMagnificationsRoundTripOrAreRefused)
{
    start(simpleScenario());
    SimRecorder& rec = server->recorder(0);
    send(0, cmd::headerOff());
    struct Case {
        int ch;
        double range;
        bool accepted;
    } cases[] = {{1, 0.5, true},    {1, 0.005, true},  {1, 20, true},   {1, 50, false},
                 {1, 0.003, false}, {1, 3, false},     {5, 2, true},    {5, 5, false},
                 {5, 0.01, true},   {5, 0.005, false}, {12, 0.2, true}, {12, 100, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "CH" << c.ch << " range " << c.range);
        const double before = cmd::parseRangeReply(query(0, cmd::unitRangeQuery(c.ch)), c.ch);
        ASSERT_GT(before, 0.0);
        send(0, cmd::unitRange(c.ch, c.range));
        const double after = cmd::parseRangeReply(query(0, cmd::unitRangeQuery(c.ch)), c.ch);
        EXPECT_NEAR(after, c.accepted ? c.range : before, 1e-9);
        EXPECT_EQ(rec.range(c.ch), after);
        const bool noted =
            rec.commandLog()[rec.commandLog().size() - 2].note.contains(QStringLiteral("refused"));
        EXPECT_EQ(noted, !c.accepted);
    }
    for (double d : {4.0, 2.0, 1.0, 0.5, 0.1}) {
        send(0, cmd::displayYMag(12, d));
        const auto got = cmd::parseMagnificationReply(query(0, cmd::displayYMagQuery(12)));
        ASSERT_TRUE(got.has_value()) << reply().toStdString();
        EXPECT_DOUBLE_EQ(*got, d);
    }
    send(0, QStringLiteral(":DISP:YMAG CH12,X1_3"));
    EXPECT_EQ(*cmd::parseMagnificationReply(query(0, cmd::displayYMagQuery(12))), 0.1);
    send(0, QStringLiteral(":DISP:YMAG CH12,X5"));
    EXPECT_EQ(*cmd::parseMagnificationReply(query(0, cmd::displayYMagQuery(12))), 0.2);
    // A channel without a unit answers no range.
    EXPECT_TRUE(query(0, cmd::unitRangeQuery(7)).isEmpty());
    EXPECT_FALSE(last.ok());
    // With the header on, the reply echoes the command.
    send(0, QStringLiteral(":HEAD ON"));
    EXPECT_EQ(query(0, cmd::unitRangeQuery(12)), QStringLiteral(":UNIT:RANG CH12,+2.000E-01\n"));
}

TEST_F(SimProtocol, AcceptsContinuationsSpacedPlainAndLongForms)
{
    start(simpleScenario());
    SimRecorder& rec = server->recorder(0);
    send(0, cmd::idleSetup());
    settle();
    EXPECT_EQ(rec.shotSamples(), 5000);
    send(0, cmd::configureMeasurement(true));
    send(0, QStringLiteral(":TRIG:MODE SING;PRET 2;:HEAD OFF;:CONF:SHOT?;:HEAD?"));
    last = lan.receiveLine(0);
    EXPECT_EQ(reply(), QStringLiteral("100;OFF\n"));
    EXPECT_EQ(rec.shotSamples(), 10000);
    send(0, QStringLiteral(":UNIT:RANG CH3,1;:UNIT:RANG CH 4, .5;:unit:range ch 2,2"));
    settle();
    EXPECT_EQ(rec.range(3), 1.0);
    EXPECT_EQ(rec.range(4), 0.5);
    EXPECT_EQ(rec.range(2), 2.0);
    send(0, QStringLiteral(":MEMORY:POINT CH3,0"));
    EXPECT_EQ(query(0, QStringLiteral(":MEMory:MAXPoint?")), QStringLiteral("0\n"));
    for (const auto& e : rec.commandLog())
        EXPECT_TRUE(e.note.isEmpty()) << e.line.toStdString() << ": " << e.note.toStdString();
    EXPECT_EQ(rec.errorCount(), 0);
    send(0, QStringLiteral(":MEM:POIN CH 17,0;:MEM:POIN CH3"));
    settle();
    EXPECT_EQ(rec.errorCount(), 2);
    send(0, cmd::clearStatus());
    settle();
    EXPECT_EQ(rec.errorCount(), 0);
    // Every line is in the log, in order; unknown commands are noted and ignored.
    send(0, QStringLiteral(":FOO:BAR 1"));
    EXPECT_EQ(cmd::parseModel(query(0, cmd::identify())), 8841);
    const auto& log = rec.commandLog();
    ASSERT_GE(log.size(), 2);
    EXPECT_EQ(log[log.size() - 2].line, QStringLiteral(":FOO:BAR 1"));
    EXPECT_TRUE(log[log.size() - 2].note.contains(QStringLiteral("unknown command")));
    EXPECT_EQ(rec.commandLines().first(), cmd::idleSetup());
}

TEST_F(SimProtocol, FloppyPrintAbortAndAutoSetup)
{
    start(simpleScenario());
    SimRecorder& rec = server->recorder(0);
    send(0, cmd::headerOff());
    // :AUTO picks ranges from the signal: 141 V peak x 1.1 on CH1 needs 20 V/div.
    send(0, cmd::autoSetup());
    settle();
    EXPECT_EQ(rec.range(1), 20.0);
    EXPECT_EQ(rec.range(12), 0.05); // 0.42 V peak: 679 counts
    // A save without a stored shot or without the floppy selected is refused.
    const QString save = cmd::fdiskSave(QStringLiteral("07D9H05.WAV"), 1, 5);
    send(0, cmd::fdiskMediaFd());
    send(0, save);
    settle();
    EXPECT_TRUE(rec.floppyFiles().isEmpty());
    send(0, cmd::configureShot50());
    send(0, cmd::start());
    ASSERT_EQ(awaitShot(0, 5000), 5000);
    send(0, cmd::fdiskModeOff());
    send(0, save);
    settle();
    EXPECT_TRUE(rec.floppyFiles().isEmpty());
    send(0, cmd::fdiskMediaFd());
    lan.setReplyTimeout(10);
    const qint64 before = clock.now().toMSecsSinceEpoch();
    send(0, save);
    query(0, cmd::memMaxPoint()); // waits behind the save
    const qint64 took = clock.now().toMSecsSinceEpoch() - before;
    ASSERT_EQ(rec.floppyFiles().size(), 1);
    EXPECT_EQ(rec.floppyFiles()[0].name, QStringLiteral("07D9H05.WAV"));
    EXPECT_EQ(rec.floppyFiles()[0].format, QStringLiteral("BIN"));
    EXPECT_EQ(rec.floppyFiles()[0].samples, 5000);
    EXPECT_GE(took, 7000);
    EXPECT_TRUE(last.ok());
    // :ABORT before the trigger leaves nothing; a free-running shot stopped half-way keeps
    // the samples taken so far.
    send(0, cmd::configureShot100());
    send(0, QStringLiteral(":CONF:TDIV 1E-1")); // 10 s per 10000 samples
    send(0, cmd::start());
    clock.waitMs(3000);
    send(0, cmd::abort());
    const int partial = static_cast<int>(cmd::parseMaxPoint(query(0, cmd::memMaxPoint())));
    EXPECT_GT(partial, 1000);
    EXPECT_LT(partial, 9000);
}

TEST_F(SimProtocol, SurvivesMalformedHugeAndInterruptedTraffic)
{
    start(simpleScenario());
    SimRecorder& rec = server->recorder(0);
    QTcpSocket raw;
    raw.connectToHost(QHostAddress::LocalHost, server->port(0));
    ASSERT_TRUE(raw.waitForConnected(2000));
    // Malformed lines, a megabyte without line feed, then a good query.
    raw.write("::;;??\n\x01\x02\xff garbage\n:MEM:POIN CH99,0\n:MEM:BDAT? 0\n");
    raw.write(QByteArray(1 << 20, 'A'));
    raw.write("\n*IDN?\n:MEM:BDAT? 2000\n");
    raw.flush();
    QByteArray got;
    ASSERT_TRUE(clock.waitUntil(
        [&] {
            got += raw.readAll();
            return got.size() >= 19 + 4003;
        },
        100000));
    EXPECT_TRUE(got.startsWith("HIOKI,8841,"));
    bool discarded = false;
    for (const auto& e : rec.commandLog())
        discarded = discarded || e.note.contains(QStringLiteral("discarded"));
    EXPECT_TRUE(discarded);
    EXPECT_GE(rec.errorCount(), 4);
    // A client that goes away in the middle of a long block.
    rec.setFaults([] {
        FaultPlan p;
        p.splitBlockBytes = 10;
        return p;
    }());
    raw.write(":MEM:BDAT? 2000\n");
    raw.flush();
    clock.waitMs(200);
    raw.abort();
    clock.waitMs(500);
    rec.setFaults({});
    EXPECT_EQ(cmd::parseModel(query(0, cmd::identify())), 8841);
}

} // namespace
} // namespace hs::sim::test
