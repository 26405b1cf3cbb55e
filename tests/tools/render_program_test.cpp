// kelvane-render run as a user runs it, on sound files the tests generate:
// what comes out, how long, at what pitch, and what it refuses and how.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include <sndfile.h>

#include "render/render_loop.h"
#include "render_test_support.h"

namespace kelvane::render {
namespace {

using sound_files::DescribeSampleFormat;
using sound_files::SampleFormat;
using test::ProgramRun;
using test::RunRender;
using test::Sound;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// At unity the bypass carries the audio: an overlap-add of Hann windows
// whose period is one sample longer than their hop pattern, so its gain
// ripples by a few parts in ten thousand around 1. In the first frames the
// vocoder is still mixed in by a hair while the bypass settles.
constexpr double kUnityRipple = 1e-3;
constexpr double kUnitySettling = 2e-5;

class RenderProgram : public ::testing::Test {
protected:
    std::string In(const std::string& name = "in.wav") const { return folder.Path(name); }
    std::string Out(const std::string& name = "out.wav") const { return folder.Path(name); }

    // Renders `input` with `options`, expecting success.
    Sound Render(const Sound& input, SampleFormat inputFormat, std::vector<std::string> options)
    {
        test::WriteWave(In(), input, inputFormat);
        options.insert(options.end(), {"--quiet", In(), Out()});
        ProgramRun run = RunRender(options);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        return test::ReadSound(Out());
    }

    // Largest |output - expected| beyond `allowed` + `relative` x |expected|.
    static double WorstExcess(const std::vector<float>& output, const std::vector<float>& expected,
                              double allowed, double relative)
    {
        double worst = output.size() == expected.size() ? 0.0 : 1.0;
        for (std::size_t i = 0; i < std::min(output.size(), expected.size()); ++i) {
            worst = std::max(
                worst, std::fabs(output[i] - expected[i]) - allowed - relative * std::fabs(expected[i]));
        }
        return worst;
    }

