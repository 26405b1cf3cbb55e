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
    for (int p = 0; p <= P; ++p) {
        float* row = table + p * resamplerTaps;
        for (int j = 0; j < resamplerTaps; ++j) {
            row[j] = Kernel((j - (L - 1)) * P - p, windowNorm);
        }
    }
}

int BuildStretchedKernel(const float* table, float fraction, float ratio, float* kernel, int& first)
{
    constexpr int L = resamplerHalfLength;
    constexpr int P = resamplerPhases;
    // The kernel stretched by `a` and scaled by 1 / a, each tap interpolated
    // between the two nearest entries.
    const float a = std::min(ratio, resamplerHighestRatio) * resamplerStretch;
    const float inverse = 1.0f / a;
    const float reach = static_cast<float>(L) * a;
    first = 1 - static_cast<int>(std::ceil(reach));
    const int last = static_cast<int>(std::floor(fraction + reach));
    const int taps = (last - first + resamplerLanes) / resamplerLanes * resamplerLanes;
    const auto end = static_cast<float>(L * P);
    // The kernel at i / P samples before the read position, from the columns
    // that hold its rising side (tap c of row p: c - (L - 1) - p / P).
    auto at = [table](int i) { return i >= L * P ? 0.0f : table[(i % P) * resamplerTaps + L - 1 - i / P]; };
    for (int j = 0; j < taps; ++j) {
        const float d = static_cast<float>(first + j) - fraction;
        // Distance from the read position in table steps, between two entries.
        const float x = std::min(std::fabs(d) * inverse * static_cast<float>(P), end);
        const int i = static_cast<int>(x);
        const float t = x - static_cast<float>(i);
        const float below = at(i);
        const float rise = at(i + 1) - below;
        const float step = t * rise;
        const float value = below + step;
        kernel[j] = value * inverse;
    }
    return taps;
}

}  // namespace kelvane
