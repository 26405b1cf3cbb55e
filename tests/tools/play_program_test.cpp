// kelvane-play run as a user runs it, into a capture device or none.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "live_keys.h"
#include "play_options.h"
#include "player/audio_device.h"
#include "render_test_support.h"
#include "sound_files/sound_file_writer.h"
#include "temp_folder.h"
#include "wav_bytes.h"

namespace kelvane::playback::test {
namespace {

using namespace std::chrono_literals;

using PlayRun = kelvane::render::test::ProgramRun;

// Starts kelvane-play on `device` with `arguments`; output and error go to
// files in `folder`.
pid_t StartPlay(const AudioDevice& device, const TempFolder& folder, const std::vector<std::string>& arguments)
{
    return kelvane::render::test::StartProgram(KELVANE_PLAY_PROGRAM, arguments, folder.path + "/out",
                                               folder.path + "/err", {"ALSA_CONFIG_PATH=" + device.configPath});
}

PlayRun Finish(pid_t child, const TempFolder& folder)
{
    return kelvane::render::test::FinishProgram(child, folder.path + "/out", folder.path + "/err");
}

PlayRun Play(const AudioDevice& device, const std::vector<std::string>& arguments)
{
    TempFolder streams;
    return Finish(StartPlay(device, streams, arguments), streams);
}

// True once `child` has ended, within `limit`; it is left to be reaped.
bool EndsWithin(pid_t child, std::chrono::seconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        siginfo_t info = {};
        if (::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == child) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// A 16-bit mono WAV: `silent` frames of silence, then `loud` frames of a
// 441 Hz sine at half scale, at 44100 Hz.
Bytes ToneFile(int silent, int loud, std::uint32_t rate = 44100)
{
    Bytes data;
    for (int f = 0; f < silent + loud; ++f) {
        const double value = f < silent ? 0.0 : 0.5 * std::sin(2.0 * M_PI * 441.0 * f / 44100.0);
        AppendLe(data, static_cast<std::uint64_t>(static_cast<std::int64_t>(std::lround(value * 32767))), 2);
    }
    return Wave(1, 1, rate, 16, data);
}

// The span of loud frames in a captured two-channel recording.
std::pair<std::int64_t, std::int64_t> LoudSpan(const std::vector<float>& played)
{
    std::int64_t first = -1;
    std::int64_t last = -1;
    for (std::size_t f = 0; f < played.size() / 2; ++f) {
        if (std::fabs(played[2 * f]) > 0.05f) {
            first = first < 0 ? static_cast<std::int64_t>(f) : first;
            last = static_cast<std::int64_t>(f);
        }
    }
    return {first, last + 1};
}

TEST(PlayProgram, PlaysTheFileForwardsOrBackwards)
{
    TempFolder files;
    const std::string path = files.Write("half.wav", ToneFile(22050, 22050));
    AudioDevice device(AudioDevice::Kind::Capture);

    PlayRun forwards = Play(device, {path});
    ASSERT_EQ(forwards.exitCode, 0) << forwards.err;
    EXPECT_NE(forwards.out.find("16-bit PCM, 44100 Hz, 1 channel, 0:01.0"), std::string::npos) << forwards.out;
    auto [first, end] = LoudSpan(device.Captured());
    // Half a second of silence first (the device adds a little of its own).
    EXPECT_GE(first, 22050 - 300);
    EXPECT_NEAR(end - first, 22050, 300);

    PlayRun backwards = Play(device, {"--reverse", "--speed", "50", path});
    ASSERT_EQ(backwards.exitCode, 0) << backwards.err;
    std::tie(first, end) = LoudSpan(device.Captured());
    // Backwards from the end: the tone comes first, twice as long.
    EXPECT_LT(first, 3000);
    EXPECT_NEAR(end - first, 44100, 600);
}

TEST(PlayProgram, PlaysAFileCutShortAsFarAsItGoesAndSaysSo)
{
    TempFolder files;
    Bytes cut = ToneFile(0, 22050);
    cut.erase(cut.end() - 2 * 17640, cut.end());  // the header still promises 22050 frames
    const std::string path = files.Write("cut.wav", cut);
    AudioDevice device(AudioDevice::Kind::Capture);

    const PlayRun run = Play(device, {path});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "kelvane-play: " + path + ": warning: input ends early: 4410 of 22050 frames\n");
    const auto [first, end] = LoudSpan(device.Captured());
    EXPECT_NEAR(end - first, 4410, 300);
}

TEST(PlayProgram, PlaysCompressedFiles)
{
    namespace files = kelvane::sound_files;
    TempFolder folder;
    const std::string path = folder.path + "/tone.flac";
    files::SoundFileWriter writer;
    ASSERT_TRUE(writer.Open(path, {files::Container::Flac, 48000, 2, files::SampleFormat::Pcm16})) << writer.Error();
    std::vector<float> tone(2 * 48000);
    for (std::size_t i = 0; i < tone.size(); ++i) {
        tone[i] = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 480.0 * static_cast<double>(i / 2) / 48000.0));
    }
    ASSERT_TRUE(writer.Write(tone.data(), 48000) && writer.Commit()) << writer.Error();

