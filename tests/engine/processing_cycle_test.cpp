// The processing cycle as a user hears it: unity reproduction, output
// lengths, pitch, formants, the bypass, freezing, flushing, a caller that
// never pulls, and random abuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "engine_instance.h"
#include "kelvane/engine.h"

namespace kelvane {
namespace {

constexpr double pi = std::numbers::pi;
// Sanitizer and unoptimised builds run the random test on less audio.
#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
constexpr double abuseSeconds = 6.0;
#else
constexpr double abuseSeconds = 60.0;
#endif

using Audio = std::vector<float>;  // interleaved

struct Engine {
    Engine(int rate, int channels, float speed = 100.0f, float semitones = 0.0f, float formant = 0.0f,
           int quality = 1)
        : channels(channels)
    {
        EXPECT_EQ(CreateInstance(&handle, rate, channels, quality), KELVANE_OK);
        call = handle->operations;
        call->SetSpeedPercent(handle, speed);
        call->SetPitchSemitones(handle, semitones);
        call->SetFormantSemitones(handle, formant);
        call->Reset(handle);
    }
    ~Engine() { DestroyInstance(&handle); }
    EngineInstance* operator->() const { return static_cast<EngineInstance*>(handle->instance); }
    int PullAll(Audio& out)
    {
        const int available = call->GetOutputAvailable(handle);
        out.resize(out.size() + static_cast<std::size_t>(available) * channels);
        EXPECT_EQ(call->PullOutput(handle, out.data() + out.size() - available * channels, available), 0);
        return available;
    }
    // Feeds `input` as an audio callback does (what the engine asks for, then
    // Process), pulling after every call; Flush at the end.
    Audio Stream(const Audio& input, bool flush = true)
    {
        Audio out;
        const int frames = static_cast<int>(input.size()) / channels;
        for (int position = 0; position < frames;) {
            const int count = std::min(std::max(call->GetInputRequired(handle), 1), frames - position);
            EXPECT_EQ(call->PushInput(handle, input.data() + position * channels, count, KELVANE_FORWARD), 0);
            position += count;
            call->Process(handle);
            PullAll(out);
        }
        if (flush) {
            call->Flush(handle);
            PullAll(out);
        }
        return out;
    }
    EngineInterface* handle = nullptr;
    const EngineOperations* call = nullptr;
    int channels;
};

// Sum over harmonics h of level(h f0) sin(2 pi h f0 t + phase), per channel,
// with a slow tremolo and a little noise: music-like enough for the bypass.
Audio Harmonics(int frames, int channels, int rate, double f0, double (*level)(double), int seed = 1)
{
    std::mt19937 generator(seed);
    std::normal_distribution<float> noise(0.0f, 0.002f);
    Audio x(static_cast<std::size_t>(frames) * channels);
    for (int i = 0; i < frames; ++i) {
        for (int ch = 0; ch < channels; ++ch) {
            double v = 0.0;
            for (int h = 1; h * f0 < 6000.0; ++h) {
                v += level(h * f0) * std::sin(2.0 * pi * h * f0 * i / rate + 0.7 * h * h + ch);
            }
            x[static_cast<std::size_t>(i) * channels + ch] =
                static_cast<float>(v * (0.8 + 0.2 * std::sin(2.0 * pi * 1.3 * i / rate))) + noise(generator);
        }
    }
    return x;
}

double Falling(double frequency)
{
    return 20.0 / frequency;
}

// Three fixed resonances: a vowel.
double Vowel(double frequency)
{
    double level = 0.0005;
    for (const auto& [centre, width] : {std::pair{700.0, 110.0}, {1220.0, 140.0}, {2600.0, 220.0}}) {
        level += 0.02 / (1.0 + std::pow((frequency - centre) / width, 2.0));
    }
    return level;
}

// Hann-windowed complex amplitude of `frequency` in mono x[begin, begin + 8192).
std::complex<double> Amplitude(const Audio& x, int begin, double frequency, int rate)
{
    const int length = 8192;
    std::complex<double> sum = 0.0;
    for (int i = 0; i < length; ++i) {
        const double w = 1.0 - std::cos(2.0 * pi * i / length);
        sum += w * x[begin + i] * std::polar(1.0, -2.0 * pi * frequency * (begin + i) / rate);
    }
    return 2.0 * sum / static_cast<double>(length);
}

// The frequency near `guess`, from how far its phase turns in 1024 frames.
double Frequency(const Audio& x, int begin, double guess, int rate)
{
    const double turn = std::arg(Amplitude(x, begin + 1024, guess, rate) / Amplitude(x, begin, guess, rate));
    return guess + turn * rate / (2.0 * pi * 1024.0);
}

double Cents(double measured, double expected)
{
    return 1200.0 * std::log2(measured / expected);
}

double SignalToErrorDb(const Audio& reference, const Audio& actual)
{
    double signal = 0.0;
    double error = 0.0;
    for (std::size_t i = 0; i < reference.size(); ++i) {
        signal += reference[i] * reference[i];
        error += (reference[i] - actual[i]) * (reference[i] - actual[i]);
    }
    return 10.0 * std::log10(signal / error);
}

TEST(ProcessingCycleTest, UnityGivesTheInputFromItsFirstFrame)
{
    struct Format {
        int rate, channels, quality;
    };
    for (const Format f : {Format{44100, 2, 1}, Format{48000, 1, 0}, Format{96000, 2, 1}}) {
        Engine engine(f.rate, f.channels, 100.0f, 0.0f, 0.0f, f.quality);
        const Audio input = Harmonics(2 * f.rate, f.channels, f.rate, 110.0, Falling);
        // Nothing comes out until the whole window is in.
        const int window = engine->frameLength;
        engine.call->PushInput(engine.handle, input.data(), window - 1, KELVANE_FORWARD);
        EXPECT_EQ(engine.call->Process(engine.handle), 0);
        Audio output = engine.Stream(Audio(input.begin() + (window - 1) * f.channels, input.end()), false);
        EXPECT_EQ(engine->bypassMix, 1.0f) << "the vocoder rests";
        engine.call->Flush(engine.handle);
        engine.PullAll(output);
        ASSERT_EQ(output.size(), input.size());
        EXPECT_NEAR(output[0], input[0], 1e-3f);
        const double snr = SignalToErrorDb(input, output);
        EXPECT_GE(snr, 40.0) << f.rate;
        std::printf("unity at %d Hz, quality %d: %.1f dB\n", f.rate, f.quality, snr);
    }
}

TEST(ProcessingCycleTest, OutputLengthIsTheInputLengthOverTheSpeed)
{
    const Audio input = Harmonics(22050, 1, 44100, 110.0, Falling);
    double worst = 0.0;
    for (const float speed : {25.0f, 50.0f, 100.0f, 150.0f, 200.0f, 400.0f}) {
        for (const float semitones : {-12.0f, 0.0f, 7.0f, 24.0f}) {
            Engine engine(44100, 1, speed, semitones);
            const double error = engine.Stream(input).size() - input.size() * 100.0 / speed;
            const double hopOfOutput = engine->hopLength / std::exp2(semitones / 12.0);
            EXPECT_LE(std::abs(error), hopOfOutput + 1.0) << speed << "% " << semitones;
            worst = std::max(worst, std::abs(error) / hopOfOutput);
            EXPECT_EQ(engine.call->Flush(engine.handle), 0) << "a second Flush adds nothing";
        }
    }
    std::printf("length error: at most %.2f of a synthesis hop of output\n", worst);
}

TEST(ProcessingCycleTest, ShiftedToneLandsWithinFiveCents)
{
    const Audio input = Harmonics(44100, 1, 44100, 220.0, Falling);
    double worst = 0.0;
    for (const float speed : {100.0f, 70.0f}) {
        for (const float semitones : {-12.0f, -5.0f, 3.0f, 12.0f}) {
            Engine engine(44100, 1, speed, semitones);
            const Audio output = engine.Stream(input);
            const double expected = 220.0 * std::exp2(semitones / 12.0);
            const double cents =
                Cents(Frequency(output, static_cast<int>(output.size()) / 3, expected, 44100), expected);
            EXPECT_LE(std::abs(cents), 5.0) << speed << "% " << semitones;
            worst = std::max(worst, std::abs(cents));
        }
    }
    std::printf("pitch error: at most %.3f cents\n", worst);
}

TEST(ProcessingCycleTest, FormantCorrectionKeepsTheVowelWhereItWas)
{
    // Distance in dB between the output's harmonic levels and the input's
    // envelope at the shifted harmonics, overall gain removed.
    const double f0 = 130.0;
    const double shifted = f0 * std::exp2(7.0 / 12.0);
    double distance[2];
    for (const bool corrected : {false, true}) {
        Engine engine(44100, 1, 100.0f, 7.0f, corrected ? 7.0f : 0.0f);
        const Audio output = engine.Stream(Harmonics(88200, 1, 44100, f0, Vowel));
        std::vector<double> difference;
        for (double f = shifted; f < 4000.0; f += shifted) {
            difference.push_back(20.0 * std::log10(std::abs(Amplitude(output, 40000, f, 44100)) / Vowel(f)));
        }
        double mean = 0.0, square = 0.0;
        for (const double d : difference) {
            mean += d / difference.size();
            square += d * d / difference.size();
        }
        distance[corrected] = std::sqrt(square - mean * mean);
    }
    std::printf("formant distance: %.2f dB corrected, %.2f dB uncorrected\n", distance[1], distance[0]);
    EXPECT_LT(distance[1], 0.5 * distance[0]);
    EXPECT_LT(distance[1], 4.0);
}

TEST(ProcessingCycleTest, SpeedEqualToPitchResamplesTheInput)
{
    Engine engine(44100, 2);
    engine.call->SetSpeedPercent(engine.handle, 150.0f);
    engine.call->SetPitchPercent(engine.handle, 150.0f);
    engine.call->Reset(engine.handle);
    const Audio input = Harmonics(88200, 2, 44100, 110.0, Falling);
    Audio output = engine.Stream(input, false);
    EXPECT_EQ(engine->bypassMix, 1.0f) << "the vocoder rests";
    engine.call->Flush(engine.handle);
    engine.PullAll(output);
    EXPECT_NEAR(output.size() / 2.0, input.size() / 3.0, 1.0);
    // The resampler also steps over the silent positions of the priming
    // hops: the first frame reads the input where its 1.5 grid lands first.
    const int priming = engine->frameLength - engine->hopLength;
    const double start = std::ceil(priming / 1.5) * 1.5 - priming;
    Audio expected;
    for (double position = start; position + 1.0 < input.size() / 2.0; position += 1.5) {
        const int u = static_cast<int>(position);
        const auto f = static_cast<float>(position - u);
        for (int ch = 0; ch < 2; ++ch) {
            expected.push_back(input[2 * u + ch] + f * (input[2 * u + 2 + ch] - input[2 * u + ch]));
        }
    }
    output.resize(expected.size());
    EXPECT_GE(SignalToErrorDb(expected, output), 40.0);
}

TEST(ProcessingCycleTest, FreezeHoldsASteadySoundAndLetsGo)
{
    // One second at normal speed, two held (frozen, or at a negative speed
    // that the setter applies), one at normal speed again, in 256-frame
    // callbacks; the sine's level and pitch hold, and the input flows again.
    for (const float held : {0.0f, -50.0f}) {
        Engine engine(44100, 1);
        Audio output(256);
        Audio block;
        long pushed = 0;
        for (int callback = 0; callback < 4 * 172; ++callback) {
            engine.call->SetSpeedPercent(engine.handle,
                                         callback >= 172 && callback < 3 * 172 ? held : 100.0f);
            for (int calls = 0; engine.call->GetOutputAvailable(engine.handle) < 256; ++calls) {
                ASSERT_LT(calls, 64) << "no output at callback " << callback;
                block.resize(engine.call->GetInputRequired(engine.handle));
                for (float& v : block) {
                    v = static_cast<float>(0.5 * std::sin(2.0 * pi * 440.0 * pushed++ / 44100.0));
                }
                engine.call->PushInput(engine.handle, block.data(), static_cast<int>(block.size()), 0);
                engine.call->Process(engine.handle);
            }
            engine.call->PullOutput(engine.handle, output.data() + output.size() - 256, 256);
            output.resize(output.size() + 256);
        }
        for (const int begin : {66150, 120000, 160000}) {  // held, held, flowing again
            EXPECT_NEAR(std::abs(Amplitude(output, begin, 440.0, 44100)), 0.5, 0.05) << held << " " << begin;
            EXPECT_LE(std::abs(Cents(Frequency(output, begin, 440.0, 44100), 440.0)), 5.0) << held;
        }
        EXPECT_NEAR(pushed, 2 * 44100, 2 * engine->frameLength) << held;
    }
}

TEST(ProcessingCycleTest, TheBypassFadesInOnlyOnceItHoldsWholeFrames)
{
    // A steady level shifted +3 (the bypass rests, nothing reads it), then
    // unshifted: whenever the bypass is heard, its finished hop must be the
    // input's level, the overlap of a whole frame's hops, never the part of
    // one that a resting accumulator has taken in since it woke.
    for (const int quality : {1, 0}) {
        Engine engine(44100, 1, 100.0f, 3.0f, 0.0f, quality);
        std::vector<float> block;
        Audio output;
        long pushed = 0;
        bool heard = false;
        for (int calls = 0; pushed < 3 * 44100; ++calls) {
            ASSERT_LT(calls, 4000);
            if (pushed >= 22050) {
                engine.call->SetPitchSemitones(engine.handle, 0.0f);
            }
            block.assign(std::max(engine.call->GetInputRequired(engine.handle), 256), 0.5f);
            engine.call->PushInput(engine.handle, block.data(), static_cast<int>(block.size()), KELVANE_FORWARD);
            pushed += static_cast<long>(block.size());
            engine.call->Process(engine.handle);
            engine.PullAll(output);
            if (engine->bypassMix > 0.0f) {
                heard = true;
                const float* finished = engine->bypassAccumulator[0];
                for (int i = 0; i < engine->hopLength; ++i) {
                    ASSERT_NEAR(finished[i], 0.5f, 1e-3f) << "quality " << quality << ", " << pushed << " pushed";
                }
            }
        }
        EXPECT_TRUE(heard) << quality;
        EXPECT_EQ(engine->bypassMix, 1.0f) << "the vocoder rests at last, quality " << quality;
        EXPECT_NEAR(output.back(), 0.5f, 1e-3f) << quality;
    }
}

TEST(ProcessingCycleTest, FrozenFromTheStartHoldsTheFirstFrames)
{
    // The priming analyses run in one synthesis hop while frozen: the window
    // must take in the input they consume, and their phase restarts must
    // take effect, or the held output is silent.
    Engine engine(44100, 1, 0.0f);
    Audio sine(engine->frameLength);
    for (std::size_t i = 0; i < sine.size(); ++i) {
        sine[i] = static_cast<float>(0.5 * std::sin(2.0 * pi * 440.0 * i / 44100.0));
    }
    Audio output;
    engine.call->PushInput(engine.handle, sine.data(), static_cast<int>(sine.size()), KELVANE_FORWARD);
    for (int call = 0; call < 60; ++call) {
        engine.call->Process(engine.handle);
        engine.PullAll(output);
    }
    ASSERT_GT(output.size(), 10000u);
    EXPECT_NEAR(std::abs(Amplitude(output, 1024, 440.0, 44100)), 0.5, 0.05);
}

TEST(ProcessingCycleTest, ACallerThatNeverPullsLosesNothing)
{
    const Audio input = Harmonics(3 * 44100, 2, 44100, 110.0, Falling);
    const int frames = static_cast<int>(input.size()) / 2;
    for (const float semitones : {0.0f, -24.0f}) {
        const Audio expected = Engine(44100, 2, 50.0f, semitones).Stream(input);
        // Process stops short of the ring's end, Flush too, and both take up
        // their work again once the caller has pulled.
        Engine engine(44100, 2, 50.0f, semitones);
        Audio output;
        int position = 0;
        int fullStops = 0;
        for (int round = 0; round < 1000; ++round) {
            while (position < frames) {
                const int count = std::min(engine.call->GetInputRequired(engine.handle), frames - position);
                if (engine.call->PushInput(engine.handle, input.data() + 2 * position, count, 0) !=
                    KELVANE_OK) {
                    break;  // the input ring is full
                }
                position += count;
                const int pending = engine->inputPending;
                ASSERT_LE(engine.call->Process(engine.handle), engine->ringLength);
                if (engine->inputPending == pending) {
                    ++fullStops;
                    break;
                }
            }
            if (position == frames) {
                engine.call->Flush(engine.handle);
            }
            if (engine.PullAll(output) == 0 && position == frames) {
                break;
            }
        }
        EXPECT_GT(fullStops, 0);
        EXPECT_TRUE(output == expected) << semitones;
    }
}

TEST(ProcessingCycleTest, FlushBringsEveryFrameOutAndAlwaysEnds)
{
    // Fewer frames than the window, at unity: exactly those come out.
    Engine unity(44100, 1);
    const Audio input = Harmonics(1000, 1, 44100, 110.0, Falling);
    unity.call->PushInput(unity.handle, input.data(), 1000, KELVANE_FORWARD);
    EXPECT_EQ(unity.call->Flush(unity.handle), 1000);
    Audio output;
    unity.PullAll(output);
    EXPECT_GE(SignalToErrorDb(input, output), 40.0);
    EXPECT_EQ(unity.call->Flush(unity.handle), 0);

    // A part at unity, then a part held or at the most extreme ratios: the
    // held part plays at normal speed, the others at theirs, and Flush ends.
    for (const auto& [speed, semitones] :
         {std::pair{0.0f, 0.0f}, {-100.0f, 5.0f}, {400.0f, -24.0f}, {25.0f, 24.0f}}) {
        Engine engine(44100, 1);
        const int part = 43 * engine->hopLength;  // a change inside a hop moves the length by up to a hop
        const Audio both = Harmonics(2 * part, 1, 44100, 110.0, Falling);
        Audio out;
        engine.call->PushInput(engine.handle, both.data(), part, KELVANE_FORWARD);
        engine.call->Process(engine.handle);
        engine.call->SetSpeedPercent(engine.handle, speed);
        engine.call->SetPitchSemitones(engine.handle, semitones);
        engine.call->PushInput(engine.handle, both.data() + part, part, KELVANE_FORWARD);
        engine.call->Flush(engine.handle);
        engine.PullAll(out);
        const double expected = part + part * 100.0 / (speed > 0.0f ? speed : 100.0f);
        // Within a hop of output, and the hop a freeze passes over.
        const double tolerance = engine->hopLength * (1.0 + std::exp2(-semitones / 12.0));
        EXPECT_NEAR(out.size(), expected, tolerance) << speed << "% " << semitones;
        EXPECT_EQ(engine.call->Flush(engine.handle), 0) << speed << "% " << semitones;
    }
}

#if defined(__SSE__)
// The engine flushes denormals while it works; a caller's thread that keeps
// them (a numeric program) must find them kept after Process and Flush, and
// one that flushes them must find them flushed.
TEST(ProcessingCycleTest, TheCallersFloatingPointModeSurvivesProcessAndFlush)
{
    constexpr unsigned flushToZeroBits = 0x8040;
    const unsigned original = _mm_getcsr();
    for (const unsigned mode : {0u, flushToZeroBits}) {
        _mm_setcsr((original & ~flushToZeroBits) | mode);
        Engine engine(44100, 2, 50.0f, 3.0f);
        const Audio input = Harmonics(3 * 4096, 2, 44100, 220.0, Falling);
        const Audio output = engine.Stream(input);
        EXPECT_GT(output.size(), input.size()) << "the engine ran";
        EXPECT_EQ(_mm_getcsr() & flushToZeroBits, mode);
        volatile float smallest = std::numeric_limits<float>::denorm_min();
        EXPECT_EQ(smallest * 1.0f != 0.0f, mode == 0u) << "denormals as the caller set them";
    }
    _mm_setcsr(original);
}
#endif

TEST(ProcessingCycleTest, RandomAbuseStaysFiniteAndBounded)
{
    for (const int rate : {44100, 96000}) {
        for (const int channels : {1, 2, 8}) {
            std::mt19937 generator(rate + channels);
            std::uniform_real_distribution<float> unit(0.0f, 1.0f);
            Engine engine(rate, channels);
            // Seconds in plus seconds out, so slow speeds do not stretch the test.
            const long budget = static_cast<long>(abuseSeconds * rate / channels);
            long done = 0;
            float peak = 0.0f;
            int kind = 0;
            double phase = 0.0;
            Audio block;
            Audio output(65536 * channels);
            while (done < budget) {
                if (unit(generator) < 0.05f) {
                    const float speed = unit(generator) < 0.1f ? 0.0f : 400.0f * unit(generator);
                    engine.call->SetSpeedPercent(engine.handle, unit(generator) < 0.02f ? -speed : speed);
                    engine.call->SetPitchSemitones(engine.handle, 48.0f * unit(generator) - 24.0f);
                    const float formant = unit(generator) < 0.5f ? 0.0f : 48.0f * unit(generator) - 24.0f;
                    engine.call->SetFormantSemitones(engine.handle, formant);
                    kind = static_cast<int>(4.0f * unit(generator));
                }
                if (unit(generator) < 0.002f) {
                    engine.call->Flush(engine.handle);
                }
                // A chirp, full-scale noise, a full-scale square wave or silence.
                const int frames = 1 + static_cast<int>(3000.0f * unit(generator));
                block.resize(static_cast<std::size_t>(frames) * channels);
                for (std::size_t i = 0; i < block.size(); ++i) {
                    phase += 2.0 * pi * (50.0 + std::fmod(0.05 * (done + i), 10000.0)) / rate / channels;
                    const float values[] = {static_cast<float>(std::sin(phase)),
                                            2.0f * unit(generator) - 1.0f,
                                            std::sin(phase) > 0.0 ? 1.0f : -1.0f, 0.0f};
                    block[i] = values[kind];
                }
                if (engine->inputPending + frames <= engine->ringLength) {
                    const int direction = static_cast<int>(4.0f * unit(generator));
                    ASSERT_EQ(engine.call->PushInput(engine.handle, block.data(), frames, direction), 0);
                    done += frames;
                }
                engine.call->Process(engine.handle);
                const int available = engine.call->GetOutputAvailable(engine.handle);
                if (unit(generator) < 0.9f) {  // sometimes the caller does not pull
                    engine.call->PullOutput(engine.handle, output.data(), available);
                    for (int i = 0; i < available * channels; ++i) {
                        ASSERT_TRUE(std::isfinite(output[i])) << rate << " Hz, " << channels;
                        peak = std::max(peak, std::abs(output[i]));
                    }
                    done += available;
                }
            }
            // Without formant shifts the peak stays below 4; shifting the
            // envelope of full-scale tones by up to two octaves lifts it more.
            EXPECT_LT(peak, 12.0f) << rate << " Hz, " << channels << " channels";
            std::printf("abuse at %d Hz, %d channels: peak %.2f\n", rate, channels, peak);
        }
    }
}

}  // namespace
}  // namespace kelvane
