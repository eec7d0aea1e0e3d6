#include "recorder/ConnectionSetup.h"
#include "recorder/LanModule.h"

#include "sim/FaultPlan.h"
#include "sim/SimServer.h"
#include "support/RecordingObserver.h"

#include <QRegularExpression>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

namespace {

using hs::ConnectionStatus;

const QString kIdleSetup = QStringLiteral(":DISP:CHAN DISP;:FUNM MEM;:CONF:TDIV 5E-4;SHOT 50");
const QString kPowerCycle =
    QStringLiteral("測定器のアドレスは設定後、電源を入れ直すとセットされます．");

using hs::testing::RecordingObserver;

// An address on the loopback network where nothing listens: connecting is refused at once.
const QString kNobodyHome = QStringLiteral("127.0.0.77");

class ConnectionSetupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim = std::make_unique<hs::sim::SimServer>(clock, hs::sim::Scenario::defaultScenario(), 2);
        for (int i = 0; i < 2; ++i) {
            QString error;
            ASSERT_TRUE(sim->listen(i, QHostAddress::LocalHost, 0, &error)) << qPrintable(error);
        }
        QObject::connect(sim.get(), &hs::sim::SimServer::connectionOpened,
                         [this](int index, const QString&) { ++opened[index]; });
        setup.setProgress({[this](int r, int model) { models.emplace_back(r, model); },
                           [this](int r, int count) { counts.emplace_back(r, count); }});
    }

    void configure(int index, int model, const QVector<int>& units)
    {
        sim->recorder(index).setModel(model);
        sim->recorder(index).setUnits(units);
    }

    hs::ConnectionRequest request(int recorders) const
    {
        hs::ConnectionRequest r;
        for (int i = 0; i < 2; ++i) {
            r.addresses[i] = QStringLiteral("127.0.0.1");
            r.ports[i] = QString::number(sim->port(i));
        }
        r.recorderCount = recorders;
        return r;
    }

    QStringList lines(int index) const { return sim->recorder(index).commandLines(); }

    // Every command the initialisation sends to one recorder, in order; the clock lines must
    // carry the calendar between from and to.
    void expectFullSequence(int index, const QDateTime& from, const QDateTime& to) const
    {
        // The last lines may still be on their way when the set-up returns.
        clock.waitUntil([&] { return lines(index).size() >= 8; }, 2000);
        const QStringList got = lines(index);
        ASSERT_EQ(got.size(), 8) << qPrintable(got.join(QLatin1Char('|')));
        EXPECT_EQ(got.mid(0, 6), (QStringList{QStringLiteral("*CLS"), QStringLiteral("*IDN?"),
                                              QStringLiteral("*OPT?"), QStringLiteral("*RST"),
                                              kIdleSetup, QStringLiteral(":HEAD OFF")}));
        static const QRegularExpression date(
            QStringLiteral("^:SYST:DATE ([1-9]?\\d),([1-9]\\d?),([1-9]\\d?)$"));
        static const QRegularExpression time(
            QStringLiteral("^:SYST:TIME ([1-9]?\\d),([1-9]?\\d),([1-9]?\\d)$"));
        const auto d = date.match(got[6]);
        const auto t = time.match(got[7]);
        ASSERT_TRUE(d.hasMatch()) << qPrintable(got[6]);
        ASSERT_TRUE(t.hasMatch()) << qPrintable(got[7]);
        const QDateTime sent(
            QDate(2000 + d.captured(1).toInt(), d.captured(2).toInt(), d.captured(3).toInt()),
            QTime(t.captured(1).toInt(), t.captured(2).toInt(), t.captured(3).toInt()));
        ASSERT_TRUE(sent.isValid());
        // Whole seconds are sent; the calendar runs twenty times faster than the wall clock.
        EXPECT_GE(sent.addSecs(1), from) << qPrintable(sent.toString(Qt::ISODate));
        EXPECT_LE(sent, to) << qPrintable(sent.toString(Qt::ISODate));
        // At this scale the clock lines are minutes past the start: the scaled calendar, not
        // the wall clock, is what the recorder is set to.
        EXPECT_GT(from.secsTo(sent), 2 + 3 + 1) << "after the three waits of the set-up";
    }

    hs::Clock clock{0.05};
    hs::LanModule lan{clock};
    hs::RecorderFacts facts;
    RecordingObserver observer;
    hs::RecorderPair pair{lan, facts};
    hs::ConnectionSetup setup{pair, observer};
    std::unique_ptr<hs::sim::SimServer> sim;
    std::vector<std::pair<int, int>> models, counts;
    int opened[2] = {0, 0};
};

