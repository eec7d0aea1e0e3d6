#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// Keeps the real and CPU time per iteration of each benchmark, in microseconds, so that a
// program can print its figures as ratios of one run.
class TimeCollector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, std::pair<double, double>> microseconds; // {real, CPU}
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration)
                microseconds[run.benchmark_name()] = {run.GetAdjustedRealTime(),
                                                      run.GetAdjustedCPUTime()};
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace bench
