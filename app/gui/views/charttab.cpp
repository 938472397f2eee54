// SPDX-License-Identifier: MIT
#include "app/gui/views/charttab.h"

#include "app/core/chartaxes.h"
#include "app/core/journalexport.h"
#include "app/gui/views/chartview.h"
#include "platform/messagesink.h"

#include <QAbstractItemModel>
#include <QBuffer>
#include <QCategoryAxis>
#include <QChart>
#include <QFileDialog>
#include <QFileInfo>
#include <QGraphicsLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLegend>
#include <QLineSeries>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSvgGenerator>
#include <QTableView>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <cmath>
#include <limits>

namespace views {

namespace {

constexpr double kMsPerHour = 3600000.0;
// How near (pixels) the cursor must be to a point for its tooltip or a click.
constexpr double kHitRadius = 8;
// How long a point's tooltip stays while the mouse stays by it.
constexpr int kToolTipMs = 600000;
// Markers are drawn when a line shows fewer points than one per this many pixels.
constexpr int kMarkerSpacing = 8;

// Qt Charts draws no value axis narrower than about 1e-12: values that span less than this
// (subnormal floats) are shown as a constant.
constexpr double kMinValueSpan = 1e-9;

using TRange = std::pair<double, double>;

TRange AxisRange(const QAbstractAxis* axis) {
    const auto* v = static_cast<const QValueAxis*>(axis);
    return {v->min(), v->max()};
}

void SetAxisRange(QAbstractAxis* axis, TRange r) {
    static_cast<QValueAxis*>(axis)->setRange(r.first, r.second);
}

// The labels of a category axis at the ticks' values (a time axis' round times).
void SetTicks(QCategoryAxis* axis, const std::vector<core::TAxisTick>& ticks) {
    for (const QString& label : axis->categoriesLabels())
        axis->remove(label);
    axis->setStartValue(axis->min());
    for (const core::TAxisTick& t : ticks)
        axis->append(t.label, t.value);
}

// A colour swatch for the type list: the line's colour of a ticked type.
QIcon Swatch(const QColor& colour) {
    QPixmap pixmap(12, 12);
    pixmap.fill(colour);
    return QIcon(pixmap);
}

// A range with room around its values; a single value gets a range of its own size.
TRange Padded(double lo, double hi, double fraction, double emptyHalfWidth) {
    if (!(hi > lo))
        return {lo - emptyHalfWidth, hi + emptyHalfWidth};
    const double pad = (hi - lo) * fraction;
    return {lo - pad, hi + pad};
}

} // namespace

TChartTab::TChartTab(QWidget* parent)
    : QWidget(parent), m_types(new QListWidget(this)), m_chart(new QChart),
      m_view(new TChartView(m_chart, this)), m_note(new QLabel(this)),
      m_reset(new QPushButton(QStringLiteral("Сбросить масштаб"), this)),
      m_save(new QPushButton(QStringLiteral("Сохранить график..."), this)) {
    m_types->setObjectName(QStringLiteral("lstTypes"));
    m_view->setObjectName(QStringLiteral("chartView"));
    m_note->setObjectName(QStringLiteral("lblNote"));
    m_reset->setObjectName(QStringLiteral("btnResetZoom"));
    m_save->setObjectName(QStringLiteral("btnSaveChart"));
    m_types->setMaximumWidth(220);
    m_types->setToolTip(QStringLiteral("Отметьте типы записей, которые показать на графике"));
    m_view->setToolTip(QString());
    m_note->setWordWrap(true);

    auto* left = new QVBoxLayout;
    left->addWidget(new QLabel(QStringLiteral("Типы записей:"), this));
    left->addWidget(m_types, 1);
    left->addWidget(m_reset);
    left->addWidget(m_save);
    auto* right = new QVBoxLayout;
    right->addWidget(m_view, 1);
    right->addWidget(m_note);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addLayout(left);
    layout->addLayout(right, 1);

    connect(m_types, &QListWidget::itemChanged, this, [this] {
        if (m_updating)
            return;
        rebuildChart();
        emit typesTicked(m_decoder ? m_decoder->device() : nullptr, shownTypes());
    });
    connect(m_reset, &QPushButton::clicked, this, &TChartTab::resetZoom);
    connect(m_save, &QPushButton::clicked, this, &TChartTab::btnSaveChartClick);
    connect(m_view, &TChartView::hovered, this, &TChartTab::showToolTip);
    connect(m_view, &TChartView::clicked, this, &TChartTab::clickPoint);
    rebuildChart();
}

TChartTab::~TChartTab() = default;

void TChartTab::setDecoder(const core::TJournalDecoder* decoder) {
    m_decoder = decoder;
}

void TChartTab::dataChanged() {
    m_stale = true;
    // A grid built cell by cell reports every cell: one refresh for them all.
    if (!isVisible() || m_refreshQueued)
        return;
    m_refreshQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_refreshQueued = false;
        if (m_stale && isVisible())
            refresh();
    });
}

