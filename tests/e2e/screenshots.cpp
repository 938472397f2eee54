// SPDX-License-Identifier: MIT
// The screenshot tool: pictures of the window after real runs against the simulated instrument,
// and the files the runs export, for a person to look at. Run by scripts/screenshots (under
// Xvfb, once for each screen size, with the desktop style), not by the test suite;
// SCREENSHOT_DIR names the folder of the pictures. The window fills the screen, as an engineer
// would have it. Built on the end-to-end tests' fixture, as a GoogleTest program.
#include "tests/e2e/e2efixture.h"

#include "app/gui/archivetab.h"
#include "app/gui/exchangetab.h"
#include "app/gui/views/charttab.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QListWidget>
#include <QProgressBar>
#include <QScreen>
#include <QTabWidget>
#include <QTableView>

namespace e2e {
namespace {

class Screenshots : public WindowRun {
protected:
    void SetUp() override {
        WindowRun::SetUp();
        out = qEnvironmentVariable("SCREENSHOT_DIR", "/tmp/journal-shots");
        QDir().mkpath(out);
    }

    // The window of `device`, shown over the whole available screen.
    void showForm(const QString& device, int journal) {
        createForm(device, journal);
        form->show();
        if (QScreen* screen = QGuiApplication::primaryScreen())
            form->setGeometry(screen->availableGeometry());
        settle();
    }

    static void settle() {
        // Rows grow to their texts, then paint.
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
    }

    // <out>/<name>.png of the window as it is now, or with `tab` shown first.
    void shoot(const QString& name, QWidget* tab = nullptr) {
        if (tab) {
            page().PageControl1()->setCurrentWidget(tab);
            settle();
        }
        ASSERT_TRUE(form->grab().save(out + "/" + name + ".png")) << name.toStdString();
    }

    // Ticks the first `n` types of the chart.
    void tickChartTypes(int n) {
        page().PageControl1()->setCurrentWidget(page().tsChart());
        settle();
        QListWidget* types = page().tsChart()->lstTypes();
        for (int i = 0; i < std::min(n, types->count()); ++i)
            types->item(i)->setCheckState(Qt::Checked);
        settle();
    }

    QString out;
};

// Each sample device's run: during and after it, each tab, the exported files.
TEST_F(Screenshots, Runs) {
    const struct {
        const char* content;
        const char* device;
        int journal;
    } runs[] = {{"rt10", "Регулятор РТ-10", 0},
                {"kp3", "Контроллер КП-3", 0},
                {"marlo", "Марло-М", 0},
                {"quint", "Квинт-5", 1},
                {"rt10", "Регулятор РТ-10", 1}}; // the ring journal
    for (const auto& r : runs) {
        form.reset();
        simulator.reset();
        startSimulator(QString::fromLatin1(r.content));
        showForm(QString::fromUtf8(r.device), r.journal);
        const QString base = QString::fromLatin1(r.content) + "-" + QString::number(r.journal);
        // A third into the run: the progress text tells the time left.
        onEvents = [&, shot = false]() mutable {
            const qint64 done = page().sgCells()->rowCount() - 1;
            if (!shot && done >= std::max<qint64>(3, form->CountRec() / 3)) {
                shot = true;
                shoot(base + "-during");
            }
        };
        read();
        onEvents = nullptr;
        settle();
        shoot(base + "-list");
        // The whole screen: where the window was placed on it.
        if (QScreen* screen = QGuiApplication::primaryScreen(); screen && &r == &runs[0])
            screen->grabWindow(0).save(out + "/screen.png");
        shoot(base + "-grouped", page().tsGroup());
        tickChartTypes(5);
        shoot(base + "-chart");
        chooser.answer = gui::ISaveFileChooser::TChoice{out + "/" + base, 1};
        page().BtnExcel()->click();
        chooser.answer = gui::ISaveFileChooser::TChoice{out + "/" + base, 2};
        page().BtnExcel()->click();
        chooser.answer = gui::ISaveFileChooser::TChoice{out + "/" + base, 3};
        page().BtnExcel()->click();
    }
}

// A reading over a faulty line: records without answer, damaged and late answers, a refusal.
// Then the search for an instrument at another address, during and after it.
TEST_F(Screenshots, FaultsAndSearch) {
    startSimulator("rt10", [](sim::Instrument& inst) { inst.address = 1; });
    for (const char* fault : {"noanswer record=1:3", "crc record=1:5", "delay ms=700 record=1:7",
                              "exception code=2 record=1:9"})
        simulator->addFault(*sim::parseFault(fault));
    showForm(QStringLiteral("Регулятор РТ-10"), 0);
    read();
    settle();
    shoot("faulty-list", page().tsData());
    shoot("faulty-grouped", page().tsGroup());
    shoot("faulty-exchange", page().tsExchange());

    // The instrument answers at address 40 only.
    form.reset();
    simulator.reset();
    startSimulator("rt10", [](sim::Instrument& inst) { inst.address = 40; });
    showForm(QStringLiteral("Регулятор РТ-10"), 0);
    read(); // nothing answers at address 1: frames to keep above the search
    settle();
    gui::TExchangeTab* tab = page().tsExchange();
    page().PageControl1()->setCurrentWidget(tab);
    onEvents = [&, shot = false]() mutable {
        if (!shot && tab->searchProgress->value() >= 20) {
            shot = true;
            settle();
            shoot("search-during");
        }
    };
    search();
    onEvents = nullptr;
    settle();
    shoot("search-found");
}

// A reading of the ring journal stopped at record 318, then continued by "Дочитать", in the
// archive: the list after the stop, and the "Архив" tab with the series and its readings.
TEST_F(Screenshots, StoppedReadingAndArchive) {
    qputenv("JOURNAL_ARCHIVE", dir.filePath("archive.sqlite").toUtf8());
    startSimulator("rt10");
    showForm(QStringLiteral("Регулятор РТ-10"), 1);
    const auto waitWriter = [&] {
        QElapsedTimer t;
        t.start();
        while (form->archiveWriting() && t.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    };
    // "Остановить" while the answer of record 318 is on its way.
    simulator->addFault(*sim::parseFault("delay ms=200 times=1 record=2:318"));
    onEvents = [&] { // the count, the overflow counter and 119 records asked for
        if (simulator->requestCount() == 121 && page().btnStop2()->isEnabled())
            page().btnStop2()->click();
    };
    read();
    onEvents = nullptr;
    waitWriter(); // then "Дочитать" is offered
    settle();
    shoot("stopped-list", page().tsData());
    read(page().btnIncremental());
    waitWriter();
    gui::TArchiveTab* tab = page().tsArchive();
    page().PageControl1()->setCurrentWidget(tab);
    tab->refresh();
    tab->seriesView->selectRow(0);
    settle();
    shoot("archive");
    qunsetenv("JOURNAL_ARCHIVE");
}

} // namespace
} // namespace e2e
