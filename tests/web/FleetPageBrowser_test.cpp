// The fleet page in a real browser: `collect --serve` on a database of two stations, headless
// Chromium runs the page's script; the rendered DOM must show each station's state, its
// completeness strip, its trends and, under the fleet's limit profile, its verdict per feeder.

#include "fleet/FleetStore.h"
#include "support/HeadlessChromium.h"

#include "files/ResultFormat.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

using namespace hs;
using namespace hs::fleet;

namespace {

// Records of one feeder every 30 minutes from first to last, fundamental 6600 V with a slow
// swing.
void addRecords(FleetStore& store, const QString& station, const QDateTime& first,
                const QDateTime& last)
{
    std::vector<RecordMessage> batch;
    for (QDateTime t = first; t <= last; t = t.addSecs(1800)) {
        RecordMessage m;
        m.station = station;
        m.run = QStringLiteral("run1");
        m.file.layout = RecordLayout{0, 1, false};
        m.file.kind = ResultFileKind{0, 1, {}};
        m.file.orders = OrderSet(false);
        ResultRecord r;
        r.time = t;
        const float swing = 20.0f * float(std::sin(double(t.toSecsSinceEpoch()) / 20000.0));
        r.voltage.assign(25, 30.0f);
        r.voltage[0] = 6600.0f + swing;
        r.current = {std::vector<float>(25, 2.0f)};
        r.current[0][0] = 200;
        r.powerAngle = {std::vector<std::int16_t>(25, 0)};
        m.file.records.push_back(r);
        batch.push_back(m);
    }
    QString why;
    ASSERT_TRUE(store.storeRecords(batch, &why)) << why.toStdString();
}

void addStatus(FleetStore& store, const QString& station, bool online, const QDateTime& seen)
{
    QString why;
    ASSERT_TRUE(store.storeStatus(station,
                                  {{QStringLiteral("online"), online},
                                   {QStringLiteral("time"), seen.toString(Qt::ISODate)},
                                   {QStringLiteral("saveIntervalMin"), 30},
                                   {QStringLiteral("run"), QStringLiteral("run1")}},
                                  &why))
        << why.toStdString();
}

TEST(FleetPageBrowser, ChromiumShowsStationsStripsAndTrends)
{
    const QString chromium = hs::testing::chromiumPath();
    if (chromium.isEmpty())
        GTEST_SKIP() << "chromium is not installed (make deps installs it)";
    QTemporaryDir dir;
    const QString db = QStringLiteral("sqlite:") + dir.path() + QStringLiteral("/fleet.db");
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime midnight(now.date(), QTime(0, 0));
    {
        FleetStore store;
        QString why;
        ASSERT_TRUE(store.open(*ParseDatabaseSpec(db, nullptr), &why)) << why.toStdString();
        // east-1: three whole days and today so far; west-2: half of yesterday, offline.
        addRecords(store, QStringLiteral("east-1"), midnight.addDays(-3), now.addSecs(-60));
        addStatus(store, QStringLiteral("east-1"), true, now);
        addRecords(store, QStringLiteral("west-2"), midnight.addDays(-1),
                   midnight.addDays(-1).addSecs(12 * 3600 - 60));
        addStatus(store, QStringLiteral("west-2"), false, midnight.addDays(-1).addSecs(12 * 3600));
    }
    // No broker answers on port 1: the collector keeps trying, the page serves.
    QProcess collect;
    collect.setProcessChannelMode(QProcess::MergedChannels);
    collect.start(qEnvironmentVariable("HS_BINARY"),
                  {QStringLiteral("collect"), QStringLiteral("--mqtt"),
                   QStringLiteral("mqtt://127.0.0.1:1/fleet"), QStringLiteral("--db"), db,
                   QStringLiteral("--serve"), QStringLiteral("127.0.0.1:0"),
                   // 2 A per order against 3.5 mA/kW x 100 kW = 0.35 A for the 5th
                   QStringLiteral("--profile"), QStringLiteral("jp-guideline"),
                   QStringLiteral("--kv"), QStringLiteral("6.6"), QStringLiteral("--contract-kw"),
                   QStringLiteral("100")});
    QString log, url;
    QElapsedTimer t;
    t.start();
    while (url.isEmpty() && t.elapsed() < 20000 && collect.waitForReadyRead(1000)) {
        log += QString::fromUtf8(collect.readAll());
        url =
            QRegularExpression(QStringLiteral("fleet page: (http://\\S+)")).match(log).captured(1);
    }
    ASSERT_FALSE(url.isEmpty()) << log.toStdString();

    QTemporaryDir profile;
    int exitCode = 0;
    const QString dom = QString::fromUtf8(hs::testing::runChromium(
        chromium, {QStringLiteral("--virtual-time-budget=5000"), QStringLiteral("--dump-dom"), url},
        profile.path(), &exitCode));
    ASSERT_EQ(exitCode, 0);
    const auto row = [&dom](const QString& station) {
        const qsizetype at =
            dom.indexOf(QStringLiteral("<td>") + station + QStringLiteral("</td>"));
        return at < 0 ? QString() : dom.mid(at, dom.indexOf(QStringLiteral("</tr>"), at) - at);
    };
    const QString east = row(QStringLiteral("east-1")), west = row(QStringLiteral("west-2"));
    ASSERT_FALSE(east.isEmpty()) << dom.left(2000).toStdString();
    ASSERT_FALSE(west.isEmpty());
    EXPECT_TRUE(east.contains(QStringLiteral("badge ok\">online")));
    EXPECT_TRUE(west.contains(QStringLiteral("badge bad\">offline")));
    // 14 days each; east-1 has three whole days (48 of 48), west-2 half a day (24 of 48).
    EXPECT_EQ(east.count(QStringLiteral("class=\"day")), 14);
    EXPECT_GE(east.count(QStringLiteral("class=\"day full\"")), 3) << east.toStdString();
    EXPECT_TRUE(west.contains(QStringLiteral("class=\"day few\" title=\"") +
                              midnight.addDays(-1).date().toString(Qt::ISODate) +
                              QStringLiteral(": 24 of 48 records\"")))
        << west.toStdString();
    // Two trend lines per station, drawn from the records.
    EXPECT_EQ(east.count(QStringLiteral("<polyline")), 2);
    EXPECT_TRUE(east.contains(QStringLiteral("class=\"thd\"")));
    // The verdict: the voltage (THD 2.2 %) within its 5 %, feeder 1 over from the 5th order on.
    EXPECT_TRUE(east.contains(QStringLiteral("電圧 適合"))) << east.toStdString();
    EXPECT_TRUE(east.contains(QStringLiteral("フィーダ1 超過 5次, 7次, 11次")))
        << east.toStdString();

    const QString shot = profile.path() + QStringLiteral("/fleet-page.png");
    hs::testing::runChromium(
        chromium,
        {QStringLiteral("--virtual-time-budget=5000"), QStringLiteral("--hide-scrollbars"),
         QStringLiteral("--window-size=1280,360"), QStringLiteral("--screenshot=") + shot, url},
        profile.path() + QStringLiteral("/second"), &exitCode);
    EXPECT_EQ(QImage(shot).size(), QSize(1280, 360));
    if (const QString keep = qEnvironmentVariable("HS_FLEET_PAGE_SHOT"); !keep.isEmpty()) {
        QFile::remove(keep);
        EXPECT_TRUE(QFile::copy(shot, keep));
    }
    collect.terminate();
    collect.waitForFinished(5000);
}

} // namespace
