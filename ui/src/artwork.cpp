#include "artwork.h"

#include <QPainter>
#include <QSvgRenderer>

namespace sevrane::ui {

QPixmap RenderArtwork(const char* resource, QSize size, qreal pixelRatio)
{
    QPixmap pixmap(size * pixelRatio);
    pixmap.setDevicePixelRatio(pixelRatio);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(QString::fromLatin1(resource));
    if (renderer.isValid()) {
        QPainter painter(&pixmap);
        renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
    }
    return pixmap;
}

QIcon ApplicationIcon()
{
    QIcon icon;
    for (const int side : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addPixmap(RenderArtwork(kIconResource, QSize(side, side)));
    }
    return icon;
}

}  // namespace sevrane::ui
