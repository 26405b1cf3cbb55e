#include "play_options.h"

#include "live_keys.h"

#include <algorithm>
#include <cstdio>

namespace kelvane::play {

namespace {

PlayParseResult Refuse(std::string message)
{
    PlayParseResult result;
    result.message = std::move(message);
    return result;
}

}  // namespace

PlayParseResult ParsePlayOptions(const std::vector<std::string>& arguments)
{
    PlayParseResult result;
    PlayOptions& options = result.options;
    std::vector<tools::CommandOption> table = tools::StretchOptions(options);
    table.push_back(tools::FlagOption("--loop", options.loop));
    table.push_back(tools::FlagOption("--quiet", options.quiet));
    const tools::ParsedCommand command = tools::ParseCommand(arguments, table);
    switch (command.outcome) {
        case tools::CommandOutcome::Run:
            break;
        case tools::CommandOutcome::ShowHelp:
            result.outcome = PlayParseOutcome::ShowHelp;
            return result;
        case tools::CommandOutcome::ShowVersion:
            result.outcome = PlayParseOutcome::ShowVersion;
            return result;
        case tools::CommandOutcome::UsageError:
            return Refuse(command.message);
    }
    const std::vector<std::string>& paths = command.operands;

    if (std::string refusal = tools::CheckStretchSettings(options); !refusal.empty()) {
        return Refuse(refusal);
    }
    if (paths.size() != 1) {
        return Refuse(paths.empty() ? "needs a file to play" : "too many files: '" + paths[1] + "' (one at a time)");
    }
    options.inputPath = paths[0];
    result.outcome = PlayParseOutcome::Play;
    return result;
}

std::string PlayUsageText()
{
    return "Usage: kelvane-play [options] FILE\n"
           "Plays a sound file (WAV, FLAC, Ogg, MP3, AIFF and more; 32000 to 196000 Hz, 1 to 8 channels)\n"
           "on the default audio output, with its speed and pitch changed.\n"
           "\n"
           "  --speed PERCENT        speed, above 0 up to 400 (default 100; 50: half speed)\n"
           "  --pitch SEMITONES      pitch shift, -24 to 24 (default 0)\n"
           "  --formant SEMITONES    formant shift, -24 to 24, independent of the pitch\n"
           "  --preserve-formants    keep the voice's formants while the pitch moves\n"
           "  --reverse              play backwards, from the end of the file\n"
           "  --loop                 start again at the end, until Ctrl-C\n"
           "  --quiet                no position display\n"
           "  --help                 show this text\n"
           "  --version              show the engine's version\n"
           "\n" +
           KeysHelpText() +
           "\n"
           "Ctrl-C stops the sound at once.\n"
           "Exit status: 0 played (or stopped with Ctrl-C), 1 usage error, 2 file refused or unreadable,\n"
           "3 no audio output.\n";
}

double PlayFormantSemitones(const PlayOptions& options)
{
    return tools::EffectiveFormantSemitones(options).value_or(0.0);
}

std::string FormatPlayTime(double seconds)
{
    seconds = std::max(seconds, 0.0);
    // Tenths, rounded down, so the display never runs ahead of the sound.
    const long long tenths = static_cast<long long>(seconds * 10.0);
    const long long totalSeconds = tenths / 10;
    char text[48];
    if (totalSeconds >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld.%lld", totalSeconds / 3600, totalSeconds / 60 % 60,
                      totalSeconds % 60, tenths % 10);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld.%lld", totalSeconds / 60, totalSeconds % 60, tenths % 10);
    }
    return text;
}

}  // namespace kelvane::play
