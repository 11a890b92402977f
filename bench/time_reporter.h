// Console reporter that also keeps each benchmark's time, so a program can print
// the ratios of its measurements to their peers' from the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

// Times are nanoseconds per item where a benchmark counts items, else per
// iteration; with repetitions the mean stands for the benchmark. Keyed by the
// benchmark's function name.
class TimeReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "mean") continue;
            auto items = run.counters.find("items_per_second");
            times[run.run_name.function_name] = items != run.counters.end() && items->second.value > 0
                                                    ? 1e9 / items->second.value
                                                    : run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};
