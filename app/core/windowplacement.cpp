// SPDX-License-Identifier: MIT
#include "app/core/windowplacement.h"

#include <algorithm>

namespace core {
namespace {

// The start of a span of `length` moved by the least distance into [areaStart, areaEnd).
int FitSpan(int start, int length, int areaStart, int areaEnd) {
    if (length >= areaEnd - areaStart)
        return areaStart;
    return std::clamp(start, areaStart, areaEnd - length);
}

qint64 Area(const QRect& r) {
    return r.isEmpty() ? 0 : qint64(r.width()) * r.height();
}

} // namespace

QPoint PlaceWindow(const QRect& frame, const QList<QRect>& screens) {
    if (screens.isEmpty())
        return frame.topLeft();
    for (const QRect& area : screens)
        if (area.contains(frame))
            return frame.topLeft();
    const QRect* target = &screens.front();
    for (const QRect& area : screens)
        if (Area(area & frame) > Area(*target & frame))
            target = &area;
    return {FitSpan(frame.x(), frame.width(), target->left(), target->left() + target->width()),
            FitSpan(frame.y(), frame.height(), target->top(), target->top() + target->height())};
}

} // namespace core
