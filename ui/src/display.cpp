#include "display.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QTimerEvent>
#include <cmath>
#include <cstdlib>

#include "buffer_dc.h"
#include "position_text.h"

namespace sevrane::ui {

namespace {

const QColor kCentreLineColour(210, 210, 210);
const QColor kWaveformColour(0, 0, 25);
const QColor kCursorColour(25, 135, 55);
const QColor kRegionColour(200, 220, 245);
const QColor kTextColour(40, 40, 40);
const QColor kTextBorderColour(160, 160, 160);
// The text box keeps this far from the control's edges, and its text this
// far from the box's sides.
constexpr int kTextMargin = 3;
constexpr int kTextPadding = 3;

// A one-pixel vertical line from y1 towards y2 that stops one pixel short of
// y2, as a line's end point is never drawn; nothing when they are equal.
// Filled as a rectangle, so exactly those pixels are drawn.
void DrawColumnLine(QPainter& painter, const QColor& colour, int x, int y1, int y2)
{
    if (y1 == y2) {
        return;
    }
    const int top = y2 > y1 ? y1 : y2 + 1;
    painter.fillRect(x, top, 1, std::abs(y2 - y1), colour);
}

}  // namespace

std::optional<FrameSpan> LoopRegionOf(const PlayerState& state) noexcept
{
    const auto region = kelvane::playback::UnpackLoopRegion(state.loopRegion.load(std::memory_order_relaxed));
    if (!region) {
        return std::nullopt;
    }
    return FrameSpan{region->first, region->second};
}

Display::Display(QWidget* parent) : QFrame(parent)
{
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(1);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void Display::SetPlayerState(const PlayerState* state, std::function<bool()> isRunning)
{
    player = state;
    running = std::move(isRunning);
}

void Display::SizeOverview()
{
    const QRect client = contentsRect();
    overviewWidth = client.width();
    overviewHeight = client.height();
    overview.assign(static_cast<std::size_t>(std::max(overviewWidth, 0)), OverviewColumn{});
    layerCurrent = false;
}

void Display::SetSound(const LoadedSound* newSound, std::vector<OverviewColumn> computed)
{
    sound = newSound;
    if (sound != nullptr && !overview.empty() && computed.size() == overview.size()) {
        overview = std::move(computed);
    } else if (sound != nullptr) {
        ComputeOverview(sound->samples.data(), sound->frameCount, sound->channels, overviewHeight, overview);
    }
    PlaceTextBox();
    layerCurrent = false;
    update();
    Refresh();
}

void Display::ReleaseOverview()
{
    sound = nullptr;
    overview.clear();
    overview.shrink_to_fit();
    layerCurrent = false;
    Refresh();
    update();
}

std::int64_t Display::ShownPosition() const noexcept
{
    if (player == nullptr || player->engineHandle.load(std::memory_order_relaxed) == nullptr) {
        return 0;
    }
    return kelvane::playback::HeardPosition(*player);
}

std::optional<ColumnSpan> Display::ShadedColumns() const noexcept
{
    if (sound == nullptr || overviewWidth <= 0) {
        return std::nullopt;
    }
    if (pressColumn.has_value() && dragColumn.has_value()) {
        return ColumnSpan{std::min(*pressColumn, *dragColumn), std::max(*pressColumn, *dragColumn)};
    }
    const std::optional<FrameSpan> region = player != nullptr ? LoopRegionOf(*player) : std::nullopt;
    return region.has_value() ? ColumnsOfFrames(*region, sound->frameCount, overviewWidth) : std::nullopt;
}

void Display::PlaceTextBox()
{
    if (sound == nullptr) {
        textBox = QRect();
        return;
    }
    // Wide enough for any position of this sound: digits are as wide as
    // each other in the fonts of the desktop, so the length with every digit
    // an 8 is the widest text.
    QString widest = QString::fromStdString(PositionText(sound->frameCount, sound->frameCount, sound->sampleRate));
    for (QChar& c : widest) {
        if (c.isDigit()) {
            c = QLatin1Char('8');
        }
    }
    const QFontMetrics metrics = fontMetrics();
    const int width = metrics.horizontalAdvance(widest) + 2 * kTextPadding;
    const int height = metrics.height() + 2;
    const QRect client = contentsRect();
    textBox = QRect(client.right() - kTextMargin - width + 1, client.top() + kTextMargin, width, height);
}

void Display::UpdateColumn(std::optional<int> column)
{
    if (column.has_value() && *column >= 0 && *column < overviewWidth) {
        const QRect client = contentsRect();
        update(client.left() + *column, client.top(), 1, client.height());
    }
}

void Display::Refresh()
{
    const std::optional<ColumnSpan> shading = ShadedColumns();
    if (shading != shaded) {
        shaded = shading;
        layerCurrent = false;
        update(contentsRect());
    }
    std::optional<int> column;
    QString text;
    if (sound != nullptr && !overview.empty()) {
        const std::int64_t position = ShownPosition();
        column = CursorColumn(position, sound->frameCount, overviewWidth);
        text = QString::fromStdString(PositionText(position, sound->frameCount, sound->sampleRate));
    }
    if (column != cursorColumn) {
        UpdateColumn(cursorColumn);
        UpdateColumn(column);
        cursorColumn = column;
    }
    if (text != positionText) {
        positionText = text;
        update(textBox);
    }
}

void Display::FollowPlayback()
{
    Refresh();
    if (running && running() && !followTimer.isActive()) {
        followTimer.start(kFollowMilliseconds, this);
    }
}

void Display::StopFollowing()
{
    followTimer.stop();
}

void Display::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != followTimer.timerId()) {
        QFrame::timerEvent(event);
        return;
    }
    // Playback that has ended gets one last look, so that the cursor shows
    // where it stopped.
    const bool stillRunning = running && running();
    Refresh();
    if (!stillRunning) {
        followTimer.stop();
    }
}

