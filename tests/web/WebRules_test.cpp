// The status page's rules without a network: options, secrets, the run's feed and what the
// records say about the schedule.

#include "app/MeasureCommand.h"
#include "common/Clock.h"
#include "engine/RunLoop.h"
#include "recorder/LanModule.h"
#include "model/RecorderFacts.h"
#include "web/RunFeed.h"
#include "web/StatusJson.h"
#include "web/WebAccess.h"
#include "support/BlockingFifo.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace hs;
using namespace hs::web;

namespace {

QString tokenFile(const QTemporaryDir& dir, const QByteArray& content)
{
    const QString path = dir.path() + QStringLiteral("/token");
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
    return path;
}

TEST(ServeOptions, AddressPortAndTheTokenRule)
{
    QString error;
    auto o = ParseServeOptions(QStringLiteral("8080"), {}, &error);
    ASSERT_TRUE(o);
    EXPECT_EQ(o->address, QHostAddress(QHostAddress::LocalHost));
    EXPECT_EQ(o->port, 8080);
    o = ParseServeOptions(QStringLiteral("[::1]:0"), {}, &error);
    ASSERT_TRUE(o);
    EXPECT_TRUE(o->address.isLoopback());
    for (const char* bad : {"", "x", "65536", "127.0.0.1:", ":80", "300.1.1.1:80", "-1"})
        EXPECT_FALSE(ParseServeOptions(QString::fromLatin1(bad), {}, &error)) << bad;

    // Beyond loopback only with a token, and only with a sound one.
    EXPECT_FALSE(ParseServeOptions(QStringLiteral("0.0.0.0:8080"), {}, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("--serve-token")));
    QTemporaryDir dir;
    o = ParseServeOptions(QStringLiteral("0.0.0.0:8080"),
                          tokenFile(dir, "  0123456789abcdefXYZ  \nsecond line\n"), &error);
    ASSERT_TRUE(o) << qPrintable(error);
    EXPECT_EQ(o->token, "0123456789abcdefXYZ");
    EXPECT_FALSE(
        ParseServeOptions(QStringLiteral("0.0.0.0:8080"), tokenFile(dir, "short\n"), &error));
    EXPECT_FALSE(ParseServeOptions(QStringLiteral("0.0.0.0:8080"),
                                   tokenFile(dir, "0123456789 abcdefXYZ\n"), &error));
    EXPECT_FALSE(ParseServeOptions(QStringLiteral("0.0.0.0:8080"),
                                   dir.path() + QStringLiteral("/missing"), &error));
}

TEST(ServeOptions, MeasureCommandLine)
{
    const auto parse = [](QStringList extra) {
        QString error;
        return hs::parseMeasureOptions(
            QStringList{QStringLiteral("--settings"), QStringLiteral("a.json")} + extra, &error);
    };
    const auto plain = parse({QStringLiteral("--serve"), QStringLiteral("0")});
    ASSERT_TRUE(plain && plain->serve);
    EXPECT_TRUE(plain->serve->address.isLoopback());
    EXPECT_FALSE(parse({}).value().serve);
    EXPECT_FALSE(parse({QStringLiteral("--serve")}));
    EXPECT_FALSE(parse({QStringLiteral("--serve"), QStringLiteral("0.0.0.0:8080")}));
    EXPECT_FALSE(parse({QStringLiteral("--serve-token"), QStringLiteral("t")}));
    EXPECT_FALSE(parse({QStringLiteral("--serve"), QStringLiteral("0.0.0.0:8080"),
                        QStringLiteral("--serve-token"), QStringLiteral("/nonexistent/t")}));

    // A token "file" that is a FIFO is refused at once rather than waited on.
    QTemporaryDir dir;
    hs::test::BlockingFifo fifo(dir.filePath(QStringLiteral("token")));
    ASSERT_TRUE(fifo.made());
    QString error;
    EXPECT_FALSE(hs::parseMeasureOptions({QStringLiteral("--settings"), QStringLiteral("a.json"),
                                          QStringLiteral("--serve"), QStringLiteral("0"),
                                          QStringLiteral("--serve-token"),
                                          dir.filePath(QStringLiteral("token"))},
                                         &error));
    EXPECT_TRUE(error.contains(QStringLiteral("not a regular file"))) << qPrintable(error);
    EXPECT_FALSE(fifo.readerBlocked());
}

TEST(ServeOptions, SecretsCookiesAndHosts)
{
    EXPECT_TRUE(ConstantTimeEquals("abcdefgh", "abcdefgh"));
    EXPECT_FALSE(ConstantTimeEquals("abcdefgh", "abcdefgX"));
    EXPECT_FALSE(ConstantTimeEquals("abcdefgh", "abcdefgh "));
    EXPECT_FALSE(ConstantTimeEquals("", "x"));

    EXPECT_EQ(CookieValue("a=1; hs_token=xyz; b=2", "hs_token"), "xyz");
    EXPECT_EQ(CookieValue("xhs_token=no; hs_token = yes", "hs_token"), "yes");
    EXPECT_EQ(CookieValue("a=1", "hs_token"), "");

    EXPECT_TRUE(IsLoopbackHost("127.0.0.1:8080", 8080));
    EXPECT_TRUE(IsLoopbackHost("localhost", 8080));
    EXPECT_TRUE(IsLoopbackHost("[::1]:8080", 8080));
    EXPECT_FALSE(IsLoopbackHost("evil.example:8080", 8080));
    EXPECT_FALSE(IsLoopbackHost("127.0.0.1.evil.example", 8080));
    EXPECT_FALSE(IsLoopbackHost("", 8080));
}

QDateTime at(int hour, int minute)
{
    return QDateTime(QDate(2004, 2, 7), QTime(hour, minute));
}

TEST(RunHealth, ScheduleAndGapsFromTheRecords)
{
    EXPECT_EQ(ScheduledSaves(at(9, 0), at(10, 0), 10), 7);
    EXPECT_EQ(ScheduledSaves(at(9, 0), at(9, 9), 10), 1);
    EXPECT_EQ(ScheduledSaves(at(9, 0), at(8, 59), 10), 0);

    const std::vector<QDateTime> times{at(9, 0), at(9, 10), at(9, 40), at(9, 50), at(10, 20)};
    const auto gaps = FindRecordGaps(times, 10);
    ASSERT_EQ(gaps.size(), 2u);
    EXPECT_EQ(gaps[0].after, at(9, 10));
    EXPECT_EQ(gaps[0].next, at(9, 40));
    EXPECT_EQ(gaps[0].missing, 2);
    EXPECT_EQ(gaps[1].missing, 2);
    EXPECT_TRUE(FindRecordGaps({at(9, 0), at(9, 10)}, 10).empty());

    MeasurementSettings s;
    s.SaveIntervalMin = 10;
    s.StartDateTime = at(10, 30); // the next save
    s.EndDateTime = at(11, 0);
    const RunHealth h = DeriveRunHealth(times, s, at(10, 25));
    EXPECT_EQ(h.recordsWritten, 5);
    EXPECT_EQ(h.firstSave, at(9, 0));
    EXPECT_EQ(h.recordsExpectedByNow, 9);
    EXPECT_EQ(h.recordsExpectedTotal, 13);
    EXPECT_EQ(h.nextSave, at(10, 30));
    EXPECT_EQ(h.gaps.size(), 2u);
    // After the last save no save is due.
    s.StartDateTime = at(11, 10);
    EXPECT_FALSE(DeriveRunHealth(times, s, at(11, 5)).nextSave.isValid());
    // Before the first record the schedule starts at StartDateTime.
    s.StartDateTime = at(10, 0);
    const RunHealth none = DeriveRunHealth({}, s, at(9, 55));
    EXPECT_EQ(none.recordsExpectedByNow, 0);
    EXPECT_EQ(none.recordsExpectedTotal, 7);
}

TEST(RunHealth, DistortionOverTheStoredOrders)
{
    EXPECT_NEAR(DistortionPercent({100.0f, 3.0f, 4.0f}), 5.0, 1e-6);
    EXPECT_EQ(DistortionPercent({0.0f, 3.0f}), 0.0);
    EXPECT_EQ(DistortionPercent({}), 0.0);
}

struct Recorder : EngineObserver {
    QStringList seen;
    void statusText(const QString& t) override { seen << QStringLiteral("status ") + t; }
    void summaryText(const QString& t) override { seen << QStringLiteral("summary ") + t; }
    void drawResults() override { seen << QStringLiteral("draw"); }
    void notice(const QString& t) override { seen << QStringLiteral("notice ") + t; }
    void message(const QString& t, const QString& title) override
    {
        seen << QStringLiteral("message ") + title + t;
    }
};

TEST(RunFeed, PassesEverythingOnKeepsWholeShotsAndNotesOutages)
{
    Clock clock(0.001);
    LanModule lan(clock);
    RecorderFacts facts;
    MeasurementSettings settings;
    MeasurementData data;
    data.VoltByOrder = {0.0f, 6600.0f};
    Recorder next;
    RunFeed feed({clock, lan, facts, settings, data}, &next);

    feed.statusText(QStringLiteral("測定中"));
    feed.statusText(QStringLiteral("測定器の記録が完了しません")); // before any shot: set-up
    EXPECT_TRUE(feed.outages().empty());
    feed.summaryText(QStringLiteral("line 1"));
    feed.drawResults();
    EXPECT_EQ(feed.shots(), 1);
    EXPECT_EQ(feed.summary(), QStringLiteral("line 1"));
    // The copy is the shot as it was drawn, whatever the engine does next.
    data.VoltByOrder[1] = 1.0f;
    EXPECT_EQ(feed.shot().VoltByOrder[1], 6600.0f);

    feed.statusText(QStringLiteral("基本周波数 50.00Hz"));
    feed.statusText(QStringLiteral("ＦＦＴ演算中"));
    EXPECT_TRUE(feed.outages().empty());
    feed.statusText(QStringLiteral("データ転送エラー CH=1"));
    feed.message(QStringLiteral("lost"), QStringLiteral("エラー"));
    ASSERT_EQ(feed.outages().size(), 1u);
    EXPECT_TRUE(feed.outages().back().ongoing());
    EXPECT_EQ(feed.outages().back().reason, QStringLiteral("データ転送エラー CH=1"));
    ASSERT_EQ(feed.messages().size(), 1u);
    EXPECT_EQ(feed.messages().back().title, QStringLiteral("エラー"));
    feed.drawResults();
    EXPECT_FALSE(feed.outages().back().ongoing());
    EXPECT_EQ(feed.outages().back().to, feed.lastShotTime());

    EXPECT_EQ(next.seen,
              (QStringList{QStringLiteral("status 測定中"),
                           QStringLiteral("status 測定器の記録が完了しません"),
                           QStringLiteral("summary line 1"), QStringLiteral("draw"),
                           QStringLiteral("status 基本周波数 50.00Hz"),
                           QStringLiteral("status ＦＦＴ演算中"),
                           QStringLiteral("status データ転送エラー CH=1"),
                           QStringLiteral("message エラーlost"), QStringLiteral("draw")}));
}

// The run's events: kept with the messages and passed on as events (the console writes them
// apart from the status line); only a lost link or failing shots begin an outage, and the
// reconnection, missing or late records and the end of the run do not begin another.
TEST(RunFeed, EventsOfTheRunAreKeptAndOnlyALostLinkOrFailingShotsBeginAnOutage)
{
    Clock clock(0.001);
    LanModule lan(clock);
    RecorderFacts facts;
    MeasurementSettings settings;
    MeasurementData data;
    Recorder next;
    RunFeed feed({clock, lan, facts, settings, data}, &next);
    const QString stamp = QStringLiteral("2026/12/08 10:00 ");

    feed.drawResults();
    feed.notice(stamp + QStringLiteral("2026/12/08 09:55") + kLateRecordText +
                QStringLiteral("1分"));
    EXPECT_TRUE(feed.outages().empty());
    const QString lost = stamp + kLinkLostText + QStringLiteral("1");
    feed.notice(lost);
    feed.statusText(kReconnectingText + QStringLiteral("1"));
    feed.notice(stamp + kReconnectedText + QStringLiteral("（中断 1分）"));
    ASSERT_EQ(feed.outages().size(), 1u);
    EXPECT_EQ(feed.outages().back().reason, lost);
    EXPECT_TRUE(feed.outages().back().ongoing());
    feed.drawResults();
    EXPECT_FALSE(feed.outages().back().ongoing());

    feed.notice(stamp + kNoRecordText + QStringLiteral(" 10:01～10:01（1件、接続断）"));
    feed.notice(stamp + kRunEndText + QStringLiteral(": 記録 9件／予定 10件、欠測 1件"));
    EXPECT_EQ(feed.outages().size(), 1u);
    feed.notice(stamp + kShotsFailingText + QStringLiteral("5"));
    EXPECT_EQ(feed.outages().size(), 2u);

    ASSERT_EQ(feed.messages().size(), 6u);
    EXPECT_EQ(feed.messages()[1].text, lost);
    EXPECT_TRUE(feed.messages()[1].title.isEmpty());
    EXPECT_EQ(next.seen.mid(2, 2),
              (QStringList{QStringLiteral("notice ") + lost,
                           QStringLiteral("status ") + kReconnectingText + QStringLiteral("1")}));
    EXPECT_EQ(next.seen.filter(QStringLiteral("notice ")).size(), 6);
}

} // namespace
