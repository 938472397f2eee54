// SPDX-License-Identifier: MIT
// The journal archive in the real window: "Считать" stores, "Дочитать" reads only what is new and
// shows what a full reading shows, the "Архив" tab opens and deletes a series.
#include "tests/e2e/e2efixture.h"

#include "app/gui/archivetab.h"
#include "app/gui/views/charttab.h"
#include "app/gui/views/chartview.h"
#include "tests/archive/journalgrowth.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QTabWidget>
#include <QTableView>
#include <QTest>

#include <algorithm>

#include "tests/qstringprinter.h"

namespace e2e {
namespace {

class WindowArchive : public WindowRun {
protected:
    void SetUp() override {
        WindowRun::SetUp();
        qputenv("JOURNAL_ARCHIVE", dir.filePath("archive.sqlite").toUtf8());
    }
    void TearDown() override {
        WindowRun::TearDown();
        qunsetenv("JOURNAL_ARCHIVE");
    }

    // Handles events until the run's archive writer, which commits off the window's thread, has
    // finished (at most five seconds); then "Дочитать" is enabled.
    bool waitArchive() {
        waitWriter();
        return !form->archiveWriting() && page().btnIncremental()->isEnabled();
    }
    void waitWriter() {
        QElapsedTimer t;
        t.start();
        while (form->archiveWriting() && t.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
};

TEST_F(WindowArchive, IncrementalReadingTabOpenAndDelete) {
    startSimulator(QStringLiteral("rt10"));
    createForm(QStringLiteral("Регулятор РТ-10"));
    EXPECT_EQ(page().PageControl1()->tabText(page().PageControl1()->count() - 1), u"Архив");
    EXPECT_FALSE(page().btnIncremental()->isEnabled()) << "nothing stored yet";

    read();
    ASSERT_TRUE(waitArchive());
    const TJournalInfo& j = *form->CurDev()->journalAt(0);
    const int before = HeldRecords(simulator->instrument(), j).maxRec;
    simulator->updateInstrument([&](sim::Instrument& i) { Grow(i, j, false, 3); });
    simulator->clearRequestLog();

    read(page().btnIncremental());
    const QStringList incremental = listRows();
    EXPECT_EQ(RecordRequests(*simulator),
              (std::vector<int>{before - 1, before, before + 1, before + 2}));
    EXPECT_TRUE(page().lblStat()->text().startsWith(u"Дочитано"))
        << page().lblStat()->text().toStdString();
    EXPECT_TRUE(!page().BtnExcel()->isHidden());
    ASSERT_TRUE(waitArchive());
    read();
    EXPECT_EQ(incremental, listRows()) << "a full reading of the same instrument";
    ASSERT_TRUE(waitArchive());
    EXPECT_TRUE(sink.messages.isEmpty()) << sink.messages.join('|').toStdString();

    gui::TArchiveTab& tab = *page().tsArchive();
    page().PageControl1()->setCurrentWidget(&tab);
    tab.refresh();
    ASSERT_EQ(tab.seriesView->model()->rowCount(), 1) << "the readings continued one series";
    tab.seriesView->selectRow(0);
    EXPECT_EQ(tab.readingsView->model()->rowCount(), 3);
    const struct {
        const char* start;
        const char* count;
        QStringList rows;
    } opens[] = {{"", "", incremental}, {"2", "3", incremental.mid(2, 3)}};
    for (const auto& o : opens) {
        page().BtnExcel()->hide();
        page().sgCells()->clearCells(1);
        tab.edtStart->setText(QString::fromUtf8(o.start));
        tab.edtCount->setText(QString::fromUtf8(o.count));
        tab.btnOpen->click();
        EXPECT_EQ(listRows(), o.rows) << o.start;
        EXPECT_TRUE(!page().BtnExcel()->isHidden());
        EXPECT_EQ(page().PageControl1()->currentWidget(), page().tsData());
    }
    // The chart follows the opened series: its numbers start at the first record opened, and a
    // click on a point selects the row of that record.
    form->resize(1000, 700);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    views::TChartTab& chart = *page().tsChart();
    page().PageControl1()->setCurrentWidget(&chart);
    QCoreApplication::processEvents();
    EXPECT_EQ(chart.data().startrec, 2);
    const auto charted = std::find_if(chart.data().series.begin(), chart.data().series.end(),
                                      [](const auto& s) { return !s.points.empty(); });
    ASSERT_NE(charted, chart.data().series.end());
    const core::TChartPoint point = charted->points.back();
    ASSERT_TRUE(chart.showType(charted->id));
    QTest::mouseClick(chart.chartView()->viewport(), Qt::LeftButton, {},
                      chart.positionOf(charted->id, point));
    ASSERT_EQ(page().PageControl1()->currentWidget(), page().tsData());
    EXPECT_EQ(page().sgCells()->cell(page().sg()->currentIndex().row(), 0),
              QString::number(2 + point.index));

    tab.edtStart->setText(QStringLiteral("x"));
    tab.btnOpen->click();
    EXPECT_EQ(sink.messages, QStringList{QStringLiteral("W:«x» — не номер записи")});

    sink.messages.clear();
    tab.btnDelete->click(); // answered "no"
    sink.answer = true;
    tab.btnDelete->click();
    ASSERT_EQ(sink.messages.size(), 2);
    EXPECT_TRUE(sink.messages[1].startsWith(u"Q:Удалить из архива серию"))
        << sink.messages[1].toStdString();
    EXPECT_FALSE(tab.selectedSeries().has_value());
    EXPECT_FALSE(page().btnIncremental()->isEnabled());
}

// A stopped reading looks stopped: where it stopped beside the status texts, its bar in the
// warning colour, "остановлено" in the archive's readings; "Дочитать" reads the records not yet
// read and shows what a full reading shows. A failed count read after a full reading leaves no
// bar and no count of failed records.
TEST_F(WindowArchive, StoppedReadingLooksStoppedAndIsContinued) {
    const struct {
        const char* name;
        int journal;
        int stopAfter; // records done when "Остановить" has been clicked; 0: not clicked
        int stopIndex; // the device index of the last of them, answered late: the click's time
        const char* fault; // added after a full reading; "": none
        const char* stopped;
        // The archive tab's numbers, records, failed records and end of the stopped reading and
        // of the "Дочитать" that continued it.
        const char* readings[2];
    } cases[] = {
        {"the ring of 1000",
         1,
         119,
         318,
         "",
         "Остановлено на записи 318: считано 119 из 1000",
         {"200–1199|119 из 1000|0|остановлено", "200–1199|881 новых из 1000|0|завершено"}},
        {"the journal of 14",
         0,
         5,
         4,
         "",
         "Остановлено на записи 4: считано 5 из 14",
         {"0–13|5 из 14|0|остановлено", "0–13|9 новых из 14|0|завершено"}},
        {"the count read fails", 0, 0, 0, "exception code=2 register=300001", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        form.reset();
        simulator.reset();
        QFile::remove(dir.filePath("archive.sqlite"));
        startSimulator(QStringLiteral("rt10"));
        createForm(QStringLiteral("Регулятор РТ-10"), c.journal);
        const QColor normal = page().PBar()->palette().color(QPalette::Highlight);
        if (*c.fault) {
            read();
            ASSERT_EQ(page().PBar()->value(), page().PBar()->maximum());
            simulator->addFault(*sim::parseFault(QString::fromUtf8(c.fault)));
        }
        if (c.stopAfter > 0)
            simulator->addFault(*sim::parseFault(QStringLiteral("delay ms=200 times=1 record=%1:%2")
                                                     .arg(c.journal + 1)
                                                     .arg(c.stopIndex)));
        // The register reads (the ring's overflow counter too), then the records.
        const int requests = (c.journal == 1 ? 2 : 1) + c.stopAfter;
        onEvents = [&] {
            if (c.stopAfter > 0 && simulator->requestCount() == requests &&
                page().btnStop2()->isEnabled())
                page().btnStop2()->click();
        };
        read();
        onEvents = nullptr;
        const bool stopped = c.stopAfter > 0;
        EXPECT_EQ(page().lblProgress()->text(), QString::fromUtf8(c.stopped));
        EXPECT_EQ(page().PBar()->palette().color(QPalette::Highlight) != normal, stopped);
        EXPECT_EQ(page().lblProgress()->palette().color(QPalette::WindowText),
                  stopped ? page().PBar()->palette().color(QPalette::Highlight)
                          : form->palette().color(QPalette::WindowText));
        EXPECT_EQ(page().lblFailed()->isVisibleTo(form.get()), stopped);
        EXPECT_EQ(page().PBar()->value(), stopped ? page().PBar()->maximum() : 0);
        if (!stopped)
            continue;

        ASSERT_TRUE(waitArchive());
        gui::TArchiveTab& tab = *page().tsArchive();
        tab.refresh();
        tab.seriesView->selectRow(0);
        const auto readingCells = [&](int row) {
            QStringList cells;
            for (int column = 5; column < 9; ++column)
                cells << tab.readingsView->model()->index(row, column).data().toString();
            return cells.join('|');
        };
        EXPECT_EQ(readingCells(0), QString::fromUtf8(c.readings[0]));

        read(page().btnIncremental());
        const QStringList continued = listRows();
        EXPECT_TRUE(page().lblProgress()->text().isEmpty());
        EXPECT_EQ(page().PBar()->palette().color(QPalette::Highlight), normal);
        ASSERT_TRUE(waitArchive());
        tab.refresh();
        tab.seriesView->selectRow(0);
        EXPECT_EQ(tab.readingsView->model()->index(1, 1).data().toString(), u"дочитывание");
        EXPECT_EQ(readingCells(1), QString::fromUtf8(c.readings[1]));
        read();
        EXPECT_EQ(continued, listRows()) << "a full reading";
        ASSERT_TRUE(waitArchive());
    }
    EXPECT_TRUE(sink.messages.isEmpty()) << sink.messages.join('|').toStdString();
}

// An archive that cannot be opened costs one message per reading, never the reading.
TEST_F(WindowArchive, UnusableArchiveGivesOneMessageAndTheReadingGoesOn) {
    qputenv("JOURNAL_ARCHIVE", "/dev/null/archive.sqlite");
    startSimulator(QStringLiteral("rt10"));
    createForm(QStringLiteral("Регулятор РТ-10"));
    read();
    EXPECT_EQ(listRows().size(), 14);
    waitWriter();
    ASSERT_EQ(sink.messages.size(), 1) << sink.messages.join('|').toStdString();
    EXPECT_TRUE(sink.messages[0].startsWith(u"W:Архив журналов /dev/null/archive.sqlite: "))
        << sink.messages[0].toStdString();
    EXPECT_FALSE(page().btnIncremental()->isEnabled());
    page().tsArchive()->refresh();
    EXPECT_TRUE(page().tsArchive()->lblState->text().startsWith(
        u"Архив журналов /dev/null/archive.sqlite: "))
        << page().tsArchive()->lblState->text().toStdString();
}

} // namespace
} // namespace e2e
