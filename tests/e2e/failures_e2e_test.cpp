// SPDX-License-Identifier: MIT
// How the real window shows a reading whose count or records failed, over the simulator's
// faults: error rows in colour with their whole error text, "сбойных: N", the way to the
// "Обмен" tab and its mark, the frames named by their record. The keys of the buttons.
#include "app/gui/exchangetab.h"
#include "app/gui/framelistmodel.h"
#include "app/gui/views/grouptab.h"
#include "e2efixture.h"

#include <QAction>
#include <QLabel>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include "tests/qstringprinter.h"

namespace e2e {

TEST_F(WindowRun, FailedReadingsShowTheirFailures) {
    const struct {
        const char* what;
        std::vector<const char*> faults;
        std::vector<int> errorRows; // record numbers of rt10's journal 1
        bool countFailed;
        const char* tracedRecord; // a record column text the frame list shows
    } cases[] = {
        {"clean", {}, {}, false, "13"},
        {"records fail",
         {"noanswer record=1:3", "exception code=2 record=1:9"},
         {3, 9},
         false,
         "3, повтор 1"},
        {"the count fails", {"noanswer register=300001"}, {}, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        form.reset();
        simulator.reset();
        startSimulator("rt10");
        for (const char* f : c.faults)
            simulator->addFault(*sim::parseFault(f));
        createForm(QStringLiteral("Регулятор РТ-10"));
        shortTimeouts();
        read();

        const bool failed = !c.errorRows.empty() || c.countFailed;
        EXPECT_EQ(page().lblFailed()->text(),
                  QStringLiteral("сбойных: %1").arg(c.errorRows.size()));
        EXPECT_EQ(page().lblFailed()->isHidden(), c.countFailed) << "no record was asked for";
        EXPECT_EQ(page().lnkExchange()->isHidden(), !failed);
        const int tab = page().PageControl1()->indexOf(page().tsExchange());
        EXPECT_EQ(page().PageControl1()->tabIcon(tab).isNull(), !failed);
        EXPECT_EQ(page().tsGroup()->lblNote()->isHidden(), c.errorRows.empty());

        const models::TStringTableModel* sg = page().sgCells();
        for (int row = 0; row + 1 < sg->rowCount(); ++row) {
            const bool error =
                std::find(c.errorRows.begin(), c.errorRows.end(), row) != c.errorRows.end();
            const QModelIndex cell = sg->index(row, 3);
            EXPECT_EQ(cell.data(Qt::BackgroundRole).isValid(), error) << row;
            if (error) {
                EXPECT_TRUE(cell.data(Qt::ToolTipRole).toString().startsWith("Ошибка (")) << row;
            }
        }
        if (*c.tracedRecord) {
            gui::TFrameListModel* frames = page().tsExchange()->model();
            bool named = false;
            for (int r = 0; r < frames->rowCount() && !named; ++r)
                named = frames->index(r, gui::TFrameListModel::RecordColumn).data().toString() ==
                        QString::fromUtf8(c.tracedRecord);
            EXPECT_TRUE(named);
        }
        if (failed) {
            emit page().lnkExchange()->linkActivated("exchange");
            EXPECT_EQ(page().PageControl1()->currentIndex(), tab);
        }
    }
}

// The keys of the buttons, as actions with the buttons' captions.
TEST_F(WindowRun, KeysOfTheButtons) {
    startSimulator("rt10");
    createForm(QStringLiteral("Регулятор РТ-10"));
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    gui::TExchangeTab* exchange = page().tsExchange();
    const struct {
        QKeySequence key;
        QString caption;
        std::function<void()> before;
        std::function<bool()> done;
    } cases[] = {
        {QKeySequence(Qt::Key_F5), "Считать", [] {},
         [&] { return form->runResult().recordsRead == 14; }},
        {QKeySequence(Qt::Key_Escape), "Остановить",
         [&] {
             // Pressed while the reading runs.
             onEvents = [&] {
                 if (rowsShown() >= 3 && page().btnStop2()->isEnabled())
                     QTest::keyClick(form.get(), Qt::Key_Escape);
             };
             QTimer::singleShot(0, form.get(), [&] { page().btnRead2()->click(); });
         },
         [&] { return form->runResult().end == core::TRunEnd::Stopped; }},
        {QKeySequence(Qt::CTRL | Qt::Key_S), "Сохранить...", [&] { chooser.proposed.clear(); },
         [&] { return !chooser.proposed.isEmpty(); }},
        {QKeySequence(Qt::CTRL | Qt::Key_F), "Найти прибор", [] {},
         [&] {
             return !exchange->lastSearch().found.empty() &&
                    page().PageControl1()->currentWidget() == exchange;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.caption.toStdString());
        const QList<QAction*> actions = page().keyActions();
        const auto it = std::find_if(actions.begin(), actions.end(),
                                     [&](QAction* a) { return a->shortcut() == c.key; });
        ASSERT_NE(it, actions.end());
        EXPECT_EQ((*it)->text(), c.caption);
        c.before();
        if (c.key != QKeySequence(Qt::Key_Escape))
            QTest::keySequence(form.get(), c.key);
        QTRY_VERIFY_WITH_TIMEOUT(c.done(), 20000);
        onEvents = nullptr;
    }
}

} // namespace e2e
