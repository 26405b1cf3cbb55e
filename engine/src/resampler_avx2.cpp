// The resampler's kernel sums in eight lanes (AVX2) with fused
// multiply-adds. Everything after the target switch is compiled for those
// instructions and runs only where the processor has them; the standard
// headers come before it.
#include "resampler.h"

#if defined(KELVANE_EIGHT_LANES)
#include <immintrin.h>

KELVANE_BEGIN_TARGET("avx2,fma")

namespace kelvane {
namespace {

// Taps in groups of eight, a last group of four when the count is not a
// multiple of eight, then the lanes summed pairwise. A count fixed at
// compile time (`fixedTaps`) lets the loop unroll.
template <int fixedTaps = 0>
inline float Dot(const float* kernel, const float* samples, int count)
{
    const int taps = fixedTaps != 0 ? fixedTaps : count;
    __m256 sum = _mm256_setzero_ps();
    int j = 0;
    for (; j + 8 <= taps; j += 8) {
        sum = _mm256_fmadd_ps(_mm256_loadu_ps(kernel + j), _mm256_loadu_ps(samples + j), sum);
    }
    __m128 four = _mm_add_ps(_mm256_castps256_ps128(sum), _mm256_extractf128_ps(sum, 1));
    if (j < taps) {
        four = _mm_fmadd_ps(_mm_loadu_ps(kernel + j), _mm_loadu_ps(samples + j), four);
    }
    const __m128 pairs = _mm_add_ps(four, _mm_movehl_ps(four, four));
    return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_shuffle_ps(pairs, pairs, 1)));
}

}  // namespace

void ReadThroughKernelEightLanes(const float* kernel, int taps, float* const* lines, int first, float* const* out,
                                 int write, int channels)
{
    if (taps == resamplerTaps) {
        for (int ch = 0; ch < channels; ++ch) {
            out[ch][write] = Dot<resamplerTaps>(kernel, lines[ch] + first, 0);
        }
        return;
    }
    for (int ch = 0; ch < channels; ++ch) {
        out[ch][write] = Dot<>(kernel, lines[ch] + first, taps);
    }
}

}  // namespace kelvane

KELVANE_END_TARGET

#endif  // KELVANE_EIGHT_LANES
