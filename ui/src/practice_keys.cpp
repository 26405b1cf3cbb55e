#include "practice_keys.h"

#include <QAbstractSlider>
#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QSlider>
#include <QWidget>
#include <algorithm>
#include <cmath>

#include "display.h"
#include "slider_mapping.h"

namespace sevrane::ui {

namespace {

using kelvane::playback::Player;
using kelvane::playback::PlayerState;

// The keys a focused slider moves its thumb with.
bool IsSliderKey(int key) noexcept
{
    switch (key) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Home:
    case Qt::Key_End:
        return true;
    default:
        return false;
    }
}

void MoveSlider(QSlider* slider, int steps)
{
    // setValue holds the thumb to the slider's range and moves the label and
    // the player as a drag would.
    slider->setValue(slider->value() + steps);
}

}  // namespace

PracticeKeys::PracticeKeys(QWidget* window, PracticeControls controls)
    : QObject(window), window(window), controls(std::move(controls))
{
    QApplication::instance()->installEventFilter(this);
}

bool PracticeKeys::eventFilter(QObject* watched, QEvent* event)
{
    // A button clicks as Space is released only if the press reached it, so
    // taking the press is enough.
    if (event->type() != QEvent::KeyPress) {
        return false;
    }
    const auto* widget = qobject_cast<QWidget*>(watched);
    if (widget == nullptr || widget->window() != window) {
        return false;
    }
    return TakeKey(static_cast<const QKeyEvent&>(*event), *widget);
}

bool PracticeKeys::TakeKey(const QKeyEvent& key, const QWidget& receiver)
{
    const Qt::KeyboardModifiers modifiers = key.modifiers() & ~Qt::KeypadModifier;
    if (key.key() == Qt::Key_O && modifiers == Qt::ControlModifier) {
        if (!key.isAutoRepeat()) {
            controls.load();
        }
        return true;
    }
    if (modifiers != Qt::NoModifier) {
        return false;
    }
    // Keys go to the focused control, so a slider receiving one has the focus.
    if (qobject_cast<const QAbstractSlider*>(&receiver) != nullptr && IsSliderKey(key.key())) {
        return false;
    }
    switch (key.key()) {
    case Qt::Key_Space:
        if (!key.isAutoRepeat()) {
            PauseOrPlay();
        }
        return true;
    case Qt::Key_L:
        if (!key.isAutoRepeat()) {
            controls.loopBox->click();
        }
        return true;
    case Qt::Key_F:
        if (!key.isAutoRepeat()) {
            controls.formantBox->click();
        }
        return true;
    case Qt::Key_Left:
        SeekBy(-kSeekStepSeconds);
        return true;
    case Qt::Key_Right:
        SeekBy(kSeekStepSeconds);
        return true;
    case Qt::Key_Home:
        GoHome();
        return true;
    case Qt::Key_Up:
        MoveSlider(controls.pitchSlider, kSliderTickInterval);
        return true;
    case Qt::Key_Down:
        MoveSlider(controls.pitchSlider, -kSliderTickInterval);
        return true;
    case Qt::Key_PageUp:
        MoveSlider(controls.speedSlider, controls.speedSlider->singleStep());
        return true;
    case Qt::Key_PageDown:
        MoveSlider(controls.speedSlider, -controls.speedSlider->singleStep());
        return true;
    default:
        return false;
    }
}

void PracticeKeys::PauseOrPlay()
{
    Player& player = *controls.player;
    if (!player.StreamOpen()) {
        return;
    }
    if (player.IsPaused()) {
        player.Resume();
    } else if (player.IsPlaying()) {
        player.Pause();
    } else {
        // Stopped: from where the cursor stands. A cursor at either end of
        // the sound (rewound by Stop, or where the sound ended) starts as
        // Play does, at the loop region when there is one.
        const kelvane::playback::Sound* sound = player.State().sound.load(std::memory_order_relaxed);
        const std::int64_t cursor = player.HeardPosition();
        const bool atAnEnd = sound == nullptr || cursor <= 0 || cursor >= sound->frameCount;
        controls.showFailure(atAnEnd ? player.Play() : player.PlayFrom(static_cast<std::int32_t>(cursor)));
    }
    controls.followPlayback();
}

void PracticeKeys::SeekBy(double seconds)
{
    Player& player = *controls.player;
    const PlayerState& state = player.State();
    const kelvane::playback::Sound* sound = state.sound.load(std::memory_order_relaxed);
    if (sound == nullptr || sound->frameCount <= 0) {
        return;
    }
    // From where feeding is, or goes once a seek still waiting is taken, so
    // that keys pressed in quick succession add up rather than each starting
    // again from the place heard, which lags behind.
    const std::int32_t waiting = state.seekRequest.load(std::memory_order_relaxed);
    const std::int64_t from = waiting >= 0 ? waiting : state.position.load(std::memory_order_relaxed);
    const std::int64_t step = std::llround(seconds * sound->sampleRate);
    player.Seek(static_cast<std::int32_t>(std::clamp<std::int64_t>(from + step, 0, sound->frameCount - 1)));
    controls.followPlayback();
}

void PracticeKeys::GoHome()
{
    Player& player = *controls.player;
    const std::optional<FrameSpan> region = LoopRegionOf(player.State());
    player.Seek(region.has_value() ? region->first : 0);
    controls.followPlayback();
}

}  // namespace sevrane::ui
