// The player's audio callback against its real-time budget: each call must
// fill 256 frames in well under 256 / rate seconds. Over a minute of audio
// per workload, the median and the worst call as a share of that budget
// (the worst includes the first calls after Play, which prime the engine).
// Each call is timed on the thread's own CPU clock, so that time the machine
// gives to other work does not count against the callback.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <cmath>
#include <random>
#include <vector>

#include "bench_support.h"
#include "kelvane/engine.h"
#include "playback/audio_callback.h"
#include "playback/player.h"

namespace {

using namespace kelvane::playback;
using kelvane::bench::ThreadSeconds;

constexpr double kAudioSeconds = 60.0;
constexpr double kSoundSeconds = 10.0;  // looped

// Chords and noise bursts: tonal and transient content at once.
Sound MakeMusic(int rate, int channels)
{
    Sound sound;
    sound.channels = channels;
    sound.sampleRate = static_cast<std::uint32_t>(rate);
    sound.frameCount = static_cast<std::int32_t>(kSoundSeconds * rate);
    sound.samples.Allocate(static_cast<std::uint64_t>(sound.frameCount) * channels * sizeof(float));
    std::mt19937 random(5);
    std::uniform_real_distribution<float> noise(-0.2f, 0.2f);
    float* samples = sound.samples.data();
    for (std::int32_t f = 0; f < sound.frameCount; ++f) {
        const double t = static_cast<double>(f) / rate;
        const double chord = 0.15 * (std::sin(2 * M_PI * 220 * t) + std::sin(2 * M_PI * 277.2 * t) +
                                     std::sin(2 * M_PI * 329.6 * t));
        const double burst = std::exp(-20.0 * std::fmod(t, 0.5));
        for (int c = 0; c < channels; ++c) {
            samples[static_cast<std::size_t>(f) * channels + c] =
                static_cast<float>(chord * (1.0 + 0.1 * c)) + static_cast<float>(burst) * noise(random);
        }
    }
    return sound;
}

void CallbackBudget(benchmark::State& run, int rate, int channels, float pitch, float speed)
{
    const Sound sound = MakeMusic(rate, channels);
    EngineInterface* engine = nullptr;
    if (CreateInstance(&engine, rate, channels, 1) != KELVANE_OK) {
        run.SkipWithError("no engine");
        return;
    }
    const double budget = static_cast<double>(kFramesPerBuffer) / rate;
    const int calls = static_cast<int>(kAudioSeconds * rate / kFramesPerBuffer);
    std::vector<float> output(2 * kFramesPerBuffer);
    std::vector<double> shares(static_cast<std::size_t>(calls));

    for (auto _ : run) {
        PlayerState state;
        state.sound = &sound;
        state.engineHandle = engine;
        state.downmix = DownmixFor(channels);
        state.pitchTarget = pitch;
        state.speedPercent = speed;
        state.loopEnabled = true;
        PrepareForPlay(state);
        for (int call = 0; call < calls; ++call) {
            const double start = ThreadSeconds();
            AudioCallback(nullptr, output.data(), kFramesPerBuffer, nullptr, 0, &state);
            shares[static_cast<std::size_t>(call)] = (ThreadSeconds() - start) / budget;
        }
        benchmark::DoNotOptimize(output.data());
    }
    kelvane::bench::ReportBudgetShares(run, shares);
    run.counters["first_%budget"] = 100.0 * shares[0];
    run.counters["over_budget"] =
        static_cast<double>(std::count_if(shares.begin(), shares.end(), [](double share) { return share > 1.0; }));
    DestroyInstance(&engine);
}

BENCHMARK_CAPTURE(CallbackBudget, stereo_44100_pitch3_speed100, 44100, 2, 3.0f, 100.0f)
    ->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(CallbackBudget, stereo_44100_pitch3_speed50, 44100, 2, 3.0f, 50.0f)
    ->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(CallbackBudget, stereo_44100_pitch3_speed200, 44100, 2, 3.0f, 200.0f)
    ->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(CallbackBudget, eight_channels_96000_pitch3_speed100, 96000, 8, 3.0f, 100.0f)
    ->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
