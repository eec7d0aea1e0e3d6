// The status page of `measure --simulate --serve` over plain HTTP: every endpoint, the values
// against what the run printed and wrote, the refusals, and that hostile clients do not hold
// up the measurement.

#include "WebTestSupport.h"

#include "files/ResultExport.h"
#include "files/ResultFileReader.h"
#include "web/StatusServer.h"
#include "web/WebAccess.h"

#include <QJsonArray>
#include <QtEndian>

#include <vector>

using namespace webtest;

namespace {

class StatusServerRun : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ServedStation::Setup setup;
        setup.endMin = 40; // 21 records, about 24 s
        station_ = new ServedStation(setup);
        port_ = station_->waitForPage();
    }
    static void TearDownTestSuite()
    {
        delete station_;
        station_ = nullptr;
    }
    void SetUp() override { ASSERT_NE(port_, 0) << qPrintable(station_->stderrText()); }
    // Waits until the run has analysed a shot and written a record.
    static QJsonObject running()
    {
        return station_->waitForStatus(
            port_,
            [](const QJsonObject& s) {
                return s[QStringLiteral("shots")].toInt() > 0 &&
                       s[QStringLiteral("records")][QStringLiteral("written")].toInt() > 0;
            },
            60000);
    }

    static ServedStation* station_;
    static quint16 port_;
};

ServedStation* StatusServerRun::station_ = nullptr;
quint16 StatusServerRun::port_ = 0;

// Width and height from a PNG's header.
std::pair<int, int> pngSize(const QByteArray& png)
{
    if (png.size() < 24 || !png.startsWith("\x89PNG\r\n\x1a\n"))
        return {0, 0};
    const auto* p = reinterpret_cast<const uchar*>(png.constData());
    return {int(qFromBigEndian<quint32>(p + 16)), int(qFromBigEndian<quint32>(p + 20))};
}

