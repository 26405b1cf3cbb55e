// The player through the real audio library into a device: a capture device
// that records what is played, and a system with no output device at all.
#include "playback/player.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include <portaudio.h>

#include "audio_device.h"
#include "player_test_support.h"

namespace {

// What the next stream starts give instead of starting, or paNoError.
std::atomic<PaError> streamStartFailure{paNoError};

}  // namespace

// The audio library's stream start as the player calls it: the library's
// own, unless a test makes it fail as a device that is lost or busy would.
extern "C" PaError Pa_StartStream(PaStream* stream)
{
    const PaError failure = streamStartFailure.load();
    if (failure != paNoError) {
        return failure;
    }
    static const auto next = reinterpret_cast<PaError (*)(PaStream*)>(dlsym(RTLD_NEXT, "Pa_StartStream"));
    return next(stream);
}

namespace kelvane::playback::test {
namespace {

using namespace std::chrono_literals;

// Starts the audio library on a device for one test, and ends it.
class AudioLibrary {
public:
    explicit AudioLibrary(const AudioDevice& device)
    {
        device.Use();
        status = StartAudio();
    }
    ~AudioLibrary() { EndAudio(); }
    int status;
};

// A player with a sound open on the capture device, the audio library
// started for it; Open says what went wrong, if anything.
struct OpenOnCapture {
    explicit OpenOnCapture(std::unique_ptr<Sound> made) : audio(device), sound(std::move(made)) {}
    testing::AssertionResult Open()
    {
        if (audio.status != 0) {
            return testing::AssertionFailure() << AudioErrorText(audio.status);
        }
        const auto failure = player.OpenPlayback(*sound);
        return failure ? testing::AssertionFailure() << failure->title << ": " << failure->text
                       : testing::AssertionSuccess();
    }

