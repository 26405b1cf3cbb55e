// The command line of kelvane-render: what it accepts and how it refuses.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sound_files/sound_file_reader.h"
#include "sound_files/sound_file_writer.h"

namespace kelvane::render {

using sound_files::Container;
using sound_files::SampleFormat;

// Speed must be above 0 (0 would freeze the output for ever).
constexpr double kMaximumSpeedPercent = 400.0;
constexpr double kSemitoneLimit = 24.0;
constexpr int kMaximumThreads = 256;

// One input and the file it is rendered into.
struct RenderJob {
    std::string inputPath;
    std::string outputPath;
};

struct RenderOptions {
    double speedPercent = 100.0;
    double pitchSemitones = 0.0;
    std::optional<double> formantSemitones;  // unset: formants move with the pitch
    bool preserveFormants = false;           // formant shift follows the pitch
    bool reverse = false;
    int quality = 1;
    std::optional<SampleFormat> sampleFormat;  // unset: from the input's depth
    // From --format, else the output's extension (WAV for a name without
    // one); a batch writes WAV unless told otherwise.
    Container container = Container::Wav;
    bool quiet = false;
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

// "5.6.1" from GetVersion's 0x050601.
std::string FormatVersion(int packedVersion);

// The formant shift to give the engine, or nothing to leave correction off.
std::optional<double> EffectiveFormantSemitones(const RenderOptions& options);

// The output samples when --bits was not given: the input's depth (8-bit
// widened to 16, 32-bit integers and floats kept as float where the
// container holds float, else 24-bit); 16-bit for lossy and companded input,
// which has no depth of its own.
SampleFormat DefaultSampleFormat(const sound_files::SoundInfo& input, Container container);

}  // namespace kelvane::render
