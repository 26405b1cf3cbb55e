// Real-time factor of the engine (seconds of input audio per second of CPU,
// one thread) for a stereo stream fed in 256-frame callbacks, at 44100 and
// 96000 Hz, for six workloads; the same workloads through the peers that are
// installed (Rubber Band's real-time mode with its faster and its finer
// engine, SoundTouch). A table of ratios ours / peer closes the run.
//
// Every engine gets the same mixed material (tones with vibrato, a chirp,
// noise bursts) and is driven the way an audio callback drives it: ask for
// input until a block of output is there, then take the block.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "stretchers.h"

namespace {

constexpr int channels = 2;
constexpr int blockFrames = 256;
constexpr double materialSeconds = 10.0;

struct Workload {
    const char* name;
    float speedPercent;
    float semitones;
    bool formant;
};

constexpr Workload workloads[] = {
    {"unity", 100.0f, 0.0f, false},          {"pitch+3", 100.0f, 3.0f, false},
    {"speed50", 50.0f, 0.0f, false},         {"speed200_pitch-5", 200.0f, -5.0f, false},
    {"pitch+3_formant", 100.0f, 3.0f, true}, {"pitch+7_formant", 100.0f, 7.0f, true},
};
constexpr int rates[] = {44100, 96000};

// The material, interleaved.
struct Material {
    std::vector<float> interleaved;
    int frames = 0;
};

const Material& MaterialFor(int rate)
{
    static std::map<int, Material> cache;
    Material& m = cache[rate];
    if (m.frames != 0) {
        return m;
    }
    m.frames = static_cast<int>(materialSeconds * rate);
    m.interleaved.resize(static_cast<std::size_t>(m.frames) * channels);
    std::mt19937 generator(7);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    const double pi = std::numbers::pi;
    const double fundamentals[] = {98.0, 196.0, 246.9, 293.7, 392.0};
    double chirpPhase = 0.0;
    for (int i = 0; i < m.frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double vibrato = 1.0 + 0.004 * std::sin(2.0 * pi * 5.0 * t);
        chirpPhase += 2.0 * pi * (200.0 + 900.0 * std::fmod(t, 2.0)) / rate;
        const bool burst = std::fmod(t, 1.25) < 0.08;
        for (int ch = 0; ch < channels; ++ch) {
            double v = 0.0;
            for (int n = 0; n < 5; ++n) {
                for (int h = 1; h <= 6; ++h) {
                    v += 0.03 / h * std::sin(2.0 * pi * fundamentals[n] * h * vibrato * t + n + ch);
                }
            }
            v += 0.05 * std::sin(chirpPhase + ch);
            if (burst) {
                v += noise(generator);
            }
            m.interleaved[static_cast<std::size_t>(i) * channels + ch] = static_cast<float>(v);
        }
    }
    return m;
}

using kelvane::bench::Stretcher;

// One pass over the material; returns the input frames consumed.
long RunOnce(Stretcher& stretcher, const Material& m)
{
    std::vector<float> out(blockFrames * channels);
    stretcher.Restart();
    long position = 0;
    for (;;) {
        while (stretcher.Available() < blockFrames) {
            int n = stretcher.Wanted();
            if (n <= 0) {
                n = blockFrames;
            }
            if (position + n > m.frames) {
                return position;
            }
            stretcher.Push(m.interleaved.data() + static_cast<std::size_t>(position) * channels, n);
            position += n;
        }
        stretcher.Pull(out.data(), blockFrames);
        benchmark::DoNotOptimize(out.data());
    }
}

void Measure(benchmark::State& state, Stretcher& stretcher, int rate)
{
    const Material& m = MaterialFor(rate);
    double inputSeconds = 0.0;
    for (auto _ : state) {
        inputSeconds += static_cast<double>(RunOnce(stretcher, m)) / rate;
    }
    // Rates divide by the CPU time of the run.
    state.counters["rtf"] = benchmark::Counter(inputSeconds, benchmark::Counter::kIsRate);
}

kelvane::bench::StretchSetting SettingFor(const Workload& workload, int rate)
{
    return {rate, channels, workload.speedPercent, workload.semitones, workload.formant};
}

void Kelvane(benchmark::State& state, Workload workload, int rate)
{
    kelvane::bench::KelvaneStretcher stretcher(SettingFor(workload, rate));
    if (!stretcher.Valid()) {
        state.SkipWithError("CreateInstance failed");
        return;
    }
    Measure(state, stretcher, rate);
}

#ifdef KELVANE_HAVE_RUBBERBAND
void RubberBand(benchmark::State& state, Workload workload, int rate, bool finer)
{
    kelvane::bench::RubberBandStretcher stretcher(SettingFor(workload, rate), finer);
    Measure(state, stretcher, rate);
}
#endif

#ifdef KELVANE_HAVE_SOUNDTOUCH
void SoundTouch(benchmark::State& state, Workload workload, int rate)
{
    kelvane::bench::SoundTouchStretcher stretcher(SettingFor(workload, rate));
    Measure(state, stretcher, rate);
}
#endif

std::string Key(const Workload& workload, int rate)
{
    return std::string(workload.name) + "/" + std::to_string(rate);
}

// Keeps every run's real-time factor for the table at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto rtf = run.counters.find("rtf");
            if (!kelvane::bench::IsSummaryRun(run) || rtf == run.counters.end()) {
                continue;
            }
            // Names are <engine>/<workload>/<rate>.
            const std::string& name = run.run_name.function_name;
            const auto slash = name.find('/');
            figures[name.substr(0, slash)][name.substr(slash + 1)] = rtf->second.value;
        }
    }

    void PrintTable() const
    {
        const auto ours = figures.find("Kelvane");
        if (ours == figures.end()) {
            return;
        }
        std::printf("\nReal-time factor (input seconds per CPU second), stereo, 256-frame callbacks\n");
        std::printf("%-26s %9s", "workload/rate", "Kelvane");
        for (const auto& [peer, unused] : figures) {
            if (peer != "Kelvane") {
                std::printf(" %18s %7s", peer.c_str(), "ratio");
            }
        }
        std::printf("\n");
        for (const int rate : rates) {
            for (const Workload& workload : workloads) {
                const std::string key = Key(workload, rate);
                const auto our = ours->second.find(key);
                if (our == ours->second.end()) {
                    continue;
                }
                std::printf("%-26s %9.1f", key.c_str(), our->second);
                for (const auto& [peer, results] : figures) {
                    if (peer == "Kelvane") {
                        continue;
                    }
                    const auto theirs = results.find(key);
                    if (theirs == results.end()) {
                        std::printf(" %18s %7s", "-", "-");
                    } else {
                        std::printf(" %18.1f %7.2f", theirs->second, our->second / theirs->second);
                    }
                }
                std::printf("\n");
            }
        }
#ifdef KELVANE_HAVE_SOUNDTOUCH
        std::printf("SoundTouch keeps no formants: its pitch+7_formant figure is a plain shift.\n");
#endif
    }

private:
    std::map<std::string, std::map<std::string, double>> figures;
};

void RegisterAll()
{
    for (const int rate : rates) {
        for (const Workload& workload : workloads) {
            const std::string key = Key(workload, rate);
            benchmark::RegisterBenchmark(("Kelvane/" + key).c_str(), Kelvane, workload, rate)
                ->Unit(benchmark::kMillisecond);
#ifdef KELVANE_HAVE_RUBBERBAND
            benchmark::RegisterBenchmark(("RubberBandFaster/" + key).c_str(), RubberBand, workload, rate,
                                         false)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("RubberBandFiner/" + key).c_str(), RubberBand, workload, rate, true)
                ->Unit(benchmark::kMillisecond);
#endif
#ifdef KELVANE_HAVE_SOUNDTOUCH
            benchmark::RegisterBenchmark(("SoundTouch/" + key).c_str(), SoundTouch, workload, rate)
                ->Unit(benchmark::kMillisecond);
#endif
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RegisterAll();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    reporter.PrintTable();
    return 0;
}
