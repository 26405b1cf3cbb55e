// What the benchmark programs share.
#pragma once

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <vector>

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

// The calling thread's own CPU time in seconds: time the machine gives to
// other work does not count.
inline double ThreadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Reports the calls' shares of their real-time budget (1 = all of it): the
// median, the 99th percentile and the worst, in percent, and the count.
inline void ReportBudgetShares(benchmark::State& run, std::vector<double> shares)
{
    std::sort(shares.begin(), shares.end());
    run.counters["median_%budget"] = 100.0 * shares[shares.size() / 2];
    run.counters["p99_%budget"] = 100.0 * shares[shares.size() * 99 / 100];
    run.counters["worst_%budget"] = 100.0 * shares.back();
    run.counters["calls"] = static_cast<double>(shares.size());
}

}  // namespace kelvane::bench
