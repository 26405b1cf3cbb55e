#include "progress_bar.h"

#include <algorithm>
#include <cmath>

namespace kelvane::render {

namespace {

constexpr int kBarWidth = 30;

}  // namespace

std::string FormatDuration(double seconds)
{
    long whole = std::lround(std::max(0.0, seconds));
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    }
    return text;
}

std::string FormatProgressLine(std::uint64_t done, std::uint64_t total, double elapsedSeconds)
{
    const double fraction =
        total == 0 ? 1.0 : std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
    const int filled = static_cast<int>(fraction * kBarWidth);
    std::string line(1, '[');
    line.append(filled, '#').append(kBarWidth - filled, ' ').append("] ");

    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100.0));
    line += percent;
    line += "  " + FormatDuration(elapsedSeconds) + " elapsed  ";
    if (done == 0) {
        line += "--:--";
    } else {
        line += FormatDuration(elapsedSeconds * (1.0 - fraction) / fraction);
    }
    return line + " left";
}

ProgressBar::ProgressBar(std::FILE* out) : stream(out), start(Clock::now()), lastDraw(start) {}

void ProgressBar::Update(std::uint64_t done, std::uint64_t total, const std::string& note)
{
    const Clock::time_point now = Clock::now();
    if (drawn && now - lastDraw < std::chrono::milliseconds(100)) {
        return;
    }
    lastDraw = now;
    drawn = true;
    const double elapsed = std::chrono::duration<double>(now - start).count();
    std::string line = FormatProgressLine(done, total, elapsed);
    if (!note.empty()) {
        line += "  " + note;
    }
    std::fprintf(stream, "\r%s", line.c_str());
    std::fflush(stream);
}

void ProgressBar::Finish()
{
    if (drawn) {
        std::fprintf(stream, "\r\033[K");
        std::fflush(stream);
        drawn = false;
    }
}

}  // namespace kelvane::render