    AudioDevice device(AudioDevice::Kind::Capture);
    const PlayRun run = Play(device, {"--speed", "200", path});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("FLAC"), std::string::npos) << run.out;
    const auto [first, end] = LoudSpan(device.Captured());
    EXPECT_NEAR(end - first, 24000, 300);
}

TEST(PlayProgram, RefusesWithTheReadersTextsAndTheRenderersExitCodes)
{
    TempFolder files;
    AudioDevice device(AudioDevice::Kind::Capture);
    const std::string text = files.Write("notes.wav", Bytes{'h', 'e', 'l', 'l', 'o'});
    const std::string slow = files.Write("slow.wav", ToneFile(0, 1000, 22050));

    PlayRun run = Play(device, {text});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err.rfind("kelvane-play: " + text + ": not a sound file", 0), 0u) << run.err;
    run = Play(device, {slow});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, "kelvane-play: " + slow + ": sample rate 22050 Hz is outside 32000 to 196000 Hz\n");
    run = Play(device, {"--pitch", "25", slow});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("--pitch must be from -24 to 24 semitones"), std::string::npos) << run.err;
    EXPECT_EQ(device.CapturedBytes(), 0u);  // nothing was played
}

// Without a device the one line says so: nothing of the sound system's own
// probing reaches the terminal.
TEST(PlayProgram, WithoutAnOutputDeviceSaysSoInOneLine)
{
    TempFolder files;
    const std::string path = files.Write("tone.wav", ToneFile(0, 4410));
    AudioDevice none(AudioDevice::Kind::None);
    const PlayRun run = Play(none, {path});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.err, "kelvane-play: no audio output: Invalid device\n");
}

