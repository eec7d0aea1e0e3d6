#include "ui/MeasurementScreen.h"

#include "engine/RunLoop.h"
#include "sim/SimServer.h"

#include <QApplication>
#include <QHostAddress>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <utility>
#include <vector>

namespace {

using Message = std::pair<QString, QString>; // text, title

int px(int twips)
{
    return static_cast<int>(std::lround(twips / 15.0));
}

class MeasurementScreenTest : public ::testing::Test {
protected:
    std::unique_ptr<hs::MeasurementScreen> makeScreen()
    {
        auto screen = std::make_unique<hs::MeasurementScreen>(
            station, [this](const QString& text, const QString& title) {
                messages.emplace_back(text, title);
            });
        screen->setEndProgram([this](int code) { endCodes.push_back(code); });
        return screen;
    }
    template <typename T> static T* child(QWidget& screen, const QString& name)
    {
        T* w = screen.findChild<T*>(name);
        EXPECT_NE(w, nullptr) << qPrintable(name);
        return w;
    }
    static QPushButton* viewButton(QWidget& screen, int i)
    {
        return child<QPushButton>(screen, QStringLiteral("Command3(%1)").arg(i));
    }
    // A press on the channel switch x twips from its left edge (15 twips to a pixel).
    static void pressSwitch(QWidget& screen, double xTwips, Qt::MouseButton button = Qt::LeftButton)
    {
        auto* sw = child<QPushButton>(screen, QStringLiteral("Command4"));
        const QPointF at(xTwips / 15.0, 10.0);
        QMouseEvent press(QEvent::MouseButtonPress, at, sw->mapToGlobal(at), button, button,
                          Qt::NoModifier);
        QApplication::sendEvent(sw, &press);
        QMouseEvent release(QEvent::MouseButtonRelease, at, sw->mapToGlobal(at), button,
                            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(sw, &release);
    }
    // An analysed shot reported to the screen: the fundamental, and feeder f's current marked
    // by f.
    void giveResults(hs::MeasurementScreen& screen, float volts = 6600.0f)
    {
        hs::MeasurementData& d = station.data;
        d.VoltByOrder[1] = volts;
        for (std::size_t f = 0; f < d.CurByOrder.dim0(); ++f)
            d.CurByOrder(f, 1) = 100.0f + static_cast<float>(f);
        auto snapshot = std::make_shared<hs::ShotSnapshot>();
        snapshot->Data = d;
        snapshot->Settings = station.settings;
        screen.observer().runEvent({hs::run::ShotAnalysed{snapshot}, {}, {}});
    }
    static bool bold(QWidget* w) { return w->font().bold(); }
    static QString gridCell(const hs::MeasurementScreen& s, int g, int row, int column)
    {
        return s.grids()[static_cast<std::size_t>(g)].text(row, column);
    }

    hs::Station station{0.01};
    std::vector<Message> messages;
    std::vector<int> endCodes;
};

TEST_F(MeasurementScreenTest, LoadsWithItsControlsAndView1)
{
    station.settings.LastFeeder = 2;
    auto screen = makeScreen();
    EXPECT_EQ(screen->objectName(), QStringLiteral("Form03"));
    EXPECT_EQ(screen->windowTitle(), QStringLiteral("高調波測定中"));
    const QStringList captions = {"グラフ", "数値Σ",  "数値Ｖ", "数値Ｉ", "数値Ｒ",
                                  "波形",   "歪波形", "波＋歪", "ﾍﾞｸﾄﾙ"};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(viewButton(*screen, i)->text(), captions[i]);
    EXPECT_TRUE(viewButton(*screen, 0)->toolTip().isEmpty());
    EXPECT_EQ(viewButton(*screen, 1)->toolTip(), QStringLiteral("電圧・電流・位相差を表示します"));
    EXPECT_EQ(viewButton(*screen, 8)->toolTip(),
              QStringLiteral("基本波と高調波の電圧・電流ベクトルを表示します"));
    auto* sw = child<QPushButton>(*screen, QStringLiteral("Command4"));
    EXPECT_EQ(sw->text(), QStringLiteral("◀ F-1 ▶"));
    EXPECT_EQ(sw->toolTip(), QStringLiteral("入力チャンネルを切り替えます。"));
    EXPECT_FALSE(sw->isHidden());
    auto* start = child<QPushButton>(*screen, QStringLiteral("Command2"));
    auto* end = child<QPushButton>(*screen, QStringLiteral("Command1"));
    EXPECT_EQ(start->text(), QStringLiteral("測定開始"));
    EXPECT_EQ(end->text(), QStringLiteral("測定終了"));
    EXPECT_EQ(end->toolTip(), QStringLiteral("測定を強制的に終了します"));
    EXPECT_FALSE(start->isHidden()) << "Ready";
    EXPECT_TRUE(end->isHidden());
    // Every caption fits its button, no two buttons overlap, and each half of the switch is
    // wide enough to aim at.
    std::vector<QPushButton*> row;
    for (int i = 0; i < 9; ++i)
        row.push_back(viewButton(*screen, i));
    row.push_back(sw);
    row.push_back(start);
    for (std::size_t i = 0; i < row.size(); ++i) {
        EXPECT_LE(row[i]->fontMetrics().horizontalAdvance(row[i]->text()) + 8, row[i]->width())
            << qPrintable(row[i]->text());
        if (i > 0) {
            EXPECT_LT(row[i - 1]->geometry().right(), row[i]->geometry().left()) << i;
        }
    }
    EXPECT_GE(sw->width() / 2, 36);
    for (const char* name : {"Label1", "Label2", "Picture1", "Frame1"})
        EXPECT_NE(screen->findChild<QWidget*>(QString::fromUtf8(name)), nullptr) << name;
    EXPECT_EQ(screen->CurrentView(), 1);
    EXPECT_EQ(screen->CurrentChannel(), 0);
    EXPECT_TRUE(bold(viewButton(*screen, 0)));
    EXPECT_EQ(screen->grids()[0].rowCount(), 51);
    EXPECT_EQ(station.data.VoltByOrder.size(), 100u) << "result arrays sized at load";
    EXPECT_TRUE(messages.empty());
}

TEST_F(MeasurementScreenTest, OneFeederHidesTheChannelSwitch)
{
    auto screen = makeScreen();
    EXPECT_TRUE(child<QPushButton>(*screen, QStringLiteral("Command4"))->isHidden());
    screen->pressChannelSwitch(363);
    EXPECT_EQ(screen->CurrentChannel(), 0);
}

TEST_F(MeasurementScreenTest, ViewButtonsSelectAndDrawOnlyOnceDataExist)
{
    auto screen = makeScreen();
    auto* grid0 = child<QTableView>(*screen, QStringLiteral("Grid1(0)"));
    viewButton(*screen, 2)->click();
    EXPECT_EQ(screen->CurrentView(), 3);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(bold(viewButton(*screen, i)), i == 2) << i;
        EXPECT_EQ(viewButton(*screen, i)->isDefault(), i == 2) << i;
    }
    EXPECT_TRUE(grid0->isHidden()) << "nothing is drawn before the first analysis";
    EXPECT_TRUE(gridCell(*screen, 0, 1, 0).isEmpty());

