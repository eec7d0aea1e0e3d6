// The measurement screen while a run goes on.
//
// 1. DrawResults for each table view with 256 orders and nine feeders: the grids filled and
//    repainted, next to the headless fill of the cell model alone and to the 10 ms target.
// 2. The worst delay of a 10 ms timer while a run against the in-process simulated recorders
//    (two recorders, five feeders, 256 orders) goes on at time scale 1 with the screen showing
//    view 2, next to the worst delay of the same timer on an idle event loop and to the
//    100 ms target.
//
//   bench_screen [run-seconds]      (default 60)
//
// Runs offscreen unless QT_QPA_PLATFORM says otherwise.

#include "ui/MeasurementScreen.h"

#include "engine/InstrumentPreparation.h"
#include "engine/RunLoop.h"
#include "engine/SetupFlow.h"
#include "model/SettingsRules.h"
#include "recorder/ConnectionSetup.h"
#include "render/ResultTables.h"
#include "sim/SimServer.h"

#include "BenchSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>

using bench::msSince;
using bench::TimerWatch;

namespace {

constexpr double kTableTargetMs = 10.0;
constexpr double kTimerTargetMs = 100.0;

// Median and worst of repeated timings, in milliseconds.
struct Timing {
    double median = 0;
    double worst = 0;
};
Timing timeIt(int repeats, const std::function<void()>& work)
{
    std::vector<double> ms;
    for (int i = 0; i < repeats; ++i) {
        QElapsedTimer t;
        t.start();
        work();
        ms.push_back(msSince(t));
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.back()};
}

void fillRandomResults(hs::MeasurementData& d)
{
    std::mt19937 gen(14);
    std::uniform_real_distribution<float> u(0.0f, 500.0f);
    for (float& v : d.VoltByOrder)
        v = u(gen);
    d.VoltByOrder[1] = 6600.0f;
    for (float& v : d.VoltRatio)
        v = u(gen) / 100.0f;
    for (std::size_t i = 0; i < d.VoltMag.size(); ++i)
        d.VoltMag.data()[i] = u(gen);
    for (std::size_t i = 0; i < d.CurMag.size(); ++i)
        d.CurMag.data()[i] = u(gen);
    for (std::size_t i = 0; i < d.CurByOrder.size(); ++i)
        d.CurByOrder.data()[i] = u(gen);
    for (std::size_t i = 0; i < d.CurRatio.size(); ++i)
        d.CurRatio.data()[i] = u(gen) / 10.0f;
    for (std::size_t i = 0; i < d.PowerAngle.size(); ++i)
        d.PowerAngle.data()[i] = static_cast<std::int16_t>(u(gen) - 250.0f);
    d.VoltRms = {6610.0f, 6620.0f, 6630.0f};
}

void tableViews()
{
    hs::Station station(1.0);
    hs::MeasurementSettings& s = station.settings;
    s.SaveOption() = 4;
    s.MaxHarmonicOrder = 256;
    s.Orders256 = true;
    s.LastFeeder = 8;
    hs::MeasurementScreen screen(station, [](const QString& text, const QString&) {
        std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    screen.setEndProgram([](int) {});
    fillRandomResults(station.data);
    screen.pressChannelSwitch(0); // feeder 9
    // Not shown (that would start a run): every repaint renders the whole screen.

    std::printf("DrawResults, 256 orders, nine feeders (median / worst of 50, ms)\n");
    std::printf("  view  fill+repaint      cell model alone   ratio to model  ratio to 10 ms\n");
    for (int view = 2; view <= 5; ++view) {
        // Alternate with another table view so that every call changes the grids' shape.
        const int other = view == 2 ? 3 : 2;
        const Timing drawn = timeIt(50, [&] {
            screen.DrawResults(other);
            screen.DrawResults(view);
            (void)screen.grab();
        });
        hs::ResultGridPair grids;
        hs::PrepareResultGrids(grids, 256);
        const Timing model = timeIt(50, [&] {
            hs::FillResultTables(grids, other, s, station.data, 8);
            hs::FillResultTables(grids, view, s, station.data, 8);
        });
        std::printf("  %d     %6.2f / %6.2f   %6.2f / %6.2f     %6.2f          %6.3f\n", view,
                    drawn.median / 2, drawn.worst / 2, model.median / 2, model.worst / 2,
                    model.median > 0 ? drawn.median / model.median : 0.0,
                    drawn.median / 2 / kTableTargetMs);
    }
}

int liveRun(double seconds)
{
    TimerWatch watch;
    // Baseline: the same timer on an idle event loop.
    hs::Clock idleClock(1.0);
    watch.start();
    idleClock.waitMs(2000);
    watch.stop();
    const double idleWorst = watch.worst();

    hs::Station station(1.0);
    hs::sim::SimServer server(station.clock, hs::sim::Scenario::defaultScenario(), 2);
    hs::ConnectionRequest request;
    request.recorderCount = 2;
    for (int r = 0; r < 2; ++r) {
        if (!server.listen(r, QHostAddress::LocalHost, 0)) {
            std::fprintf(stderr, "cannot listen on loopback\n");
            return 1;
        }
        request.addresses[static_cast<std::size_t>(r)] = QStringLiteral("127.0.0.1");
        request.ports[static_cast<std::size_t>(r)] = QString::number(server.port(r));
    }
    hs::NullObserver quiet;
    hs::ConnectionSetup setup(station.recorders, quiet);
    if (setup.initialise(request) != hs::ConnectionStatus::Ok) {
        std::fprintf(stderr, "the simulated recorders could not be initialised\n");
        return 1;
    }
    QTemporaryDir dir;
    hs::MeasurementSettings& s = station.settings;
    s.MeasureType() = 2;
    s.SaveOption() = 4;
    s.MaxHarmonicOrder = 256;
    s.Orders256 = true;
    hs::buildFeederChannelMap(s, station.facts, 5);
    s.LastFeeder = 4;
    s.OutputFile = dir.filePath(QStringLiteral("bench.hv5"));
    s.OutputFolder = dir.path() + QStringLiteral("/");
    s.SaveIntervalMin = 1;
    s.StartDateTime = station.clock.now();
    s.EndDateTime = station.clock.now().addSecs(3600);
    hs::SetupFlow flow(station, quiet);
    if (!flow.prepare()) {
        std::fprintf(stderr, "the preparation failed\n");
        return 1;
    }
    flow.acceptWiring();

    hs::MeasurementScreen screen(station, [](const QString& text, const QString&) {
        std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    long summaries = 0;
    QObject::connect(&screen, &hs::MeasurementScreen::summaryTextChanged,
                     [&summaries](const QString&) { ++summaries; });
    QString status;
    QObject::connect(&screen, &hs::MeasurementScreen::statusTextChanged,
                     [&status](const QString& text) { status = text; });
    watch.during = [&status] { return status; };
    // The end button ends the program as the station's does: the figures are printed first.
    screen.setEndProgram([&](int) {
        watch.stop();
        std::printf("\n10 ms timer during a run at time scale 1 (%.0f s, view 2, 5 feeders, 256 "
                    "orders, %ld shots drawn, %ld ticks)\n",
                    seconds, summaries, watch.ticks());
        std::printf("  worst delay, idle loop      %8.2f ms\n", idleWorst);
        std::printf("  worst delay, during the run %8.2f ms   ratio to idle %.1f, to 100 ms %.3f\n",
                    watch.worst(), idleWorst > 0 ? watch.worst() / idleWorst : 0.0,
                    watch.worst() / kTimerTargetMs);
        std::printf("  status line at the worst delay: %s\n", qPrintable(watch.worstDuring()));
        std::fflush(nullptr);
        dir.remove();
        std::_Exit(summaries > 0 ? 0 : 1);
    });
    screen.selectView(2);
    screen.show();
    // The command logs are not read here: keep them from growing.
    QTimer clearLogs;
    QObject::connect(&clearLogs, &QTimer::timeout, [&server] {
        for (int r = 0; r < server.recorderCount(); ++r)
            server.recorder(r).clearLog();
    });
    clearLogs.start(1000);
    QTimer::singleShot(static_cast<int>(seconds * 1000), [&screen] {
        screen.findChild<QPushButton*>(QStringLiteral("Command1"))->click();
    });
    watch.start();
    screen.activate();
    std::fprintf(stderr, "the run ended before the end button (status %d)\n", screen.runStatus());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 60.0;
    tableViews();
    std::fflush(stdout);
    return liveRun(seconds);
}
