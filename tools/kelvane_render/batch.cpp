#include "batch.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>

#include "command_line.h"
#include "progress_bar.h"

namespace kelvane::render {

namespace {

// Progress is counted in thousandths of a file, so that files of any length
// weigh the same and the bar moves within each.
constexpr std::uint64_t kFileUnits = 1000;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

// Everything the workers share. Lines and the bar go through one lock, so a
// message never lands inside the bar's line.
struct BatchState {
    const RenderOptions& options;
    const BatchSeams& seams;
    const std::atomic<int>* stopRequested;
    std::FILE* out;
    std::FILE* err;
    ProgressBar bar;
    std::atomic<std::size_t> nextJob{0};
    std::atomic<std::uint64_t> finishedUnits{0};
    std::unique_ptr<std::atomic<std::uint64_t>[]> workerUnits;  // the file each worker is on

    std::mutex lock;
    std::condition_variable allDone;
    int running = 0;
    BatchSummary summary;

    BatchState(const RenderOptions& options, const BatchSeams& seams, const std::atomic<int>* stop,
               std::FILE* out, std::FILE* err, int workers)
        : options(options),
          seams(seams),
          stopRequested(stop),
          out(out),
          err(err),
          bar(err),
          workerUnits(new std::atomic<std::uint64_t>[static_cast<std::size_t>(workers)])
    {
        for (int i = 0; i < workers; ++i) {
            workerUnits[static_cast<std::size_t>(i)] = 0;
        }
    }

    bool Stopped() const { return stopRequested != nullptr && stopRequested->load() != 0; }

    void Record(const RenderJob& job, const FileOutcome& outcome)
    {
        std::lock_guard<std::mutex> hold(lock);
        bar.Finish();
        switch (outcome.result) {
            case FileResult::Done:
            case FileResult::Skipped:
                ++(outcome.result == FileResult::Done ? summary.done : summary.skipped);
                for (const std::string& warning : outcome.warnings) {
                    Complain(job.inputPath + ": " + warning, err);
                }
                if (!options.quiet) {
                    std::fprintf(out, "%s\n", outcome.summary.c_str());
                    std::fflush(out);
                }
                break;
            case FileResult::Refused:
            case FileResult::Failed:
                ++(outcome.result == FileResult::Refused ? summary.refused : summary.failed);
                summary.exitCode = std::max(summary.exitCode, ExitCodeOf(outcome.fault));
                Complain(outcome.message, err);
                break;
            case FileResult::Interrupted:
                summary.interrupted = true;
                break;
        }
    }

    // Whatever a render throws fails its file alone.
    FileOutcome RenderCaught(const RenderJob& job, const ProgressReport& progress)
    {
        try {
            return seams.renderFile(job, options, progress, stopRequested);
        } catch (...) {
            return FailureOfCaughtException(job);
        }
    }

    void Work(std::size_t worker)
    {
        std::atomic<std::uint64_t>& units = workerUnits[worker];
        for (;;) {
            const std::size_t index = nextJob.fetch_add(1);
            if (index >= options.jobs.size() || Stopped()) {
                break;
            }
            const RenderJob& job = options.jobs[index];
            ProgressReport progress = [&units](std::uint64_t done, std::uint64_t total) {
                units = total == 0 ? 0 : done * kFileUnits / total;
            };
            const FileOutcome outcome = RenderCaught(job, progress);
            units = 0;
            finishedUnits += kFileUnits;
            Record(job, outcome);
        }
    }

    void WorkerEnded()
    {
        std::lock_guard<std::mutex> hold(lock);
        --running;
        allDone.notify_all();
    }

