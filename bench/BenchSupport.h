#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

// Helpers shared by the benchmark programs.
namespace bench {

inline double msSince(const QElapsedTimer& t)
{
    return static_cast<double>(t.nsecsElapsed()) * 1e-6;
}

// Worst lateness of a 10 ms timer over its ticks while the event loop runs: how long the
// station kept the event loop from the operator's clicks.
class TimerWatch {
public:
    TimerWatch()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const double now = msSince(clock_);
            if (now - last_ - 10.0 > worst_) {
                worst_ = now - last_ - 10.0;
                worstDuring_ = during ? during() : QString();
            }
            last_ = now;
            ++ticks_;
        });
    }
    void start()
    {
        clock_.start();
        last_ = 0;
        worst_ = 0;
        ticks_ = 0;
        timer_.start(10);
    }
    void stop() { timer_.stop(); }
    double worst() const { return worst_; }
    long ticks() const { return ticks_; }
    // What was going on when the worst delay ended (the caller says how to tell).
    std::function<QString()> during;
    const QString& worstDuring() const { return worstDuring_; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    double last_ = 0;
    double worst_ = 0;
    long ticks_ = 0;
    QString worstDuring_;
};

} // namespace bench
