// The control thread moves every control while the audio thread runs the
// callback. Under ThreadSanitizer this proves the shared state race-free;
// in every build, that the callback keeps up and stays finite.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "player_test_support.h"
#include "playback/audio_callback.h"

namespace kelvane::playback::test {
namespace {

TEST(PlayerThreads, ControlsMoveWhileTheCallbackRuns)
{
    auto sound = MakeSound(44100, 2, Noise(2, 40000, 0.5f, 11));
    EngineInterface* engine = nullptr;
    ASSERT_EQ(CreateInstance(&engine, 44100, 2, 1), KELVANE_OK);
    Player player;  // owns the engine from here on
    PrepareState(player.State(), *sound, engine);

    std::atomic<bool> running{true};
    std::atomic<int> buffers{0};
    std::atomic<bool> finite{true};
    std::thread audio([&] {
        std::vector<float> output(2 * kFramesPerBuffer);
        while (running.load() || buffers.load() < 200) {
            if (AudioCallback(nullptr, output.data(), kFramesPerBuffer, nullptr, 0, &player.State()) == paComplete) {
                // What Play does after the end; the control thread is the
                // one that calls it in the program, once the stream stopped.
                player.State().loopEnabled.store(true, std::memory_order_relaxed);
                PrepareForPlay(player.State());
            }
            for (float sample : output) {
                if (!std::isfinite(sample)) {
                    finite = false;
                }
            }
            buffers.fetch_add(1);
        }
    });

    std::int64_t positions = 0;
    for (int move = 0; move < 4000; ++move) {
        player.SetPitchTarget(static_cast<float>(move % 97 - 48) * 0.5f);
        player.SetSpeed(25.0f + static_cast<float>(move % 16) * 25.0f, move % 50 < 10);
        player.SetFormantSemitones(move % 3 == 0 ? 0.0f : 5.0f);
        player.SetLoop(move % 40 != 0);
        if (move % 500 == 0) {
            player.State().seekRequest.store(move % 40000, std::memory_order_relaxed);
        }
        if (move % 300 == 0) {
            player.SetLoopRegion(move % 30000, move % 30000 + 5000);
        }
        if (move % 700 == 0) {
            player.ClearLoopRegion();
        }
        // What Pause and Resume write (they need a running stream).
        player.State().pauseRequested.store(move % 100 < 20, std::memory_order_relaxed);
        // What the waveform display and kelvane-play read.
        positions += player.State().position.load(std::memory_order_relaxed) + player.HeardPosition();
        std::this_thread::yield();
    }
    running = false;
    audio.join();
    EXPECT_TRUE(finite.load());
    EXPECT_GE(buffers.load(), 200);
    EXPECT_GE(positions, 0);
}

}  // namespace
}  // namespace kelvane::playback::test
