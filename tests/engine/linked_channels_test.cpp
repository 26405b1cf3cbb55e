// The channels keep their relation: a mostly coherent stereo mix, and a wide
// one whose sources sit in different places, stay as coherent between their
// channels as the input was, stretched or shifted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <initializer_list>
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

// Places a mono source in both channels: pan from -1 (left) to 1 (right) at
// equal power, the right channel `delay` frames late (the left one when
// negative).
void Place(const std::vector<double>& x, double pan, int delay, std::vector<double>& left,
           std::vector<double>& right)
{
    const double angle = (pan + 1.0) * pi / 4.0;
    const auto late = [&](std::size_t i, int d) { return i >= static_cast<std::size_t>(d) ? x[i - d] : 0.0; };
    for (std::size_t i = 0; i < x.size(); ++i) {
        left[i] += std::cos(angle) * late(i, std::max(-delay, 0));
        right[i] += std::sin(angle) * late(i, std::max(delay, 0));
    }
}

// The tail of a reverberator (parallel combs, then all-passes) without the
// direct sound; other lengths in each channel decorrelate the channels'.
std::vector<double> ReverbTail(const std::vector<double>& x, std::initializer_list<int> combs,
                               std::initializer_list<int> allPasses, int rate)
{
    std::vector<double> out(x.size(), 0.0);
    for (const int d : combs) {
        const double g = std::pow(10.0, -3.0 * d / (1.5 * rate));
        std::vector<double> line(d, 0.0);
        for (std::size_t i = 0; i < x.size(); ++i) {
            const double delayed = line[i % d];
            line[i % d] = x[i] + g * delayed;
            out[i] += delayed / static_cast<double>(combs.size());
        }
    }
    for (const int d : allPasses) {
        std::vector<double> line(d, 0.0);
        for (std::size_t i = 0; i < out.size(); ++i) {
            double& slot = line[i % d];
            const double delayed = slot;
            slot = out[i] + 0.5 * delayed;
            out[i] = delayed - 0.5 * slot;
        }
    }
    return out;
}

// A wide mix: a noise bed left of centre, a chord with vibrato right, plucked
// notes far left, each with a delay between the channels, and a reverb tail
// of their sum, other in each channel.
std::vector<float> WideMix(int rate, double seconds)
{
    std::mt19937 generator(19);
    std::normal_distribution<double> noise(0.0, 0.05);
    const auto frames = static_cast<std::size_t>(seconds * rate);
    std::vector<double> bed(frames);
    double state = 0.0;
    for (double& v : bed) {
        state = 0.6 * state + noise(generator);
        v = state;
    }
    std::vector<double> chord(frames, 0.0);
    constexpr double vibrato = 4.3;
    constexpr double depth = 0.003;
    int partial = 0;
    for (const auto& [f, a] : {std::pair{220.0, 0.1}, std::pair{330.0, 0.07}, std::pair{440.0, 0.05},
                               std::pair{660.0, 0.03}, std::pair{1320.0, 0.02}}) {
        for (std::size_t i = 0; i < frames; ++i) {
            const double t = static_cast<double>(i) / rate;
            chord[i] += a * std::sin(2.0 * pi * f * t -
                                     f * depth / vibrato * std::cos(2.0 * pi * vibrato * t + partial));
        }
        ++partial;
    }
    std::vector<double> plucks(frames, 0.0);
    const double notes[] = {523.25, 587.33, 659.25, 783.99, 880.0, 783.99, 659.25, 587.33};
    const auto length = static_cast<std::size_t>(0.4 * rate);
    for (std::size_t start = 0, n = 0; start < frames; start += length, ++n) {
        const double f = notes[n % std::size(notes)];
        for (std::size_t i = 0; i < length && start + i < frames; ++i) {
            const double t = static_cast<double>(i) / rate;
            const double level = std::min(1.0, t / 0.005) * std::exp(-4.0 * t);
            double v = 0.0;
            for (const auto& [k, a] :
                 {std::pair{1.0, 0.08}, std::pair{2.0, 0.04}, std::pair{3.0, 0.02}, std::pair{4.0, 0.01}}) {
                v += a * std::sin(2.0 * pi * f * k * t);
            }
            plucks[start + i] = level * v;
        }
    }
    std::vector<double> left(frames, 0.0);
    std::vector<double> right(frames, 0.0);
    Place(bed, -0.3, 5, left, right);
    Place(chord, 0.7, 10, left, right);
    Place(plucks, -0.75, -6, left, right);
    std::vector<double> sum(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        sum[i] = left[i] + right[i];
    }
    const std::vector<double> tails[] = {ReverbTail(sum, {1557, 1617, 1491, 1422}, {225, 556}, rate),
                                         ReverbTail(sum, {1277, 1356, 1188, 1116}, {341, 441}, rate)};
    std::vector<float> mix(2 * frames);
    for (std::size_t i = 0; i < frames; ++i) {
        mix[2 * i] = static_cast<float>(0.5 * (left[i] + 0.08 * tails[0][i]));
        mix[2 * i + 1] = static_cast<float>(0.5 * (right[i] + 0.08 * tails[1][i]));
    }
    return mix;
}

// Linked channels lock every bin to a peak of their summed magnitude. In the
// wide mix the noise bed's bins beside the chord's partials, locked to them,
// would follow the chord's phase and lose their own place: faster than the
// input and a fifth down, the coherence fell 0.012 below the input's.
TEST(LinkedChannelsTest, StereoMixKeepsItsCoherence)
{
    struct Setting {
        float speedPercent;
        float semitones;
        float formantSemitones;
    };
    struct Mix {
        const char* name;
        std::vector<float> (*make)(int rate, double seconds);
        double seconds;
        std::vector<int> rates;
        std::vector<Setting> settings;
    };
    const Mix mixes[] = {
        {"tones over a bed",
         StereoMix,
         3.0,
         {44100, 96000},
         {{50.0f, 0.0f, 0.0f}, {200.0f, -5.0f, 0.0f}, {100.0f, 3.0f, 0.0f}, {80.0f, 7.0f, 7.0f}}},
        {"wide", WideMix, 6.0, {44100}, {{50.0f, 0.0f, 0.0f}, {200.0f, -5.0f, 0.0f}, {100.0f, 3.0f, 0.0f}}},
    };
    for (const Mix& m : mixes) {
        for (const int rate : m.rates) {
            const std::vector<float> mix = m.make(rate, m.seconds);
            std::vector<float> left(mix.size() / 2);
            std::vector<float> right(mix.size() / 2);
            for (std::size_t i = 0; i < left.size(); ++i) {
                left[i] = mix[2 * i];
                right[i] = mix[2 * i + 1];
            }
            const double input = Coherence(left, right, rate);
            for (const Setting s : m.settings) {
                const std::vector<std::vector<float>> y =
                    StretchStream(mix, {rate, 2, 1, s.speedPercent, s.semitones, 0.0f, s.formantSemitones});
                const double output = Coherence(y[0], y[1], rate);
                std::printf("%s mix, coherence at %d Hz, %g%%, %+g, formants %+g: %.4f (input %.4f)\n",
                            m.name, rate, s.speedPercent, s.semitones, s.formantSemitones, output, input);
                EXPECT_NEAR(output, input, 0.01)
                    << m.name << ", " << rate << " Hz, " << s.speedPercent << "%, " << s.semitones;
            }
        }
    }
}

}  // namespace
}  // namespace kelvane
