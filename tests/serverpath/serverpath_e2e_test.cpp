// SPDX-License-Identifier: MIT
// The server path of the window driven through its hidden buttons, against the exchange server
// process and a simulated instrument on a pseudo-terminal.
#include "app/core/errortexts.h"
#include "app/gui/mainform.h"
#include "app/models/stringtablemodel.h"
#include "comm/widgets/dlgmanager.h"
#include "platform/codepage.h"
#include "platform/widgets/radiogroup.h"
#include "serverprocess.h"
#include "sim/simulator.h"
#include "tests/latecases.h"
#include "tests/mainpage.h"
#include "tests/qstringprinter.h"
#include "tests/recordingsink.h"
#include "tests/simulatorfixture.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

namespace {

using fixture::waitFor;

const char* const kMain = "[Main]\r\nCountDev=1\r\nDev1=dev.ini\r\n";
// Journal 1 counted in input register 300001, journal 2 in holding register 400003.
const char* const kDev = "[settings]\r\nname=Прибор\r\narchtypecount=2\r\n"
                         "ArchName1=Журнал\r\nArchCountRec1=50\r\nArchNum1=1\r\n"
                         "ArchReg1=300001\r\nArchStandart1=0\r\n"
                         "ArchName2=Второй\r\nArchCountRec2=50\r\nArchNum2=2\r\n"
                         "ArchReg2=400003\r\nArchStandart2=0\r\n"
                         "[s0]\r\nID=1\r\nname=Уставка\r\ntype=4\r\n"
                         "[s1]\r\nID=2\r\nname=Счётчик\r\ntype=0\r\n";

constexpr int kWait = 20000;

class ServerPathE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        write("main.ini", kMain);
        write("dev.ini", kDev);
    }

    void write(const QString& name, const char* utf8) {
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(platform::toCp1251(QString::fromUtf8(utf8)));
    }

    // Starts the simulator and the server, opens the window and connects its components.
    void start(const sim::Instrument& instrument) {
        QString why;
        simulator = fixture::StartSimulator(instrument, {}, &why);
        ASSERT_TRUE(simulator) << why.toStdString();
        server = std::make_unique<fixture::ServerProcess>(simulator->clientPath());
        ASSERT_TRUE(server->start(&why)) << why.toStdString();

        gui::TForm1Options o;
        o.programDirectory = dir.path();
        o.messages = &sink;
        o.ports = [] {
            platform::SerialPortEntry e;
            e.name = QStringLiteral("COM5");
            e.number = 5;
            return QList<platform::SerialPortEntry>{e};
        };
        o.terminate = [] {}; // no access library here; the server path does not need it
        form = std::make_unique<TForm1>(std::move(o));
        sink.messages.clear();
        page().cbxDev()->setCurrentIndex(0);
        ASSERT_NE(form->CurDev(), nullptr);
        // 19,200 baud: the server keeps the line's inter-frame silence, 32 ms at 1,200 baud.
        page().cbxSpeed()->setCurrentIndex(4);
        page().RS232()->SetRetries(0);
        page().RS232()->SetAnswerDelay(300);

        // Every answer the window gets, in order.
        auto original = page().MBM()->OnExchange;
        page().MBM()->OnExchange = [this, original](QObject* s, qint32 q, qint32 a, qint32 f,
                                                    const QVariant& v, qint32 r) {
            answers.append(q);
            original(s, q, a, f, v, r);
        };

        EXPECT_TRUE(page().btnConnect()->isEnabled());
        page().btnConnect()->click();
        EXPECT_FALSE(page().btnConnect()->isEnabled());
        EXPECT_EQ(page().RS232()->Speed(), comm::cts19200);
        EXPECT_EQ(page().RS232()->Port(), QStringLiteral("COM5"));
        ASSERT_TRUE(waitFor([&] { return page().btnRead()->isEnabled(); }, kWait))
            << server->stderrText().toStdString();
        EXPECT_TRUE(page().BtnDisconnect()->isEnabled());
        EXPECT_FALSE(page().btnStop()->isEnabled());
    }

    bool readingEnded() const {
        return page().btnRead()->isEnabled() && !page().btnStop()->isEnabled() &&
               page().rgTypeJ()->isEnabled();
    }

    // The row the decoder alone makes of a record, for comparison.
    QStringList expectedRow(int q, quint32 time, quint16 id, quint32 value) {
        core::TStringGrid grid(2, 5);
        core::TJournalDecoder ref(grid);
        ref.setDevice(form->CurDev());
        ref.setJournalIndex(page().rgTypeJ()->itemIndex());
        ref.DecodeRecord(q, time, id, 0, 0, value);
        QStringList row;
        for (int c = 0; c < 5; ++c)
            row << grid.cell(q + 1, c);
        return row;
    }
    QStringList row(int r) const {
        QStringList cells;
        for (int c = 0; c < 5; ++c)
            cells << page().sgCells()->cell(r, c);
        return cells;
    }

    void TearDown() override {
        if (form) {
            page().BtnDisconnect()->click();
            waitFor([&] { return page().btnConnect()->isEnabled(); }, 5000);
        }
        form.reset();
        server.reset();
        simulator.reset();
    }

    // The window's controls, grids and components.
    TMainPage page() const { return TMainPage(*form); }

    QTemporaryDir dir;
    RecordingSink sink;
    std::unique_ptr<sim::Simulator> simulator;
    std::unique_ptr<fixture::ServerProcess> server;
    std::unique_ptr<TForm1> form;
    QList<qint32> answers;
};

