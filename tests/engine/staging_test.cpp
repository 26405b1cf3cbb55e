// Staging: what PushInput stages, what PullOutput hands back, the refusals
// that keep staged frames intact, and the input demand estimate.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine_instance.h"
#include "kelvane/engine.h"
#include "test_engine.h"

namespace kelvane {
namespace {

using Engine = test::TestEngine;

// Stands in for the processing cycle: every staged frame becomes an output
// frame unchanged.
void PassStagedToOutput(EngineInstance& e)
{
    for (; e.inputPending > 0; --e.inputPending, ++e.outputAvailable) {
        for (int ch = 0; ch < e.channelCount; ++ch) {
            e.outputRing[ch][e.outputWriteIndex] = e.inputRing[ch][e.inputReadIndex];
        }
        e.inputReadIndex = (e.inputReadIndex + 1) & e.ringMask;
        e.outputWriteIndex = (e.outputWriteIndex + 1) & e.ringMask;
    }
}

TEST(StagingTest, DirectionsStageTheListedFramesWithTheCurrentRatios)
{
    Engine engine(2);
    engine.Call().SetSpeedPercent(engine.handle, 150.0f);
    engine.Call().SetPitchPercent(engine.handle, 80.0f);
    // Channel 1 is channel 0 times 16, so every fade stays exact.
    const float block[] = {1, 16, 2, 32, 4, 64, 8, 128};
    const float expected[][4] = {{1, 2, 4, 8},          // forward
                                 {8, 4, 2, 1},          // reversed
                                 {8, 3.5f, 3, 6.25f},   // reversed to forward
                                 {1, 2.5f, 3, 2.75f},   // forward to reversed
                                 {8, 3.5f, 3, 6.25f}};  // unknown direction: as reversed to forward
    for (int direction = 0; direction < 5; ++direction) {
        ASSERT_EQ(engine.Call().PushInput(engine.handle, block, 4, direction), KELVANE_OK);
        for (int i = 0; i < 4; ++i) {
            const int slot = 4 * direction + i;
            EXPECT_EQ(engine->inputRing[0][slot], expected[direction][i]) << direction << " " << i;
            EXPECT_EQ(engine->inputRing[1][slot], 16 * expected[direction][i]) << direction << " " << i;
            EXPECT_EQ(engine->inputControlRing[slot].speedRatio, engine->speedRatio);
            EXPECT_EQ(engine->inputControlRing[slot].pitchRatio, engine->pitchRatio);
            EXPECT_EQ(engine->inputControlRing[slot].isInput, 1);
        }
    }
    EXPECT_EQ(engine->inputPending, 20);
    EXPECT_EQ(engine->inputWriteIndex, 20);
    EXPECT_FLOAT_EQ(engine->inputControlRing[0].speedRatio, 1.5f);

    // A later change of ratio leaves staged frames as they were stamped.
    engine.Call().SetSpeedPercent(engine.handle, 50.0f);
    ASSERT_EQ(engine.Call().PushInput(engine.handle, block, 1, KELVANE_FORWARD), KELVANE_OK);
    EXPECT_FLOAT_EQ(engine->inputControlRing[19].speedRatio, 1.5f);
    EXPECT_FLOAT_EQ(engine->inputControlRing[20].speedRatio, 0.5f);
}

TEST(StagingTest, RefusedPushesStageNothingAndLoseNothing)
{
    Engine engine;
    std::vector<float> frames(70000, 0.5f);
    const auto& call = engine.Call();
    EXPECT_EQ(call.PushInput(engine.handle, nullptr, -1, KELVANE_FORWARD), KELVANE_ERROR_NULL_SOURCE);
    EXPECT_EQ(call.PushInput(engine.handle, frames.data(), -1, KELVANE_FORWARD), KELVANE_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(call.PushInput(engine.handle, frames.data(), 65537, KELVANE_FORWARD),
              KELVANE_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(engine->inputPending, 0);
    EXPECT_EQ(engine->inputControlRing[0].isInput, 0);

    // 1000 staged frames leave room for exactly 64536 more.
    ASSERT_EQ(call.PushInput(engine.handle, frames.data(), 1000, KELVANE_FORWARD), KELVANE_OK);
    engine->inputRing[0][999] = 7.0f;  // marks the last staged frame
    EXPECT_EQ(call.PushInput(engine.handle, frames.data(), 64537, KELVANE_REVERSE),
              KELVANE_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(engine->inputPending, 1000);
    EXPECT_EQ(engine->inputWriteIndex, 1000);
    EXPECT_EQ(engine->inputRing[0][1000], 0.0f);
    EXPECT_EQ(call.PushInput(engine.handle, frames.data(), 64536, KELVANE_REVERSE), KELVANE_OK);
    EXPECT_EQ(call.PushInput(engine.handle, frames.data(), 1, KELVANE_FORWARD), KELVANE_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(call.PushInput(engine.handle, frames.data(), 0, KELVANE_FORWARD), KELVANE_OK);
    EXPECT_EQ(engine->inputPending, 65536);
    EXPECT_EQ(engine->inputWriteIndex, 0);
    EXPECT_EQ(engine->inputRing[0][999], 7.0f);
}

TEST(StagingTest, FramesComeOutInOrderAcrossTheRingWrap)
{
    Engine engine(2);
    const auto& call = engine.Call();
    std::vector<float> block(2 * 1531);
    std::vector<float> pulled(2 * 1531);
    int pushedFrames = 0;
    int pulledFrames = 0;
    for (int round = 0; pushedFrames < 3 * 65536; ++round) {
        const int count = 997 + 267 * (round % 3);
        // Every other block is written backwards and pushed reversed, so the
        // staged frames run on in the same order.
        const bool reversed = round % 2 == 1;
        for (int i = 0; i < count; ++i) {
            const int slot = reversed ? count - 1 - i : i;
            block[2 * slot] = static_cast<float>(pushedFrames + i);
            block[2 * slot + 1] = -static_cast<float>(pushedFrames + i);
        }
        ASSERT_EQ(
            call.PushInput(engine.handle, block.data(), count, reversed ? KELVANE_REVERSE : KELVANE_FORWARD),
            KELVANE_OK);
        pushedFrames += count;
        PassStagedToOutput(*engine);
        while (call.GetOutputAvailable(engine.handle) >= 700) {
            ASSERT_EQ(call.PullOutput(engine.handle, pulled.data(), 700), KELVANE_OK);
            for (int i = 0; i < 700; ++i, ++pulledFrames) {
                ASSERT_EQ(pulled[2 * i], static_cast<float>(pulledFrames));
                ASSERT_EQ(pulled[2 * i + 1], -static_cast<float>(pulledFrames));
            }
        }
    }
    EXPECT_GT(pulledFrames, 3 * 65536 - 700);
}

TEST(StagingTest, PullRefusalsChangeNothing)
{
    Engine engine;
    const auto& call = engine.Call();
    const float input[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    call.PushInput(engine.handle, input, 10, KELVANE_FORWARD);
    PassStagedToOutput(*engine);
    float output[11] = {};
    EXPECT_EQ(call.PullOutput(engine.handle, output, 11), KELVANE_ERROR_TOO_MANY_FRAMES);
    EXPECT_EQ(call.PullOutput(engine.handle, output, -1), KELVANE_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(call.PullOutput(engine.handle, nullptr, 1), KELVANE_ERROR_NULL_SOURCE);
    EXPECT_EQ(call.PullOutput(engine.handle, nullptr, 0), KELVANE_OK);
    EXPECT_EQ(output[0], 0.0f);
    EXPECT_EQ(call.GetOutputAvailable(engine.handle), 10);
    EXPECT_EQ(engine->outputReadIndex, 0);
    EXPECT_EQ(call.PullOutput(engine.handle, output, 10), KELVANE_OK);
    EXPECT_EQ(output[9], 10.0f);
    EXPECT_EQ(call.GetOutputAvailable(engine.handle), 0);
}

TEST(InputRequiredTest, AsksForTheWholeWindowAfterReset)
{
    const int windows[][2] = {{44100, 2048}, {64000, 4096}, {96000, 8192}, {192000, 8192}};
    for (const auto& [rate, windowLength] : windows) {
        Engine engine(1, rate, 0);
        EXPECT_EQ(engine.Call().GetInputRequired(engine.handle), windowLength);
        engine->primeCount = 0;
        engine.Call().Reset(engine.handle);
        EXPECT_EQ(engine.Call().GetInputRequired(engine.handle), windowLength);
    }
}

struct Demand {
    float speed;      // speed ratio of the hop being output
    float nextSpeed;  // speed ratio of the hop after it
    float pitch;
    double credit;
    int expectedHops;  // the demand in hops, or -1 for the whole ring
};

TEST(InputRequiredTest, DemandFollowsTheRecordsAndAlwaysReturns)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float infinity = std::numeric_limits<float>::infinity();
    // clang-format off
    const Demand cases[] = {
        {1, 1, 1, 0, 1},        {2, 2, 1, 0, 2},        {0.5f, 0.5f, 1, 0, 1},  {0.5f, 0.5f, 1, 128, 1},
        {1, 1, 2, 0, 1},        {3, 3, 1, 0, 3},        {4, 4, 1, 0, 4},
        // A second analysis step adds the next hop's average ratio: 511 + 2 reaches a third hop.
        {2, 2, 1, 255, 3},      {2, 0.5f, 1, 255, 2},
        // Credit that never grows consumes nothing; credit already earned still pays a hop.
        {0, 0, 1, 0, 0},        {-0.5f, -0.5f, 1, 0, 0}, {nan, nan, 1, 0, 0},   {1, 1, 1, nan, 0},
        {0, 0, 1, 256, 1},
        // Extremes return at once and never ask for more than the ring holds.
        {1e-10f, 1e-10f, 1, 100, 1}, {1e28f, 1e28f, 1, 0, -1}, {infinity, infinity, 1, 0, -1},
        {1, 1, 1, 1e300, -1},
    };
    // clang-format on
    Engine engine;
    const int h = engine->hopLength;
    ASSERT_EQ(h, 256);
    for (const Demand& demand : cases) {
        engine->primeCount = 0;
        engine->activeSpeedRatio = demand.speed == 0 ? 1.0f : demand.speed;
        engine->analysisCredit = demand.credit;
        for (int k = 0; k < engine->blockLength; ++k) {
            engine->blockControl[k] = {k < h ? demand.speed : demand.nextSpeed, demand.pitch, 1};
        }
        engine->BlockControlChanged();
        const int expected = demand.expectedHops < 0 ? 65536 : demand.expectedHops * h;
        EXPECT_EQ(engine.Call().GetInputRequired(engine.handle), expected)
            << demand.speed << " " << demand.nextSpeed << " " << demand.pitch << " " << demand.credit;
    }
    engine->activeSpeedRatio = 0.0f;  // frozen
    EXPECT_EQ(engine.Call().GetInputRequired(engine.handle), 0);
}

}  // namespace
}  // namespace kelvane
