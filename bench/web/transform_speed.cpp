// The Hartley transform alone, Forward then Inverse, as the engine runs it
// per frame: a tiny module for Node (built with em++, see
// transform_speed.mjs), or a native program at the four-lane level, so that
// both can be timed and their results compared bit for bit.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "hartley_transform.h"

#define KELVANE_BENCH_EXPORT extern "C" __attribute__((used, visibility("default")))

namespace {

constexpr int largestSize = 32768;
alignas(16) float data[largestSize];
kelvane::HartleyTransform transform(4, kelvane::SimdLevel::sse2);

// Deterministic input in [-1, 1).
void Fill(int n)
{
    std::uint32_t seed = 12345;
    for (int k = 0; k < n; ++k) {
        seed = seed * 1664525u + 1013904223u;
        data[k] = static_cast<float>(seed >> 8) / 8388608.0f - 1.0f;
    }
}

}  // namespace

// Prepares size n and fills the data; false for a size the transform refuses.
KELVANE_BENCH_EXPORT int bench_prepare(int n)
{
    if (n > largestSize || !transform.Prepare(n, kelvane::SimdLevel::sse2)) {
        return 0;
    }
    Fill(n);
    return 1;
}

KELVANE_BENCH_EXPORT float* bench_data()
{
    return data;
}

// Forward then Inverse, `rounds` times, rescaled each round so that the
// values stay in range (the scale is a power of two: no rounding).
KELVANE_BENCH_EXPORT void bench_run(int rounds)
{
    const int n = transform.Size();
    const float scale = 1.0f / static_cast<float>(n);
    for (int r = 0; r < rounds; ++r) {
        transform.Forward(data);
        transform.Inverse(data);
        for (int k = 0; k < n; ++k) {
            data[k] *= scale;
        }
    }
}

// One Forward of the filled data, for the comparison.
KELVANE_BENCH_EXPORT void bench_forward()
{
    transform.Forward(data);
}

#if !defined(__EMSCRIPTEN__)
#include <ctime>
#include <cstdlib>

// transform_speed N ROUNDS: microseconds per Forward+Inverse, then a hash of
// one Forward's bits and of the rounds' result.
int main(int argc, char** argv)
{
    const int n = argc > 1 ? std::atoi(argv[1]) : 1024;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 20000;
    if (bench_prepare(n) == 0) {
        std::fprintf(stderr, "no transform of size %d\n", n);
        return 1;
    }
    auto hash = [n] {
        std::uint32_t h = 2166136261u;
        for (int k = 0; k < n; ++k) {
            std::uint32_t bits;
            std::memcpy(&bits, &data[k], sizeof bits);
            h = (h ^ bits) * 16777619u;
        }
        return h;
    };
    bench_forward();
    const std::uint32_t forwardHash = hash();
    Fill(n);
    // Processor time: the machine may be busy.
    const std::clock_t start = std::clock();
    bench_run(rounds);
    const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    std::printf("%d %.3f us %08x %08x\n", n, seconds * 1e6 / rounds, forwardHash, hash());
    return 0;
}
#endif
