// The waveform control: an overview of the loaded sound, one min-max line
// per pixel column around a grey centre line, the loop region shaded behind
// it, a green cursor where playback is heard, and that place as text in the
// top right corner ("1:23.4 / 4:56.0").
//
// It repaints only what changes: the waveform with its shading is drawn once
// into an image and kept until the sound or the region changes; while
// playback runs, a timer follows the heard position and asks for the
// cursor's old and new columns and the text to be drawn again when they
// change. Stopped, nothing is drawn and no timer runs.
//
// A click on the waveform asks for the play position under it
// (SeekRequested); a click outside the loop region also asks for the region
// to go (RegionCleared, before the seek). Dragging across it selects a region
// (RegionSelected). The control itself changes nothing: the window acts on
// the player, and the control draws what the player holds.
#pragma once

#include <QBasicTimer>
#include <QFrame>
#include <QPixmap>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "playback/loaded_sound.h"
#include "playback/player.h"
#include "waveform_overview.h"

namespace sevrane::ui {

// The window shows what the playback library holds and plays.
using kelvane::playback::LoadedSound;
using kelvane::playback::PlayerState;

// The loop region the player holds, if any.
std::optional<FrameSpan> LoopRegionOf(const PlayerState& state) noexcept;

class Display final : public QFrame {
    Q_OBJECT

public:
    // How often the cursor and the text follow playback while it runs.
    static constexpr int kFollowMilliseconds = 25;
    // How far the mouse must move, in columns, before a press becomes a drag.
    static constexpr int kDragColumns = 3;

    explicit Display(QWidget* parent = nullptr);

    // The player state whose heard position and loop region the control
    // shows (not owned), and whether playback runs: the control follows it
    // only while `running` says so (without it, only on Refresh).
    void SetPlayerState(const PlayerState* state, std::function<bool()> running = {});
    // Measures the client area and sizes the overview to one column per
    // pixel. Done once, when the control has its final size.
    void SizeOverview();
    // Shows `sound` (not owned; null for the empty view) and draws it anew,
    // with `computed` as its overview when that was made beforehand for the
    // control's size (ComputeOverview with ClientWidth columns and
    // ClientHeight, say on the thread that read the sound); otherwise the
    // overview is computed here.
    void SetSound(const LoadedSound* sound, std::vector<OverviewColumn> computed = {});
    const LoadedSound* Sound() const noexcept { return sound; }

    // Takes in what has changed since the last look (heard position, loop
    // region) and asks for those parts to be repainted.
    void Refresh();
    // Refresh, then follow playback for as long as it runs. Called after
    // anything that starts, stops or moves playback.
    void FollowPlayback();
    void StopFollowing();
    bool Following() const noexcept { return followTimer.isActive(); }

    // Releases the overview; the control shows the empty view afterwards.
    void ReleaseOverview();

    int ClientWidth() const noexcept { return overviewWidth; }
    int ClientHeight() const noexcept { return overviewHeight; }
    const std::vector<OverviewColumn>& Overview() const noexcept { return overview; }
    // The column the cursor is drawn in, and the position text with the
    // box it is drawn in (in the control's coordinates), as last refreshed.
    std::optional<int> CursorColumnShown() const noexcept { return cursorColumn; }
    const QString& PositionTextShown() const noexcept { return positionText; }
    QRect PositionTextBox() const noexcept { return textBox; }

signals:
    void SeekRequested(std::int32_t frame);
    // `first` to `last`, both included, as the player's SetLoopRegion takes them.
    void RegionSelected(std::int32_t first, std::int32_t last);
    void RegionCleared();

protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // The frame to show as the place of playback.
    std::int64_t ShownPosition() const noexcept;
    // The columns to shade: those being dragged across, else the region's.
    std::optional<ColumnSpan> ShadedColumns() const noexcept;
    // Draws the background, the shading and the waveform into `layer`.
    void DrawLayer();
    void PlaceTextBox();
    void UpdateColumn(std::optional<int> column);
    int ColumnAt(const QMouseEvent& event) const noexcept;

    const PlayerState* player = nullptr;
    std::function<bool()> running;
    std::vector<OverviewColumn> overview;
    int overviewWidth = 0;
    int overviewHeight = 0;
    const LoadedSound* sound = nullptr;
    QBasicTimer followTimer;

    // What is drawn now.
    QPixmap layer;
    bool layerCurrent = false;
    std::optional<ColumnSpan> shaded;
    std::optional<int> cursorColumn;
    QString positionText;
    QRect textBox;

    // A press of the left button on the waveform, and the drag it became.
    std::optional<int> pressColumn;
    std::optional<int> dragColumn;
};

}  // namespace sevrane::ui
