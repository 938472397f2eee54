// SPDX-License-Identifier: MIT
#pragma once

#include <QHeaderView>

namespace views {

// The fixed heading row of the grouped grid, drawn like its cells: the heading background, then
// the text word-wrapped inside the section. It is 32 pixels high and grows (never shrinks) to
// its tallest text plus 5 pixels.
class THeaderRowView : public QHeaderView {
    Q_OBJECT
public:
    explicit THeaderRowView(QWidget* parent = nullptr);

    QSize sizeHint() const override;
    int rowHeight() const { return m_height; }

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;

private:
    void Grow(int height);

    int m_height = 32;
};

} // namespace views
