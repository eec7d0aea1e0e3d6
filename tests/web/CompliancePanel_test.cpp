// `measure --profile ... --serve`: the limit watch's findings on the status page.

#include "WebTestSupport.h"

#include <QJsonArray>

using namespace webtest;

namespace {

// Feeder 1's 5th order (9 A in the default scenario) is far over the guideline's 0.35 A for
// 100 kW: the run reports it as an event with its save time (on stderr and among the page's
// messages), and /api/compliance names the feeder, its worst order and the exceedances.
TEST(CompliancePanel, ApiComplianceAndTheRunEvent)
{
    ServedStation::Setup setup;
    setup.extraArgs = {QStringLiteral("--profile"), QStringLiteral("jp-guideline"),
                       QStringLiteral("--kv"), QStringLiteral("6.6"),
                       QStringLiteral("--contract-kw"), QStringLiteral("100")};
    ServedStation station(setup);
    const quint16 port = station.waitForPage();
    ASSERT_NE(port, 0) << qPrintable(station.stderrText());
    const QJsonObject status = station.waitForStatus(
        port,
        [](const QJsonObject& s) {
            return s.value(QStringLiteral("records")).toObject().value(QStringLiteral("written")).toInt() >= 2;
        },
        60000);
    const HttpReply reply = get(port, "/api/compliance");
    ASSERT_EQ(reply.status, 200);
    const QJsonObject c = reply.json();
    EXPECT_TRUE(c.value(QStringLiteral("active")).toBool());
    EXPECT_EQ(c.value(QStringLiteral("profile")).toString(), QStringLiteral("jp-guideline"));
    const QJsonArray subjects = c.value(QStringLiteral("subjects")).toArray();
    ASSERT_EQ(subjects.size(), 4); // the voltage, three feeders
    const QJsonObject feeder1 = subjects[1].toObject();
    EXPECT_EQ(feeder1.value(QStringLiteral("label")).toString(), QStringLiteral("フィーダ1"));
    EXPECT_TRUE(feeder1.value(QStringLiteral("exceeded")).toBool());
    EXPECT_EQ(feeder1.value(QStringLiteral("worst")).toObject().value(QStringLiteral("order")).toInt(), 5);
    EXPECT_GE(feeder1.value(QStringLiteral("exceedances")).toArray().size(), 1);
    EXPECT_TRUE(station.stderrText().contains(QStringLiteral(" 限度値超過 フィーダ1 5次 ")))
        << qPrintable(station.stderrText());
    bool listed = false;
    for (const QJsonValue& m : status.value(QStringLiteral("messages")).toArray())
        listed = listed || m.toObject().value(QStringLiteral("text")).toString().contains(QStringLiteral("限度値超過"));
    EXPECT_TRUE(listed);
}

} // namespace