void TChartTab::followGroupGrid(QTableView* grid) {
    const QAbstractItemModel* model = grid->model();
    const auto changed = [this] { dataChanged(); };
    connect(model, &QAbstractItemModel::modelReset, this, changed);
    connect(model, &QAbstractItemModel::rowsInserted, this, changed);
    connect(model, &QAbstractItemModel::rowsRemoved, this, changed);
    connect(model, &QAbstractItemModel::columnsInserted, this, changed);
    connect(model, &QAbstractItemModel::dataChanged, this, changed);
    connect(grid, &QTableView::doubleClicked, this, [this](const QModelIndex& cell) {
        // Row 0 is the heading.
        if (cell.row() >= 1 && showGroup(std::size_t(cell.row() - 1)))
            emit groupOpened();
    });
}

bool TChartTab::showGroup(std::size_t group) {
    if (m_stale)
        refresh();
    const auto it = std::find_if(m_data.series.begin(), m_data.series.end(),
                                 [&](const core::TChartSeries& s) { return s.group == group; });
    return it != m_data.series.end() && showType(it->id);
}

void TChartTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_stale)
        refresh();
}

void TChartTab::refresh() {
    m_stale = false;
    m_data = m_decoder ? core::PrepareChartData(*m_decoder) : core::TChartData{};
    fillTypeList();
    rebuildChart();
}

void TChartTab::fillTypeList() {
    // The types remembered for the device, else those ticked before; with none of them there,
    // the first type is shown.
    const auto present = [&](const std::vector<std::int32_t>& ids) {
        return std::any_of(ids.begin(), ids.end(),
                           [&](std::int32_t id) { return m_data.find(id); });
    };
    std::vector<std::int32_t> ticked =
        m_remembered && m_decoder ? m_remembered(m_decoder->device()) : std::vector<std::int32_t>{};
    if (!present(ticked))
        ticked = shownTypes();
    if (!present(ticked))
        ticked = m_data.series.empty() ? std::vector<std::int32_t>{}
                                       : std::vector<std::int32_t>{m_data.series.front().id};
    m_updating = true;
    m_types->clear();
    for (const core::TChartSeries& s : m_data.series) {
        auto* item = new QListWidgetItem(s.name, m_types);
        item->setData(Qt::UserRole, s.id);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        const bool on = std::find(ticked.begin(), ticked.end(), s.id) != ticked.end();
        item->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    }
    m_updating = false;
}

std::vector<std::int32_t> TChartTab::shownTypes() const {
    std::vector<std::int32_t> ids;
    for (int i = 0; i < m_types->count(); ++i)
        if (m_types->item(i)->checkState() == Qt::Checked)
            ids.push_back(m_types->item(i)->data(Qt::UserRole).toInt());
    return ids;
}