sim::Instrument instrumentWith(const QList<QByteArray>& records, int count) {
    sim::Instrument inst;
    inst.setRegister(300001, quint16(count));
    inst.addJournal(1, sim::Layout::Plain).records = records;
    return inst;
}

QByteArray plain(quint32 time, quint16 id, quint32 value) {
    return sim::Instrument::fixedRecord(sim::Layout::Plain, time, id, value);
}

TEST_F(ServerPathE2E, ThreeRecordJournal) {
    start(instrumentWith({plain(1600000000, 1, 0x3FC00000), plain(1600000060, 2, 0x80000000u),
                          plain(1600000120, 2, 0xFFFFFFFEu)},
                         3));
    page().btnRead()->click();
    EXPECT_FALSE(page().btnRead()->isEnabled());
    EXPECT_TRUE(page().btnStop()->isEnabled());
    EXPECT_FALSE(page().rgTypeJ()->isEnabled());
    ASSERT_TRUE(waitFor([&] { return readingEnded(); }, kWait));

    EXPECT_EQ(answers, (QList<qint32>{1000, 1, 2, 3}));
    EXPECT_EQ(form->serverPath().MaxRec(), 3);
    EXPECT_EQ(page().lblMaxRec()->text(), QStringLiteral("Количество записей: 3"));
    EXPECT_EQ(page().sgCells()->rowCount(), 5);
    EXPECT_EQ(row(1), QStringList(5, QString()));
    EXPECT_EQ(row(2), expectedRow(1, 1600000000, 1, 0x3FC00000));
    // Values from 2^31 up reach the decoder as their bit pattern.
    EXPECT_EQ(row(3), expectedRow(2, 1600000060, 2, 0x80000000u));
    EXPECT_EQ(row(4), expectedRow(3, 1600000120, 2, 0xFFFFFFFEu));
    // The grouped view was rebuilt: a column per record type that occurred.
    EXPECT_GT(page().sgGrCells()->columnCount(), 1);
    EXPECT_TRUE(sink.messages.isEmpty()) << sink.messages.join(u'|').toStdString();
}

TEST_F(ServerPathE2E, FailedSecondRecordWritesErrorRowAndStalls) {
    sim::Instrument inst = instrumentWith(
        {plain(1600000000, 1, 1), plain(1600000060, 1, 2), plain(1600000120, 1, 3)}, 3);
    inst.faults.append(*sim::parseFault(QStringLiteral("noanswer record=1:1")));
    start(inst);
    page().btnRead()->click();
    ASSERT_TRUE(waitFor([&] { return answers.size() == 3; }, kWait));
    EXPECT_EQ(answers, (QList<qint32>{1000, 1, 2}));
    EXPECT_EQ(page().sgCells()->cell(3, 0), QStringLiteral("2"));
    EXPECT_EQ(page().sgCells()->cell(3, 1), core::ErrorMessage(1));
    EXPECT_EQ(core::ErrorMessage(1), QStringLiteral("Ошибка (Прибор не отвечает)"));
    // Nothing more is asked; the window stays in the reading state until stop.
    const int requests = simulator->requestCount();
    waitFor([] { return false; }, 400);
    EXPECT_EQ(simulator->requestCount(), requests);
    EXPECT_TRUE(page().btnStop()->isEnabled());
    EXPECT_FALSE(page().btnRead()->isEnabled());
    page().btnStop()->click();
    EXPECT_TRUE(readingEnded());
}

