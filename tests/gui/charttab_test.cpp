// SPDX-License-Identifier: MIT
// The chart tab on its own, over a decoder fed with records as a reading run feeds it.
#include "app/gui/views/charttab.h"

#include "app/core/stringgrid.h"
#include "app/gui/views/chartview.h"
#include "tests/recordingsink.h"

#include <QCategoryAxis>
#include <QChart>
#include <QHelpEvent>
#include <QImage>
#include <QLabel>
#include <QLineSeries>
#include <QListWidget>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QValueAxis>

#include <gtest/gtest.h>

#include <bit>

using namespace core;

namespace {

constexpr std::uint32_t kT = 1600000000; // 13.09.20 12:26:40

struct ChartTab : testing::Test {
    TDevInfo dev;
    core::TStringGrid sg{2, 5};
    TJournalDecoder decoder{sg};
    views::TChartTab tab;
    RecordingSink sink;

    ChartTab() {
        dev.CountJournals = 1;
        dev.Journal[0].typedev = tdPlain3;
        dev.ListRecType = {
            {1, dtFloat, "Граница", {}, std::nullopt},
            {2, dtLongWord, "Счётчик", {}, std::nullopt},
            {3, dtList, "Выход", {}, std::vector<TValueStr>{{0, "выкл"}, {1, "вкл"}}},
        };
        decoder.setDevice(&dev);
        decoder.setStartRec(100);
        // 40 records: a slow float, a counter a thousand times larger, a list; one of the list
        // without a valid time.
        for (int i = 0; i < 40; ++i) {
            const auto id = std::uint16_t(1 + i % 3);
            const std::uint32_t before =
                id == 1 ? std::bit_cast<std::uint32_t>(float(i - 1)) : i % 2;
            const std::uint32_t value = id == 1   ? std::bit_cast<std::uint32_t>(float(i))
                                        : id == 2 ? std::uint32_t(1000 * i)
                                                  : (i + 1) % 2;
            decoder.DecodeRecord(i, i == 38 ? 0 : kT + 60 * i, id, 0, before, value);
        }
        tab.setDecoder(&decoder);
        tab.setMessages(&sink);
        tab.resize(900, 600);
    }

    QLineSeries* line(int i) const {
        return static_cast<QLineSeries*>(tab.chart()->series().value(i));
    }
};

} // namespace

