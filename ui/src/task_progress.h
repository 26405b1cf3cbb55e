// What a long task on a worker thread and the window share while it runs:
// how far the task has got, and whether it is asked to stop. Every field is
// a lock-free atomic: the task writes `done` and `total`, the window reads
// them and sets `stop`.
#pragma once

#include <atomic>
#include <cstdint>

namespace sevrane::ui {

struct TaskProgress {
    std::atomic<std::uint64_t> done{0};
    std::atomic<std::uint64_t> total{0};  // 0 while not known
    // Non-zero once the user has asked to stop (an int, as the render loop
    // takes its stop request).
    std::atomic<int> stop{0};

    void Report(std::uint64_t doneNow, std::uint64_t totalNow) noexcept
    {
        total.store(totalNow, std::memory_order_relaxed);
        done.store(doneNow, std::memory_order_relaxed);
    }
    bool StopRequested() const noexcept { return stop.load(std::memory_order_relaxed) != 0; }
};

}  // namespace sevrane::ui
