// The C surface: creation, destruction, status codes and texts, setters.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "engine_instance.h"
#include "kelvane/engine.h"
#include "kelvane/engine.hpp"

namespace {

using kelvane::EngineInstance;

EngineInstance* Instance(EngineInterface* engine)
{
    return static_cast<EngineInstance*>(engine->instance);
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CreateInstance(&engine, 44100, 2, 1), KELVANE_OK); }
    void TearDown() override
    {
        if (engine != nullptr) {
            DestroyInstance(&engine);
        }
    }
    const EngineOperations& Ops() const { return *engine->operations; }
    EngineInstance& State() const { return *Instance(engine); }

    EngineInterface* engine = nullptr;
};

TEST(EngineCreation, RefusesRatesOutsideTheSupportedBandBeforeChannelCounts)
{
    struct Case {
        int rate;
        int channels;
        int expected;
    };
    const Case cases[] = {
        {31999, 2, KELVANE_ERROR_SAMPLE_RATE}, {196001, 2, KELVANE_ERROR_SAMPLE_RATE},
        {32000, 2, KELVANE_OK},                {196000, 2, KELVANE_OK},
        {44100, 0, KELVANE_ERROR_CHANNEL_COUNT}, {44100, 9, KELVANE_ERROR_CHANNEL_COUNT},
        {20000, 0, KELVANE_ERROR_SAMPLE_RATE}, {44100, 1, KELVANE_OK},
        {44100, 8, KELVANE_OK},
    };
    for (const Case& c : cases) {
        EngineInterface* engine = reinterpret_cast<EngineInterface*>(0x1);
        EXPECT_EQ(CreateInstance(&engine, c.rate, c.channels, 1), c.expected) << c.rate << " Hz " << c.channels;
        if (c.expected == KELVANE_OK) {
            ASSERT_NE(engine, nullptr);
            EXPECT_EQ(engine->operations->GetChannelCount(engine), c.channels);
            EXPECT_EQ(DestroyInstance(&engine), KELVANE_OK);
        }
        EXPECT_EQ(engine, nullptr) << "the handle is empty after a failure and after destruction";
        EXPECT_EQ(DestroyInstance(&engine), KELVANE_ERROR_NO_INSTANCE);
    }
}

TEST(EngineCreation, ErrorTextsAndVersion)
{
    EXPECT_EQ(GetVersion(), 329217);
    EXPECT_STREQ(GetErrorText(KELVANE_ERROR_CHANNEL_COUNT), "Incorrect number of channels.");
    EXPECT_STREQ(GetErrorText(KELVANE_ERROR_OUT_OF_MEMORY), "Out of memory.");
    EXPECT_STREQ(GetErrorText(KELVANE_ERROR_NO_INSTANCE), "Instance does not exist.");
    EXPECT_STREQ(GetErrorText(KELVANE_ERROR_SAMPLE_RATE), "Incompatible sample rate.");
    EXPECT_STREQ(GetErrorText(KELVANE_ERROR_NOT_INITIALISED), "Not initialised.");
    EXPECT_STREQ(GetErrorText(KELVANE_ERROR_OUT_OF_RANGE), "Value out of range.");
    EXPECT_STREQ(GetErrorText(KELVANE_ERROR_TOO_MANY_FRAMES), "Too Many Frames Requested.");

    // Codes without a text leave the shared buffer as it was.
    const char* buffer = GetErrorText(KELVANE_ERROR_TOO_MANY_FRAMES);
    EXPECT_EQ(GetErrorText(KELVANE_ERROR_NULL_SOURCE), buffer);
    EXPECT_STREQ(GetErrorText(KELVANE_ERROR_NULL_SOURCE), "Too Many Frames Requested.");
    EXPECT_STREQ(GetErrorText(KELVANE_OK), "Too Many Frames Requested.");
    EXPECT_STREQ(GetErrorText(12345), "Too Many Frames Requested.");

    // Creation empties it.
    EngineInterface* engine = nullptr;
    ASSERT_EQ(CreateInstance(&engine, 44100, 1, 1), KELVANE_OK);
    EXPECT_STREQ(GetErrorText(KELVANE_OK), "");
    DestroyInstance(&engine);
    EXPECT_EQ(CreateInstance(nullptr, 44100, 1, 1), KELVANE_ERROR_NULL_SOURCE);
}

