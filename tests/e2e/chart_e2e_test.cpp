// SPDX-License-Identifier: MIT
// The "График" tab of the real window after a reading of the simulated instrument.
#include "tests/e2e/e2efixture.h"

#include "app/gui/views/charttab.h"
#include "app/gui/views/chartview.h"

#include <QCategoryAxis>
#include <QChart>
#include <QLabel>
#include <QLineSeries>
#include <QListWidget>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QValueAxis>

namespace e2e {
namespace {

QStringList TypeNames(const views::TChartTab& tab) {
    QStringList names;
    for (int i = 0; i < tab.lstTypes()->count(); ++i)
        names.append(tab.lstTypes()->item(i)->text());
    return names;
}

TEST_F(WindowRun, ChartOfAReading) {
    startSimulator("rt10");
    createForm(QString::fromUtf8("Регулятор РТ-10"));
    form->resize(1000, 700);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    read();
    views::TChartTab& tab = *page().tsChart();
    page().PageControl1()->setCurrentWidget(&tab);
    QCoreApplication::processEvents();

    // Every type that carries numbers; the date-time type is not offered.
    EXPECT_EQ(TypeNames(tab),
              QStringList({"Уставка температуры", "Коррекция смещения", "Счётчик циклов",
                           "Смещение нуля", "Номер программы", "Период опроса, мс", "Наработка, с",
                           "Состояние клапана", "Код события", "Режим работы", "99"}));
    // The first type: one of its two records has a time from before the clock was set.
    ASSERT_EQ(tab.chart()->series().size(), 1);
    EXPECT_EQ(static_cast<QLineSeries*>(tab.chart()->series()[0])->count(), 1);
    EXPECT_TRUE(qobject_cast<QCategoryAxis*>(tab.chart()->axes(Qt::Horizontal).value(0)));
    EXPECT_TRUE(qobject_cast<QValueAxis*>(tab.chart()->axes(Qt::Vertical).value(0)));
    EXPECT_EQ(tab.lblNote()->text(), "Не показаны записи без допустимого времени: 1");

    // A double-click on the valve's group row opens its chart: item texts on the axis.
    page().PageControl1()->setCurrentWidget(page().tsGroup());
    QCoreApplication::processEvents();
    const QModelIndex valve = page().sgGrCells()->index(9, 0);
    ASSERT_EQ(page().sgGrCells()->cell(9, 0), "Состояние клапана");
    page().sgGr()->scrollTo(valve);
    // As the window system delivers it: a press and release, then the double-click.
    const QPoint at = page().sgGr()->visualRect(valve).center();
    QTest::mouseClick(page().sgGr()->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(page().sgGr()->viewport(), Qt::LeftButton, {}, at);
    ASSERT_EQ(page().PageControl1()->currentWidget(), &tab);
    EXPECT_EQ(tab.shownTypes(), std::vector<std::int32_t>{9});
    auto* items = qobject_cast<QCategoryAxis*>(tab.chart()->axes(Qt::Vertical).value(0));
    ASSERT_NE(items, nullptr);
    EXPECT_EQ(items->categoriesLabels(), QStringList({"открыт", "* нет описания для индекса [5]"}));
    EXPECT_FALSE(tab.lblNote()->isVisible());

    // A click on the second point selects its record (the tenth) in the linear list.
    const core::TChartSeries& series = *tab.data().find(9);
    ASSERT_EQ(series.points.size(), 2u);
    QTest::mouseClick(tab.chartView()->viewport(), Qt::LeftButton, {},
                      tab.positionOf(9, series.points[1]));
    EXPECT_EQ(page().PageControl1()->currentWidget(), page().tsData());
    EXPECT_EQ(page().sg()->currentIndex().row(), 10);
    EXPECT_EQ(page().sgCells()->cell(10, 4), "* нет описания для индекса [5]");

    EXPECT_TRUE(sink.messages.isEmpty()) << sink.messages.join('|').toStdString();
}

} // namespace
} // namespace e2e
