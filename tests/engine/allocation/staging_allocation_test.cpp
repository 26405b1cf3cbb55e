// Staging and analysis run in the audio callback: once the instance exists,
// they must not allocate or release anything.
#include <gtest/gtest.h>

#include <vector>

#include "aligned_memory.h"
#include "allocation_counter.h"
#include "engine_instance.h"
#include "kelvane/engine.h"

namespace kelvane {
namespace {

TEST(AllocationCounterTest, CountsNewAndEngineBlocks)
{
    test::AllocationScope scope;
    ::operator delete(::operator new(8));  // a new-expression may be elided
    AlignedRelease(AlignedAllocate(16));
    const auto allocations = scope.Allocations();
    const auto releases = scope.Releases();
    EXPECT_EQ(allocations, 2);
    EXPECT_EQ(releases, 2);
}

TEST(StagingAllocationTest, PushPullAndAnalysisAllocateNothing)
{
    EngineInterface* engine = nullptr;
    ASSERT_EQ(CreateInstance(&engine, 44100, 2, 1), KELVANE_OK);
    auto& e = *static_cast<EngineInstance*>(engine->instance);
    const EngineOperations& call = *engine->operations;
    std::vector<float> frames(2 * 4096, 0.25f);
    int failures = 0;
    test::AllocationScope scope;
    // Twenty rounds wrap the input ring and run every direction and refusal.
    for (int round = 0; round < 20; ++round) {
        failures += call.PushInput(engine, frames.data(), 4096, round % 4) != KELVANE_OK;
        failures +=
            call.PushInput(engine, frames.data(), 70000, KELVANE_FORWARD) != KELVANE_ERROR_OUT_OF_RANGE;
        failures += call.GetInputRequired(engine) <= 0;
        e.primeCount = 0;  // as after the first analysis step
        failures += call.GetInputRequired(engine) <= 0;
        for (int hop = 0; hop < 4096 / e.hopLength; ++hop) {
            e.GatherAnalysisFrames();
            e.AnalyseShortFrame();
            e.AnalyseLongFrame();
            e.ComputePhaseAdvance(e.shortFrame, e.shortPrevPhasor, e.shortAdvance, e.shortBinCounters,
                                  e.halfBlock);
            e.ComputePhaseAdvance(e.longPhasor, e.longPrevPhasor, e.longAdvance, e.longBinCounters,
                                  e.lowBinCount);
            e.inputPending -= e.hopLength;
            e.analysisWriteIndex = (e.analysisWriteIndex + e.hopLength) & e.frameMask;
            e.inputReadIndex = (e.inputReadIndex + e.hopLength) & e.ringMask;
        }
        e.outputAvailable = 4096;  // as if the cycle had written them
        failures += call.PullOutput(engine, frames.data(), 4096) != KELVANE_OK;
        failures += call.PullOutput(engine, frames.data(), 1) != KELVANE_ERROR_TOO_MANY_FRAMES;
        failures += call.GetOutputAvailable(engine) != 0;
    }
    const auto allocations = scope.Allocations();
    const auto releases = scope.Releases();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(releases, 0);
    DestroyInstance(&engine);
}

}  // namespace
}  // namespace kelvane
