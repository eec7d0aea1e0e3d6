// Time to download one period of 9 feeders (20 inputs, two recorders) from the simulated
// recorders on loopback, against the time of as many plain request/reply round trips with a
// minimal reply (":MEM:MAXP?"). The ratio says what the block transfer and decoding add beyond
// the round trips themselves; the target is below 1.5.

#include "common/Clock.h"
#include "engine/Acquisition.h"
#include "engine/SetupFlow.h"
#include "model/EngineObserver.h"
#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"
#include "model/RecorderFacts.h"
#include "recorder/LanModule.h"
#include "recorder/Recorder.h"
#include "sim/SimServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace hs;

namespace {

constexpr int kRuns = 15;
constexpr int kInputsPerRecorder = 10;

sim::Scenario scenario()
{
    sim::Scenario sc;
    sc.name = QStringLiteral("download benchmark");
    sc.frequencyHz = 50.0;
    sim::Quantity v;
    v.name = QStringLiteral("V");
    v.rms = 100.0;
    v.harmonics = {{5, 0.05, 20.0}};
    sc.quantities = {v};
    for (int r = 0; r < 2; ++r) {
        sc.recorders[static_cast<std::size_t>(r)] = {8841, QVector<int>(16, 1)};
        for (int ch = 1; ch <= kInputsPerRecorder; ++ch)
            sc.wiring.push_back({QStringLiteral("V"), r + 1, ch, 1.0 - 0.05 * ch});
    }
    return sc;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Station station(0.1);
    Clock& clock = station.clock;
    sim::SimServer server(clock, scenario(), 2);
    LanModule& lan = station.lan;
    RecorderFacts& facts = station.facts;
    RecorderPair& recorders = station.recorders;
    MeasurementSettings& settings = station.settings;
    MeasurementData& data = station.data;
    NullObserver observer;
    SetupFlow flow(station, observer);
    EngineContext& ctx = flow.context();

    facts.LastRecorder = 1;
    for (int r = 0; r < 2; ++r) {
        if (!server.listen(r, QHostAddress::LocalHost, 0)) {
            std::fprintf(stderr, "cannot listen\n");
            return 1;
        }
        lan.connectToRecorder(r, QStringLiteral("127.0.0.1"), server.port(r));
        if (!clock.waitUntil([&] { return lan.LinkConnected(r); }, 100000)) {
            std::fprintf(stderr, "cannot connect\n");
            return 1;
        }
        facts.ModelClass[static_cast<std::size_t>(r)] = cmd::modelClassOf(8841);
    }
    settings.LastFeeder = 8;
    settings.SampleCount = 512;
    for (int k = 0; k < 20; ++k) {
        settings.InputRecorder[static_cast<std::size_t>(k)] = k < kInputsPerRecorder ? 0 : 1;
        settings.InputChannel[static_cast<std::size_t>(k)] =
            static_cast<std::int16_t>(k % kInputsPerRecorder + 1);
    }
    data.sizeForPreparation(settings);
    data.ElementLast = 1;

    // The recorders as the preparation leaves them, and one stored shot.
    for (int r = 0; r < 2; ++r) {
        recorders[r].headerOff();
        recorders[r].setMemoryFormat(true);
    }
    recorders[0].triggerOnRisingZero(1);
    recorders[1].followExternalTrigger();
    clock.waitMs(500);
    std::int16_t status = 0;
    StartShot(ctx, 0, status);
    if (status != 0) {
        std::fprintf(stderr, "no shot\n");
        return 1;
    }

    const int start = 200, end = 4200;
    const int blocksPerInput = (end - start) / cmd::kBlockSamplesOther + 1;
    const int roundTrips = 20 * blocksPerInput;

    std::vector<double> download, baseline, simulated;
    for (int run = 0; run < kRuns; ++run) {
        QElapsedTimer t;
        t.start();
        std::int16_t recorder = 0, errors = 0;
        DownloadWaveforms(ctx, start, end, recorder, errors);
        download.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
        if (errors != 0) {
            std::fprintf(stderr, "download failed\n");
            return 1;
        }

        t.restart();
        for (int i = 0; i < roundTrips; ++i) {
            const int r = i * 2 / roundTrips; // half on each recorder
            if (!recorders[r].storedSamples().ok()) {
                std::fprintf(stderr, "round trip failed\n");
                return 1;
            }
        }
        baseline.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);

        // What the simulator itself spends computing the samples of those blocks (a recorder
        // reads them from its memory): the same requests executed in-process, without the link.
        t.restart();
        for (int r = 0; r < 2; ++r) {
            for (int ch = 1; ch <= kInputsPerRecorder; ++ch) {
                server.recorder(r).executeLine(cmd::memPoint(ch, start, true).toLatin1());
                for (int b = 0; b < blocksPerInput; ++b)
                    server.recorder(r).executeLine(
                        cmd::memBinaryData(cmd::kBlockSamplesOther).toLatin1());
            }
        }
        simulated.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
        for (int r = 0; r < 2; ++r)
            server.recorder(r).clearLog();
    }

    const double d = median(download), b = median(baseline), m = median(simulated);
    std::printf("download of one period, 9 feeders (20 inputs, %d blocks of %d samples)\n",
                roundTrips, cmd::kBlockSamplesOther);
    std::printf("  download          %8.2f ms (median of %d)\n", d, kRuns);
    std::printf("  %d round trips   %8.2f ms (baseline, minimal reply)\n", roundTrips, b);
    std::printf("  ratio             %8.2f   (target below 1.5)\n", b > 0 ? d / b : 0.0);
    std::printf("  of which the simulator computing the samples: %.2f ms; ratio without it %.2f\n",
                m, b > 0 ? (d - m) / b : 0.0);
    return 0;
}
