// SPDX-License-Identifier: MIT
// The screenshot tool: pictures of the window after real runs against the simulated instrument,
// and the files the runs export, for a person to look at. Run by scripts/screenshots (under
// Xvfb at 1024x768, with the desktop style), not by the test suite; SCREENSHOT_DIR names the
// folder of the pictures. Built on the end-to-end tests' fixture, as a GoogleTest program.
#include "tests/e2e/e2efixture.h"

#include "app/gui/views/charttab.h"

#include <QGuiApplication>
#include <QListWidget>
#include <QScreen>
#include <QTabWidget>

namespace e2e {
namespace {

TEST_F(WindowRun, Screenshots) {
    const QString out = qEnvironmentVariable("SCREENSHOT_DIR", "/tmp/journal-shots");
    QDir().mkpath(out);
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
        createForm(QString::fromUtf8(r.device), r.journal);
        form->show();
        const QString base = out + "/" + r.content + "-" + QString::number(r.journal);
        onEvents = [&] {
            if (form->sgCells()->rowCount() == 4)
                form->grab().save(base + "-during.png");
        };
        form->btnRead2()->click();
        onEvents = nullptr;
        QCoreApplication::processEvents();
        ASSERT_TRUE(form->grab().save(base + "-list.png"));
        // The whole screen: where the window was placed on it.
        if (QScreen* screen = QGuiApplication::primaryScreen(); screen && &r == &runs[0])
            screen->grabWindow(0).save(out + "/screen.png");
        form->PageControl1()->setCurrentIndex(1);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents(); // rows grow to their texts, then paint
        ASSERT_TRUE(form->grab().save(base + "-grouped.png"));
        // The chart of the first three types the run has.
        form->PageControl1()->setCurrentWidget(form->tsChart());
        QCoreApplication::processEvents();
        for (int i = 1; i < std::min(3, form->tsChart()->lstTypes()->count()); ++i)
            form->tsChart()->lstTypes()->item(i)->setCheckState(Qt::Checked);
        QCoreApplication::processEvents();
        ASSERT_TRUE(form->grab().save(base + "-chart.png"));
        chooser.answer = ISaveFileChooser::TChoice{base, 1};
        form->BtnExcel()->click();
        chooser.answer = ISaveFileChooser::TChoice{base, 2};
        form->BtnExcel()->click();
    }
}

} // namespace
} // namespace e2e