    giveResults(*screen);
    viewButton(*screen, 1)->click();
    EXPECT_FALSE(grid0->isHidden());
    EXPECT_EQ(gridCell(*screen, 0, 1, 1), QStringLiteral("6600.0V"));
    EXPECT_EQ(grid0->model()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("電圧"));
    EXPECT_EQ(grid0->model()->data(grid0->model()->index(0, 1)).toString(),
              QStringLiteral("6600.0V"));
    EXPECT_EQ(grid0->model()->rowCount(), 51) << "order rows and the RMS row under the header";

    viewButton(*screen, 5)->click();
    EXPECT_TRUE(grid0->isHidden()) << "a picture view hides the grids";

    // Enter presses the default button, the one pressed last: the view is drawn again.
    viewButton(*screen, 1)->click();
    screen->DrawResults(6);
    ASSERT_TRUE(grid0->isHidden());
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(screen.get(), &enter);
    EXPECT_EQ(screen->CurrentView(), 2);
    EXPECT_FALSE(grid0->isHidden());

    // Views draw the last shot reported, never the arrays the engine writes after it.
    station.data.VoltByOrder[1] = 6700.0f;
    viewButton(*screen, 1)->click();
    EXPECT_EQ(gridCell(*screen, 0, 1, 1), QStringLiteral("6600.0V"));
    giveResults(*screen, 6700.0f);
    EXPECT_EQ(gridCell(*screen, 0, 1, 1), QStringLiteral("6700.0V")) << "drawn with the shot";
}

TEST_F(MeasurementScreenTest, ChannelSwitchReactsToThePressPosition)
{
    station.settings.LastFeeder = 2;
    auto screen = makeScreen();
    auto* sw = child<QPushButton>(*screen, QStringLiteral("Command4"));
    const double middle = sw->width() * 15.0 / 2;
    pressSwitch(*screen, middle + 15);
    EXPECT_EQ(screen->CurrentChannel(), 1);
    EXPECT_EQ(sw->text(), QStringLiteral("◀ F-2 ▶"));
    pressSwitch(*screen, middle - 15);
    EXPECT_EQ(screen->CurrentChannel(), 0) << "left of the middle is the previous feeder";
    pressSwitch(*screen, 100, Qt::RightButton);
    EXPECT_EQ(screen->CurrentChannel(), 2) << "any button; from feeder 1 left wraps to 3";
    EXPECT_EQ(sw->text(), QStringLiteral("◀ F-3 ▶"));
    pressSwitch(*screen, middle + 200, Qt::MiddleButton);
    EXPECT_EQ(screen->CurrentChannel(), 0);
    EXPECT_EQ(sw->text(), QStringLiteral("◀ F-1 ▶"));
    EXPECT_TRUE(gridCell(*screen, 0, 1, 3).isEmpty()) << "no data: nothing drawn";

    // With data, the shown view follows the channel at once.
    giveResults(*screen);
    screen->selectView(2);
    EXPECT_EQ(gridCell(*screen, 0, 1, 3), QStringLiteral("100.0A"));
    pressSwitch(*screen, middle + 15);
    EXPECT_EQ(gridCell(*screen, 0, 1, 3), QStringLiteral("101.0A"));
}

TEST_F(MeasurementScreenTest, AResultFileThatCannotBeOpenedKeepsTheRunFromStarting)
{
    QTemporaryDir dir;
    station.settings.OutputFile = dir.filePath(QStringLiteral("missing/folder/run.hv3"));
    auto screen = makeScreen();
    screen->activate();
    EXPECT_EQ(screen->runStatus(), hs::RunFileError);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].first.contains(QStringLiteral("run.hv3")))
        << qPrintable(messages[0].first);
    EXPECT_EQ(messages[0].second, QStringLiteral("エラー"));
    auto* start = child<QPushButton>(*screen, QStringLiteral("Command2"));
    auto* end = child<QPushButton>(*screen, QStringLiteral("Command1"));
    EXPECT_TRUE(start->isHidden());
    EXPECT_FALSE(end->isHidden());
    EXPECT_TRUE(endCodes.empty());

    // A second activation starts nothing; the end button still ends the program, and not
    // with the status of a run that went well.
    screen->activate();
    EXPECT_EQ(messages.size(), 1u);
    end->click();
    EXPECT_EQ(endCodes, std::vector<int>{1});
}