TEST_F(ConnectionSetupTest, An8841WithTheOptionExampleGivesChannelsOneToFive)
{
    configure(0, 8841, {1, 1, 4, 4, 7, 0});
    const QDateTime from = clock.now();
    ASSERT_EQ(setup.initialise(request(1)), ConnectionStatus::Ok);
    const QDateTime to = clock.now();
    EXPECT_TRUE(observer.messages.empty());

    EXPECT_EQ(facts.LastRecorder, 0);
    EXPECT_EQ(facts.RecorderModel[0], 8841);
    EXPECT_EQ(facts.ModelClass[0], 1);
    EXPECT_EQ(facts.UsableChannelTotal, 5);
    const std::array<std::int16_t, 6> units{1, 1, 4, 4, 7, 0};
    for (int k = 0; k < 16; ++k) {
        EXPECT_EQ(facts.ChannelUnit[0][k], k < 6 ? units[k] : 0) << k;
        const std::int16_t max = k < 4 ? 20 : (k == 4 ? 2 : 0);
        const float min = k < 4 ? 0.005f : (k == 4 ? 0.01f : 0.0f);
        EXPECT_EQ(facts.ChannelRangeMax[0][k], max) << k;
        EXPECT_EQ(facts.ChannelRangeMin[0][k], min) << k;
    }
    EXPECT_EQ(models, (std::vector<std::pair<int, int>>{{0, 8841}}));
    EXPECT_EQ(counts, (std::vector<std::pair<int, int>>{{0, 5}}));

    expectFullSequence(0, from, to);
    EXPECT_TRUE(lines(1).isEmpty()) << "with one recorder only recorder 1 is used";
    EXPECT_EQ(opened[1], 0);
    EXPECT_EQ(facts.RecorderModel[1], 0) << "only the facts of the recorder in use are written";
}

TEST_F(ConnectionSetupTest, TwoRecordersAn8840AndAn8835WithTheirOwnLimits)
{
    configure(0, 8840, {3, 7, 3, 2});
    configure(1, 8835, {1, 4, 7, 3, 2});
    const QDateTime from = clock.now();
    ASSERT_EQ(setup.initialise(request(2)), ConnectionStatus::Ok);
    const QDateTime to = clock.now();
    EXPECT_TRUE(observer.messages.empty());

    EXPECT_EQ(facts.LastRecorder, 1);
    EXPECT_EQ(facts.RecorderModel[0], 8840);
    EXPECT_EQ(facts.ModelClass[0], 0);
    EXPECT_EQ(facts.RecorderModel[1], 8835);
    EXPECT_EQ(facts.ModelClass[1], 2);

    // 8840: a code-3 unit is usable like 1 and 4.
    EXPECT_EQ(facts.ChannelRangeMax[0][0], 20);
    EXPECT_EQ(facts.ChannelRangeMin[0][0], 0.005f);
    EXPECT_EQ(facts.ChannelRangeMax[0][1], 2);
    EXPECT_EQ(facts.ChannelRangeMin[0][1], 0.01f);
    EXPECT_EQ(facts.ChannelRangeMax[0][2], 20);
    EXPECT_EQ(facts.ChannelRangeMax[0][3], 0);
    // 8835: its own limits; code 3 is not usable there.
    EXPECT_EQ(facts.ChannelRangeMax[1][0], 50);
    EXPECT_EQ(facts.ChannelRangeMin[1][0], 0.01f);
    EXPECT_EQ(facts.ChannelRangeMax[1][1], 50);
    EXPECT_EQ(facts.ChannelRangeMax[1][2], 5);
    EXPECT_EQ(facts.ChannelRangeMin[1][2], 0.02f);
    EXPECT_EQ(facts.ChannelRangeMax[1][3], 0);
    EXPECT_EQ(facts.ChannelRangeMin[1][3], 0.0f);
    EXPECT_EQ(facts.ChannelRangeMax[1][4], 0);

    EXPECT_EQ(counts, (std::vector<std::pair<int, int>>{{0, 3}, {1, 3}}));
    EXPECT_EQ(facts.UsableChannelTotal, 6);
    expectFullSequence(0, from, to);
    expectFullSequence(1, from, to);
}

