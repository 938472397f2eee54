// SPDX-License-Identifier: MIT
// The "Обмен" tab of the real window over the real access library and the simulator: the frame
// list during a reading, the diagnosis after a failed one, saving the list, and the search.
#include "app/gui/exchangetab.h"
#include "app/gui/framelistmodel.h"
#include "e2efixture.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTabWidget>

#include <utility>

#include "tests/qstringprinter.h"

namespace e2e {

TEST_F(WindowRun, ExchangeTabListsFramesInBatchesAndNamesTheCause) {
    startSimulator("rt10", [](sim::Instrument& inst) {
        sim::Instrument::addSynthetic(*inst.journal(1), 600);
        inst.setRegister(300001, quint16(inst.journal(1)->records.size()));
    });
    simulator->addFault(*sim::parseFault("exception code=2 record=1:3"));
    createForm(QStringLiteral("Регулятор РТ-10"));
    gui::TExchangeTab* tab = page().tsExchange();
    ASSERT_NE(tab, nullptr);
    EXPECT_EQ(page().PageControl1()->tabText(page().PageControl1()->indexOf(tab)),
              QStringLiteral("Обмен"));
    // The list is shown in batches, not frame by frame.
    int batches = 0;
    QObject::connect(tab->model(), &QAbstractItemModel::rowsInserted, [&] { ++batches; });
    QElapsedTimer t;
    t.start();
    read();
    const qint64 ms = t.elapsed();
    const int records = 614;
    EXPECT_EQ(tab->model()->rowCount(), 2 * (records + 1)); // requests and answers
    EXPECT_LE(batches, ms / 100 + 2) << ms << " ms";
    EXPECT_TRUE(tab->diagnosisText->toPlainText().contains(
        QStringLiteral("Прибор отвергает запрос: исключение 2")))
        << tab->diagnosisText->toPlainText().toStdString();
    // The refused record's answer is in colour, a good one is not.
    const auto colour = [&](int row) {
        return tab->model()->index(row, 0).data(Qt::BackgroundRole);
    };
    EXPECT_TRUE(colour(2 * 4 + 1).isValid());
    EXPECT_FALSE(colour(2 * 4 + 3).isValid());

    const QString file = dir.filePath("exchange.txt");
    tab->setFileChooser([&](QWidget*, const QString& proposed) {
        EXPECT_TRUE(proposed.startsWith(QStringLiteral("обмен-")));
        return file;
    });
    tab->Save();
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(f.readAll());
    EXPECT_EQ(text.count(u'\n'),
              2 * (records + 1) + 1 + tab->diagnosisText->toPlainText().count(u'\n') + 1);
    EXPECT_TRUE(
        text.contains(QStringLiteral("исключение 2 (Ошибочный адрес): адрес 1, функция 65")));
}

TEST_F(WindowRun, ExchangeTabFindsTheInstrumentAndApplies) {
    startSimulator("rt10", [](sim::Instrument& inst) { inst.address = 3; });
    simulator->link()->setLineSpeed(9600);
    createForm(QStringLiteral("Регулятор РТ-10"));
    gui::TExchangeTab* tab = page().tsExchange();
    page().cbxSpeed()->setCurrentIndex(3); // 9600
    // "Считать" and "Дочитать" wait for the search, which shows where it stands.
    bool readable = false;
    QString position;
    onEvents = [&, clicked = false]() mutable {
        readable =
            readable || page().btnRead2()->isEnabled() || page().btnIncremental()->isEnabled();
        position = tab->lblSearchPosition->text();
        if (!std::exchange(clicked, true))
            page().btnRead2()->click();
    };
    search();
    onEvents = nullptr;
    EXPECT_FALSE(readable);
    EXPECT_TRUE(position.startsWith(QStringLiteral("Скорость 9600, адрес ")))
        << position.toStdString();
    EXPECT_TRUE(page().btnRead2()->isEnabled());
    EXPECT_EQ(form->runResult().recordsRead, 0);
    EXPECT_EQ(tab->lblSearch->text(), QStringLiteral("Прибор найден: адрес 3, скорость 9600"));
    ASSERT_TRUE(tab->btnApply->isEnabled());
    page().cbxSpeed()->setCurrentIndex(4);
    page().EdtAddr()->setText("1");
    tab->btnApply->click();
    EXPECT_EQ(page().EdtAddr()->text(), QStringLiteral("3"));
    EXPECT_EQ(page().cbxSpeed()->currentText(), QStringLiteral("9600"));
    // The reading then finds its instrument with the window's own time-outs.
    read();
    EXPECT_EQ(form->runResult().recordsRead, 14);

    // "Остановить" ends a search over a silent line at once.
    simulator->addFault(*sim::parseFault("noanswer"));
    onEvents = [&] {
        if (tab->searchProgress->value() >= 5)
            tab->btnStopSearch->click();
    };
    QElapsedTimer t;
    t.start();
    search();
    EXPECT_LT(t.elapsed(), 2000);
    EXPECT_EQ(tab->lblSearch->text(), QStringLiteral("Поиск остановлен"));
    EXPECT_TRUE(tab->lastSearch().stopped);
    EXPECT_FALSE(tab->btnApply->isEnabled());
    expectIdle();
}

} // namespace e2e
