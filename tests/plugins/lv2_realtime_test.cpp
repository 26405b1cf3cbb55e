// run() is real-time safe: a minute of audio in blocks of 1 to 8192 frames,
// a different size every call, with the controls moved at random, allocates
// nothing, releases nothing and takes no lock, and the output stays finite
// and bounded. Under AddressSanitizer the same minute checks every access.
#include <dlfcn.h>
#include <pthread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <random>

#include "allocation_counter.h"
#include "plugin_host.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<int> locksTaken{0};
std::atomic<int> blocksTaken{0};

void CountLock()
{
    if (counting.load(std::memory_order_relaxed)) {
        locksTaken.fetch_add(1, std::memory_order_relaxed);
    }
}

template <typename Function>
Function Next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void CountBlock()
{
    if (counting.load(std::memory_order_relaxed)) {
        blocksTaken.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace

// The plug-in's module is loaded by the host at run time; it finds these
// before the C library's, so every lock it takes is counted.
extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex)
{
    static auto next = Next<int (*)(pthread_mutex_t*)>("pthread_mutex_lock");
    CountLock();
    return next(mutex);
}

extern "C" int pthread_rwlock_wrlock(pthread_rwlock_t* lock)
{
    static auto next = Next<int (*)(pthread_rwlock_t*)>("pthread_rwlock_wrlock");
    CountLock();
    return next(lock);
}

extern "C" int pthread_rwlock_rdlock(pthread_rwlock_t* lock)
{
    static auto next = Next<int (*)(pthread_rwlock_t*)>("pthread_rwlock_rdlock");
    CountLock();
    return next(lock);
}

#ifndef __SANITIZE_ADDRESS__
// The engine inside the module allocates with malloc, out of the reach of
// the operator new counter: the C allocator is counted too (AddressSanitizer
// owns it in that build, where operator new and locks are still counted).
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t bytes)
{
    CountBlock();
    return __libc_malloc(bytes);
}

void* calloc(std::size_t count, std::size_t bytes)
{
    CountBlock();
    return __libc_calloc(count, bytes);
}

void* realloc(void* block, std::size_t bytes)
{
    CountBlock();
    return __libc_realloc(block, bytes);
}

void* aligned_alloc(std::size_t alignment, std::size_t bytes)
{
    CountBlock();
    return __libc_memalign(alignment, bytes);
}

void* memalign(std::size_t alignment, std::size_t bytes)
{
    CountBlock();
    return __libc_memalign(alignment, bytes);
}

int posix_memalign(void** block, std::size_t alignment, std::size_t bytes)
{
    CountBlock();
    *block = __libc_memalign(alignment, bytes);
    return *block != nullptr ? 0 : ENOMEM;
}

void free(void* block)
{
    if (block != nullptr) {
        CountBlock();
    }
    __libc_free(block);
}
}
#endif

namespace kelvane::lv2::test {
namespace {

TEST(Lv2Realtime, AMinuteOfRandomBlocksAndControlsAllocatesAndLocksNothing)
{
    // The interposed functions are the ones the process uses.
    pthread_mutex_t probe = PTHREAD_MUTEX_INITIALIZER;
    counting = true;
    pthread_mutex_lock(&probe);
    void* block = std::malloc(16);
    std::free(block);
    counting = false;
    pthread_mutex_unlock(&probe);
    ASSERT_EQ(locksTaken.exchange(0), 1);
#ifndef __SANITIZE_ADDRESS__
    ASSERT_EQ(blocksTaken.exchange(0), 2);
#endif

    struct Case {
        const char* variant;
        int rate;
        int seconds;
    };
    for (const Case& each : {Case{"stereo", 44100, 60}, Case{"mono", 96000, 20}}) {
        SCOPED_TRACE(each.variant);
        PluginHost host(each.variant, each.rate);
        ASSERT_TRUE(host.Instantiated());
        float& pitch = host.Control("pitch");
        float& formant = host.Control("formant");
        float& preserve = host.Control("preserve_formants");
        float& freeze = host.Control("freeze");
        const std::size_t frames = static_cast<std::size_t>(each.seconds) * each.rate;
        std::mt19937 random(21);
        std::uniform_real_distribution<float> semitones(-24.0f, 24.0f);
        std::uniform_real_distribution<float> unit(0.0f, 1.0f);
        std::uniform_int_distribution<int> blockSize(1, 8192);
        Planar input(host.Channels(), std::vector<float>(frames));
        for (auto& channel : input) {
            float phase = 0.0f;
            for (std::size_t frame = 0; frame < frames; ++frame) {
                phase += 0.03f + 0.02f * std::sin(static_cast<float>(frame) * 1e-5f);
                channel[frame] = 0.5f * std::sin(phase) + 0.2f * (unit(random) - 0.5f);
            }
        }
        Planar output(host.Channels(), std::vector<float>(frames, 0.0f));
        host.Activate();

        kelvane::test::AllocationScope scope;
        counting = true;
        for (std::size_t done = 0; done < frames;) {
            // Glides and jumps, toggles now and then.
            pitch = unit(random) < 0.2f ? semitones(random) : std::clamp(pitch + unit(random) - 0.5f, -24.0f, 24.0f);
            formant = semitones(random);
            preserve = unit(random) < 0.1f ? 1.0f - preserve : preserve;
            freeze = unit(random) < 0.05f ? 1.0f - freeze : freeze;
            const auto count = std::min<std::size_t>(blockSize(random), frames - done);
            host.Run(input, output, done, static_cast<std::uint32_t>(count));
            done += count;
        }
        counting = false;
        const auto allocations = scope.Allocations();
        const auto releases = scope.Releases();
        const int locks = locksTaken.exchange(0);
        const int blocks = blocksTaken.exchange(0);
        EXPECT_EQ(allocations, 0);
        EXPECT_EQ(releases, 0);
        EXPECT_EQ(locks, 0);
        EXPECT_EQ(blocks, 0);
        float loudest = 0.0f;
        for (const auto& channel : output) {
            for (const float sample : channel) {
                ASSERT_TRUE(std::isfinite(sample));
                loudest = std::max(loudest, std::fabs(sample));
            }
        }
        EXPECT_LT(loudest, 4.0f);
        EXPECT_GT(loudest, 0.1f);
        host.Deactivate();
    }
}

}  // namespace
}  // namespace kelvane::lv2::test
