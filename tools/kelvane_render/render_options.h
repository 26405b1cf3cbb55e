// The command line of kelvane-render: what it accepts and how it refuses.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "render/render_file.h"
#include "stretch_options.h"

namespace kelvane::render {

using tools::EffectiveFormantSemitones;
using tools::FormatVersion;
using tools::kExitDone;
using tools::kExitInput;
using tools::kExitOutput;
using tools::kExitUsage;

constexpr const char* kProgramName = "kelvane-render";

// "kelvane-render: MESSAGE" on `stream`.
inline void Complain(const std::string& message, std::FILE* stream = stderr)
{
    tools::Complain(kProgramName, message, stream);
}

constexpr int kMaximumThreads = 256;

// The exit status for a file that was not done because of `fault`.
int ExitCodeOf(FileFault fault);

// Speed, pitch, formants and direction, as kelvane-play takes them, and the
// renderer's own options.
struct RenderOptions : tools::StretchSettings {
    int quality = 1;
    std::optional<SampleFormat> sampleFormat;  // unset: from the input's depth
    // From --format, else the output's extension (WAV for a name without
    // one); a batch writes WAV unless told otherwise.
    Container container = Container::Wav;
    bool quiet = false;
    bool noClobber = false;   // -n: outputs that exist are kept, their inputs skipped
    bool batch = false;       // -o FOLDER was given
    std::string outputFolder;
    int threads = 0;          // -j; 0: one per core
    std::vector<RenderJob> jobs;  // one for a single render, one per input in a batch
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

// What the options ask of each file's render.
FileRenderSettings FileSettingsOf(const RenderOptions& options);

}  // namespace kelvane::render