    AudioDevice device{AudioDevice::Kind::Capture};
    AudioLibrary audio;
    std::unique_ptr<Sound> sound;
    Player player;
};

bool WaitUntilStopped(const Player& player, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (player.IsPlaying()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Frequency of the left channel over frames [first, first + count), from its
// rising zero crossings.
double Frequency(const std::vector<float>& stereo, std::int64_t first, std::int64_t count, double rate)
{
    std::int64_t firstCrossing = -1;
    std::int64_t lastCrossing = -1;
    int crossings = 0;
    for (std::int64_t f = first + 1; f < first + count; ++f) {
        if (stereo[2 * (f - 1)] < 0.0f && stereo[2 * f] >= 0.0f) {
            if (firstCrossing < 0) {
                firstCrossing = f;
            }
            lastCrossing = f;
            ++crossings;
        }
    }
    return crossings < 2 ? 0.0 : (crossings - 1) * rate / static_cast<double>(lastCrossing - firstCrossing);
}

TEST(PlayerDevice, PlaysTheSoundAnOctaveUpIntoTheDevice)
{
    AudioDevice device(AudioDevice::Kind::Capture);
    AudioLibrary audio(device);
    ASSERT_EQ(audio.status, 0) << AudioErrorText(audio.status);

    constexpr int kFrames = 44100;
    auto sound = MakeSound(44100, 1, Sine(1, kFrames, 441.0 / 44100.0, 0.5f));
    Player player;
    const auto failure = player.OpenPlayback(*sound);
    ASSERT_FALSE(failure) << failure->title << ": " << failure->text;
    ASSERT_TRUE(player.StreamOpen());
    player.SetPitchTarget(12.0f);
    player.SetLoop(false);
    player.Play();
    ASSERT_TRUE(WaitUntilStopped(player, 20s)) << "the sound never ended";
    player.CloseStream();

    const std::vector<float> played = device.Captured();
    const std::int64_t start = FirstAbove(played, 0.01f) / 2;
    ASSERT_GE(start, 0) << "nothing was played";
    std::int64_t end = static_cast<std::int64_t>(played.size() / 2);
    while (end > start && std::fabs(played[2 * (end - 1)]) < 0.01f) {
        --end;
    }
    // The whole sound, at its own length (speed 100), and nothing else.
    EXPECT_NEAR(static_cast<double>(end - start), kFrames, 300.0);
    EXPECT_NEAR(Frequency(played, start + 8000, 20000, 44100.0), 882.0, 882.0 * 0.005);
    // Mono reaches both channels.
    for (std::int64_t f = start; f < end; ++f) {
        ASSERT_EQ(played[2 * f], played[2 * f + 1]);
    }
}

TEST(PlayerDevice, StopEndsTheSoundAtOnceAndPlayStartsAgain)
{
    OpenOnCapture open(MakeSound(48000, 2, Sine(2, 48000, 0.01, 0.5f)));
    ASSERT_TRUE(open.Open());
    Player& player = open.player;
    const AudioDevice& device = open.device;
    player.SetLoop(true);
    player.Play();
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(player.IsPlaying()) << "a looping sound plays until stopped";
    player.Stop();
    EXPECT_FALSE(player.IsPlaying());
    EXPECT_EQ(player.State().position.load(), 0);
    const auto stoppedAt = device.CapturedBytes();
    EXPECT_GT(stoppedAt, 0u);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(device.CapturedBytes(), stoppedAt) << "sound went on after Stop";

    player.Play();
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(player.IsPlaying());
    player.Stop();
    EXPECT_GT(device.CapturedBytes(), stoppedAt);
}

TEST(PlayerDevice, AStreamThatDoesNotStartIsReportedWithTheLibrarysText)
{
    OpenOnCapture open(MakeSound(44100, 2, Sine(2, 44100, 0.01, 0.5f)));
    ASSERT_TRUE(open.Open());
    Player& player = open.player;
    streamStartFailure = paDeviceUnavailable;
    const auto failure = player.Play();
    streamStartFailure = paNoError;
    ASSERT_TRUE(failure) << "a stream that did not start was reported as playing";
    EXPECT_EQ(failure->title, "Portaudio");
    EXPECT_EQ(failure->text, AudioErrorText(paDeviceUnavailable));
    EXPECT_FALSE(player.IsPlaying());

    const auto started = player.Play();
    EXPECT_FALSE(started) << started->text;
    EXPECT_TRUE(player.IsPlaying());
    player.Stop();
}

// Seeks from the control thread while the callback plays, and one as the
// sound ends: that one is taken or dropped, never left waiting.
TEST(PlayerDevice, SeeksWhilePlayingAndAsTheSoundEnds)
{
    OpenOnCapture open(MakeSound(44100, 2, Sine(2, 20000, 0.01, 0.5f)));
    ASSERT_TRUE(open.Open());
    Player& player = open.player;
    player.SetLoop(true);
    ASSERT_FALSE(player.Play());
    for (int seek = 0; seek < 20; ++seek) {
        player.Seek(seek * 997);
        std::this_thread::sleep_for(1ms);
    }
    player.SetLoop(false);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!player.State().ended.load() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(player.State().ended.load()) << "the sound never ended";
    player.Seek(1234);
    ASSERT_TRUE(WaitUntilStopped(player, 20s)) << "the sound never stopped";
    EXPECT_EQ(player.State().seekRequest.load(), -1);
    EXPECT_EQ(player.State().position.load(), 1234);
    player.CloseStream();
}

TEST(PlayerDevice, WithoutAnOutputDeviceOpeningFailsWithTheLibrarysText)
{
    AudioDevice device(AudioDevice::Kind::None);
    auto sound = MakeSound(44100, 2, Sine(2, 4410, 0.01, 0.5f));
    Player player;
    {
        // Before the library has started, every call of it fails.
        const auto failure = player.OpenPlayback(*sound);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->title, "Portaudio");
        EXPECT_EQ(failure->text, AudioErrorText(paNotInitialized));
    }
    AudioLibrary audio(device);
    ASSERT_EQ(audio.status, 0) << AudioErrorText(audio.status);
    const auto failure = player.OpenPlayback(*sound);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->title, "Portaudio");
    EXPECT_EQ(failure->text, "Invalid device");
    EXPECT_FALSE(player.StreamOpen());
    EXPECT_FALSE(player.Play());  // does nothing, and nothing is wrong
    player.Stop();
    EXPECT_FALSE(player.IsPlaying());
}

TEST(PlayerDevice, AnEngineThatCannotBeMadeIsAnInstanceProblem)
{
    AudioDevice device(AudioDevice::Kind::Capture);
    AudioLibrary audio(device);
    auto sound = MakeSound(200000, 2, Sine(2, 4410, 0.01, 0.5f));
    Player player;
    const auto failure = player.OpenPlayback(*sound);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->title, "Instance problem");
    EXPECT_EQ(failure->text, "Incompatible sample rate.");
    EXPECT_FALSE(player.StreamOpen());
}

}  // namespace
}  // namespace kelvane::playback::test
