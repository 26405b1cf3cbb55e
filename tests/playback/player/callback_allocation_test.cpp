// The audio callback runs on the audio thread: once the engine exists it
// must not allocate, release or lock anything, whatever the controls do.
#include <dlfcn.h>
#include <pthread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "allocation_counter.h"
#include "kelvane/engine.h"
#include "player_test_support.h"
#include "playback/audio_callback.h"

namespace {

std::atomic<bool> countingLocks{false};
std::atomic<int> locksTaken{0};

template <typename Function>
Function Next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// Every mutex and read-write lock of the process goes through these while
// the test counts.
extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex)
{
    static auto next = Next<int (*)(pthread_mutex_t*)>("pthread_mutex_lock");
    if (countingLocks.load(std::memory_order_relaxed)) {
        locksTaken.fetch_add(1, std::memory_order_relaxed);
    }
    return next(mutex);
}

extern "C" int pthread_rwlock_wrlock(pthread_rwlock_t* lock)
{
    static auto next = Next<int (*)(pthread_rwlock_t*)>("pthread_rwlock_wrlock");
    if (countingLocks.load(std::memory_order_relaxed)) {
        locksTaken.fetch_add(1, std::memory_order_relaxed);
    }
    return next(lock);
}

extern "C" int pthread_rwlock_rdlock(pthread_rwlock_t* lock)
{
    static auto next = Next<int (*)(pthread_rwlock_t*)>("pthread_rwlock_rdlock");
    if (countingLocks.load(std::memory_order_relaxed)) {
        locksTaken.fetch_add(1, std::memory_order_relaxed);
    }
    return next(lock);
}

namespace kelvane::playback::test {
namespace {

TEST(CallbackAllocation, CallbackAllocatesAndLocksNothing)
{
    // The interposed lock is the one the process uses.
    pthread_mutex_t probe = PTHREAD_MUTEX_INITIALIZER;
    countingLocks = true;
    pthread_mutex_lock(&probe);
    countingLocks = false;
    pthread_mutex_unlock(&probe);
    ASSERT_EQ(locksTaken.exchange(0), 1);

    for (const int channels : {1, 2, 6}) {
        SCOPED_TRACE(channels);
        auto sound = MakeSound(44100, channels, Noise(channels, 30000, 0.5f, 3));
        EngineInterface* engine = nullptr;
        ASSERT_EQ(CreateInstance(&engine, 44100, channels, 1), KELVANE_OK);
        PlayerState state;
        PrepareState(state, *sound, engine);
        std::vector<float> output(2 * kFramesPerBuffer);
        struct Controls {
            float speed;
            float pitch;
            bool reverse;
            bool loop;
        };
        const Controls sequence[] = {{100, 0, false, true}, {50, 7, false, true},  {200, -5, true, true},
                                     {25, 12, true, false}, {400, 0, false, true}, {100, 3, false, false}};
        int completed = 0;
        kelvane::test::AllocationScope scope;
        countingLocks = true;
        for (const Controls& controls : sequence) {
            state.speedPercent = controls.speed;
            state.pitchTarget = controls.pitch;
            state.formantSemitones = controls.pitch;
            state.reverseRequested = controls.reverse;
            state.loopEnabled = controls.loop;
            state.seekRequest = 1000;
            for (int buffer = 0; buffer < 60; ++buffer) {
                // Seeks that fade over, one of them in the middle of another's fade.
                if (buffer == 20 || buffer == 21) {
                    state.seekRequest = 5000 * buffer / 10;
                }
                // A pause and its resume, and an A-B loop region set and cleared.
                state.pauseRequested = buffer >= 30 && buffer < 34;
                state.loopRegion = buffer >= 40 && buffer < 50 ? PackLoopRegion(2000, 2300) : 0;
                completed += AudioCallback(nullptr, output.data(), kFramesPerBuffer, nullptr, 0, &state) == paComplete;
            }
        }
        countingLocks = false;
        const auto allocations = scope.Allocations();
        const auto releases = scope.Releases();
        const int locks = locksTaken.exchange(0);
        EXPECT_EQ(allocations, 0);
        EXPECT_EQ(releases, 0);
        EXPECT_EQ(locks, 0);
        EXPECT_GT(completed, 0);  // the end of the sound was reached too
        DestroyInstance(&engine);
    }
}

}  // namespace
}  // namespace kelvane::playback::test
