// The processing cycle, Flush and the setters run in the audio callback: once
// the instance exists they must not allocate or release anything, whatever
// the parameters (formants, freezing, out-of-range speeds, a full output ring).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "allocation_counter.h"
#include "engine_instance.h"
#include "kelvane/engine.h"

namespace kelvane {
namespace {

TEST(ProcessingAllocationTest, ProcessFlushAndSettersAllocateNothing)
{
    for (const int rate : {44100, 96000}) {
        EngineInterface* engine = nullptr;
        ASSERT_EQ(CreateInstance(&engine, rate, 2, 1), KELVANE_OK);
        const EngineOperations& call = *engine->operations;
        std::vector<float> frames(2 * 65536);
        std::vector<float> pulled(2 * 65536);  // a whole output ring
        for (std::size_t i = 0; i < frames.size(); ++i) {
            frames[i] = static_cast<float>(0.5 * std::sin(0.05 * static_cast<double>(i)));
        }
        struct Settings {
            float speed;
            float pitch;
            float formant;
        };
        const Settings sequence[] = {{100.0f, 0.0f, 0.0f},   {150.0f, 7.0f, 7.0f},   {50.0f, -5.0f, 0.0f},
                                     {0.0f, 3.0f, 3.0f},     {400.0f, -24.0f, 0.0f}, {25.0f, 24.0f, 24.0f},
                                     {-50.0f, 0.0f, -12.0f}, {100.0f, 0.0f, 0.0f}};
        int produced = 0;
        int statusFailures = 0;
        test::AllocationScope scope;
        for (const Settings& settings : sequence) {
            call.SetSpeedPercent(engine, settings.speed);
            statusFailures += call.SetPitchSemitones(engine, settings.pitch) != KELVANE_OK;
            statusFailures += call.SetFormantSemitones(engine, settings.formant) != KELVANE_OK;
            call.SetPitchPercent(engine, 100.0f);
            call.SetFormantPercent(engine, 100.0f);
            call.SetPitchSemitones(engine, settings.pitch);
            call.SetFormantSemitones(engine, settings.formant);
            // Forty callbacks; the input keeps coming while the engine holds.
            for (int block = 0; block < 40; ++block) {
                int calls = 0;
                while (call.GetOutputAvailable(engine) < 256 && calls++ < 8) {
                    const int wanted = call.GetInputRequired(engine);
                    call.PushInput(engine, frames.data(), wanted > 0 ? wanted : 256, block % 4);
                    call.Process(engine);
                }
                const int available = call.GetOutputAvailable(engine);
                produced += available;
                call.PullOutput(engine, pulled.data(), available);
            }
        }
        // A caller that stops pulling fills the output ring; then flushes.
        call.SetSpeedPercent(engine, 25.0f);
        for (int block = 0; block < 200; ++block) {
            call.PushInput(engine, frames.data(), 1024, KELVANE_FORWARD);
            call.Process(engine);
        }
        const bool ringFilled = call.GetOutputAvailable(engine) > 60000;
        call.Flush(engine);
        call.PullOutput(engine, pulled.data(), call.GetOutputAvailable(engine));
        call.Flush(engine);
        call.Reset(engine);
        call.PushInput(engine, frames.data(), 5000, KELVANE_FORWARD);
        call.Flush(engine);
        const auto allocations = scope.Allocations();
        const auto releases = scope.Releases();
        EXPECT_EQ(allocations, 0) << rate;
        EXPECT_EQ(releases, 0) << rate;
        EXPECT_EQ(statusFailures, 0);
        EXPECT_GT(produced, 0);
        EXPECT_TRUE(ringFilled);
        DestroyInstance(&engine);
    }
}

}  // namespace
}  // namespace kelvane
