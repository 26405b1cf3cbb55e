// kelvane-render: changes the speed and pitch of sound files through the
// engine's C surface and writes the results, one file or a batch.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "batch.h"
#include "kelvane/engine.h"
#include "progress_bar.h"
#include "render/overwrite_guard.h"
#include "render/render_file.h"
#include "render_options.h"

namespace {

using namespace kelvane::render;

// Lock-free, so the handler may store into it while render threads read it.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void RequestStop(int signalNumber)
{
    stopSignal.store(signalNumber);
}

void CatchStopSignals()
{
    struct sigaction action = {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : kelvane::tools::StopSignals()) {
        sigaction(signalNumber, &action, nullptr);
    }
    // The files are what a render is for, its lines only tell of them: a
    // reader of the output that goes away (`| head`) must not end the
    // process with temporary files left behind.
    std::signal(SIGPIPE, SIG_IGN);
}

// After the temporary files are gone, die of the signal as if it had not
// been caught, so a calling shell sees the interrupt.
int DieOfStopSignal()
{
    const int signalNumber = stopSignal.load();
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
    return 128 + signalNumber;
}

bool ShowsProgress(const RenderOptions& options)
{
    return !options.quiet && ::isatty(STDERR_FILENO) == 1;
}

int RenderOne(const RenderOptions& options)
{
    ProgressBar bar(stderr);
    ProgressReport progress;
    if (ShowsProgress(options)) {
        progress = [&bar](std::uint64_t done, std::uint64_t total) { bar.Update(done, total); };
    }
    const RenderJob& job = options.jobs.front();
    FileOutcome outcome;
    try {
        outcome = RenderFile(job, FileSettingsOf(options), progress, &stopSignal);
    } catch (...) {
        outcome = FailureOfCaughtException(job);
    }
    bar.Finish();
    switch (outcome.result) {
        case FileResult::Done:
        case FileResult::Skipped:
            break;
        case FileResult::Interrupted:
            return DieOfStopSignal();
        case FileResult::Refused:
        case FileResult::Failed:
            Complain(outcome.message);
            return ExitCodeOf(outcome.fault);
    }
    for (const std::string& warning : outcome.warnings) {
        Complain(job.inputPath + ": " + warning);
    }
    if (!options.quiet) {
        std::printf("%s\n", outcome.summary.c_str());
    }
    return kExitDone;
}

int RenderMany(const RenderOptions& options)
{
    const BatchSummary summary = RunBatch(options, stdout, stderr, ShowsProgress(options), &stopSignal);
    if (summary.interrupted || stopSignal.load() != 0) {
        return DieOfStopSignal();
    }
    if (!options.quiet) {
        std::printf("%s\n", FormatBatchSummary(summary).c_str());
    }
    return summary.exitCode;
}

}  // namespace

int main(int argc, char** argv)
{
    CatchStopSignals();
    std::vector<std::string> arguments(argv + 1, argv + argc);
    ParseResult parsed = ParseRenderOptions(arguments);
    switch (parsed.outcome) {
        case ParseOutcome::ShowHelp:
            std::fputs(UsageText().c_str(), stdout);
            return kExitDone;
        case ParseOutcome::ShowVersion:
            std::printf("kelvane-render %s\n", FormatVersion(GetVersion()).c_str());
            return kExitDone;
        case ParseOutcome::UsageError:
            Complain(parsed.message);
            std::fputs("Try 'kelvane-render --help' for more information.\n", stderr);
            return kExitUsage;
        case ParseOutcome::Render:
            break;
    }
    if (const std::string overwrite = FindOverwrite(parsed.options.jobs); !overwrite.empty()) {
        Complain(overwrite);
        return kExitUsage;
    }
    return parsed.options.batch ? RenderMany(parsed.options) : RenderOne(parsed.options);
}
