// The window as a practice player: its keys whichever control has the focus,
// Space starting from the cursor, the A-B loop region played through the
// real callback into a capture device, and a stopped window that paints
// nothing.
#include "practice_keys.h"

#include <QCheckBox>
#include <QMenu>
#include <QPaintEvent>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include "display.h"
#include "playback/audio_library.h"
#include "playback/player/audio_device.h"
#include "slider_mapping.h"
#include "window_fixture.h"

namespace sevrane::ui::test {
namespace {

using namespace std::chrono_literals;
using kelvane::playback::test::AudioDevice;

// Waits, with a generous limit, until `done` holds, letting the window's
// events run meanwhile.
bool WaitUntil(const std::function<bool()>& done)
{
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        QTest::qWait(5);
    }
    return done();
}

class PracticeTest : public WindowTest {
protected:
    // A stereo 44100 Hz file of 16-bit noise, each channel its own, and its
    // samples as the loader gives them.
    QString NoiseFile(int frames)
    {
        kelvane::playback::test::Bytes data;
        noise.clear();
        std::uint32_t seed = 12345;
        for (int i = 0; i < frames * 2; ++i) {
            seed = seed * 1664525u + 1013904223u;
            const auto value = static_cast<std::int16_t>(static_cast<std::int32_t>(seed >> 16) / 4 - 8192);
            kelvane::playback::test::AppendLe(data, static_cast<std::uint16_t>(value), 2);
            noise.push_back(static_cast<float>(value) / 32768.0f);
        }
        return QString::fromStdString(folder.Write("noise.wav", kelvane::playback::test::Wave(1, 2, 44100, 16, data)));
    }
    // A mono file of `seconds` of a quiet tone.
    QString LongFile(int seconds)
    {
        return QString::fromStdString(folder.Write(
            "long.wav", kelvane::playback::test::Wave(1, 1, 44100, 16, SineData(1, 44100 * seconds, 44100, 440, 0.1))));
    }
    const PlayerState& State() const { return window->GetPlayer().State(); }
    Display* TheDisplay() { return Find<Display>("display"); }
    QPoint AtColumn(int column) { return QPoint(TheDisplay()->contentsRect().left() + column, TheDisplay()->height() / 2); }
    void Drag(int fromColumn, int toColumn)
    {
        QTest::mousePress(TheDisplay(), Qt::LeftButton, Qt::NoModifier, AtColumn(fromColumn));
        QTest::mouseMove(TheDisplay(), AtColumn(toColumn));
        QTest::mouseRelease(TheDisplay(), Qt::LeftButton, Qt::NoModifier, AtColumn(toColumn));
    }

