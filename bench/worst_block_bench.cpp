// The engine's cost per 512-frame block against that block's real-time
// budget (512 / rate seconds), for 2 and 8 channels at 44100 and 96000 Hz:
// the median, the 99th percentile and the worst block, each block timed on
// the thread's own CPU clock. The work of one hop lands in the block that
// completes it, so the worst block, not the average, decides whether a
// device buffer of that size keeps up.
//
// Each block is what a host's callback does: push input (as much as the
// engine asks for) until 512 frames of output are there, then take them.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "bench_support.h"
#include "stretchers.h"

namespace {

constexpr int blockFrames = 512;
constexpr double materialSeconds = 20.0;

using kelvane::bench::StretchSetting;

// Tones with vibrato on every channel (each its own phase) and noise bursts
// every 1.25 s: steady bins, onsets and hops that analyse twice.
std::vector<float> MakeMaterial(int rate, int channels)
{
    const int frames = static_cast<int>(materialSeconds * rate);
    std::vector<float> samples(static_cast<std::size_t>(frames) * channels);
    std::mt19937 generator(11);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    const double pi = std::numbers::pi;
    for (int i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double vibrato = 1.0 + 0.004 * std::sin(2.0 * pi * 5.0 * t);
        const bool burst = std::fmod(t, 1.25) < 0.08;
        for (int ch = 0; ch < channels; ++ch) {
            double v = 0.0;
            for (int h = 1; h <= 8; ++h) {
                v += 0.05 / h * std::sin(2.0 * pi * 196.0 * h * vibrato * t + ch);
            }
            if (burst) {
                v += noise(generator);
            }
            samples[static_cast<std::size_t>(i) * channels + ch] = static_cast<float>(v);
        }
    }
    return samples;
}

void WorstBlock(benchmark::State& state, int rate, int channels, StretchSetting workload)
{
    workload.rate = rate;
    workload.channels = channels;
    const std::vector<float> material = MakeMaterial(rate, channels);
    kelvane::bench::KelvaneStretcher stretcher(workload);
    if (!stretcher.Valid()) {
        state.SkipWithError("CreateInstance failed");
        return;
    }
    const double budget = static_cast<double>(blockFrames) / rate;
    std::vector<double> shares;
    for (auto _ : state) {
        long inputFrames = 0;
        shares = kelvane::bench::TimeCallbacks(stretcher, material, channels, blockFrames, inputFrames);
    }
    for (double& share : shares) {
        share /= budget;
    }
    kelvane::bench::ReportBudgetShares(state, shares);
}

// Rate and channels are set per run.
constexpr StretchSetting pitchUp{.speedPercent = 100.0f, .semitones = 3.0f};
constexpr StretchSetting slower{.speedPercent = 50.0f};
constexpr StretchSetting fasterDown{.speedPercent = 200.0f, .semitones = -5.0f};
constexpr StretchSetting formantsKept{.speedPercent = 100.0f, .semitones = 3.0f, .formant = true};

#define KELVANE_WORST_BLOCK(name, workload)                                                                      \
    BENCHMARK_CAPTURE(WorstBlock, name##_stereo_44100, 44100, 2, workload)->Iterations(1)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(WorstBlock, name##_8ch_44100, 44100, 8, workload)->Iterations(1)->Unit(benchmark::kMillisecond);    \
    BENCHMARK_CAPTURE(WorstBlock, name##_stereo_96000, 96000, 2, workload)->Iterations(1)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(WorstBlock, name##_8ch_96000, 96000, 8, workload)->Iterations(1)->Unit(benchmark::kMillisecond)

KELVANE_WORST_BLOCK(pitch3, pitchUp);
KELVANE_WORST_BLOCK(speed50, slower);
KELVANE_WORST_BLOCK(speed200_pitch5down, fasterDown);
KELVANE_WORST_BLOCK(pitch3_formant, formantsKept);

}  // namespace

BENCHMARK_MAIN();
