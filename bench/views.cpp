// Redraw of each picture view of the measurement screen (graph, waveforms, distortion, both,
// vectors) at 1024 x 768 pixels, from an analysed shot of three feeders with 1024 samples per
// cycle (the longest waveforms). Target: every view below 10 ms, shown as the share of that
// budget each view takes. Also the cost of one `measure --snapshot` (27 PNG files).

#include "render/Snapshot.h"
#include "model/EngineObserver.h"
#include "render/Canvas.h"
#include "render/PictureViews.h"
#include "engine/HarmonicAnalysis.h"
#include "model/MeasurementData.h"
#include "model/RecorderFacts.h"
#include "model/MeasurementSettings.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>

namespace {

using namespace hs;

constexpr int kWidth = 1024;
constexpr int kHeight = 768;
constexpr double kBudgetMs = 10.0;

struct AnalysedShot {
    MeasurementSettings settings;
    RecorderFacts facts;
    MeasurementData data;
    NullObserver observer;

    AnalysedShot()
    {
        settings.MeasureType() = 2;
        settings.LastFeeder = 2;
        settings.setSampleCount(1024);
        data.sizeForPreparation(settings);
        data.sizeForMeasurement(settings);
        BuildTransformTables(data, settings);
        data.InputRange.fill(1.0f);
        const int n = settings.SampleCount;
        for (int ch = 0; ch < MeasurementData::channelCount(settings.LastFeeder); ++ch) {
            if (ch % 3 == 2)
                continue; // derived by the analysis
            for (int i = 0; i <= n; ++i) {
                double x = 0;
                for (int h = 1; h <= 49; h += 2)
                    x += 600.0 / (h * h) * std::sin(6.283185307 * h * i / n + 0.7 * ch + 0.2 * h);
                data.WaveData(std::size_t(ch), std::size_t(i)) =
                    static_cast<std::int16_t>(std::lround(x));
            }
        }
        if (AnalyseShot(data, settings, facts, 200, 4200, observer) != AnalysisOk)
            std::fprintf(stderr, "the shot could not be analysed\n");
    }
};

AnalysedShot& shot()
{
    static AnalysedShot instance;
    return instance;
}

void Redraw(benchmark::State& state)
{
    AnalysedShot& s = shot();
    const int view = static_cast<int>(state.range(0));
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    QPainter painter(&image);
    PainterCanvas canvas(painter, QSizeF(640, 360), QSizeF(kWidth, kHeight), kHeight / 30);
    for (auto _ : state) {
        canvas.clear();
        DrawPictureView(canvas, view, s.settings, s.data, 1);
        benchmark::ClobberMemory();
    }
}

void Snapshot(benchmark::State& state)
{
    AnalysedShot& s = shot();
    QTemporaryDir dir;
    for (auto _ : state) {
        const SnapshotResult result = WriteSnapshot(dir.path(), s.settings, s.data);
        if (!result.error.isEmpty())
            state.SkipWithError(qPrintable(result.error));
    }
}

BENCHMARK(Redraw)->Arg(1)->Arg(6)->Arg(7)->Arg(8)->Arg(9)->Unit(benchmark::kMillisecond);
BENCHMARK(Snapshot)->Unit(benchmark::kMillisecond)->Iterations(3);

// Real and CPU time per iteration, in milliseconds. On a shared machine the CPU time is the
// steadier figure; the budget is judged on it.
struct Times {
    double real = 0;
    double cpu = 0;
};

class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, Times> milliseconds;
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration)
                milliseconds[run.benchmark_name()] = {run.GetAdjustedRealTime(),
                                                      run.GetAdjustedCPUTime()};
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    bool withinBudget = true;
    for (const auto& [name, t] : collector.milliseconds) {
        if (name.rfind("Redraw/", 0) != 0)
            continue;
        std::printf("view %-2s %7.3f ms CPU (%.3f ms real) per redraw at %dx%d: %.2f of the "
                    "%.0f ms budget\n",
                    name.substr(7).c_str(), t.cpu, t.real, kWidth, kHeight, t.cpu / kBudgetMs,
                    kBudgetMs);
        withinBudget = withinBudget && t.cpu < kBudgetMs;
    }
    const auto snapshot = collector.milliseconds.find("Snapshot/iterations:3");
    if (snapshot != collector.milliseconds.end())
        std::printf("snapshot: %.0f ms CPU (%.0f ms real) for the 27 pictures of three feeders\n",
                    snapshot->second.cpu, snapshot->second.real);
    return withinBudget ? 0 : 1;
}
