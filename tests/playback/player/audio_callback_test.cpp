// The audio callback driven directly, without a device, with the real engine
// behind a recording table.
#include "playback/audio_callback.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "player_test_support.h"

namespace kelvane::playback::test {
namespace {

constexpr int kRate = 44100;
// At speed 100 and pitch 0 the engine gives its input back within its gain
// ripple of a few parts in ten thousand.
constexpr float kUnityTolerance = 2e-3f;

// Expects `output` (two channels) to start with `frames` frames that follow
// `source` (channels as given) frame for frame through `frameOf`.
template <typename FrameOf>
void ExpectFollows(const std::vector<float>& output, const std::vector<float>& source, int channels,
                   std::int64_t frames, FrameOf frameOf)
{
    ASSERT_GE(output.size(), static_cast<std::size_t>(frames) * 2);
    int mismatches = 0;
    for (std::int64_t k = 0; k < frames && mismatches < 5; ++k) {
        const std::int64_t f = frameOf(k);
        for (int side = 0; side < 2; ++side) {
            const float expected = source[f * channels + (channels == 1 ? 0 : side)];
            const float heard = output[k * 2 + side];
            if (!(std::fabs(heard - expected) <= kUnityTolerance)) {
                ADD_FAILURE() << "output frame " << k << " side " << side << ": " << heard
                              << ", expected source frame " << f << ": " << expected;
                ++mismatches;
            }
        }
    }
}

struct Played {
    std::unique_ptr<Sound> sound;
    std::vector<float> source;
    std::unique_ptr<SpyEngine> spy;
    PlayerState state;
    std::vector<float> output;

