// The stereo LV2 plug-in's run() against its real-time budget: each call must
// process its block in well under block / rate seconds. The module is loaded
// as a host loads it and run over a minute of audio per case, at 44100 and
// 96000 Hz in blocks of 64, 256 and 1024 frames, shifting a fifth up with the
// formants kept. Reported: the median and the worst call as a share of the
// budget, and once more at 44100 Hz in blocks of 256 and at 96000 Hz in
// blocks of 64 with the freeze switched on and off every second (each release
// restarts the engine within one call). The engine works a hop at a time, so calls that complete a hop
// carry its whole cost while the others only stage their frames: small
// blocks have a low median and a high worst. Each call is timed on the
// thread's own CPU clock, so that time the machine gives to other work does
// not count against it.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <lv2/core/lv2.h>

#include <cmath>
#include <random>
#include <string_view>
#include <vector>

#include "bench_support.h"

namespace {

using kelvane::bench::ReportBudgetShares;
using kelvane::bench::ThreadSeconds;

constexpr double kAudioSeconds = 60.0;
constexpr const char* kStereoUri = "https://www.valtrix.example/plugins/kelvane/#stereo";
// The stereo plug-in's ports: pitch, preserve_formants, formant, freeze,
// latency, then in_l, in_r, out_l, out_r.
constexpr uint32_t kControlPorts = 5;
constexpr uint32_t kFirstAudioPort = 5;

const LV2_Descriptor* StereoDescriptor()
{
    static void* module = dlopen(KELVANE_LV2_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        return nullptr;
    }
    const auto entry = reinterpret_cast<LV2_Descriptor_Function>(dlsym(module, "lv2_descriptor"));
    for (uint32_t index = 0; entry != nullptr; ++index) {
        const LV2_Descriptor* descriptor = entry(index);
        if (descriptor == nullptr || std::string_view(descriptor->URI) == kStereoUri) {
            return descriptor;
        }
    }
    return nullptr;
}

void StereoRunBudget(benchmark::State& run)
{
    const int rate = static_cast<int>(run.range(0));
    const int block = static_cast<int>(run.range(1));
    const bool freezing = run.range(2) != 0;
    const LV2_Descriptor* descriptor = StereoDescriptor();
    LV2_Handle plugin = descriptor != nullptr ? descriptor->instantiate(descriptor, rate, "", nullptr) : nullptr;
    if (plugin == nullptr) {
        run.SkipWithError("the plug-in did not load");
        return;
    }
    float controls[kControlPorts] = {7.0f, 1.0f, 0.0f, 0.0f, 0.0f};
    for (uint32_t port = 0; port < kControlPorts; ++port) {
        descriptor->connect_port(plugin, port, &controls[port]);
    }
    // Chords and noise bursts in both channels, ten seconds looped.
    const int soundFrames = 10 * rate / block * block;
    std::vector<float> input[2] = {std::vector<float>(soundFrames), std::vector<float>(soundFrames)};
    std::mt19937 random(5);
    std::uniform_real_distribution<float> noise(-0.2f, 0.2f);
    for (int frame = 0; frame < soundFrames; ++frame) {
        const double t = static_cast<double>(frame) / rate;
        const double chord = 0.15 * (std::sin(2 * M_PI * 220 * t) + std::sin(2 * M_PI * 277.2 * t) +
                                     std::sin(2 * M_PI * 329.6 * t));
        const double burst = std::exp(-20.0 * std::fmod(t, 0.5));
        for (int channel = 0; channel < 2; ++channel) {
            input[channel][frame] = static_cast<float>(chord * (1.0 + 0.1 * channel) + burst * noise(random));
        }
    }
    std::vector<float> output[2] = {std::vector<float>(block), std::vector<float>(block)};
    descriptor->connect_port(plugin, kFirstAudioPort + 2, output[0].data());
    descriptor->connect_port(plugin, kFirstAudioPort + 3, output[1].data());

    const double budget = static_cast<double>(block) / rate;
    const int calls = static_cast<int>(kAudioSeconds * rate / block);
    std::vector<double> shares(static_cast<std::size_t>(calls));
    for (auto _ : run) {
        descriptor->activate(plugin);
        for (int call = 0; call < calls; ++call) {
            const int offset = call * block % soundFrames;
            descriptor->connect_port(plugin, kFirstAudioPort, input[0].data() + offset);
            descriptor->connect_port(plugin, kFirstAudioPort + 1, input[1].data() + offset);
            // Frozen every other second: a release restarts the engine.
            controls[3] = freezing && call * block / rate % 2 == 1 ? 1.0f : 0.0f;
            const double start = ThreadSeconds();
            descriptor->run(plugin, static_cast<uint32_t>(block));
            shares[static_cast<std::size_t>(call)] = (ThreadSeconds() - start) / budget;
        }
        benchmark::DoNotOptimize(output[0].data());
        descriptor->deactivate(plugin);
    }
    ReportBudgetShares(run, shares);
    descriptor->cleanup(plugin);
}

void Cases(benchmark::internal::Benchmark* benchmark)
{
    for (const int rate : {44100, 96000}) {
        for (const int block : {64, 256, 1024}) {
            benchmark->Args({rate, block, 0});
        }
    }
    benchmark->Args({44100, 256, 1});
    benchmark->Args({96000, 64, 1});
}

BENCHMARK(StereoRunBudget)->ArgNames({"rate", "block", "freezing"})->Apply(Cases)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