TEST_F(StatusServerRun, StatusShotAndRecordDocuments)
{
    const QJsonObject s = running();
    ASSERT_GT(s[QStringLiteral("shots")].toInt(), 0);
    EXPECT_FALSE(s[QStringLiteral("status")].toString().isEmpty());
    EXPECT_TRUE(s[QStringLiteral("summary")].toString().startsWith(QStringLiteral("F-1 基本波＝")));
    EXPECT_EQ(s[QStringLiteral("feeders")].toInt(), 3);
    EXPECT_EQ(s[QStringLiteral("summaries")].toArray().size(), 3);
    const QJsonArray recorders = s[QStringLiteral("recorders")].toArray();
    ASSERT_EQ(recorders.size(), 1);
    EXPECT_EQ(recorders[0][QStringLiteral("link")].toString(), QStringLiteral("connected"));
    EXPECT_EQ(recorders[0][QStringLiteral("lastGoodShot")], s[QStringLiteral("lastShot")]);
    const QJsonObject records = s[QStringLiteral("records")].toObject();
    EXPECT_EQ(records[QStringLiteral("expectedTotal")].toInt(), 21);
    EXPECT_EQ(records[QStringLiteral("intervalMin")].toInt(), 2);
    EXPECT_TRUE(records[QStringLiteral("nextSave")].isString());
    EXPECT_TRUE(records[QStringLiteral("gaps")].toArray().isEmpty());
    EXPECT_TRUE(s[QStringLiteral("outages")].isArray());
    EXPECT_TRUE(s[QStringLiteral("messages")].isArray());
    const QJsonArray files = s[QStringLiteral("files")].toArray();
    ASSERT_EQ(files.size(), 1);
    EXPECT_EQ(files[0][QStringLiteral("name")].toString(), QStringLiteral("run.hv3"));
    // No path of the station's disk shows.
    EXPECT_FALSE(QJsonDocument(s).toJson().contains(station_->folder().toUtf8()));

    for (int feeder = 1; feeder <= 3; ++feeder) {
        const HttpReply shot = get(port_, "/api/shot?feeder=" + QByteArray::number(feeder));
        ASSERT_EQ(shot.status, 200) << feeder;
        const QJsonObject o = shot.json();
        EXPECT_EQ(o[QStringLiteral("feeder")].toInt(), feeder);
        const QJsonArray orders = o[QStringLiteral("orders")].toArray();
        ASSERT_EQ(orders.size(), 99); // MaxHarmonicOrder
        const QJsonObject first = orders[0].toObject();
        EXPECT_EQ(first[QStringLiteral("order")].toInt(), 1);
        for (const char* key :
             {"V", "I", "Vratio", "Iratio", "P", "Q", "powerAngle", "Vangle", "Iangle"})
            EXPECT_TRUE(first[QLatin1String(key)].isDouble()) << key;
        EXPECT_NEAR(first[QStringLiteral("V")].toDouble(), 6600.0, 66.0);
        EXPECT_EQ(o[QStringLiteral("Vrms")].toArray().size(), 3);
    }
    EXPECT_EQ(get(port_, "/api/shot?feeder=4").status, 404);
    EXPECT_EQ(get(port_, "/api/shot?feeder=x").status, 400);

    const HttpReply recs = get(port_, "/api/records");
    ASSERT_EQ(recs.status, 200);
    const QJsonObject r = recs.json();
    EXPECT_EQ(r[QStringLiteral("feeders")].toInt(), 3);
    EXPECT_EQ(r[QStringLiteral("orders")].toArray().size(), 25);
    const QJsonArray list = r[QStringLiteral("records")].toArray();
    ASSERT_GE(list.size(), 1);
    EXPECT_EQ(list[0][QStringLiteral("I")].toArray().size(), 3);
    EXPECT_EQ(list[0][QStringLiteral("Ithd")].toArray().size(), 3);
    // A range that ends before the first record holds none; a bad time is refused.
    const QByteArray first = list[0][QStringLiteral("time")].toString().toUtf8();
    EXPECT_EQ(get(port_, "/api/records?to=2000-01-01T00:00")
                  .json()[QStringLiteral("records")]
                  .toArray()
                  .size(),
              0);
    EXPECT_EQ(get(port_, "/api/records?from=" + first + "&to=" + first)
                  .json()[QStringLiteral("records")]
                  .toArray()
                  .size(),
              1);
    EXPECT_EQ(get(port_, "/api/records?from=yesterday").status, 400);
}

TEST_F(StatusServerRun, PageViewsAndDownloads)
{
    running();
    const HttpReply page = get(port_, "/");
    ASSERT_EQ(page.status, 200);
    EXPECT_TRUE(page.headers.value("content-type").startsWith("text/html"));
    EXPECT_TRUE(page.body.contains("id=\"summary\""));
    EXPECT_FALSE(page.body.contains("http://")) << "no external scripts or fonts";
    EXPECT_FALSE(page.body.contains("https://"));
    EXPECT_EQ(get(port_, "/app.js").status, 200);
    EXPECT_EQ(get(port_, "/style.css").status, 200);
    EXPECT_FALSE(get(port_, "/app.js").body.contains("http"));

    for (int view : {1, 6, 7, 8, 9}) {
        const HttpReply png = get(port_, "/view/" + QByteArray::number(view) + ".png?feeder=2");
        ASSERT_EQ(png.status, 200) << view;
        EXPECT_EQ(png.headers.value("content-type"), "image/png");
        EXPECT_EQ(pngSize(png.body), std::make_pair(640, 360)) << view;
    }
    EXPECT_EQ(pngSize(get(port_, "/view/9.png?w=320&h=180").body), std::make_pair(320, 180));
    // The table views: both grids with every row, as wide as asked, as tall as the rows.
    for (int view : {2, 3, 4, 5}) {
        const HttpReply png = get(port_, "/view/" + QByteArray::number(view) + ".png?feeder=2");
        ASSERT_EQ(png.status, 200) << view;
        const auto size = pngSize(png.body);
        EXPECT_GT(size.first, 400) << view;
        EXPECT_GT(size.second, 360) << view;
    }
    EXPECT_EQ(get(port_, "/view/1.png?feeder=4").status, 404);
    EXPECT_EQ(get(port_, "/view/1.png?w=100000").status, 400);

    const HttpReply raw = get(port_, "/download/0");
    ASSERT_EQ(raw.status, 200);
    EXPECT_EQ(raw.headers.value("content-disposition"), "attachment; filename=\"run.hv3\"");
    QFile written(station_->outputFile());
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_TRUE(written.readAll().startsWith(raw.body));
    EXPECT_EQ(raw.body.size() % 654, 0);
    const HttpReply csv = get(port_, "/download/0.csv");
    ASSERT_EQ(csv.status, 200);
    EXPECT_TRUE(csv.body.startsWith("time,V_h1,"));
    EXPECT_EQ(get(port_, "/download/1").status, 404); // one file only
}

