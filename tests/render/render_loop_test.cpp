// Feeding the engine in-process: output lengths, slow speeds that fill the
// engine's output ring, and a render that ends early when the sink refuses or
// a stop is requested.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "render/render_loop.h"
#include "render_test_support.h"

namespace kelvane::render {
namespace {

TEST(RenderLoop, OutputLengthIsInputOverSpeedRoundedAndNeverZeroForSomeInput)
{
    EXPECT_EQ(ExpectedOutputFrames(44100, 50.0), 88200u);
    EXPECT_EQ(ExpectedOutputFrames(10, 300.0), 3u);  // 3.33
    EXPECT_EQ(ExpectedOutputFrames(11, 300.0), 4u);  // 3.67
    EXPECT_EQ(ExpectedOutputFrames(1, 400.0), 1u);
    EXPECT_EQ(ExpectedOutputFrames(0, 100.0), 0u);
}

TEST(RenderLoop, ASpeedSoSlowThatOneHopOverfillsTheOutputRingStillRendersToTheEnd)
{
    // Hop 2048 at 1 %: one hop of input is 204800 frames of output, and each
    // Process stops when its 65536-frame ring is full. Input pushed while the
    // engine still holds some would pile up until the input ring refused it.
    test::Sound sound = test::Tone(192000, 1, 1000.0, 0.3, 0.5);
    RenderSettings settings;
    settings.speedPercent = 1.0;
    settings.quality = 0;
    std::uint64_t frames = 0;
    double energy = 0.0;
    FrameSink measure = [&](const float* samples, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            energy += static_cast<double>(samples[i]) * samples[i];
        }
        frames += count;
        return true;
    };
    RenderOutcome outcome =
        RenderFrames(sound.samples.data(), sound.Frames(), 1, 192000, settings, measure, {}, nullptr);
    EXPECT_EQ(outcome.status, RenderStatus::Done) << outcome.message;
    EXPECT_EQ(frames, 5760000u);
    EXPECT_GT(std::sqrt(energy / static_cast<double>(frames)), 0.1) << "the tone, not silence";
}

TEST(RenderLoop, ARefusingSinkOrAStopRequestEndsTheRenderAtOnce)
{
    test::Sound sound = test::Tone(44100, 2, 440.0, 1.0, 0.5);
    int calls = 0;
    FrameSink refuse = [&calls](const float*, std::size_t) { return ++calls, false; };
    RenderOutcome refused =
        RenderFrames(sound.samples.data(), sound.Frames(), 2, 44100, {}, refuse, {}, nullptr);
    EXPECT_EQ(refused.status, RenderStatus::WriteFailed);
    EXPECT_EQ(calls, 1);

    // The stop flag is raised from the first output on, as a signal handler
    // would raise it.
    std::atomic<int> stop{0};
    calls = 0;
    FrameSink accept = [&calls](const float*, std::size_t) { return ++calls, true; };
    ProgressReport stopOnOutput = [&stop](std::uint64_t done, std::uint64_t total) {
        EXPECT_EQ(total, 44100u);
        stop = done > 0 ? 1 : 0;
    };
    RenderOutcome stopped =
        RenderFrames(sound.samples.data(), sound.Frames(), 2, 44100, {}, accept, stopOnOutput, &stop);
    EXPECT_EQ(stopped.status, RenderStatus::Interrupted);
    EXPECT_EQ(calls, 1);
    EXPECT_GT(stopped.framesOut, 0u);
    EXPECT_LT(stopped.framesOut, 44100u);
}

}  // namespace
}  // namespace kelvane::render
