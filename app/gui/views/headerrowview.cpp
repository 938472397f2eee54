// SPDX-License-Identifier: MIT
#include "app/gui/views/headerrowview.h"

#include "app/gui/views/wraptext.h"

#include <QAbstractItemView>
#include <QPainter>

namespace views {

THeaderRowView::THeaderRowView(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {}

QSize THeaderRowView::sizeHint() const {
    return QSize(QHeaderView::sizeHint().width(), m_height);
}

void THeaderRowView::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
    QStyleOptionHeader opt;
    initStyleOption(&opt);
    opt.rect = rect;
    opt.section = logicalIndex;
    opt.text.clear();
    style()->drawControl(QStyle::CE_Header, &opt, painter, this);
    const QString text =
        model() ? model()->headerData(logicalIndex, orientation(), Qt::DisplayRole).toString()
                : QString();
    if (text.isEmpty())
        return;
    const int height = WrappedTextHeight(font(), rect, text);
    if (rect.height() < height) {
        // The header's height cannot change inside its paint pass; it grows right after it.
        auto* self = const_cast<THeaderRowView*>(this);
        QMetaObject::invokeMethod(
            self, [self, height] { self->Grow(height + kRowSlack); }, Qt::QueuedConnection);
        return;
    }
    painter->save();
    painter->setPen(opt.palette.color(QPalette::ButtonText));
    painter->setClipRect(rect);
    DrawWrappedText(painter, rect, text);
    painter->restore();
}

void THeaderRowView::Grow(int height) {
    if (height <= m_height)
        return;
    m_height = height;
    updateGeometry();
    // The table lays out its header and viewport from the header's size hint.
    if (auto* view = qobject_cast<QAbstractItemView*>(parentWidget()))
        QMetaObject::invokeMethod(view, "updateGeometries");
    viewport()->update();
}

} // namespace views
