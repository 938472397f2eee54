// SPDX-License-Identifier: MIT
// "Считать" in the real window against the simulated instruments of the sample catalogue.
#include "tests/catalogueedit.h"
#include "tests/e2e/e2efixture.h"

#include "platform/codepage.h"
#include "platform/inifile.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTimer>

#include "tests/qstringprinter.h"

namespace e2e {
namespace {

QStringList U(std::initializer_list<const char*> rows) {
    QStringList out;
    for (const char* r : rows)
        out.append(QString::fromUtf8(r));
    return out;
}

// Every layout of the sample catalogue, read whole: the list and the count label.
TEST_F(WindowRun, EveryLayoutOfTheCatalogue) {
    const struct {
        const char* content;
        const char* device;
        int journal;
        const char* count;
        QStringList rows;
        QStringList groupNames;
    } cases[] = {
        {"rt10", "Регулятор РТ-10", 0, "Количество записей: 14", // input register 300001
         U({"0|13.09.20 12:26:40|Уставка температуры||21.5000000",
            "1|13.09.20 12:27:00|Коррекция смещения||-2",
            "2|13.09.20 12:27:20|Счётчик циклов||-100000",
            "3|13.09.20 12:28:00|Дата поверки||01.03.2021", "4|13.09.20 12:28:30|Смещение нуля||-1",
            "5|13.09.20 12:29:00|Номер программы||200", "6|13.09.20 12:29:30|Период опроса, мс||1",
            "7|13.09.20 12:30:00|Наработка, с||4294967295",
            "8|13.09.20 12:30:30|Состояние клапана||открыт",
            "9|13.09.20 12:31:00|Состояние клапана||* нет описания для индекса [5]",
            "10|13.09.20 12:31:30|Код события||-1", "11|13.09.20 12:32:00|Режим работы||настройка",
            "12|13.09.20 12:32:30|99||-1", "13|0.00.01 01:01:01|Уставка температуры||-1.0000000"}),
         U({"Уставка температуры", "Коррекция смещения", "Счётчик циклов", "Дата поверки",
            "Смещение нуля", "Номер программы", "Период опроса, мс", "Наработка, с",
            "Состояние клапана", "Код события", "Режим работы", "99"})},
        // tdPlain2, holding register 400010 holds the last index: one record more; index 0
        // is the journal's opening record.
        {"st2", "Счётчик СТ-2", 0, "Количество записей: 6",
         U({"0|13.09.20 12:00:00|Начало журнала||0", "1|13.09.20 12:26:40|Расход, м3/ч||12.7500000",
            "2|13.09.20 12:30:00|Импульсный вес||10",
            "3|13.09.20 13:00:00|Время поверки||01.09.2020",
            "4|14.09.20 08:15:00|Расход, м3/ч||13.1250000",
            "5|15.09.20 09:00:00|Импульсный вес||25"}),
         U({"Начало журнала", "Расход, м3/ч", "Импульсный вес", "Время поверки"})},
        {"st2", "Счётчик СТ-2", 1, "Количество записей: 3", // calendar times ("StartTime")
         U({"0|2019.01.01 00:00:00 |Начало журнала||0",
            "1|2019.06.01 10:00:00 |Время поверки||01.06.2019 10:00:00",
            "2|2020.06.01 10:00:00 |Время поверки||01.06.2020 10:00:00"}),
         U({"Начало журнала", "Время поверки"})},
        {"kp3", "Контроллер КП-3", 0, "Количество записей: 6", // tdPlain3, operating time
         U({"0|0 00:00:59|Верхняя граница|80.0000000|85.5000000",
            "1|0 01:00:00|Нижняя граница|10.0000000|12.0000000",
            "2|1 01:01:01|Режим выхода|выкл|вкл", "3|1 01:03:20|Задержка, с|30|45",
            "4|2 00:00:00|Режим выхода|вкл|выкл", "5|2 07:33:20|7|1|2"}),
         U({"Верхняя граница", "Нижняя граница", "Режим выхода", "Задержка, с", "7"})},
        {"marlo", "Марло-М", 0, "Количество записей: 5", // text records
         U({"0|13.09.20 12:26:40|Уставка|10|20", "1|13.09.20 12:30:00|Гистерезис|1.5|2.0",
            "2|14.09.20 08:00:00|Уставка|20|25", "3|14.09.20 09:10:11|Режим выхода|выкл|вкл",
            "4|15.09.20 23:59:59|Адрес|1|2"}),
         U({"Уставка", "Гистерезис", "Режим выхода", "Адрес"})},
        {"marlo", "Марло-М", 1, "Количество записей: 4", // mode changes
         U({"0|13.09.2020 12:00:00|Смена режима||сервис",
            "1|13.09.2020 12:40:00|Смена режима||рабочий",
            "2|14.09.2020 07:55:00|Смена режима||настройка",
            "3|14.09.2020 08:05:00|Смена режима||тест"}),
         U({"Смена режима"})},
        {"quint", "Квинт-5", 0, "Количество записей: 4",
         U({"0|13.09.2020 12:26:40|Уставка|10|20", "1|13.09.2020 12:30:00|Гистерезис|1.5|2.0",
            "2|14.09.2020 08:00:00|Уставка|20|25",
            "3|15.09.2020 23:59:59|Скорость, об/мин|1500|1450"}),
         U({"Уставка", "Гистерезис", "Скорость, об/мин"})},
        {"quint", "Квинт-5", 1, "Количество записей: 3",
         U({"0|13.09.2020 12:00:00|Смена режима||сервис",
            "1|13.09.2020 12:40:00|Смена режима||рабочий", "2|14.09.2020 07:55:00|Смена режима||"}),
         U({"Смена режима"})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.content) + " journal " + std::to_string(c.journal));
        form.reset();
        simulator.reset();
        startSimulator(QString::fromLatin1(c.content));
        createForm(QString::fromUtf8(c.device), c.journal);
        read();
        EXPECT_TRUE(sink.messages.isEmpty()) << sink.messages.join('|').toStdString();
        EXPECT_EQ(page().lblMaxRec()->text(), QString::fromUtf8(c.count));
        EXPECT_EQ(listRows(), c.rows);
        QStringList names;
        for (const QStringList& g : groupRows())
            names.append(g.value(0));
        EXPECT_EQ(names, c.groupNames);
        EXPECT_EQ(simulator->requestCount(), c.rows.size() + 1); // the count, then each record
        EXPECT_FALSE(page().BtnExcel()->isHidden());
        EXPECT_EQ(page().PBar()->value(), page().PBar()->maximum());
        expectIdle();
    }
}

TEST_F(WindowRun, GroupedViewOfAPlainJournal) {
    startSimulator("rt10");
    createForm(QString::fromUtf8("Регулятор РТ-10"));
    read();
    const QList<QStringList> groups = groupRows();
    ASSERT_EQ(groups.size(), 12);
    EXPECT_EQ(page().sgGrCells()->columnCount(), 3);
    EXPECT_EQ(groups[0], U({"Уставка температуры", "13.09.20 12:26:40\r21.5000000",
                            "0.00.01 01:01:01\r-1.0000000"}));
    EXPECT_EQ(groups[3], U({"Дата поверки", "13.09.20 12:28:00\r01.03.2021"}));
    // uword and an ID without record type: the value text of the list.
    EXPECT_EQ(groups[6], U({"Период опроса, мс", "13.09.20 12:29:30\r1"}));
    EXPECT_EQ(groups[11], U({"99", "13.09.20 12:32:30\r-1"}));
}

TEST_F(WindowRun, RingJournalThatWrappedThreeTimes) {
    startSimulator("rt10", [](sim::Instrument& i) { i.setRegister(300003, 3); });
    createForm(QString::fromUtf8("Регулятор РТ-10"), 1);
    QStringList statuses;
    onEvents = [&] {
        if (statuses.isEmpty() || statuses.last() != page().lblStat()->text())
            statuses.append(page().lblStat()->text());
    };
    read();
    EXPECT_EQ(page().lblMaxRec()->text(), QString::fromUtf8("Количество записей: 3200"));
    ASSERT_EQ(page().sgCells()->rowCount(), 1001);
    ASSERT_GE(statuses.size(), 2);
    EXPECT_EQ(statuses[1], "2201 (3200)");
    EXPECT_EQ(statuses.last(), "3200 (3200)");
    // Records 2200..3199 were requested as device indices 200..999, then 0..199: the synthetic
    // records are a minute apart from 12:26:40 by device index.
    const struct {
        int row;
        const char* number;
        const char* time;
    } rows[] = {{1, "2200", "13.09.20 15:46:40"},
                {800, "2999", "14.09.20 05:05:40"},
                {801, "3000", "13.09.20 12:26:40"},
                {1000, "3199", "13.09.20 15:45:40"}};
    for (const auto& r : rows) {
        EXPECT_EQ(page().sgCells()->cell(r.row, 0), r.number) << r.row;
        EXPECT_EQ(page().sgCells()->cell(r.row, 1), r.time) << r.row;
    }
    EXPECT_EQ(simulator->requestCount(), 2 + 1000);
    // Four-digit numbers in the 31-pixel "№" column are cut at its edge, not elided to "2…".
    EXPECT_EQ(page().sg()->textElideMode(), Qt::ElideNone);
    expectIdle();
}

TEST_F(WindowRun, RingJournalOfTwoValueLayoutAddsOneAndStartsTheJournalAtIndexZero) {
    startSimulator("pr4");
    createForm(QString::fromUtf8("Преобразователь ПР-4"));
    read();
    EXPECT_EQ(page().lblMaxRec()->text(), QString::fromUtf8("Количество записей: 131"));
    const QStringList rows = listRows();
    ASSERT_EQ(rows.size(), 100);
    // Device indices 31..99, then 0..30; IDs cycle 1, 2, 3 by index; index 0 opens the journal.
    EXPECT_EQ(rows[0],
              "31|13.09.20 12:57:40|" + QString::fromUtf8("Коэффициент") + "|0.0000000|0.0000000");
    EXPECT_EQ(rows[68], QString::fromUtf8("99|13.09.20 14:05:40|Диапазон|* нет описания для "
                                          "индекса [99]|* нет описания для индекса [100]"));
    EXPECT_EQ(rows[69], QString::fromUtf8("100|13.09.20 12:26:40|Начало журнала|0|1"));
    EXPECT_EQ(rows[71], QString::fromUtf8("102|13.09.20 12:28:40|Адрес|2|3"));
    EXPECT_EQ(rows[99].left(24), QString::fromUtf8("130|13.09.20 12:56:40|Ди"));
}

TEST_F(WindowRun, LimitCases) {
    startSimulator("rt10", [](sim::Instrument& i) { i.setRegister(300003, 3); });
    createForm(QString::fromUtf8("Регулятор РТ-10"));
    const struct {
        int journal, start, count;
        QStringList numbers; // column 0 of the rows read
        const char* message; // nullptr: none
        bool exportShown;
    } cases[] = {
        {0, 10, 50, {"10", "11", "12", "13"}, nullptr, true},
        {0, 3, 2, {"3", "4"}, nullptr, true},
        {0, 14, 5, {}, nullptr, true},
        {0, 15, 5, {}, "I:Стартовый индекс больше количества записей", false},
        {1, 100, 5, {}, "I:Стартовый индекс 100 младше первой записи 2200", false},
        {1, 2999, 2, {"2999", "3000"}, nullptr, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.journal) + ":" + std::to_string(c.start));
        sink.messages.clear();
        page().rgTypeJ()->setItemIndex(c.journal);
        limit(c.start, c.count);
        read();
        QStringList numbers;
        for (int r = 1; r < page().sgCells()->rowCount(); ++r)
            numbers.append(page().sgCells()->cell(r, 0));
        if (numbers == QStringList{""})
            numbers.clear(); // the empty row of a list without records
        EXPECT_EQ(numbers, c.numbers);
        EXPECT_EQ(sink.messages,
                  c.message ? QStringList{QString::fromUtf8(c.message)} : QStringList());
        EXPECT_EQ(page().BtnExcel()->isHidden(), !c.exportShown);
        expectIdle();
    }
    // 2999 and 3000 are device indices 999 and 0.
    EXPECT_EQ(page().sgCells()->cell(1, 1), "14.09.20 05:05:40");
    EXPECT_EQ(page().sgCells()->cell(2, 1), "13.09.20 12:26:40");
}

