// The waveform overview: one min-max column per pixel of the display, and
// where the play cursor stands. Plain code, no drawing.
#pragma once

#include <array>
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

// The play cursor lags ten paints behind the play position, so that it
// stands about where the sound being heard comes from: each paint hands in
// the current position and gets the one handed in ten paints earlier.
class PositionDelay {
public:
    static constexpr int kLength = 10;

    std::int64_t Exchange(std::int64_t current) noexcept
    {
        const std::int64_t delayed = entries[index];
        entries[index] = current;
        index = (index + 1) % kLength;
        return delayed;
    }
    // Back to ten zero entries: the next ten paints give 0.
    void Clear() noexcept
    {
        entries.fill(0);
        index = 0;
    }

private:
    std::array<std::int64_t, kLength> entries{};
    int index = 0;
};

}  // namespace sevrane::ui
