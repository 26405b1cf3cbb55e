// kelvane-render: changes the speed and pitch of a WAV file through the
// engine's C surface and writes the result.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "kelvane/engine.h"
#include "progress_bar.h"
#include "render_loop.h"
#include "render_options.h"
#include "sevrane/loaded_sound.h"
#include "wav_writer.h"

namespace {

using namespace kelvane::render;

constexpr int kExitDone = 0;
constexpr int kExitUsage = 1;
constexpr int kExitInput = 2;
constexpr int kExitOutput = 3;

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
    action.sa_flags = SA_RESTART;
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signalNumber, &action, nullptr);
    }
}

// After the temporary file is gone, die of the signal as if it had not been
// caught, so a calling shell sees the interrupt.
int DieOfStopSignal()
{
    const int signalNumber = stopSignal;
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
    return 128 + signalNumber;
}

void Complain(const std::string& message)
{
    std::fprintf(stderr, "kelvane-render: %s\n", message.c_str());
}

int Render(const RenderOptions& options)
{
    sevrane::LoadedSound sound;
    sevrane::LoadResult loaded = sevrane::LoadSound(sound, options.inputPath);
    if (loaded != sevrane::LoadResult::Loaded) {
        Complain(options.inputPath + ": " + sevrane::GetLoadResultText(loaded));
        return kExitInput;
    }
    if (stopSignal != 0) {
        return DieOfStopSignal();
    }

    WavFormat format;
    format.sampleRate = static_cast<int>(sound.format.sampleRate);
    format.channels = sound.format.channels;
    format.sampleFormat = options.sampleFormat.value_or(DefaultSampleFormat(sound.format.bitsPerSample));

    const std::uint64_t expected =
        ExpectedOutputFrames(static_cast<std::uint64_t>(sound.frameCount), options.speedPercent);
    if (expected > MaxWavFrames(format)) {
        Complain("cannot write " + options.outputPath + ": " + std::to_string(expected) +
                 " frames would exceed the 4 GiB size limit of WAV files");
        return kExitOutput;
    }

    WavFileWriter writer;
    if (!writer.Open(options.outputPath, format)) {
        Complain(writer.Error());
        return kExitOutput;
    }

    RenderSettings settings;
    settings.speedPercent = options.speedPercent;
    settings.pitchSemitones = options.pitchSemitones;
    settings.formantSemitones = EffectiveFormantSemitones(options);
    settings.reverse = options.reverse;
    settings.quality = options.quality;

    const bool showProgress = !options.quiet && ::isatty(STDERR_FILENO) == 1;
    ProgressBar bar(stderr);
    ProgressReport progress;
    if (showProgress) {
        progress = [&bar](std::uint64_t done, std::uint64_t total) { bar.Update(done, total); };
    }
    FrameSink sink = [&writer](const float* frames, std::size_t count) {
        return writer.Write(frames, count);
    };

    const auto start = std::chrono::steady_clock::now();
    RenderOutcome outcome = RenderFrames(sound.samples.data(), sound.frameCount, format.channels,
                                         format.sampleRate, settings, sink, progress, &stopSignal);
    if (outcome.status == RenderStatus::Done && !writer.Commit()) {
        outcome.status = RenderStatus::WriteFailed;
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    bar.Finish();

    switch (outcome.status) {
        case RenderStatus::Done:
            break;
        case RenderStatus::Interrupted:
            writer.Abandon();
            return DieOfStopSignal();
        case RenderStatus::WriteFailed:
            Complain(writer.Error());
            return kExitOutput;
        case RenderStatus::EngineRefused:
            Complain(options.inputPath + ": " + outcome.message + " (" + std::to_string(format.sampleRate) +
                     " Hz, " + std::to_string(format.channels) +
                     (format.channels == 1 ? " channel)" : " channels)"));
            return kExitInput;
        case RenderStatus::EngineFault:
            Complain(options.inputPath + ": cannot be processed: " + outcome.message);
            return kExitInput;
    }

    if (writer.ClippedSamples() > 0) {
        Complain("warning: " + std::to_string(writer.ClippedSamples()) + " samples clipped to fit " +
                 DescribeSampleFormat(format.sampleFormat) + " (--bits 32f keeps them)");
    }
    if (!options.quiet) {
        const double outputSeconds = static_cast<double>(outcome.framesOut) / format.sampleRate;
        std::printf("%s -> %s: %d frames in, %llu frames out, %s, %.1fx real time\n",
                    options.inputPath.c_str(), options.outputPath.c_str(), sound.frameCount,
                    static_cast<unsigned long long>(outcome.framesOut),
                    DescribeSampleFormat(format.sampleFormat), outputSeconds / std::max(elapsed, 1e-6));
    }
    return kExitDone;
}

}  // namespace

int main(int argc, char** argv)
{
    CatchStopSignals();
    std::vector<std::string> arguments(argv + 1, argv + argc);
    ParseResult parsed = ParseRenderOptions(arguments);
    switch (parsed.outcome) {
        case ParseOutcome::ShowHelp:
            std::fputs(UsageText().c_str(), stdout);
            return kExitDone;
        case ParseOutcome::ShowVersion:
            std::printf("kelvane-render %s\n", FormatVersion(GetVersion()).c_str());
            return kExitDone;
        case ParseOutcome::UsageError:
            Complain(parsed.message);
            std::fputs("Try 'kelvane-render --help' for more information.\n", stderr);
            return kExitUsage;
        case ParseOutcome::Render:
            break;
    }
    return Render(parsed.options);
}