TEST_F(WindowRun, StopAfterTheThirdRecord) {
    // "Остановить" is clicked while the third record's answer is on its way.
    startSimulator("rt10", [](sim::Instrument& i) {
        i.faults.append(*sim::parseFault("delay ms=200 record=1:2"));
    });
    createForm(QString::fromUtf8("Регулятор РТ-10"));
    onEvents = [&] { // the count and three records asked for
        if (simulator->requestCount() == 4 && page().btnStop2()->isEnabled())
            page().btnStop2()->click();
    };
    read();
    EXPECT_EQ(page().sgCells()->rowCount(), 4);
    EXPECT_EQ(simulator->requestCount(), 1 + 3);
    EXPECT_EQ(groupRows().size(), 3);
    EXPECT_FALSE(page().BtnExcel()->isHidden());
    expectIdle();
}

TEST_F(WindowRun, FastRecordsReachTheListInBatchesAndStopStillEndsTheRun) {
    startSimulator("rt10");
    createForm(QString::fromUtf8("Регулятор РТ-10"), 1); // a ring of 1000 records
    form.reset();
    gui::TForm1Options o;
    o.programDirectory = dir.path();
    o.messages = &sink;
    o.ports = [] {
        platform::SerialPortEntry e;
        e.name = kComName;
        e.number = kComNumber;
        return QList<platform::SerialPortEntry>{e};
    };
    o.eventIntervalMs = 30;
    form = std::make_unique<TForm1>(std::move(o));
    page().cbxDev()->setCurrentIndex(0);
    page().rgTypeJ()->setItemIndex(1);
    form->show();
    int batches = 0;
    QObject::connect(page().sgCells(), &QAbstractItemModel::rowsInserted, [&] { ++batches; });
    QElapsedTimer clock;
    clock.start();
    read();
    ASSERT_EQ(page().sgCells()->rowCount(), 1001);
    // Fewer updates than records, yet at least one every 100 ms.
    EXPECT_LT(batches, 1000);
    EXPECT_GE(batches, int(clock.elapsed() / 100));

    // A stop clicked while records arrive ends the run after the record in progress.
    int rowsAtStop = 0;
    QTimer::singleShot(50, form.get(), [&] {
        rowsAtStop = page().sgCells()->rowCount();
        page().btnStop2()->click();
    });
    read();
    ASSERT_GT(rowsAtStop, 0);
    EXPECT_GE(page().sgCells()->rowCount(), rowsAtStop);
    EXPECT_LT(page().sgCells()->rowCount(), 1001);
    EXPECT_EQ(form->runResult().end, core::TRunEnd::Stopped);
    EXPECT_EQ(page().sgCells()->rowCount(), form->runResult().recordsDone() + 1);
    expectIdle();
}

