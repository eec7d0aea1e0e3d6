#include "ui/ConnectionScreen.h"

#include "recorder/LanModule.h"

#include <QApplication>
#include <QFile>
#include <QFocusEvent>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>

#include "sim/SimServer.h"
#include "support/BlockingFifo.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using Message = std::pair<QString, QString>; // text, title

class ConnectionScreenTest : public ::testing::Test {
protected:
    std::unique_ptr<hs::ConnectionScreen> makeScreen(const QString& addressFile = QString())
    {
        auto screen = std::make_unique<hs::ConnectionScreen>(recorders, addressFile);
        screen->setMessageFunction([this](const QString& text, const QString& title) {
            messages.emplace_back(text, title);
        });
        return screen;
    }
    template <typename T> static T* child(QWidget& screen, const char* name)
    {
        T* w = screen.findChild<T*>(QString::fromUtf8(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QString addressFilePath() const { return dir.filePath(QStringLiteral("IPDT.DAT")); }

    hs::Clock clock{0.01};
    hs::LanModule lan{clock};
    hs::RecorderFacts facts;
    hs::RecorderPair recorders{lan, facts};
    std::vector<Message> messages;
    QTemporaryDir dir;
};

TEST_F(ConnectionScreenTest, CaptionsTipsAndDefaultsAreExact)
{
    auto screen = makeScreen();
    EXPECT_EQ(screen->objectName(), QStringLiteral("TCPCont"));
    EXPECT_EQ(screen->windowTitle(), QStringLiteral("TCP/IPの設定"));

    EXPECT_EQ(child<QGroupBox>(*screen, "Frame1")->title(), QStringLiteral("測定機器数"));
    EXPECT_EQ(child<QRadioButton>(*screen, "Option1(0)")->text(), QStringLiteral("１台"));
    EXPECT_EQ(child<QRadioButton>(*screen, "Option1(1)")->text(), QStringLiteral("２台"));
    EXPECT_TRUE(child<QRadioButton>(*screen, "Option1(0)")->isChecked());
    EXPECT_EQ(child<QLabel>(*screen, "Label2(0)")->text(), QStringLiteral("1台目"));
    EXPECT_EQ(child<QLabel>(*screen, "Label2(1)")->text(), QStringLiteral("2台目"));
    EXPECT_EQ(child<QLabel>(*screen, "Label4(0)")->text(), QStringLiteral("IPｱﾄﾞﾚｽ"));
    EXPECT_EQ(child<QLabel>(*screen, "Label4(2)")->text(), QStringLiteral("ポートNo."));
    EXPECT_EQ(child<QLabel>(*screen, "Label4(1)")->text(), QStringLiteral("検出機器･有効CH数"));
    EXPECT_EQ(child<QLabel>(*screen, "Label1")->text(),
              QStringLiteral("測定器のＬＡＮカードはHIOKI 9578の他、RATOC REX-R280が使えます。"));
    EXPECT_EQ(child<QPushButton>(*screen, "CommandInit")->text(), QStringLiteral("ｲﾆｼｬﾗｲｽﾞ"));
    EXPECT_EQ(child<QPushButton>(*screen, "CommandEnd")->text(), QStringLiteral("終了"));

    EXPECT_EQ(child<QLineEdit>(*screen, "IPAdrs(0)")->text(), QStringLiteral("192.168.1.5"));
    EXPECT_EQ(child<QLineEdit>(*screen, "IPAdrs(1)")->text(), QStringLiteral("192.168.1.6"));
    EXPECT_EQ(child<QLineEdit>(*screen, "POTNo(0)")->text(), QStringLiteral("8802"));
    EXPECT_EQ(child<QLineEdit>(*screen, "POTNo(1)")->text(), QStringLiteral("8802"));

    EXPECT_EQ(
        child<QLineEdit>(*screen, "IPAdrs(0)")->toolTip(),
        QStringLiteral("このアドレスは、ﾒﾓﾘｰﾊｲｺｰﾀﾞと合わせて下さい。(ﾒﾓﾘｰﾊｲｺｰﾀﾞのSTOPｷｰを押した状態"
                       "で電源を入れると｢5｣に設定されます)"));
    EXPECT_EQ(
        child<QLineEdit>(*screen, "IPAdrs(1)")->toolTip(),
        QStringLiteral("このアドレスは、ﾒﾓﾘｰﾊｲｺｰﾀﾞと合わせて下さい。1台目と2台目は別のｱﾄﾞﾚｽを設定"
                       "する必要があります。"));
    for (const char* name : {"Label6(0)", "Label6(1)"}) {
        EXPECT_EQ(child<QLabel>(*screen, name)->toolTip(),
                  QStringLiteral("ｲﾆｼｬﾗｲｽﾞ後に検出した機器を表示します"));
        EXPECT_TRUE(child<QLabel>(*screen, name)->text().isEmpty());
    }
    for (const char* name : {"Label6(2)", "Label6(3)"}) {
        EXPECT_EQ(child<QLabel>(*screen, name)->toolTip(),
                  QStringLiteral("ｲﾆｼｬﾗｲｽﾞ後に検出した機器の有効ﾁｬﾝﾈﾙ数を表示します"));
        EXPECT_TRUE(child<QLabel>(*screen, name)->text().isEmpty());
    }
}

TEST_F(ConnectionScreenTest, TheSecondRowFollowsTheRecorderCount)
{
    auto screen = makeScreen();
    const std::vector<QWidget*> row2 = {child<QLabel>(*screen, "Label2(1)"),
                                        child<QLineEdit>(*screen, "IPAdrs(1)"),
                                        child<QLineEdit>(*screen, "POTNo(1)")};
    for (QWidget* w : row2)
        EXPECT_FALSE(w->isEnabled()) << qPrintable(w->objectName());
    EXPECT_TRUE(child<QLineEdit>(*screen, "IPAdrs(0)")->isEnabled());

    child<QRadioButton>(*screen, "Option1(1)")->click();
    for (QWidget* w : row2)
        EXPECT_TRUE(w->isEnabled()) << qPrintable(w->objectName());
    EXPECT_EQ(screen->request().recorderCount, 2);

    child<QRadioButton>(*screen, "Option1(0)")->click();
    for (QWidget* w : row2)
        EXPECT_FALSE(w->isEnabled()) << qPrintable(w->objectName());
    EXPECT_EQ(screen->request().recorderCount, 1);
}

TEST_F(ConnectionScreenTest, APortThatDoesNotEndInTwoIsRefusedWhenTheFocusLeaves)
{
    auto screen = makeScreen();
    screen->show();
    QApplication::setActiveWindow(screen.get());
    auto* port = child<QLineEdit>(*screen, "POTNo(0)");
    auto* address = child<QLineEdit>(*screen, "IPAdrs(0)");

    const QString endInTwo = QStringLiteral("ポートＮｏ．の末尾は「２」として下さい.");
    const QString notAPort = QStringLiteral("ポートＮｏ．は１～６５５３５の数字で入力して下さい.");
    struct Case {
        const char* text;
        bool refused;
        bool number = true;
    };
    for (const Case c : {Case{"8803", true}, Case{"8802", false}, Case{"8812", false},
                         Case{"", true, false}, Case{"8801.6", false}, Case{"abc", true, false},
                         Case{"84342", true, false}, Case{"0", true, false}}) {
        messages.clear();
        port->setText(QString::fromUtf8(c.text));
        port->setFocus(Qt::MouseFocusReason);
        QApplication::processEvents();
        ASSERT_TRUE(port->hasFocus());
        address->setFocus(Qt::TabFocusReason);
        QApplication::processEvents();
        if (c.refused) {
            ASSERT_EQ(messages.size(), 1u) << c.text;
            EXPECT_EQ(messages[0].first, c.number ? endInTwo : notAPort) << c.text;
            EXPECT_EQ(messages[0].second, QStringLiteral("エラー"));
            EXPECT_TRUE(port->hasFocus()) << "focus goes back to the port box: " << c.text;
        } else {
            EXPECT_TRUE(messages.empty()) << c.text;
            EXPECT_TRUE(address->hasFocus()) << c.text;
        }
    }

    // A window that merely loses activation (a message box, another program) is no focus move.
    messages.clear();
    port->setText(QStringLiteral("8803"));
    port->setFocus(Qt::MouseFocusReason);
    QApplication::processEvents();
    QFocusEvent deactivation(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QApplication::sendEvent(port, &deactivation);
    EXPECT_TRUE(messages.empty());
}

TEST_F(ConnectionScreenTest, TheAddressFileIsRestoredIntoTheBoxes)
{
    hs::AddressTexts stored{{QStringLiteral("10.1.2.3"), QStringLiteral("10.1.2.4")},
                            {QStringLiteral("8812"), QStringLiteral("8822")}};
    ASSERT_TRUE(hs::writeAddressFile(addressFilePath(), stored));
    auto screen = makeScreen(addressFilePath());
    EXPECT_EQ(child<QLineEdit>(*screen, "IPAdrs(0)")->text(), QStringLiteral("10.1.2.3"));
    EXPECT_EQ(child<QLineEdit>(*screen, "IPAdrs(1)")->text(), QStringLiteral("10.1.2.4"));
    EXPECT_EQ(child<QLineEdit>(*screen, "POTNo(0)")->text(), QStringLiteral("8812"));
    EXPECT_EQ(child<QLineEdit>(*screen, "POTNo(1)")->text(), QStringLiteral("8822"));
    // Restoring the addresses does not choose the recorder count.
    EXPECT_TRUE(child<QRadioButton>(*screen, "Option1(0)")->isChecked());
}

TEST_F(ConnectionScreenTest, AnEmptyFirstAddressOrADamagedFileKeepsTheDefaults)
{
    hs::AddressTexts emptyFirst{{QString(), QStringLiteral("10.1.2.4")},
                                {QStringLiteral("8812"), QStringLiteral("8822")}};
    ASSERT_TRUE(hs::writeAddressFile(addressFilePath(), emptyFirst));
    {
        auto screen = makeScreen(addressFilePath());
        EXPECT_EQ(screen->request().addresses[1], QStringLiteral("192.168.1.6"));
        EXPECT_EQ(screen->request().ports[0], QStringLiteral("8802"));
    }
    {
        QFile f(addressFilePath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray::fromHex("ff7f") + "10.1.2.3");
    }
    auto screen = makeScreen(addressFilePath());
    EXPECT_EQ(screen->request().addresses[0], QStringLiteral("192.168.1.5"));
    EXPECT_TRUE(messages.empty());
}

// An address file that is a FIFO (or a folder) is never opened for reading, so the screen comes
// up at once with the defaults, and the operator is told why.
TEST_F(ConnectionScreenTest, AnAddressFileThatIsNoRegularFileIsReportedWithoutBlocking)
{
    hs::test::BlockingFifo fifo(addressFilePath());
    ASSERT_TRUE(fifo.made());
    auto screen = makeScreen(addressFilePath());
    QApplication::processEvents();
    EXPECT_FALSE(fifo.readerBlocked());
    EXPECT_EQ(screen->request().addresses[0], QStringLiteral("192.168.1.5"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].first.contains(addressFilePath())) << qPrintable(messages[0].first);
    EXPECT_TRUE(messages[0].first.contains(QStringLiteral("通常のファイルではない")));
    EXPECT_EQ(messages[0].second, QStringLiteral("エラー"));
}

// The addresses that cannot be kept for the next start: the operator is told which file.
TEST_F(ConnectionScreenTest, AnAddressFileThatCannotBeWrittenIsReported)
{
    hs::sim::SimServer recorder(clock, hs::sim::Scenario::defaultScenario(), 1);
    ASSERT_TRUE(recorder.listen(0, QHostAddress::LocalHost, 0));
    const QString unwritable = dir.filePath(QStringLiteral("missing/IPDT.DAT"));
    auto screen = makeScreen(unwritable);
    child<QLineEdit>(*screen, "IPAdrs(0)")->setText(QStringLiteral("127.0.0.1"));
    child<QLineEdit>(*screen, "POTNo(0)")->setText(QString::number(recorder.port(0)));
    ASSERT_EQ(screen->initialise(), hs::ConnectionStatus::Ok);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].first.contains(unwritable)) << qPrintable(messages[0].first);
    EXPECT_EQ(messages[0].second, QStringLiteral("エラー"));
}

TEST_F(ConnectionScreenTest, CommandEndEndsTheProgram)
{
    auto screen = makeScreen();
    std::vector<int> codes;
    screen->setEndProgram([&codes](int code) { codes.push_back(code); });
    child<QPushButton>(*screen, "CommandEnd")->click();
    EXPECT_EQ(codes, std::vector<int>{0});
}

// Renders the screen as the operator sees it. With HS_SCREENSHOT_DIR set the picture is also
// saved there (docs/connection-screen.png is made this way).
TEST_F(ConnectionScreenTest, RendersOffscreenWithReadableText)
{
    auto screen = makeScreen();
    screen->show();
    QApplication::processEvents();
    const QImage image = screen->grab().toImage();
    ASSERT_FALSE(image.isNull());
    EXPECT_GE(image.width(), 300);
    // Text was drawn: the picture holds dark pixels on the light window background.
    int dark = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            dark += qGray(image.pixel(x, y)) < 80 ? 1 : 0;
    EXPECT_GT(dark, 200);
    const QString out = qEnvironmentVariable("HS_SCREENSHOT_DIR");
    if (!out.isEmpty()) {
        EXPECT_TRUE(image.save(out + QStringLiteral("/connection-screen.png")));
    }
}

} // namespace
