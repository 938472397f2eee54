// SPDX-License-Identifier: MIT
#include "app/gui/views/chartview.h"

#include <QChart>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QRubberBand>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace views {

namespace {
// A press and release closer than this many pixels is a click, not a rectangle.
constexpr int kClickDistance = 4;
// Zoom factor of one wheel notch (120 eighths of a degree).
constexpr double kWheelStep = 0.8;
// Pixels an arrow key drags the plot.
constexpr int kKeyStep = 40;
} // namespace

TChartView::TChartView(QChart* chart, QWidget* parent)
    : QChartView(chart, parent), m_band(new QRubberBand(QRubberBand::Rectangle, this)) {
    setRubberBand(QChartView::NoRubberBand);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setRenderHint(QPainter::Antialiasing);
}

void TChartView::zoomTime(double factor, double atX) {
    const QRectF plot = chart()->plotArea();
    if (plot.isEmpty() || !(factor > 0))
        return;
    const double x = std::clamp(atX, plot.left(), plot.right());
    const double left = x - (x - plot.left()) * factor;
    chart()->zoomIn(QRectF(left, plot.top(), plot.width() * factor, plot.height()));
}

void TChartView::wheelEvent(QWheelEvent* event) {
    const int delta = event->angleDelta().y();
    if (delta == 0)
        return;
    zoomTime(std::pow(kWheelStep, delta / 120.0), event->position().x());
    event->accept();
}

void TChartView::mousePressEvent(QMouseEvent* event) {
    m_button = event->button();
    m_pressAt = m_dragFrom = event->position().toPoint();
    if (m_button == Qt::LeftButton) {
        m_band->setGeometry(QRect(m_pressAt, QSize()));
        m_band->show();
    }
    event->accept();
}

void TChartView::mouseMoveEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    if (m_button == Qt::LeftButton) {
        m_band->setGeometry(QRect(m_pressAt, at).normalized());
    } else if (m_button == Qt::RightButton || m_button == Qt::MiddleButton) {
        const QPoint d = at - m_dragFrom;
        chart()->scroll(-d.x(), d.y());
        m_dragFrom = at;
    } else {
        emit hovered(at);
    }
    event->accept();
}

void TChartView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != m_button)
        return;
    const QPoint at = event->position().toPoint();
    if (m_button == Qt::LeftButton) {
        m_band->hide();
        const QRect r = QRect(m_pressAt, at).normalized();
        if ((at - m_pressAt).manhattanLength() < kClickDistance)
            emit clicked(at);
        else if (r.width() >= kClickDistance && r.height() >= kClickDistance)
            chart()->zoomIn(QRectF(r).intersected(chart()->plotArea()));
    }
    m_button = Qt::NoButton;
    event->accept();
}

void TChartView::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Left:
        chart()->scroll(-kKeyStep, 0);
        break;
    case Qt::Key_Right:
        chart()->scroll(kKeyStep, 0);
        break;
    case Qt::Key_Up:
        chart()->scroll(0, kKeyStep);
        break;
    case Qt::Key_Down:
        chart()->scroll(0, -kKeyStep);
        break;
    case Qt::Key_Plus:
        zoomTime(kWheelStep, chart()->plotArea().center().x());
        break;
    case Qt::Key_Minus:
        zoomTime(1 / kWheelStep, chart()->plotArea().center().x());
        break;
    default:
        QChartView::keyPressEvent(event);
        return;
    }
    event->accept();
}

bool TChartView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        emit hovered(static_cast<QHelpEvent*>(event)->pos());
        return true;
    }
    return QChartView::viewportEvent(event);
}

} // namespace views