    std::vector<float> noise;  // interleaved stereo
};

// Each key acts whichever control has the focus, and the focused control does
// not act on it as well: a button or check box takes no Space, a slider keeps
// its own arrows and page keys but gives up the rest.
TEST_F(PracticeTest, KeysReachTheirActionsWhicheverControlHasTheFocus)
{
    ChooseAndLoad(LongFile(12));
    ASSERT_TRUE(window->GetPlayer().StreamOpen());
    auto* pitch = Find<QSlider>("pitchSlider");
    auto* speed = Find<QSlider>("speedSlider");
    auto* loop = Find<QCheckBox>("loopBox");
    auto* formant = Find<QCheckBox>("formantBox");
    const Player& player = window->GetPlayer();

    for (const char* name : {"loadButton", "playButton", "stopButton", "loopBox", "formantBox", "aboutButton",
                             "pitchSlider", "speedSlider"}) {
        SCOPED_TRACE(name);
        auto* focused = Find<QWidget>(name);
        focused->setFocus();
        const bool slider = focused == pitch || focused == speed;
        pitch->setValue(0);
        speed->setValue(0);
        const bool looping = loop->isChecked();
        const bool preserving = formant->isChecked();

        QTest::keyClick(focused, Qt::Key_L);
        EXPECT_NE(loop->isChecked(), looping);
        EXPECT_EQ(State().loopEnabled.load(), !looping);
        QTest::keyClick(focused, Qt::Key_F);
        EXPECT_NE(formant->isChecked(), preserving);
        QTest::keyClick(focused, Qt::Key_L);
        QTest::keyClick(focused, Qt::Key_F);

        // Pitch by a semitone, speed by a slider step; a focused slider moves
        // itself by its own step instead.
        QTest::keyClick(focused, Qt::Key_Up);
        QTest::keyClick(focused, Qt::Key_PageUp);
        EXPECT_EQ(pitch->value(), focused == pitch ? 1 + pitch->pageStep() : slider ? 0 : 4);
        EXPECT_EQ(speed->value(), focused == speed ? 1 + speed->pageStep() : slider ? 0 : 1);
        EXPECT_EQ(State().pitchTarget.load(), PitchFromSlider(pitch->value()));
        QTest::keyClick(focused, Qt::Key_Down);
        QTest::keyClick(focused, Qt::Key_PageDown);
        EXPECT_EQ(pitch->value(), 0);
        EXPECT_EQ(speed->value(), 0);

        // Stopped, Left and Right move the cursor 5 s; Home goes back.
        QTest::keyClick(focused, Qt::Key_Right);
        QTest::keyClick(focused, Qt::Key_Right);
        EXPECT_EQ(State().position.load(), slider ? 0 : 2 * 5 * 44100);
        QTest::keyClick(focused, Qt::Key_Left);
        EXPECT_EQ(State().position.load(), slider ? 0 : 5 * 44100);
        QTest::keyClick(focused, Qt::Key_Home);
        EXPECT_EQ(State().position.load(), 0);

        // Space plays (Loop is on, so it keeps playing), pauses, resumes.
        ASSERT_TRUE(loop->isChecked());
        QTest::keyClick(focused, Qt::Key_Space);
        EXPECT_TRUE(player.IsPlaying());
        EXPECT_FALSE(player.IsPaused());
        QTest::keyClick(focused, Qt::Key_Space);
        EXPECT_TRUE(player.IsPaused());
        QTest::keyClick(focused, Qt::Key_Space);
        EXPECT_TRUE(player.IsPlaying());
        EXPECT_FALSE(player.IsPaused());
        EXPECT_EQ(loop->isChecked(), true);
        EXPECT_EQ(formant->isChecked(), preserving);
        Click("stopButton");

        // Ctrl+O asks for a file as Load does (and is cancelled here).
        const std::size_t asked = services.startPaths.size();
        QTest::keyClick(focused, Qt::Key_O, Qt::ControlModifier);
        EXPECT_EQ(services.startPaths.size(), asked + 1);
        EXPECT_TRUE(window->GetPlayer().StreamOpen());
    }
}

// A region dragged across the waveform is set on the player and shaded; the
// context menu's "Clear loop region" is there only with one and removes it;
// Home goes to its start; a click outside it removes it too.
TEST_F(PracticeTest, DraggedRegionIsSetAndClearedByTheMenuOrAClickOutside)
{
    ChooseAndLoad(LongFile(12));
    Display* display = TheDisplay();
    const int width = display->ClientWidth();
    const auto entry = [this] {
        const std::unique_ptr<QMenu> menu = window->CreateContextMenu();
        for (QAction* action : menu->actions()) {
            if (action->text() == "Clear loop region") {
                return std::optional<bool>(action->isEnabled());
            }
        }
        return std::optional<bool>();
    };
    ASSERT_EQ(entry(), std::optional<bool>(false));

    Drag(width / 2, width / 4);
    const FrameSpan selected = FramesOfColumns(width / 4, width / 2, 44100 * 12, width);
    EXPECT_EQ(LoopRegionOf(State()), selected);
    // Stopped, the cursor went to the region's start, where Space starts.
    EXPECT_EQ(State().position.load(), selected.first);
    EXPECT_EQ(entry(), std::optional<bool>(true));
    QTest::keyClick(Find<QWidget>("loadButton"), Qt::Key_Right);
    QTest::keyClick(Find<QWidget>("loadButton"), Qt::Key_Home);
    EXPECT_EQ(State().position.load(), selected.first);

    const std::unique_ptr<QMenu> menu = window->CreateContextMenu();
    menu->actions().constFirst()->trigger();
    EXPECT_EQ(LoopRegionOf(State()), std::nullopt);
    EXPECT_EQ(entry(), std::optional<bool>(false));

    Drag(10, 40);
    ASSERT_TRUE(LoopRegionOf(State()).has_value());
    QTest::mouseClick(display, Qt::LeftButton, Qt::NoModifier, AtColumn(25));
    EXPECT_TRUE(LoopRegionOf(State()).has_value());
    QTest::mouseClick(display, Qt::LeftButton, Qt::NoModifier, AtColumn(width - 10));
    EXPECT_EQ(LoopRegionOf(State()), std::nullopt);
    EXPECT_EQ(State().position.load(), FrameAtColumn(width - 10, 44100 * 12, width));
}

// With a file loaded and nothing playing, the window asks for no repaint at
// all: no timer runs and nothing is painted.
TEST_F(PracticeTest, LoadedAndStoppedTheWindowPaintsNothing)
{
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    ChooseAndLoad(LongFile(12));
    struct PaintCounter final : QObject {
        bool eventFilter(QObject*, QEvent* event) override
        {
            paints += event->type() == QEvent::Paint ? 1 : 0;
            return false;
        }
        int paints = 0;
    } counter;
    Display* display = TheDisplay();
    // What the load asked for is painted first.
    ASSERT_FALSE(display->Following());
    QCoreApplication::sendPostedEvents();
    QApplication::processEvents();
    display->installEventFilter(&counter);
    QTest::qWait(400);
    EXPECT_EQ(counter.paints, 0);

    // Playing, the cursor and the text move (the capture device runs far
    // faster than real time).
    Click("playButton");
    ASSERT_TRUE(WaitUntil([&] { return counter.paints > 0; }));
    Click("stopButton");
    ASSERT_TRUE(WaitUntil([&] { return !display->Following(); }));
    EXPECT_EQ(display->CursorColumnShown(), 0);
    QCoreApplication::sendPostedEvents();
    QApplication::processEvents();
    counter.paints = 0;
    QTest::qWait(400);
    EXPECT_EQ(counter.paints, 0);
}

// The window's sound through a capture device of the test's own: the audio
// library is started again on it, and on the one before afterwards.
class CaptureDevice {
public:
    CaptureDevice()
    {
        const char* before = std::getenv("ALSA_CONFIG_PATH");
        previous = before != nullptr ? std::optional<std::string>(before) : std::nullopt;
        kelvane::playback::EndAudio();
        device.Use();
        started = kelvane::playback::StartAudio() == 0;
    }
    ~CaptureDevice()
    {
        kelvane::playback::EndAudio();
        if (previous.has_value()) {
            ::setenv("ALSA_CONFIG_PATH", previous->c_str(), 1);
        } else {
            ::unsetenv("ALSA_CONFIG_PATH");
        }
        kelvane::playback::StartAudio();
    }
    CaptureDevice(const CaptureDevice&) = delete;
    CaptureDevice& operator=(const CaptureDevice&) = delete;

