// The command line of kelvane-play: what it accepts and how it refuses.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "command_line.h"
#include "stretch_options.h"

namespace kelvane::play {

using tools::kExitDone;
using tools::kExitInput;
using tools::kExitUsage;
constexpr int kExitNoOutput = tools::kExitOutput;

constexpr const char* kProgramName = "kelvane-play";

// "kelvane-play: MESSAGE" on `stream`.
inline void Complain(const std::string& message, std::FILE* stream = stderr)
{
    tools::Complain(kProgramName, message, stream);
}

// Speed, pitch, formants and direction, as kelvane-render takes them, and
// the player's own options.
struct PlayOptions : tools::StretchSettings {
    bool loop = false;
    bool quiet = false;
    std::string inputPath;
};

enum class PlayParseOutcome { Play, ShowHelp, ShowVersion, UsageError };

struct PlayParseResult {
    PlayParseOutcome outcome = PlayParseOutcome::UsageError;
    PlayOptions options;
    std::string message;  // for UsageError: one line naming the option at fault
};

// Parses the arguments after the program name. Nothing is read or played.
PlayParseResult ParsePlayOptions(const std::vector<std::string>& arguments);

std::string PlayUsageText();

// The formant shift to give the player: 0 leaves correction off.
double PlayFormantSemitones(const PlayOptions& options);

// "1:05.3" for 65.3 s; "1:02:03.0" from an hour on.
std::string FormatPlayTime(double seconds);

}  // namespace kelvane::play