bool TChartTab::showType(std::int32_t id) {
    if (m_stale)
        refresh();
    if (!m_data.find(id))
        return false;
    m_updating = true;
    for (int i = 0; i < m_types->count(); ++i) {
        QListWidgetItem* item = m_types->item(i);
        item->setCheckState(item->data(Qt::UserRole).toInt() == id ? Qt::Checked : Qt::Unchecked);
    }
    m_updating = false;
    rebuildChart();
    emit typesTicked(m_decoder ? m_decoder->device() : nullptr, shownTypes());
    return true;
}

double TChartTab::axisX(double ms) const {
    // A calendar journal's times have no zone: the time axis counts them as they read.
    return m_data.workTime() ? ms / kMsPerHour : ms;
}

double TChartTab::TShown::drawnY(double y) const {
    return normalised ? core::NormalisedValue(y, series->minY, series->maxY) : y;
}

void TChartTab::replaceChart() {
    // A new chart for each set of types: axes removed from a chart that has been drawn can stay
    // on its scene, so the old chart goes with its series and axes.
    auto* chart = new QChart;
    chart->legend()->setAlignment(Qt::AlignBottom);
    // The type list names the lines with their colours; the legend shows in saved pictures.
    chart->legend()->hide();
    // Number labels in the user's locale: grouped digits, never scientific notation.
    chart->setLocale(QLocale());
    connect(chart, &QChart::plotAreaChanged, this, [this] { thinLines(); });
    QChart* old = m_chart;
    m_chart = chart;
    m_view->setChart(chart);
    delete old;
}

void TChartTab::rebuildChart() {
    m_shown.clear();
    replaceChart();
    m_fullRanges.clear();
    m_timeAxis = nullptr;
    m_numberAxes.clear();
    m_axisNotes.clear();
    for (const std::int32_t id : shownTypes()) {
        TShown s;
        s.series = m_data.find(id);
        if (!s.series || s.series->points.empty())
            continue;
        for (const core::TChartPoint& p : s.series->points)
            s.pointX.push_back(axisX(p.x));
        s.line = new QLineSeries(m_chart);
        s.line->setName(s.series->name);
        m_shown.push_back(std::move(s));
    }
    m_chart->setTitle(m_shown.empty()
                          ? (m_data.series.empty()
                                 ? QStringLiteral("Нет чисел для графика: считайте журнал")
                                 : QStringLiteral("Отметьте типы записей слева"))
                          : QString());
    if (!m_shown.empty())
        addAxes();
    updateNote();
    updateSwatches();
}

void TChartTab::addAxes() {
    for (TShown& s : m_shown)
        m_chart->addSeries(s.line);
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (const TShown& s : m_shown)
        lo = std::min(lo, s.pointX.front()), hi = std::max(hi, s.pointX.back());
    auto* axis = new QCategoryAxis;
    axis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    axis->setTitleText(m_data.workTime() ? QStringLiteral("Наработка, ч")
                                         : QStringLiteral("Время"));
    m_timeAxis = axis;
    m_fullRanges.push_back(
        {axis, m_data.workTime() ? Padded(lo, hi, 0.02, 1) : Padded(lo, hi, 0.02, kMsPerHour)});
    m_chart->addAxis(m_timeAxis, Qt::AlignBottom);
    for (TShown& s : m_shown)
        s.line->attachAxis(m_timeAxis);
    addValueAxes();
    // The lines take their vertices once each knows whether it is drawn normalised.
    for (TShown& s : m_shown)
        for (const core::TLineVertex& v : core::SeriesLine(*s.series))
            s.vertices.push_back({axisX(v.x), s.drawnY(v.y)});
    resetZoom();
    connect(axis, &QValueAxis::rangeChanged, this, [this] { thinLines(); });
}

