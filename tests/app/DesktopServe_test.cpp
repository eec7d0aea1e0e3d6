// The desktop program's status page: its options, checked as the measure command checks them
// and before any window exists, and the page through the operator's path, from the connection
// screen to a measurement under way, against two simulated recorders in this process.

#include "ui/DesktopScreens.h"
#include "app/DesktopTestSupport.h"
#include "support/OperatorScript.h"

#include "ui/MeasurementScreen.h"
#include "engine/RunLoop.h"
#include "ui/ConnectionScreen.h"
#include "ui/PreparationScreen.h"
#include "ui/SettingsScreen.h"
#include "web/StatusServer.h"
#include "web/WebTestSupport.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>

namespace {

using desktoptest::child;
using desktoptest::click;
using desktoptest::type;

constexpr double kScale = 0.01;
// Nominal milliseconds that last about 30 s of real time at kScale.
constexpr qint64 kPatience = 3000 * 1000;
const QString kWaiting = QStringLiteral("waiting for the measurement to start: ");

QString writeToken(const QTemporaryDir& dir, const QByteArray& token)
{
    const QString path = dir.filePath(QStringLiteral("token.txt"));
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(token + "\n");
    return path;
}

TEST(DesktopServeOptions, TakenAndRefusedByTheMeasureCommandsRules)
{
    QString error;
    auto o = hs::parseDesktopOptions({QStringLiteral("--serve"), QStringLiteral("8080")}, &error);
    ASSERT_TRUE(o && o->serve) << qPrintable(error);
    EXPECT_EQ(o->serve->address, QHostAddress(QHostAddress::LocalHost));
    EXPECT_EQ(o->serve->port, 8080);
    EXPECT_TRUE(o->serve->token.isEmpty());

    // Beside the program's other options, in any order.
    o = hs::parseDesktopOptions({QStringLiteral("--time-scale"), QStringLiteral("0.5"),
                                 QStringLiteral("--serve"), QStringLiteral("[::1]:0"),
                                 QStringLiteral("--demo")},
                                &error);
    ASSERT_TRUE(o && o->serve) << qPrintable(error);
    EXPECT_TRUE(o->demo);
    EXPECT_EQ(o->timeScale, 0.5);
    EXPECT_EQ(o->serve->address, QHostAddress(QHostAddress::LocalHostIPv6));
    o = hs::parseDesktopOptions({QStringLiteral("--demo")}, &error);
    ASSERT_TRUE(o);
    EXPECT_FALSE(o->serve);
    EXPECT_FALSE(o->limits);
    // The limit watch's options as measure takes them.
    o = hs::parseDesktopOptions({QStringLiteral("--profile"), QStringLiteral("ieee519"),
                                 QStringLiteral("--demo"), QStringLiteral("--il"),
                                 QStringLiteral("100,50")},
                                &error);
    ASSERT_TRUE(o && o->limits) << qPrintable(error);
    EXPECT_EQ(o->limits->profile.id, QStringLiteral("ieee519"));
    EXPECT_EQ(o->limits->params.il, (std::vector<double>{100, 50}));
    EXPECT_FALSE(hs::parseDesktopOptions({QStringLiteral("--profile"), QStringLiteral("iec")}, &error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("--profile: unknown profile"))) << qPrintable(error);

    QTemporaryDir dir;
    const QString token = writeToken(dir, "0123456789abcdefXYZ");
    o = hs::parseDesktopOptions({QStringLiteral("--serve-token"), token, QStringLiteral("--serve"),
                                 QStringLiteral("0.0.0.0:8080")},
                                &error);
    ASSERT_TRUE(o && o->serve) << qPrintable(error);
    EXPECT_EQ(o->serve->token, QByteArray("0123456789abcdefXYZ"));

    const struct {
        QStringList args;
        const char* reason;
    } refused[] = {
        {{QStringLiteral("--serve"), QStringLiteral("0.0.0.0:8080")}, "--serve-token FILE"},
        {{QStringLiteral("--serve")}, "--serve needs a value"},
        {{QStringLiteral("--serve"), QStringLiteral("--demo")}, "--serve needs a value"},
        {{QStringLiteral("--serve"), QStringLiteral("70000")}, "not a port number"},
        {{QStringLiteral("--serve"), QStringLiteral("host:80")}, "not an IP address"},
        {{QStringLiteral("--serve-token"), token}, "--serve-token needs --serve"},
        {{QStringLiteral("--serve"), QStringLiteral("8080"), QStringLiteral("--serve-token"),
          dir.filePath(QStringLiteral("absent"))},
         "cannot read"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(qPrintable(r.args.join(QLatin1Char(' '))));
        error.clear();
        EXPECT_FALSE(hs::parseDesktopOptions(r.args, &error));
        EXPECT_TRUE(error.contains(QLatin1String(r.reason))) << qPrintable(error);
    }
    EXPECT_TRUE(hs::desktopOptionsHelp().contains(QStringLiteral("--serve [ADDR:]PORT")));
    EXPECT_TRUE(hs::desktopOptionsHelp().contains(QStringLiteral("--serve-token FILE")));
}

// A refused option ends the program with its usage text before it needs a window system: with
// a platform that does not exist, the program could not even open a window.
TEST(DesktopServeOptions, ANonLoopbackAddressWithoutATokenEndsBeforeAnyWindow)
{
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("no-such-platform"));
    program.setProcessEnvironment(env);
    program.start(webtest::programPath(),
                  {QStringLiteral("--serve"), QStringLiteral("0.0.0.0:8080")});
    ASSERT_TRUE(program.waitForFinished(30000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 2);
    const QString err = QString::fromLocal8Bit(program.readAllStandardError());
    EXPECT_TRUE(err.contains(QStringLiteral("--serve-token FILE"))) << qPrintable(err);
    EXPECT_TRUE(err.contains(QStringLiteral("Options of the desktop program"))) << qPrintable(err);
    EXPECT_TRUE(program.readAllStandardOutput().isEmpty());
}

class DesktopServe : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(base_.listen(hs::sim::Scenario::defaultScenario(), 2,
                                 hs::testing::SimulatedStation::Ports::EndingIn2));
        program = std::make_unique<hs::DesktopProgram>(station, QString());
        program->setMessageFunction(
            [this](const QString& text, const QString&) { messages << text; });
        program->setEndProgram([this](int code) { endCodes.push_back(code); });
        program->show();
    }

