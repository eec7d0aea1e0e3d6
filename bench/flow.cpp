// The desktop program from the connection screen to the end of a run, at time scale 1, against
// two simulated recorders served by a separate `harmonic-station simulate`, so that the figures
// are the program's own:
//
// 1. CPU per wall second of the idle program: the settings screen waiting for the operator, and
//    the run while it waits for the recorders to hold the next shot (status "測定中": the start
//    commands and the waits for the recorders' memory), next to the 0.02 target.
// 2. CPU per wall second over the whole run (shots, downloads, analysis, drawing, saves).
// 3. The worst delay of a 10 ms timer during the run, next to the same timer on an idle event
//    loop and to the 100 ms target.
//
//   bench_flow [run-seconds]      (default 60)
//
// The simulator is the harmonic-station next to the bench folder, or HS_BINARY. Runs offscreen
// unless QT_QPA_PLATFORM says otherwise.

#include "ui/DesktopScreens.h"
#include "ui/MeasurementScreen.h"
#include "ui/ConnectionScreen.h"
#include "ui/PreparationScreen.h"
#include "ui/SettingsScreen.h"

#include "BenchSupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include <sys/resource.h>

using bench::msSince;
using bench::TimerWatch;

namespace {

constexpr double kIdleCpuTarget = 0.02;
constexpr double kTimerTargetMs = 100.0;
constexpr int kFeeders = 5;

// CPU seconds of this process so far (user and system, every thread).
double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// CPU and wall time summed over the intervals between start() and stop().
class CpuMeter {
public:
    void start()
    {
        if (running_)
            return;
        running_ = true;
        cpu0_ = cpuSeconds();
        wall_.start();
    }
    void stop()
    {
        if (!running_)
            return;
        running_ = false;
        cpu_ += cpuSeconds() - cpu0_;
        wallS_ += msSince(wall_) / 1000.0;
    }
    double cpu() const { return cpu_; }
    double wall() const { return wallS_; }
    double ratio() const { return wallS_ > 0 ? cpu_ / wallS_ : 0.0; }

private:
    bool running_ = false;
    double cpu0_ = 0;
    double cpu_ = 0;
    double wallS_ = 0;
    QElapsedTimer wall_;
};

// `harmonic-station simulate` with two recorders on loopback ports ending in 2.
bool startSimulator(QProcess& sim, std::array<quint16, 2>& ports)
{
    QString binary = qEnvironmentVariable("HS_BINARY");
    if (binary.isEmpty())
        binary = QDir(QCoreApplication::applicationDirPath()).filePath("../harmonic-station");
    for (int attempt = 0; attempt < 10; ++attempt) {
        for (quint16& p : ports)
            p = static_cast<quint16>(20002 + 10 * QRandomGenerator::global()->bounded(4000));
        sim.start(binary, {"simulate", "--recorders", "2", "--address2", "127.0.0.1", "--port1",
                           QString::number(ports[0]), "--port2", QString::number(ports[1]),
                           "--time-scale", "1"});
        if (!sim.waitForStarted(5000)) {
            std::fprintf(stderr, "cannot start %s\n", qPrintable(binary));
            return false;
        }
        // Listening, unless it gives up at once (a port taken).
        if (!sim.waitForFinished(1500))
            return true;
    }
    std::fprintf(stderr, "the simulator would not start\n");
    return false;
}

void clickWhenConfirming()
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll] {
        auto* form = qobject_cast<hs::PreparationScreen*>(QApplication::activeModalWidget());
        if (form == nullptr || form->phase() != hs::PreparationScreen::Phase::Confirm)
            return;
        poll->stop();
        poll->deleteLater();
        form->findChild<QPushButton*>(QStringLiteral("Command1(1)"))->click();
    });
    poll->start(20);
}

