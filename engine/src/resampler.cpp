#include "resampler.h"

#include <algorithm>
#include <cmath>

#include "vector_ops.h"

namespace kelvane {
namespace {

// Kaiser window shape: 70 dB and more down from 0.577 cycles per sample on,
// flat within 0.01 dB up to 0.44.
constexpr long double kaiserBeta = 8.0L;

// Modified Bessel function of the first kind, order 0, by its series.
long double BesselI0(long double x)
{
    long double sum = 1.0L;
    long double term = 1.0L;
    const long double quarterSquare = x * x * 0.25L;
    for (int k = 1; k < 64; ++k) {
        term *= quarterSquare / (static_cast<long double>(k) * k);
        sum += term;
        if (term < sum * 1.0e-21L) {
            break;
        }
    }
    return sum;
}

}  // namespace

void FillResamplerTables(float* table, float* phases)
{
    constexpr int L = resamplerHalfLength;
    constexpr int P = resamplerPhases;
    const long double pi = 3.141592653589793238462643383279502884L;
    const long double windowNorm = BesselI0(kaiserBeta);
    for (int i = 0; i < resamplerTableLength; ++i) {
        if (i % P == 0) {
            // Whole samples away the sinc is 0, at the read position 1: a
            // read on a sample returns it unchanged.
            table[i] = i == 0 ? 1.0f : 0.0f;
            continue;
        }
        if (i >= L * P) {
            table[i] = 0.0f;
            continue;
        }
        const long double x = static_cast<long double>(i) / P;
        const long double r = x / L;
        const long double window = BesselI0(kaiserBeta * std::sqrt(1.0L - r * r)) / windowNorm;
        table[i] = static_cast<float>(std::sin(pi * x) / (pi * x) * window);
    }
    for (int p = 0; p <= P; ++p) {
        float* row = phases + p * 2 * L;
        for (int j = 0; j < 2 * L; ++j) {
            row[j] = table[std::abs((j - (L - 1)) * P - p)];
        }
    }
}

int BuildResamplerKernel(const float* table, const float* phases, float fraction, float ratio, float* kernel,
                         int& first)
{
    constexpr int L = resamplerHalfLength;
    constexpr int P = resamplerPhases;
    if (!(ratio > 1.0f)) {
        // Unit step: between the two table rows around the fraction.
        const float phase = std::min(fraction * P, static_cast<float>(P));
        const int row = std::min(static_cast<int>(phase), P - 1);
        const float t = phase - static_cast<float>(row);
        const float* KELVANE_RESTRICT lower = phases + row * 2 * L;
        const float* KELVANE_RESTRICT upper = lower + 2 * L;
        for (int j = 0; j < 2 * L; ++j) {
            const float rise = upper[j] - lower[j];
            const float step = t * rise;
            kernel[j] = lower[j] + step;
        }
        first = 1 - L;
        return 2 * L;
    }
    // Faster than the samples: the kernel stretched by `a` and scaled by
    // 1 / a, each tap interpolated from the table.
    const float a = std::min(ratio, resamplerHighestRatio) * resamplerStretch;
    const float inverse = 1.0f / a;
    const float reach = static_cast<float>(L) * a;
    first = 1 - static_cast<int>(std::ceil(reach));
    const int last = static_cast<int>(std::floor(fraction + reach));
    const int taps = (last - first + resamplerLanes) / resamplerLanes * resamplerLanes;
    const float toIndex = inverse * static_cast<float>(P);
    const auto end = static_cast<float>(L * P);
    for (int j = 0; j < taps; ++j) {
        const float d = static_cast<float>(first + j) - fraction;
        const float x = std::min(std::fabs(d) * toIndex, end);
        const int i = static_cast<int>(x);
        const float t = x - static_cast<float>(i);
        const float rise = table[i + 1] - table[i];
        const float step = t * rise;
        const float value = table[i] + step;
        kernel[j] = value * inverse;
    }
    return taps;
}

float ApplyResamplerKernel(const float* kernel, const float* samples, int taps)
{
    float sum[resamplerLanes] = {};
    for (int j = 0; j < taps; j += resamplerLanes) {
        for (int lane = 0; lane < resamplerLanes; ++lane) {
            const float product = kernel[j + lane] * samples[j + lane];
            sum[lane] += product;
        }
    }
    const float low = sum[0] + sum[1];
    const float high = sum[2] + sum[3];
    return low + high;
}

}  // namespace kelvane