    std::uint64_t UnitsDone(int workers) const
    {
        std::uint64_t done = finishedUnits.load();
        for (int i = 0; i < workers; ++i) {
            done += workerUnits[static_cast<std::size_t>(i)].load();
        }
        return done;
    }
};

// Blocks the stop signals in this thread while it lives, so that the threads
// started meanwhile inherit the mask; the thread's own mask comes back after.
class StopSignalsBlocked {
public:
    StopSignalsBlocked()
    {
        sigset_t stopping;
        sigemptyset(&stopping);
        for (int signalNumber : tools::StopSignals()) {
            sigaddset(&stopping, signalNumber);
        }
        pthread_sigmask(SIG_BLOCK, &stopping, &previous);
    }
    ~StopSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

private:
    sigset_t previous;
};

// Starts up to `wanted` workers; returns the threads that started. When one
// cannot be started, says so on `err` and goes on with the others.
std::vector<std::thread> StartWorkers(BatchState& state, int wanted)
{
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(wanted));
    const StopSignalsBlocked blocked;
    for (int i = 0; i < wanted; ++i) {
        {
            std::lock_guard<std::mutex> hold(state.lock);
            ++state.running;
        }
        try {
            threads.push_back(state.seams.startThread([&state, i] {
                state.Work(static_cast<std::size_t>(i));
                state.WorkerEnded();
            }));
        } catch (const std::exception& refusal) {
            state.WorkerEnded();
            const std::size_t started = threads.size();
            Complain(std::string("cannot start another thread (") + refusal.what() + "): rendering on " +
                         (started == 0 ? "this one alone"
                                       : std::to_string(started) + (started == 1 ? " thread" : " threads")),
                     state.err);
            break;
        }
    }
    return threads;
}

}  // namespace

BatchSeams RealBatchSeams()
{
    BatchSeams seams;
    seams.startThread = [](std::function<void()> work) { return std::thread(std::move(work)); };
    seams.renderFile = [](const RenderJob& job, const RenderOptions& options, const ProgressReport& progress,
                          const std::atomic<int>* stopRequested) {
        return RenderFile(job, FileSettingsOf(options), progress, stopRequested);
    };
    return seams;
}

BatchSummary RunBatch(const RenderOptions& options, std::FILE* out, std::FILE* err, bool showProgress,
                      const std::atomic<int>* stopRequested, const BatchSeams& seams)
{
    std::error_code made;
    std::filesystem::create_directories(options.outputFolder, made);
    if (made || !std::filesystem::is_directory(options.outputFolder)) {
        Complain("cannot write " + options.outputFolder + ": " + (made ? made.message() : "not a folder"), err);
        BatchSummary summary;
        summary.failed = static_cast<int>(options.jobs.size());
        summary.exitCode = kExitOutput;
        return summary;
    }

    int workers = options.threads > 0 ? options.threads : static_cast<int>(std::thread::hardware_concurrency());
    workers = std::clamp(workers, 1, static_cast<int>(std::max<std::size_t>(options.jobs.size(), 1)));

    BatchState state(options, seams, stopRequested, out, err, workers);
    std::vector<std::thread> threads = StartWorkers(state, workers);
    if (threads.empty()) {
        state.Work(0);
        return state.summary;
    }

    const std::uint64_t totalUnits = options.jobs.size() * kFileUnits;
    {
        // Drawn at once, then every interval until the workers are done.
        std::unique_lock<std::mutex> hold(state.lock);
        do {
            if (showProgress) {
                const int finished =
                    state.summary.done + state.summary.skipped + state.summary.refused + state.summary.failed;
                state.bar.Update(state.UnitsDone(workers), totalUnits,
                                 std::to_string(finished) + "/" + std::to_string(options.jobs.size()) + " files");
            }
        } while (!state.allDone.wait_for(hold, kRedrawInterval, [&state] { return state.running == 0; }));
        state.bar.Finish();
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return state.summary;
}

std::string FormatBatchSummary(const BatchSummary& summary)
{
    const int files = summary.done + summary.skipped + summary.refused + summary.failed;
    std::string text = std::to_string(files) + (files == 1 ? " file: " : " files: ") + std::to_string(summary.done) +
                       " done, ";
    if (summary.skipped > 0) {
        text += std::to_string(summary.skipped) + " skipped, ";
    }
    return text + std::to_string(summary.refused) + " refused, " + std::to_string(summary.failed) + " failed";
}

}  // namespace kelvane::render
