// The status page in a real browser: headless Chromium loads the page of a running
// `measure --simulate --serve`, runs its script, and the rendered DOM must show the summary
// line, the record count and the loaded view image.

#include "WebTestSupport.h"
#include "support/HeadlessChromium.h"

#include <QImage>
#include <QStandardPaths>

#include <unistd.h>

using namespace webtest;

namespace {

QString elementText(const QString& dom, const QString& id)
{
    const QRegularExpression re(QStringLiteral("id=\"%1\"[^>]*>([^<]*)<").arg(id));
    return re.match(dom).captured(1);
}

TEST(StatusPageBrowser, ChromiumShowsSummaryRecordsAndView)
{
    const QString chromium = chromiumPath();
    if (chromium.isEmpty())
        GTEST_SKIP() << "chromium is not installed (make deps installs it)";

    ServedStation::Setup setup;
    setup.endMin = 600; // ended by the test
    ServedStation station(setup);
    const quint16 port = station.waitForPage();
    ASSERT_NE(port, 0) << qPrintable(station.stderrText());
    const QJsonObject ready = station.waitForStatus(
        port,
        [](const QJsonObject& s) {
            return s[QStringLiteral("records")][QStringLiteral("written")].toInt() >= 3;
        },
        60000);
    const int recordsBefore = ready[QStringLiteral("records")][QStringLiteral("written")].toInt();
    ASSERT_GE(recordsBefore, 3);

    QTemporaryDir profile;
    const QString url = QStringLiteral("http://127.0.0.1:%1/").arg(port);
    int exitCode = 0;
    const QString dom = QString::fromUtf8(runChromium(
        chromium, {QStringLiteral("--virtual-time-budget=8000"), QStringLiteral("--dump-dom"), url},
        profile.path(), &exitCode));
    ASSERT_EQ(exitCode, 0);
    ASSERT_TRUE(dom.contains(QStringLiteral("id=\"summary\""))) << qPrintable(dom.left(500));

    // The summary line is one the run printed.
    const QString summary = elementText(dom, QStringLiteral("summary"));
    EXPECT_TRUE(summary.startsWith(QStringLiteral("基本波＝"))) << qPrintable(summary);
    EXPECT_TRUE(station.stdoutText().contains(QStringLiteral("  ") + summary + QLatin1Char('\n')))
        << qPrintable(summary);
    // The record count is the file's at the time.
    bool ok = false;
    const int shown = elementText(dom, QStringLiteral("records-written")).toInt(&ok);
    ASSERT_TRUE(ok) << qPrintable(elementText(dom, QStringLiteral("records-written")));
    EXPECT_GE(shown, recordsBefore);
    EXPECT_LE(shown * 654, QFileInfo(station.outputFile()).size());
    EXPECT_EQ(elementText(dom, QStringLiteral("records-total")), QStringLiteral("301"));
    // The view image was fetched and decoded, and the trend drawn from the records.
    EXPECT_TRUE(dom.contains(QStringLiteral("data-loaded=\"yes\""))) << "view image not loaded";
    EXPECT_TRUE(dom.contains(QStringLiteral("src=\"/view/1.png?feeder=1&amp;w=640")));
    EXPECT_TRUE(elementText(dom, QStringLiteral("view-state"))
                    .startsWith(QStringLiteral("view 1, feeder 1, shot ")));
    EXPECT_TRUE(dom.contains(QStringLiteral("data-records=\"")));
    EXPECT_TRUE(dom.contains(QStringLiteral("class=\"badge ok\"")));

    // A screenshot of the page (kept where HS_STATUS_PAGE_SHOT says, for the documentation).
    const QString shot = profile.path() + QStringLiteral("/status-page.png");
    runChromium(chromium,
                {QStringLiteral("--virtual-time-budget=8000"), QStringLiteral("--hide-scrollbars"),
                 QStringLiteral("--window-size=1280,1500"), QStringLiteral("--screenshot=") + shot,
                 url},
                profile.path() + QStringLiteral("/second"), &exitCode);
    EXPECT_EQ(exitCode, 0);
    const QImage image(shot);
    EXPECT_EQ(image.size(), QSize(1280, 1500));
    const QString keep = qEnvironmentVariable("HS_STATUS_PAGE_SHOT");
    if (!keep.isEmpty()) {
        QFile::remove(keep);
        EXPECT_TRUE(QFile::copy(shot, keep));
    }
    EXPECT_TRUE(station.running());
}

} // namespace
