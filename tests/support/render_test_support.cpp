#include "render_test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <sndfile.h>

extern char** environ;

namespace kelvane::render::test {

namespace fs = std::filesystem;

namespace {

constexpr double kPi = 3.14159265358979323846;

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<char*> ArgumentVector(std::vector<std::string>& all)
{
    std::vector<char*> pointers;
    for (std::string& argument : all) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Spawns the program with stdin from /dev/null, stdout to `outPath` and
// stderr to `errPath`, or to `errDescriptor` when that is not -1.
pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments, const std::string& outPath,
            const std::string& errPath, int errDescriptor, const std::vector<std::string>& environment = {})
{
    std::vector<std::string> all{program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv = ArgumentVector(all);
    // The inherited environment, with the settings given in place of any of
    // the same name.
    std::vector<std::string> settings = environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string inherited = *entry;
        const std::string name = inherited.substr(0, inherited.find('=') + 1);
        if (std::none_of(environment.begin(), environment.end(),
                         [&](const std::string& given) { return given.rfind(name, 0) == 0; })) {
            settings.push_back(inherited);
        }
    }
    std::vector<char*> envp = ArgumentVector(settings);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (errDescriptor >= 0) {
        posix_spawn_file_actions_adddup2(&actions, errDescriptor, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    pid_t child = -1;
    int failed = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(failed, 0) << "cannot start " << argv[0];
    return failed == 0 ? child : -1;
}

ProgramRun Reap(pid_t child)
{
    ProgramRun run;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        run.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        run.signal = WTERMSIG(status);
    }
    return run;
}

}  // namespace

ScratchFolder::ScratchFolder()
{
    std::string pattern = (fs::temp_directory_path() / "kelvane-render-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "cannot make a scratch folder: " << std::strerror(errno);
    }
    root = pattern;
}

ScratchFolder::~ScratchFolder()
{
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

std::vector<std::string> ScratchFolder::Names() const
{
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(root)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<float> OnGrid(std::vector<float> samples, SampleFormat format)
{
    if (format == SampleFormat::Float32) {
        return samples;
    }
    const float scale = format == SampleFormat::Pcm16 ? 32768.0f : 8388608.0f;
    for (float& sample : samples) {
        sample = std::min(std::nearbyint(sample * scale), scale - 1.0f) / scale;
    }
    return samples;
}

int WaveFormat(SampleFormat format)
{
    switch (format) {
        case SampleFormat::Pcm16:
            return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        case SampleFormat::Pcm24:
            return SF_FORMAT_WAV | SF_FORMAT_PCM_24;
        case SampleFormat::Float32:
            return SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    }
    return 0;
}

void WriteSound(const std::string& path, const Sound& sound, int libraryFormat)
{
    SF_INFO info = {};
    info.samplerate = sound.sampleRate;
    info.channels = sound.channels;
    info.format = libraryFormat;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    // Integer files get exactly the steps the samples sit on (libsndfile's
    // own float conversion scales by 2^(bits - 1) - 1).
    const int subtype = libraryFormat & SF_FORMAT_SUBMASK;
    const bool integers = subtype == SF_FORMAT_PCM_16 || subtype == SF_FORMAT_PCM_24 ||
                          subtype == SF_FORMAT_PCM_32 || subtype == SF_FORMAT_PCM_U8 || subtype == SF_FORMAT_PCM_S8;
    sf_count_t written;
    if (integers) {
        std::vector<int> whole(sound.samples.size());
        for (std::size_t i = 0; i < whole.size(); ++i) {
            const double scaled = std::nearbyint(static_cast<double>(sound.samples[i]) * 2147483648.0);
            whole[i] = static_cast<int>(std::clamp(scaled, -2147483648.0, 2147483647.0));
        }
        written = sf_writef_int(file, whole.data(), sound.Frames());
    } else {
        written = sf_writef_float(file, sound.samples.data(), sound.Frames());
    }
    EXPECT_EQ(written, sound.Frames()) << path << ": " << sf_strerror(file);
    EXPECT_EQ(sf_close(file), 0) << path;
}

void WriteWave(const std::string& path, const Sound& sound, SampleFormat format)
{
    WriteSound(path, sound, WaveFormat(format));
}

Sound ReadSound(const std::string& path)
{
    SF_INFO info = {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    Sound sound;
    if (file == nullptr) {
        ADD_FAILURE() << path << ": " << sf_strerror(nullptr);
        return sound;
    }
    sound.sampleRate = info.samplerate;
    sound.channels = info.channels;
    sound.libraryFormat = info.format;
    sound.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
    EXPECT_EQ(sf_readf_float(file, sound.samples.data(), info.frames), info.frames) << path;
    sf_close(file);
    return sound;
}

std::vector<std::uint8_t> ReadBytes(const std::string& path)
{
    std::string text = ReadText(path);
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

Sound Tone(int sampleRate, int channels, double frequency, double seconds, double amplitude)
{
    Sound sound;
    sound.sampleRate = sampleRate;
    sound.channels = channels;
    const auto frames = static_cast<std::int64_t>(std::lround(seconds * sampleRate));
    for (std::int64_t i = 0; i < frames; ++i) {
        const float value = static_cast<float>(amplitude * std::sin(2.0 * kPi * frequency * i / sampleRate));
        sound.samples.insert(sound.samples.end(), channels, value);
    }
    return sound;
}

Sound Music(int sampleRate, int channels, double seconds, std::uint32_t seed)
{
    Sound sound;
    sound.sampleRate = sampleRate;
    sound.channels = channels;
    const auto frames = static_cast<std::int64_t>(std::lround(seconds * sampleRate));
    std::uint32_t state = seed | 1u;
    for (std::int64_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / sampleRate;
        for (int c = 0; c < channels; ++c) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            const double noise = (state / 4294967296.0 - 0.5) * 0.1;
            const double swell = 0.5 + 0.5 * std::sin(2.0 * kPi * 1.3 * t + c);
            const double value = 0.35 * std::sin(2.0 * kPi * (220.5 + 30.0 * c) * t) +
                                 0.25 * swell * std::sin(2.0 * kPi * 1234.5 * t) + noise;
            sound.samples.push_back(static_cast<float>(value));
        }
    }
    return sound;
}

double DominantFrequency(const Sound& sound, int channel, std::int64_t first, std::int64_t count)
{
    double firstCrossing = -1.0;
    double lastCrossing = -1.0;
    int crossings = 0;
    for (std::int64_t i = first + 1; i < first + count; ++i) {
        const float before = sound.samples[(i - 1) * sound.channels + channel];
        const float now = sound.samples[i * sound.channels + channel];
        if (before < 0.0f && now >= 0.0f) {
            const double at = static_cast<double>(i - 1) + before / (before - now);
            if (crossings == 0) {
                firstCrossing = at;
            }
            lastCrossing = at;
            ++crossings;
        }
    }
    if (crossings < 2) {
        return 0.0;
    }
    return (crossings - 1) * sound.sampleRate / (lastCrossing - firstCrossing);
}

double Rms(const Sound& sound, int channel, std::int64_t first, std::int64_t count)
{
    double sum = 0.0;
    for (std::int64_t i = first; i < first + count; ++i) {
        const double value = sound.samples[i * sound.channels + channel];
        sum += value * value;
    }
    return count > 0 ? std::sqrt(sum / static_cast<double>(count)) : 0.0;
}

ProgramRun RunRender(const std::vector<std::string>& arguments)
{
    ScratchFolder streams;
    pid_t child = Spawn(KELVANE_RENDER_PROGRAM, arguments, streams.Path("out"), streams.Path("err"), -1);
    if (child < 0) {
        return {};
    }
    ProgramRun run = Reap(child);
    run.out = ReadText(streams.Path("out"));
    run.err = ReadText(streams.Path("err"));
    return run;
}

pid_t StartRender(const std::vector<std::string>& arguments)
{
    return Spawn(KELVANE_RENDER_PROGRAM, arguments, "/dev/null", "/dev/null", -1);
}

ProgramRun RunRenderOnTerminal(const std::vector<std::string>& arguments)
{
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
        return {};
    }
    int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ScratchFolder streams;
    pid_t child = Spawn(KELVANE_RENDER_PROGRAM, arguments, streams.Path("out"), "", slave);
    ::close(slave);
    std::string terminal;
    char buffer[4096];
    // Read until the program's end closes the terminal's last writer.
    for (;;) {
        ssize_t got = ::read(master, buffer, sizeof buffer);
        if (got > 0) {
            terminal.append(buffer, static_cast<std::size_t>(got));
        } else if (!(got < 0 && errno == EINTR)) {
            break;
        }
    }
    ::close(master);
    ProgramRun run = child < 0 ? ProgramRun{} : Reap(child);
    run.out = ReadText(streams.Path("out"));
    run.err = terminal;
    return run;
}

ProgramRun WaitFor(pid_t child)
{
    return Reap(child);
}

pid_t StartProgram(const std::string& program, const std::vector<std::string>& arguments, const std::string& outPath,
                   const std::string& errPath, const std::vector<std::string>& environment)
{
    return Spawn(program, arguments, outPath, errPath, -1, environment);
}

ProgramRun FinishProgram(pid_t child, const std::string& outPath, const std::string& errPath)
{
    ProgramRun run = child < 0 ? ProgramRun{} : Reap(child);
    run.out = ReadText(outPath);
    run.err = ReadText(errPath);
    return run;
}

}  // namespace kelvane::render::test