TEST_F(StatusServerRun, OnlyGetOnlyKnownPathsNoInternals)
{
    for (const QByteArray method : {"POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH"}) {
        const HttpReply r =
            sendRaw(port_, method + " /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                    "Content-Length: 0\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(r.status, 405) << method.constData();
        if (method != "HEAD") {
            EXPECT_EQ(r.headers.value("allow"), "GET") << method.constData();
        }
    }
    for (const QByteArray path : {"/nothing", "/api", "/api/", "/api/status/x", "/view/1.jpg",
                                  "/view/10.png", "/download/", "/download/x", "/index.htm"}) {
        const HttpReply r = get(port_, path);
        EXPECT_EQ(r.status, 404) << path.constData();
        EXPECT_FALSE(r.body.contains(station_->folder().toUtf8()));
        EXPECT_FALSE(r.body.contains(".cpp"));
    }
    // Another site's page that reaches this loopback server under its own name.
    EXPECT_EQ(sendRaw(port_, "GET /api/status HTTP/1.1\r\nHost: attacker.example:80\r\n"
                             "Connection: close\r\n\r\n")
                  .status,
              403);
}

TEST_F(StatusServerRun, PathTraversalIsRefused)
{
    running();
    for (const QByteArray path :
         {"/download/../../etc/passwd", "/download/..%2F..%2F..%2Fetc%2Fpasswd",
          "/download/%2e%2e/%2e%2e/%2e%2e/etc/passwd", "/download/0/../../../../etc/passwd",
          "/download/%2Fetc%2Fpasswd", "/download//etc/passwd", "/../../../etc/passwd",
          "/download/0%00.csv", "/download/..\\..\\etc\\passwd", "/view/../../etc/passwd",
          "/download/%252e%252e%252fetc%252fpasswd", "/download/run.hv3",
          "/download/..%c0%af..%c0%afetc%c0%afpasswd"}) {
        const HttpReply r = get(port_, path);
        EXPECT_NE(r.status, 200) << path.constData();
        EXPECT_FALSE(r.body.contains("root:")) << path.constData();
    }
}

TEST_F(StatusServerRun, HostileClientsDoNotStopTheMeasurement)
{
    const QJsonObject before = running();
    const int shotsBefore = before[QStringLiteral("shots")].toInt();

    // A megabyte of request header: answered 431 or cut off, never served.
    const HttpReply big = sendRaw(port_, "GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " +
                                             QByteArray(1 << 20, 'a') + "\r\n\r\n");
    EXPECT_NE(big.status, 200);
    // A body sent with a GET is no way around the bound either.
    const HttpReply body = sendRaw(port_, "GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                          "Content-Length: 2000000\r\n\r\n" +
                                              QByteArray(2000000, 'b'));
    EXPECT_NE(body.status, 200);

    // A sound request that arrives in many small pieces is counted once, not once a piece.
    {
        const QByteArray padded =
            "GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: " + QByteArray(3000, 'p') +
            "\r\nConnection: close\r\n\r\n";
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), port_);
        ASSERT_TRUE(socket.waitForConnected(5000));
        socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        for (qsizetype at = 0; at < padded.size(); at += 100) {
            socket.write(padded.mid(at, 100));
            socket.waitForBytesWritten(1000);
            QThread::msleep(10);
        }
        QByteArray answer;
        while (socket.waitForReadyRead(3000))
            answer += socket.readAll();
        EXPECT_TRUE(answer.startsWith("HTTP/1.1 200")) << answer.left(60).constData();
    }

    // 200 connections that connect and say nothing.
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 200; ++i) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QStringLiteral("127.0.0.1"), port_);
        socket->waitForConnected(2000);
        idle.push_back(std::move(socket));
    }
    // The page still answers and the shots go on.
    const QJsonObject after = station_->waitForStatus(
        port_,
        [&](const QJsonObject& s) { return s[QStringLiteral("shots")].toInt() > shotsBefore + 5; },
        30000);
    EXPECT_GT(after[QStringLiteral("shots")].toInt(), shotsBefore + 5);
    EXPECT_EQ(get(port_, "/view/1.png").status, 200);
    EXPECT_TRUE(station_->running());
    // The station kept a bounded number of them open.
    int open = 0;
    for (auto& socket : idle) {
        socket->waitForReadyRead(5);
        open += socket->state() == QAbstractSocket::ConnectedState ? 1 : 0;
    }
    EXPECT_LE(open, hs::web::ServeOptions().maxConnections);
}

