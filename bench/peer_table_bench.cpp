// The three figures someone choosing a library compares, for the engine and
// for the peers that are installed (Rubber Band's real-time mode with its
// faster and its finer engine, SoundTouch), stereo 44100 Hz at pitch +3:
//   - speed: seconds of input per second of CPU, one thread;
//   - the worst 512-frame block: an audio callback that asks for 512 frames
//     feeds the stretcher until they are there; the dearest call, as a share
//     of the 512 / 44100 s it may take (the best of the passes, so that one
//     disturbance of a busy machine does not decide it), once running and
//     among the first calls after a reset, which fill the stretcher's window;
//   - latency: from a click going in to the click coming out, for a caller
//     that plays the first output frame as soon as there is one.
// bench/peers.sh turns the figures into the README's table.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "bench_support.h"
#include "stretchers.h"

namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr int kBlockFrames = 512;
constexpr float kSemitones = 3.0f;
constexpr double kMaterialSeconds = 20.0;
constexpr int kPasses = 5;
// The calls counted as the start: those within about the longest latency.
constexpr int kStartBlocks = 8;
// Latency is read from a click in silence, fed in small pieces so that the
// moment the first output appears is known to within a piece.
constexpr int kClickFrame = kRate / 2;
constexpr int kClickInputFrames = 2 * kRate;
constexpr int kLatencyPieceFrames = 16;

using kelvane::bench::Stretcher;
constexpr kelvane::bench::StretchSetting kSetting{kRate, kChannels, 100.0f, kSemitones, false};

// Tones panned across the two channels over a bass line, with noise bursts
// as drum hits.
const std::vector<float>& Material()
{
    static const std::vector<float> material = [] {
        const int frames = static_cast<int>(kMaterialSeconds * kRate);
        std::vector<float> samples(static_cast<std::size_t>(frames) * kChannels);
        std::mt19937 generator(11);
        std::uniform_real_distribution<float> noise(-0.3f, 0.3f);
        const double tones[] = {110.0, 261.6, 329.6, 392.0, 523.3};
        const double pans[] = {0.5, 0.1, 0.9, 0.3, 0.7};  // share in the right channel
        for (int i = 0; i < frames; ++i) {
            const double t = static_cast<double>(i) / kRate;
            const double hit = std::exp(-30.0 * std::fmod(t, 0.5));
            double left = 0.0;
            double right = 0.0;
            for (int k = 0; k < 5; ++k) {
                const double tone = 0.12 * std::sin(2.0 * std::numbers::pi * tones[k] * t);
                left += tone * (1.0 - pans[k]);
                right += tone * pans[k];
            }
            samples[2 * static_cast<std::size_t>(i)] = static_cast<float>(left + hit * noise(generator));
            samples[2 * static_cast<std::size_t>(i) + 1] = static_cast<float>(right + hit * noise(generator));
        }
        return samples;
    }();
    return material;
}

struct PassFigures {
    double cpuSeconds = 0.0;
    double inputSeconds = 0.0;
    double worstShare = 0.0;
    double startShare = 0.0;
};

// The material through the stretcher in 512-frame callbacks, each timed on
// the thread's own CPU clock.
PassFigures RunPass(Stretcher& stretcher)
{
    long inputFrames = 0;
    const std::vector<double> blocks =
        kelvane::bench::TimeCallbacks(stretcher, Material(), kChannels, kBlockFrames, inputFrames);
    const double budget = static_cast<double>(kBlockFrames) / kRate;
    PassFigures figures;
    figures.inputSeconds = static_cast<double>(inputFrames) / kRate;
    for (std::size_t block = 0; block < blocks.size(); ++block) {
        figures.cpuSeconds += blocks[block];
        double& worst = block < kStartBlocks ? figures.startShare : figures.worstShare;
        worst = std::max(worst, blocks[block] / budget);
    }
    return figures;
}

