// The status page's rules without a network: options, secrets, the run's feed and what the
// records say about the schedule.

#include "app/MeasureCommand.h"
#include "common/Clock.h"
#include "engine/RunLoop.h"
#include "model/RecorderFacts.h"
#include "recorder/LanModule.h"
#include "support/BlockingFifo.h"
#include "web/RunFeed.h"
#include "web/StatusJson.h"
#include "web/WebAccess.h"

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

// The listener behind the feed: the default presentation, written down in order.
struct Recorder : EngineObserver {
    QStringList seen;
    void status(const RunStatus& s) override { seen << QStringLiteral("status ") + s.text; }
    void summaryText(const QString& t) override { seen << QStringLiteral("summary ") + t; }
    void notice(const QString& t) override { seen << QStringLiteral("notice ") + t; }
    void message(const QString& t, const MessageSeverity& severity) override
    {
        seen << QStringLiteral("message ") + severity.title() + t;
    }
};

RunEvent shotOf(const MeasurementData& data, const QString& summary)
{
    auto snapshot = std::make_shared<ShotSnapshot>();
    snapshot->Data = data;
    return {run::ShotAnalysed{snapshot}, summary, {}};
}

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

    feed.status(RunStatus::usual(QStringLiteral("測定中")));
    feed.status(RunStatus::trouble(QStringLiteral("データ転送エラー"))); // before any shot
    EXPECT_TRUE(feed.outages().empty());
    feed.runEvent(shotOf(data, QStringLiteral("line 1")));
    EXPECT_EQ(feed.shots(), 1);
    EXPECT_EQ(feed.summary(), QStringLiteral("line 1"));
    // The shot shown is the snapshot, whatever the engine writes next.
    data.VoltByOrder[1] = 1.0f;
    EXPECT_EQ(feed.shot().VoltByOrder[1], 6600.0f);

    feed.status(RunStatus::usual(QStringLiteral("ＦＦＴ演算中")));
    EXPECT_TRUE(feed.outages().empty());
    feed.status(RunStatus::trouble(QStringLiteral("データ転送エラー CH=1")));
    feed.message(QStringLiteral("lost"), MessageSeverity::error());
    ASSERT_EQ(feed.outages().size(), 1u);
    EXPECT_TRUE(feed.outages().back().ongoing());
    EXPECT_EQ(feed.outages().back().reason, QStringLiteral("データ転送エラー CH=1"));
    ASSERT_EQ(feed.messages().size(), 1u);
    EXPECT_EQ(feed.messages().back().title, QStringLiteral("エラー"));
    feed.runEvent(shotOf(data, QStringLiteral("line 2")));
    EXPECT_FALSE(feed.outages().back().ongoing());
    EXPECT_EQ(feed.outages().back().to, feed.lastShotTime());

    EXPECT_EQ(
        next.seen,
        (QStringList{QStringLiteral("status 測定中"), QStringLiteral("status データ転送エラー"),
                     QStringLiteral("summary line 1"), QStringLiteral("status ＦＦＴ演算中"),
                     QStringLiteral("status データ転送エラー CH=1"),
                     QStringLiteral("message エラーlost"), QStringLiteral("summary line 2")}));
}

// The run's events: notices and messages are kept with the messages and passed on; only
// trouble (a lost link, failing shots, an error) begins an outage, and the reconnection,
// missing or late records and the end of the run do not begin another.
TEST(RunFeed, EventsOfTheRunAreKeptAndOnlyTroubleBeginsAnOutage)
{
    Clock clock(0.001);
    LanModule lan(clock);
    RecorderFacts facts;
    MeasurementSettings settings;
    MeasurementData data;
    Recorder next;
    RunFeed feed({clock, lan, facts, settings, data}, &next);
    const auto notice = [&](RunEvent::What what) {
        feed.runEvent({std::move(what), QStringLiteral("notice"), {}});
    };

    feed.runEvent(shotOf(data, QString()));
    notice(run::RecordSavedLate{});
    feed.runEvent({run::RecordSaved{}, {}, {}});
    EXPECT_TRUE(feed.outages().empty());
    feed.runEvent({run::LinkLost{{1}}, QStringLiteral("lost"), {}});
    feed.runEvent({run::ReconnectAttempt{1}, QStringLiteral("attempt 1"), {}});
    notice(run::LinkBack{60});
    ASSERT_EQ(feed.outages().size(), 1u);
    EXPECT_EQ(feed.outages().back().reason, QStringLiteral("lost"));
    EXPECT_TRUE(feed.outages().back().ongoing());
    EXPECT_EQ(feed.status(), QStringLiteral("attempt 1"));
    feed.runEvent(shotOf(data, QString()));
    EXPECT_FALSE(feed.outages().back().ongoing());

    notice(run::RecordsMissing{});
    notice(run::FileRecreated{});
    notice(run::RunEnded{});
    EXPECT_EQ(feed.outages().size(), 1u);
    notice(run::Stalled{8});
    EXPECT_EQ(feed.outages().size(), 2u);
    feed.runEvent(shotOf(data, QString()));
    feed.runEvent({run::WriteFailed{}, QStringLiteral("disk full"), MessageSeverity::error()});
    ASSERT_EQ(feed.outages().size(), 3u);
    EXPECT_EQ(feed.outages().back().reason, QStringLiteral("エラー: disk full"));

    ASSERT_EQ(feed.messages().size(), 8u);
    EXPECT_EQ(feed.messages()[1].text, QStringLiteral("lost"));
    EXPECT_TRUE(feed.messages()[1].title.isEmpty());
    EXPECT_EQ(feed.messages().back().title, QStringLiteral("エラー"));
    EXPECT_EQ(next.seen.mid(1, 2),
              (QStringList{QStringLiteral("notice lost"), QStringLiteral("status attempt 1")}));
    EXPECT_EQ(next.seen.filter(QStringLiteral("notice ")).size(), 7);
}

} // namespace