TEST_F(WindowRun, DeviceAndLimitChangedDuringARunDoNotReachIt) {
    startSimulator("rt10");
    createForm(QString::fromUtf8("Регулятор РТ-10"));
    limit(2, 10);
    onEvents = [&] {
        if (page().sgCells()->rowCount() == 4) {
            page().cbxDev()->setCurrentIndex(
                page().cbxDev()->findText(QString::fromUtf8("Квинт-5")));
            page().EdtStart()->setText("x");
            page().EdtCount()->setText("");
        }
    };
    read();
    const QStringList rows = listRows();
    ASSERT_EQ(rows.size(), 10);
    EXPECT_EQ(rows[0], QString::fromUtf8("2|13.09.20 12:27:20|Счётчик циклов||-100000"));
    EXPECT_EQ(rows[9], QString::fromUtf8("11|13.09.20 12:32:00|Режим работы||настройка"));
    EXPECT_EQ(groupRows().value(8).value(0), QString::fromUtf8("Режим работы"));
    EXPECT_TRUE(sink.messages.isEmpty()) << sink.messages.join('|').toStdString();
    expectIdle();
}

// Behind a Modbus TCP gateway the window keeps requests in flight; "Отключить" and "Считать
// версию" clicked during a run end it as they end a run of one request at a time: the records
// after it fail, nothing hangs.
TEST_F(WindowRun, LibraryCallsDuringAPipelinedRunEndItLikeOneAtATime) {
    QString error;
    auto inst = fixture::ContentInstrument("rt10", &error);
    ASSERT_TRUE(inst) << error.toStdString();
    simulator = fixture::StartSimulator(*inst,
                                        {.com = kComNumber,
                                         .network = platform::NetworkEndpoint::Framing::ModbusTcp,
                                         .gateway = sim::GatewayModel::Queue,
                                         .latency = 5},
                                        &error);
    ASSERT_TRUE(simulator) << error.toStdString();
    createForm(QString::fromUtf8("Регулятор РТ-10"));
    std::vector<QStringList> runs;
    for (const char* window : {"1", "auto"}) {
        platform::IniFile ini;
        ini.read(dir.filePath("main.ini"));
        ini.writeString(u"Settings", u"TcpWindow", QString::fromUtf8(window));
        ASSERT_TRUE(ini.save(dir.filePath("main.ini")));
        // Clicked as the run starts: the run's thread closes the line at its next step.
        page().btnRead2()->click();
        page().BtnDisconnect2()->click();
        page().Button6()->click();
        waitForRun();
        runs.push_back(listRows());
        expectIdle();
    }
    ASSERT_EQ(runs[0].size(), 14);
    EXPECT_EQ(runs[1], runs[0]);
}