    test::ScratchFolder folder;
};

TEST_F(RenderProgram, AtUnityTheOutputIsTheInputWithinOneStepAtSixteenAndTwentyFourBits)
{
    for (SampleFormat format : {SampleFormat::Pcm16, SampleFormat::Pcm24}) {
        Sound input = test::Music(44100, 2, 0.5, 11);
        input.samples = test::OnGrid(input.samples, format);
        // The float output shows the engine's own error, the PCM output what
        // writing it adds: rounding, never more than half a step.
        Sound exact = Render(input, format, {"--bits", "32f"});
        Sound output = Render(input, format, {});
        const double lsb = format == SampleFormat::Pcm16 ? 1.0 / 32768 : 1.0 / 8388608;
        EXPECT_EQ(output.libraryFormat, test::WaveFormat(format)) << "the input's depth by default";
        EXPECT_EQ(output.sampleRate, 44100);
        EXPECT_EQ(output.channels, 2);
        ASSERT_EQ(output.Frames(), input.Frames());
        EXPECT_LE(WorstExcess(exact.samples, input.samples, kUnitySettling, kUnityRipple), 0.0);
        EXPECT_LE(WorstExcess(output.samples, exact.samples, 0.5 * lsb, 0.0), 0.0)
            << DescribeSampleFormat(format);
        EXPECT_LE(WorstExcess(output.samples, input.samples, lsb + kUnitySettling, kUnityRipple), 0.0);
    }
}

TEST_F(RenderProgram, EightBitInputIsWrittenAsSixteenBits)
{
    // 8-bit samples are n / 128: exact in 16 bits, which is what they get.
    Sound input = test::Music(44100, 1, 0.3, 5);
    for (float& sample : input.samples) {
        sample = std::round(sample * 100.0f) / 128.0f;
    }
    test::WriteSound(In("eight.wav"), input, SF_FORMAT_WAV | SF_FORMAT_PCM_U8);
    ProgramRun run = RunRender({"--quiet", In("eight.wav"), Out()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    Sound widened = test::ReadSound(Out());
    EXPECT_EQ(widened.libraryFormat, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    ASSERT_EQ(widened.Frames(), input.Frames());
    EXPECT_LE(WorstExcess(widened.samples, input.samples, 1.0 / 32768 + kUnitySettling, kUnityRipple), 0.0);
}

TEST_F(RenderProgram, EachFormatInAndOutKeepsTheRateChannelsAndDepth)
{
    struct Case {
        std::string input;
        int inputFormat;
        int sampleRate;
        int channels;
        std::string output;
        std::vector<std::string> options;
        int outputFormat;
        double step;  // the output's step, for a comparison at unity; 0 for lossy input
    };
    const int mp3 = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    const std::vector<Case> cases = {
        {"in.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 48000, 2, "out.flac", {}, SF_FORMAT_FLAC | SF_FORMAT_PCM_24,
         1.0 / 8388608},
        {"in.mp3", mp3, 44100, 2, "out.wav", {}, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0.0},
        {"in.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 32000, 1, "out.wav", {}, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1e-9},
        {"in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 44100, 2, "out.aiff", {}, SF_FORMAT_AIFF | SF_FORMAT_FLOAT, 1e-9},
        {"in.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 44100, 1, "out.w64", {"--bits", "24"},
         SF_FORMAT_W64 | SF_FORMAT_PCM_24, 1.0 / 8388608},
        {"in.w64", SF_FORMAT_W64 | SF_FORMAT_FLOAT, 96000, 8, "out.flac", {}, SF_FORMAT_FLAC | SF_FORMAT_PCM_24,
         1.0 / 8388608},
        {"in.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 2, "out.ogg", {}, SF_FORMAT_OGG | SF_FORMAT_VORBIS, 0.0},
        {"in.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000, 1, "out.tmp", {"--format", "flac"},
         SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input + " -> " + c.output);
        // Quiet enough that no lossy decode passes full scale.
        Sound input = test::Music(c.sampleRate, c.channels, 0.3, 17);
        for (float& sample : input.samples) {
            sample *= 0.5f;
        }
        input.samples = test::OnGrid(input.samples, SampleFormat::Pcm16);
        test::WriteSound(In(c.input), input, c.inputFormat);
        std::vector<std::string> command = c.options;
        command.insert(command.end(), {In(c.input), Out(c.output)});
        ProgramRun run = RunRender(command);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_THAT(run.err, IsEmpty()) << "nothing clipped";
        const Sound output = test::ReadSound(Out(c.output));
        EXPECT_EQ(output.libraryFormat, c.outputFormat);
        EXPECT_EQ(output.sampleRate, c.sampleRate);
        EXPECT_EQ(output.channels, c.channels);
        EXPECT_EQ(output.Frames(), input.Frames());
        if (c.step > 0.0) {
            EXPECT_LE(WorstExcess(output.samples, input.samples, c.step + kUnitySettling, kUnityRipple), 0.0);
        }
        std::filesystem::remove(In(c.input));
        std::filesystem::remove(Out(c.output));
    }
    EXPECT_THAT(folder.Names(), IsEmpty()) << "no temporary file left";
}

TEST_F(RenderProgram, ReverseReadsALongCompressedFileBackwardsWindowByWindow)
{
    // Longer than one reverse window, so blocks come from several seeks; an
    // MP3 decoder must settle after each of them.
    Sound input = test::Music(44100, 2, 3.5, 13);
    input.samples = test::OnGrid(input.samples, SampleFormat::Pcm16);
    for (auto [name, format] : {std::pair<std::string, int>{"in.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                                {"in.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III}}) {
        SCOPED_TRACE(name);
        test::WriteSound(In(name), input, format);
        const Sound decoded = test::ReadSound(In(name));
        ProgramRun run = RunRender({"--quiet", "--reverse", "--bits", "32f", In(name), Out()});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const Sound output = test::ReadSound(Out());
        ASSERT_EQ(output.Frames(), decoded.Frames());
        std::vector<float> backwards;
        for (std::int64_t frame = decoded.Frames() - 1; frame >= 0; --frame) {
            backwards.push_back(decoded.samples[frame * 2]);
            backwards.push_back(decoded.samples[frame * 2 + 1]);
        }
        EXPECT_LE(WorstExcess(output.samples, backwards, kUnitySettling, kUnityRipple), 0.0);
    }
}

TEST_F(RenderProgram, ReverseAtUnityGivesTheInputBackwards)
{
    Sound input = test::Music(44100, 2, 0.4, 3);
    input.samples = test::OnGrid(input.samples, SampleFormat::Pcm16);
    Sound output = Render(input, SampleFormat::Pcm16, {"--reverse"});
    ASSERT_EQ(output.Frames(), input.Frames());
    std::vector<float> backwards;
    for (std::int64_t frame = input.Frames() - 1; frame >= 0; --frame) {
        backwards.push_back(input.samples[frame * 2]);
        backwards.push_back(input.samples[frame * 2 + 1]);
    }
    EXPECT_LE(WorstExcess(output.samples, backwards, 1.0 / 32768 + kUnitySettling, kUnityRipple), 0.0);
}

// A tone burst in the middle of silence: the output must be input / speed
// frames long, and the burst must sit where the input's burst lands at that
// speed, so neither the start nor the end has slipped.
struct SpeedCase {
    double speedPercent;
    double pitchSemitones;
    int quality;
};

class RenderSpeed : public RenderProgram, public ::testing::WithParamInterface<SpeedCase> {};

// The first and last 256-frame windows whose RMS is above half the burst's.
std::pair<std::int64_t, std::int64_t> BurstEdges(const Sound& sound, double burstRms)
{
    constexpr std::int64_t window = 256;
    std::int64_t first = -1;
    std::int64_t last = -1;
    for (std::int64_t at = 0; at + window <= sound.Frames(); at += window / 4) {
        if (test::Rms(sound, 0, at, window) > 0.5 * burstRms) {
            if (first < 0) {
                first = at + window / 2;
            }
            last = at + window / 2;
        }
    }
    return {first, last};
}

TEST_P(RenderSpeed, LengthIsInputOverSpeedAndTheBurstStaysInPlace)
{
    const SpeedCase c = GetParam();
    const int rate = 44100;
    Sound input = test::Tone(rate, 1, 500.0, 1.0, 0.5);
    const std::int64_t frames = input.Frames();
    for (std::int64_t i = 0; i < frames; ++i) {
        if (i < frames / 4 || i >= 3 * frames / 4) {
            input.samples[i] = 0.0f;
        }
    }
    char speed[32];
    char pitch[32];
    std::snprintf(speed, sizeof speed, "%g", c.speedPercent);
    std::snprintf(pitch, sizeof pitch, "%g", c.pitchSemitones);
    Sound output = Render(input, SampleFormat::Pcm16,
                          {"--speed", speed, "--pitch", pitch, "--quality", std::to_string(c.quality)});

    const double scale = 100.0 / c.speedPercent;
    EXPECT_EQ(output.Frames(), static_cast<std::int64_t>(ExpectedOutputFrames(frames, c.speedPercent)));
    auto [start, end] = BurstEdges(output, 0.5 / std::sqrt(2.0));
    // The vocoder smears an edge over its 2N window (2048 frames here) and
    // places it up to a few hops from where the bypass would; both are
    // counted before the resampler, which stretches them by 1 / pitch.
    const double tolerance = (2048 + 2 * 256) / std::pow(2.0, c.pitchSemitones / 12.0);
    EXPECT_NEAR(start, frames / 4 * scale, tolerance);
    EXPECT_NEAR(end, 3 * frames / 4 * scale, tolerance);
}

INSTANTIATE_TEST_SUITE_P(Speeds, RenderSpeed,
                         ::testing::Values(SpeedCase{25, 0, 1}, SpeedCase{50, 0, 1}, SpeedCase{100, 5, 1},
                                           SpeedCase{150, 0, 0}, SpeedCase{200, -5, 1}, SpeedCase{400, 0, 1},
                                           SpeedCase{400, -24, 0}));

TEST_F(RenderProgram, PitchMovesAToneByTheSemitonesAsked)
{
    struct Case {
        std::vector<std::string> options;
        double expectedFrequency;
        double lengthScale;
    };
    const std::vector<Case> cases = {
        {{"--pitch", "12"}, 880.0, 1.0},
        {{"--pitch", "12", "--preserve-formants"}, 880.0, 1.0},
        {{"--pitch", "-12", "--speed", "150"}, 220.0, 2.0 / 3.0},
        {{"--pitch", "7", "--quality", "0", "--formant", "-3"}, 440.0 * std::pow(2.0, 7.0 / 12.0), 1.0},
    };
    Sound input = test::Tone(44100, 1, 440.0, 1.0, 0.5);
    for (const Case& c : cases) {
        Sound output = Render(input, SampleFormat::Pcm16, c.options);
        const std::int64_t frames = output.Frames();
        EXPECT_EQ(frames, std::llround(input.Frames() * c.lengthScale)) << c.options[1];
        double frequency = test::DominantFrequency(output, 0, frames / 4, frames / 2);
        EXPECT_NEAR(frequency, c.expectedFrequency, c.expectedFrequency * 0.005) << c.options[1];
    }
}

TEST_F(RenderProgram, SamplesBeyondFullScaleAreClippedAndReported)
{
    Sound input = test::Tone(44100, 1, 300.0, 0.5, 1.0);
    for (float& sample : input.samples) {
        sample = sample >= 0.0f ? 32767.0f / 32768 : -1.0f;  // a full-scale square wave
    }
    test::WriteWave(In(), input, SampleFormat::Pcm16);
    ProgramRun run = RunRender({"--quiet", "--pitch", "5", In(), Out()});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_THAT(run.err, HasSubstr("samples clipped to fit 16-bit PCM"));

    ProgramRun asFloat = RunRender({"--quiet", "--pitch", "5", "--bits", "32f", In(), Out()});
    EXPECT_EQ(asFloat.exitCode, 0);
    EXPECT_THAT(asFloat.err, IsEmpty());
}

TEST_F(RenderProgram, UsageErrorsExitWithOneBeforeReadingOrWritingHelpAndVersionWithZero)
{
    // The input does not exist: reaching it would give exit status 2.
    const std::vector<std::vector<std::string>> commands = {
        {"--speed", "500"}, {"--speed", "0"},
        {"--pitch", "25"},  {"--formant", "-30"},
        {"--quality", "2"}, {"--bits", "8"},
        {"--bogus"},        {"--formant", "1", "--preserve-formants"},
        {"--pitch", "x"},   {"--speed=-4", "--quiet"},
    };
    for (std::vector<std::string> command : commands) {
        const std::string option = command[0];
        command.insert(command.end(), {In("missing.wav"), Out()});
        ProgramRun run = RunRender(command);
        EXPECT_EQ(run.exitCode, 1) << option;
        EXPECT_THAT(run.err, HasSubstr(option.substr(0, option.find('=')))) << option;
        EXPECT_THAT(run.err, HasSubstr("Try 'kelvane-render --help'")) << option;
    }
    ProgramRun oneFile = RunRender({In("missing.wav")});
    EXPECT_EQ(oneFile.exitCode, 1);
    EXPECT_THAT(folder.Names(), IsEmpty());

    ProgramRun help = RunRender({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_THAT(help.out, HasSubstr("Usage: kelvane-render [options] INPUT OUTPUT"));
    EXPECT_THAT(help.out, HasSubstr("kelvane-render [options] INPUT... -o FOLDER"));
    ProgramRun version = RunRender({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "kelvane-render 5.6.1\n");
}

TEST_F(RenderProgram, RefusedInputsExitWithTwoNameTheLimitAndLeaveNothingBehind)
{
    Sound tone = test::Tone(44100, 1, 440.0, 0.05, 0.5);
    tone.sampleRate = 31999;
    test::WriteWave(In("slow.wav"), tone, SampleFormat::Pcm16);
    tone.sampleRate = 200000;
    test::WriteSound(In("fast.flac"), tone, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    Sound nine = test::Tone(44100, 9, 440.0, 0.05, 0.5);
    test::WriteWave(In("nine.wav"), nine, SampleFormat::Pcm16);
    test::WriteWave(In("empty.wav"), Sound{}, SampleFormat::Pcm16);
    std::ofstream(In("text.wav")) << "not a sound file at all";
    // A FLAC file cut off part way: its header still promises every frame.
    test::WriteSound(In("whole.flac"), test::Music(44100, 2, 1.0, 4), SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    std::vector<std::uint8_t> flac = test::ReadBytes(In("whole.flac"));
    std::ofstream(In("cut.flac"), std::ios::binary)
        .write(reinterpret_cast<const char*>(flac.data()), static_cast<std::streamsize>(flac.size() / 2));
    std::filesystem::remove(In("whole.flac"));

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"missing.wav", ": cannot open: No such file or directory"},
        {"text.wav", ": not a sound file that can be read (Format not recognised)"},
        {"empty.wav", ": holds no audio"},
        {"slow.wav", ": sample rate 31999 Hz is outside 32000 to 196000 Hz"},
        {"fast.flac", ": sample rate 200000 Hz is outside 32000 to 196000 Hz"},
        {"nine.wav", ": 9 channels: at most 8 can be processed"},
        {"cut.flac", ": the file ends after "},
    };
    for (const std::string& output : {Out(), Out("out.flac")}) {
        std::ofstream(output) << "an earlier result";
        for (const auto& [name, message] : cases) {
            ProgramRun run = RunRender({In(name), output});
            EXPECT_EQ(run.exitCode, 2) << name;
            EXPECT_THAT(run.err, ::testing::StartsWith("kelvane-render: " + In(name) + message)) << name;
            EXPECT_THAT(run.out, IsEmpty()) << name;
            std::ifstream earlier(output);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(earlier), {}), "an earlier result") << name;
        }
    }
    EXPECT_THAT(RunRender({In("cut.flac"), Out()}).err, HasSubstr("frames (flac decoder lost sync): it is truncated or damaged"));
    EXPECT_THAT(folder.Names(), ElementsAre("cut.flac", "empty.wav", "fast.flac", "nine.wav", "out.flac", "out.wav",
                                            "slow.wav", "text.wav"));
}

TEST_F(RenderProgram, UnwritableOutputsExitWithThreeAndLeaveNothingBehind)
{
    test::WriteWave(In(), test::Tone(44100, 1, 440.0, 0.2, 0.5), SampleFormat::Pcm16);
    std::ofstream(folder.Path("plain")) << "a file, not a folder";
    ASSERT_EQ(::mkdir(folder.Path("taken.wav").c_str(), 0755), 0);
    for (const std::string& output :
         {folder.Path("missing/out.wav"), folder.Path("plain/out.wav"), folder.Path("taken.wav")}) {
        ProgramRun run = RunRender({In(), output});
        EXPECT_EQ(run.exitCode, 3) << output;
        EXPECT_THAT(run.err, HasSubstr("cannot write " + output)) << output;
    }
    EXPECT_THAT(folder.Names(), ElementsAre("in.wav", "plain", "taken.wav"));
    EXPECT_TRUE(std::filesystem::is_empty(folder.Path("taken.wav")));
}

TEST_F(RenderProgram, SummaryOnOutputProgressOnlyOnATerminalAndQuietSilencesBoth)
{
    test::WriteWave(In(), test::Tone(44100, 2, 440.0, 0.5, 0.5), SampleFormat::Pcm16);

    ProgramRun plain = RunRender({"--speed", "50", In(), Out()});
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    EXPECT_THAT(plain.out, HasSubstr("22050 frames in, 44100 frames out, WAV, 16-bit PCM, "));
    EXPECT_THAT(plain.out, HasSubstr("x real time\n"));
    EXPECT_THAT(plain.err, IsEmpty()) << "no progress bar when the error stream is a file";

    ProgramRun onTerminal = test::RunRenderOnTerminal({"--speed", "50", In(), Out()});
    ASSERT_EQ(onTerminal.exitCode, 0) << onTerminal.err;
    EXPECT_THAT(onTerminal.err, HasSubstr("elapsed"));
    EXPECT_THAT(onTerminal.err, HasSubstr("%"));
    EXPECT_THAT(onTerminal.err, HasSubstr("\r\033[K")) << "the bar is erased at the end";
    EXPECT_THAT(onTerminal.out, HasSubstr("frames out"));

    ProgramRun quiet = test::RunRenderOnTerminal({"--quiet", In(), Out()});
    ASSERT_EQ(quiet.exitCode, 0);
    EXPECT_THAT(quiet.err, IsEmpty());
    EXPECT_THAT(quiet.out, IsEmpty());
}

TEST_F(RenderProgram, AnInterruptLeavesNoPartialOutputAndTheOldFileIntact)
{
    // Long enough to be caught in the middle: 30 s out of 1.5 s in.
    test::WriteWave(In(), test::Music(44100, 2, 1.5, 9), SampleFormat::Pcm16);
    std::ofstream(Out()) << "an earlier result";
    pid_t child = test::StartRender({"--speed", "5", In(), Out()});
    ASSERT_GT(child, 0);

    // Wait for the temporary file beside the output, then interrupt.
    bool started = false;
    for (int tries = 0; tries < 2000 && !started; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        started = folder.Names().size() > 2;
    }
    EXPECT_TRUE(started) << "no temporary file appeared";
    ::kill(child, SIGINT);
    ProgramRun run = test::WaitFor(child);

    EXPECT_EQ(run.signal, SIGINT) << "exit status " << run.exitCode;
    EXPECT_THAT(folder.Names(), ElementsAre("in.wav", "out.wav"));
    std::ifstream earlier(Out());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(earlier), {}), "an earlier result");
}

}  // namespace
}  // namespace kelvane::render
