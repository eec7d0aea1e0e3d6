#include "common/Clock.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <cmath>

namespace hs {

Clock::Clock(double timeScale) : scale_(timeScale > 0 ? timeScale : 1.0)
{
    calendarStart_ = QDateTime::currentDateTime();
    sinceStart_.start();
}

void Clock::setTimeScale(double scale)
{
    // Keep the calendar continuous across the change.
    const QDateTime current = now();
    scale_ = scale > 0 ? scale : 1.0;
    setCalendar(current);
}

double Clock::scaleFromEnvironment(double fallback)
{
    bool ok = false;
    const double v = qEnvironmentVariable("HARMONIC_TIME_SCALE").toDouble(&ok);
    return ok && v > 0 ? v : fallback;
}

int Clock::realMs(qint64 nominalMs) const
{
    if (nominalMs <= 0)
        return 0;
    const double real = std::llround(static_cast<double>(nominalMs) * scale_);
    return real > 2e9 ? 2000000000 : static_cast<int>(real);
}

QDateTime Clock::now() const
{
    const double nominal = static_cast<double>(sinceStart_.elapsed()) / scale_;
    return calendarStart_.addMSecs(static_cast<qint64>(nominal));
}

void Clock::setCalendar(const QDateTime& nominalNow)
{
    calendarStart_ = nominalNow;
    sinceStart_.restart();
}

void Clock::waitMs(qint64 nominalMs) const
{
    bool never = false;
    waitUntil([&never] { return never; }, nominalMs < 0 ? 0 : nominalMs);
}

bool Clock::waitUntil(const std::function<bool()>& done, qint64 nominalTimeoutMs) const
{
    if (done())
        return true;
    bool expired = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    if (nominalTimeoutMs >= 0) {
        QObject::connect(&deadline, &QTimer::timeout, [&expired] { expired = true; });
        deadline.start(realMs(nominalTimeoutMs));
    }
    while (!done()) {
        if (expired)
            return false;
        waitForEvents();
    }
    return true;
}

void Clock::pumpEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void Clock::waitForEvents()
{
    if (auto* dispatcher = QThread::currentThread()->eventDispatcher())
        dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    else
        QThread::msleep(1);
}

} // namespace hs