// A text asked for on one thread stays that text while another thread asks
// for others and creates engines: two renders reporting errors at once each
// report their own.
TEST(EngineCreation, ErrorTextsStayWholeAcrossThreads)
{
    const char* ours = GetErrorText(KELVANE_ERROR_OUT_OF_MEMORY);
    const char* theirs = nullptr;
    std::thread other([&theirs] {
        theirs = GetErrorText(KELVANE_ERROR_SAMPLE_RATE);
        EngineInterface* engine = nullptr;
        EXPECT_EQ(CreateInstance(&engine, 44100, 1, 1), KELVANE_OK);
        DestroyInstance(&engine);
    });
    other.join();
    EXPECT_STREQ(ours, "Out of memory.");
    EXPECT_STREQ(theirs, "Incompatible sample rate.");

    std::atomic<int> torn{0};
    auto ask = [&torn](int status, const char* expected) {
        for (int i = 0; i < 20000; ++i) {
            if (std::strcmp(GetErrorText(status), expected) != 0) {
                ++torn;
            }
        }
    };
    std::thread first(ask, KELVANE_ERROR_CHANNEL_COUNT, "Incorrect number of channels.");
    std::thread second(ask, KELVANE_ERROR_OUT_OF_RANGE, "Value out of range.");
    first.join();
    second.join();
    EXPECT_EQ(torn.load(), 0);
}

