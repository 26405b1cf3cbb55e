// The channels keep their relation: a mostly coherent stereo mix stays as
// coherent between its channels as the input was, stretched or shifted.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>
#include <random>
#include <vector>

#include "stretch_stream.h"

namespace kelvane {
namespace {

using test::StretchStream;

constexpr double pi = std::numbers::pi;

void Fft(std::vector<std::complex<double>>& a)
{
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; (j & bit) != 0; bit >>= 1) {
            j ^= bit;
        }
        j |= bit;
        if (i < j) {
            std::swap(a[i], a[j]);
        }
    }
    for (std::size_t size = 2; size <= n; size *= 2) {
        const std::complex<double> step = std::polar(1.0, -2.0 * pi / static_cast<double>(size));
        for (std::size_t start = 0; start < n; start += size) {
            std::complex<double> w = 1.0;
            for (std::size_t k = 0; k < size / 2; ++k) {
                const std::complex<double> u = a[start + k];
                const std::complex<double> v = a[start + k + size / 2] * w;
                a[start + k] = u + v;
                a[start + k + size / 2] = u - v;
                w *= step;
            }
        }
    }
}

// Magnitude-squared coherence between two signals (Welch: 4096-point Hann
// segments overlapping by half), averaged from 100 Hz to 8 kHz.
double Coherence(const std::vector<float>& x, const std::vector<float>& y, int rate)
{
    constexpr std::size_t n = 4096;
    const auto first = static_cast<std::size_t>(100.0 * n / rate);
    const auto last = static_cast<std::size_t>(8000.0 * n / rate);
    std::vector<double> sxx(last + 1, 0.0);
    std::vector<double> syy(last + 1, 0.0);
    std::vector<std::complex<double>> sxy(last + 1, 0.0);
    std::vector<std::complex<double>> fx(n);
    std::vector<std::complex<double>> fy(n);
    for (std::size_t start = 0; start + n <= std::min(x.size(), y.size()); start += n / 2) {
        for (std::size_t i = 0; i < n; ++i) {
            const double w = 0.5 - 0.5 * std::cos(2.0 * pi * static_cast<double>(i) / n);
            fx[i] = w * x[start + i];
            fy[i] = w * y[start + i];
        }
        Fft(fx);
        Fft(fy);
        for (std::size_t k = first; k <= last; ++k) {
            sxx[k] += std::norm(fx[k]);
            syy[k] += std::norm(fy[k]);
            sxy[k] += fx[k] * std::conj(fy[k]);
        }
    }
    double sum = 0.0;
    for (std::size_t k = first; k <= last; ++k) {
        sum += std::norm(sxy[k]) / (sxx[k] * syy[k] + 1e-30);
    }
    return sum / static_cast<double>(last - first + 1);
}

// Tones with a little vibrato over a noise bed, shared by both channels (the
// right one quieter and 7 frames later), and a little noise of each channel's
// own.
std::vector<float> StereoMix(int rate, double seconds)
{
    std::mt19937 generator(11);
    std::normal_distribution<double> bed(0.0, 0.08);
    std::normal_distribution<double> own(0.0, 0.012);
    const auto frames = static_cast<std::size_t>(seconds * rate);
    std::vector<double> common(frames);
    double state = 0.0;
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        state = 0.6 * state + bed(generator);
        double v = state;
        const double bend = 1.0 + 0.003 * std::sin(2.0 * pi * 4.0 * t);
        for (const auto& [f, a] : {std::pair{220.0, 0.15}, std::pair{330.0, 0.1}, std::pair{440.0, 0.08},
                                   std::pair{660.0, 0.05}, std::pair{1320.0, 0.03}}) {
            v += a * std::sin(2.0 * pi * f * t * bend);
        }
        common[i] = v;
    }
    std::vector<float> mix(2 * frames);
    for (std::size_t i = 0; i < frames; ++i) {
        mix[2 * i] = static_cast<float>(common[i] + own(generator));
        mix[2 * i + 1] = static_cast<float>(0.8 * (i >= 7 ? common[i - 7] : 0.0) + own(generator));
    }
    return mix;
}

TEST(LinkedChannelsTest, StereoMixKeepsItsCoherence)
{
    struct Setting {
        float speedPercent;
        float semitones;
        float formantSemitones;
    };
    for (const int rate : {44100, 96000}) {
        const std::vector<float> mix = StereoMix(rate, 3.0);
        std::vector<float> left(mix.size() / 2);
        std::vector<float> right(mix.size() / 2);
        for (std::size_t i = 0; i < left.size(); ++i) {
            left[i] = mix[2 * i];
            right[i] = mix[2 * i + 1];
        }
        const double input = Coherence(left, right, rate);
        for (const Setting s : {Setting{50.0f, 0.0f, 0.0f}, Setting{200.0f, -5.0f, 0.0f}, Setting{100.0f, 3.0f, 0.0f},
                                Setting{80.0f, 7.0f, 7.0f}}) {
            const std::vector<std::vector<float>> y =
                StretchStream(mix, {rate, 2, 1, s.speedPercent, s.semitones, 0.0f, s.formantSemitones});
            const double output = Coherence(y[0], y[1], rate);
            std::printf("coherence at %d Hz, %g%%, %+g, formants %+g: %.4f (input %.4f)\n", rate, s.speedPercent,
                        s.semitones, s.formantSemitones, output, input);
            EXPECT_NEAR(output, input, 0.01) << rate << " Hz, " << s.speedPercent << "%, " << s.semitones;
        }
    }
}

}  // namespace
}  // namespace kelvane
