// An engine made through the public surface, with its instance at hand, and
// one analysis step as the processing cycle runs it.
#pragma once

#include <gtest/gtest.h>

#include "engine_instance.h"
#include "kelvane/engine.h"

namespace kelvane::test {

struct TestEngine {
    explicit TestEngine(int channels = 1, int rate = 44100, int quality = 1)
    {
        EXPECT_EQ(CreateInstance(&handle, rate, channels, quality), KELVANE_OK);
    }
    ~TestEngine() { DestroyInstance(&handle); }
    TestEngine(const TestEngine&) = delete;
    TestEngine& operator=(const TestEngine&) = delete;
    EngineInstance& operator*() const { return *static_cast<EngineInstance*>(handle->instance); }
    EngineInstance* operator->() const { return &**this; }
    const EngineOperations& Call() const { return *handle->operations; }
    EngineInterface* handle = nullptr;
};

// Gather, window, analyse at both resolutions, derive the phase advances,
// then move the indices on by one hop.
inline void AnalyseHop(EngineInstance& e)
{
    e.GatherAnalysisFrames();
    e.WindowAnalysisFrames();
    e.AnalyseShortFrame();
    e.AnalyseLongFrame();
    e.ComputePhaseAdvance(e.shortFrame, e.shortPrevPhasor, e.shortAdvance, e.shortBinCounters, e.halfBlock);
    e.ComputePhaseAdvance(e.longPhasor, e.longPrevPhasor, e.longAdvance, e.longBinCounters, e.lowBinCount);
    e.inputPending -= e.hopLength;
    e.analysisWriteIndex = (e.analysisWriteIndex + e.hopLength) & e.frameMask;
    e.inputReadIndex = (e.inputReadIndex + e.hopLength) & e.ringMask;
}

}  // namespace kelvane::test
