#include "ui/DesktopScreens.h"

#include "ui/ConnectionScreen.h"
#include "sim/SimServer.h"
#include "support/SimulatedStation.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

namespace {

TEST(DesktopOptions, DemoAndTimeScaleAreRead)
{
    qunsetenv("HARMONIC_TIME_SCALE");
    QString error;
    auto plain = hs::parseDesktopOptions({}, &error);
    ASSERT_TRUE(plain.has_value());
    EXPECT_FALSE(plain->demo);
    EXPECT_EQ(plain->timeScale, 1.0);

    auto demo = hs::parseDesktopOptions(
        {QStringLiteral("--demo"), QStringLiteral("--time-scale"), QStringLiteral("0.1")}, &error);
    ASSERT_TRUE(demo.has_value());
    EXPECT_TRUE(demo->demo);
    EXPECT_EQ(demo->timeScale, 0.1);

    qputenv("HARMONIC_TIME_SCALE", "0.25");
    auto env = hs::parseDesktopOptions({}, &error);
    ASSERT_TRUE(env.has_value());
    EXPECT_EQ(env->timeScale, 0.25);
    auto both = hs::parseDesktopOptions({QStringLiteral("--time-scale=0.5")}, &error);
    ASSERT_TRUE(both.has_value());
    EXPECT_EQ(both->timeScale, 0.5) << "the option wins over the environment";
    qunsetenv("HARMONIC_TIME_SCALE");

    for (const QStringList& bad :
         {QStringList{QStringLiteral("--time-scale"), QStringLiteral("fast")},
          QStringList{QStringLiteral("--time-scale"), QStringLiteral("-1")},
          QStringList{QStringLiteral("--frobnicate")}, QStringList{QStringLiteral("extra")}}) {
        error.clear();
        EXPECT_FALSE(hs::parseDesktopOptions(bad, &error).has_value()) << qPrintable(bad.join(' '));
        EXPECT_FALSE(error.isEmpty());
    }
}

class DesktopProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(base_.listen(hs::sim::Scenario::defaultScenario(), 2));
        sim->recorder(0).setModel(8841);
        sim->recorder(0).setUnits({1, 1, 4, 4, 4, 4, 4, 4});
        sim->recorder(1).setModel(8840);
        sim->recorder(1).setUnits({3, 4, 7});
        program = std::make_unique<hs::DesktopProgram>(station, addressFile());
        program->setMessageFunction(
            [this](const QString& text, const QString&) { messages.push_back(text); });
        program->setEndProgram([this](int code) { endCodes.push_back(code); });
        hs::AddressTexts texts{{QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.1")},
                               {QString::number(sim->port(0)), QString::number(sim->port(1))}};
        screen().setAddressTexts(texts);
        screen().setRecorderCount(2);
        // The busy pointer must be up whenever the initialisation talks to a recorder.
        QObject::connect(sim.get(), &hs::sim::SimServer::connectionOpened, [this] {
            busySeen.push_back(screen().cursor().shape() == Qt::WaitCursor);
        });
        program->show();
    }

    hs::ConnectionScreen& screen() { return program->connectionScreen(); }
    QString addressFile() const { return dir.filePath(QStringLiteral("IPDT.DAT")); }
    void pressInit() { screen().findChild<QPushButton*>(QStringLiteral("CommandInit"))->click(); }
    QString label(const char* name)
    {
        return screen().findChild<QLabel*>(QString::fromUtf8(name))->text();
    }
    bool normalPointer() { return screen().cursor().shape() == Qt::ArrowCursor; }

    QTemporaryDir dir;
    hs::testing::SimulatedStation base_{0.05};
    hs::Station& station = base_.station;
    std::unique_ptr<hs::sim::SimServer>& sim = base_.server;
    std::unique_ptr<hs::DesktopProgram> program;
    std::vector<QString> messages;
    std::vector<int> endCodes;
    std::vector<bool> busySeen;
};

TEST_F(DesktopProgramTest, ASuccessfulInitialisationHandsOverAndRemembersTheAddresses)
{
    pressInit();
    EXPECT_TRUE(messages.empty());
    EXPECT_FALSE(screen().isVisible()) << "TCPCont hides itself";
    EXPECT_EQ(busySeen, (std::vector<bool>{true, true}));
    EXPECT_TRUE(normalPointer());

    EXPECT_EQ(label("Label6(0)"), QStringLiteral("8841"));
    EXPECT_EQ(label("Label6(1)"), QStringLiteral("8840"));
    EXPECT_EQ(label("Label6(2)"), QStringLiteral("8"));
    EXPECT_EQ(label("Label6(3)"), QStringLiteral("3"));
    EXPECT_EQ(station.facts.UsableChannelTotal, 11);

    QWidget* next = program->nextScreen();
    ASSERT_NE(next, nullptr);
    EXPECT_TRUE(next->isVisible());
    EXPECT_EQ(next->windowTitle(), QStringLiteral("高調波測定．設定画面(2004/02/02) Win2000"));
    EXPECT_EQ(next->objectName(), QStringLiteral("Form01"));
    // The settings screen offers the feeders the eleven usable channels allow.
    auto* feeders = next->findChild<QComboBox*>(QStringLiteral("Combo1"));
    ASSERT_NE(feeders, nullptr);
    EXPECT_EQ(feeders->count(), 4);

    const auto stored = hs::readAddressFile(addressFile());
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->addresses[0], QStringLiteral("127.0.0.1"));
    EXPECT_EQ(stored->ports[1], QString::number(sim->port(1)));
}

