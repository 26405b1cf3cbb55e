// The command line of kelvane-render: what it accepts and how it refuses.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "wav_writer.h"

namespace kelvane::render {

// Speed must be above 0 (0 would freeze the output for ever).
constexpr double kMaximumSpeedPercent = 400.0;
constexpr double kSemitoneLimit = 24.0;

struct RenderOptions {
    double speedPercent = 100.0;
    double pitchSemitones = 0.0;
    std::optional<double> formantSemitones;  // unset: formants move with the pitch
    bool preserveFormants = false;           // formant shift follows the pitch
    bool reverse = false;
    int quality = 1;
    std::optional<SampleFormat> sampleFormat;  // unset: from the input's depth
    bool quiet = false;
    std::string inputPath;
    std::string outputPath;
};

enum class ParseOutcome { Render, ShowHelp, ShowVersion, UsageError };

struct ParseResult {
    ParseOutcome outcome = ParseOutcome::UsageError;
    RenderOptions options;
    std::string message;  // for UsageError: one line naming the option at fault
};

// Parses the arguments after the program name. Nothing is read or written.
ParseResult ParseRenderOptions(const std::vector<std::string>& arguments);

std::string UsageText();

// "5.6.1" from GetVersion's 0x050601.
std::string FormatVersion(int packedVersion);

// The formant shift to give the engine, or nothing to leave correction off.
std::optional<double> EffectiveFormantSemitones(const RenderOptions& options);

// The output format when --bits was not given: the input's depth, with 8-bit
// input written as 16-bit, the narrowest format that holds it exactly.
SampleFormat DefaultSampleFormat(int inputBitsPerSample);

}  // namespace kelvane::render
