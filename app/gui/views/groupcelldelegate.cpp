// SPDX-License-Identifier: MIT
#include "app/gui/views/groupcelldelegate.h"

#include "app/gui/views/wraptext.h"

#include <QApplication>
#include <QHeaderView>
#include <QPainter>
#include <QTableView>

namespace views {

TGroupCellDelegate::TGroupCellDelegate(QTableView* view)
    : QStyledItemDelegate(view), m_view(view) {}

void TGroupCellDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QString text = opt.text;
    // The background the view prepares for this cell (selection included), without its text.
    opt.text.clear();
    opt.features &= ~QStyleOptionViewItem::HasDisplay;
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
    if (text.isEmpty())
        return;

    const int height = WrappedTextHeight(opt.font, option.rect, text);
    if (option.rect.height() < height) {
        RequestRowHeight(index.row(), height + kRowSlack);
        return;
    }
    painter->save();
    painter->setFont(opt.font);
    painter->setPen(opt.palette.color(
        opt.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled,
        opt.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
    painter->setClipRect(option.rect);
    DrawWrappedText(painter, option.rect, text);
    painter->restore();
}

void TGroupCellDelegate::RequestRowHeight(int row, int height) const {
    auto it = m_pending.find(row);
    if (it != m_pending.end()) {
        *it = std::max(*it, height);
        return;
    }
    const bool first = m_pending.isEmpty();
    m_pending.insert(row, height);
    // Row sizes cannot change inside the paint pass; they change right after it, and the view
    // repaints the rows at their new height.
    if (first)
        QMetaObject::invokeMethod(const_cast<TGroupCellDelegate*>(this),
                                  &TGroupCellDelegate::ApplyRowHeights, Qt::QueuedConnection);
}

void TGroupCellDelegate::ApplyRowHeights() {
    const auto pending = std::exchange(m_pending, {});
    if (!m_view)
        return;
    QHeaderView* rows = m_view->verticalHeader();
    for (auto it = pending.begin(); it != pending.end(); ++it)
        if (it.key() < rows->count() && rows->sectionSize(it.key()) < it.value())
            rows->resizeSection(it.key(), it.value());
}

} // namespace views
