// Forward then Inverse of the Hartley transform against the same round trip
// through FFTW's single-precision r2c and c2r, at the engine's sizes. Both
// loops scale the result back by 1/n, as a caller would, so the data stay
// the same from one iteration to the next. A table of ours / FFTW follows
// the usual report: CPU time, medians when run with --benchmark_repetitions.
#include "hartley_transform.h"
#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#ifdef KELVANE_HAVE_FFTW
#include <fftw3.h>
#endif

namespace {

std::vector<float> Noise(int n)
{
    std::mt19937 generator(static_cast<unsigned>(n));
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> x(n);
    for (float& value : x) {
        value = uniform(generator);
    }
    return x;
}

void Scale(float* x, int n, float factor)
{
    for (int i = 0; i < n; ++i) {
        x[i] *= factor;
    }
}

void HartleyRoundTrip(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    kelvane::HartleyTransform transform(n);
    if (!transform.IsPrepared()) {
        state.SkipWithError("transform could not be prepared");
        return;
    }
    std::vector<float> x = Noise(n);
    const float scale = 1.0f / static_cast<float>(n);
    for (auto _ : state) {
        transform.Forward(x.data());
        transform.Inverse(x.data());
        Scale(x.data(), n, scale);
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(x.data());
}
BENCHMARK(HartleyRoundTrip)->RangeMultiplier(2)->Range(1024, 8192);

#ifdef KELVANE_HAVE_FFTW
void FftwRoundTrip(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    auto* real = static_cast<float*>(fftwf_malloc(sizeof(float) * n));
    auto* spectrum = static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * (n / 2 + 1)));
    if (real == nullptr || spectrum == nullptr) {
        fftwf_free(spectrum);
        fftwf_free(real);
        state.SkipWithError("out of memory");
        return;
    }
    // Measuring plans overwrite the arrays; the input goes in afterwards.
    fftwf_plan forward = fftwf_plan_dft_r2c_1d(n, real, spectrum, FFTW_MEASURE);
    fftwf_plan inverse = fftwf_plan_dft_c2r_1d(n, spectrum, real, FFTW_MEASURE);
    const std::vector<float> input = Noise(n);
    std::copy(input.begin(), input.end(), real);
    const float scale = 1.0f / static_cast<float>(n);
    for (auto _ : state) {
        fftwf_execute(forward);
        fftwf_execute(inverse);
        Scale(real, n, scale);
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(real);
    fftwf_destroy_plan(inverse);
    fftwf_destroy_plan(forward);
    fftwf_free(spectrum);
    fftwf_free(real);
}
BENCHMARK(FftwRoundTrip)->RangeMultiplier(2)->Range(1024, 8192);
#endif

// Keeps each size's time per round trip, for the ratio table at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (!kelvane::bench::IsSummaryRun(run) || run.iterations == 0) {
                continue;
            }
            const double ns = run.GetAdjustedCPUTime() * TimeUnitToNanoseconds(run.time_unit);
            const int n = std::stoi(run.run_name.args);
            if (run.run_name.function_name == "HartleyRoundTrip") {
                hartley[n] = ns;
            } else if (run.run_name.function_name == "FftwRoundTrip") {
                fftw[n] = ns;
            }
        }
    }

    void PrintRatios() const
    {
        std::printf("\n%8s %16s %16s %8s\n", "n", "Hartley ns/pair", "FFTW ns/pair", "ratio");
        for (const auto& [n, ours] : hartley) {
            const auto peer = fftw.find(n);
            if (peer == fftw.end()) {
                std::printf("%8d %16.0f %16s %8s\n", n, ours, "-", "-");
            } else {
                std::printf("%8d %16.0f %16.0f %8.2f\n", n, ours, peer->second, ours / peer->second);
            }
        }
    }

private:
    static double TimeUnitToNanoseconds(benchmark::TimeUnit unit)
    {
        switch (unit) {
            case benchmark::kSecond:
                return 1e9;
            case benchmark::kMillisecond:
                return 1e6;
            case benchmark::kMicrosecond:
                return 1e3;
            default:
                return 1.0;
        }
    }

    std::map<int, double> hartley;
    std::map<int, double> fftw;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    reporter.PrintRatios();
    return 0;
}