    // A request answered while this thread goes on serving (the server runs on its loop).
    static std::future<webtest::HttpReply> ask(quint16 port, const QByteArray& request)
    {
        return std::async(std::launch::async,
                          [port, request] { return webtest::sendRaw(port, request); });
    }
    static QByteArray requestOf(const QByteArray& method, quint16 port, const QByteArray& path)
    {
        return method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
               "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    }
    static bool ready(const std::future<webtest::HttpReply>& f)
    {
        return f.valid() && f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }
    webtest::HttpReply fetch(const QByteArray& path)
    {
        auto reply = ask(port(), requestOf("GET", port(), path));
        EXPECT_TRUE(station.clock.waitUntil([&] { return ready(reply); }, kPatience));
        return reply.get();
    }
    quint16 port() const { return program->statusServer() ? program->statusServer()->port() : 0; }

    hs::testing::SimulatedStation base_{kScale};
    hs::Station& station = base_.station;
    std::unique_ptr<hs::sim::SimServer>& sim = base_.server;
    std::unique_ptr<hs::DesktopProgram> program;
    QStringList messages;
    std::vector<int> endCodes;
    QTemporaryDir dir;
};

TEST_F(DesktopServe, AnAddressInUseIsToldToTheOperatorAndTheProgramGoesOnWithout)
{
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::LocalHost, 0));
    hs::web::ServeOptions options;
    options.port = occupant.serverPort();
    EXPECT_FALSE(program->serveStatusPage(options));
    EXPECT_EQ(program->statusServer(), nullptr);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains(QStringLiteral("状態ページを開けません")));
    EXPECT_TRUE(messages[0].contains(QString::number(options.port))) << qPrintable(messages[0]);
    EXPECT_TRUE(program->connectionScreen().isVisible());
}

