// SPDX-License-Identifier: MIT
#include "app/gui/views/charttab.h"

#include "app/core/journalexport.h"
#include "app/gui/views/chartview.h"
#include "platform/messagesink.h"

#include <QAbstractItemModel>
#include <QBuffer>
#include <QCategoryAxis>
#include <QChart>
#include <QDateTimeAxis>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLegend>
#include <QLineSeries>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
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

namespace {

constexpr double kMsPerHour = 3600000.0;
// How near (pixels) the cursor must be to a point for its tooltip or a click.
constexpr double kHitRadius = 8;
// Markers are drawn when a line shows fewer points than one per this many pixels.
constexpr int kMarkerSpacing = 8;

// Qt Charts draws no value axis narrower than about 1e-12: values that span less than this
// (subnormal floats) are shown as a constant.
constexpr double kMinValueSpan = 1e-9;

using TRange = std::pair<double, double>;

TRange AxisRange(const QAbstractAxis* axis) {
    if (const auto* t = qobject_cast<const QDateTimeAxis*>(axis))
        return {double(t->min().toMSecsSinceEpoch()), double(t->max().toMSecsSinceEpoch())};
    const auto* v = static_cast<const QValueAxis*>(axis);
    return {v->min(), v->max()};
}

void SetAxisRange(QAbstractAxis* axis, TRange r) {
    if (auto* t = qobject_cast<QDateTimeAxis*>(axis))
        t->setRange(QDateTime::fromMSecsSinceEpoch(qint64(std::floor(r.first))),
                    QDateTime::fromMSecsSinceEpoch(qint64(std::ceil(r.second))));
    else
        static_cast<QValueAxis*>(axis)->setRange(r.first, r.second);
}

// A range with room around its values; a single value gets a range of its own size.
TRange Padded(double lo, double hi, double fraction, double emptyHalfWidth) {
    if (!(hi > lo))
        return {lo - emptyHalfWidth, hi + emptyHalfWidth};
    const double pad = (hi - lo) * fraction;
    return {lo - pad, hi + pad};
}

// The date-time axis' label format for a visible span.
QString TimeFormat(double spanMs) {
    if (spanMs >= 3 * 24 * kMsPerHour)
        return QStringLiteral("dd.MM.yy");
    if (spanMs >= 2 * kMsPerHour)
        return QStringLiteral("dd.MM.yy<br>HH:mm");
    return QStringLiteral("dd.MM.yy<br>HH:mm:ss");
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
    if (m_data.workTime())
        return ms / kMsPerHour;
    // The date-time axis shows an x as the local time of that many milliseconds since 1970; a
    // record's time has no zone, so each is moved by the local zone's offset at that time (looked
    // up once an hour of records).
    const auto hour = static_cast<qint64>(std::floor(ms / kMsPerHour));
    auto it = m_zoneOffsets.find(hour);
    if (it == m_zoneOffsets.end()) {
        const QDateTime naive = QDateTime::fromMSecsSinceEpoch(hour * qint64(kMsPerHour), Qt::UTC);
        const QDateTime local(naive.date(), naive.time(), Qt::LocalTime);
        it = m_zoneOffsets
                 .emplace(hour, local.isValid()
                                    ? local.toMSecsSinceEpoch() - naive.toMSecsSinceEpoch()
                                    : 0)
                 .first;
    }
    return ms + double(it->second);
}

void TChartTab::replaceChart() {
    // A new chart for each set of types: axes removed from a chart that has been drawn can stay
    // on its scene, so the old chart goes with its series and axes.
    auto* chart = new QChart;
    chart->legend()->setAlignment(Qt::AlignBottom);
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
    for (const std::int32_t id : shownTypes()) {
        TShown s;
        s.series = m_data.find(id);
        if (!s.series || s.series->points.empty())
            continue;
        for (const core::TLineVertex& v : core::SeriesLine(*s.series))
            s.vertices.push_back({axisX(v.x), v.y});
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
    updateNote();
    if (m_shown.empty())
        return;
    for (TShown& s : m_shown)
        m_chart->addSeries(s.line);

    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (const TShown& s : m_shown)
        lo = std::min(lo, s.pointX.front()), hi = std::max(hi, s.pointX.back());
    if (m_data.workTime()) {
        auto* axis = new QValueAxis;
        axis->setTitleText(QStringLiteral("Наработка, ч"));
        axis->setLabelFormat(QStringLiteral("%.1f"));
        m_timeAxis = axis;
        m_fullRanges.push_back({axis, Padded(lo, hi, 0.02, 1)});
    } else {
        auto* axis = new QDateTimeAxis;
        axis->setTitleText(QStringLiteral("Время"));
        m_timeAxis = axis;
        m_fullRanges.push_back({axis, Padded(lo, hi, 0.02, kMsPerHour)});
    }
    m_chart->addAxis(m_timeAxis, Qt::AlignBottom);
    for (TShown& s : m_shown)
        s.line->attachAxis(m_timeAxis);
    addValueAxes();
    resetZoom();
    if (auto* t = qobject_cast<QDateTimeAxis*>(m_timeAxis))
        connect(t, &QDateTimeAxis::rangeChanged, this, [this] { thinLines(); });
    else
        connect(static_cast<QValueAxis*>(m_timeAxis), &QValueAxis::rangeChanged, this,
                [this] { thinLines(); });
}

void TChartTab::addValueAxes() {
    std::vector<core::TValueRange> ranges;
    for (const TShown& s : m_shown)
        ranges.push_back({s.series->minY, s.series->maxY, s.series->itemAxis()});
    const std::vector<int> axisOf = core::AssignValueAxes(ranges);
    std::vector<QAbstractAxis*> axes;
    std::vector<TRange> spans;
    for (std::size_t i = 0; i < m_shown.size(); ++i) {
        TShown& s = m_shown[i];
        const auto a = static_cast<std::size_t>(axisOf[i]);
        if (a == axes.size()) {
            QAbstractAxis* axis = nullptr;
            if (s.series->itemAxis()) {
                auto* c = new QCategoryAxis;
                c->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
                QStringList used;
                for (const auto& [number, text] : s.series->items) {
                    QString label = text;
                    if (used.contains(label))
                        label += QStringLiteral(" [%1]").arg(number);
                    used.append(label);
                    c->append(label, number);
                }
                axis = c;
            } else {
                auto* v = new QValueAxis;
                // Six significant digits fit counters and floats of any size alike.
                v->setLabelFormat(QStringLiteral("%.6g"));
                axis = v;
            }
            axis->setTitleText(s.series->name);
            axis->setLinePenColor(s.line->color());
            axis->setLabelsColor(s.line->color());
            m_chart->addAxis(axis, a % 2 == 0 ? Qt::AlignLeft : Qt::AlignRight);
            axes.push_back(axis);
            spans.emplace_back(s.series->minY, s.series->maxY);
        } else {
            spans[a] = {std::min(spans[a].first, s.series->minY),
                        std::max(spans[a].second, s.series->maxY)};
            axes[a]->setTitleText(axes[a]->titleText() + QStringLiteral(", ") + s.series->name);
        }
        s.axis = axes[a];
        s.line->attachAxis(s.axis);
    }
    for (std::size_t a = 0; a < axes.size(); ++a) {
        const bool list = qobject_cast<QCategoryAxis*>(axes[a]) != nullptr;
        const auto [lo, hi] = spans[a];
        const double single = std::max(std::abs(lo) * 0.1, 1.0);
        m_fullRanges.push_back(
            {axes[a], list ? Padded(lo, hi, 0, 0.5)
                           : Padded(lo, hi - lo < kMinValueSpan ? lo : hi, 0.05, single)});
        if (list) // a list's items sit half an item from the edges
            m_fullRanges.back().second.first -= 0.5, m_fullRanges.back().second.second += 0.5;
    }
}

void TChartTab::resetZoom() {
    if (m_shown.empty())
        return;
    if (m_chart->isZoomed())
        m_chart->zoomReset();
    m_updating = true;
    for (const auto& [axis, range] : m_fullRanges) {
        SetAxisRange(axis, range);
        if (auto* v = qobject_cast<QValueAxis*>(axis);
            v && !qobject_cast<QCategoryAxis*>(axis) && axis != m_timeAxis)
            v->applyNiceNumbers();
    }
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
}

void TChartTab::updateTimeAxis() {
    auto* axis = qobject_cast<QDateTimeAxis*>(m_timeAxis);
    if (!axis)
        return;
    const auto [x0, x1] = AxisRange(axis);
    axis->setFormat(TimeFormat(x1 - x0));
    axis->setTickCount(std::clamp(int(m_chart->plotArea().width() / 90), 2, 12));
}

void TChartTab::updateNote() {
    int withoutTime = 0, withoutValue = 0;
    for (const std::int32_t id : shownTypes())
        if (const core::TChartSeries* s = m_data.find(id))
            withoutTime += s->withoutTime, withoutValue += s->withoutValue;
    QStringList notes;
    if (withoutTime > 0)
        notes.append(
            QStringLiteral("Не показаны записи без допустимого времени: %1").arg(withoutTime));
    if (withoutValue > 0)
        notes.append(
            QStringLiteral("Не показаны записи с нечисловым значением: %1").arg(withoutValue));
    m_note->setText(notes.join(QLatin1Char('\n')));
    m_note->setVisible(!notes.isEmpty());
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
                const QPointF d = m_chart->mapToPosition(QPointF(*it, y), s.line) - at;
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
                m_chart->mapToPosition(QPointF(axisX(point.x), point.y), s.line);
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
    QToolTip::showText(m_view->mapToGlobal(position),
                       core::ChartPointText(m_data, *hit->series, *hit->point), m_view);
}

void TChartTab::clickPoint(QPoint position) {
    if (const auto hit = pointAt(position); hit && hit->point->index >= 0)
        emit recordClicked(hit->point->index);
}

QString TChartTab::saveChart(const QString& fileName) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    if (fileName.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive)) {
        QSvgGenerator svg;
        svg.setOutputDevice(&buffer);
        svg.setSize(m_view->size());
        svg.setViewBox(m_view->rect());
        svg.setTitle(QStringLiteral("График"));
        QPainter painter(&svg);
        m_view->render(&painter);
    } else if (!m_view->grab().save(&buffer, "PNG")) {
        return QStringLiteral("Не удалось сохранить файл %1.").arg(fileName);
    }
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
