#include "simd_level.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace kelvane {
namespace {

constexpr SimdLevel levels[] = {SimdLevel::scalar, SimdLevel::sse2, SimdLevel::avx2};

SimdLevel DetectSimdLevel()
{
#if defined(KELVANE_EIGHT_LANES)
    __builtin_cpu_init();
    // The wide code needs both; the compiler's check also asks whether the
    // operating system saves the wide registers.
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        return SimdLevel::avx2;
    }
    return SimdLevel::sse2;
#elif defined(KELVANE_FOUR_LANES)
    return SimdLevel::sse2;
#else
    return SimdLevel::scalar;
#endif
}

// -1 until the first call. Finding the level twice, should two threads race
// on the first call, gives the same answer, so a relaxed store is enough.
std::atomic<int> selected{-1};
std::atomic<int> supported{-1};

SimdLevel Cached(std::atomic<int>& slot, SimdLevel (*find)())
{
    int value = slot.load(std::memory_order_relaxed);
    if (value < 0) {
        value = static_cast<int>(find());
        slot.store(value, std::memory_order_relaxed);
    }
    return static_cast<SimdLevel>(value);
}

bool SameText(const char* a, const char* b)
{
    for (; *a != '\0' && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

SimdLevel FindSelectedLevel()
{
#if defined(__EMSCRIPTEN__)
    // A WebAssembly module has no environment of its own (reading it would
    // make the host provide one), nor any choice of level.
    return SupportedSimdLevel();
#else
    return ChooseSimdLevel(std::getenv("KELVANE_SIMD"), SupportedSimdLevel());
#endif
}

}  // namespace

SimdLevel ChooseSimdLevel(const char* wanted, SimdLevel supported)
{
    if (wanted == nullptr) {
        return supported;
    }
    for (SimdLevel level : levels) {
        if (SameText(wanted, SimdLevelName(level))) {
            return std::min(level, supported);
        }
    }
    return supported;
}

SimdLevel SupportedSimdLevel()
{
    return Cached(supported, &DetectSimdLevel);
}

SimdLevel SelectedSimdLevel()
{
    return Cached(selected, &FindSelectedLevel);
}

SimdLevel UsableSimdLevel(SimdLevel wanted)
{
    return std::min(wanted, SupportedSimdLevel());
}

const char* SimdLevelName(SimdLevel level)
{
    switch (level) {
        case SimdLevel::scalar:
            return "scalar";
        case SimdLevel::sse2:
            return "sse2";
        case SimdLevel::avx2:
            return "avx2";
    }
    return "scalar";
}

}  // namespace kelvane
