#include "resampler.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kelvane {
namespace {

// Kaiser window shape: 70 dB and more down from 0.577 cycles per sample on,
// flat within 0.01 dB up to 0.44.
constexpr double kaiserBeta = 8.0;

// Modified Bessel function of the first kind, order 0, by its series.
double BesselI0(double x)
{
    double sum = 1.0;
    double term = 1.0;
    const double quarterSquare = x * x * 0.25;
    for (int k = 1; k < 64 && term > sum * 1.0e-17; ++k) {
        term *= quarterSquare / (static_cast<double>(k) * k);
        sum += term;
    }
    return sum;
}

// The kernel at x / resamplerPhases samples from the read position.
float Kernel(int x, double windowNorm)
{
    constexpr int L = resamplerHalfLength;
    constexpr int P = resamplerPhases;
    x = std::abs(x);
    if (x % P == 0) {
        // Whole samples away the sinc is 0, at the read position 1: a read
        // on a sample returns it unchanged.
        return x == 0 ? 1.0f : 0.0f;
    }
    if (x >= L * P) {
        return 0.0f;
    }
    const double t = static_cast<double>(x) / P;
    const double r = t / L;
    const double window = BesselI0(kaiserBeta * std::sqrt(1.0 - r * r)) / windowNorm;
    return static_cast<float>(std::sin(std::numbers::pi * t) / (std::numbers::pi * t) * window);
}

}  // namespace

void FillResamplerTable(float* table)
{
    constexpr int L = resamplerHalfLength;
    constexpr int P = resamplerPhases;
    const double windowNorm = BesselI0(kaiserBeta);
    // The kernel is even, so row P - p is row p backwards: tap j of row p
    // is the kernel at (j - (L - 1)) P - p, tap 2L - 1 - j of row P - p at
    // minus that. Half the rows are worked out, the rest copied.
    for (int p = 0; p <= P / 2; ++p) {
        float* row = table + p * resamplerTaps;
        float* mirrored = table + (P - p) * resamplerTaps;
        for (int j = 0; j < resamplerTaps; ++j) {
            row[j] = Kernel((j - (L - 1)) * P - p, windowNorm);
        }
        for (int j = 0; j < resamplerTaps; ++j) {
            mirrored[resamplerTaps - 1 - j] = row[j];
        }
    }
}

int BuildStretchedKernel(const float* table, float fraction, float ratio, float* kernel, int& first)
{
    constexpr int L = resamplerHalfLength;
    constexpr int P = resamplerPhases;
    // The kernel stretched by `a` and scaled by 1 / a.
    const float a = std::min(ratio, resamplerHighestRatio) * resamplerStretch;
    const float inverse = 1.0f / a;
    const float reach = static_cast<float>(L) * a;
    first = 1 - static_cast<int>(std::ceil(reach));
    const int last = static_cast<int>(std::floor(fraction + reach));
    const int taps = (last - first + resamplerLanes) / resamplerLanes * resamplerLanes;
    // Each tap from the table entry nearest to its place: the rising side of
    // the kernel, i / P samples before the read position, is tap L - 1 - i / P
    // of row i mod P.
    const float toIndex = inverse * static_cast<float>(P);
    for (int j = 0; j < taps; ++j) {
        const float d = static_cast<float>(first + j) - fraction;
        const auto i = static_cast<int>(std::fabs(d) * toIndex + 0.5f);
        kernel[j] = i < L * P ? table[(i % P) * resamplerTaps + L - 1 - i / P] * inverse : 0.0f;
    }
    return taps;
}

}  // namespace kelvane