void Display::DrawLayer()
{
    const QRect client = contentsRect();
    const qreal ratio = devicePixelRatioF();
    layer = QPixmap(client.size() * ratio);
    layer.setDevicePixelRatio(ratio);
    QPainter painter(&layer);
    const int clientWidth = client.width();
    const int clientHeight = client.height();

    painter.fillRect(QRect(0, 0, clientWidth, clientHeight), palette().color(QPalette::Light));
    if (shaded.has_value()) {
        painter.fillRect(shaded->first, 0, shaded->last - shaded->first + 1, clientHeight, kRegionColour);
    }
    const int centre = static_cast<int>(clientHeight * 0.5);
    painter.fillRect(0, centre, clientWidth, 1, kCentreLineColour);

    if (sound != nullptr && !overview.empty()) {
        // Columns hang from the centre line: positive samples rise above it.
        const int base = overviewHeight + static_cast<int>(overviewHeight * -0.5);
        const int columns = std::min(static_cast<int>(overview.size()), clientWidth);
        for (int i = 0; i < columns; ++i) {
            DrawColumnLine(painter, kWaveformColour, i, base - overview[i].min, base - overview[i].max);
        }
    }
    layerCurrent = true;
}

void Display::paintEvent(QPaintEvent* event)
{
    QFrame::paintEvent(event);
    const QRect client = contentsRect();
    const QRect dirty = event->rect() & client;
    if (dirty.isEmpty()) {
        return;
    }
    if (!layerCurrent) {
        DrawLayer();
    }
    // Only the part asked for is drawn, in the client area's coordinates.
    CBufferDC dc(this, dirty);
    QPainter& painter = dc.Painter();
    painter.translate(client.topLeft() - dirty.topLeft());
    painter.drawPixmap(0, 0, layer);

    if (cursorColumn.has_value() && *cursorColumn < client.width()) {
        DrawColumnLine(painter, kCursorColour, *cursorColumn, 0, client.height());
    }
    if (!positionText.isEmpty()) {
        // On a box of the background colour, so that the waveform and the
        // cursor never run through the text.
        const QRect box = textBox.translated(-client.topLeft());
        painter.fillRect(box, palette().color(QPalette::Light));
        painter.setPen(kTextBorderColour);
        painter.drawRect(box.adjusted(0, 0, -1, -1));
        painter.setPen(kTextColour);
        painter.setFont(font());
        painter.drawText(box, Qt::AlignCenter, positionText);
    }
}

int Display::ColumnAt(const QMouseEvent& event) const noexcept
{
    return static_cast<int>(std::floor(event.position().x())) - contentsRect().left();
}

void Display::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || sound == nullptr || overviewWidth <= 0) {
        QFrame::mousePressEvent(event);
        return;
    }
    pressColumn = std::clamp(ColumnAt(*event), 0, overviewWidth - 1);
    dragColumn.reset();
}

void Display::mouseMoveEvent(QMouseEvent* event)
{
    if (!pressColumn.has_value() || !(event->buttons() & Qt::LeftButton)) {
        QFrame::mouseMoveEvent(event);
        return;
    }
    const int column = std::clamp(ColumnAt(*event), 0, overviewWidth - 1);
    if (dragColumn.has_value() || std::abs(column - *pressColumn) >= kDragColumns) {
        dragColumn = column;
        Refresh();
    }
}

void Display::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !pressColumn.has_value()) {
        QFrame::mouseReleaseEvent(event);
        return;
    }
    const int pressed = *pressColumn;
    const std::optional<int> dragged = dragColumn;
    pressColumn.reset();
    dragColumn.reset();
    if (sound == nullptr) {
        Refresh();
        return;
    }
    if (dragged.has_value()) {
        const FrameSpan frames = FramesOfColumns(pressed, *dragged, sound->frameCount, overviewWidth);
        emit RegionSelected(frames.first, frames.end - 1);
    } else {
        // Outside means outside the shading the user sees.
        const std::optional<ColumnSpan> region = ShadedColumns();
        if (region.has_value() && (pressed < region->first || pressed > region->last)) {
            emit RegionCleared();
        }
        emit SeekRequested(FrameAtColumn(pressed, sound->frameCount, overviewWidth));
    }
    Refresh();
}

}  // namespace sevrane::ui