    Played(int channels, int frames, bool loop, bool reverse, std::uint32_t seed = 1)
        : Played(channels, Noise(channels, frames, 0.5f, seed), loop, reverse)
    {
    }
    Played(int channels, std::vector<float> samples, bool loop, bool reverse) : source(std::move(samples))
    {
        sound = MakeSound(kRate, channels, source);
        spy = std::make_unique<SpyEngine>(*sound);
        spy->Watch(state);
        state.loopEnabled = loop;
        state.reverseRequested = reverse;
        PrepareState(state, *sound, spy->Interface());
    }
    std::int64_t frames() const { return sound->frameCount; }
};

TEST(AudioCallback, MonoEngineFeedsBothChannelsAlike)
{
    Played play(1, 20000, true, false);
    for (int buffer = 0; buffer < 40; ++buffer) {
        ASSERT_EQ(RunCallback(play.state, play.output), paContinue);
    }
    for (std::size_t f = 0; f < play.output.size() / 2; ++f) {
        ASSERT_EQ(play.output[2 * f], play.output[2 * f + 1]) << "frame " << f;
    }
    ExpectFollows(play.output, play.source, 1, 40 * kFramesPerBuffer,
                  [&](std::int64_t k) { return k % play.frames(); });
}

TEST(AudioCallback, PitchGlidesWhileSpeedAndFormantArriveAtTheNextCall)
{
    Played play(2, 50000, true, false);
    play.state.pitchTarget = 12.0f;
    play.state.speedPercent = 50.0f;
    play.state.formantSemitones = -3.0f;
    std::vector<double> sent;
    for (int k = 1; k <= 10; ++k) {
        play.spy->Calls().clear();
        RunCallback(play.state, play.output);
        const auto& calls = play.spy->Calls();
        ASSERT_GE(calls.size(), 3u);
        // Every call hands over pitch, speed and formant, in this order, first.
        EXPECT_EQ(calls[0].name, "SetPitchSemitones");
        EXPECT_EQ(calls[1].name, "SetSpeedPercent");
        EXPECT_EQ(calls[2].name, "SetFormantSemitones");
        EXPECT_NEAR(calls[0].value, 12.0 * (1.0 - std::pow(0.9, k)), 1e-4) << "after " << k << " calls";
        EXPECT_EQ(calls[0].value, play.state.pitchSmoothed.load());
        sent.push_back(calls[0].value);
        EXPECT_EQ(calls[1].value, 50.0);
        EXPECT_EQ(calls[2].value, -3.0);
    }
    EXPECT_NEAR(sent[6], 6.2604, 1e-3);  // about 6.3 after 7 calls
}

TEST(AudioCallback, PlayStartsAtTheTargetPitchWithoutGlide)
{
    Played play(2, 50000, true, false);
    play.state.pitchTarget = 12.0f;
    PrepareForPlay(play.state);
    play.spy->Calls().clear();
    RunCallback(play.state, play.output);
    EXPECT_NEAR(play.spy->CallsNamed("SetPitchSemitones").at(0).value, 12.0, 1e-5);
}

// With Loop on the sound repeats without a gap, also when it is shorter than
// one input request, so that one request wraps several times.
TEST(AudioCallback, LoopRepeatsTheSoundWithoutAGap)
{
    for (const int frames : {10000, 700, 1}) {
        SCOPED_TRACE(frames);
        Played play(2, frames, true, false);
        for (int buffer = 0; buffer < 160; ++buffer) {
            ASSERT_EQ(RunCallback(play.state, play.output), paContinue);
        }
        ExpectFollows(play.output, play.source, 2, 160 * kFramesPerBuffer,
                      [&](std::int64_t k) { return k % frames; });
        EXPECT_TRUE(play.spy->PushesInsideSound());
        EXPECT_TRUE(play.spy->CallsNamed("Flush").empty());
    }
}

// An A-B loop region repeats as the whole sound does, without a gap,
// forwards and backwards, also when it is shorter than one input request.
// Play starts at its start (its end backwards); one set while playing
// elsewhere is reached by playing on into it.
TEST(AudioCallback, LoopRegionRepeatsTheRegionWithoutAGap)
{
    constexpr int kFrames = 10000;
    struct Case {
        std::int64_t first;
        std::int64_t end;
        bool reverse;
        bool setWhilePlaying;
    };
    for (const Case c : {Case{3000, 8000, false, false}, Case{3000, 8000, true, false},
                         Case{5000, 5300, false, false}, Case{5000, 5300, true, false},
                         Case{4000, 4001, false, false}, Case{6000, 9000, false, true},
                         Case{1000, 4000, true, true}}) {
        SCOPED_TRACE(testing::Message() << c.first << ".." << c.end << (c.reverse ? " reverse" : "")
                                        << (c.setWhilePlaying ? " set while playing" : ""));
        Played play(2, kFrames, true, c.reverse);
        const std::uint64_t region =
            PackLoopRegion(static_cast<std::int32_t>(c.first), static_cast<std::int32_t>(c.end));
        if (!c.setWhilePlaying) {
            play.state.loopRegion = region;
            PrepareForPlay(play.state);
        }
        RunCallback(play.state, play.output);
        play.state.loopRegion = region;
        for (int buffer = 1; buffer < 160; ++buffer) {
            ASSERT_EQ(RunCallback(play.state, play.output), paContinue);
        }
        const std::int64_t span = c.end - c.first;
        // Where the region's first round begins in the output.
        const std::int64_t lead = !c.setWhilePlaying ? 0 : c.reverse ? kFrames - c.end : c.first;
        ExpectFollows(play.output, play.source, 2, 160 * kFramesPerBuffer, [&](std::int64_t k) {
            if (k < lead) {
                return c.reverse ? kFrames - 1 - k : k;
            }
            const std::int64_t inRegion = (k - lead) % span;
            return c.reverse ? c.end - 1 - inRegion : c.first + inRegion;
        });
        EXPECT_TRUE(play.spy->PushesInsideSound());
    }
}

// A pause fades the buffer being played out, then plays silence without
// feeding the engine; the position heard stands still. Resuming plays that
// buffer again fading in and goes on from where it was: nothing is skipped.
TEST(AudioCallback, PauseKeepsThePlaceAndResumesThere)
{
    Played play(2, 50000, true, false);
    for (int buffer = 0; buffer < 20; ++buffer) {
        RunCallback(play.state, play.output);
    }
    const std::int64_t heardBefore = HeardPosition(play.state);
    // At unity the output is the input: the place heard is the output's.
    EXPECT_NEAR(heardBefore, 20 * kFramesPerBuffer, 3 * kFramesPerBuffer);

    play.state.pauseRequested = true;
    std::vector<float> fadeOut;
    ASSERT_EQ(RunCallback(play.state, fadeOut), paContinue);
    play.spy->Calls().clear();
    std::vector<float> silence;
    for (int buffer = 0; buffer < 10; ++buffer) {
        ASSERT_EQ(RunCallback(play.state, silence), paContinue);
    }
    EXPECT_TRUE(play.spy->CallsNamed("PushInput").empty());
    EXPECT_TRUE(play.spy->CallsNamed("PullOutput").empty());
    EXPECT_EQ(*std::max_element(silence.begin(), silence.end()), 0.0f);
    EXPECT_EQ(*std::min_element(silence.begin(), silence.end()), 0.0f);
    EXPECT_EQ(HeardPosition(play.state), heardBefore);

    play.state.pauseRequested = false;
    std::vector<float> resumed;
    for (int buffer = 0; buffer < 20; ++buffer) {
        ASSERT_EQ(RunCallback(play.state, resumed), paContinue);
    }
    const std::int64_t pausedAt = 20 * kFramesPerBuffer;
    // The held buffer fades out, then in: its first frame is all but silent
    // going out and coming in, its last the other way round.
    for (int side = 0; side < 2; ++side) {
        const float first = play.source[pausedAt * 2 + side];
        const float last = play.source[(pausedAt + kFramesPerBuffer - 1) * 2 + side];
        EXPECT_NEAR(fadeOut[side], first, kUnityTolerance);
        EXPECT_NEAR(fadeOut[(kFramesPerBuffer - 1) * 2 + side], 0.0f, 1e-3f);
        EXPECT_NEAR(resumed[side], 0.0f, 1e-3f);
        EXPECT_NEAR(resumed[(kFramesPerBuffer - 1) * 2 + side], last, kUnityTolerance);
    }
    const std::vector<float> after(resumed.begin() + 2 * kFramesPerBuffer, resumed.end());
    ExpectFollows(after, play.source, 2, 19 * kFramesPerBuffer,
                  [&](std::int64_t k) { return pausedAt + kFramesPerBuffer + k; });
    EXPECT_GT(HeardPosition(play.state), heardBefore + 10 * kFramesPerBuffer);
}

TEST(AudioCallback, ReverseWithLoopRunsBackwardsFromTheEnd)
{
    for (const int frames : {10000, 700}) {
        SCOPED_TRACE(frames);
        Played play(2, frames, true, true);
        for (int buffer = 0; buffer < 160; ++buffer) {
            ASSERT_EQ(RunCallback(play.state, play.output), paContinue);
        }
        const auto pushes = play.spy->CallsNamed("PushInput");
        ASSERT_FALSE(pushes.empty());
        EXPECT_EQ(pushes[0].mode, KELVANE_REVERSE);
        if (frames > pushes[0].frames) {
            EXPECT_EQ(pushes[0].first + pushes[0].frames, frames);
        }
        ExpectFollows(play.output, play.source, 2, 160 * kFramesPerBuffer,
                      [&](std::int64_t k) { return frames - 1 - k % frames; });
        EXPECT_TRUE(play.spy->PushesInsideSound());
    }
}

TEST(AudioCallback, EndWithoutLoopFlushesOncePlaysEveryFrameThenCompletes)
{
    Played play(2, 10000, false, false);
    const int buffers = RunUntilComplete(play.state, play.output, 400);
    ASSERT_LT(buffers, 400) << "never completed";
    EXPECT_EQ(play.spy->CallsNamed("Flush").size(), 1u);
    ExpectFollows(play.output, play.source, 2, play.frames(), [](std::int64_t k) { return k; });
    // Behind the sound only silence: what the flush released, then padding.
    for (std::size_t i = static_cast<std::size_t>(play.frames()) * 2; i < play.output.size(); ++i) {
        ASSERT_LT(std::fabs(play.output[i]), 1e-3f) << "sample " << i;
    }
    EXPECT_GE(play.state.position.load(), play.frames());
    EXPECT_TRUE(play.spy->PushesInsideSound());
}

// Backwards play without Loop plays the whole sound backwards, from its last
// frame down to its first, then ends as forward play does.
TEST(AudioCallback, ReverseWithoutLoopPlaysDownToTheFirstFrame)
{
    Played play(2, 10000, false, true);
    const int buffers = RunUntilComplete(play.state, play.output, 400);
    ASSERT_LT(buffers, 400) << "never completed";
    EXPECT_EQ(play.spy->CallsNamed("Flush").size(), 1u);
    ExpectFollows(play.output, play.source, 2, play.frames(),
                  [&](std::int64_t k) { return play.frames() - 1 - k; });
    EXPECT_TRUE(play.spy->PushesInsideSound());
}

TEST(AudioCallback, TurningCrossFadesTheBlockBeyondTheTurningPoint)
{
    Played play(2, 200000, true, false);
    for (int buffer = 0; buffer < 30; ++buffer) {
        RunCallback(play.state, play.output);
    }
    const std::int64_t turnAt = play.state.position.load();
    play.spy->Calls().clear();
    play.state.reverseRequested = true;
    for (int buffer = 0; buffer < 30; ++buffer) {
        RunCallback(play.state, play.output);
    }
    auto pushes = play.spy->CallsNamed("PushInput");
    ASSERT_GE(pushes.size(), 3u);
    // First the block after the turning point, read from forward to reversed;
    // then blocks running down from the turning point.
    EXPECT_EQ(pushes[0].mode, KELVANE_FORWARD_TO_REVERSE);
    EXPECT_EQ(pushes[0].first, turnAt);
    EXPECT_EQ(pushes[1].mode, KELVANE_REVERSE);
    EXPECT_EQ(pushes[1].first + pushes[1].frames, turnAt);
    EXPECT_EQ(pushes[2].mode, KELVANE_REVERSE);
    EXPECT_EQ(pushes[2].first + pushes[2].frames, pushes[1].first);

    const std::int64_t turnBackAt = play.state.position.load();
    play.spy->Calls().clear();
    play.state.reverseRequested = false;
    for (int buffer = 0; buffer < 30; ++buffer) {
        RunCallback(play.state, play.output);
    }
    pushes = play.spy->CallsNamed("PushInput");
    ASSERT_GE(pushes.size(), 2u);
    EXPECT_EQ(pushes[0].mode, KELVANE_REVERSE_TO_FORWARD);
    EXPECT_EQ(pushes[0].first + pushes[0].frames, turnBackAt);
    EXPECT_EQ(pushes[1].mode, KELVANE_FORWARD);
    EXPECT_EQ(pushes[1].first, turnBackAt);
    for (float sample : play.output) {
        ASSERT_TRUE(std::isfinite(sample));
    }
}

TEST(AudioCallback, PlayAgainStartsFromTheFirstFrame)
{
    Played play(2, 50000, true, false);
    for (int buffer = 0; buffer < 50; ++buffer) {
        RunCallback(play.state, play.output);
    }
    ASSERT_GT(play.state.position.load(), 0);
    play.spy->Calls().clear();
    PrepareForPlay(play.state);
    play.output.clear();
    RunCallback(play.state, play.output);
    const auto pushes = play.spy->CallsNamed("PushInput");
    ASSERT_FALSE(pushes.empty());
    EXPECT_EQ(pushes[0].first, 0);
    EXPECT_EQ(play.spy->CallsNamed("Reset").size(), 1u);
    ExpectFollows(play.output, play.source, 2, kFramesPerBuffer, [](std::int64_t k) { return k; });
}

// Play from a frame starts there in either direction (backwards, the frames
// below it), and a frame beyond the sound is held to it.
TEST(AudioCallback, PlayFromAFrameStartsThere)
{
    constexpr int kFrames = 20000;
    const struct {
        std::int32_t from;
        bool reverse;
        std::int64_t first;  // the first frame heard
    } cases[] = {{12345, false, 12345}, {12345, true, 12344}, {-50, false, 0}, {kFrames + 9, true, kFrames - 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.from << (c.reverse ? " reverse" : ""));
        Played play(2, kFrames, true, c.reverse);
        PrepareForPlay(play.state, c.from);
        for (int buffer = 0; buffer < 8; ++buffer) {
            ASSERT_EQ(RunCallback(play.state, play.output), paContinue);
        }
        ExpectFollows(play.output, play.source, 2, 8 * kFramesPerBuffer, [&](std::int64_t k) {
            return c.reverse ? (c.first - k + kFrames) % kFrames : (c.first + k) % kFrames;
        });
    }
}

// Play primes the engine, so the first callback only pulls what is ready.
TEST(AudioCallback, PlayPrimesTheEngineBeforeTheFirstCallback)
{
    Played play(8, 50000, true, false);
    EXPECT_GE(play.spy->Real()->operations->GetOutputAvailable(play.spy->Real()), kFramesPerBuffer);
    play.spy->Calls().clear();
    RunCallback(play.state, play.output);
    EXPECT_TRUE(play.spy->CallsNamed("PushInput").empty());
    EXPECT_TRUE(play.spy->CallsNamed("Process").empty());
}

// A seek fades out what was being fed, then feeds from the new place, its
// first frames faded in; at speed 100 the output is then the sound from there.
TEST(AudioCallback, SeekMovesThePlayPosition)
{
    Played play(2, 50000, true, false);
    for (int buffer = 0; buffer < 10; ++buffer) {
        RunCallback(play.state, play.output);
    }
    const int fadeFrames = static_cast<int>(std::lround(kRate * kSeekFadeSeconds));
    const std::int64_t resumeAt = 30000 + fadeFrames;
    play.state.seekRequest = 30000;
    for (int buffer = 0; buffer < 30; ++buffer) {
        RunCallback(play.state, play.output);
    }
    EXPECT_EQ(play.state.seekRequest.load(), -1);
    EXPECT_TRUE(play.spy->PushesInsideSound());

    // The engine gives its input back in order: the frame fed first from
    // `resumeAt` is heard after every frame fed before it.
    const auto pushes = play.spy->CallsNamed("PushInput");
    std::int64_t fedBefore = 0;
    int faded = 0;
    std::size_t p = 0;
    for (; p < pushes.size() && pushes[p].first != resumeAt; ++p) {
        faded += pushes[p].first < 0 ? pushes[p].frames : 0;
        fedBefore += pushes[p].frames;
    }
    ASSERT_LT(p, pushes.size()) << "feeding never went on from the new place";
    EXPECT_EQ(faded, 2 * fadeFrames) << "one fade out and one fade in";
    const std::vector<float> heard(play.output.begin() + 2 * fedBefore, play.output.end());
    ExpectFollows(heard, play.source, 2, 2000, [&](std::int64_t k) { return resumeAt + k; });
}

// Around a seek the output steps from one sample to the next by no more than
// the signal does by itself, forwards and backwards, with and without Loop,
// at speed 100 (where the engine passes its input straight through) and with
// speed and pitch changed. The engine's transient as the new place fades in
// may rise a little above the sine's own largest step (up to 1.21 times it,
// at 141 %, -7, where the channels hold unrelated tones); a splice without
// the fades steps by some twenty times it.
TEST(AudioCallback, SeekFadesOverWithoutAStep)
{
    struct Case {
        float speed;
        float pitch;
        bool reverse;
        bool loop;
    };
    for (const Case c : {Case{100, 0, false, true}, Case{100, 0, true, false}, Case{50, 0, false, false},
                         Case{200, 5, false, true}, Case{141, -7, true, true}}) {
        SCOPED_TRACE(testing::Message() << c.speed << " % " << c.pitch << " st" << (c.reverse ? " reverse" : "")
                                        << (c.loop ? " loop" : ""));
        // 441 Hz on the left, 882 Hz on the right: 100 frames a period on the left.
        Played play(2, Sine(2, 100000, 0.01, 0.5f), c.loop, c.reverse);
        play.state.speedPercent = c.speed;
        play.state.pitchTarget = c.pitch;
        PrepareForPlay(play.state);
        for (int buffer = 0; buffer < 30; ++buffer) {
            RunCallback(play.state, play.output);
        }
        const std::size_t seekAt = play.output.size();
        // Half a period away from where feeding stands: spliced, the sine
        // would jump by its whole height.
        const std::int32_t position = play.state.position.load();
        const std::int32_t target = c.reverse ? position - 20050 : position + 20050;
        play.state.seekRequest = target;
        for (int buffer = 0; buffer < 50; ++buffer) {
            ASSERT_EQ(RunCallback(play.state, play.output), paContinue);
        }
        const std::int32_t now = play.state.position.load();
        EXPECT_TRUE(c.reverse ? now < target && now > target - 30000 : now > target && now < target + 30000)
            << "position " << now << " after a seek to " << target;

        for (int side = 0; side < 2; ++side) {
            auto largestStep = [&](std::size_t from, std::size_t to) {
                float largest = 0.0f;
                for (std::size_t i = from + 2 + side; i < to; i += 2) {
                    largest = std::max(largest, std::fabs(play.output[i] - play.output[i - 2]));
                }
                return largest;
            };
            const float own = largestStep(2 * 4 * kFramesPerBuffer, seekAt);
            EXPECT_LE(largestStep(seekAt, play.output.size()), 1.25f * own) << "side " << side;
        }
    }
}

// Once the sound has ended without Loop, while the engine's last frames still
// play, a seek only moves the position shown: nothing more is fed, the stream
// completes, and no request is left waiting, also one that comes after the
// callback's last call (whichever thread comes last drops it).
TEST(AudioCallback, SeekAfterTheEndIsDroppedNotLeftWaiting)
{
    Played play(2, 10000, false, false);
    for (int buffer = 0; buffer < 400 && !play.state.ended.load(); ++buffer) {
        RunCallback(play.state, play.output);
    }
    ASSERT_TRUE(play.state.ended.load());
    play.spy->Calls().clear();
    play.state.seekRequest = 2000;
    EXPECT_LT(RunUntilComplete(play.state, play.output, 400), 400) << "never completed";
    EXPECT_TRUE(play.spy->CallsNamed("PushInput").empty());
    EXPECT_EQ(play.state.seekRequest.load(), -1);
    EXPECT_EQ(play.state.position.load(), 2000);

    play.state.seekRequest = 3000;
    DropSeekRequestAfterEnd(play.state);
    EXPECT_EQ(play.state.seekRequest.load(), -1);
    EXPECT_EQ(play.state.position.load(), 3000);
}

// Each player's callback works in memory of its own: another player's
// callback running in the middle of it (as on two audio threads) leaves its
// output as it would have been alone.
TEST(AudioCallback, TwoPlayersInterleavedKeepTheirOwnSound)
{
    for (const int channels : {1, 6}) {
        SCOPED_TRACE(channels);
        Played alone(channels, 20000, true, false, 5);
        Played first(channels, 20000, true, false, 5);
        Played second(channels, 20000, true, false, 9);
        std::vector<float> secondOutput;
        first.spy->AfterPull([&] { RunCallback(second.state, secondOutput); });
        for (int buffer = 0; buffer < 20; ++buffer) {
            RunCallback(alone.state, alone.output);
            RunCallback(first.state, first.output);
        }
        ASSERT_EQ(secondOutput.size(), first.output.size());
        EXPECT_EQ(first.output, alone.output);
    }
}

// Whatever the controls do, every push stays inside the sound, every call
// returns and the output stays finite: turns near the start and the end,
// sounds shorter than a request, Loop switched on and off, seeks.
TEST(AudioCallback, ControlsMovedAtRandomNeverReadOutsideTheSound)
{
    std::mt19937 random(7);
    for (const int frames : {1, 100, 3000, 50000}) {
        SCOPED_TRACE(frames);
        Played play(frames == 3000 ? 1 : 2, frames, true, false, static_cast<std::uint32_t>(frames));
        const float speeds[] = {25.0f, 50.0f, 100.0f, 141.0f, 200.0f, 400.0f};
        for (int buffer = 0; buffer < 300; ++buffer) {
            switch (random() % 8) {
                case 0: play.state.reverseRequested = !play.state.reverseRequested; break;
                case 1: play.state.loopEnabled = random() % 4 != 0; break;
                case 2: play.state.speedPercent = speeds[random() % 6]; break;
                case 3: play.state.pitchTarget = static_cast<float>(static_cast<int>(random() % 97) - 48) * 0.5f; break;
                case 4: play.state.seekRequest = static_cast<std::int32_t>(random() % frames); break;
                case 5: {
                    const auto first = static_cast<std::int32_t>(random() % frames);
                    const auto end = static_cast<std::int32_t>(first + 1 + random() % (frames - first));
                    play.state.loopRegion = random() % 3 == 0 ? 0 : PackLoopRegion(first, end);
                    break;
                }
                case 6: play.state.pauseRequested = random() % 3 == 0; break;
                default: break;
            }
            if (RunCallback(play.state, play.output) == paComplete) {
                PrepareForPlay(play.state);
            }
        }
        EXPECT_TRUE(play.spy->PushesInsideSound());
        for (float sample : play.output) {
            ASSERT_TRUE(std::isfinite(sample));
        }
    }
}

TEST(AudioCallback, MoreThanTwoChannelsAreFoldedOntoBothOutputs)
{
    // A sine in one channel at a time: the centre reaches both sides equally,
    // a left channel only the left.
    const int channels = 6;
    for (const int loud : {0, 2}) {
        SCOPED_TRACE(loud);
        std::vector<float> samples(static_cast<std::size_t>(20000) * channels, 0.0f);
        for (int f = 0; f < 20000; ++f) {
            samples[f * channels + loud] = static_cast<float>(std::sin(0.05 * f));
        }
        auto sound = MakeSound(kRate, channels, samples);
        SpyEngine spy(*sound);
        PlayerState state;
        PrepareState(state, *sound, spy.Interface());
        std::vector<float> output;
        for (int buffer = 0; buffer < 40; ++buffer) {
            RunCallback(state, output);
        }
        double left = 0.0;
        double right = 0.0;
        for (std::size_t f = 0; f < output.size() / 2; ++f) {
            left += output[2 * f] * output[2 * f];
            right += output[2 * f + 1] * output[2 * f + 1];
        }
        const DownmixGains gains = DownmixFor(channels);
        const double frames = static_cast<double>(output.size() / 2);
        EXPECT_NEAR(std::sqrt(left / frames), gains.left[loud] * std::sqrt(0.5), 0.01);
        EXPECT_NEAR(std::sqrt(right / frames), gains.right[loud] * std::sqrt(0.5), 0.01);
    }
}

TEST(Downmix, KeepsEveryChannelAudibleAndCannotClip)
{
    for (int channels = 1; channels <= kMaxPlaybackChannels; ++channels) {
        SCOPED_TRACE(channels);
        const DownmixGains gains = DownmixFor(channels);
        float leftSum = 0.0f;
        float rightSum = 0.0f;
        for (int c = 0; c < channels; ++c) {
            EXPECT_GT(gains.left[c] + gains.right[c], 0.1f) << "channel " << c;
            EXPECT_GE(gains.left[c], 0.0f);
            EXPECT_GE(gains.right[c], 0.0f);
            leftSum += gains.left[c];
            rightSum += gains.right[c];
        }
        if (channels > 2) {
            EXPECT_LE(leftSum, 1.0f + 1e-6f);
            EXPECT_LE(rightSum, 1.0f + 1e-6f);
            EXPECT_FLOAT_EQ(leftSum, rightSum);  // balanced
        }
    }
    EXPECT_EQ(DownmixFor(2).left[0], 1.0f);
    EXPECT_EQ(DownmixFor(2).right[1], 1.0f);
    EXPECT_EQ(DownmixFor(2).left[1], 0.0f);
}

}  // namespace
}  // namespace kelvane::playback::test