QAbstractAxis* TChartTab::newValueAxis(const TShown& s, bool percent) {
    auto* axis = new QCategoryAxis;
    axis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    if (s.series->itemAxis() && !percent) {
        QStringList used;
        for (const auto& [number, text] : s.series->items) {
            QString label = text;
            if (used.contains(label))
                label += QStringLiteral(" [%1]").arg(number);
            used.append(label);
            axis->append(label, number);
        }
        return axis;
    }
    // Numbers: labels at round values for whatever range the axis shows (after a zoom or a pan
    // too).
    m_numberAxes.push_back(axis);
    connect(axis, &QValueAxis::rangeChanged, this, [this, axis] { updateValueTicks(axis); });
    return axis;
}

void TChartTab::addValueAxes() {
    std::vector<core::TValueRange> ranges;
    for (const TShown& s : m_shown)
        ranges.push_back({s.series->minY, s.series->maxY, s.series->itemAxis()});
    const core::TAxisPlan plan = core::PlanValueAxes(ranges);
    QAbstractAxis* axes[2] = {nullptr, nullptr};
    TRange spans[2];
    QStringList names[2];
    QColor colours[2];
    for (std::size_t i = 0; i < m_shown.size(); ++i) {
        TShown& s = m_shown[i];
        const int a = plan.axisOf[i];
        s.normalised = plan.normalised[i];
        const TRange span = s.normalised ? TRange{0, 100} : TRange{s.series->minY, s.series->maxY};
        if (!axes[a]) {
            axes[a] = newValueAxis(s, plan.percentAxis && a == 1);
            m_chart->addAxis(axes[a], a == 0 ? Qt::AlignLeft : Qt::AlignRight);
            spans[a] = span;
            colours[a] = s.line->color();
        } else {
            spans[a] = {std::min(spans[a].first, span.first),
                        std::max(spans[a].second, span.second)};
        }
        names[a].append(s.series->name);
        s.axis = axes[a];
        s.line->attachAxis(s.axis);
    }
    // The grid follows the left axis' ticks only: two grids would cross each other.
    if (axes[0] && axes[1])
        axes[1]->setGridLineVisible(false);
    for (int a = 0; a < 2; ++a) {
        if (!axes[a])
            continue;
        StyleValueAxis(axes[a], names[a], colours[a], plan.percentAxis && a == 1, a);
        const bool list =
            std::find(m_numberAxes.begin(), m_numberAxes.end(), axes[a]) == m_numberAxes.end();
        const auto [lo, hi] = spans[a];
        const double single = std::max(std::abs(lo) * 0.1, 1.0);
        m_fullRanges.push_back(
            {axes[a], list ? Padded(lo, hi, 0, 0.5)
                           : Padded(lo, hi - lo < kMinValueSpan ? lo : hi, 0.05, single)});
        if (list) // a list's items sit half an item from the edges
            m_fullRanges.back().second.first -= 0.5, m_fullRanges.back().second.second += 0.5;
    }
}

void TChartTab::StyleValueAxis(QAbstractAxis* axis, const QStringList& names, const QColor& colour,
                               bool percent, int side) {
    // An axis of one line takes its name and colour; a shared one stays neutral and the note
    // names its lines, since a title of several names would be cut.
    const QString where = side == 0 ? QStringLiteral("Левая ось") : QStringLiteral("Правая ось");
    if (percent) {
        axis->setTitleText(QStringLiteral("% диапазона"));
        m_axisNotes.append(QStringLiteral("%1 — в процентах диапазона каждого типа (0 % — "
                                          "наименьшее, 100 % — наибольшее значение): %2")
                               .arg(where, names.join(QStringLiteral(", "))));
    } else if (names.size() == 1) {
        axis->setTitleText(names.front());
        axis->setLinePenColor(colour);
        axis->setLabelsColor(colour);
    } else {
        m_axisNotes.append(QStringLiteral("%1: %2").arg(where, names.join(QStringLiteral(", "))));
    }
}

void TChartTab::resetZoom() {
    if (m_shown.empty())
        return;
    if (m_chart->isZoomed())
        m_chart->zoomReset();
    m_updating = true;
    for (const auto& [axis, range] : m_fullRanges)
        SetAxisRange(axis, range);
    m_updating = false;
    thinLines();
}

