#pragma once

#include <QDateTime>
#include <QElapsedTimer>

#include <functional>

namespace hs {

// The station's only source of time. Every wait runs the Qt event loop (so socket data, timer
// ticks and button presses are seen) but blocks until the next event instead of spinning.
// The time scale shortens every wait and time-out and speeds up the calendar: with scale 0.01
// a nominal minute passes in 0.6 s of real time.
class Clock {
public:
    explicit Clock(double timeScale = 1.0);

    double timeScale() const { return scale_; }
    void setTimeScale(double scale);

    // Scale from HARMONIC_TIME_SCALE, or fallback when unset or not a positive number.
    static double scaleFromEnvironment(double fallback = 1.0);

    // Real milliseconds for a nominal duration (rounded, never negative).
    int realMs(qint64 nominalMs) const;

    // The calendar: nominal date and time, running 1/scale times faster than the wall clock.
    QDateTime now() const;
    // Restarts the calendar so that now() gives this instant at this moment.
    void setCalendar(const QDateTime& nominalNow);

    // Waits a nominal number of milliseconds, running events meanwhile.
    void waitMs(qint64 nominalMs) const;
    // Runs events until done() holds (true) or the nominal time-out passes (false).
    // A negative time-out waits without limit.
    bool waitUntil(const std::function<bool()>& done, qint64 nominalTimeoutMs) const;

    // Processes what is pending and returns at once.
    static void pumpEvents();
    // Blocks until at least one event (socket data, timer tick, input) has been processed.
    static void waitForEvents();

private:
    double scale_;
    QDateTime calendarStart_;
    QElapsedTimer sinceStart_;
};

} // namespace hs
