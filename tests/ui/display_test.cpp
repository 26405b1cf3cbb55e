#include "display.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPaintEvent>
#include <QTest>
#include <functional>
#include <set>
#include <string>

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
    sound.channels = 1;
    sound.sampleRate = 44100;
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
    // The client area as the screen shows it, painted after a look at the
    // player state.
    QImage Paint()
    {
        display.Refresh();
        return display.grab(display.contentsRect()).toImage().convertToFormat(QImage::Format_RGB32);
    }
    // `rows` without those the position text covers in column x.
    std::set<int> Uncovered(int x, std::set<int> rows) const
    {
        const QRect box = display.PositionTextBox().translated(-display.contentsRect().topLeft());
        for (int y = box.top(); y <= box.bottom(); ++y) {
            if (box.left() <= x && x <= box.right()) {
                rows.erase(y);
            }
        }
        return rows;
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
    for (const int x : {50, 100, 199}) {
        EXPECT_EQ(RowsIn(image, x, kWaveform), Uncovered(x, column)) << "column " << x;
    }
    EXPECT_EQ(RowsIn(image, 0, kCursor).size(), 60u);
    EXPECT_EQ(CountOf(image, kCursor), 60);
    // The text sits in the top right corner, clear of the cursor's column.
    const QRect box = display.PositionTextBox().translated(-display.contentsRect().topLeft());
    EXPECT_GT(box.left(), 0);
    EXPECT_LT(box.top(), 10);
    EXPECT_GE(box.right(), 190);
    EXPECT_LE(box.right(), 199);
}

// The cursor and the text show the position being heard: the play position
// itself when nothing has played since the stream stopped, else the one
// recorded the player's lag ago.
TEST_F(DisplayTest, CursorAndTextShowTheHeardPosition)
{
    const LoadedSound sound = MonoSound(std::vector<float>(10000, 0.0f));
    PretendEngine();
    display.SetSound(&sound);
    state.position.store(5000);
    QImage image = Paint();
    EXPECT_EQ(RowsIn(image, 100, kCursor).size(), 60u);
    EXPECT_EQ(CountOf(image, kCursor), 60);
    EXPECT_EQ(display.PositionTextShown(), "0:00.1 / 0:00.2");
    // Silence draws nothing but the centre line under the cursor.
    EXPECT_EQ(CountOf(image, kWaveform), 0);

    // Playing: fed as far as 9000, heard two buffers behind, at 2500.
    state.position.store(9000);
    state.heardLagBuffers.store(2);
    state.buffersRecorded.store(kelvane::playback::kPositionHistory + 3);
    state.positionHistory[0].store(2500);
    image = Paint();
    EXPECT_EQ(RowsIn(image, 50, kCursor).size(), 60u);
    EXPECT_EQ(CountOf(image, kCursor), 60);
    EXPECT_EQ(display.PositionTextShown(), "0:00.0 / 0:00.2");

    // At the end of the sound the cursor leaves the display.
    state.buffersRecorded.store(0);
    state.position.store(10000);
    EXPECT_EQ(CountOf(Paint(), kCursor), 0);
    EXPECT_EQ(display.PositionTextShown(), "0:00.2 / 0:00.2");
}