// Frames from a click going in to it coming out, for a caller that starts
// playing as soon as the first output frame is there: the input taken
// before that frame, plus how far the click lies from the output's start.
double LatencyFrames(Stretcher& stretcher)
{
    std::vector<float> input(static_cast<std::size_t>(kClickInputFrames) * kChannels, 0.0f);
    input[kClickFrame * kChannels] = 0.8f;
    input[kClickFrame * kChannels + 1] = 0.8f;
    std::vector<float> output;
    std::vector<float> piece;
    long beforeFirstOutput = -1;
    stretcher.Restart();
    for (long position = 0; position < kClickInputFrames; position += kLatencyPieceFrames) {
        stretcher.Push(input.data() + position * kChannels, kLatencyPieceFrames);
        const int available = stretcher.Available();
        if (available > 0) {
            if (beforeFirstOutput < 0) {
                beforeFirstOutput = position + kLatencyPieceFrames;
            }
            piece.resize(static_cast<std::size_t>(available) * kChannels);
            stretcher.Pull(piece.data(), available);
            output.insert(output.end(), piece.begin(), piece.end());
        }
    }
    if (beforeFirstOutput < 0 || output.empty()) {
        return -1.0;
    }
    // The shifted click is no longer one sample: its loudest frame marks it.
    std::size_t loudest = 0;
    for (std::size_t i = 0; i < output.size(); ++i) {
        if (std::fabs(output[i]) > std::fabs(output[loudest])) {
            loudest = i;
        }
    }
    const long clickOut = static_cast<long>(loudest / kChannels);
    return static_cast<double>(beforeFirstOutput + clickOut - kClickFrame);
}

void Measure(benchmark::State& state, Stretcher& stretcher)
{
    double cpuSeconds = 0.0;
    double inputSeconds = 0.0;
    double worstShare = 0.0;
    double startShare = 0.0;
    bool first = true;
    for (auto _ : state) {
        const PassFigures pass = RunPass(stretcher);
        cpuSeconds += pass.cpuSeconds;
        inputSeconds += pass.inputSeconds;
        worstShare = first ? pass.worstShare : std::min(worstShare, pass.worstShare);
        startShare = first ? pass.startShare : std::min(startShare, pass.startShare);
        first = false;
    }
    state.counters["x_real_time"] = inputSeconds / cpuSeconds;
    state.counters["worst_%budget"] = 100.0 * worstShare;
    state.counters["start_%budget"] = 100.0 * startShare;
    const double latency = LatencyFrames(stretcher);
    if (latency < 0.0) {
        state.SkipWithError("no output came for the click");
        return;
    }
    state.counters["latency_ms"] = 1000.0 * latency / kRate;
}

void Kelvane(benchmark::State& state)
{
    kelvane::bench::KelvaneStretcher stretcher(kSetting);
    if (!stretcher.Valid()) {
        state.SkipWithError("CreateInstance failed");
        return;
    }
    Measure(state, stretcher);
}
BENCHMARK(Kelvane)->Iterations(kPasses)->Unit(benchmark::kMillisecond);

#ifdef KELVANE_HAVE_RUBBERBAND
void RubberBandFaster(benchmark::State& state)
{
    kelvane::bench::RubberBandStretcher stretcher(kSetting, false);
    Measure(state, stretcher);
}
void RubberBandFiner(benchmark::State& state)
{
    kelvane::bench::RubberBandStretcher stretcher(kSetting, true);
    Measure(state, stretcher);
}
BENCHMARK(RubberBandFaster)->Iterations(kPasses)->Unit(benchmark::kMillisecond);
BENCHMARK(RubberBandFiner)->Iterations(kPasses)->Unit(benchmark::kMillisecond);
#endif

#ifdef KELVANE_HAVE_SOUNDTOUCH
void SoundTouch(benchmark::State& state)
{
    kelvane::bench::SoundTouchStretcher stretcher(kSetting);
    Measure(state, stretcher);
}
BENCHMARK(SoundTouch)->Iterations(kPasses)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
