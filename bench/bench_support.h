// What the benchmark programs share.
#pragma once

#include <benchmark/benchmark.h>

namespace kelvane::bench {

// The run a summary table should show: the run itself without repetitions,
// else the median of the repetitions.
inline bool IsSummaryRun(const benchmark::BenchmarkReporter::Run& run)
{
    using Run = benchmark::BenchmarkReporter::Run;
    const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
    const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
    return !run.error_occurred && (single || median);
}

}  // namespace kelvane::bench