TEST(PlayProgram, InterruptStopsALoopAtOnceAndExitsCleanly)
{
    TempFolder files;
    const std::string path = files.Write("tone.wav", ToneFile(0, 44100));
    AudioDevice device(AudioDevice::Kind::Capture);
    TempFolder streams;
    const pid_t child = StartPlay(device, streams, {"--loop", path});
    ASSERT_GT(child, 0);
    // Playing, and looped a few times (the capture device runs far faster
    // than real time).
    constexpr std::uintmax_t kThreeSeconds = 3u * 44100 * 2 * sizeof(float);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (device.CapturedBytes() <= kThreeSeconds && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(::kill(child, SIGINT), 0);
    const auto interrupted = std::chrono::steady_clock::now();
    const PlayRun run = Finish(child, streams);
    EXPECT_LT(std::chrono::steady_clock::now() - interrupted, 1s);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    // It looped: far more than the file's one second was played.
    EXPECT_GT(device.CapturedBytes(), kThreeSeconds);
}

// Ctrl-C while the file is still being read ends the program at once, by
// that signal, and no stream is opened. The file is a pipe whose writer
// stalls after a few frames of the ten minutes its header announces, so the
// reading is under way and cannot end by itself.
TEST(PlayProgram, InterruptWhileReadingEndsAtOnceWithoutSound)
{
    TempFolder files;
    const std::string path = files.path + "/stalled.wav";
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << std::strerror(errno);
    AudioDevice device(AudioDevice::Kind::Capture);
    TempFolder streams;
    // The program keeps the Ctrl-C it inherits while it reads, and tests run
    // in the background inherit it ignored: it starts with the default here.
    struct sigaction byDefault = {};
    struct sigaction inherited = {};
    byDefault.sa_handler = SIG_DFL;
    ::sigaction(SIGINT, &byDefault, &inherited);
    const pid_t child = StartPlay(device, streams, {path});
    ::sigaction(SIGINT, &inherited, nullptr);
    ASSERT_GT(child, 0);

    // The pipe opens for writing once the program has opened it to read.
    int pipe = -1;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (pipe < 0 && std::chrono::steady_clock::now() < deadline) {
        pipe = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (pipe < 0) {
            std::this_thread::sleep_for(10ms);
        }
    }
    ASSERT_GE(pipe, 0) << "the program never opened the file";
    ::fcntl(pipe, F_SETFL, 0);
    constexpr std::uint32_t kAnnouncedFrames = 600 * 44100;
    const Bytes start = Riff({Chunk("fmt ", FormatBody(1, 1, 44100, 16)),
                              Chunk("data", Bytes(100000, 0), 2 * kAnnouncedFrames)},
                             36 + 2 * kAnnouncedFrames);
    // Written whole only once the program has read most of it.
    ASSERT_EQ(::write(pipe, start.data(), start.size()), static_cast<ssize_t>(start.size()));

    ASSERT_EQ(::kill(child, SIGINT), 0);
    const bool ended = EndsWithin(child, 30s);
    ::close(pipe);
    const PlayRun run = Finish(child, streams);
    EXPECT_TRUE(ended) << "Ctrl-C waited for the file to end";
    EXPECT_EQ(run.signal, SIGINT) << "exit " << run.exitCode << ": " << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(device.CapturedBytes(), 0u) << "a stream was opened";
}

// A stream that opens but does not start is an error, exit 3 with the audio
// library's text, not a silent success.
TEST(PlayProgram, AStreamThatDoesNotStartIsAnError)
{
    TempFolder files;
    const std::string path = files.Write("tone.wav", ToneFile(0, 4410));
    AudioDevice device(AudioDevice::Kind::Capture);
    TempFolder streams;
    // The stand-in comes before the sanitizer's runtime in a sanitizer build.
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    const std::string sanitizerOptions = std::string(sanitizer != nullptr ? sanitizer : "") + ":verify_asan_link_order=0";
    const pid_t child = kelvane::render::test::StartProgram(
        KELVANE_PLAY_PROGRAM, {path}, streams.path + "/out", streams.path + "/err",
        {"ALSA_CONFIG_PATH=" + device.configPath, std::string("LD_PRELOAD=") + KELVANE_STREAM_START_FAILURE,
         "ASAN_OPTIONS=" + sanitizerOptions});
    const PlayRun run = Finish(child, streams);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.err, "kelvane-play: cannot start the audio output: Device unavailable\n");
    EXPECT_EQ(device.CapturedBytes(), 0u);
}

TEST(PlayOptions, TakesTheRenderersOptionsAndLoop)
{
    using kelvane::play::ParsePlayOptions;
    using kelvane::play::PlayParseOutcome;
    auto parsed = ParsePlayOptions({"--speed", "75%", "--pitch", "-3.5", "--preserve-formants", "--loop", "a.wav"});
    ASSERT_EQ(parsed.outcome, PlayParseOutcome::Play) << parsed.message;
    EXPECT_EQ(parsed.options.speedPercent, 75.0);
    EXPECT_EQ(kelvane::play::PlayFormantSemitones(parsed.options), -3.5);
    EXPECT_TRUE(parsed.options.loop);
    EXPECT_EQ(parsed.options.inputPath, "a.wav");

    EXPECT_EQ(ParsePlayOptions({"--formant=2", "--preserve-formants", "a.wav"}).outcome, PlayParseOutcome::UsageError);
    EXPECT_EQ(ParsePlayOptions({"--speed", "0", "a.wav"}).outcome, PlayParseOutcome::UsageError);
    EXPECT_EQ(ParsePlayOptions({"a.wav", "b.wav"}).outcome, PlayParseOutcome::UsageError);
    EXPECT_EQ(ParsePlayOptions({"--quality", "1", "a.wav"}).outcome, PlayParseOutcome::UsageError);
    EXPECT_EQ(kelvane::play::FormatPlayTime(65.37), "1:05.3");
    EXPECT_EQ(kelvane::play::FormatPlayTime(3723.0), "1:02:03.0");
}

