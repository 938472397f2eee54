// Pictures of the window after real runs, for a person to look at (not run by default):
//   SCREENSHOT_DIR=/tmp/shots tests/e2e_tests --gtest_also_run_disabled_tests \
//       --gtest_filter='*Screenshots*'
// Under xvfb-run (QT_QPA_PLATFORM=xcb) the pictures show the desktop style.
#include "tests/e2e/e2efixture.h"

#include <QTabWidget>

namespace e2e {
namespace {

TEST_F(WindowRun, DISABLED_Screenshots) {
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
        form->PageControl1()->setCurrentIndex(1);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents(); // rows grow to their texts, then paint
        ASSERT_TRUE(form->grab().save(base + "-grouped.png"));
        chooser.answer = ISaveFileChooser::TChoice{base, 1};
        form->BtnExcel()->click();
        chooser.answer = ISaveFileChooser::TChoice{base, 2};
        form->BtnExcel()->click();
    }
}

} // namespace
} // namespace e2e
