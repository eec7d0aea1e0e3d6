#include "engine/SetupFlow.h"

#include "support/SimulatedStation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

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
    EXPECT_TRUE(refused.error().text.endsWith(dir.filePath(QStringLiteral("file"))));
}

} // namespace
