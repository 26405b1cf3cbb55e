#include "stretch_options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kelvane::tools {

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

namespace {

std::string ApplyStretchValue(const std::string& name, const std::string& value, StretchSettings& settings)
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
        settings.speedPercent = *number;
        return "";
    }
    if (*number < -kSemitoneLimit || *number > kSemitoneLimit) {
        return name + " must be from -24 to 24 semitones, not '" + value + "'";
    }
    if (name == "--pitch") {
        settings.pitchSemitones = *number;
    } else {
        settings.formantSemitones = *number;
    }
    return "";
}

}  // namespace

std::vector<CommandOption> StretchOptions(StretchSettings& settings)
{
    std::vector<CommandOption> options;
    for (const char* name : {"--speed", "--pitch", "--formant"}) {
        options.push_back({name, 0, true, [name, &settings](const std::string& value) {
                               return ApplyStretchValue(name, value, settings);
                           }});
    }
    options.push_back(FlagOption("--preserve-formants", settings.preserveFormants));
    options.push_back(FlagOption("--reverse", settings.reverse));
    return options;
}

std::string CheckStretchSettings(const StretchSettings& settings)
{
    if (settings.preserveFormants && settings.formantSemitones) {
        return "--formant and --preserve-formants cannot be used together";
    }
    return "";
}

std::optional<double> EffectiveFormantSemitones(const StretchSettings& settings)
{
    if (settings.preserveFormants) {
        return settings.pitchSemitones;
    }
    return settings.formantSemitones;
}

std::string FormatVersion(int packedVersion)
{
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d", (packedVersion >> 16) & 0xFF, (packedVersion >> 8) & 0xFF,
                  packedVersion & 0xFF);
    return text;
}

}  // namespace kelvane::tools
