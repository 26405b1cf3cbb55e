// One file through the engine: read block by block, rendered, written under a
// temporary name and put in place when complete. For every program that
// renders files: a single render, a batch, an export.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "render/render_loop.h"
#include "sound_files/sound_file_reader.h"
#include "sound_files/sound_file_writer.h"

namespace kelvane::render {

using sound_files::Container;
using sound_files::SampleFormat;

// One input and the file it is rendered into.
struct RenderJob {
    std::string inputPath;
    std::string outputPath;
};

// How a file is rendered: the engine's settings and the output's form.
struct FileRenderSettings {
    RenderSettings sound;
    Container container = Container::Wav;
    std::optional<SampleFormat> sampleFormat;  // unset: from the input's depth
    bool keepExisting = false;  // an output that exists is kept, and its input skipped
};

// Which side a file that was not done failed on.
enum class FileFault {
    None,
    Input,   // unreadable, not sound, outside the engine's limits, damaged
    Output,  // not writable, or beyond the format's size limit
};

enum class FileResult {
    Done,
    Refused,      // the input was not taken: unreadable, not sound, outside the engine's limits
    Failed,       // the render started and could not finish: a damaged input, an unwritable output
    Interrupted,  // a stop was requested; nothing was left behind
    Skipped,      // keepExisting, and the output exists: it is kept as it is
};

struct FileOutcome {
    FileResult result = FileResult::Done;
    FileFault fault = FileFault::None;  // Input or Output when refused or failed
    std::string message;                // when not done: "PATH: why"
    // When done: what the listener should know ("input ends early: ...",
    // "warning: 12 samples clipped ..."), each a line of its own.
    std::vector<std::string> warnings;
    std::string summary;  // when done or skipped: the line printed for it
};

// The output samples when none are asked for: the input's depth (8-bit
// widened to 16, 32-bit integers and floats kept as float where the
// container holds float, else 24-bit); 16-bit for lossy and companded input,
// which has no depth of its own.
SampleFormat DefaultSampleFormat(const sound_files::SoundInfo& input, Container container);

// Renders `job` with `settings`. `progress` hears how many of
// the expected output frames are done; `stopRequested`, when set non-zero,
// ends the render as Interrupted. Safe to call from several threads at once
// for different jobs.
FileOutcome RenderFile(const RenderJob& job, const FileRenderSettings& settings, const ProgressReport& progress,
                       const std::atomic<int>* stopRequested);

// Renders interleaved frames already in memory (`input.frames` of them, at
// `input`'s rate and channels) into `job.outputPath` as RenderFile renders
// a file: the same output form (`input`'s encoding and depth choose the
// default one), the same temporary file put in place only when complete.
// `job.inputPath` names where the frames came from, in messages; keeping the
// output off it is the caller's part (FindOverwrite). For a program that
// holds the sound already, or only a stretch of it (an export of a region).
FileOutcome RenderFramesToFile(const float* samples, const sound_files::SoundInfo& input, const RenderJob& job,
                               const FileRenderSettings& settings, const ProgressReport& progress,
                               const std::atomic<int>* stopRequested);

// Called inside a `catch (...)` around a render of `job`: the exception being
// handled as a Failed outcome naming the file ("not enough memory to render
// it", "cannot be rendered: WHAT"). The writer, unwound, has removed its
// temporary file by then.
FileOutcome FailureOfCaughtException(const RenderJob& job);

}  // namespace kelvane::render
