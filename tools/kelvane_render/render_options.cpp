#include "render_options.h"

#include <cstdlib>
#include <filesystem>
#include <map>

namespace kelvane::render {

namespace {

ParseResult Refuse(std::string message)
{
    ParseResult result;
    result.outcome = ParseOutcome::UsageError;
    result.message = std::move(message);
    return result;
}

constexpr const char* kWrittenFormats = "wav, flac, ogg, aiff or w64";

// The renderer's own options, on top of those that change the sound.
std::vector<tools::CommandOption> RenderOptionTable(RenderOptions& options, bool& formatGiven)
{
    std::vector<tools::CommandOption> table = tools::StretchOptions(options);
    table.push_back({"--quality", 0, true, [&options](const std::string& value) -> std::string {
                         if (value != "0" && value != "1") {
                             return "--quality must be 0 or 1, not '" + value + "'";
                         }
                         options.quality = value == "1" ? 1 : 0;
                         return "";
                     }});
    table.push_back({"--bits", 0, true, [&options](const std::string& value) -> std::string {
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
                     }});
    table.push_back({"--format", 0, true, [&options, &formatGiven](const std::string& value) -> std::string {
                         std::optional<Container> container = sound_files::ContainerForName(value);
                         if (!container) {
                             return std::string("--format must be ") + kWrittenFormats + ", not '" + value + "'";
                         }
                         options.container = *container;
                         formatGiven = true;
                         return "";
                     }});
    table.push_back({"--output", 'o', true, [&options](const std::string& value) -> std::string {
                         if (value.empty()) {
                             return "--output needs a folder";
                         }
                         options.batch = true;
                         options.outputFolder = value;
                         return "";
                     }});
    table.push_back({"--jobs", 'j', true, [&options](const std::string& value) -> std::string {
                         char* end = nullptr;
                         const long threads = std::strtol(value.c_str(), &end, 10);
                         if (value.empty() || end != value.c_str() + value.size() || threads < 1 ||
                             threads > kMaximumThreads) {
                             return "--jobs must be a whole number from 1 to " + std::to_string(kMaximumThreads) +
                                    ", not '" + value + "'";
                         }
                         options.threads = static_cast<int>(threads);
                         return "";
                     }});
    table.push_back(tools::FlagOption("--no-clobber", options.noClobber, 'n'));
    table.push_back(tools::FlagOption("--quiet", options.quiet));
    return table;
}

}  // namespace

ParseResult ParseRenderOptions(const std::vector<std::string>& arguments)
{
    ParseResult result;
    RenderOptions& options = result.options;
    bool formatGiven = false;
    const tools::ParsedCommand command = tools::ParseCommand(arguments, RenderOptionTable(options, formatGiven));
    switch (command.outcome) {
        case tools::CommandOutcome::Run:
            break;
        case tools::CommandOutcome::ShowHelp:
            result.outcome = ParseOutcome::ShowHelp;
            return result;
        case tools::CommandOutcome::ShowVersion:
            result.outcome = ParseOutcome::ShowVersion;
            return result;
        case tools::CommandOutcome::UsageError:
            return Refuse(command.message);
    }
    const std::vector<std::string>& paths = command.operands;

    if (std::string refusal = tools::CheckStretchSettings(options); !refusal.empty()) {
        return Refuse(refusal);
    }
    if (!options.batch) {
        if (paths.size() != 2) {
            return Refuse(paths.size() < 2 ? "needs an input and an output file (or -o FOLDER for many inputs)"
                                           : "too many files: '" + paths[2] + "' (one input, one output, or -o FOLDER)");
        }
        if (!formatGiven) {
            const std::string extension = std::filesystem::path(paths[1]).extension().string();
            std::optional<Container> named = sound_files::ContainerForExtension(extension);
            if (!extension.empty() && !named) {
                return Refuse("cannot tell the output format from '" + extension + "': name the output ." +
                              "wav, .flac, .ogg, .aiff or .w64, or give --format");
            }
            options.container = named.value_or(Container::Wav);
        }
        options.jobs.push_back({paths[0], paths[1]});
    } else {
        if (paths.empty()) {
            return Refuse("needs input files to render into " + options.outputFolder);
        }
        // Every input lands in the folder under its own name: two inputs of
        // one name would overwrite each other.
        std::map<std::string, std::string> taken;
        for (const std::string& input : paths) {
            const std::filesystem::path inputPath(input);
            if (inputPath.stem().empty()) {
                return Refuse("'" + input + "' names no file");
            }
            const std::string output =
                (std::filesystem::path(options.outputFolder) /
                 (inputPath.stem().string() + sound_files::ContainerExtension(options.container)))
                    .string();
            if (auto [at, added] = taken.emplace(output, input); !added) {
                return Refuse("'" + at->second + "' and '" + input + "' would both be written to '" + output + "'");
            }
            options.jobs.push_back({input, output});
        }
    }
    if (options.sampleFormat) {
        if (!sound_files::HasSampleDepth(options.container)) {
            return Refuse(std::string("--bits does not apply to ") + sound_files::ContainerName(options.container) +
                          " output");
        }
        if (!sound_files::TakesSampleFormat(options.container, *options.sampleFormat)) {
            return Refuse(std::string("--bits: ") + sound_files::ContainerName(options.container) +
                          " cannot hold " + sound_files::DescribeSampleFormat(*options.sampleFormat));
        }
    }
    result.outcome = ParseOutcome::Render;
    return result;
}

std::string UsageText()
{
    return "Usage: kelvane-render [options] INPUT OUTPUT\n"
           "   or: kelvane-render [options] INPUT... -o FOLDER\n"
           "Changes the speed and pitch of sound files and writes the results.\n"
           "Reads WAV (any sample format), RF64, W64, AIFF, FLAC, Ogg Vorbis and Opus, MP3 and the other\n"
           "formats of libsndfile, at 32000 to 196000 Hz with 1 to 8 channels; writes the format the\n"
           "output's name asks for: .wav (RF64 past 4 GiB), .flac, .ogg, .aiff or .w64.\n"
           "\n"
           "  --speed PERCENT        speed, above 0 up to 400 (default 100; 50: half speed, twice as long)\n"
           "  --pitch SEMITONES      pitch shift, -24 to 24 (default 0)\n"
           "  --formant SEMITONES    formant shift, -24 to 24, independent of the pitch\n"
           "  --preserve-formants    keep the voice's formants while the pitch moves\n"
           "  --reverse              play the input backwards\n"
           "  --quality 0|1          1: overlap 4, the default; 0: overlap 2, cheaper\n"
           "  --bits 16|24|32f       output samples (default: the input's depth; FLAC holds 16 or 24,\n"
           "                         Ogg Vorbis has no depth)\n"
           "  --format FORMAT        wav, flac, ogg, aiff or w64, whatever the output's name\n"
           "  -o, --output FOLDER    render every INPUT into FOLDER/NAME.wav (or the --format's)\n"
           "  -j, --jobs N           files rendered at once in a batch (default: one per core)\n"
           "  -n, --no-clobber       keep outputs that exist and skip their inputs (finishes an\n"
           "                         interrupted batch); without it they are replaced\n"
           "  --quiet                no progress bar and no summary\n"
           "  --help                 show this text\n"
           "  --version              show the engine's version\n"
           "\n"
           "Exit status: 0 done, 1 usage error, 2 input refused or unreadable, 3 output not writable.\n"
           "A batch goes on past a bad file and exits with the worst status among its files.\n"
           "An output is never the same file as an input: such a command is refused (status 1).\n"
           "An output that is a symbolic link is written through to the file it names.\n";
}

int ExitCodeOf(FileFault fault)
{
    switch (fault) {
        case FileFault::None:
            break;
        case FileFault::Input:
            return kExitInput;
        case FileFault::Output:
            return kExitOutput;
    }
    return kExitDone;
}

FileRenderSettings FileSettingsOf(const RenderOptions& options)
{
    FileRenderSettings settings;
    settings.sound.speedPercent = options.speedPercent;
    settings.sound.pitchSemitones = options.pitchSemitones;
    settings.sound.formantSemitones = EffectiveFormantSemitones(options);
    settings.sound.reverse = options.reverse;
    settings.sound.quality = options.quality;
    settings.container = options.container;
    settings.sampleFormat = options.sampleFormat;
    settings.keepExisting = options.noClobber;
    return settings;
}

}  // namespace kelvane::render
