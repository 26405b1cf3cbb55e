// The waveform control: an overview of the loaded sound, one min-max line
// per pixel column around a grey centre line, and a green play cursor that
// lags ten paints behind the play position. It repaints itself every 25 ms
// once its timer is started. A click on the waveform asks for the play
// position under it (SeekRequested); the control itself changes nothing.
#pragma once

#include <QFrame>
#include <cstdint>
#include <vector>

#include "playback/loaded_sound.h"
#include "playback/player.h"
#include "waveform_overview.h"

namespace sevrane::ui {

// The window shows what the playback library holds and plays.
using kelvane::playback::LoadedSound;
using kelvane::playback::PlayerState;

class Display final : public QFrame {
    Q_OBJECT

public:
    static constexpr int kRepaintMilliseconds = 25;

    explicit Display(QWidget* parent = nullptr);

    // The player state whose position the cursor follows; not owned.
    void SetPlayerState(const PlayerState* state) noexcept { player = state; }
    // Measures the client area and sizes the overview to one column per
    // pixel. Done once, when the control has its final size.
    void SizeOverview();
    // Shows `sound` (not owned; null for the empty view): computes its
    // overview and puts the cursor back at the start for the next ten paints.
    void SetSound(const LoadedSound* sound);
    const LoadedSound* Sound() const noexcept { return sound; }

    void StartRepaintTimer();
    void StopRepaintTimer();
    // Releases the overview; the control shows the empty view afterwards.
    void ReleaseOverview();

    int ClientWidth() const noexcept { return overviewWidth; }
    int ClientHeight() const noexcept { return overviewHeight; }
    const std::vector<OverviewColumn>& Overview() const noexcept { return overview; }

signals:
    void SeekRequested(std::int32_t frame);

protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    // The play position to draw the cursor at, advancing the delay.
    std::int64_t CursorPosition() noexcept;

    const PlayerState* player = nullptr;
    std::vector<OverviewColumn> overview;
    int overviewWidth = 0;
    int overviewHeight = 0;
    const LoadedSound* sound = nullptr;
    PositionDelay positionDelay;
    int repaintTimer = 0;
};

}  // namespace sevrane::ui
