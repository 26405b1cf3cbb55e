// One file through the engine: read block by block, rendered, written under a
// temporary name and put in place when complete. Shared by the single render
// and the batch.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "render_loop.h"
#include "render_options.h"

namespace kelvane::render {

constexpr int kExitDone = 0;
constexpr int kExitUsage = 1;
constexpr int kExitInput = 2;
constexpr int kExitOutput = 3;

enum class FileResult {
    Done,
    Refused,      // the input was not taken: unreadable, not sound, outside the engine's limits
    Failed,       // the render started and could not finish: a damaged input, an unwritable output
    Interrupted,  // a stop was requested; nothing was left behind
    Skipped,      // --no-clobber, and the output exists: it is kept as it is
};

struct FileOutcome {
    FileResult result = FileResult::Done;
    int exitCode = kExitDone;  // kExitInput or kExitOutput when not done
    std::string message;       // when not done: "PATH: why"
    // When done: what the listener should know ("input ends early: ...",
    // "warning: 12 samples clipped ..."), each a line of its own.
    std::vector<std::string> warnings;
    std::string summary;  // when done or skipped: the line printed for it
};

// Renders `job` with the settings of `options`. `progress` hears how many of
// the expected output frames are done; `stopRequested`, when set non-zero,
// ends the render as Interrupted. Safe to call from several threads at once
// for different jobs.
FileOutcome RenderFile(const RenderJob& job, const RenderOptions& options, const ProgressReport& progress,
                       const std::atomic<int>* stopRequested);

// Called inside a `catch (...)` around a render of `job`: the exception being
// handled as a Failed outcome naming the file ("not enough memory to render
// it", "cannot be rendered: WHAT"). The writer, unwound, has removed its
// temporary file by then.
FileOutcome FailureOfCaughtException(const RenderJob& job);

}  // namespace kelvane::render
