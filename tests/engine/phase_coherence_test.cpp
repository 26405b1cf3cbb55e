// Steady tones keep their level while the vocoder stretches: the bins of a
// partial keep their analysed phase relation, within each band and across
// the crossover, whatever hop their phases last restarted at.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

#include "kelvane/engine.h"
#include "stretch_stream.h"

namespace kelvane {
namespace {

constexpr int rate = 44100;

// Mono, quality 1, fed as an audio callback feeds it, flushed at the end.
std::vector<float> Stretch(const std::vector<float>& input, float speedPercent, float semitones)
{
    EngineInterface* handle = nullptr;
    EXPECT_EQ(CreateInstance(&handle, rate, 1, 1), KELVANE_OK);
    const EngineOperations* call = handle->operations;
    call->SetSpeedPercent(handle, speedPercent);
    call->SetPitchSemitones(handle, semitones);
    call->Reset(handle);
    std::vector<float> output;
    auto pull = [&] {
        const int available = call->GetOutputAvailable(handle);
        output.resize(output.size() + available);
        EXPECT_EQ(call->PullOutput(handle, output.data() + output.size() - available, available), 0);
    };
    const int frames = static_cast<int>(input.size());
    for (int position = 0; position < frames;) {
        const int count = std::min(std::max(call->GetInputRequired(handle), 1), frames - position);
        EXPECT_EQ(call->PushInput(handle, input.data() + position, count, KELVANE_FORWARD), 0);
        position += count;
        call->Process(handle);
        pull();
    }
    call->Flush(handle);
    pull();
    DestroyInstance(&handle);
    return output;
}

// RMS from one second in (past the onset) to a quarter second before the end.
double SteadyRms(const std::vector<float>& x)
{
    const std::size_t begin = rate;
    const std::size_t end = x.size() - rate / 4;
    double sum = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
        sum += static_cast<double>(x[i]) * x[i];
    }
    return std::sqrt(sum / static_cast<double>(end - begin));
}

TEST(PhaseCoherenceTest, SteadySineKeepsItsLevelWhenStretchedOrShifted)
{
    struct Setting {
        float speedPercent;
        float semitones;
    };
    const double amplitude = 0.5;
    const double expected = amplitude / std::numbers::sqrt2;
    double worst = 0.0;
    // The long band alone, its two bands' crossover, the short band alone.
    for (const double frequency : {200.0, 440.0, 1000.0, 1500.0, 3000.0}) {
        std::vector<float> input(3 * rate);
        for (std::size_t i = 0; i < input.size(); ++i) {
            input[i] = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * frequency * i / rate));
        }
        for (const Setting s : {Setting{50.0f, 0.0f}, Setting{200.0f, 0.0f}, Setting{100.0f, 12.0f},
                                Setting{100.0f, -5.0f}}) {
            const std::vector<float> output = Stretch(input, s.speedPercent, s.semitones);
            ASSERT_GT(output.size(), static_cast<std::size_t>(rate + rate / 2));
            const double rms = SteadyRms(output);
            ASSERT_TRUE(std::isfinite(rms));
            const double db = 20.0 * std::log10(rms / expected);
            EXPECT_LT(std::abs(db), 1.0) << frequency << " Hz at " << s.speedPercent << "%, " << s.semitones
                                         << " semitones: " << db << " dB";
            worst = std::max(worst, std::abs(db));
        }
    }
    std::printf("steady sine level: within %.2f dB\n", worst);
}

// Bin 0 carries DC and Nyquist together. Nyquist lies in the short band
// only: a tone there (every other sample negated) keeps its level at both
// rates and qualities.
TEST(PhaseCoherenceTest, NyquistToneKeepsItsLevel)
{
    const float amplitude = 0.25f;
    for (const int sampleRate : {44100, 96000}) {
        std::vector<float> input(2 * sampleRate);
        for (std::size_t i = 0; i < input.size(); ++i) {
            input[i] = (i & 1) != 0 ? -amplitude : amplitude;
        }
        for (const int quality : {1, 0}) {
            for (const float speed : {50.0f, 70.0f, 200.0f}) {
                const std::vector<float> y = test::StretchStream(input, {sampleRate, 1, quality, speed, 0.0f})[0];
                ASSERT_GT(y.size(), static_cast<std::size_t>(sampleRate / 2));
                double sum = 0.0;
                const std::size_t begin = y.size() / 4;
                const std::size_t end = y.size() - y.size() / 4;
                for (std::size_t i = begin; i < end; ++i) {
                    sum += static_cast<double>(y[i]) * y[i];
                }
                const double db = 10.0 * std::log10(sum / static_cast<double>(end - begin)) -
                                  20.0 * std::log10(amplitude);
                EXPECT_LT(std::abs(db), 0.2) << sampleRate << " Hz, quality " << quality << ", " << speed << "%";
            }
        }
    }
}

}  // namespace
}  // namespace kelvane
