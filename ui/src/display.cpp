#include "display.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QTimerEvent>
#include <cmath>
#include <cstdlib>

#include "buffer_dc.h"

namespace sevrane::ui {

namespace {

const QColor kCentreLineColour(210, 210, 210);
const QColor kWaveformColour(0, 0, 25);
const QColor kCursorColour(25, 135, 55);

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

Display::Display(QWidget* parent) : QFrame(parent)
{
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(1);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void Display::SizeOverview()
{
    const QRect client = contentsRect();
    overviewWidth = client.width();
    overviewHeight = client.height();
    overview.assign(static_cast<std::size_t>(std::max(overviewWidth, 0)), OverviewColumn{});
}

void Display::SetSound(const LoadedSound* newSound)
{
    sound = newSound;
    positionDelay.Clear();
    if (sound != nullptr) {
        ComputeOverview(sound->samples.data(), sound->frameCount, sound->format.channels, overviewHeight, overview);
    }
}

void Display::StartRepaintTimer()
{
    if (repaintTimer == 0) {
        repaintTimer = startTimer(kRepaintMilliseconds);
    }
}

void Display::StopRepaintTimer()
{
    if (repaintTimer != 0) {
        killTimer(repaintTimer);
        repaintTimer = 0;
    }
}

void Display::ReleaseOverview()
{
    sound = nullptr;
    overview.clear();
    overview.shrink_to_fit();
}

std::int64_t Display::CursorPosition() noexcept
{
    if (player == nullptr || player->engineHandle.load(std::memory_order_relaxed) == nullptr) {
        return 0;
    }
    return positionDelay.Exchange(player->position.load(std::memory_order_relaxed));
}

void Display::paintEvent(QPaintEvent* event)
{
    QFrame::paintEvent(event);
    const QRect client = contentsRect();
    CBufferDC dc(this, client);
    QPainter& painter = dc.Painter();
    const int clientWidth = client.width();
    const int clientHeight = client.height();

    painter.fillRect(QRect(0, 0, clientWidth, clientHeight), palette().color(QPalette::Light));
    const int centre = static_cast<int>(clientHeight * 0.5);
    painter.fillRect(0, centre, clientWidth, 1, kCentreLineColour);

    if (sound == nullptr || overview.empty()) {
        return;
    }
    // Columns hang from the centre line: positive samples rise above it.
    const int base = overviewHeight + static_cast<int>(overviewHeight * -0.5);
    const int columns = std::min(static_cast<int>(overview.size()), clientWidth);
    for (int i = 0; i < columns; ++i) {
        DrawColumnLine(painter, kWaveformColour, i, base - overview[i].min, base - overview[i].max);
    }

    const std::optional<int> cursor = CursorColumn(CursorPosition(), sound->frameCount, overviewWidth);
    if (cursor.has_value() && *cursor < clientWidth) {
        DrawColumnLine(painter, kCursorColour, *cursor, 0, clientHeight);
    }
}

void Display::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == repaintTimer) {
        update();
        return;
    }
    QFrame::timerEvent(event);
}

void Display::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || sound == nullptr || overviewWidth <= 0) {
        QFrame::mousePressEvent(event);
        return;
    }
    const int column = static_cast<int>(std::floor(event->position().x())) - contentsRect().left();
    emit SeekRequested(FrameAtColumn(column, sound->frameCount, overviewWidth));
}

}  // namespace sevrane::ui