TEST_F(ChartTab, TypesSeriesAndAxes) {
    tab.dataChanged(); // hidden: nothing is prepared yet
    EXPECT_EQ(tab.lstTypes()->count(), 0);
    tab.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&tab));
    ASSERT_EQ(tab.lstTypes()->count(), 3);
    EXPECT_EQ(tab.lstTypes()->item(2)->text(), "Выход");
    // The first type is shown at first.
    EXPECT_EQ(tab.shownTypes(), std::vector<std::int32_t>{1});
    ASSERT_EQ(tab.chart()->series().size(), 1);
    EXPECT_EQ(line(0)->name(), "Граница");
    // Before and after of each of its 14 records, in time order.
    EXPECT_EQ(line(0)->count(), 28);
    EXPECT_EQ(line(0)->at(0).y(), -1);
    EXPECT_EQ(line(0)->at(1).y(), 0);
    EXPECT_EQ(line(0)->at(1).x(), line(0)->at(0).x());
    const auto axes = tab.chart()->axes();
    ASSERT_EQ(axes.size(), 2);
    // The time axis is labelled at round times: whole minutes, a round number apart.
    auto* time = qobject_cast<QCategoryAxis*>(tab.chart()->axes(Qt::Horizontal).value(0));
    ASSERT_NE(time, nullptr);
    ASSERT_GE(time->count(), 2);
    for (const QString& label : time->categoriesLabels()) {
        const QTime at = QTime::fromString(label.section("<br>", 1), "HH:mm");
        EXPECT_TRUE(at.isValid() && at.minute() % 5 == 0) << label.toStdString();
    }
    EXPECT_FALSE(tab.lblNote()->isVisible());

    // The list beside the float: its own axis with the item texts, on the right.
    tab.lstTypes()->item(2)->setCheckState(Qt::Checked);
    auto* list = qobject_cast<QCategoryAxis*>(tab.chart()->axes(Qt::Vertical, line(1)).value(0));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->categoriesLabels(), (QStringList{"выкл", "вкл"}));
    EXPECT_EQ(list->alignment(), Qt::AlignRight);
    // All three: still two value axes; the counter and the list are drawn in per cent of their
    // ranges on the right one, which the note says.
    tab.lstTypes()->item(1)->setCheckState(Qt::Checked);
    ASSERT_EQ(tab.chart()->series().size(), 3);
    EXPECT_EQ(tab.chart()->axes(Qt::Horizontal).size(), 1);
    const auto vertical = tab.chart()->axes(Qt::Vertical);
    ASSERT_EQ(vertical.size(), 2);
    auto* percent = qobject_cast<QCategoryAxis*>(tab.chart()->axes(Qt::Vertical, line(2)).value(0));
    ASSERT_NE(percent, nullptr);
    EXPECT_EQ(percent->titleText(), "% диапазона");
    EXPECT_TRUE(percent->categoriesLabels().contains("100"))
        << percent->categoriesLabels().join(' ').toStdString();
    EXPECT_TRUE(tab.lblNote()->isVisible());
    EXPECT_EQ(tab.lblNote()->text(),
              "Правая ось — в процентах диапазона каждого типа (0 % — наименьшее, 100 % — "
              "наибольшее значение): Счётчик, Выход\n"
              "Не показаны записи без допустимого времени: 1");

    // The counter's thousands on the left when it is shown alone: grouped digits.
    tab.showType(2);
    auto* counter = qobject_cast<QCategoryAxis*>(tab.chart()->axes(Qt::Vertical).value(0));
    ASSERT_NE(counter, nullptr);
    EXPECT_TRUE(counter->categoriesLabels().contains(QLocale().toString(20000)))
        << counter->categoriesLabels().join(' ').toStdString();

    EXPECT_EQ(tab.shownTypes(), std::vector<std::int32_t>{2});
    EXPECT_FALSE(tab.showType(77));
}

TEST_F(ChartTab, ZoomPanResetTooltipAndClick) {
    // Many records of one type: the line is thinned to the plot's width and filled in again as
    // the time range narrows.
    decoder.ClearGroupData();
    for (int i = 0; i < 20000; ++i)
        decoder.DecodeRecord(i, kT + i, 1, 0, 0, std::bit_cast<std::uint32_t>(float(i % 100)));
    tab.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&tab));
    const int width = int(tab.chart()->plotArea().width());
    const int whole = int(line(0)->count());
    EXPECT_LE(whole, 4 * width + 2);
    auto* time = qobject_cast<QValueAxis*>(tab.chart()->axes(Qt::Horizontal).value(0));
    ASSERT_NE(time, nullptr);
    const double span = time->max() - time->min();

    const QPoint centre = tab.chartView()->mapFromScene(tab.chart()->plotArea().center());
    for (int i = 0; i < 9; ++i)
        tab.chartView()->zoomTime(0.5, tab.chart()->plotArea().center().x());
    const double zoomed = time->max() - time->min();
    EXPECT_NEAR(zoomed / span, 1.0 / 512, 0.0005);
    EXPECT_LT(line(0)->count(), whole);
    EXPECT_TRUE(line(0)->pointsVisible()); // about 40 records across the plot
    const double before = time->min();

    QTest::mousePress(tab.chartView()->viewport(), Qt::RightButton, {}, centre);
    QTest::mouseMove(tab.chartView()->viewport(), centre + QPoint(100, 0));
    QTest::mouseRelease(tab.chartView()->viewport(), Qt::RightButton, {}, centre + QPoint(100, 0));
    const double panned = time->min();
    EXPECT_LT(panned, before);
    EXPECT_NEAR(time->max() - panned, zoomed, 1);

    tab.btnResetZoom()->click();
    EXPECT_EQ(time->max() - time->min(), span);
    EXPECT_EQ(line(0)->count(), whole);
    EXPECT_LT(time->min(), panned);

    // A click on a point selects its record; the tooltip names it.
    for (int i = 0; i < 9; ++i)
        tab.chartView()->zoomTime(0.5, tab.chart()->plotArea().center().x());
    const TChartSeries& s = tab.data().series[0];
    const TChartPoint& p = s.points[10000];
    const QPoint at = tab.positionOf(1, p);
    const auto hit = tab.pointAt(at + QPoint(2, 1));
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->point->index, 10000);
    EXPECT_EQ(ChartPointText(tab.data(), s, *hit->point),
              "Граница\nВремя: 13.09.20 15:13:20\nЗначение: 0.0000000 → 0.0000000\nЗапись: 10100");
    // The mouse resting there asks for the tooltip again, never hides it.
    QSignalSpy hovered(tab.chartView(), &views::TChartView::hovered);
    QHelpEvent rest(QEvent::ToolTip, at, tab.chartView()->viewport()->mapToGlobal(at));
    QCoreApplication::sendEvent(tab.chartView()->viewport(), &rest);
    ASSERT_EQ(hovered.size(), 1);
    EXPECT_EQ(hovered[0][0].toPoint(), at);
    QSignalSpy clicked(&tab, &views::TChartTab::recordClicked);
    QTest::mouseClick(tab.chartView()->viewport(), Qt::LeftButton, {}, at);
    ASSERT_EQ(clicked.size(), 1);
    EXPECT_EQ(clicked[0][0].toInt(), 10000);
    EXPECT_FALSE(tab.pointAt(at + QPoint(0, 40)));
}

