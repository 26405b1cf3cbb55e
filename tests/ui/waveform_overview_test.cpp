#include "waveform_overview.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "position_text.h"

namespace sevrane::ui {
namespace {

std::vector<OverviewColumn> Overview(const std::vector<float>& samples, std::int32_t frames, int channels, int width,
                                     int height)
{
    std::vector<OverviewColumn> columns(width);
    ComputeOverview(samples.data(), frames, channels, height, columns);
    return columns;
}

void ExpectEveryColumn(const std::vector<OverviewColumn>& columns, int max, int min)
{
    for (std::size_t i = 0; i < columns.size(); ++i) {
        EXPECT_EQ(columns[i].max, max) << "column " << i;
        EXPECT_EQ(columns[i].min, min) << "column " << i;
    }
}

TEST(WaveformOverview, FullScaleSquareWaveFillsTheHeight)
{
    std::vector<float> square(4000);
    for (std::size_t i = 0; i < square.size(); ++i) {
        square[i] = (i / 2) % 2 == 0 ? 1.0f : -1.0f;
    }
    // Odd height: half of 77 truncates to 38 on both sides.
    ExpectEveryColumn(Overview(square, 4000, 1, 300, 77), 38, -38);
    ExpectEveryColumn(Overview(square, 2000, 2, 300, 96), 48, -48);
}

TEST(WaveformOverview, SilenceLiesOnTheCentreLine)
{
    ExpectEveryColumn(Overview(std::vector<float>(2 * 5000), 5000, 2, 400, 96), 0, 0);
}

TEST(WaveformOverview, TooFewFramesGiveFullHeightLines)
{
    const int width = 100;
    // W + 1 frames: step below one, no frame examined.
    ExpectEveryColumn(Overview(std::vector<float>(width + 1, 0.25f), width + 1, 1, width, 77), -38, 38);
    // One frame, where N - 2 is negative.
    ExpectEveryColumn(Overview(std::vector<float>(2, 0.0f), 1, 2, width, 96), -48, 48);
    // W + 2 frames is the first length with a frame per column.
    ExpectEveryColumn(Overview(std::vector<float>(width + 2, 0.0f), width + 2, 1, width, 96), 0, 0);
}

TEST(WaveformOverview, StereoColumnsSpanBothChannels)
{
    std::vector<float> samples;
    for (int frame = 0; frame < 3000; ++frame) {
        samples.push_back(0.0f);  // left silent
        samples.push_back(0.5f);  // right constant
    }
    ExpectEveryColumn(Overview(samples, 3000, 2, 250, 90), 22, 0);
}

TEST(WaveformOverview, ColumnsExamineEqualShareFromAnAccumulatedFractionalStart)
{
    // 12 frames over 4 columns: step 2.5, two frames each, starting at frames
    // 0, 2.5, 5 and 7.5: frames 0-1, 2-3, 5-6 and 7-8. Frame 4 and frames 9
    // to 11 are never looked at.
    const auto peakAt = [](int frame) {
        std::vector<float> samples(12, 0.0f);
        samples[frame] = 1.0f;
        return Overview(samples, 12, 1, 4, 100);
    };
    EXPECT_EQ(peakAt(3)[1].max, 50);
    EXPECT_EQ(peakAt(4)[1].max, 0);
    EXPECT_EQ(peakAt(4)[2].max, 0);
    EXPECT_EQ(peakAt(5)[2].max, 50);
    EXPECT_EQ(peakAt(7)[3].max, 50);
    for (const OverviewColumn& column : peakAt(9)) {
        EXPECT_EQ(column.max, 0);
    }
}

TEST(WaveformOverview, ColumnsOfManyChannelsSpanEveryChannelOfTheirFrames)
{
    // Four channels; only the last channel of one frame moves.
    std::vector<float> samples(4 * 400, 0.0f);
    samples[4 * 250 + 3] = -0.5f;
    const auto columns = Overview(samples, 400, 4, 4, 100);
    // Step (400 - 2) / 4 = 99.5: frame 250 lies in the third column.
    EXPECT_EQ(columns[2].min, -25);
    EXPECT_EQ(columns[1].min, 0);
    EXPECT_EQ(columns[3].min, 0);
}

TEST(WaveformOverview, LongSoundsAreNeverReadPastTheirLastFrame)
{
    // For this length and width the single-precision start drifts past the
    // last frame; the samples beyond it are marked so that a read shows.
    const std::int32_t frames = 1815375;
    std::vector<float> samples(frames + 4096, 1.0f);
    std::fill(samples.begin(), samples.begin() + frames, 0.0f);
    ExpectEveryColumn(Overview(samples, frames, 1, 811, 100), 0, 0);
}

TEST(CursorColumn, ScalesThePositionToTheWidth)
{
    EXPECT_EQ(CursorColumn(0, 1000, 400), 0);
    EXPECT_EQ(CursorColumn(-50, 1000, 400), 0);
    EXPECT_EQ(CursorColumn(999, 1000, 400), 399);
    EXPECT_EQ(CursorColumn(500, 1000, 400), 200);
    // At the end the cursor leaves the display.
    EXPECT_EQ(CursorColumn(1000, 1000, 400), 400);
    // A sound without frames has no place for a cursor.
    EXPECT_EQ(CursorColumn(0, 0, 400), std::nullopt);
}

TEST(CursorColumn, AClickedColumnAsksForItsFirstFrame)
{
    EXPECT_EQ(FrameAtColumn(0, 1000, 400), 0);
    EXPECT_EQ(FrameAtColumn(200, 1000, 400), 500);
    EXPECT_EQ(FrameAtColumn(399, 1000, 400), 998);
    EXPECT_EQ(FrameAtColumn(-3, 1000, 400), 0);
    EXPECT_EQ(FrameAtColumn(450, 1000, 400), 998);
    EXPECT_EQ(FrameAtColumn(10, 0, 400), 0);
    // The cursor of that frame stands in the clicked column.
    for (int column = 0; column < 400; column += 37) {
        EXPECT_EQ(CursorColumn(FrameAtColumn(column, 44100, 400), 44100, 400), column);
    }
}

// A drag across columns selects exactly the frames whose cursors stand in
// them, and the region is drawn in exactly those columns, whether the sound
// has more frames than the display has columns or fewer.
TEST(CursorColumn, DraggedColumnsAndTheRegionsColumnsAgree)
{
    const struct {
        int from;
        int to;
        std::int32_t frames;
        int width;
        FrameSpan selected;
    } cases[] = {
        {100, 199, 1000, 400, {250, 500}},  // columns 100..199: frames 250..499
        {199, 100, 1000, 400, {250, 500}},  // dragged leftwards
        {0, 399, 1000, 400, {0, 1000}},     // the whole display
        {-20, 900, 1000, 400, {0, 1000}},   // beyond it, held to it
        {5, 5, 1000, 400, {13, 15}},        // one column
        {10, 20, 50, 400, {2, 3}},          // fewer frames than columns
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.from << ".." << c.to << " of " << c.frames << " frames");
        const FrameSpan selected = FramesOfColumns(c.from, c.to, c.frames, c.width);
        EXPECT_EQ(selected, c.selected);
        const std::optional<ColumnSpan> drawn = ColumnsOfFrames(selected, c.frames, c.width);
        ASSERT_TRUE(drawn.has_value());
        if (c.frames >= c.width) {
            EXPECT_EQ(*drawn, (ColumnSpan{std::clamp(std::min(c.from, c.to), 0, c.width - 1),
                                          std::clamp(std::max(c.from, c.to), 0, c.width - 1)}));
        }
    }
    EXPECT_EQ(FramesOfColumns(3, 9, 0, 400), FrameSpan{});
    EXPECT_EQ(ColumnsOfFrames(FrameSpan{}, 1000, 400), std::nullopt);
}

TEST(PositionText, ReadsMinutesSecondsAndTenthsTruncated)
{
    const struct {
        std::int64_t position;
        std::int64_t frames;
        std::uint32_t rate;
        const char* text;
    } rows[] = {
        {3683529, 13053600, 44100, "1:23.5 / 4:56.0"},
        {4409, 44100, 44100, "0:00.0 / 0:01.0"},   // 0.09998 s is not yet 0.1
        {4410, 44100, 44100, "0:00.1 / 0:01.0"},
        {-300, 48000, 48000, "0:00.0 / 0:01.0"},   // before the start
        {99999, 48000, 48000, "0:01.0 / 0:01.0"},  // past the end
        {2 * 3600 * 96000LL + 123 * 96000 + 9600, 3 * 3600 * 96000LL, 96000, "2:02:03.1 / 3:00:00.0"},
        {600 * 44100, 3600 * 44100 - 1, 44100, "10:00.0 / 59:59.9"},
        {5, 10, 0, "0:00.0 / 0:00.0"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(PositionText(row.position, row.frames, row.rate), row.text) << row.position << " at " << row.rate;
    }
}

}  // namespace
}  // namespace sevrane::ui