TEST_F(WindowRun, FailedRecordsLeaveErrorRowsAndTheRunGoesOn) {
    startSimulator("rt10", [](sim::Instrument& i) {
        i.faults.append(*sim::parseFault("noanswer record=1:2"));
        i.faults.append(*sim::parseFault("exception record=1:5 code=3"));
    });
    createForm(QString::fromUtf8("Регулятор РТ-10"));
    shortTimeouts();
    read();
    const QStringList rows = listRows();
    ASSERT_EQ(rows.size(), 14);
    EXPECT_EQ(rows[2], QString::fromUtf8("2|Ошибка (Прибор не отвечает)|||"));
    EXPECT_EQ(rows[5], QString::fromUtf8("5|Ошибка (Недопустимые данные)|||"));
    EXPECT_EQ(rows[3], QString::fromUtf8("3|13.09.20 12:28:00|Дата поверки||01.03.2021"));
    EXPECT_EQ(rows[13].left(2), "13");
    EXPECT_EQ(groupRows().size(), 10); // error rows add no event
    expectIdle();
}

TEST_F(WindowRun, FailedCountReadEndsTheRunWithAnEmptyList) {
    startSimulator("rt10");
    createForm(QString::fromUtf8("Регулятор РТ-10"));
    read();
    ASSERT_EQ(page().sgCells()->rowCount(), 15);
    shortTimeouts();
    simulator->addFault(*sim::parseFault("noanswer register=300001"));
    read();
    EXPECT_EQ(page().lblMaxRec()->text(), QString::fromUtf8("Ошибка (Прибор не отвечает)"));
    EXPECT_EQ(page().sgCells()->rowCount(), 2);
    EXPECT_EQ(page().sgCells()->cell(1, 1), "");
    EXPECT_EQ(page().sgGrCells()->rowCount(), 2);
    EXPECT_EQ(page().sgGrCells()->cell(1, 0), "");
    EXPECT_TRUE(page().BtnExcel()->isHidden());
    EXPECT_TRUE(sink.messages.isEmpty());
    expectIdle();

    // The overflow counter of a ring journal likewise.
    simulator->clearFaults();
    simulator->addFault(*sim::parseFault("exception register=300003 code=2"));
    page().rgTypeJ()->setItemIndex(1);
    read();
    EXPECT_EQ(page().lblMaxRec()->text(), QString::fromUtf8("Ошибка (Ошибочный адрес)"));
    EXPECT_EQ(page().sgCells()->rowCount(), 2);
    expectIdle();
}