TEST_F(ChartTab, SavesPngAndSvg) {
    tab.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&tab));
    QTemporaryDir dir;
    QString offered;
    tab.setFileChooser([&](QWidget*, const QString& proposed) {
        offered = proposed;
        return dir.filePath("chart.png");
    });
    tab.btnSaveChart()->click();
    EXPECT_EQ(offered, "график.png");
    const QImage png(dir.filePath("chart.png"));
    ASSERT_FALSE(png.isNull());
    EXPECT_EQ(png.size(), tab.chartView()->size());
    // A picture, not a blank.
    QSet<QRgb> colours;
    for (int y = 0; y < png.height(); y += 3)
        for (int x = 0; x < png.width(); x += 3)
            colours.insert(png.pixel(x, y));
    EXPECT_GT(colours.size(), 10);

    EXPECT_EQ(tab.saveChart(dir.filePath("chart.svg")), QString());
    QFile svg(dir.filePath("chart.svg"));
    ASSERT_TRUE(svg.open(QIODevice::ReadOnly));
    EXPECT_TRUE(svg.readAll().contains("<svg"));

    // A folder that is not there: the message names the file; nothing else is written.
    tab.setFileChooser([&](QWidget*, const QString&) { return dir.filePath("no/chart.png"); });
    tab.btnSaveChart()->click();
    ASSERT_EQ(sink.messages.size(), 1);
    EXPECT_TRUE(sink.messages[0].contains(dir.filePath("no/chart.png")))
        << sink.messages[0].toStdString();
}
// Qt Charts draws no axis of a span near zero: subnormal floats are shown as a constant.
TEST_F(ChartTab, SubnormalFloatsKeepAVisibleAxis) {
    decoder.ClearGroupData();
    for (int i = 0; i < 300; ++i)
        decoder.DecodeRecord(i, kT + 60 * i, 1, 0, i, i + 1);
    tab.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&tab));
    const auto* axis = qobject_cast<QValueAxis*>(tab.chart()->axes(Qt::Vertical).value(0));
    ASSERT_NE(axis, nullptr);
    EXPECT_GE(axis->max() - axis->min(), 1);
    EXPECT_EQ(line(0)->count(), 600);
}

// A list type with more items than an axis can name is drawn on a numeric axis.
TEST_F(ChartTab, ListOfManyItemsGetsANumericAxis) {
    decoder.ClearGroupData();
    for (int i = 0; i < 300; ++i)
        decoder.DecodeRecord(i, kT + 60 * i, 3, 0, 0, i);
    tab.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&tab));
    const auto vertical = tab.chart()->axes(Qt::Vertical);
    ASSERT_EQ(vertical.size(), 1);
    auto* axis = qobject_cast<QCategoryAxis*>(vertical[0]);
    ASSERT_NE(axis, nullptr);
    // Round numbers with digit groups, no item texts.
    EXPECT_EQ(axis->categoriesLabels().mid(0, 3), (QStringList{"0", "50", "100"}));
}
