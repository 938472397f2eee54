// SPDX-License-Identifier: MIT
// Each fault of the serial line on one record of a run: the error text lands in that record's
// row, every other record is present and correct, the run goes on to its end, no single wait
// exceeds the answer time-out times the tries, and the port is closed afterwards.
#include "runfixture.h"

#include "../latecases.h"
#include "../qstringprinter.h"

#include "app/core/masterlink.h"

#include <QDebug>
#include <QThread>

namespace {

using namespace std::chrono;

constexpr int kRecords = 6;
constexpr int kFaulted = 2; // record index with the fault; its row is kFaulted + 1

class FaultMatrix : public ReadingRunFixture {
protected:
    void SetUp() override {
        ReadingRunFixture::SetUp();
        if (HasFatalFailure())
            return;
        instrument.address = 5;
        instrument.setRegister(300001, kRecords);
        sim::Journal& j = instrument.addJournal(1, sim::Layout::Plain3);
        sim::Instrument::addSynthetic(j, kRecords, {1, 2});

        device.Name = QStringLiteral("Прибор");
        device.CountJournals = 1;
        TJournalInfo& J = device.Journal[0];
        J.Num = 1;
        J.Reg = 300001;
        J.typedev = tdPlain3;
        J.Name = QStringLiteral("Журнал");
        core::AddRecType(device.ListRecType, 1, dtLongWord, QStringLiteral("Уставка"));
        core::AddListRecType(device.ListRecType, 2, QStringLiteral("Клапан"),
                             QStringLiteral("1=один;2=два;3=три;4=четыре;5=пять;6=шесть"));
        request.device = &device;
        request.journalIndex = 0;

        StartInstrument(instrument);
        if (HasFatalFailure())
            return;
        // The rows of a run without faults are the reference for every faulted run.
        request.retries = 2;
        Run();
        for (int r = 1; r <= kRecords; ++r)
            reference.push_back(Row(r));
        simulator->clearFaults();
    }

    // `busyRows` rows after the faulted one may read "no answer" (an instrument still busy with
    // late answers), but no row may carry another record's data.
    void CheckRowsExcept(int faultedRow, int busyRows = 0) {
        ASSERT_EQ(sg->rowCount(), kRecords + 1);
        for (int r = 1; r <= kRecords; ++r) {
            if (r == faultedRow)
                continue;
            if (r > faultedRow && r <= faultedRow + busyRows &&
                Row(r) == std::vector<QString>{
                              QString::number(r - 1), "Ошибка (Прибор не отвечает)", {}, {}, {}})
                continue;
            EXPECT_EQ(Row(r), reference[std::size_t(r - 1)]) << "row " << r;
        }
    }
    void CheckFinished(const RecordingHost& h) {
        EXPECT_TRUE(h.messages.isEmpty()) << h.messages.join(u'|').toStdString();
        EXPECT_EQ(h.countText, QStringLiteral("Количество записей: %1").arg(kRecords));
        EXPECT_EQ(h.progress, kRecords);
        EXPECT_TRUE(h.exportVisible);
        ASSERT_FALSE(h.states.empty());
        EXPECT_EQ(h.states.back(), core::TRunState::Idle);
        EXPECT_FALSE(run->IsActive());
        EXPECT_EQ(OpenDescriptors(simulator->clientPath()), linkDescriptors);
    }