TEST_F(DisplayTest, WithoutAnEngineTheCursorStaysAtTheStart)
{
    const LoadedSound sound = MonoSound(std::vector<float>(10000, 0.0f));
    display.SetSound(&sound);
    state.position.store(5000);
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

// Dragging across the waveform selects the frames of the columns dragged
// across, shaded while dragging and once the player holds them. A click
// inside the region only seeks; one outside asks for it to go, then seeks. A
// press that moves less than a drag is a click.
TEST_F(DisplayTest, DragSelectsARegionAndAClickOutsideClearsIt)
{
    const LoadedSound sound = MonoSound(std::vector<float>(10000, 0.0f));
    PretendEngine();
    display.SetSound(&sound);
    std::vector<std::string> asked;
    QObject::connect(&display, &Display::SeekRequested, [&](std::int32_t frame) { asked.push_back("seek " + std::to_string(frame)); });
    QObject::connect(&display, &Display::RegionSelected, [&](std::int32_t first, std::int32_t last) {
        asked.push_back("select " + std::to_string(first) + ".." + std::to_string(last));
    });
    QObject::connect(&display, &Display::RegionCleared, [&] { asked.push_back("clear"); });
    const int left = display.contentsRect().left();
    const auto at = [&](int column) { return QPoint(left + column, 40); };
    const QRgb background = display.palette().color(QPalette::Light).rgb();
    const QRgb shade = qRgb(200, 220, 245);

    QTest::mousePress(&display, Qt::LeftButton, Qt::NoModifier, at(120));
    QTest::mouseMove(&display, at(40));
    QImage image = Paint();
    EXPECT_EQ(image.pixel(80, 50), shade);
    EXPECT_EQ(image.pixel(121, 50), background);
    QTest::mouseRelease(&display, Qt::LeftButton, Qt::NoModifier, at(40));
    const FrameSpan selected = FramesOfColumns(40, 120, 10000, 200);
    ASSERT_EQ(asked, std::vector<std::string>{"select " + std::to_string(selected.first) + ".." +
                                              std::to_string(selected.end - 1)});
    // Without the player holding it, the shading goes.
    EXPECT_EQ(Paint().pixel(80, 50), background);

    state.loopRegion.store(kelvane::playback::PackLoopRegion(selected.first, selected.end));
    image = Paint();
    for (const int x : {40, 80, 120}) {
        EXPECT_EQ(image.pixel(x, 50), shade) << x;
    }
    for (const int x : {39, 121}) {
        EXPECT_EQ(image.pixel(x, 50), background) << x;
    }
    // The waveform and the centre line stay on top of the shading.
    EXPECT_EQ(image.pixel(80, 30), kCentreLine);

    asked.clear();
    QTest::mouseClick(&display, Qt::LeftButton, Qt::NoModifier, at(60));
    QTest::mousePress(&display, Qt::LeftButton, Qt::NoModifier, at(150));
    QTest::mouseMove(&display, at(150 + Display::kDragColumns - 1));
    QTest::mouseRelease(&display, Qt::LeftButton, Qt::NoModifier, at(150 + Display::kDragColumns - 1));
    EXPECT_EQ(asked, (std::vector<std::string>{"seek 3000", "clear", "seek 7500"}));
}

// Stopped, the display paints nothing and runs no timer. While playback
// runs it follows the heard position and repaints only the cursor's old and
// new columns and the text; once playback ends it stops.
TEST_F(DisplayTest, RepaintsOnlyWhatChangesAndNothingWhileStopped)
{
    struct PaintRecorder final : QObject {
        bool eventFilter(QObject*, QEvent* event) override
        {
            if (event->type() == QEvent::Paint) {
                ++paints;
                painted += static_cast<QPaintEvent*>(event)->region();
            }
            return false;
        }
        int paints = 0;
        QRegion painted;
    } recorder;
    bool playing = false;
    display.SetPlayerState(&state, [&] { return playing; });
    const LoadedSound sound = MonoSound(std::vector<float>(10000, 0.25f));
    PretendEngine();
    display.SetSound(&sound);
    display.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&display));
    QCoreApplication::sendPostedEvents();
    QApplication::processEvents();
    display.installEventFilter(&recorder);
    const auto waitFor = [](const std::function<bool()>& done) {
        for (int i = 0; i < 2000 && !done(); ++i) {
            QTest::qWait(10);
        }
        return done();
    };

    display.FollowPlayback();
    EXPECT_FALSE(display.Following());
    QTest::qWait(300);
    EXPECT_EQ(recorder.paints, 0);

    playing = true;
    display.FollowPlayback();
    EXPECT_TRUE(display.Following());
    state.position.store(5000);
    ASSERT_TRUE(waitFor([&] { return recorder.paints > 0; })) << "no repaint while playing";
    ASSERT_TRUE(waitFor([&] { return display.CursorColumnShown() == 100; }));
    const QRect client = display.contentsRect();
    QRegion allowed = display.PositionTextBox();
    for (const int column : {0, 100}) {
        allowed += QRect(client.left() + column, client.top(), 1, client.height());
    }
    EXPECT_TRUE(recorder.painted.subtracted(allowed).isEmpty()) << "painted beyond the cursor and the text";
    EXPECT_TRUE(recorder.painted.intersects(QRect(client.left() + 100, client.top(), 1, client.height())));

    playing = false;
    ASSERT_TRUE(waitFor([&] { return !display.Following(); })) << "still following after playback ended";
    recorder.paints = 0;
    QTest::qWait(300);
    EXPECT_EQ(recorder.paints, 0);
}

}  // namespace
}  // namespace sevrane::ui::test
