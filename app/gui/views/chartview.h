// SPDX-License-Identifier: MIT
#pragma once

#include <QChartView>
#include <QPoint>

class QRubberBand;

namespace views {

// The chart's view with the mouse of a plot: the wheel zooms the time axis around the cursor, a
// rectangle drawn with the left button zooms into it, the right or middle button drags the plot
// (as do the arrow keys); a left click that does not draw a rectangle, and the cursor's moves,
// are reported for the points under them.
class TChartView : public QChartView {
    Q_OBJECT
public:
    explicit TChartView(QChart* chart, QWidget* parent = nullptr);

    // Zooms the time axis by `factor` (below 1 zooms in) around the plot's x position `atX`.
    void zoomTime(double factor, double atX);

signals:
    void clicked(QPoint position);
    void hovered(QPoint position);

protected:
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // The scene would hide any tooltip when the mouse has rested a moment (none of its items has
    // one): the rest is reported as a hover instead, so a point's tooltip stays.
    bool viewportEvent(QEvent* event) override;

private:
    QRubberBand* m_band;
    QPoint m_pressAt;
    QPoint m_dragFrom;
    Qt::MouseButton m_button = Qt::NoButton;
};

} // namespace views