void TChartTab::thinLines() {
    if (m_updating || m_shown.empty() || !m_timeAxis)
        return;
    const auto [x0, x1] = AxisRange(m_timeAxis);
    const int columns = std::max(1, int(m_chart->plotArea().width()));
    for (TShown& s : m_shown) {
        const std::vector<std::size_t> kept = core::DecimateLine(s.vertices, x0, x1, columns);
        QList<QPointF> points;
        points.reserve(qsizetype(kept.size()));
        for (const std::size_t i : kept)
            points.append(QPointF(s.vertices[i].x, s.vertices[i].y));
        // Markers show single records once they stand apart.
        const auto visible = std::count_if(s.pointX.begin(), s.pointX.end(),
                                           [&](double x) { return x >= x0 && x <= x1; });
        s.line->setPointsVisible(visible * kMarkerSpacing <= columns);
        s.line->replace(points);
    }
    updateTimeAxis();
    for (QCategoryAxis* axis : m_numberAxes)
        updateValueTicks(axis);
}

void TChartTab::updateTimeAxis() {
    auto* axis = static_cast<QCategoryAxis*>(m_timeAxis);
    const auto [x0, x1] = AxisRange(axis);
    const int ticks = std::clamp(int(m_chart->plotArea().width() / 90), 2, 12);
    SetTicks(axis, m_data.workTime() ? core::NumberTicks(x0, x1, ticks, m_chart->locale())
                                     : core::TimeTicks(x0, x1, ticks));
}

void TChartTab::updateValueTicks(QCategoryAxis* axis) {
    if (m_updating)
        return;
    const int ticks = std::clamp(int(m_chart->plotArea().height() / 40), 2, 10);
    SetTicks(axis, core::NumberTicks(axis->min(), axis->max(), ticks, m_chart->locale()));
}

void TChartTab::updateNote() {
    int withoutTime = 0, withoutValue = 0;
    for (const std::int32_t id : shownTypes())
        if (const core::TChartSeries* s = m_data.find(id))
            withoutTime += s->withoutTime, withoutValue += s->withoutValue;
    QStringList notes = m_axisNotes;
    if (withoutTime > 0)
        notes.append(
            QStringLiteral("Не показаны записи без допустимого времени: %1").arg(withoutTime));
    if (withoutValue > 0)
        notes.append(
            QStringLiteral("Не показаны записи с нечисловым значением: %1").arg(withoutValue));
    m_note->setText(notes.join(QLatin1Char('\n')));
    m_note->setVisible(!notes.isEmpty());
}

void TChartTab::updateSwatches() {
    m_updating = true;
    for (int i = 0; i < m_types->count(); ++i) {
        QListWidgetItem* item = m_types->item(i);
        const auto it = std::find_if(m_shown.begin(), m_shown.end(), [&](const TShown& s) {
            return s.series->id == item->data(Qt::UserRole).toInt();
        });
        item->setIcon(it != m_shown.end() ? Swatch(it->line->color()) : QIcon());
    }
    m_updating = false;
}

std::optional<TChartTab::THit> TChartTab::pointAt(QPoint viewPosition) const {
    const QPointF scene = m_view->mapToScene(viewPosition);
    const QPointF at = m_chart->mapFromScene(scene);
    if (!m_chart->plotArea()
             .adjusted(-kHitRadius, -kHitRadius, kHitRadius, kHitRadius)
             .contains(at))
        return std::nullopt;
    std::optional<THit> best;
    double bestDistance = kHitRadius * kHitRadius;
    for (const TShown& s : m_shown) {
        const QPointF left = m_chart->mapToValue(at - QPointF(kHitRadius, 0), s.line);
        const QPointF right = m_chart->mapToValue(at + QPointF(kHitRadius, 0), s.line);
        const auto from = std::lower_bound(s.pointX.begin(), s.pointX.end(), left.x());
        const auto to = std::upper_bound(s.pointX.begin(), s.pointX.end(), right.x());
        for (auto it = from; it != to; ++it) {
            const core::TChartPoint& p = s.series->points[std::size_t(it - s.pointX.begin())];
            for (const double y : {p.y, p.before}) {
                if (std::isnan(y))
                    continue;
                const QPointF d = m_chart->mapToPosition(QPointF(*it, s.drawnY(y)), s.line) - at;
                const double distance = d.x() * d.x() + d.y() * d.y();
                if (distance <= bestDistance) {
                    bestDistance = distance;
                    best = THit{s.series, &p};
                }
            }
        }
    }
    return best;
}