// Last: waits for the end of the run and holds what the page said against what the run
// printed and wrote.
TEST_F(StatusServerRun, ValuesEqualWhatTheRunPrintedAndWrote)
{
    running();
    const QJsonObject status = get(port_, "/api/status").json();
    const QJsonObject records = get(port_, "/api/records").json();
    const QByteArray csv = get(port_, "/download/0.csv").body;
    const QString summary = status[QStringLiteral("summary")].toString();
    const int shots = status[QStringLiteral("shots")].toInt();
    const int written = status[QStringLiteral("records")][QStringLiteral("written")].toInt();

    ASSERT_EQ(station_->waitForEnd(), 0) << qPrintable(station_->stderrText());
    const QString out = station_->stdoutText();
    EXPECT_TRUE(out.contains(QStringLiteral("  ") + summary + QLatin1Char('\n')))
        << qPrintable(summary);
    static const QRegularExpression final(
        QStringLiteral("measurement complete: (\\d+) shots analysed, (\\d+) of \\2 records "
                       "written, 0 missing"));
    const QRegularExpressionMatch m = final.match(out);
    ASSERT_TRUE(m.hasMatch()) << qPrintable(out.right(500));
    EXPECT_LE(shots, m.captured(1).toInt());
    EXPECT_EQ(m.captured(2).toInt(), 21);

    hs::ResultFile file;
    QString error;
    ASSERT_TRUE(hs::ReadResultFile(station_->outputFile(), file, error)) << qPrintable(error);
    ASSERT_EQ(file.records.size(), 21u);
    const QJsonArray list = records[QStringLiteral("records")].toArray();
    // The records were asked after the status: a save may have come in between.
    ASSERT_GE(list.size(), written);
    ASSERT_LE(list.size(), written + 1);
    for (qsizetype i = 0; i < list.size(); ++i) {
        const hs::ResultRecord& rec = file.records[std::size_t(i)];
        const QJsonObject o = list[i].toObject();
        EXPECT_EQ(o[QStringLiteral("time")].toString(),
                  rec.time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")));
        EXPECT_EQ(float(o[QStringLiteral("V")].toDouble()), rec.voltage[0]);
        for (int f = 0; f < 3; ++f)
            EXPECT_EQ(float(o[QStringLiteral("I")][f].toDouble()), rec.current[std::size_t(f)][0]);
    }
    // The CSV the page gave is the first lines of the CSV of the whole file.
    EXPECT_EQ(csv.count('\n'), written + 1); // the column names, then a line per record
    EXPECT_TRUE(hs::ResultCsv(file, {}).startsWith(csv));
}

} // namespace

