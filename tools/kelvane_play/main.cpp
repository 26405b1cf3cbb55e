// kelvane-play: plays a WAV file through the engine on the default audio
// output, with its speed and pitch changed, from a terminal.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "kelvane/engine.h"
#include "play_options.h"
#include "sevrane/loaded_sound.h"
#include "sevrane/player.h"

namespace {

using namespace kelvane::play;

constexpr int kExitDone = 0;
constexpr int kExitUsage = 1;
constexpr int kExitInput = 2;
constexpr int kExitNoOutput = 3;

// How often the position display is redrawn and the stop request looked at.
constexpr auto kPollInterval = std::chrono::milliseconds(20);
constexpr int kPollsPerDisplay = 5;

volatile std::sig_atomic_t stopSignal = 0;

extern "C" void RequestStop(int signalNumber)
{
    stopSignal = signalNumber;
}

void CatchStopSignals()
{
    struct sigaction action = {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signalNumber, &action, nullptr);
    }
}

void Complain(const std::string& message)
{
    std::fprintf(stderr, "kelvane-play: %s\n", message.c_str());
}

std::string FormatVersion(int packed)
{
    return std::to_string((packed >> 16) & 0xFF) + "." + std::to_string((packed >> 8) & 0xFF) + "." +
           std::to_string(packed & 0xFF);
}

// Starts the audio library for the program's lifetime.
class AudioSession {
public:
    AudioSession() : status(sevrane::StartAudio()) {}
    ~AudioSession() { sevrane::EndAudio(); }
    AudioSession(const AudioSession&) = delete;
    AudioSession& operator=(const AudioSession&) = delete;
    int status;
};

int Play(const PlayOptions& options)
{
    sevrane::LoadedSound sound;
    const sevrane::LoadResult loaded = sevrane::LoadSound(sound, options.inputPath);
    if (loaded != sevrane::LoadResult::Loaded) {
        Complain(options.inputPath + ": " + sevrane::GetLoadResultText(loaded));
        return kExitInput;
    }

    AudioSession audio;
    if (audio.status != 0) {
        Complain(std::string("cannot start the audio output: ") + sevrane::AudioErrorText(audio.status));
        return kExitNoOutput;
    }
    sevrane::Player player;
    if (const auto failure = player.OpenPlayback(sound)) {
        if (failure->title == sevrane::kInstanceProblemTitle) {
            const int channels = sound.format.channels;
            Complain(options.inputPath + ": " + failure->text + " (" + std::to_string(sound.format.sampleRate) +
                     " Hz, " + std::to_string(channels) + (channels == 1 ? " channel)" : " channels)"));
            return kExitInput;
        }
        Complain("no audio output: " + failure->text);
        return kExitNoOutput;
    }

    player.SetPitchTarget(static_cast<float>(options.pitchSemitones));
    player.SetSpeed(static_cast<float>(options.speedPercent), options.reverse);
    player.SetFormantSemitones(static_cast<float>(PlayFormantSemitones(options)));
    player.SetLoop(options.loop);

    const double rate = sound.format.sampleRate;
    const std::string length = FormatPlayTime(sound.frameCount / rate);
    if (!options.quiet) {
        std::printf("Playing %s: %u Hz, %u channel%s, %s%s%s\n", options.inputPath.c_str(), sound.format.sampleRate,
                    static_cast<unsigned>(sound.format.channels), sound.format.channels == 1 ? "" : "s",
                    length.c_str(), options.reverse ? ", backwards" : "", options.loop ? ", looping" : "");
        std::fflush(stdout);
    }
    const bool showPosition = !options.quiet && ::isatty(STDERR_FILENO) == 1;

    player.Play();
    for (int poll = 0; player.IsPlaying() && stopSignal == 0; ++poll) {
        if (showPosition && poll % kPollsPerDisplay == 0) {
            const std::string at = FormatPlayTime(player.State().position.load(std::memory_order_relaxed) / rate);
            std::fprintf(stderr, "\r%s / %s ", at.c_str(), length.c_str());
            std::fflush(stderr);
        }
        std::this_thread::sleep_for(kPollInterval);
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
    CatchStopSignals();
    const PlayParseResult parsed = ParsePlayOptions(std::vector<std::string>(argv + 1, argv + argc));
    switch (parsed.outcome) {
        case PlayParseOutcome::ShowHelp:
            std::fputs(PlayUsageText().c_str(), stdout);
            return kExitDone;
        case PlayParseOutcome::ShowVersion:
            std::printf("kelvane-play %s\n", FormatVersion(GetVersion()).c_str());
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