    sim::Instrument instrument;
    TDevInfo device;
    std::vector<std::vector<QString>> reference;
    int linkDescriptors = 1; // the link's own slave descriptor
};

TEST_F(FaultMatrix, ReferenceRunDecodesEveryRecord) {
    ASSERT_EQ(reference.size(), std::size_t(kRecords));
    // Records alternate between a number type and a value list; new value = index + 1.
    EXPECT_EQ(reference[0][0], "0");
    EXPECT_EQ(reference[0][2], "Уставка");
    EXPECT_EQ(reference[0][3], "0");
    EXPECT_EQ(reference[0][4], "1");
    EXPECT_EQ(reference[1][2], "Клапан");
    EXPECT_EQ(reference[1][3], "один");
    EXPECT_EQ(reference[1][4], "два");
    EXPECT_EQ(reference[5][0], "5");
    EXPECT_EQ(reference[5][4], "шесть");
    EXPECT_FALSE(reference[0][1].isEmpty());
    EXPECT_NE(reference[0][1], reference[1][1]);
    EXPECT_EQ(OpenDescriptors(simulator->clientPath()), linkDescriptors);
}

TEST_F(FaultMatrix, EachFaultLandsInItsRowAndTheRunGoesOn) {
    const QString noAnswer = "Ошибка (Прибор не отвечает)";
    const struct {
        const char* fault;
        int retries;
        QString error; // empty: the record arrives intact in the end
        int busyRows = 0;
    } cases[] = {
        {"noanswer", 1, noAnswer},
        {"noanswer times=1", 1, {}}, // the retry gets the answer
        {"crc", 1, "Ошибка (Ошибка контрольной суммы)"},
        {"crc times=2", 2, {}},
        {"exception code=1", 2, "Ошибка (Функция не поддерживается прибором)"},
        {"exception code=2", 2, "Ошибка (Ошибочный адрес)"},
        {"exception code=3", 2, "Ошибка (Недопустимые данные)"},
        {"exception code=4", 2, "Ошибка (Функция не может быть выполнена)"},
        {"exception code=5", 2, "Ошибка (Начало долговременной операции)"},
        {"exception code=6", 2, "Ошибка (Прибор занят)"},
        {"truncate", 1, "Ошибка (Длина ответа не соответствует длине запроса)"},
        {"truncate bytes=1", 1, "Ошибка (Длина ответа не соответствует длине запроса)"},
        {"garbage", 1, {}}, // noise before the answer is skipped
        {"garbage bytes=40", 1, {}},
        {"address", 1, "Ошибка (Ошибка контрольной суммы)"},
        {"address times=1", 1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        simulator->clearFaults();
        simulator->addFault(
            *sim::parseFault(QStringLiteral("%1 record=1:%2").arg(c.fault).arg(kFaulted)));
        request.retries = c.retries;
        const auto started = steady_clock::now();
        const RecordingHost& h = Run();
        const auto took = steady_clock::now() - started;
        CheckRowsExcept(c.error.isEmpty() ? -1 : kFaulted + 1, c.busyRows);
        if (!c.error.isEmpty()) {
            EXPECT_EQ(Row(kFaulted + 1),
                      (std::vector<QString>{QString::number(kFaulted), c.error, {}, {}, {}}));
        }
        CheckFinished(h);
        // No wait beyond the answer time-out for each try (plus the line's own times).
        // One more answer time listens for a late answer, so that it is not taken for the next
        // record.
        const auto bound = milliseconds((kAnswerMs + 2 * kCharMs + 30) * (c.retries + 2));
        EXPECT_LE(h.longestGap, bound)
            << duration_cast<milliseconds>(h.longestGap).count() << " ms";
        qInfo().noquote() << c.fault << "retries" << c.retries << "longest wait"
                          << duration_cast<milliseconds>(h.longestGap).count() << "ms, run"
                          << duration_cast<milliseconds>(took).count() << "ms";
    }
}

// An instrument that answers late, after the answer time: an RTU answer carries no request
// number, so a late answer could pass for the answer to the next request. Every row must be the
// right record's data or an error row, whatever the retries; the late answers cost time only.
TEST_F(FaultMatrix, LateAnswersNeverBecomeAnotherRecordsData) {
    request.answerTime = kLateAnswerTimeMs;
    for (const LateCase& c : kLateCases) {
        const QString fault = LateFault(c, kFaulted);
        SCOPED_TRACE(LateTrace(c));
        simulator->clearFaults();
        simulator->addFault(*sim::parseFault(fault));
        request.retries = c.retries;
        const auto started = steady_clock::now();
        const RecordingHost& h = Run();
        ASSERT_EQ(sg->rowCount(), kRecords + 1);
        int errors = 0;
        for (int r = 1; r <= kRecords; ++r) {
            if (Row(r)[1].startsWith(QStringLiteral("Ошибка ("))) {
                ++errors;
                EXPECT_EQ(Row(r),
                          (std::vector<QString>{QString::number(r - 1), Row(r)[1], {}, {}, {}}));
            } else {
                EXPECT_EQ(Row(r), reference[std::size_t(r - 1)]) << "row " << r;
            }
        }
        // With a retry every late answer is still taken for its own record.
        EXPECT_EQ(errors, LateErrors(c, kRecords));
        CheckFinished(h);
        qInfo().noquote() << fault << "retries" << c.retries << "errors" << errors << "run"
                          << duration_cast<milliseconds>(steady_clock::now() - started).count()
                          << "ms";
    }
}

// One failed exchange (every try unanswered) on a silent line and on a line that delivers
// random bytes without pause ends within the bound the README states:
// (retries + 2) x (answer time + character time-out + 2 x frame time).
TEST_F(FaultMatrix, OneFailedExchangeStaysWithinTheWaitBound) {
    const auto frame = std::max<nanoseconds>(microseconds(10LL * 1000000 * 260 / kBaud), 20ms);
    const struct {
        bool noise;
        int retries;
    } cases[] = {{false, 0}, {false, 5}, {true, 0}, {true, 5}};
    simulator->setFaults({*sim::parseFault("noanswer function=65")});
    ASSERT_TRUE(Library().Connect(kCom, kBaud, 0));
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << (c.noise ? "noisy" : "silent") << ", retries " << c.retries);
        simulator->link()->setNoise(c.noise);
        Library().Retries(c.retries);
        std::uint8_t buf[256] = {};
        const auto req = core::RecordRequest(1, 0);
        std::copy(req.begin(), req.end(), buf);
        const auto started = steady_clock::now();
        EXPECT_NE(Library().AnyFunction(instrument.address, 65, 7, buf), 0);
        const auto took = steady_clock::now() - started;
        const auto bound = (c.retries + 2) * (milliseconds(kAnswerMs + kCharMs) + 2 * frame);
        EXPECT_LE(took, bound);
        EXPECT_GE(took, (c.retries + 1) * milliseconds(kAnswerMs));
        qInfo().noquote() << (c.noise ? "noisy" : "silent") << "line, retries" << c.retries
                          << "failed exchange" << duration_cast<milliseconds>(took).count()
                          << "ms, bound" << duration_cast<milliseconds>(bound).count() << "ms";
    }
    simulator->link()->setNoise(false);
    Library().Disconnect();
}

