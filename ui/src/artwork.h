// The program's icon and logos, drawn from the SVG files built in as
// resources.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>

namespace sevrane::ui {

inline constexpr const char* kIconResource = ":/sevrane/sevrane.svg";
inline constexpr const char* kMarkLogoResource = ":/sevrane/logo-mark.svg";
inline constexpr const char* kWordmarkLogoResource = ":/sevrane/logo-wordmark.svg";

// The artwork at `resource` drawn to fill `size` device-independent pixels
// at the screen's pixel ratio; a transparent pixmap if it cannot be read.
QPixmap RenderArtwork(const char* resource, QSize size, qreal pixelRatio = 1.0);
// The application icon at the usual sizes.
QIcon ApplicationIcon();

}  // namespace sevrane::ui