    AudioDevice device{AudioDevice::Kind::Capture};
    bool started = false;

private:
    std::optional<std::string> previous;
};

// At speed 100 and pitch 0 the engine gives its input back within a few
// parts in ten thousand.
constexpr float kUnityTolerance = 2e-3f;

// Where in `played` (stereo) the frames `frameOf(0), frameOf(1), ...` of
// `source` begin to be heard, searching the first `within` frames; -1 if
// nowhere.
std::int64_t FindStart(const std::vector<float>& played, const std::vector<float>& source,
                       const std::function<std::int64_t(std::int64_t)>& frameOf, std::int64_t within)
{
    constexpr int kMatch = 64;
    const auto frames = static_cast<std::int64_t>(played.size() / 2);
    for (std::int64_t start = 0; start < within && start + kMatch <= frames; ++start) {
        bool same = true;
        for (int k = 0; k < kMatch && same; ++k) {
            for (int side = 0; side < 2 && same; ++side) {
                same = std::fabs(played[2 * (start + k) + side] - source[2 * frameOf(k) + side]) <= kUnityTolerance;
            }
        }
        if (same) {
            return start;
        }
    }
    return -1;
}

// How many frames from `start` on follow `frameOf` before the first that
// does not.
std::int64_t FramesFollowing(const std::vector<float>& played, const std::vector<float>& source, std::int64_t start,
                             const std::function<std::int64_t(std::int64_t)>& frameOf, std::int64_t most)
{
    const auto frames = static_cast<std::int64_t>(played.size() / 2);
    for (std::int64_t k = 0; k < most; ++k) {
        if (start + k >= frames) {
            return k;
        }
        for (int side = 0; side < 2; ++side) {
            if (!(std::fabs(played[2 * (start + k) + side] - source[2 * frameOf(k) + side]) <= kUnityTolerance)) {
                return k;
            }
        }
    }
    return most;
}

// Stopped, Space plays from where a click put the cursor (with the Play
// button focused, which must not start from the beginning instead), to the
// end of the sound.
TEST_F(PracticeTest, SpacePlaysFromTheCursorWhenStopped)
{
    CaptureDevice capture;
    ASSERT_TRUE(capture.started);
    constexpr int kFrames = 30000;
    ChooseAndLoad(NoiseFile(kFrames));
    ASSERT_TRUE(window->GetPlayer().StreamOpen());
    Click("loopBox");
    ASSERT_FALSE(State().loopEnabled.load());
    const int column = TheDisplay()->ClientWidth() * 2 / 3;
    QTest::mouseClick(TheDisplay(), Qt::LeftButton, Qt::NoModifier, AtColumn(column));
    const std::int32_t cursor = FrameAtColumn(column, kFrames, TheDisplay()->ClientWidth());
    ASSERT_EQ(State().position.load(), cursor);

    auto* play = Find<QPushButton>("playButton");
    play->setFocus();
    QTest::keyClick(play, Qt::Key_Space);
    ASSERT_TRUE(WaitUntil([&] { return !window->GetPlayer().IsPlaying(); })) << "the sound never ended";
    window.reset();  // closes the stream, so that the capture is complete

    const std::vector<float> played = capture.device.Captured();
    const auto fromCursor = [&](std::int64_t k) { return cursor + k; };
    const std::int64_t start = FindStart(played, noise, fromCursor, 20000);
    ASSERT_GE(start, 0) << "the sound from the cursor was not played";
    EXPECT_EQ(FramesFollowing(played, noise, start, fromCursor, kFrames - cursor), kFrames - cursor);
    // Nothing before it: not the beginning of the sound.
    for (std::int64_t i = 0; i < 2 * start; ++i) {
        ASSERT_LT(std::fabs(played[i]), 1e-3f) << "sample " << i;
    }
}

// With Loop on, a region dragged across the waveform plays over and over
// without a gap, forwards and (speed slider far left, reverse at 100 %)
// backwards: at unity the output is the region, repeated.
TEST_F(PracticeTest, DraggedRegionLoopsWithoutAGapInBothDirections)
{
    CaptureDevice capture;
    ASSERT_TRUE(capture.started);
    constexpr int kFrames = 40000;
    for (const bool reverse : {false, true}) {
        SCOPED_TRACE(reverse ? "reverse" : "forward");
        window = std::make_unique<CSevraneDlg>(services);
        ChooseAndLoad(NoiseFile(kFrames));
        ASSERT_TRUE(window->GetPlayer().StreamOpen());
        Find<QSlider>("speedSlider")->setValue(reverse ? kSliderMinimum : 0);
        const int width = TheDisplay()->ClientWidth();
        Drag(width / 5, width / 2);
        const FrameSpan region = FramesOfColumns(width / 5, width / 2, kFrames, width);
        ASSERT_EQ(LoopRegionOf(State()), region);
        const std::int64_t span = region.end - region.first;

        QTest::keyClick(Find<QWidget>("loopBox"), Qt::Key_Space);
        const std::uintmax_t enough = static_cast<std::uintmax_t>(20000 + 4 * span) * 2 * sizeof(float);
        ASSERT_TRUE(WaitUntil([&] { return capture.device.CapturedBytes() >= enough; })) << "too little was played";
        Click("stopButton");
        window.reset();

        const std::vector<float> played = capture.device.Captured();
        const auto looped = [&](std::int64_t k) {
            return reverse ? region.end - 1 - k % span : region.first + k % span;
        };
        const std::int64_t start = FindStart(played, noise, looped, 20000);
        ASSERT_GE(start, 0) << "the region's start was not played";
        EXPECT_EQ(FramesFollowing(played, noise, start, looped, 3 * span), 3 * span);
    }
}

}  // namespace
}  // namespace sevrane::ui::test
