// kelvane-play: plays a sound file through the engine on the default audio
// output, with its speed and pitch changed, from a terminal.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "kelvane/engine.h"
#include "live_keys.h"
#include "play_options.h"
#include "raw_terminal.h"
#include "playback/player.h"
#include "playback/sound.h"
#include "sound_files/sound_file_reader.h"

namespace {

using namespace kelvane::play;

// How often the position display is redrawn and the stop request looked at.
constexpr auto kPollInterval = std::chrono::milliseconds(20);
constexpr int kPollsPerDisplay = 5;

volatile std::sig_atomic_t stopSignal = 0;

extern "C" void RequestStop(int signalNumber)
{
    stopSignal = signalNumber;
}

// From here on Ctrl-C (and the other stop signals) stops the sound and lets
// the program end normally. Until then they keep their default action: while
// the file is read they end the program at once, however long the reading
// would take or wherever it is blocked, and before any sound.
void CatchStopSignals()
{
    struct sigaction action = {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : kelvane::tools::StopSignals()) {
        sigaction(signalNumber, &action, nullptr);
    }
}

// Starts the audio library for the program's lifetime.
class AudioLibrary {
public:
    AudioLibrary() : status(kelvane::playback::StartAudio()) {}
    ~AudioLibrary() { kelvane::playback::EndAudio(); }
    AudioLibrary(const AudioLibrary&) = delete;
    AudioLibrary& operator=(const AudioLibrary&) = delete;
    int status;
};

// Reads the whole file, in any format the tools read, straight into the
// float memory the player plays from. Returns "" or why it was refused.
std::string ReadForPlaying(const std::string& path, kelvane::playback::Sound& sound, std::string& formatName)
{
    namespace files = kelvane::sound_files;
    files::SoundFileReader reader;
    if (reader.Open(path) != files::ReadStatus::Ok) {
        return reader.Error();
    }
    const files::SoundInfo& info = reader.Info();
    // A cut recording plays as far as it goes, but never without a word.
    if (const std::string early = files::EarlyEndWarning(info); !early.empty()) {
        Complain(path + ": warning: " + early);
    }
    constexpr std::int64_t kMostFrames = std::numeric_limits<std::int32_t>::max();
    if (info.frames > kMostFrames) {
        return std::to_string(info.frames) + " frames: at most " + std::to_string(kMostFrames) + " can be played";
    }
    const std::uint64_t bytes = static_cast<std::uint64_t>(info.frames) * info.channels * sizeof(float);
    if (!sound.samples.Allocate(bytes)) {
        return "too large to hold in memory";
    }
    if (!reader.Read(sound.samples.data(), info.frames)) {
        return reader.Error();
    }
    sound.channels = info.channels;
    sound.sampleRate = static_cast<std::uint32_t>(info.sampleRate);
    sound.frameCount = static_cast<std::int32_t>(info.frames);
    formatName = info.formatName;
    return "";
}

// Hands the speed, pitch, formant, direction and Loop settings to the player.
void HandSettings(kelvane::playback::Player& player, const PlayOptions& settings)
{
    player.SetPitchTarget(static_cast<float>(settings.pitchSemitones));
    player.SetSpeed(static_cast<float>(settings.speedPercent), settings.reverse);
    player.SetFormantSemitones(static_cast<float>(PlayFormantSemitones(settings)));
    player.SetLoop(settings.loop);
}

// Acts on one key while playing; true for the key that quits.
bool TakeKey(kelvane::playback::Player& player, Key key, PlayOptions& live, double rate)
{
    switch (ApplyKey(key, live)) {
        case KeyAction::Settings:
            HandSettings(player, live);
            return false;
        case KeyAction::SeekForward:
        case KeyAction::SeekBack: {
            const double step = (key == Key::SeekForward ? 1.0 : -1.0) * kSeekStepSeconds * rate;
            const double target = static_cast<double>(player.HeardPosition()) + step;
            constexpr double kLastFrame = std::numeric_limits<std::int32_t>::max();
            player.Seek(static_cast<std::int32_t>(std::clamp(target, 0.0, kLastFrame)));
            return false;
        }
        case KeyAction::Pause:
            if (player.IsPaused()) {
                player.Resume();
            } else {
                player.Pause();
            }
            return false;
        case KeyAction::Quit:
            return true;
    }
    return false;
}

// Redraws the position display in place: with live keys the whole status
// line, otherwise the position and length alone.
void ShowStatus(const kelvane::playback::Player& player, const PlayOptions& live, double rate, double lengthSeconds,
                bool withKeys)
{
    const double heard = static_cast<double>(player.HeardPosition()) / rate;
    if (withKeys) {
        // The line shortens as well as grows: the rest of the old one is cleared.
        const std::string line = FormatStatusLine(heard, lengthSeconds, live, player.IsPaused());
        std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
    } else {
        const std::string at = FormatPlayTime(heard);
        std::fprintf(stderr, "\r%s / %s ", at.c_str(), FormatPlayTime(lengthSeconds).c_str());
    }
    std::fflush(stderr);
}

int Play(const PlayOptions& options)
{
    kelvane::playback::Sound sound;
    std::string formatName;
    if (const std::string refusal = ReadForPlaying(options.inputPath, sound, formatName); !refusal.empty()) {
        Complain(options.inputPath + ": " + refusal);
        return kExitInput;
    }
    CatchStopSignals();

    AudioLibrary audio;
    if (audio.status != 0) {
        Complain(std::string("cannot start the audio output: ") + kelvane::playback::AudioErrorText(audio.status));
        return kExitNoOutput;
    }
    // Stopped while the audio library started: no stream is opened.
    if (stopSignal != 0) {
        return kExitDone;
    }
    kelvane::playback::Player player;
    if (const auto failure = player.OpenPlayback(sound)) {
        if (failure->title == kelvane::playback::kInstanceProblemTitle) {
            const int channels = sound.channels;
            Complain(options.inputPath + ": " + failure->text + " (" + std::to_string(sound.sampleRate) +
                     " Hz, " + std::to_string(channels) + (channels == 1 ? " channel)" : " channels)"));
            return kExitInput;
        }
        Complain("no audio output: " + failure->text);
        return kExitNoOutput;
    }

    HandSettings(player, options);

    const double rate = sound.sampleRate;
    const double lengthSeconds = sound.frameCount / rate;
    const std::string length = FormatPlayTime(lengthSeconds);
    if (!options.quiet) {
        std::printf("Playing %s: %s, %u Hz, %u channel%s, %s%s%s\n", options.inputPath.c_str(),
                    formatName.c_str(), sound.sampleRate,
                    static_cast<unsigned>(sound.channels), sound.channels == 1 ? "" : "s",
                    length.c_str(), options.reverse ? ", backwards" : "", options.loop ? ", looping" : "");
        std::fflush(stdout);
    }
    const bool showPosition = !options.quiet && ::isatty(STDERR_FILENO) == 1;

    // Nor is one started after a stop.
    if (stopSignal != 0) {
        return kExitDone;
    }
    if (const auto failure = player.Play()) {
        Complain("cannot start the audio output: " + failure->text);
        return kExitNoOutput;
    }
    // Keys only from a terminal; from a pipe or a file the program just plays.
    RawTerminal terminal;
    bool keysOpen = terminal.Active();
    KeyDecoder decoder;
    std::vector<Key> keys;
    PlayOptions live = options;
    bool quit = false;
    for (int poll = 0; player.IsPlaying() && stopSignal == 0 && !quit; ++poll) {
        if (showPosition && poll % kPollsPerDisplay == 0) {
            ShowStatus(player, live, rate, lengthSeconds, terminal.Active());
        }
        if (!keysOpen) {
            std::this_thread::sleep_for(kPollInterval);
            continue;
        }
        char bytes[64];
        const int count = terminal.Read(bytes, sizeof bytes, static_cast<int>(kPollInterval.count()));
        if (count < 0) {
            keysOpen = false;
            continue;
        }
        keys.clear();
        decoder.Decode(bytes, static_cast<std::size_t>(count), keys);
        for (const Key key : keys) {
            quit = quit || TakeKey(player, key, live, rate);
        }
        if (showPosition && !keys.empty()) {
            ShowStatus(player, live, rate, lengthSeconds, true);
        }
    }
    player.Stop();
    if (showPosition) {
        std::fputc('\n', stderr);
    }
    return kExitDone;
}

}  // namespace

int main(int argc, char** argv)
{
    const PlayParseResult parsed = ParsePlayOptions(std::vector<std::string>(argv + 1, argv + argc));
    switch (parsed.outcome) {
        case PlayParseOutcome::ShowHelp:
            std::fputs(PlayUsageText().c_str(), stdout);
            return kExitDone;
        case PlayParseOutcome::ShowVersion:
            std::printf("kelvane-play %s\n", kelvane::tools::FormatVersion(GetVersion()).c_str());
            return kExitDone;
        case PlayParseOutcome::UsageError:
            Complain(parsed.message);
            std::fputs("Try 'kelvane-play --help' for more information.\n", stderr);
            return kExitUsage;
        case PlayParseOutcome::Play:
            break;
    }
    return Play(parsed.options);
}
