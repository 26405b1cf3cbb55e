#include "waveform_overview.h"

#include <gtest/gtest.h>

#include <vector>

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

TEST(PositionDelay, HandsBackThePositionOfTenExchangesEarlier)
{
    PositionDelay delay;
    for (int i = 1; i <= PositionDelay::kLength; ++i) {
        EXPECT_EQ(delay.Exchange(100 * i), 0);
    }
    EXPECT_EQ(delay.Exchange(5000), 100);
    EXPECT_EQ(delay.Exchange(6000), 200);
    delay.Clear();
    for (int i = 0; i < PositionDelay::kLength; ++i) {
        EXPECT_EQ(delay.Exchange(7000 + i), 0);
    }
    EXPECT_EQ(delay.Exchange(0), 7000);
}

}  // namespace
}  // namespace sevrane::ui
