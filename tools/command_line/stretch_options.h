// The options that every command-line program changing a sound takes: speed,
// pitch, formants and direction, with their ranges and refusal texts.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "command_line.h"

namespace kelvane::tools {

// Speed must be above 0 (0 would freeze the output for ever).
constexpr double kMaximumSpeedPercent = 400.0;
constexpr double kSemitoneLimit = 24.0;

struct StretchSettings {
    double speedPercent = 100.0;
    double pitchSemitones = 0.0;
    std::optional<double> formantSemitones;  // unset: formants move with the pitch
    bool preserveFormants = false;           // formant shift follows the pitch
    bool reverse = false;
};

// Strict: the whole text must be a finite number ("1e2" is fine, "12abc",
// "nan" and "" are not); speed may end in '%'.
std::optional<double> ParseNumber(std::string text, bool allowPercentSign);

// --speed, --pitch, --formant, --preserve-formants and --reverse, writing
// into `settings`, for a program's option table; their refusals name the
// option and its range.
std::vector<CommandOption> StretchOptions(StretchSettings& settings);
// The refusal for settings that contradict each other, or "".
std::string CheckStretchSettings(const StretchSettings& settings);

// The formant shift to give the engine, or nothing to leave correction off.
std::optional<double> EffectiveFormantSemitones(const StretchSettings& settings);

// "5.6.1" from GetVersion's 0x050601.
std::string FormatVersion(int packedVersion);

}  // namespace kelvane::tools
