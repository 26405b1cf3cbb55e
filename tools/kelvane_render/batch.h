// Many files at once: `-o FOLDER` with any number of inputs. Each file gets
// an engine of its own on one of N threads; a file that cannot be done is
// reported and skipped, never stopping the others.
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "render/render_file.h"
#include "render_options.h"

namespace kelvane::render {

struct BatchSummary {
    int done = 0;
    int skipped = 0;  // --no-clobber, their outputs kept
    int refused = 0;
    int failed = 0;
    bool interrupted = false;
    int exitCode = 0;  // the worst of the files': 0, kExitInput or kExitOutput
};

// How a batch starts its threads and renders a file; tests replace them to
// make a thread fail to start or a render throw.
struct BatchSeams {
    // Starts a thread running `work`; throws (std::system_error) when the
    // system has none to give, as std::thread does.
    std::function<std::thread(std::function<void()> work)> startThread;
    std::function<FileOutcome(const RenderJob&, const RenderOptions&, const ProgressReport&,
                              const std::atomic<int>*)>
        renderFile;
};
BatchSeams RealBatchSeams();  // std::thread and RenderFile

// Renders every job of `options` into its folder (made when missing). Each
// file's line goes to `out` as it is done (unless quiet), and each problem to
// `err`, named by its path; one progress bar over the whole batch is drawn
// on `err` when `showProgress`. Never ends the process: a file whose render
// throws fails with a message, and when threads cannot be started the batch
// runs on those that could (on the calling thread at least).
BatchSummary RunBatch(const RenderOptions& options, std::FILE* out, std::FILE* err, bool showProgress,
                      const std::atomic<int>* stopRequested, const BatchSeams& seams = RealBatchSeams());

// "300 files: 298 done, 1 refused, 1 failed"; the skipped are counted
// ("2 skipped, ") when there are any.
std::string FormatBatchSummary(const BatchSummary& summary);

}  // namespace kelvane::render
