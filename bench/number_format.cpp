// Formatting the values of a result table (the patterns of the tables and summary lines) three
// ways in the same run: compiling the pattern for every value (the baseline), through
// formatNumber (patterns compiled once and looked up by text), and with NumberPattern objects
// kept by the caller. Figures: time per value and the speed-up over the baseline.

#include "common/NumberFormat.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include "TimeCollector.h"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace hs;

const std::vector<QString>& patterns()
{
    static const std::vector<QString> list = {
        QStringLiteral("####0.0V"), QStringLiteral("##0.0%"),     QStringLiteral("#,##0.000k"),
        QStringLiteral("##次"),     QStringLiteral("I= ##0.0% "), QStringLiteral("##,##0.0"),
        QStringLiteral("##0ﾟ"),     QStringLiteral("##.00"),
    };
    return list;
}

// Values as a table holds them: voltages, ratios, currents, angles.
const std::vector<double>& values()
{
    static const std::vector<double> list = [] {
        std::vector<double> v;
        for (int i = 0; i < 64; ++i)
            v.push_back((i % 7 - 3) * 1234.5678 / (i + 1) + 0.0137 * i);
        return v;
    }();
    return list;
}

void ParseEachTime(benchmark::State& state)
{
    for (auto _ : state) {
        for (const QString& p : patterns())
            for (double v : values())
                benchmark::DoNotOptimize(NumberPattern(p).format(v));
    }
}

void FormatNumberCached(benchmark::State& state)
{
    for (auto _ : state) {
        for (const QString& p : patterns())
            for (double v : values())
                benchmark::DoNotOptimize(formatNumber(v, p));
    }
}

void PatternKept(benchmark::State& state)
{
    std::vector<NumberPattern> compiled;
    for (const QString& p : patterns())
        compiled.emplace_back(p);
    for (auto _ : state) {
        for (const NumberPattern& p : compiled)
            for (double v : values())
                benchmark::DoNotOptimize(p.format(v));
    }
}

BENCHMARK(ParseEachTime)->Unit(benchmark::kMicrosecond);
BENCHMARK(FormatNumberCached)->Unit(benchmark::kMicrosecond);
BENCHMARK(PatternKept)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    bench::TimeCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    std::map<std::string, double> us; // CPU time
    for (const auto& [name, times] : collector.microseconds)
        us[name] = times.second;
    if (!us.contains("ParseEachTime") || !us.contains("FormatNumberCached") ||
        !us.contains("PatternKept"))
        return 0; // filtered run
    const double perTable = static_cast<double>(patterns().size() * values().size());
    const double baseline = us.at("ParseEachTime");
    std::printf("per value: compiled each time %.3f us, formatNumber %.3f us (%.2fx faster), "
                "kept NumberPattern %.3f us (%.2fx faster)\n",
                baseline / perTable, us.at("FormatNumberCached") / perTable,
                baseline / us.at("FormatNumberCached"), us.at("PatternKept") / perTable,
                baseline / us.at("PatternKept"));
    return 0;
}
