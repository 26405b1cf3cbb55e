#include "play_options.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kelvane::play {

namespace {

constexpr double kMaximumSpeedPercent = 400.0;
constexpr double kSemitoneLimit = 24.0;

PlayParseResult Refuse(std::string message)
{
    PlayParseResult result;
    result.message = std::move(message);
    return result;
}

// The whole text must be a finite number; speed may end in '%'.
std::optional<double> ParseNumber(std::string text, bool allowPercentSign)
{
    if (allowPercentSign && !text.empty() && text.back() == '%') {
        text.pop_back();
    }
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

// Applies --speed, --pitch or --formant; returns a refusal, or "".
std::string ApplyValue(const std::string& name, const std::string& value, PlayOptions& options)
{
    const bool isSpeed = name == "--speed";
    const std::optional<double> number = ParseNumber(value, isSpeed);
    if (!number) {
        return name + " needs a number, not '" + value + "'";
    }
    if (isSpeed) {
        if (!(*number > 0.0) || *number > kMaximumSpeedPercent) {
            return "--speed must be more than 0 and at most 400 percent, not '" + value + "'";
        }
        options.speedPercent = *number;
    } else if (*number < -kSemitoneLimit || *number > kSemitoneLimit) {
        return name + " must be from -24 to 24 semitones, not '" + value + "'";
    } else if (name == "--pitch") {
        options.pitchSemitones = *number;
    } else {
        options.formantSemitones = *number;
    }
    return "";
}

}  // namespace

PlayParseResult ParsePlayOptions(const std::vector<std::string>& arguments)
{
    PlayParseResult result;
    PlayOptions& options = result.options;
    std::vector<std::string> paths;
    bool optionsEnded = false;

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            paths.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = argument;
        std::optional<std::string> value;
        if (const std::size_t equals = argument.find('='); equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
        }
        if (name == "--speed" || name == "--pitch" || name == "--formant") {
            if (!value) {
                // The next argument is the value even when it starts with '-'.
                if (i + 1 >= arguments.size()) {
                    return Refuse(name + " needs a value");
                }
                value = arguments[++i];
            }
            if (std::string refusal = ApplyValue(name, *value, options); !refusal.empty()) {
                return Refuse(refusal);
            }
            continue;
        }
        if (value) {
            return Refuse(name + " takes no value");
        }
        if (name == "--help" || name == "-h") {
            result.outcome = PlayParseOutcome::ShowHelp;
            return result;
        }
        if (name == "--version") {
            result.outcome = PlayParseOutcome::ShowVersion;
            return result;
        }
        if (name == "--reverse") {
            options.reverse = true;
        } else if (name == "--loop") {
            options.loop = true;
        } else if (name == "--preserve-formants") {
            options.preserveFormants = true;
        } else if (name == "--quiet") {
            options.quiet = true;
        } else {
            return Refuse("unknown option '" + argument + "'");
        }
    }

    if (options.preserveFormants && options.formantSemitones) {
        return Refuse("--formant and --preserve-formants cannot be used together");
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
    return "Usage: kelvane-play [options] FILE.wav\n"
           "Plays a WAV file (8, 16 or 24-bit PCM) on the default audio output, with its speed and pitch changed.\n"
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
           "\n"
           "Ctrl-C stops the sound at once.\n"
           "Exit status: 0 played (or stopped with Ctrl-C), 1 usage error, 2 file refused or unreadable,\n"
           "3 no audio output.\n";
}

double PlayFormantSemitones(const PlayOptions& options)
{
    if (options.preserveFormants) {
        return options.pitchSemitones;
    }
    return options.formantSemitones.value_or(0.0);
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