namespace {

// Bound beyond loopback: nothing without the token, whatever the path.
TEST(StatusServerToken, EveryRequestNeedsTheToken)
{
    ServedStation::Setup setup;
    setup.endMin = 600; // ended by the test
    setup.serve = QStringLiteral("0.0.0.0:0");
    setup.token = "c0ffee-7d3f1b2a9e-station-token";
    ServedStation station(setup);
    const quint16 port = station.waitForPage();
    ASSERT_NE(port, 0) << qPrintable(station.stderrText());
    const QByteArray right = "X-Station-Token: " + setup.token + "\r\n";
    station.setHeaders(right);
    station.waitForStatus(
        port, [](const QJsonObject& s) { return s[QStringLiteral("shots")].toInt() > 0; }, 60000);

    for (const QByteArray path : {"/", "/api/status", "/api/shot", "/api/records", "/view/1.png",
                                  "/download/0", "/download/0.csv", "/nothing"}) {
        EXPECT_EQ(get(port, path).status, 401) << path.constData();
        EXPECT_EQ(get(port, path, "X-Station-Token: c0ffee-7d3f1b2a9e-station-tokeX\r\n").status,
                  401)
            << path.constData();
        EXPECT_EQ(get(port, path, "X-Station-Token: c0ffee\r\n").status, 401) << path.constData();
        EXPECT_EQ(get(port, path, "Cookie: hs_token=\r\n").status, 401) << path.constData();
    }
    EXPECT_EQ(get(port, "/api/status", right).status, 200);
    EXPECT_EQ(get(port, "/api/status", "Authorization: Bearer " + setup.token + "\r\n").status,
              200);
    EXPECT_EQ(get(port, "/api/status", "Cookie: a=1; hs_token=" + setup.token + "\r\n").status,
              200);
    // Any host name will do once the token is given (the station is reached by its address).
    EXPECT_EQ(sendRaw(port, "GET /api/status HTTP/1.1\r\nHost: station.example\r\n" + right +
                                "Connection: close\r\n\r\n")
                  .status,
              200);
    // Still read-only with the token.
    EXPECT_EQ(sendRaw(port, "POST /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n" + right +
                                "Content-Length: 0\r\nConnection: close\r\n\r\n")
                  .status,
              405);

    // The sign-in page sets the cookie for a browser; a wrong token sets nothing.
    const HttpReply wrong = get(port, "/login?token=nope");
    EXPECT_EQ(wrong.status, 401);
    EXPECT_FALSE(wrong.headers.contains("set-cookie"));
    const HttpReply login = get(port, "/login?token=" + setup.token);
    EXPECT_EQ(login.status, 303);
    EXPECT_EQ(login.headers.value("location"), "/");
    const QByteArray cookie = login.headers.value("set-cookie");
    EXPECT_TRUE(cookie.startsWith("hs_token=" + setup.token + ";"));
    EXPECT_TRUE(cookie.contains("HttpOnly"));
    EXPECT_TRUE(cookie.contains("SameSite=Strict"));
    EXPECT_TRUE(station.running());
}

} // namespace

namespace {

// A recorder that cuts a block short in the middle of the run: the page shows the outage from
// the transfer error the run printed to the next good shot, and the run goes on.
TEST(StatusServerOutage, ATransferErrorIsAnOutageUntilTheNextGoodShot)
{
    ServedStation::Setup setup;
    setup.endMin = 600; // ended by the test
    setup.faults = {QStringLiteral("short-block=3000")};
    ServedStation station(setup);
    const quint16 port = station.waitForPage();
    ASSERT_NE(port, 0) << qPrintable(station.stderrText() + station.stdoutText());
    const QJsonObject s = station.waitForStatus(
        port,
        [](const QJsonObject& st) {
            const QJsonArray outages = st[QStringLiteral("outages")].toArray();
            return !outages.isEmpty() && outages[0][QStringLiteral("to")].isString();
        },
        90000);
    const QJsonArray outages = s[QStringLiteral("outages")].toArray();
    ASSERT_EQ(outages.size(), 1) << qPrintable(QJsonDocument(s).toJson());
    const QJsonObject o = outages[0].toObject();
    const QString reason = o[QStringLiteral("reason")].toString();
    EXPECT_TRUE(reason.startsWith(QStringLiteral("データ転送エラー"))) << qPrintable(reason);
    EXPECT_TRUE(station.stdoutText().contains(QStringLiteral("  ") + reason + QLatin1Char('\n')));
    EXPECT_LE(o[QStringLiteral("from")].toString(), o[QStringLiteral("to")].toString());
    EXPECT_LE(o[QStringLiteral("to")].toString(), s[QStringLiteral("lastShot")].toString());
    EXPECT_TRUE(station.running());
}

} // namespace

