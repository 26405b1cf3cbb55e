// The progress line kelvane-render redraws on a terminal while it works.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kelvane::render {

// "1:05", or "1:02:03" from an hour on.
std::string FormatDuration(double seconds);

// "[##########          ]  50%  0:04 elapsed  0:04 left"; the time left is
// extrapolated from the pace so far ("--:--" before anything is done).
std::string FormatProgressLine(std::uint64_t done, std::uint64_t total, double elapsedSeconds);

class ProgressBar {
public:
    explicit ProgressBar(std::FILE* stream);
    // Redraws the line in place, at most ten times a second, with `note`
    // after it ("12/300 files").
    void Update(std::uint64_t done, std::uint64_t total, const std::string& note = "");
    // Erases the line, so what follows starts on a clean one.
    void Finish();

private:
    using Clock = std::chrono::steady_clock;
    std::FILE* stream;
    Clock::time_point start;
    Clock::time_point lastDraw;
    bool drawn = false;
};

}  // namespace kelvane::render