QPoint TChartTab::positionOf(std::int32_t id, const core::TChartPoint& point) const {
    for (const TShown& s : m_shown)
        if (s.series->id == id) {
            const QPointF inChart =
                m_chart->mapToPosition(QPointF(axisX(point.x), s.drawnY(point.y)), s.line);
            return m_view->mapFromScene(m_chart->mapToScene(inChart));
        }
    return {};
}

void TChartTab::showToolTip(QPoint position) {
    const auto hit = pointAt(position);
    if (!hit) {
        QToolTip::hideText();
        return;
    }
    // The tooltip stays while the mouse stays near the point (it goes when the mouse leaves
    // that square, or after ten minutes).
    const QRect near(position - QPoint(int(kHitRadius), int(kHitRadius)),
                     QSize(int(2 * kHitRadius), int(2 * kHitRadius)));
    QToolTip::showText(m_view->mapToGlobal(position),
                       core::ChartPointText(m_data, *hit->series, *hit->point), m_view, near,
                       kToolTipMs);
}

void TChartTab::clickPoint(QPoint position) {
    if (const auto hit = pointAt(position); hit && hit->point->index >= 0)
        emit recordClicked(hit->point->index);
}

QString TChartTab::saveChart(const QString& fileName) {
    // A picture stands alone: it shows the legend the type list stands for in the window.
    const bool legend = !m_shown.empty();
    const auto layOut = [this] {
        if (m_chart->layout())
            m_chart->layout()->activate();
    };
    if (legend) {
        m_chart->legend()->show();
        layOut();
    }
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    bool drawn = true;
    if (fileName.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive)) {
        QSvgGenerator svg;
        svg.setOutputDevice(&buffer);
        svg.setSize(m_view->size());
        svg.setViewBox(m_view->rect());
        svg.setTitle(QStringLiteral("График"));
        QPainter painter(&svg);
        m_view->render(&painter);
    } else {
        drawn = m_view->grab().save(&buffer, "PNG");
    }
    if (legend) {
        m_chart->legend()->hide();
        layOut();
    }
    if (!drawn)
        return QStringLiteral("Не удалось сохранить файл %1.").arg(fileName);
    const core::ExportResult r = core::SaveFileBytes(fileName, buffer.data());
    return r.ok ? QString() : r.error;
}

void TChartTab::btnSaveChartClick() {
    const QString proposed = QStringLiteral("график.png");
    QString name;
    if (m_chooser) {
        name = m_chooser(this, proposed);
    } else {
        QString filter;
        name = QFileDialog::getSaveFileName(
            this, QStringLiteral("Сохранить график"), proposed,
            QStringLiteral("Изображение PNG (*.png);;Рисунок SVG (*.svg)"), &filter);
        if (!name.isEmpty() && QFileInfo(name).suffix().isEmpty())
            name += filter.contains(QLatin1String("svg")) ? QStringLiteral(".svg")
                                                          : QStringLiteral(".png");
    }
    if (name.isEmpty())
        return;
    if (const QString error = saveChart(name); !error.isEmpty())
        report(error);
}

void TChartTab::report(const QString& text) {
    if (m_messages)
        m_messages->error(text);
    else
        QMessageBox::critical(this, QStringLiteral("График"), text);
}

} // namespace views
