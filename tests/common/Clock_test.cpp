#include "common/Clock.h"

#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

using hs::Clock;

TEST(Clock, ScaledWaitLastsItsScaledLengthAndRunsEvents)
{
    Clock clock(0.01);
    bool fired = false;
    QTimer::singleShot(5, [&fired] { fired = true; });
    QElapsedTimer t;
    t.start();
    clock.waitMs(3000); // 30 ms real
    EXPECT_GE(t.elapsed(), 29);
    EXPECT_LT(t.elapsed(), 1000);
    EXPECT_TRUE(fired) << "a wait must deliver timer events";
}

TEST(Clock, WaitUntilStopsAtConditionOrTimeout)
{
    Clock clock(0.01);
    bool flag = false;
    QTimer::singleShot(20, [&flag] { flag = true; });
    EXPECT_TRUE(clock.waitUntil([&flag] { return flag; }, 100000));
    bool never = false;
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(clock.waitUntil([&never] { return never; }, 5000)); // 50 ms real
    EXPECT_GE(t.elapsed(), 49);
}

TEST(Clock, CalendarRunsAtTheTimeScale)
{
    Clock clock(0.001);
    const QDateTime start(QDate(2004, 2, 2), QTime(12, 0, 0));
    clock.setCalendar(start);
    clock.waitMs(60000); // one nominal minute, 60 ms real
    const qint64 passed = start.msecsTo(clock.now());
    EXPECT_GE(passed, 60000);
    EXPECT_LT(passed, 60000 + 500000) << "calendar ran far too fast";
}

TEST(Clock, ScaleComesFromTheEnvironmentWhenValid)
{
    qputenv("HARMONIC_TIME_SCALE", "0.25");
    EXPECT_DOUBLE_EQ(Clock::scaleFromEnvironment(), 0.25);
    qputenv("HARMONIC_TIME_SCALE", "fast");
    EXPECT_DOUBLE_EQ(Clock::scaleFromEnvironment(1.0), 1.0);
    qputenv("HARMONIC_TIME_SCALE", "-2");
    EXPECT_DOUBLE_EQ(Clock::scaleFromEnvironment(1.0), 1.0);
    qunsetenv("HARMONIC_TIME_SCALE");
}