TEST_F(ConnectionSetupTest, ACodeThreeUnitIsNotUsableOnAn8841)
{
    configure(0, 8841, {3, 3, 7});
    ASSERT_EQ(setup.initialise(request(1)), ConnectionStatus::Ok);
    EXPECT_EQ(facts.UsableChannelTotal, 1);
    EXPECT_EQ(facts.ChannelRangeMax[0][0], 0);
    EXPECT_EQ(facts.ChannelRangeMin[0][0], 0.0f);
    EXPECT_EQ(facts.ChannelUnit[0][0], 3);
}

TEST_F(ConnectionSetupTest, NoAnswerToIdentificationOrAnOldModelStopsWithTheScreenOpen)
{
    configure(0, 8841, {1, 1, 1, 1});
    configure(1, 8841, {1, 1, 1, 1});
    hs::sim::FaultPlan silent;
    silent.silentCommand = QStringLiteral("*IDN?");
    sim->recorder(1).setFaults(silent);

    EXPECT_EQ(setup.initialise(request(2)), ConnectionStatus::Failed);
    ASSERT_EQ(observer.messages.size(), 1u);
    EXPECT_EQ(
        observer.messages[0].first,
        QStringLiteral("2台目の測定器が初期化できません.測定器のアドレスと設定があっているかを"
                       "確認して下さい．\r\n") +
            kPowerCycle);
    EXPECT_EQ(observer.messages[0].second, QStringLiteral("エラー"));
    EXPECT_EQ(lines(1), (QStringList{QStringLiteral("*CLS"), QStringLiteral("*IDN?")}));
    EXPECT_EQ(models.back(), std::make_pair(1, 0)) << "the time-out shows as model 0";
    EXPECT_FALSE(lines(0).contains(kIdleSetup)) << "nothing after the failed identification";

    // An 8829 is too old: the same message, for recorder 1.
    observer.messages.clear();
    sim->recorder(1).setFaults({});
    configure(0, 8829, {1, 1, 1, 1});
    EXPECT_EQ(setup.initialise(request(1)), ConnectionStatus::Failed);
    ASSERT_EQ(observer.messages.size(), 1u);
    EXPECT_TRUE(
        observer.messages[0].first.startsWith(QStringLiteral("1台目の測定器が初期化できません.")));
}

TEST_F(ConnectionSetupTest, ARefusedConnectionIsReportedAndTheOtherRecorderStillTried)
{
    configure(1, 8841, {1, 1});
    hs::ConnectionRequest r = request(2);
    r.addresses[0] = kNobodyHome;
    r.ports[0] = QStringLiteral("9012"); // the message names this port, not "901X"

    EXPECT_EQ(setup.initialise(r), ConnectionStatus::Failed);
    ASSERT_EQ(observer.messages.size(), 1u);
    EXPECT_EQ(
        observer.messages[0].first,
        QStringLiteral("TCP/IPの初期化ができません.測定器のIPアドレスが127.0.0.77であることと、"
                       "ポート番号が9012であることを確認して下さい.\r\n") +
            kPowerCycle);
    EXPECT_EQ(observer.messages[0].second, QStringLiteral("エラー"));
    clock.waitUntil([this] { return opened[1] > 0; }, 1000);
    EXPECT_EQ(opened[1], 1) << "recorder 2 was still connected to";
    EXPECT_TRUE(lines(1).isEmpty()) << "no command is sent when a connection failed";
}

TEST_F(ConnectionSetupTest, ARecorderWithoutUsableInputsEndsTheProgram)
{
    configure(0, 8841, {0, 2, 5, 3, 8});
    EXPECT_EQ(setup.initialise(request(1)), ConnectionStatus::EndProgram);
    ASSERT_EQ(observer.messages.size(), 1u);
    EXPECT_EQ(observer.messages[0].first,
              QStringLiteral("1台目の測定器8841で必要な入力チャンネルが確認できませんでした。"
                             "プログラムを終了します。"));
    EXPECT_EQ(observer.messages[0].second, QStringLiteral("エラー"));
    EXPECT_FALSE(lines(0).contains(QStringLiteral("*RST")));
    EXPECT_TRUE(counts.empty());
}

