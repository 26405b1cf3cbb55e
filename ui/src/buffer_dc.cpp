#include "buffer_dc.h"

#include <QWidget>

namespace sevrane::ui {

namespace {

QPixmap ClientPixmap(const QWidget* window, const QRect& client)
{
    const qreal ratio = window->devicePixelRatioF();
    QPixmap pixmap(client.size() * ratio);
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

}  // namespace

CBufferDC::CBufferDC(QWidget* window, const QRect& client)
    : window(window), client(client), pixmap(ClientPixmap(window, client)), painter(&pixmap)
{
}

CBufferDC::~CBufferDC()
{
    painter.end();
    QPainter screen(window);
    screen.drawPixmap(client.topLeft(), pixmap);
}

}  // namespace sevrane::ui
