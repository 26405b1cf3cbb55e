// The plug-ins as a host sees them: the latency they report, what they play
// for block sizes that change from call to call, a refused rate, activation,
// silence and freezing.
#include <gtest/gtest.h>
#include <lv2/log/log.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <random>
#include <string>

#include "kelvane/engine.h"
#include "plugin_host.h"

namespace kelvane::lv2::test {
namespace {

Planar Silence(int channels, std::size_t frames)
{
    return Planar(channels, std::vector<float>(frames, 0.0f));
}

// Partials and noise, different in each channel.
Planar Music(int channels, std::size_t frames, double rate, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
    Planar signal = Silence(channels, frames);
    for (int channel = 0; channel < channels; ++channel) {
        for (std::size_t frame = 0; frame < frames; ++frame) {
            const double time = static_cast<double>(frame) / rate;
            signal[channel][frame] = static_cast<float>(0.3 * std::sin(2 * M_PI * (220.0 + 110.0 * channel) * time) +
                                                        0.15 * std::sin(2 * M_PI * 1318.5 * time + channel)) +
                                     noise(random);
        }
    }
    return signal;
}

// Runs the whole input through in blocks of 1 to `largestBlock` frames,
// a different size each call.
void RunInRandomBlocks(PluginHost& host, const Planar& input, Planar& output, unsigned seed, int largestBlock = 8192)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> blockSize(1, largestBlock);
    const std::size_t frames = input[0].size();
    for (std::size_t done = 0; done < frames;) {
        const auto block = std::min<std::size_t>(blockSize(random), frames - done);
        host.Run(input, output, done, static_cast<std::uint32_t>(block));
        done += block;
    }
}

int EngineLatency(int rate)
{
    EngineInterface* engine = nullptr;
    if (CreateInstance(&engine, rate, 1, 1) != KELVANE_OK) {
        return -1;
    }
    const int latency = engine->operations->GetInputRequired(engine);
    DestroyInstance(&engine);
    return latency;
}

// The longest run of samples that are exactly zero in any channel from
// frame `from` on: a gap the plug-in filled because the engine's output was
// not there in time. Shifted music is never exactly zero for long.
std::size_t LongestGap(const Planar& signal, std::size_t from)
{
    std::size_t longest = 0;
    for (const auto& channel : signal) {
        std::size_t run = 0;
        for (std::size_t frame = from; frame < channel.size(); ++frame) {
            run = channel[frame] == 0.0f ? run + 1 : 0;
            longest = std::max(longest, run);
        }
    }
    return longest;
}

// The largest difference between the output and the input `delay` frames
// earlier, from frame `from` on.
float DelayError(const Planar& input, const Planar& output, int delay, std::size_t from)
{
    float largest = 0.0f;
    for (std::size_t channel = 0; channel < input.size(); ++channel) {
        for (std::size_t frame = std::max<std::size_t>(from, delay); frame < input[channel].size(); ++frame) {
            largest = std::max(largest, std::fabs(output[channel][frame] - input[channel][frame - delay]));
        }
    }
    return largest;
}

TEST(Lv2Host, ReportsTheEngineLatencyAndPlaysExactlyThatLateForAnyBlockSizes)
{
    struct Case {
        const char* variant;
        int rate;
        int largestBlock;
    };
    // Blocks beyond 8192 frames are run in pieces.
    for (const Case& each : {Case{"mono", 44100, 8192}, Case{"stereo", 44100, 8192}, Case{"stereo", 96000, 8192},
                             Case{"mono", 192000, 30000}}) {
        SCOPED_TRACE(std::string(each.variant) + " " + std::to_string(each.rate));
        PluginHost host(each.variant, each.rate);
        ASSERT_TRUE(host.Instantiated());
        host.Activate();
        const Planar input = Music(host.Channels(), 4 * each.rate, each.rate, 5);
        Planar output = Silence(host.Channels(), input[0].size());
        RunInRandomBlocks(host, input, output, 7, each.largestBlock);
        const int latency = static_cast<int>(host.Control("latency"));
        EXPECT_GE(latency, EngineLatency(each.rate));
        // Unshifted, the engine passes the input through unchanged but for
        // its gain ripple: the output is the input, exactly `latency` late.
        for (int channel = 0; channel < host.Channels(); ++channel) {
            for (int frame = 0; frame < latency; ++frame) {
                ASSERT_EQ(output[channel][frame], 0.0f) << frame;
            }
        }
        EXPECT_LT(DelayError(input, output, latency, 0), 2e-3f);

        // Two octaves down, where the engine holds back the most, the
        // output is there in time all the same: not a block goes silent.
        host.Deactivate();
        host.Activate();
        host.Control("pitch") = -24.0f;
        RunInRandomBlocks(host, input, output, 8, each.largestBlock);
        EXPECT_LT(LongestGap(output, latency), 4u);
    }
}

TEST(Lv2Host, PitchJumpsKeepTheOutputFlowingAndTheLatencyConstant)
{
    // Jumps across the whole range make the engine's output wander from
    // its input's pace; the plug-in keeps both the flow and the latency.
    const int rate = 44100;
    PluginHost host("stereo", rate);
    ASSERT_TRUE(host.Instantiated());
    host.Activate();
    const std::size_t jumping = 20 * rate;
    const Planar input = Music(2, jumping + 3 * rate, rate, 9);
    Planar output = Silence(2, input[0].size());
    std::mt19937 random(4);
    std::uniform_int_distribution<int> blockSize(1, 1024);
    std::uniform_real_distribution<float> semitones(-24.0f, 24.0f);
    for (std::size_t done = 0; done < input[0].size();) {
        const auto block = std::min<std::size_t>(blockSize(random), input[0].size() - done);
        const bool jump = done / 2000 != (done + block) / 2000;
        if (done >= jumping) {
            host.Control("pitch") = 0.0f;
        } else if (jump) {
            host.Control("pitch") = random() % 3 == 0 ? semitones(random) : (random() % 2 == 0 ? -24.0f : 24.0f);
        }
        host.Run(input, output, done, static_cast<std::uint32_t>(block));
        done += block;
    }
    const int latency = static_cast<int>(host.Control("latency"));
    EXPECT_LT(LongestGap(output, latency), 4u);
    // Back at pitch 0, exactly in time again.
    EXPECT_LT(DelayError(input, output, latency, jumping + 2 * rate), 2e-3f);
}

struct LogRecord {
    std::string text;
};

int RecordLog(LV2_Log_Handle handle, LV2_URID, const char* format, va_list arguments)
{
    char text[512];
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    static_cast<LogRecord*>(handle)->text += text;
    return length;
}

int RecordLogPrintf(LV2_Log_Handle handle, LV2_URID type, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int length = RecordLog(handle, type, format, arguments);
    va_end(arguments);
    return length;
}

TEST(Lv2Host, ARateTheEngineDoesNotTakeFailsInstantiateWithAMessageInTheHostsLog)
{
    LogRecord record;
    LV2_Log_Log log{&record, RecordLogPrintf, RecordLog};
    const LV2_Feature logFeature{LV2_LOG__log, &log};
    const LV2_Feature* features[] = {&logFeature, nullptr};
    for (const double rate : {22050.0, 200000.0, 44100.5}) {
        record.text.clear();
        PluginHost host("stereo", rate, features);
        EXPECT_FALSE(host.Instantiated()) << rate;
        EXPECT_NE(record.text.find("is outside 32000 to 196000 Hz"), std::string::npos) << record.text;
    }
    record.text.clear();
    PluginHost accepted("mono", 32000.0, features);
    EXPECT_TRUE(accepted.Instantiated());
    EXPECT_EQ(record.text, "");
}

bool HasSubnormal(const Planar& signal)
{
    for (const auto& channel : signal) {
        for (const float sample : channel) {
            if (std::fpclassify(sample) == FP_SUBNORMAL) {
                return true;
            }
        }
    }
    return false;
}

TEST(Lv2Host, ActivationForgetsOldAudioAndSilenceComesOutAsSilence)
{
    const int rate = 44100;
    PluginHost host("stereo", rate);
    ASSERT_TRUE(host.Instantiated());
    host.Activate();
    host.Control("pitch") = 5.0f;
    host.Control("preserve_formants") = 1.0f;
    // A signal fading out far into the subnormal range.
    Planar fading = Music(2, rate, rate, 3);
    for (auto& channel : fading) {
        for (std::size_t frame = 0; frame < channel.size(); ++frame) {
            channel[frame] *= static_cast<float>(std::exp(-0.002 * static_cast<double>(frame)));
        }
    }
    Planar output = Silence(2, fading[0].size());
    RunInRandomBlocks(host, fading, output, 11, 1024);
    EXPECT_FALSE(HasSubnormal(output));
    // Loud audio, then a transport restart: none of it may come back.
    const Planar loud = Music(2, rate, rate, 4);
    RunInRandomBlocks(host, loud, output, 12, 1024);
    host.Deactivate();
    host.Activate();
    const Planar silence = Silence(2, 2 * rate);
    output = Silence(2, silence[0].size());
    for (auto& channel : output) {
        std::fill(channel.begin(), channel.end(), 1.0f);
    }
    RunInRandomBlocks(host, silence, output, 13, 1024);
    EXPECT_EQ(DelayError(silence, output, 0, 0), 0.0f);
}

float Rms(const std::vector<float>& signal, std::size_t from, std::size_t frames)
{
    double sum = 0.0;
    for (std::size_t frame = from; frame < from + frames; ++frame) {
        sum += static_cast<double>(signal[frame]) * signal[frame];
    }
    return static_cast<float>(std::sqrt(sum / static_cast<double>(frames)));
}

TEST(Lv2Host, FreezeHoldsTheSoundThenReturnsToTheLiveInputAtTheSameLatency)
{
    const int rate = 44100;
    const int block = 256;
    PluginHost host("stereo", rate);
    ASSERT_TRUE(host.Instantiated());
    host.Activate();
    // Hosts learn the latency from a run of no frames.
    Planar none = Silence(2, 0);
    host.Run(none, none, 0, 0);
    const int latency = static_cast<int>(host.Control("latency"));
    ASSERT_GE(latency, EngineLatency(rate));
    // Music for a second; frozen for two seconds while the input goes
    // silent; released for two seconds of music again.
    const std::size_t freezeAt = rate / block * block;
    const std::size_t releaseAt = freezeAt + 2 * freezeAt;
    Planar input = Music(2, releaseAt + 2 * rate, rate, 8);
    for (auto& channel : input) {
        std::fill(channel.begin() + freezeAt, channel.begin() + releaseAt, 0.0f);
    }
    Planar output = Silence(2, input[0].size());
    for (std::size_t done = 0; done < input[0].size(); done += block) {
        host.Control("freeze") = done >= freezeAt && done < releaseAt ? 1.0f : 0.0f;
        host.Run(input, output, done, static_cast<std::uint32_t>(std::min<std::size_t>(block, input[0].size() - done)));
    }
    const float playing = Rms(output[0], freezeAt - rate / 2, rate / 2);
    ASSERT_GT(playing, 0.1f);
    // Frozen from the frame stamped first (a latency after the switch) to
    // the release: every block still sounds.
    for (std::size_t frame = freezeAt + latency; frame + block <= releaseAt; frame += block) {
        ASSERT_GT(Rms(output[0], frame, block), 0.3f * playing) << frame;
    }
    // After the release's fade, the output is the live input, a latency late.
    const std::size_t fadeEnd = releaseAt + rate / 100;
    EXPECT_LT(DelayError(input, output, latency, fadeEnd), 2e-3f);
}

TEST(Lv2Host, PitchMovedEveryBlockGlidesWithoutClicks)
{
    // A sine's output moves at most 2 pi f / rate times its amplitude from
    // one sample to the next; a click is a larger step. Moves: a sweep over
    // the whole range in small steps, and jumps of up to two octaves.
    const int rate = 44100;
    const int block = 64;
    const double frequency = 220.0;
    for (const bool jumps : {false, true}) {
        SCOPED_TRACE(jumps ? "jumps" : "sweep");
        PluginHost host("mono", rate);
        ASSERT_TRUE(host.Instantiated());
        host.Activate();
        const std::size_t frames = 6 * rate / block * block;
        Planar input = Silence(1, frames);
        for (std::size_t frame = 0; frame < frames; ++frame) {
            input[0][frame] = static_cast<float>(0.5 * std::sin(2 * M_PI * frequency * frame / rate));
        }
        Planar output = Silence(1, frames);
        std::mt19937 random(3);
        std::uniform_real_distribution<float> semitones(-24.0f, 24.0f);
        for (std::size_t done = 0; done < frames; done += block) {
            const float sweep = -24.0f + 48.0f * static_cast<float>(done) / static_cast<float>(frames);
            host.Control("pitch") = jumps ? (done / block % 200 == 0 ? semitones(random) : host.Control("pitch")) : sweep;
            host.Run(input, output, done, block);
        }
        float largestStep = 0.0f;
        for (std::size_t frame = rate / 2; frame + 1 < frames; ++frame) {
            largestStep = std::max(largestStep, std::fabs(output[0][frame + 1] - output[0][frame]));
        }
        // Four times the pitch, a margin for a partial's level swelling as
        // the phases realign.
        const float allowed = static_cast<float>(2 * M_PI * 4 * frequency / rate * 0.5 * 1.5);
        EXPECT_LT(largestStep, allowed);
    }
}

}  // namespace
}  // namespace kelvane::lv2::test
