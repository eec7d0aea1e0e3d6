#include "ui/WindowPlacement.h"

#include "engine/Station.h"
#include "ui/ConnectionScreen.h"
#include "ui/MeasurementScreen.h"
#include "ui/PreparationScreen.h"
#include "ui/RcComplementScreen.h"
#include "ui/SettingsScreen.h"

#include <QApplication>
#include <QScreen>
#include <QWindow>

#include <gtest/gtest.h>

namespace {

// This program runs on an offscreen screen whose usable area starts 32 pixels down, as under a
// desktop with a panel along the top (tests/ui/panel-screen.json).
bool shownAndFramed(QWidget& w)
{
    w.show();
    for (int i = 0; i < 100 && !(w.windowHandle() && w.windowHandle()->isExposed()); ++i)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    QApplication::processEvents();
    return w.windowHandle() && w.windowHandle()->isExposed();
}

void expectFrameOnScreen(QWidget& w)
{
    ASSERT_TRUE(shownAndFramed(w)) << qPrintable(w.objectName());
    const QRect available = w.screen()->availableGeometry();
    EXPECT_TRUE(available.contains(w.frameGeometry()))
        << qPrintable(w.objectName()) << " frame " << w.frameGeometry().x() << ","
        << w.frameGeometry().y() << " " << w.frameGeometry().width() << "x"
        << w.frameGeometry().height() << " on " << available.y();
    w.hide();
}

TEST(WindowPlacement, EveryScreenOpensWithItsFrameOnTheUsableArea)
{
    ASSERT_GT(QGuiApplication::primaryScreen()->availableGeometry().top(), 0)
        << "runs on the screen with a panel";
    hs::Station station(0.01);
    hs::ConnectionScreen connection(station.recorders, QString());
    expectFrameOnScreen(connection);
    hs::SettingsScreen settings(station);
    settings.setMessageFunction([](const QString&, const QString&) {});
    expectFrameOnScreen(settings);
    hs::RcComplementScreen rc(station.settings, &settings);
    expectFrameOnScreen(rc);
    hs::PreparationScreen preparation(station, &settings);
    preparation.setMessageFunction([](const QString&, const QString&) {});
    expectFrameOnScreen(preparation);
    hs::MeasurementScreen measurement(station, [](const QString&, const QString&) {});
    expectFrameOnScreen(measurement);
}

// Asked for a place the frame does not fit, the frame goes as near as it can; a frame larger
// than the area keeps its caption corner on it.
TEST(WindowPlacement, FramePositionStaysOnTheArea)
{
    const QRect area(0, 32, 1280, 992);
    EXPECT_EQ(hs::FramePositionOn(area, {600, 400}, {0, 0}), QPoint(0, 32));
    EXPECT_EQ(hs::FramePositionOn(area, {600, 400}, {900, 800}), QPoint(680, 624));
    EXPECT_EQ(hs::FramePositionOn(area, {2000, 1200}, {100, 100}), QPoint(0, 32));
}

} // namespace
