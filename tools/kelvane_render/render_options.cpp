#include "render_options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kelvane::render {

namespace {

ParseResult Refuse(std::string message)
{
    ParseResult result;
    result.outcome = ParseOutcome::UsageError;
    result.message = std::move(message);
    return result;
}

// Strict: the whole text must be a finite number ("1e2" is fine, "12abc",
// "nan" and "" are not).
std::optional<double> ParseNumber(std::string text, bool allowPercentSign)
{
    if (allowPercentSign && !text.empty() && text.back() == '%') {
        text.pop_back();
    }
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

bool TakesValue(const std::string& name)
{
    return name == "--speed" || name == "--pitch" || name == "--formant" || name == "--quality" ||
           name == "--bits";
}

// Applies one valued option; returns a refusal message, or "" when taken.
std::string ApplyValue(const std::string& name, const std::string& value, RenderOptions& options)
{
    if (name == "--quality") {
        if (value != "0" && value != "1") {
            return "--quality must be 0 or 1, not '" + value + "'";
        }
        options.quality = value == "1" ? 1 : 0;
        return "";
    }
    if (name == "--bits") {
        if (value == "16") {
            options.sampleFormat = SampleFormat::Pcm16;
        } else if (value == "24") {
            options.sampleFormat = SampleFormat::Pcm24;
        } else if (value == "32f") {
            options.sampleFormat = SampleFormat::Float32;
        } else {
            return "--bits must be 16, 24 or 32f, not '" + value + "'";
        }
        return "";
    }

    const bool isSpeed = name == "--speed";
    std::optional<double> number = ParseNumber(value, isSpeed);
    if (!number) {
        return name + " needs a number, not '" + value + "'";
    }
    if (isSpeed) {
        if (!(*number > 0.0) || *number > kMaximumSpeedPercent) {
            return "--speed must be more than 0 and at most 400 percent, not '" + value + "'";
        }
        options.speedPercent = *number;
        return "";
    }
    if (*number < -kSemitoneLimit || *number > kSemitoneLimit) {
        return name + " must be from -24 to 24 semitones, not '" + value + "'";
    }
    if (name == "--pitch") {
        options.pitchSemitones = *number;
    } else {
        options.formantSemitones = *number;
    }
    return "";
}

}  // namespace

ParseResult ParseRenderOptions(const std::vector<std::string>& arguments)
{
    ParseResult result;
    RenderOptions& options = result.options;
    std::vector<std::string> paths;
    bool optionsEnded = false;

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        // "-" alone is a path, as is everything after "--".
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
        if (std::size_t equals = argument.find('=');
            argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
        }

        if (TakesValue(name)) {
            if (!value) {
                // The next argument is the value even when it starts with '-'
                // ("--pitch -5").
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
            result.outcome = ParseOutcome::ShowHelp;
            return result;
        }
        if (name == "--version") {
            result.outcome = ParseOutcome::ShowVersion;
            return result;
        }
        if (name == "--reverse") {
            options.reverse = true;
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
    if (paths.size() != 2) {
        return Refuse(paths.size() < 2 ? "needs an input and an output file"
                                       : "too many files: '" + paths[2] + "' (one input, one output)");
    }
    options.inputPath = paths[0];
    options.outputPath = paths[1];
    result.outcome = ParseOutcome::Render;
    return result;
}

std::string UsageText()
{
    return "Usage: kelvane-render [options] INPUT.wav OUTPUT.wav\n"
           "Changes the speed and pitch of a WAV file (8, 16 or 24-bit PCM) and writes the result.\n"
           "\n"
           "  --speed PERCENT        speed, above 0 up to 400 (default 100; 50: half speed, twice as long)\n"
           "  --pitch SEMITONES      pitch shift, -24 to 24 (default 0)\n"
           "  --formant SEMITONES    formant shift, -24 to 24, independent of the pitch\n"
           "  --preserve-formants    keep the voice's formants while the pitch moves\n"
           "  --reverse              play the input backwards\n"
           "  --quality 0|1          1: overlap 4, the default; 0: overlap 2, cheaper\n"
           "  --bits 16|24|32f       output samples (default: the input's depth; 8-bit gives 16)\n"
           "  --quiet                no progress bar and no summary\n"
           "  --help                 show this text\n"
           "  --version              show the engine's version\n"
           "\n"
           "Exit status: 0 done, 1 usage error, 2 input refused or unreadable, 3 output not writable.\n";
}

std::string FormatVersion(int packedVersion)
{
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d", (packedVersion >> 16) & 0xFF, (packedVersion >> 8) & 0xFF,
                  packedVersion & 0xFF);
    return text;
}

std::optional<double> EffectiveFormantSemitones(const RenderOptions& options)
{
    if (options.preserveFormants) {
        return options.pitchSemitones;
    }
    return options.formantSemitones;
}

SampleFormat DefaultSampleFormat(int inputBitsPerSample)
{
    return inputBitsPerSample == 24 ? SampleFormat::Pcm24 : SampleFormat::Pcm16;
}

}  // namespace kelvane::render