TEST_F(DesktopServe, ThePageFollowsTheOperatorToTheMeasurementAndItsShots)
{
    // With the limit watch between the screen and the page, the page still hears everything.
    hs::LimitSelection limits{hs::builtInProfile(QStringLiteral("jp-guideline")).value(), {}};
    limits.params.kv = 6.6;
    limits.params.contractKw = {100};
    program->setLimits(limits);
    ASSERT_TRUE(program->serveStatusPage(hs::web::ServeOptions{}));
    ASSERT_NE(port(), 0);

    // The connection screen: the page says so and offers none of the files the settings name.
    webtest::HttpReply reply = fetch("/api/status");
    ASSERT_EQ(reply.status, 200) << reply.body.constData();
    EXPECT_EQ(reply.json()[QStringLiteral("status")].toString().toStdString(),
              (kWaiting + QStringLiteral("connection to the recorders")).toStdString());
    EXPECT_TRUE(reply.json()[QStringLiteral("waiting")].toBool());
    EXPECT_TRUE(reply.json()[QStringLiteral("files")].toArray().isEmpty());
    EXPECT_TRUE(reply.json()[QStringLiteral("recorders")][0][QStringLiteral("model")].isNull())
        << "no recorder identified yet";
    EXPECT_EQ(fetch("/download/0").status, 404);
    EXPECT_EQ(fetch("/api/records").status, 404);

    // Two recorders; the settings screen.
    hs::ConnectionScreen& tcpCont = program->connectionScreen();
    click(child<QRadioButton>(&tcpCont, QStringLiteral("Option1(1)")));
    for (int r = 0; r < 2; ++r) {
        type(child<QLineEdit>(&tcpCont, QStringLiteral("IPAdrs(%1)").arg(r)),
             QStringLiteral("127.0.0.1"));
        type(child<QLineEdit>(&tcpCont, QStringLiteral("POTNo(%1)").arg(r)),
             QString::number(sim->port(r)));
    }
    click(child<QPushButton>(&tcpCont, QStringLiteral("CommandInit")));
    hs::SettingsScreen* form01 = program->settingsScreen();
    ASSERT_NE(form01, nullptr) << qPrintable(messages.join('\n'));
    // The status document is built at most every 200 ms of real time.
    station.clock.waitMs(static_cast<qint64>(hs::web::StatusServer::kStatusReuseMs / kScale));
    EXPECT_EQ(fetch("/api/status").json()[QStringLiteral("status")].toString().toStdString(),
              (kWaiting + QStringLiteral("settings")).toStdString());
    QElapsedTimer sinceAsked; // real time: a new status document after kStatusReuseMs
    sinceAsked.start();

    // The output file, then 測定開始 once the lock-out is over; ＯＫ on the preparation.
    const QString chosen = dir.filePath(QStringLiteral("served"));
    form01->setOutputFileDialog([&] { return chosen; });
    auto* end = child<QPushButton>(form01, QStringLiteral("Command5"));
    ASSERT_TRUE(station.clock.waitUntil([&] { return end->isEnabled(); }, kPatience));
    click(child<QPushButton>(form01, QStringLiteral("Command10")));
    auto* start = child<QPushButton>(form01, QStringLiteral("Command4"));
    desktoptest::whenModal(
        QStringLiteral("Form02"),
        [](QWidget* form) {
            return static_cast<hs::PreparationScreen*>(form)->phase() ==
                   hs::PreparationScreen::Phase::Confirm;
        },
        [&](QWidget* form) { click(child<QPushButton>(form, QStringLiteral("Command1(1)"))); });
    click(start);
    hs::MeasurementScreen* form03 = program->measurementScreen();
    ASSERT_NE(form03, nullptr) << qPrintable(messages.join('\n'));

    // The run: after two shots the page is asked; then recorder 1's link is dropped, and once
    // shots are analysed again after the reconnection the page is asked again, sent a POST,
    // and the end button pressed.
    QStringList statuses, summaries;
    qsizetype reconnectedAt = -1; // summaries shown when the reconnection was reported
    QObject::connect(form03, &hs::MeasurementScreen::statusTextChanged,
                     [&](const QString& t) { statuses << t; });
    int linksLost = 0, linksBack = 0;
    QObject::connect(form03, &hs::MeasurementScreen::runEventReported, [&](const hs::RunEvent& e) {
        linksLost += e.is<hs::run::LinkLost>() ? 1 : 0;
        if (e.is<hs::run::LinkBack>()) {
            ++linksBack;
            reconnectedAt = summaries.size();
        }
    });
    QObject::connect(form03, &hs::MeasurementScreen::summaryTextChanged,
                     [&](const QString& t) { summaries << t; });
    std::future<webtest::HttpReply> status, post;
    QJsonObject during, after;
    int postStatus = 0;
    QByteArray allow;
    const auto askStatus = [&] {
        status = ask(port(), requestOf("GET", port(), "/api/status"));
        sinceAsked.start();
    };
    const auto newDocument = [&] {
        return sinceAsked.hasExpired(hs::web::StatusServer::kStatusReuseMs);
    };
    hs::test::OperatorScript script;
    script.steps = {
        {[&] { return summaries.size() >= 2 && newDocument(); }, askStatus},
        {[&] { return ready(status); },
         [&] {
             during = status.get().json();
             sim->dropConnections(0);
         }},
        {[&] { return reconnectedAt >= 0 && summaries.size() > reconnectedAt && newDocument(); },
         askStatus},
        {[&] { return ready(status); },
         [&] {
             after = status.get().json();
             post = ask(port(), requestOf("POST", port(), "/api/status"));
         }},
        {[&] { return ready(post); },
         [&] {
             const webtest::HttpReply r = post.get();
             postStatus = r.status;
             allow = r.headers.value("allow");
             click(child<QPushButton>(form03, QStringLiteral("Command1")));
         }},
    };
    script.start();
    EXPECT_TRUE(station.clock.waitUntil([&] { return !endCodes.empty(); }, kPatience));
    EXPECT_TRUE(script.done()) << "steps done: " << script.next;
    EXPECT_TRUE(messages.isEmpty()) << qPrintable(messages.join('\n'));

    // What the page said is what the screen showed at the time.
    EXPECT_FALSE(during[QStringLiteral("waiting")].toBool());
    EXPECT_GT(during[QStringLiteral("shots")].toInteger(), 0);
    const QString summary = during[QStringLiteral("summary")].toString();
    EXPECT_FALSE(summary.isEmpty());
    EXPECT_TRUE(summaries.contains(summary)) << qPrintable(summary);
    const QString shown = during[QStringLiteral("status")].toString();
    EXPECT_TRUE(statuses.contains(shown)) << qPrintable(shown);
    EXPECT_TRUE(during[QStringLiteral("outages")].toArray().isEmpty());
    const QJsonArray files = during[QStringLiteral("files")].toArray();
    ASSERT_EQ(files.size(), 1);
    EXPECT_EQ(files[0].toObject()[QStringLiteral("name")].toString(),
              QFileInfo(station.settings.OutputFile).fileName());

    // The lost link: one loss and one reconnection; one outage on the page from the loss to
    // the first shot after it, and the page's messages show both as the screen did.
    EXPECT_EQ(linksLost, 1);
    EXPECT_EQ(linksBack, 1);
    EXPECT_GT(after[QStringLiteral("shots")].toInteger(),
              during[QStringLiteral("shots")].toInteger());
    const QJsonArray outages = after[QStringLiteral("outages")].toArray();
    ASSERT_EQ(outages.size(), 1) << QJsonDocument(after).toJson().constData();
    const QJsonObject outage = outages[0].toObject();
    // It begins with the first trouble the drop caused: the lost link itself, or the transfer
    // error of a download the drop cut short just before the loss was seen.
    const QString reason = outage[QStringLiteral("reason")].toString();
    EXPECT_TRUE(reason.contains(hs::kLinkLostText) ||
                reason.startsWith(QStringLiteral("データ転送エラー")))
        << QJsonDocument(after).toJson().constData();
    EXPECT_FALSE(outage[QStringLiteral("to")].isNull());
    QStringList noted;
    for (const QJsonValue m : after[QStringLiteral("messages")].toArray())
        noted << m.toObject()[QStringLiteral("text")].toString();
    EXPECT_TRUE(noted.filter(hs::kLinkLostText).size() == 1) << qPrintable(noted.join('\n'));
    EXPECT_TRUE(noted.filter(hs::kReconnectedText).size() == 1) << qPrintable(noted.join('\n'));

    EXPECT_EQ(postStatus, 405);
    EXPECT_EQ(allow, QByteArray("GET"));
    const QJsonObject compliance = fetch("/api/compliance").json();
    EXPECT_TRUE(compliance[QStringLiteral("active")].toBool());
    EXPECT_EQ(compliance[QStringLiteral("profile")].toString(), QStringLiteral("jp-guideline"));
}

} // namespace