// A listener beside the screen (the status page) hears every report the screen shows.
TEST_F(MeasurementScreenTest, AListenerSetBesideTheScreenHearsWhatTheScreenShows)
{
    struct Recorder : hs::EngineObserver {
        QStringList heard;
        void status(const hs::RunStatus& s) override
        {
            heard << QStringLiteral("status ") + s.text;
        }
        void summaryText(const QString& t) override { heard << QStringLiteral("summary ") + t; }
        void message(const QString& text, const hs::MessageSeverity& severity) override
        {
            heard << QStringLiteral("message ") + severity.title() + QLatin1Char(' ') + text;
        }
    } tap;
    QTemporaryDir dir;
    station.settings.OutputFile = dir.filePath(QStringLiteral("missing/folder/run.hv3"));
    auto screen = makeScreen();
    QStringList shown;
    QObject::connect(screen.get(), &hs::MeasurementScreen::statusTextChanged,
                     [&](const QString& t) { shown << QStringLiteral("status ") + t; });
    screen->setObserverTap(&tap);
    screen->activate();
    ASSERT_EQ(messages.size(), 1u);
    shown << QStringLiteral("message ") + messages[0].second + QLatin1Char(' ') + messages[0].first;
    EXPECT_EQ(tap.heard, shown);
}

