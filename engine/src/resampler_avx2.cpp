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

void ReadRowsEightLanes(const float* const* rows, const int* firsts, float* const* lines, float* const* out,
                        int write, int channels)
{
    for (int ch = 0; ch < channels; ++ch) {
        __m256 sums[resamplerReadsAtOnce];
        for (int i = 0; i < resamplerReadsAtOnce; ++i) {
            const float* kernel = rows[i];
            const float* samples = lines[ch] + firsts[i];
            __m256 sum = _mm256_setzero_ps();
            for (int j = 0; j < resamplerTaps; j += 8) {
                sum = _mm256_fmadd_ps(_mm256_loadu_ps(kernel + j), _mm256_loadu_ps(samples + j), sum);
            }
            sums[i] = sum;
        }
        // Dot's folds, for two, four and then eight reads at a time: its
        // halves (reads 2i and 2i + 1 side by side), then lanes 0 + 2 and
        // 1 + 3, then those two.
        __m256 halves[4];
        for (int i = 0; i < 4; ++i) {
            const __m256 a = sums[2 * i];
            const __m256 b = sums[2 * i + 1];
            halves[i] = _mm256_add_ps(_mm256_permute2f128_ps(a, b, 0x20), _mm256_permute2f128_ps(a, b, 0x31));
        }
        __m256 pairs[2];
        for (int i = 0; i < 2; ++i) {
            const __m256 a = halves[2 * i];
            const __m256 b = halves[2 * i + 1];
            pairs[i] = _mm256_add_ps(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(1, 0, 1, 0)),
                                     _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 2, 3, 2)));
        }
        // Reads 0, 2, 4, 6 in the low half, 1, 3, 5, 7 in the high one.
        const __m256 reads = _mm256_add_ps(_mm256_shuffle_ps(pairs[0], pairs[1], _MM_SHUFFLE(2, 0, 2, 0)),
                                           _mm256_shuffle_ps(pairs[0], pairs[1], _MM_SHUFFLE(3, 1, 3, 1)));
        const __m256i inOrder = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
        _mm256_storeu_ps(out[ch] + write, _mm256_permutevar8x32_ps(reads, inOrder));
    }
}

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
