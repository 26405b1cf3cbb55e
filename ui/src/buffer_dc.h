// Drawing that reaches the screen in one step: everything painted through a
// CBufferDC lands in an off-screen pixmap of the client rectangle, and the
// whole pixmap is copied onto the window when the CBufferDC ends, so a
// repaint is never seen half done. Use it inside a paint event only.
#pragma once

#include <QPainter>
#include <QPixmap>
#include <QRect>

class QWidget;

namespace sevrane::ui {

class CBufferDC {
public:
    // Starts drawing for the `client` rectangle of `window`. The painter's
    // origin is the client rectangle's top left corner.
    CBufferDC(QWidget* window, const QRect& client);
    // Copies the pixmap onto the window at the client rectangle.
    ~CBufferDC();
    CBufferDC(const CBufferDC&) = delete;
    CBufferDC& operator=(const CBufferDC&) = delete;

    QPainter& Painter() noexcept { return painter; }

private:
    QWidget* window;
    QRect client;
    QPixmap pixmap;
    QPainter painter;
};

}  // namespace sevrane::ui