TEST_F(EngineTest, PitchSemitonesUseTheCacheAndTheRange)
{
    EXPECT_EQ(Ops().SetPitchSemitones(engine, 12.0f), KELVANE_OK);
    EXPECT_EQ(State().pitchRatio, 2.0f);
    EXPECT_EQ(Ops().SetPitchSemitones(engine, 12.0f), KELVANE_OK);

    EXPECT_EQ(Ops().SetPitchSemitones(engine, 24.5f), KELVANE_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(State().pitchRatio, 2.0f);
    EXPECT_EQ(State().pitchSemitoneCache, 12.0f);

    // The percent setter makes the semitone cache stale, so 5 applies twice.
    EXPECT_EQ(Ops().SetPitchSemitones(engine, 5.0f), KELVANE_OK);
    EXPECT_EQ(Ops().SetPitchPercent(engine, 100.0f), KELVANE_OK);
    EXPECT_EQ(State().pitchRatio, 1.0f);
    EXPECT_EQ(Ops().SetPitchSemitones(engine, 5.0f), KELVANE_OK);
    EXPECT_NEAR(State().pitchRatio, std::pow(2.0, 5.0 / 12.0), 2e-7);

    EXPECT_EQ(Ops().SetPitchSemitones(engine, -12.0f), KELVANE_OK);
    EXPECT_EQ(State().pitchRatio, 0.5f);
    EXPECT_EQ(Ops().SetPitchSemitones(engine, 0.0f), KELVANE_OK);
    EXPECT_EQ(State().pitchRatio, 1.0f);
}

TEST_F(EngineTest, SemitoneRatiosAreEqualTempered)
{
    for (int quarter = -96; quarter <= 96; ++quarter) {
        const float semitones = static_cast<float>(quarter) * 0.25f;
        ASSERT_EQ(Ops().SetFormantSemitones(engine, semitones), KELVANE_OK);
        const double expected = std::pow(2.0, semitones / 12.0);
        EXPECT_NEAR(State().formantRatio, expected, expected * 2e-7) << semitones;
    }
    EXPECT_EQ(Ops().SetFormantSemitones(engine, 24.0f), KELVANE_OK);
    EXPECT_EQ(State().formantRatio, 4.0f);
    EXPECT_EQ(Ops().SetFormantSemitones(engine, -24.0f), KELVANE_OK);
    EXPECT_EQ(State().formantRatio, 0.25f);
}

TEST_F(EngineTest, PercentSettersCheckTheirRange)
{
    EXPECT_EQ(Ops().SetFormantPercent(engine, 25.0f), KELVANE_OK);
    EXPECT_EQ(State().formantRatio, 0.25f);
    EXPECT_EQ(State().formantSemitoneCache, -10000.0f);
    EXPECT_EQ(Ops().SetFormantPercent(engine, 24.9f), KELVANE_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(Ops().SetPitchPercent(engine, 400.1f), KELVANE_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(State().formantRatio, 0.25f);
    EXPECT_EQ(State().pitchRatio, 1.0f);
    EXPECT_EQ(Ops().SetPitchPercent(engine, 150.0f), KELVANE_OK);
    EXPECT_EQ(State().pitchRatio, 150.0f * 0.01f);
}

TEST_F(EngineTest, SpeedAppliesOutOfRangeValuesAndReportsThem)
{
    EXPECT_EQ(Ops().SetSpeedPercent(engine, 0.0f), KELVANE_OK);
    EXPECT_EQ(State().speedRatio, 0.0f);
    EXPECT_EQ(State().analysisCredit, State().hopLength) << "freezing grants one more analysis step";

    EXPECT_EQ(Ops().SetSpeedPercent(engine, 500.0f), KELVANE_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(State().speedRatio, 5.0f);
    EXPECT_EQ(Ops().SetSpeedPercent(engine, 500.0f), KELVANE_OK) << "a repeat hits the cache first";
    EXPECT_EQ(Ops().SetSpeedPercent(engine, -10.0f), KELVANE_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(State().speedRatio, -10.0f * 0.01f);
    EXPECT_EQ(Ops().SetSpeedPercent(engine, 150.0f), KELVANE_OK);
    EXPECT_EQ(State().speedRatio, 1.5f);
}

TEST_F(EngineTest, NotANumberIsRefusedByEverySetter)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(Ops().SetPitchSemitones(engine, nan), KELVANE_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(Ops().SetPitchPercent(engine, nan), KELVANE_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(Ops().SetFormantSemitones(engine, nan), KELVANE_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(Ops().SetFormantPercent(engine, nan), KELVANE_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(Ops().SetSpeedPercent(engine, nan), KELVANE_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(State().pitchRatio, 1.0f);
    EXPECT_EQ(State().formantRatio, 1.0f);
    EXPECT_EQ(State().speedRatio, 1.0f);
}

TEST_F(EngineTest, SetSampleRateRebuildsWithDefaults)
{
    Ops().SetPitchSemitones(engine, 7.0f);
    Ops().SetSpeedPercent(engine, 50.0f);
    EXPECT_EQ(Ops().SetSampleRate(engine, 96000), KELVANE_OK);
    EXPECT_EQ(State().blockLength, 4096);
    EXPECT_EQ(Ops().GetChannelCount(engine), 2);
    EXPECT_EQ(State().pitchRatio, 1.0f);
    EXPECT_EQ(State().speedRatio, 1.0f);
    EXPECT_EQ(State().pitchSemitoneCache, -10003.0f);
}

TEST_F(EngineTest, AFailedRateChangeLeavesAnInterfaceWithoutInstance)
{
    GetErrorText(KELVANE_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(Ops().SetSampleRate(engine, 20000), KELVANE_OK);
    EXPECT_EQ(engine->instance, nullptr);
    EXPECT_STREQ(GetErrorText(KELVANE_OK), "Value out of range.") << "the text buffer is not touched";

    float frame[2] = {};
    EXPECT_EQ(Ops().SetSampleRate(engine, 44100), KELVANE_OK);
    EXPECT_EQ(engine->instance, nullptr) << "slot 0 does nothing without an instance";
    EXPECT_EQ(Ops().Reset(engine), KELVANE_ERROR_NOT_INITIALISED);
    EXPECT_EQ(Ops().Process(engine), KELVANE_ERROR_NOT_INITIALISED);
    EXPECT_EQ(Ops().Flush(engine), KELVANE_ERROR_NOT_INITIALISED);
    EXPECT_EQ(Ops().GetOutputAvailable(engine), KELVANE_ERROR_NOT_INITIALISED);
    EXPECT_EQ(Ops().GetInputRequired(engine), KELVANE_ERROR_NOT_INITIALISED);
    EXPECT_EQ(Ops().PullOutput(engine, frame, 1), KELVANE_ERROR_NOT_INITIALISED);
    EXPECT_EQ(Ops().PushInput(engine, frame, 1, KELVANE_FORWARD), KELVANE_ERROR_NOT_INITIALISED);
    EXPECT_EQ(Ops().SetPitchSemitones(engine, 1.0f), KELVANE_ERROR_NOT_INITIALISED);
    EXPECT_EQ(Ops().SetPitchPercent(engine, 100.0f), KELVANE_ERROR_NOT_INITIALISED);
    EXPECT_EQ(Ops().SetFormantSemitones(engine, 1.0f), KELVANE_ERROR_NOT_INITIALISED);
    EXPECT_EQ(Ops().SetFormantPercent(engine, 100.0f), KELVANE_ERROR_NOT_INITIALISED);
    EXPECT_EQ(Ops().SetSpeedPercent(engine, 100.0f), KELVANE_ERROR_NOT_INITIALISED);
    EXPECT_EQ(Ops().GetChannelCount(engine), KELVANE_ERROR_NOT_INITIALISED);

    // Such an interface can never get an instance back: destroying it
    // reports that it held none, and still releases it (no leak).
    EXPECT_EQ(DestroyInstance(&engine), KELVANE_ERROR_NO_INSTANCE);
    EXPECT_EQ(engine, nullptr);
}

TEST_F(EngineTest, ResetKeepsTheParametersAndSetsTheBypassMix)
{
    Ops().SetPitchPercent(engine, 150.0f);
    Ops().SetSpeedPercent(engine, 150.0f);
    Ops().SetFormantSemitones(engine, 3.0f);
    Ops().SetPitchSemitones(engine, 2.0f);
    Ops().SetPitchPercent(engine, 150.0f);
    EXPECT_EQ(Ops().Reset(engine), KELVANE_OK);
    EXPECT_EQ(State().bypassMix, 1.0f);
    EXPECT_EQ(State().pitchRatio, 1.5f);
    EXPECT_EQ(State().speedRatio, 1.5f);
    EXPECT_NEAR(State().formantRatio, std::pow(2.0, 0.25), 2e-7);
    EXPECT_EQ(State().speedPercentCache, -10003.0f);
    EXPECT_EQ(State().formantSemitoneCache, -10003.0f);
    EXPECT_EQ(State().pitchSemitoneCache, -10000.0f) << "the pitch cache survives a reset";
    EXPECT_EQ(State().primeCount, State().frameLength);

    Ops().SetSpeedPercent(engine, 100.0f);
    Ops().Reset(engine);
    EXPECT_EQ(State().bypassMix, 0.0f);
    EXPECT_EQ(State().activePitchRatio, 1.5f);
}

TEST(EngineWrapper, OwnsTheHandleAndForwardsToTheTable)
{
    kelvane::Engine engine(48000, 3);
    ASSERT_TRUE(engine.IsValid());
    EXPECT_EQ(engine.Status(), KELVANE_OK);
    EXPECT_EQ(engine.GetChannelCount(), 3);
    EXPECT_EQ(engine.SetPitchSemitones(30.0f), KELVANE_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(engine.SetPitchSemitones(12.0f), KELVANE_OK);
    EXPECT_EQ(Instance(engine.Handle())->pitchRatio, 2.0f);

    kelvane::Engine moved(std::move(engine));
    EXPECT_FALSE(engine.IsValid());
    EXPECT_EQ(engine.Reset(), KELVANE_ERROR_NOT_INITIALISED);
    EXPECT_EQ(moved.GetChannelCount(), 3);

    EXPECT_EQ(moved.Create(20000, 2), KELVANE_ERROR_SAMPLE_RATE);
    EXPECT_FALSE(moved.IsValid());
    EXPECT_EQ(moved.Handle(), nullptr);
}

}  // namespace