TEST_F(ServerPathE2E, StopWithRecordOutstandingStillShowsIt) {
    sim::Instrument inst = instrumentWith(
        {plain(1600000000, 1, 1), plain(1600000060, 1, 2), plain(1600000120, 1, 3)}, 3);
    inst.faults.append(*sim::parseFault(QStringLiteral("delay ms=250 record=1:1")));
    start(inst);
    page().btnRead()->click();
    ASSERT_TRUE(waitFor([&] { return form->serverPath().OutstandingQID() == 2; }, kWait));
    page().btnStop()->click();
    EXPECT_FALSE(form->serverPath().GetArch());
    EXPECT_TRUE(readingEnded());
    ASSERT_TRUE(waitFor([&] { return form->serverPath().OutstandingQID() == 0; }, kWait));
    EXPECT_EQ(answers, (QList<qint32>{1000, 1, 2}));
    EXPECT_EQ(row(3), expectedRow(2, 1600000060, 1, 2));
    EXPECT_EQ(page().sgCells()->rowCount(), 4);
    EXPECT_TRUE(readingEnded());
}

TEST_F(ServerPathE2E, CountArrivingAfterStopShowsNothing) {
    sim::Instrument inst = instrumentWith({plain(1600000000, 1, 1)}, 1);
    inst.faults.append(*sim::parseFault(QStringLiteral("delay ms=250 register=300001")));
    start(inst);
    page().lblMaxRec()->setText(QStringLiteral("..."));
    page().btnRead()->click();
    page().btnStop()->click();
    ASSERT_TRUE(waitFor([&] { return answers.size() == 1; }, kWait));
    waitFor([] { return false; }, 200);
    EXPECT_EQ(answers, QList<qint32>{1000});
    EXPECT_EQ(page().lblMaxRec()->text(), QStringLiteral("..."));
    EXPECT_EQ(page().sgCells()->rowCount(), 2);
    EXPECT_EQ(row(1), QStringList(5, QString()));
    EXPECT_TRUE(readingEnded());
}

// An instrument that answers after the answer time, with and without retries of the server:
// every row is the right record's or an error row (after which the path waits for "Остановить").
TEST_F(ServerPathE2E, LateAnswersNeverBecomeAnotherRecordsData) {
    constexpr int kRecords = 4;
    QList<QByteArray> records;
    for (int i = 0; i < kRecords; ++i)
        records << plain(1600000000 + 60 * i, quint16(1 + i % 2), quint32(i + 1));
    start(instrumentWith(records, kRecords));
    page().RS232()->SetAnswerDelay(kLateAnswerTimeMs);
    for (const LateCase& c : kLateCases) {
        SCOPED_TRACE(LateTrace(c));
        simulator->setFaults({*sim::parseFault(LateFault(c, 1))});
        page().RS232()->SetRetries(c.retries);
        page().btnRead()->click();
        const auto stalled = [&] {
            const int last = page().sgCells()->rowCount() - 1;
            return last >= 2 && page().sgCells()->cell(last, 1).startsWith(u"Ошибка (");
        };
        ASSERT_TRUE(waitFor([&] { return readingEnded() || stalled(); }, kWait));
        if (!readingEnded())
            page().btnStop()->click();
        int errors = 0;
        for (int r = 2; r < page().sgCells()->rowCount(); ++r) {
            const QByteArray& rec = records[r - 2];
            if (row(r).value(1).startsWith(u"Ошибка (")) {
                ++errors;
                EXPECT_EQ(row(r),
                          QStringList({QString::number(r - 1), row(r).value(1), {}, {}, {}}));
            } else {
                EXPECT_EQ(row(r), expectedRow(r - 1, 1600000000 + 60 * (r - 2),
                                              quint16(1 + (r - 2) % 2), quint32(r - 1)))
                    << "row " << r << " " << rec.toHex().toStdString();
            }
        }
        // A failed record ends what the path reads: it waits for "Остановить".
        EXPECT_EQ(errors, c.retries > 0 ? 0 : 1);
        EXPECT_EQ(page().sgCells()->rowCount(), c.retries == 0 ? 4 : kRecords + 2);
    }
}