TEST_F(DesktopProgramTest, APressDuringTheInitialisationIsIgnored)
{
    std::vector<hs::ConnectionStatus> nested;
    QObject::connect(sim.get(), &hs::sim::SimServer::connectionOpened,
                     [this, &nested] { nested.push_back(screen().initialise()); });
    pressInit();
    EXPECT_EQ(nested, (std::vector<hs::ConnectionStatus>{hs::ConnectionStatus::Failed,
                                                         hs::ConnectionStatus::Failed}));
    EXPECT_FALSE(screen().isVisible()) << "the running initialisation went through";
    EXPECT_EQ(station.facts.UsableChannelTotal, 11);
    EXPECT_EQ(sim->connectionCount(0), 1);
    EXPECT_TRUE(messages.empty());
}

TEST_F(DesktopProgramTest, OneRecorderStillStoresBothRows)
{
    screen().setRecorderCount(1);
    pressInit();
    ASSERT_FALSE(screen().isVisible());
    EXPECT_EQ(sim->connectionCount(1), 0);
    const auto stored = hs::readAddressFile(addressFile());
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->ports[1], QString::number(sim->port(1)));
    EXPECT_TRUE(label("Label6(1)").isEmpty());
}

TEST_F(DesktopProgramTest, AFailedInitialisationKeepsTheScreenOpenForCorrections)
{
    hs::AddressTexts texts{{QStringLiteral("127.0.0.77"), QStringLiteral("127.0.0.1")},
                           {QStringLiteral("8802"), QString::number(sim->port(1))}};
    screen().setAddressTexts(texts);
    pressInit();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].contains(QStringLiteral("ポート番号が8802であること")));
    EXPECT_TRUE(screen().isVisible());
    EXPECT_EQ(program->nextScreen(), nullptr);
    EXPECT_TRUE(normalPointer());
    EXPECT_FALSE(QFile::exists(addressFile())) << "only a successful initialisation is stored";
    EXPECT_TRUE(endCodes.empty());

    // Corrected, the second press goes through.
    texts.addresses[0] = QStringLiteral("127.0.0.1");
    texts.ports[0] = QString::number(sim->port(0));
    screen().setAddressTexts(texts);
    pressInit();
    EXPECT_EQ(messages.size(), 1u);
    EXPECT_FALSE(screen().isVisible());
    EXPECT_EQ(station.facts.UsableChannelTotal, 11);
}

TEST_F(DesktopProgramTest, ARecorderWithoutUsableInputsEndsTheProgram)
{
    sim->recorder(1).setUnits({0, 0, 2});
    pressInit();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].endsWith(QStringLiteral("プログラムを終了します。")));
    EXPECT_EQ(endCodes, std::vector<int>{1});
    EXPECT_EQ(program->nextScreen(), nullptr);
}

// The demo's own recorders on their fixed loopback addresses. Skipped when something else on
// this machine already serves them (a `harmonic-station simulate` left running, say).
TEST(DesktopDemo, TheDemoRecordersAnswerOnTheirLoopbackAddresses)
{
    hs::Station station(0.05);
    QString error;
    auto recorders = hs::startDemoRecorders(station.clock, &error);
    if (!recorders)
        GTEST_SKIP() << qPrintable(error);
    hs::DesktopProgram program(station, QString());
    std::vector<QString> messages;
    program.setMessageFunction(
        [&messages](const QString& text, const QString&) { messages.push_back(text); });
    program.connectionScreen().setAddressTexts(hs::demoAddressTexts());
    program.connectionScreen().setRecorderCount(2);
    EXPECT_EQ(program.connectionScreen().initialise(), hs::ConnectionStatus::Ok);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(recorders->connectionCount(0), 1);
    EXPECT_EQ(recorders->connectionCount(1), 1);
    EXPECT_EQ(recorders->address(1).toString(), QStringLiteral("127.0.0.2"));
}

} // namespace

namespace {

// A mistyped option is answered with the usage text and status 2 before any window system is
// asked for: with no display at all, the windowing system must not abort the program first.
TEST(DesktopCommandLine, ABadOptionIsRefusedWithoutADisplay)
{
    const QString binary = qEnvironmentVariable("HS_BINARY");
    ASSERT_FALSE(binary.isEmpty());
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    process.setProcessEnvironment(env);
    process.start(binary, {QStringLiteral("--bogus")});
    ASSERT_TRUE(process.waitForFinished(20000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 2);
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    EXPECT_TRUE(err.contains(QStringLiteral("bogus"))) << qPrintable(err);
    EXPECT_TRUE(err.contains(QStringLiteral("--time-scale"))) << qPrintable(err);
}

} // namespace
