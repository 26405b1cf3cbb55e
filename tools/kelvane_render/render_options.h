// The command line of kelvane-render: what it accepts and how it refuses.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sound_files/sound_file_reader.h"
#include "sound_files/sound_file_writer.h"
#include "stretch_options.h"

namespace kelvane::render {

using sound_files::Container;
using sound_files::SampleFormat;
using tools::EffectiveFormantSemitones;
using tools::FormatVersion;

constexpr int kMaximumThreads = 256;

// One input and the file it is rendered into.
struct RenderJob {
    std::string inputPath;
    std::string outputPath;
};

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

// The output samples when --bits was not given: the input's depth (8-bit
// widened to 16, 32-bit integers and floats kept as float where the
// container holds float, else 24-bit); 16-bit for lossy and companded input,
// which has no depth of its own.
SampleFormat DefaultSampleFormat(const sound_files::SoundInfo& input, Container container);

}  // namespace kelvane::render
