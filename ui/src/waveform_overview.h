// The waveform overview: one min-max column per pixel of the display, where
// the play cursor stands, and which frames a stretch of columns stands for.
// Plain code, no drawing.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace sevrane::ui {

// One column of the overview: its upper and lower end as pixel offsets from
// the centre line, upwards positive.
struct OverviewColumn {
    std::int16_t max = 0;
    std::int16_t min = 0;
};

// Fills one column per entry of `columns` for a sound of `frameCount` frames
// of `channels` interleaved samples, for a display `height` pixels high.
//
// Every column examines the same whole number of frames, step = (frames - 2)
// / columns truncated, starting where the previous column's share started
// plus the exact (fractional) step, accumulated in single precision. A
// column spans every channel of its frames. A sound too short to give each
// column a frame leaves every column at its full height (max -height/2, min
// +height/2: a line over the whole height). Samples are taken as within
// [-1, 1].
void ComputeOverview(const float* samples, std::int32_t frameCount, int channels, int height,
                     std::span<OverviewColumn> columns) noexcept;

// The display column of the play cursor for a play position, or none for a
// sound without frames. A negative position stands at 0; a position at or
// past the end gives a column at or past `width`, which is not on screen.
std::optional<int> CursorColumn(std::int64_t position, std::int32_t frameCount, int width) noexcept;

// The frame a click on display column `column` asks for: the first one whose
// cursor stands in that column (columns beyond the display are held to it).
std::int32_t FrameAtColumn(int column, std::int32_t frameCount, int width) noexcept;

// A stretch of frames, `first` included, `end` excluded.
struct FrameSpan {
    std::int32_t first = 0;
    std::int32_t end = 0;
    bool operator==(const FrameSpan&) const = default;
};

// The frames a drag across display columns `from` to `to` (in either order,
// both included, held to the display) selects: from the first frame of the
// leftmost column to the last frame of the rightmost, so that the columns
// the region is drawn in are exactly those dragged across. Empty for a sound
// without frames.
FrameSpan FramesOfColumns(int from, int to, std::int32_t frameCount, int width) noexcept;

// A stretch of display columns, `first` to `last`, both included.
struct ColumnSpan {
    int first = 0;
    int last = 0;
    bool operator==(const ColumnSpan&) const = default;
};

// The columns a region of frames is drawn in: those of its first and its
// last frame's cursors and all between; none for an empty region.
std::optional<ColumnSpan> ColumnsOfFrames(const FrameSpan& frames, std::int32_t frameCount, int width) noexcept;

}  // namespace sevrane::ui