TEST_F(ConnectionSetupTest, APortTextThatIsNoPortNumberIsRefusedWithoutConnecting)
{
    configure(1, 8841, {1});
    for (const QString& port : {QString(), QStringLiteral("abc"), QStringLiteral("70002"),
                                QStringLiteral("-8802"), QStringLiteral("0")}) {
        observer.messages.clear();
        hs::ConnectionRequest r = request(2);
        r.ports[0] = port;
        EXPECT_EQ(setup.initialise(r), ConnectionStatus::Failed) << qPrintable(port);
        ASSERT_EQ(observer.messages.size(), 1u) << qPrintable(port);
        EXPECT_EQ(observer.messages[0].first,
                  QStringLiteral("ポートＮｏ．は１～６５５３５の数字で入力して下さい."));
    }
    EXPECT_EQ(opened[0], 0);
    EXPECT_GT(opened[1], 0) << "the other recorder is still tried";
}

TEST_F(ConnectionSetupTest, ASecondAttemptAfterAFailureStartsCleanly)
{
    configure(0, 8841, {1, 1, 1, 1});
    configure(1, 8840, {1, 3});
    hs::sim::FaultPlan silent;
    silent.silentCommand = QStringLiteral("*IDN?");
    sim->recorder(1).setFaults(silent);
    ASSERT_EQ(setup.initialise(request(2)), ConnectionStatus::Failed);
    EXPECT_EQ(facts.UsableChannelTotal, 4) << "recorder 1 was counted before recorder 2 failed";

    sim->recorder(1).setFaults({});
    sim->recorder(0).clearLog();
    sim->recorder(1).clearLog();
    const QDateTime from = clock.now();
    ASSERT_EQ(setup.initialise(request(2)), ConnectionStatus::Ok);
    const QDateTime to = clock.now();
    EXPECT_EQ(facts.UsableChannelTotal, 6) << "counted afresh, not added to the failed attempt";
    expectFullSequence(0, from, to);
    expectFullSequence(1, from, to);
    // The first attempt's connections were closed, not left open beside the new ones.
    clock.waitUntil([this] { return sim->connectionCount(0) == 1 && sim->connectionCount(1) == 1; },
                    2000);
    EXPECT_EQ(sim->connectionCount(0), 1);
    EXPECT_EQ(sim->connectionCount(1), 1);
    EXPECT_EQ(opened[0], 2);
}

// Identification replies take a recorder seconds: the set-up waits for them with its own long
// reply time-out, not the link timer's start-up period of 1.5 s.
TEST_F(ConnectionSetupTest, SlowIdentificationRepliesAreAwaited)
{
    std::array<hs::sim::FaultPlan, 2> plans;
    ASSERT_TRUE(hs::sim::applyFaultOption(QStringLiteral("reply-delay=4000"), plans, nullptr));
    sim->recorder(0).setFaults(plans[0]);
    ASSERT_EQ(setup.initialise(request(1)), ConnectionStatus::Ok);
    EXPECT_EQ(facts.RecorderModel[0], 8841);
    EXPECT_TRUE(observer.messages.empty());
}

// A recorder opened again during a measurement: the same one is reset and set up as at the
// set-up, without touching the facts; another model or other units are named, and nothing is
// reset.
TEST_F(ConnectionSetupTest, ReinitialiseComparesTheRecorderWithTheFacts)
{
    configure(0, 8841, {1, 1, 4, 4, 7, 0});
    ASSERT_EQ(setup.initialise(request(1)), ConnectionStatus::Ok);
    clock.waitUntil([&] { return lines(0).size() >= 8; }, 2000);
    sim->recorder(0).clearLog();
    const hs::RecorderFacts before = facts;
    EXPECT_TRUE(setup.reinitialise(0).ok());
    clock.waitUntil([&] { return lines(0).size() >= 8; }, 2000);
    EXPECT_EQ(lines(0).mid(0, 6),
              (QStringList{QStringLiteral("*CLS"), QStringLiteral("*IDN?"), QStringLiteral("*OPT?"),
                           QStringLiteral("*RST"), kIdleSetup, QStringLiteral(":HEAD OFF")}));

    configure(0, 8840, {1, 1, 4, 0, 7, 0});
    sim->recorder(0).clearLog();
    const hs::Result<void> changed = setup.reinitialise(0);
    ASSERT_FALSE(changed.ok());
    EXPECT_TRUE(changed.error().is(hs::ReinitialiseFailure::Different));
    EXPECT_EQ(changed.error().text, QStringLiteral("機種 8841→8840、CH4 ユニット 4→0"));
    clock.waitMs(500);
    EXPECT_FALSE(lines(0).contains(QStringLiteral("*RST")));
    EXPECT_EQ(facts.RecorderModel, before.RecorderModel);
    EXPECT_EQ(facts.ChannelUnit, before.ChannelUnit);
}

} // namespace