TEST_F(WindowRun, LayoutValueSixReadsTheCountOnly) {
    ASSERT_TRUE(ReplaceInFile(dir.filePath("main.ini"), "CountDev=6",
                              "CountDev=7\r\nDev7=devices/six.ini"));
    ASSERT_TRUE(
        WriteWholeFile(dir.filePath("devices/six.ini"),
                       platform::toCp1251(QString::fromUtf8(
                           "[settings]\r\nname=Прибор 6\r\narchtypecount=1\r\nArchName1=Журнал\r\n"
                           "ArchNum1=1\r\nArchReg1=300001\r\nArchStandart1=6\r\n"))));

    startSimulator("rt10");
    createForm(QString::fromUtf8("Прибор 6"));
    read();
    EXPECT_EQ(page().lblMaxRec()->text(), QString::fromUtf8("Количество записей: 14"));
    EXPECT_EQ(simulator->requestCount(), 1);
    EXPECT_EQ(page().sgCells()->rowCount(), 2);
    EXPECT_FALSE(page().BtnExcel()->isHidden());
    expectIdle();
}

TEST_F(WindowRun, ClosingTheWindowDuringARun) {
    startSimulator("kp3");
    createForm(QString::fromUtf8("Контроллер КП-3"));
    simulator->addFault(*sim::parseFault("delay ms=200 record=1:2"));
    form->show();
    bool closed = false;
    onEvents = [&] {
        if (simulator->requestCount() == 4 && !closed) {
            closed = true;
            form->close();
            EXPECT_TRUE(form->isVisible()); // not while the run holds the port
        }
    };
    read();
    EXPECT_EQ(page().sgCells()->rowCount(), 4);
    EXPECT_EQ(groupRows().size(), 3);
    expectIdle();
    // The close waits for the event loop, then goes through.
    QCoreApplication::processEvents();
    EXPECT_FALSE(form->isVisible());
    form.reset();
    platform::IniFile ini;
    ini.load(dir.filePath("main.ini"));
    EXPECT_EQ(ini.readString(u"Settings", u"lastcomport", "-"), kComName);
    EXPECT_EQ(ini.readInteger(u"Settings", u"LastDev", -9), 2);
}

} // namespace
} // namespace e2e
