// SPDX-License-Identifier: MIT
#pragma once

#include <QHash>
#include <QPointer>
#include <QStyledItemDelegate>

class QTableView;

namespace views {

// Cell painter of the grouped grid. An empty cell gets only its background. Otherwise the text
// is measured word-wrapped; when the row is lower than the text, the row is set to the text
// height plus 5 pixels (never lower than it was) and the cell is painted again at its new
// height; else the text is drawn word-wrapped inside the cell.
class TGroupCellDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit TGroupCellDelegate(QTableView* view);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

private:
    // Grows a row after the paint pass that found it too low; one request per row at a time.
    void RequestRowHeight(int row, int height) const;
    void ApplyRowHeights();

    QPointer<QTableView> m_view;
    mutable QHash<int, int> m_pending;
};

} // namespace views
