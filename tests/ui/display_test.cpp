#include "display.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QTest>
#include <set>

#include "playback/loaded_sound.h"
#include "window_fixture.h"

namespace sevrane::ui::test {
namespace {

const QRgb kCentreLine = qRgb(210, 210, 210);
const QRgb kWaveform = qRgb(0, 0, 25);
const QRgb kCursor = qRgb(25, 135, 55);

// A one-channel sound of `values`, as the loader would hold it.
LoadedSound MonoSound(const std::vector<float>& values)
{
    LoadedSound sound;
    sound.format.formatTag = 1;
    sound.format.channels = 1;
    sound.format.sampleRate = 44100;
    sound.format.bitsPerSample = 16;
    EXPECT_TRUE(sound.samples.Allocate(values.size() * sizeof(float)));
    std::copy(values.begin(), values.end(), sound.samples.data());
    sound.sampleBytes = values.size() * sizeof(float);
    sound.frameCount = static_cast<std::int32_t>(values.size());
    return sound;
}

class DisplayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        display.resize(202, 62);  // a client area of 200 x 60 inside the frame
        display.SizeOverview();
        display.SetPlayerState(&state);
    }
    // The client area as the screen shows it after one paint.
    QImage Paint()
    {
        return display.grab(display.contentsRect()).toImage().convertToFormat(QImage::Format_RGB32);
    }
    // Rows of column x painted in `colour`.
    static std::set<int> RowsIn(const QImage& image, int x, QRgb colour)
    {
        std::set<int> rows;
        for (int y = 0; y < image.height(); ++y) {
            if (image.pixel(x, y) == colour) {
                rows.insert(y);
            }
        }
        return rows;
    }
    static int CountOf(const QImage& image, QRgb colour)
    {
        int count = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                count += image.pixel(x, y) == colour ? 1 : 0;
            }
        }
        return count;
    }
    // Makes the engine handle look set: the display only tests it.
    void PretendEngine() { state.engineHandle.store(&engine); }

    Display display;
    PlayerState state;
    EngineInterface engine{};
};

TEST_F(DisplayTest, EmptyViewIsBackgroundAndCentreLine)
{
    ASSERT_EQ(display.ClientWidth(), 200);
    ASSERT_EQ(display.ClientHeight(), 60);
    const QImage image = Paint();
    const QRgb background = display.palette().color(QPalette::Light).rgb();
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            ASSERT_EQ(image.pixel(x, y), y == 30 ? kCentreLine : background) << x << ", " << y;
        }
    }
}

TEST_F(DisplayTest, FullScaleSquareWaveFillsEveryColumnAndTheCursorStartsAtTheLeft)
{
    std::vector<float> square(4000);
    for (std::size_t i = 0; i < square.size(); ++i) {
        square[i] = i % 2 == 0 ? 1.0f : -1.0f;
    }
    const LoadedSound sound = MonoSound(square);
    PretendEngine();
    display.SetSound(&sound);
    const QImage image = Paint();
    // max = 30, min = -30 from base 30: rows 0 to 59, the end point (row 0)
    // left out as line ends are.
    std::set<int> column;
    for (int y = 1; y <= 59; ++y) {
        column.insert(y);
    }
    EXPECT_EQ(RowsIn(image, 100, kWaveform), column);
    EXPECT_EQ(RowsIn(image, 199, kWaveform), column);
    EXPECT_EQ(RowsIn(image, 0, kCursor).size(), 60u);
    EXPECT_EQ(CountOf(image, kCursor), 60);
}

TEST_F(DisplayTest, CursorFollowsThePositionTenPaintsLate)
{
    const LoadedSound sound = MonoSound(std::vector<float>(10000, 0.0f));
    PretendEngine();
    display.SetSound(&sound);
    state.position.store(5000);
    for (int paint = 0; paint < PositionDelay::kLength; ++paint) {
        ASSERT_EQ(RowsIn(Paint(), 0, kCursor).size(), 60u) << "paint " << paint;
    }
    const QImage image = Paint();
    EXPECT_EQ(RowsIn(image, 100, kCursor).size(), 60u);
    EXPECT_EQ(CountOf(image, kCursor), 60);
    // Silence draws nothing but the centre line under the cursor.
    EXPECT_EQ(CountOf(image, kWaveform), 0);

    // At the end of the sound the cursor leaves the display.
    state.position.store(10000);
    for (int paint = 0; paint <= PositionDelay::kLength; ++paint) {
        Paint();
    }
    EXPECT_EQ(CountOf(Paint(), kCursor), 0);
}

TEST_F(DisplayTest, WithoutAnEngineTheCursorStaysAtTheStart)
{
    const LoadedSound sound = MonoSound(std::vector<float>(10000, 0.0f));
    display.SetSound(&sound);
    state.position.store(5000);
    for (int paint = 0; paint <= PositionDelay::kLength; ++paint) {
        Paint();
    }
    EXPECT_EQ(RowsIn(Paint(), 0, kCursor).size(), 60u);
}

TEST_F(DisplayTest, SoundWithoutFramesDrawsNoCursor)
{
    const LoadedSound empty;
    PretendEngine();
    display.SetSound(&empty);
    const QImage image = Paint();
    EXPECT_EQ(CountOf(image, kCursor), 0);
    // Too short for any column: every column is a full-height line.
    EXPECT_EQ(RowsIn(image, 50, kWaveform).size(), 60u);
}

TEST_F(DisplayTest, ReleasedOverviewShowsTheEmptyView)
{
    std::vector<float> values(10000, 0.5f);
    values[5000] = -0.5f;
    const LoadedSound sound = MonoSound(values);
    PretendEngine();
    display.SetSound(&sound);
    EXPECT_GT(CountOf(Paint(), kWaveform), 0);
    display.ReleaseOverview();
    const QImage image = Paint();
    EXPECT_EQ(CountOf(image, kWaveform), 0);
    EXPECT_EQ(CountOf(image, kCursor), 0);
    EXPECT_EQ(CountOf(image, kCentreLine), 200);
}

TEST_F(DisplayTest, ClickAsksForTheFrameUnderIt)
{
    const LoadedSound sound = MonoSound(std::vector<float>(10000, 0.0f));
    display.SetSound(&sound);
    std::vector<std::int32_t> asked;
    QObject::connect(&display, &Display::SeekRequested, [&](std::int32_t frame) { asked.push_back(frame); });
    QTest::mouseClick(&display, Qt::LeftButton, Qt::NoModifier, QPoint(display.contentsRect().left() + 50, 20));
    QTest::mouseClick(&display, Qt::RightButton, Qt::NoModifier, QPoint(display.contentsRect().left() + 80, 20));
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], 2500);

    // Without a sound a click asks for nothing.
    display.SetSound(nullptr);
    QTest::mouseClick(&display, Qt::LeftButton, Qt::NoModifier, QPoint(display.contentsRect().left() + 50, 20));
    EXPECT_EQ(asked.size(), 1u);
}

}  // namespace
}  // namespace sevrane::ui::test
