#include "waveform_overview.h"

#include <algorithm>

namespace sevrane::ui {

namespace {

// A column's end in pixels from the centre line: truncated towards zero.
std::int16_t PixelOffset(float height, float value) noexcept
{
    return static_cast<std::int16_t>(height * std::clamp(value, -1.0f, 1.0f) * 0.5f);
}

}  // namespace

void ComputeOverview(const float* samples, std::int32_t frameCount, int channels, int height,
                     std::span<OverviewColumn> columns) noexcept
{
    if (columns.empty()) {
        return;
    }
    const float step = static_cast<float>(frameCount - 2) / static_cast<float>(columns.size());
    const std::int64_t framesPerColumn = step > 0.0f ? static_cast<std::int64_t>(step) : 0;
    const float pixelHeight = static_cast<float>(height);
    float start = 0.0f;
    for (OverviewColumn& column : columns) {
        float hi = -1.0f;
        float lo = 1.0f;
        for (std::int64_t j = 0; j < framesPerColumn; ++j) {
            // The accumulated start drifts with the rounding of every sum; on
            // long files it can pass the last frame, so the frame is held
            // inside the sound.
            const auto frame = std::min(static_cast<std::int64_t>(static_cast<float>(j) + start),
                                        static_cast<std::int64_t>(frameCount) - 1);
            const float* sample = samples + frame * channels;
            for (int c = 0; c < channels; ++c) {
                lo = std::min(lo, sample[c]);
                hi = std::max(hi, sample[c]);
            }
        }
        start += step;
        column.max = PixelOffset(pixelHeight, hi);
        column.min = PixelOffset(pixelHeight, lo);
    }
}

std::optional<int> CursorColumn(std::int64_t position, std::int32_t frameCount, int width) noexcept
{
    if (frameCount <= 0) {
        return std::nullopt;
    }
    const double value = static_cast<double>(std::max<std::int64_t>(position, 0));
    return static_cast<int>(value / frameCount * width);
}

std::int32_t FrameAtColumn(int column, std::int32_t frameCount, int width) noexcept
{
    if (frameCount <= 0 || width <= 0) {
        return 0;
    }
    // The first frame whose cursor stands in this column.
    const std::int64_t scaled = static_cast<std::int64_t>(std::clamp(column, 0, width - 1)) * frameCount;
    const std::int64_t frame = (scaled + width - 1) / width;
    return static_cast<std::int32_t>(std::min<std::int64_t>(frame, frameCount - 1));
}

FrameSpan FramesOfColumns(int from, int to, std::int32_t frameCount, int width) noexcept
{
    if (frameCount <= 0 || width <= 0) {
        return {};
    }
    const int left = std::clamp(std::min(from, to), 0, width - 1);
    const int right = std::clamp(std::max(from, to), 0, width - 1);
    const std::int32_t first = FrameAtColumn(left, frameCount, width);
    // The rightmost column ends where the next one's first frame begins.
    const std::int32_t end = right + 1 < width ? FrameAtColumn(right + 1, frameCount, width) : frameCount;
    return {first, std::max(end, first + 1)};
}

std::optional<ColumnSpan> ColumnsOfFrames(const FrameSpan& frames, std::int32_t frameCount, int width) noexcept
{
    if (frames.end <= frames.first) {
        return std::nullopt;
    }
    const std::optional<int> first = CursorColumn(frames.first, frameCount, width);
    const std::optional<int> last = CursorColumn(frames.end - 1, frameCount, width);
    if (!first.has_value() || !last.has_value()) {
        return std::nullopt;
    }
    return ColumnSpan{*first, *last};
}

}  // namespace sevrane::ui
