#include "engine/SetupFlow.h"

#include "engine/ResultFiles.h"
#include "recorder/ConnectionSetup.h"
#include "support/SimulatedStation.h"
#include "support/UnwritableFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace {

using hs::testing::SimulatedStation;

// Two recorders in use: the automatic set-up reaches both, and a stop asked for during the
// lock-out stops both and ends the set-up.
TEST(SetupFlow, LockOutCutShortStopsEveryRecorder)
{
    SimulatedStation st(0.01);
    ASSERT_TRUE(st.listen(hs::sim::Scenario::defaultScenario(), 2));
    ASSERT_TRUE(st.openLinks());
    st.station.facts.LastRecorder = 1;

    st.flow.startAutomaticSetup();
    const hs::Result<void> waited = st.flow.waitLockOut([] { return true; });
    ASSERT_FALSE(waited.ok());
    EXPECT_TRUE(waited.error().is(hs::SetupStopped));
    for (int r = 0; r < 2; ++r) {
        st.station.clock.waitUntil([&] { return st.lines(r).size() >= 2; }, 5000);
        EXPECT_EQ(st.lines(r), QStringList({QStringLiteral(":AUTO"), QStringLiteral(":ABORT")}))
            << "recorder " << r;
    }
}

// The output folder is made with its parents; a file in the way is refused by name.
TEST(SetupFlow, OutputFolderIsMadeOrRefused)
{
    SimulatedStation st(0.01);
    QTemporaryDir dir;
    st.station.settings.OutputFile = dir.filePath(QStringLiteral("a/b/run.hv3"));
    ASSERT_TRUE(st.flow.readyOutputFolder().ok());
    EXPECT_TRUE(QFileInfo(dir.filePath(QStringLiteral("a/b"))).isDir());

    QFile blocker(dir.filePath(QStringLiteral("file")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    st.station.settings.OutputFile = dir.filePath(QStringLiteral("file/run.hv3"));
    const hs::Result<void> refused = st.flow.readyOutputFolder();
    ASSERT_FALSE(refused.ok());
    EXPECT_TRUE(refused.error().is(hs::SetupNoOutputFolder));
    EXPECT_TRUE(refused.error().text.contains(dir.filePath(QStringLiteral("file"))))
        << qPrintable(refused.error().text);
}

// A folder that cannot be written and result files that another run holds are refused with
// the system's reason and the holder, before anything would be measured.
TEST(SetupFlow, UnwritableOrHeldResultFilesAreRefused)
{
    if (!hs::testing::AsAnotherUser::possible())
        GTEST_SKIP() << "no folder can be made unwritable for this user";
    QTemporaryDir dir;
    const QString readOnly = dir.filePath(QStringLiteral("ro"));
    ASSERT_TRUE(hs::testing::makeUnwritableFolder(readOnly));
    {
        hs::testing::AsAnotherUser nobody;
        const hs::Result<void> refused =
            hs::SetupFlow::readyOutputFile(readOnly + QStringLiteral("/run.hv3"), 2);
        ASSERT_FALSE(refused.ok());
        EXPECT_TRUE(refused.error().is(hs::SetupNoOutputFolder));
        EXPECT_TRUE(refused.error().text.contains(readOnly));
        EXPECT_TRUE(refused.error().text.contains(QString::fromLocal8Bit(std::strerror(EACCES))))
            << qPrintable(refused.error().text);
    }

    const QString output = dir.filePath(QStringLiteral("run.hv3"));
    hs::ResultFileLock running;
    ASSERT_TRUE(running.take(output).ok());
    const hs::Result<void> held = hs::SetupFlow::readyOutputFile(output, 2);
    ASSERT_FALSE(held.ok());
    EXPECT_TRUE(held.error().is(hs::SetupOutputFileInUse));
    EXPECT_TRUE(held.error().text.contains(QString::number(QCoreApplication::applicationPid())))
        << qPrintable(held.error().text);
    running.release();
    EXPECT_TRUE(hs::SetupFlow::readyOutputFile(output, 2).ok());
    EXPECT_FALSE(QFileInfo::exists(output)) << "a check writes nothing";
}

// A recorder lost while the operator is on the settings screen: the link is found lost; once
// the recorder is back on its address the link is opened again and the recorder identified
// and reset as at the connection set-up.
TEST(SetupFlow, ALostRecorderIsFoundAndConnectedAgain)
{
    SimulatedStation st(0.01);
    ASSERT_TRUE(st.listen(hs::sim::Scenario::defaultScenario(), 1));
    const quint16 port = st.server->port(0);
    hs::ConnectionRequest request;
    request.addresses[0] = QStringLiteral("127.0.0.1");
    request.ports[0] = QString::number(port);
    hs::ConnectionSetup setup(st.station.recorders, st.observer);
    ASSERT_EQ(setup.initialise(request), hs::ConnectionStatus::Ok);
    ASSERT_TRUE(st.flow.checkLinks().ok());

    st.server.reset();
    st.station.clock.waitUntil([&] { return !st.station.recorders[0].isOpen(); }, 5000);
    const hs::Result<void> lost = st.flow.checkLinks();
    ASSERT_FALSE(lost.ok());
    EXPECT_TRUE(lost.error().is(hs::SetupRecorderLost));
    EXPECT_TRUE(lost.error().text.startsWith(QStringLiteral("測定器1との接続が切れています")));

    st.server = std::make_unique<hs::sim::SimServer>(st.station.clock,
                                                     hs::sim::Scenario::defaultScenario(), 1);
    ASSERT_TRUE(st.server->listen(0, QHostAddress::LocalHost, port));
    const hs::Result<void> back = st.flow.checkLinks();
    ASSERT_FALSE(back.ok());
    EXPECT_TRUE(back.error().is(hs::SetupRecorderBack));
    EXPECT_EQ(st.server->connectionCount(0), 1);
    const QStringList lines = st.lines(0);
    EXPECT_TRUE(lines.contains(QStringLiteral("*IDN?")) && lines.contains(QStringLiteral("*RST")))
        << qPrintable(lines.join('\n'));
    EXPECT_TRUE(st.flow.checkLinks().ok());
}

} // namespace
