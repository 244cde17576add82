// SPDX-License-Identifier: MIT
#pragma once

// Runs the registered Google Benchmarks with the usual console table on stderr and keeps
// each benchmark's CPU time per iteration (the median when repeated), so that main() can
// print result lines and ratios from the same run.

#include <benchmark/benchmark.h>

#include <iostream>
#include <map>
#include <string>

namespace Bench {

class Collector : public benchmark::ConsoleReporter
{
public:
    Collector()
    {
        SetOutputStream(&std::cerr);
        SetErrorStream(&std::cerr);
    }

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred)
                continue;
            const double ns = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
            const std::string &name = run.run_name.function_name;
            // A repeated benchmark's median wins over its single repetitions.
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") {
                    cpu[name] = ns;
                    medians[name] = true;
                }
            } else if (!medians[name]) {
                cpu[name] = ns;
            }
        }
    }

    /// CPU nanoseconds per iteration of `name`, 0 when it did not run.
    double ns(const std::string &name) const
    {
        const auto it = cpu.find(name);
        return it == cpu.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> cpu;
    std::map<std::string, bool> medians;
};

} // namespace Bench