TEST_F(MeasurementScreenTest, ClosingTheWindowOutsideARunIsTheEndButton)
{
    auto screen = makeScreen();
    EXPECT_TRUE(screen->close());
    EXPECT_EQ(endCodes, std::vector<int>{0});
}

TEST_F(MeasurementScreenTest, EndButtonAbortsEachRecorderAndClosesItsLink)
{
    hs::sim::SimServer server(station.clock, hs::sim::Scenario::defaultScenario(), 2);
    for (int r = 0; r < 2; ++r) {
        ASSERT_TRUE(server.listen(r, QHostAddress::LocalHost, 0));
        station.lan.connectToRecorder(r, QStringLiteral("127.0.0.1"), server.port(r));
        ASSERT_TRUE(station.clock.waitUntil([&] { return station.lan.LinkConnected(r); }, 100000));
    }
    station.facts.LastRecorder = 1;
    station.settings.PrintIntervalMin = 10;
    auto screen = makeScreen();
    const auto gauge = [&](int r) {
        return server.recorder(r).commandLines().count(QStringLiteral(":SYST:LIST GAUGE"));
    };
    ASSERT_TRUE(station.clock.waitUntil([&] { return gauge(0) == 1 && gauge(1) == 1; }, 5000))
        << "printing on: the gauge list is asked of both recorders at load";
    station.clock.waitMs(4000); // the simulated recorders print it for 4 s

    child<QPushButton>(*screen, QStringLiteral("Command1"))->click();
    EXPECT_EQ(endCodes, std::vector<int>{0});
    for (int r = 0; r < 2; ++r) {
        ASSERT_TRUE(station.clock.waitUntil(
            [&] { return server.recorder(r).commandLines().contains(QStringLiteral(":ABORT")); },
            100000))
            << r << qPrintable(server.recorder(r).commandLines().join(QLatin1Char('|')));
        EXPECT_EQ(server.recorder(r).commandLines().last(), QStringLiteral(":ABORT")) << r;
        EXPECT_TRUE(station.clock.waitUntil([&] { return server.connectionCount(r) == 0; }, 5000))
            << "recorder " << r << " link closed";
    }
}

TEST_F(MeasurementScreenTest, ResizeFollowsTheWindowUnlessItIsTooSmall)
{
    auto screen = makeScreen();
    auto* picture = child<QWidget>(*screen, QStringLiteral("Picture1"));
    auto* frame = child<QWidget>(*screen, QStringLiteral("Frame1"));
    auto* grid = child<QWidget>(*screen, QStringLiteral("Grid1(1)"));
    auto* status = child<QWidget>(*screen, QStringLiteral("Label2"));
    const int gridWidth = grid->width();

    screen->applyLayout(9000, 12120); // outer twips: 600 x 800 pixels with the frame
    EXPECT_EQ(picture->width(), 800);
    EXPECT_EQ(picture->height(), px(9000 - 1605));
    EXPECT_EQ(frame->y(), px(9000 - 960));
    EXPECT_EQ(status->y(), px(9000 - 1250));
    EXPECT_EQ(grid->height(), px(9000 - 1725));
    EXPECT_EQ(grid->width(), gridWidth) << "grid widths never change";

    const QRect before = picture->geometry();
    screen->applyLayout(2000, 12120);
    screen->applyLayout(9000, 120);
    EXPECT_EQ(picture->geometry(), before);
    EXPECT_EQ(frame->y(), px(9000 - 960));
}

} // namespace
