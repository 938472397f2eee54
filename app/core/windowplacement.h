// SPDX-License-Identifier: MIT
#pragma once

#include <QList>
#include <QPoint>
#include <QRect>

// Where the main window opens on the screens at hand.
namespace core {

// The top-left corner for a window whose frame is `frame` (at its saved or design position), on
// screens whose available areas are `screens` (the primary first). The frame keeps its position
// when it lies wholly inside one screen's area. Otherwise it moves by the least distance into
// the area of the screen that shows most of it (the primary when none shows any part); a frame
// larger than that area goes to the area's top-left corner in that direction. No screens: the
// frame's own position.
QPoint PlaceWindow(const QRect& frame, const QList<QRect>& screens);

} // namespace core