TEST_F(FaultMatrix, AdapterPulledMidRunClosesEveryLaterRecordAndThePort) {
    request.retries = 2;
    // The third record has been read when the adapter goes; the first three calls are the
    // count-register steps.
    const RecordingHost& h = Run([this](int calls) {
        if (calls == 2 + kFaulted + 1)
            simulator->link()->hangUpClient();
    });
    ASSERT_EQ(sg->rowCount(), kRecords + 1);
    for (int r = 1; r <= kFaulted + 1; ++r)
        EXPECT_EQ(Row(r), reference[std::size_t(r - 1)]) << "row " << r;
    for (int r = kFaulted + 2; r <= kRecords; ++r)
        EXPECT_EQ(Row(r), (std::vector<QString>{QString::number(r - 1),
                                                "Ошибка (Канал закрыт (не удается отправить "
                                                "запрос))",
                                                {},
                                                {},
                                                {}}))
            << "row " << r;
    EXPECT_LE(h.longestGap, milliseconds((kAnswerMs + 2 * kCharMs + 30) * 3));
    EXPECT_EQ(h.states.back(), core::TRunState::Idle);
    EXPECT_FALSE(run->IsActive());
    EXPECT_TRUE(h.exportVisible);
    EXPECT_EQ(OpenDescriptors(simulator->clientPath()), 0);

    // The next run finds no port and says so; nothing is left half open.
    const RecordingHost& again = Run();
    EXPECT_EQ(again.messages, QStringList{"Ошибка открытия СОМ-порта."});
    EXPECT_EQ(again.states, std::vector<core::TRunState>{});
}

// Two lines read at once through masters of their own, each run on its own thread: each list
// equals the library's, and a fault on one line lands in that line's row only.
TEST_F(FaultMatrix, DirectLinksReadTwoLinesAtOnce) {
    struct Line {
        std::unique_ptr<sim::Simulator> simulator;
        core::TMasterLink link;
        core::TListGrids list;
        RecordingHost host;
        core::TRunRequest request;
    } lines[2];
    for (int n = 0; n < 2; ++n) {
        Line& l = lines[n];
        QString error;
        l.simulator = fixture::StartSimulator(instrument, {.baud = kBaud}, &error);
        ASSERT_TRUE(l.simulator) << error.toStdString();
        platform::addEnvironmentPortMapping(kCom + 1 + n, l.simulator->clientPath());
        l.request = request;
        l.request.portNumber = kCom + 1 + n;
        l.link.SetTimeouts(kAnswerMs, kCharMs);
    }
    lines[1].simulator->addFault(*sim::parseFault(QStringLiteral("crc record=1:%1").arg(kFaulted)));
    std::vector<std::unique_ptr<QThread>> threads;
    for (Line& l : lines) {
        threads.emplace_back(QThread::create([&l] {
            core::TReadingRun run(l.link, l.list.runDecoder, l.list.sg, l.host);
            (void)run.Run(l.request);
        }));
        threads.back()->start();
    }
    for (const auto& t : threads)
        ASSERT_TRUE(t->wait(30000));
    for (int n = 0; n < 2; ++n) {
        SCOPED_TRACE(n);
        const core::TStringGrid& sg = lines[n].list.sg;
        ASSERT_EQ(sg.rowCount(), kRecords + 1);
        for (int r = 1; r <= kRecords; ++r) {
            std::vector<QString> row;
            for (int c = 0; c < 5; ++c)
                row.push_back(sg.cell(r, c));
            if (n == 1 && r == kFaulted + 1)
                EXPECT_EQ(row[1], "Ошибка (Ошибка контрольной суммы)");
            else
                EXPECT_EQ(row, reference[std::size_t(r - 1)]) << "row " << r;
        }
        EXPECT_EQ(lines[n].host.states.back(), core::TRunState::Idle);
        EXPECT_EQ(OpenDescriptors(lines[n].simulator->clientPath()), linkDescriptors);
    }
}

} // namespace