namespace {

// How the page treats connections: requests sent ahead of their answers, connections asked to
// close, oversized requests, strangers that hold connections, clients that ask for many sizes.
class StatusServerConnections : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ServedStation::Setup setup;
        setup.endMin = 600; // ended by the tests
        station_ = new ServedStation(setup);
        port_ = station_->waitForPage();
        if (port_ != 0)
            station_->waitForStatus(
                port_, [](const QJsonObject& s) { return s[QStringLiteral("shots")].toInt() > 0; },
                60000);
    }
    static void TearDownTestSuite()
    {
        delete station_;
        station_ = nullptr;
    }
    void SetUp() override { ASSERT_NE(port_, 0) << qPrintable(station_->stderrText()); }
    static bool connect(QTcpSocket& socket)
    {
        socket.connectToHost(QStringLiteral("127.0.0.1"), port_);
        return socket.waitForConnected(5000);
    }
    static QByteArray request(const QByteArray& path, const QByteArray& extra = {},
                              const QByteArray& version = "HTTP/1.1")
    {
        return "GET " + path + ' ' + version + "\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
    }

    static ServedStation* station_;
    static quint16 port_;
};

ServedStation* StatusServerConnections::station_ = nullptr;
quint16 StatusServerConnections::port_ = 0;

TEST_F(StatusServerConnections, PipelinedRequestsAreAnsweredInOrder)
{
    // Sent at once by a client that closes its side right after them.
    for (const int n : {2, 3, 5}) {
        QTcpSocket socket;
        ASSERT_TRUE(connect(socket));
        QByteArray requests;
        // Alternating paths, so that the order of the answers shows.
        for (int i = 0; i < n; ++i)
            requests += request(i % 2 ? "/app.js" : "/api/status");
        const Exchange e = exchange(socket, requests, std::size_t(n), 5000, true);
        ASSERT_EQ(e.replies.size(), std::size_t(n)) << n;
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(e.replies[std::size_t(i)].status, 200) << n << ' ' << i;
            EXPECT_TRUE(e.replies[std::size_t(i)].headers.value("content-type").startsWith(
                i % 2 ? "text/javascript" : "application/json"))
                << n << ' ' << i;
        }
    }
}

TEST_F(StatusServerConnections, ClosesAfterTheAnswerWhenAsked)
{
    const QByteArray asks[] = {request("/api/status", {}, "HTTP/1.0"),
                               request("/api/status", "Connection: close\r\n"),
                               request("/api/status", "Connection: keep-alive, Close\r\n")};
    for (const QByteArray& ask : asks) {
        QTcpSocket socket;
        ASSERT_TRUE(connect(socket));
        const Exchange e = exchange(socket, ask, 1);
        ASSERT_EQ(e.replies.size(), 1u) << ask.constData();
        EXPECT_EQ(e.replies[0].status, 200);
        EXPECT_EQ(e.replies[0].headers.value("connection").toLower(), "close");
        EXPECT_TRUE(closedWithin(socket, 3000)) << ask.constData();
    }
    // A request behind one that asked to close is not answered; the connection closes cleanly.
    QTcpSocket socket;
    ASSERT_TRUE(connect(socket));
    const Exchange e = exchange(
        socket, request("/api/status", "Connection: close\r\n") + request("/app.js"), 2, 3000);
    ASSERT_EQ(e.replies.size(), 1u);
    EXPECT_EQ(e.replies[0].status, 200);
    EXPECT_TRUE(closedWithin(socket, 3000));
    // Without either, HTTP/1.1 and HTTP/1.0 with keep-alive stay open.
    for (const QByteArray& ask :
         {request("/api/status"), request("/api/status", "Connection: keep-alive\r\n", "HTTP/1.0")}) {
        QTcpSocket open;
        ASSERT_TRUE(connect(open));
        ASSERT_EQ(exchange(open, ask, 1).replies.size(), 1u);
        EXPECT_FALSE(closedWithin(open, 500)) << ask.constData();
    }
}

