// Many files at once: `-o FOLDER` with any number of inputs. Each file gets
// an engine of its own on one of N threads; a file that cannot be done is
// reported and skipped, never stopping the others.
#pragma once

#include <atomic>
#include <cstdio>

#include "render_options.h"

namespace kelvane::render {

struct BatchSummary {
    int done = 0;
    int refused = 0;
    int failed = 0;
    bool interrupted = false;
    int exitCode = 0;  // the worst of the files': 0, kExitInput or kExitOutput
};

// Renders every job of `options` into its folder (made when missing). Each
// file's line goes to `out` as it is done (unless quiet), and each problem to
// `err`, named by its path; one progress bar over the whole batch is drawn
// on `err` when `showProgress`.
BatchSummary RunBatch(const RenderOptions& options, std::FILE* out, std::FILE* err, bool showProgress,
                      const std::atomic<int>* stopRequested);

// "300 files: 298 done, 1 refused, 1 failed".
std::string FormatBatchSummary(const BatchSummary& summary);

}  // namespace kelvane::render