int run(double seconds)
{
    TimerWatch watch;
    // Baseline: the same timer on an idle event loop.
    hs::Clock idleClock(1.0);
    watch.start();
    idleClock.waitMs(2000);
    watch.stop();
    const double idleWorst = watch.worst();

    QProcess sim;
    std::array<quint16, 2> ports{};
    if (!startSimulator(sim, ports))
        return 1;

    hs::Station station(1.0);
    hs::DesktopProgram program(station, QString());
    program.setMessageFunction([](const QString& text, const QString&) {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    });
    program.setEndProgram([](int code) {
        std::fprintf(stderr, "the program ended early (code %d)\n", code);
        std::_Exit(1);
    });
    hs::ConnectionScreen& tcp = program.connectionScreen();
    tcp.setAddressTexts({{QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.1")},
                         {QString::number(ports[0]), QString::number(ports[1])}});
    tcp.setRecorderCount(2);
    program.show();
    std::printf("connecting (the initialisation waits 9 s)...\n");
    std::fflush(stdout);
    if (tcp.initialise() != hs::ConnectionStatus::Ok || program.settingsScreen() == nullptr) {
        std::fprintf(stderr, "the simulated recorders could not be initialised\n");
        return 1;
    }

    // The settings screen waits for the operator: the first lock-out, then 5 s more.
    hs::SettingsScreen& form01 = *program.settingsScreen();
    QTemporaryDir dir;
    form01.rules().chooseFeederCount(kFeeders, station.facts);
    form01.setOutputFileDialog([&dir] { return dir.filePath(QStringLiteral("bench")); });
    form01.chooseOutputFile();
    station.settings.SaveIntervalMin = 1;
    CpuMeter settingsIdle;
    station.clock.waitUntil([&] { return !form01.lockOutRunning(); }, 20000);
    settingsIdle.start();
    station.clock.waitMs(5000);
    settingsIdle.stop();

    // 測定開始, the wiring check, ＯＫ: the measurement screen takes over and runs.
    std::printf("preparing and running for %.0f s...\n", seconds);
    std::fflush(stdout);
    clickWhenConfirming();
    form01.startMeasurement();
    hs::MeasurementScreen* form03 = program.measurementScreen();
    if (form03 == nullptr) {
        std::fprintf(stderr, "the measurement screen did not open\n");
        return 1;
    }
    CpuMeter waiting; // while the recorders take the next shot
    CpuMeter whole;
    long shots = 0;
    QString status;
    QObject::connect(form03, &hs::MeasurementScreen::statusTextChanged, [&](const QString& text) {
        status = text;
        if (text == QStringLiteral("測定中"))
            waiting.start();
        else
            waiting.stop();
    });
    QObject::connect(form03, &hs::MeasurementScreen::summaryTextChanged,
                     [&shots](const QString&) { ++shots; });
    watch.during = [&status] { return status; };
    program.setEndProgram([&](int) {
        watch.stop();
        waiting.stop();
        whole.stop();
        std::printf("\nCPU per wall second of the idle program (target %.2f)\n", kIdleCpuTarget);
        std::printf("  settings screen waiting      %7.4f   (%.1f s)   ratio to target %.3f\n",
                    settingsIdle.ratio(), settingsIdle.wall(),
                    settingsIdle.ratio() / kIdleCpuTarget);
        std::printf("  run, waiting for the shot    %7.4f   (%.1f s)   ratio to target %.3f\n",
                    waiting.ratio(), waiting.wall(), waiting.ratio() / kIdleCpuTarget);
        std::printf("CPU per wall second over the run %7.4f   (%.1f s, %ld shots, %d feeders)\n",
                    whole.ratio(), whole.wall(), shots, kFeeders);
        std::printf("\n10 ms timer during the run (%ld ticks)\n", watch.ticks());
        std::printf("  worst delay, idle loop      %8.2f ms\n", idleWorst);
        std::printf("  worst delay, during the run %8.2f ms   ratio to idle %.1f, to 100 ms %.3f\n",
                    watch.worst(), idleWorst > 0 ? watch.worst() / idleWorst : 0.0,
                    watch.worst() / kTimerTargetMs);
        std::printf("  status line at the worst delay: %s\n", qPrintable(watch.worstDuring()));
        std::fflush(nullptr);
        sim.kill();
        sim.waitForFinished(2000);
        dir.remove();
        std::_Exit(shots > 0 ? 0 : 1);
    });
    QTimer::singleShot(static_cast<int>(seconds * 1000), [form03] {
        form03->findChild<QPushButton*>(QStringLiteral("Command1"))->click();
    });
    watch.start();
    whole.start();
    // The run starts from the event loop once the screen is up, and never returns.
    return QApplication::exec();
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 60.0;
    return run(seconds);
}