TEST_F(StatusServerConnections, TooManyHeaderLinesAre431WithTheUsualHeaders)
{
    const auto lines = [](int n) {
        QByteArray extra;
        for (int i = 0; i < n; ++i)
            extra += "X-L" + QByteArray::number(i) + ": 1\r\n";
        return extra;
    };
    // 100 header lines are served, 101 are not. The Host header comes first, so that a server
    // that dropped the lines beyond its own bound would answer the rest.
    EXPECT_EQ(sendRaw(port_, request("/api/status", lines(98) + "Connection: close\r\n")).status,
              200);
    const HttpReply many =
        sendRaw(port_, request("/api/status", lines(99) + "Connection: close\r\n"));
    EXPECT_EQ(many.status, 431);
    const HttpReply large =
        sendRaw(port_, request("/api/status", "X-Big: " + QByteArray(9000, 'a') + "\r\n"));
    EXPECT_EQ(large.status, 431);
    const HttpReply usual = get(port_, "/nothing");
    for (const HttpReply& r : {many, large})
        for (const QByteArray name : {"cache-control", "x-content-type-options",
                                      "x-frame-options", "referrer-policy",
                                      "content-security-policy"})
            EXPECT_EQ(r.headers.value(name), usual.headers.value(name)) << name.constData();
}

TEST_F(StatusServerConnections, IdleStrangersDoNotPushOutAClient)
{
    QTcpSocket client;
    ASSERT_TRUE(connect(client));
    ASSERT_EQ(exchange(client, request("/api/status"), 1).replies.size(), 1u);
    QThread::msleep(200); // the client is now the longest idle
    std::vector<std::unique_ptr<QTcpSocket>> strangers;
    for (int i = 0; i < 2 * hs::web::ServeOptions().maxConnections; ++i) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QStringLiteral("127.0.0.1"), port_);
        socket->waitForConnected(2000);
        strangers.push_back(std::move(socket));
    }
    QThread::msleep(300); // the station took them all
    const Exchange e = exchange(client, request("/api/status"), 1, 3000);
    ASSERT_EQ(e.replies.size(), 1u);
    EXPECT_EQ(e.replies[0].status, 200);
}

TEST_F(StatusServerConnections, ManySizesCostABoundedDrawing)
{
    // One connection asking without pause gets its pictures at its share's pace, every one
    // answered: 10 beyond the burst at 10 a second take a second at least.
    QTcpSocket socket;
    ASSERT_TRUE(connect(socket));
    QElapsedTimer timer;
    timer.start();
    const int pictures = int(hs::web::GuardedTcpServer::kPictureBurst) + 10;
    for (int i = 0; i < pictures; ++i) {
        const Exchange e = exchange(socket, request("/view/9.png"), 1);
        ASSERT_EQ(e.replies.size(), 1u) << i;
        EXPECT_EQ(e.replies[0].status, 200) << i;
    }
    EXPECT_GE(timer.elapsed(), 800);

    // Widths of a view swept, each on a connection of its own: a few are drawn, the rest come
    // from the pictures kept (another size) or are refused with a time to come back.
    int asked = 0, drawnAsAsked = 0;
    for (int w = 160; w <= 1920; w += 7, ++asked) {
        const HttpReply r = get(port_, "/view/1.png?w=" + QByteArray::number(w));
        if (r.status == 503) {
            EXPECT_GE(r.headers.value("retry-after").toInt(), 1) << w;
            continue;
        }
        ASSERT_EQ(r.status, 200) << w;
        const auto size = pngSize(r.body);
        EXPECT_EQ(size.second, 360) << w;
        drawnAsAsked += size.first == w ? 1 : 0;
    }
    EXPECT_LT(drawnAsAsked, asked / 2) << asked;
    EXPECT_GT(drawnAsAsked, 0);
    EXPECT_TRUE(station_->running());
}

} // namespace
