// The window's keys, for practising with both hands on the keyboard:
//
//   Space          pause, and resume where it paused; when stopped, play
//                  from the cursor
//   Ctrl+O         Load
//   Left, Right    5 seconds back or on
//   Home           to the start, or to the loop region's start
//   L, F           Loop and Formant preserve on or off (the boxes follow)
//   Up, Down       pitch one semitone up or down
//   PageUp/Down    speed one slider step up or down
//
// They work whichever control of the window has the focus: a focused button
// or check box does not take Space as a click. A focused slider keeps its own
// keys (the arrows, Home, End and the page keys) and gets the others as the
// rest do. Keys reach the window only while it is the active one; a modal
// box above it keeps its own.
#pragma once

#include <QObject>
#include <functional>
#include <optional>

#include "playback/player.h"

class QCheckBox;
class QKeyEvent;
class QSlider;
class QWidget;

namespace sevrane::ui {

// What the keys act on: the window's player and controls, and its handlers.
struct PracticeControls {
    kelvane::playback::Player* player = nullptr;
    QSlider* pitchSlider = nullptr;
    QSlider* speedSlider = nullptr;
    QCheckBox* loopBox = nullptr;
    QCheckBox* formantBox = nullptr;
    // The Load button's handler.
    std::function<void()> load;
    // Called after every key that starts, stops or moves playback.
    std::function<void()> followPlayback;
    // Shows a failure of starting playback.
    std::function<void(const std::optional<kelvane::playback::PlaybackFailure>&)> showFailure;
};

// How far Left and Right move playback.
inline constexpr double kSeekStepSeconds = 5.0;

// The keys of `window`, taken from every key event of the application
// before the focused control sees it. Lives as long as its parent, `window`.
class PracticeKeys final : public QObject {
public:
    PracticeKeys(QWidget* window, PracticeControls controls);

    // Space's action: pause, resume, or play from the cursor.
    void PauseOrPlay();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Whether the key, on its way to `receiver`, was taken (and acted on).
    bool TakeKey(const QKeyEvent& key, const QWidget& receiver);
    void SeekBy(double seconds);
    void GoHome();

    QWidget* window;
    PracticeControls controls;
};

}  // namespace sevrane::ui