// What a terminal sends, also split between reads, becomes keys; other
// bytes and sequences (Home, F5) are skipped.
TEST(PlayKeys, DecodesWhatTheTerminalSends)
{
    using kelvane::play::Key;
    kelvane::play::KeyDecoder decoder;
    std::vector<Key> keys;
    const std::string bytes = "\x1b[A\x1b[Bx\x1bOC\x1b[1~\x1b[15~][ fr\x1bl\x1bq\x1b[";
    decoder.Decode(bytes.data(), bytes.size(), keys);
    decoder.Decode("D", 1, keys);
    const std::vector<Key> expected{Key::PitchUp, Key::PitchDown, Key::SeekForward, Key::SpeedUp,
                                    Key::SpeedDown, Key::Pause,   Key::Formant,     Key::Reverse,
                                    Key::Loop,      Key::Quit,    Key::SeekBack};
    EXPECT_EQ(keys, expected);
}

// The keys move the settings within their ranges, and the status line
// shows them.
TEST(PlayKeys, MoveTheSettingsWithinTheirRanges)
{
    using namespace kelvane::play;
    PlayOptions live;
    live.speedPercent = 395.0;
    live.pitchSemitones = 23.5;
    EXPECT_EQ(ApplyKey(Key::SpeedUp, live), KeyAction::Settings);
    EXPECT_EQ(ApplyKey(Key::PitchUp, live), KeyAction::Settings);
    EXPECT_EQ(live.speedPercent, 400.0);
    EXPECT_EQ(live.pitchSemitones, 24.0);
    for (int press = 0; press < 60; ++press) {
        ApplyKey(Key::SpeedDown, live);
        ApplyKey(Key::PitchDown, live);
    }
    EXPECT_EQ(live.speedPercent, 25.0);
    EXPECT_EQ(live.pitchSemitones, -24.0);
    ApplyKey(Key::SpeedUp, live);
    ApplyKey(Key::PitchUp, live);
    ApplyKey(Key::PitchUp, live);
    EXPECT_EQ(FormatStatusLine(12.34, 65.0, live, false), "0:12.3 / 1:05.0  speed 35 %  pitch -22");

    // f keeps the formants (they follow the pitch), then turns every formant
    // setting off, a --formant given at the start included.
    ApplyKey(Key::Formant, live);
    EXPECT_EQ(PlayFormantSemitones(live), -22.0);
    ApplyKey(Key::Reverse, live);
    ApplyKey(Key::Loop, live);
    EXPECT_EQ(FormatStatusLine(0.0, 65.0, live, true),
              "0:00.0 / 1:05.0  speed 35 %  pitch -22  formants kept  reverse  loop  paused");
    ApplyKey(Key::Formant, live);
    EXPECT_EQ(PlayFormantSemitones(live), 0.0);
    live.formantSemitones = 3.0;
    ApplyKey(Key::Formant, live);
    EXPECT_EQ(PlayFormantSemitones(live), 0.0);
    EXPECT_FALSE(live.formantSemitones.has_value());

    EXPECT_EQ(ApplyKey(Key::SeekForward, live), KeyAction::SeekForward);
    EXPECT_EQ(ApplyKey(Key::SeekBack, live), KeyAction::SeekBack);
    EXPECT_EQ(ApplyKey(Key::Pause, live), KeyAction::Pause);
    EXPECT_EQ(ApplyKey(Key::Quit, live), KeyAction::Quit);
}

}  // namespace
}  // namespace kelvane::playback::test