TEST_F(ServerPathE2E, CountOfZeroStillReadsTheFirstRecord) {
    start(instrumentWith({plain(1600000000, 1, 7)}, 0));
    page().btnRead()->click();
    ASSERT_TRUE(waitFor([&] { return readingEnded(); }, kWait));
    EXPECT_EQ(answers, (QList<qint32>{1000, 1}));
    EXPECT_EQ(page().lblMaxRec()->text(), QStringLiteral("Количество записей: 0"));
    EXPECT_EQ(row(2), expectedRow(1, 1600000000, 1, 7));
}

TEST_F(ServerPathE2E, JournalOfMoreThan999RecordsIsReadCompletely) {
    sim::Instrument inst;
    inst.setRegister(300001, 1200);
    sim::Instrument::addSynthetic(inst.addJournal(1, sim::Layout::Plain), 1200, {1, 2});
    start(inst);
    page().btnRead()->click();
    ASSERT_TRUE(waitFor([&] { return readingEnded(); }, 120000));
    ASSERT_EQ(answers.size(), 1201);
    EXPECT_EQ(answers.count(1000), 1);
    EXPECT_EQ(answers.value(999), 999);
    EXPECT_EQ(answers.value(1000), 1001); // the 1000th record
    EXPECT_EQ(answers.last(), 1201);
    ASSERT_EQ(page().sgCells()->rowCount(), 1202);
    const sim::Instrument served = simulator->instrument();
    const QList<QByteArray>& records = served.journal(1)->records;
    for (int q : {1, 999, 1000, 1001, 1200}) {
        const QByteArray& r = records[q - 1];
        const auto be = [&](int at, int n) {
            quint32 v = 0;
            for (int i = 0; i < n; ++i)
                v = (v << 8) | quint8(r[at + i]);
            return v;
        };
        EXPECT_EQ(row(q + 1), expectedRow(q, be(0, 4), quint16(be(4, 2)), be(6, 4))) << q;
    }
}

TEST(ServerPathWindow, ComponentsAreSetUpAndStayOffTheServerUntilConnect) {
    QTemporaryDir dir;
    fixture::ServerProcess env; // private runtime folder only; nothing is started
    RecordingSink sink;
    gui::TForm1Options o;
    o.programDirectory = dir.path();
    o.messages = &sink;
    o.ports = [] { return QList<platform::SerialPortEntry>{}; };
    o.terminate = [] {};
    TForm1 form(std::move(o));
    const TMainPage page(form);

    ASSERT_NE(page.RS232(), nullptr);
    EXPECT_EQ(page.RS232()->Port(), QStringLiteral("COM2"));
    EXPECT_EQ(page.RS232()->AnswerDelay(), 500);
    EXPECT_EQ(page.RS232()->DisplayName(), QStringLiteral("RS232"));
    EXPECT_FALSE(page.RS232()->LiveChannel());
    EXPECT_EQ(page.RS232()->DlgManager(), static_cast<comm::TDlgManagerBase*>(page.DlgManager1()));
    EXPECT_EQ(page.MBM()->Transport(), page.RS232());
    EXPECT_EQ(page.MBM()->QueryType(), comm::qtNormal);
    EXPECT_EQ(page.DlgManager1()->Master(), page.MBM());
    EXPECT_EQ(page.DlgManager1()->TransportsCount(), 1);

    // The address box hands valid addresses to the master; other texts leave it alone.
    const std::pair<QString, int> typed[] = {{"5", 5}, {"abc", 5}, {"0", 0}, {"300", 300}};
    for (const auto& [text, address] : typed) {
        page.EdtAddr()->setText(text);
        EXPECT_EQ(page.MBM()->DeviceAddress(), address) << text.toStdString();
    }

    for (QPushButton* b : {page.btnConnect(), page.btnRead(), page.btnStop(), page.BtnDisconnect()})
        EXPECT_TRUE(b->isHidden()) << b->objectName().toStdString();
    EXPECT_TRUE(page.btnConnect()->isEnabled());
    EXPECT_FALSE(page.btnRead()->isEnabled());
    EXPECT_EQ(page.RS232()->ServerObject(), nullptr);
    EXPECT_EQ(page.MBM()->ServerObject(), nullptr);
    EXPECT_FALSE(QFile::exists(env.socketPath()));

    // Without a device the read refuses with a message and asks nothing.
    page.btnRead()->setEnabled(true);
    page.btnRead()->click();
    EXPECT_EQ(sink.messages.last(), QStringLiteral("I:Не выбран тип прибора."));
    EXPECT_FALSE(QFile::exists(env.socketPath()));
}

} // namespace
