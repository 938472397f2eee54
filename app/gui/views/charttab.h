// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/chartdata.h"

#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace platform {
class IMessageSink;
} // namespace platform
class QAbstractAxis;
class QTableView;
class QChart;
class QLabel;
class QLineSeries;
class QListWidget;
class QPushButton;
class QCategoryAxis;

namespace core {
class TJournalDecoder;
}

namespace views {

class TChartView;

// "График": the values of the record types of the run over time. A list of the types that carry
// numbers (several can be ticked, each with its line's colour), the chart of the ticked ones (Qt
// Charts; at most two value axes, left and right, with round ticks; types whose scales differ
// share the right one in per cent of their ranges), a note of shared and normalised axes and of
// the records left out for want of a valid time, "Сбросить масштаб" and "Сохранить график...".
//
// The data come from a source (the decoder's grouping data, the grouped view's source), prepared
// when the tab is shown after dataChanged(), never per record. Each line is thinned to the plot's
// width (core::DecimateLine) whenever the visible time range or the plot's size changes.
class TChartTab : public QWidget {
    Q_OBJECT
public:
    // Asks for the name of the picture to write (`proposed`: the name offered); empty: cancel.
    using TFileChooser = std::function<QString(QWidget* parent, const QString& proposed)>;

    explicit TChartTab(QWidget* parent = nullptr);
    ~TChartTab() override;

    // Where the data come from: the decoder's events (the grouped view's source: a reading or
    // an archive series opened into the list), prepared anew on each dataChanged().
    void setDecoder(const core::TJournalDecoder* decoder);
    // The types a device's data get ticked with when they come, where the data have any of
    // them (the window keeps them for each device); empty: the types ticked before stay ticked.
    void setRememberedTypes(std::function<std::vector<std::int32_t>(const TDevInfo*)> remembered) {
        m_remembered = std::move(remembered);
    }
    // Where a failed save is reported; nullptr: a message box.
    void setMessages(platform::IMessageSink* messages) { m_messages = messages; }
    // nullptr: the desktop's save dialog (PNG and SVG filters).
    void setFileChooser(TFileChooser chooser) { m_chooser = std::move(chooser); }

    // The source's data changed (a run started or ended): the data are prepared again once the
    // current event has been handled when the tab is visible, else when it is next shown.
    void dataChanged();
    // Follows the grouped grid, which is cleared and built from the same groups when a run
    // starts and ends: calls dataChanged() whenever its model changes, and a double-click on
    // group row r shows the type of group r - 1 (emits groupOpened() when it is charted).
    void followGroupGrid(QTableView* grid);
    // Ticks only the type of the group at `group` of the source's groups; false when it is not
    // charted.
    bool showGroup(std::size_t group);
    // Ticks only the type `id` (the data are prepared first when they changed); false when the
    // type is not charted.
    bool showType(std::int32_t id);
    // The time and value ranges of the whole data.
    void resetZoom();
    // Writes the chart as it is shown: SVG for a name ending in ".svg", PNG otherwise. Returns the
    // error text, empty on success.
    QString saveChart(const QString& fileName);

    const core::TChartData& data() const { return m_data; }
    // The IDs of the ticked types, in list order.
    std::vector<std::int32_t> shownTypes() const;
    // The point under a position of the view (within a few pixels), nearest first.
    struct THit {
        const core::TChartSeries* series = nullptr;
        const core::TChartPoint* point = nullptr;
    };
    std::optional<THit> pointAt(QPoint viewPosition) const;
    // The position of a point of a shown type in the view.
    QPoint positionOf(std::int32_t id, const core::TChartPoint& point) const;

    QChart* chart() const { return m_chart; }
    TChartView* chartView() const { return m_view; }
    QListWidget* lstTypes() const { return m_types; }
    QLabel* lblNote() const { return m_note; }
    QPushButton* btnResetZoom() const { return m_reset; }
    QPushButton* btnSaveChart() const { return m_save; }

signals:
    // A point was clicked: the record at this index of the run.
    void recordClicked(std::int32_t index);
    // A double-click on a group row showed its type.
    void groupOpened();
    // The types ticked for the data of `device` changed by the user's choice.
    void typesTicked(const TDevInfo* device, const std::vector<std::int32_t>& ids);

public slots:
    // "Сохранить график...": asks for a name and writes the picture.
    void btnSaveChartClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct TShown {
        const core::TChartSeries* series = nullptr;
        QLineSeries* line = nullptr;
        QAbstractAxis* axis = nullptr;
        bool normalised = false;                 // drawn in per cent of its own range
        std::vector<core::TLineVertex> vertices; // in the axes' units
        std::vector<double> pointX;              // each point's x in those units
        // A value of the series as the line draws it.
        double drawnY(double y) const;
    };

    void refresh();
    void fillTypeList();
    void replaceChart();
    void rebuildChart();
    // The time axis and the value axes of the shown lines (at most two: left and right).
    void addAxes();
    void addValueAxes();
    QAbstractAxis* newValueAxis(const TShown& s, bool percent);
    void StyleValueAxis(QAbstractAxis* axis, const QStringList& names, const QColor& colour,
                        bool percent, int side);
    void thinLines();
    // Round ticks for the ranges shown now.
    void updateTimeAxis();
    void updateValueTicks(QCategoryAxis* axis);
    void updateNote();
    // The ticked types' colours in the type list.
    void updateSwatches();
    void showToolTip(QPoint position);
    void clickPoint(QPoint position);
    // A record's time (ms without zone) in the time axis' units: the same milliseconds, or hours
    // of operating time.
    double axisX(double ms) const;
    void report(const QString& text);

    const core::TJournalDecoder* m_decoder = nullptr;
    std::function<std::vector<std::int32_t>(const TDevInfo*)> m_remembered;
    platform::IMessageSink* m_messages = nullptr;
    TFileChooser m_chooser;
    core::TChartData m_data;
    bool m_stale = true;
    bool m_refreshQueued = false;
    bool m_updating = false;

    QListWidget* m_types;
    QChart* m_chart;
    TChartView* m_view;
    QLabel* m_note;
    QPushButton* m_reset;
    QPushButton* m_save;
    QAbstractAxis* m_timeAxis = nullptr;
    std::vector<TShown> m_shown;
    std::vector<std::pair<QAbstractAxis*, std::pair<double, double>>> m_fullRanges;
    std::vector<QCategoryAxis*> m_numberAxes; // value axes labelled at round numbers
    QStringList m_axisNotes;                  // which lines share an axis, which are normalised
};

} // namespace views
