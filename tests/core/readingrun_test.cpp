// SPDX-License-Identifier: MIT
#include "app/core/readingrun.h"

#include "app/core/journaldecoder.h"

#include <QMap>

#include <gtest/gtest.h>

#include <functional>
#include <set>

namespace {

// Instrument behind a fake access library: registers, and record replies built from the index.
class FakeLibrary : public core::IModbusLink {
public:
    bool connectResult = true;
    bool connected = false;
    QMap<int, int> inputRegs, holdingRegs;
    std::set<int> failingRegisters;
    QMap<int, int> failingRecords; // device index -> result code
    std::vector<int> requestedIndices;
    std::vector<int> requestedArchives;
    std::vector<QByteArray> requests; // the 7 bytes of each record request
    std::vector<QString> calls;
    std::function<void(int)> onRecord;
    std::function<void(int, std::uint8_t*)> fillReply;

    bool Connect(int port, int speed, int type) override {
        calls.push_back(QString("Connect %1 %2 %3").arg(port).arg(speed).arg(type));
        connected = connectResult;
        return connectResult;
    }
    void Disconnect() override {
        calls.push_back("Disconnect");
        connected = false;
    }
    int GetDevName(int, std::uint8_t*, int) override { return 0; }
    int ReadInputRegister(int addr, int reg, int count, int type, std::uint8_t* p) override {
        return Read("Input", inputRegs, addr, reg, count, type, p);
    }
    int ReadHoldingRegister(int addr, int reg, int count, int type, std::uint8_t* p) override {
        return Read("Holding", holdingRegs, addr, reg, count, type, p);
    }
    int AnyFunction(int addr, int fun, int size, std::uint8_t* p) override {
        EXPECT_TRUE(connected);
        EXPECT_EQ(fun, 65);
        EXPECT_EQ(size, 7);
        EXPECT_EQ(addr, 7);
        EXPECT_EQ(p[0], 0);
        EXPECT_EQ(p[2], 0);
        EXPECT_EQ(p[3], 1);
        EXPECT_EQ(p[4], 0);
        const int idx = (p[5] << 8) | p[6];
        requests.emplace_back(reinterpret_cast<const char*>(p), 7);
        requestedIndices.push_back(idx);
        tracedRecords.push_back(traceRecord);
        requestedArchives.push_back(p[1]);
        if (onRecord)
            onRecord(idx);
        if (failingRecords.contains(idx))
            return failingRecords[idx];
        p[0] = 65;
        p[1] = 20;
        for (int i = 2; i < 22; ++i)
            p[i] = static_cast<std::uint8_t>(idx + i);
        if (fillReply)
            fillReply(idx, p);
        return 0;
    }
    void Retries(int r) override { calls.push_back(QString("Retries %1").arg(r)); }
    void SetTimeouts(int answerMs, int charMs) override { timeouts = {answerMs, charMs}; }
    void SetTraceRecord(std::int64_t record) override { traceRecord = record; }
    std::int64_t traceRecord = -1;
    std::vector<std::int64_t> tracedRecords; // the trace's record at each record request
    std::pair<int, int> timeouts{-1, -1};

private:
    int Read(const char* kind, const QMap<int, int>& regs, int addr, int reg, int count, int type,
             std::uint8_t* p) {
        calls.push_back(QString("%1 %2").arg(kind).arg(reg));
        EXPECT_EQ(addr, 7);
        EXPECT_EQ(count, 1);
        EXPECT_EQ(type, 18);
        if (failingRegisters.count(reg))
            return 1;
        const int v = regs.value(reg);
        p[0] = v & 0xFF;
        p[1] = (v >> 8) & 0xFF;
        return 0;
    }
};

class FakeDecoder : public core::IRecordDecoder {
public:
    core::IStringGrid* sg = nullptr;
    std::int64_t startrec = 0;
    int journalIndex = -1;
    std::vector<int> fixedRequestIndices;
    int textRecords = 0, modeRecords = 0, clears = 0, builds = 0, scrolls = 0;
    QString notice;

    void BeginRun(const TDevInfo*, int j, std::int64_t s) override {
        journalIndex = j;
        startrec = s;
    }
    void DecodeFixedReply(int index, const std::uint8_t* reply, int requestIndex) override {
        EXPECT_EQ(reply[0], 65);
        fixedRequestIndices.push_back(requestIndex);
        sg->setCell(index + 1, 0, QString::number(startrec + index));
    }
    void DecodeTextRecord(int index, const std::uint8_t*) override {
        ++textRecords;
        sg->setCell(index + 1, 0, QString::number(startrec + index));
    }
    void DecodeModeRecord(int, const std::uint8_t*) override { ++modeRecords; }
    void ScrollToLastRow() override { ++scrolls; }
    void ClearGroupData() override { ++clears; }
    void BuildGroupView() override { ++builds; }
    QString RunNotice() const override { return notice; }
};

class FakeHost : public core::IRunHost {
public:
    std::vector<QString> messages;
    std::vector<QString> details;
    std::vector<QString> statusTexts;
    QString countText;
    bool exportVisible = true;
    int progressMax = -1, progress = -1;
    std::vector<core::TRunState> states;
    std::function<void()> onProcessEvents;

    void ShowMessage(const QString& t, const QString& detail) override {
        messages.push_back(t);
        details.push_back(detail);
    }
    void SetExportVisible(bool v) override { exportVisible = v; }
    void SetStatusText(const QString& t) override { statusTexts.push_back(t); }
    void SetCountText(const QString& t) override { countText = t; }
    void SetProgressMaximum(int m) override { progressMax = m; }
    void SetProgressPosition(int p) override { progress = p; }
    void SetRunState(core::TRunState s) override { states.push_back(s); }
    void SetRecordProgress(int done, int total) override {
        recordProgress.push_back({done, total});
    }
    std::vector<std::pair<int, int>> recordProgress;
    void BetweenCalls() override {
        if (onProcessEvents)
            onProcessEvents();
    }
};

class ReadingRunTest : public ::testing::Test {
protected:
    ReadingRunTest() : run(lib, decoder, sg, host) {
        decoder.sg = &sg;
        device.Name = "Прибор";
        device.CountJournals = 2;
        device.Journal[0].Num = 5;
        device.Journal[0].typedev = tdPlain;
        request.device = &device;
        request.journalIndex = 0;
        request.portNumber = 3;
        request.speed = 9600;
        request.devAddr = 7;
        request.retries = 4;
    }
    TJournalInfo& journal() { return device.Journal[0]; }
    std::vector<int> Range(int from, int to) {
        std::vector<int> v;
        for (int i = from; i <= to; ++i)
            v.push_back(i);
        return v;
    }

    FakeLibrary lib;
    FakeDecoder decoder;
    core::TStringGrid sg{2, 5};
    FakeHost host;
    core::TReadingRun run;
    TDevInfo device;
    core::TRunRequest request;
};

TEST_F(ReadingRunTest, JournalWithoutCountRegisterReadsItsCatalogueCount) {
    journal().CountRec = 500;
    request.answerTime = 700;
    run.Run(request);
    EXPECT_EQ(lib.timeouts, std::make_pair(700, 0)); // the answer time; the library's own pauses
    EXPECT_EQ(host.countText, "Количество записей: 500");
    EXPECT_EQ(lib.requestedIndices, Range(0, 499));
    EXPECT_EQ(lib.requestedArchives.front(), 5);
    EXPECT_EQ(lib.calls.front(), "Connect 3 9600 0");
    EXPECT_EQ(lib.calls[1], "Retries 4");
    EXPECT_EQ(lib.calls.back(), "Disconnect");
    EXPECT_EQ(lib.calls.size(), 3u); // no register read
    EXPECT_EQ(sg.rowCount(), 501);
    EXPECT_EQ(host.statusTexts.back(), "500 (500)");
    EXPECT_EQ(host.progressMax, 500);
    EXPECT_EQ(host.progress, 500);
    EXPECT_TRUE(host.exportVisible);
    EXPECT_EQ(host.states,
              (std::vector<core::TRunState>{core::TRunState::Connected, core::TRunState::Reading,
                                            core::TRunState::Idle}));
    EXPECT_EQ(decoder.clears, 1);
    EXPECT_EQ(decoder.builds, 1);
}

TEST_F(ReadingRunTest, CountRegisterNumberingAndPlusOneLayouts) {
    const struct {
        int reg;
        TTypeDev layout;
        int value;
        QString call;
        int maxRec;
    } cases[] = {
        {400010, tdPlain4, 120, "Holding 9", 121},
        {400001, tdPlain2, 3, "Holding 0", 4},
        {300005, tdPlain, 12, "Input 4", 12},
        {300001, tdPlain3, 0, "Input 0", 0},
    };
    for (const auto& c : cases) {
        lib = FakeLibrary();
        decoder.fixedRequestIndices.clear();
        journal().Reg = c.reg;
        journal().typedev = c.layout;
        (c.reg < 400000 ? lib.inputRegs : lib.holdingRegs)[c.call.section(' ', 1).toInt()] =
            c.value;
        run.Run(request);
        EXPECT_EQ(lib.calls[2], c.call);
        EXPECT_EQ(run.Result().MaxRec, c.maxRec);
        EXPECT_EQ(lib.requestedIndices, Range(0, c.maxRec - 1));
        EXPECT_EQ(host.exportVisible, c.maxRec > 0);
        EXPECT_EQ(decoder.fixedRequestIndices, Range(0, c.maxRec - 1));
    }
}

TEST_F(ReadingRunTest, RingJournalWrapsAndListsTheLastRecords) {
    journal().Cycle = true;
    journal().CountRec = 1000;
    journal().Reg = 300002;
    journal().RegOverflow = 300003;
    lib.inputRegs[1] = 200;
    lib.inputRegs[2] = 3;
    run.Run(request);
    EXPECT_EQ(run.Result().MaxRec, 3200);
    EXPECT_EQ(run.Result().startrec, 2200);
    std::vector<int> expected = Range(200, 999);
    const auto tail = Range(0, 199);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(lib.requestedIndices, expected);
    EXPECT_EQ(decoder.fixedRequestIndices, expected);
    EXPECT_EQ(decoder.startrec, 2200);
    EXPECT_EQ(host.statusTexts[1], "2201 (3200)");
    EXPECT_EQ(sg.cell(1, 0), "2200");
    EXPECT_EQ(sg.cell(1000, 0), "3199");

    // No overflow yet: every record from 0.
    lib = FakeLibrary();
    lib.inputRegs[1] = 200;
    lib.inputRegs[2] = 0;
    run.Run(request);
    EXPECT_EQ(run.Result().startrec, 0);
    EXPECT_EQ(lib.requestedIndices, Range(0, 199));

    // Limit below the first record that still exists.
    lib = FakeLibrary();
    lib.inputRegs[1] = 200;
    lib.inputRegs[2] = 3;
    request.limit = true;
    request.startText = "100";
    request.countText = "5";
    run.Run(request);
    EXPECT_EQ(host.messages.back(), "Стартовый индекс 100 младше первой записи 2200");
    EXPECT_TRUE(lib.requestedIndices.empty());
    EXPECT_EQ(lib.calls.back(), "Disconnect");
    EXPECT_EQ(sg.rowCount(), 2);
}

TEST_F(ReadingRunTest, RingWithoutSizeReadsWithoutWrapAround) {
    journal().Cycle = true;
    journal().CountRec = 0;
    journal().Reg = 300001;
    journal().RegOverflow = 300002;
    lib.inputRegs[0] = 3;
    lib.inputRegs[1] = 9;
    run.Run(request);
    EXPECT_EQ(lib.requestedIndices, Range(0, 2));
    EXPECT_EQ(lib.calls.size(), 4u); // the overflow register is not read
}

TEST_F(ReadingRunTest, LimitCases) {
    journal().Reg = 300001;
    lib.inputRegs[0] = 40;
    request.limit = true;
    const struct {
        QString start, count;
        std::vector<int> indices;
        QString message;
    } cases[] = {
        {"10", "50", Range(10, 39), ""},
        {"10", "5", Range(10, 14), ""},
        {"$A", "0x5", Range(10, 14), ""},
        {"40", "5", {}, ""},
        {"41", "5", {}, "Стартовый индекс больше количества записей"},
    };
    for (const auto& c : cases) {
        lib.requestedIndices.clear();
        host.messages.clear();
        request.startText = c.start;
        request.countText = c.count;
        run.Run(request);
        EXPECT_EQ(lib.requestedIndices, c.indices) << c.start.toStdString();
        EXPECT_EQ(host.messages.empty() ? QString() : host.messages.back(), c.message);
        EXPECT_FALSE(lib.connected);
    }
}

TEST_F(ReadingRunTest, RefusedRunsDoNotConnect) {
    const struct {
        std::function<void(core::TRunRequest&, FakeLibrary&)> setUp;
        QString message;
        bool connectTried;
    } cases[] = {
        {[](core::TRunRequest& r, FakeLibrary&) { r.device = nullptr; }, "Не выбран тип прибора.",
         false},
        {[](core::TRunRequest& r, FakeLibrary&) { r.journalIndex = -1; },
         "Не выбран журнал прибора.", false},
        {[](core::TRunRequest& r, FakeLibrary&) { r.journalIndex = 2; },
         "Не выбран журнал прибора.", false},
        {[](core::TRunRequest& r, FakeLibrary&) {
             r.limit = true;
             r.startText = "abc";
         },
         "Введите число в поле \"Начать с:\"", false},
        {[](core::TRunRequest& r, FakeLibrary&) {
             r.limit = true;
             r.startText = "1";
             r.countText = "1.5";
         },
         "Введите число в поле \"Количество\"", false},
        {[](core::TRunRequest& r, FakeLibrary&) {
             r.portNumber.reset();
             r.portError = "Порт не выбран";
         },
         "Порт не выбран", false},
        {[](core::TRunRequest&, FakeLibrary& l) { l.connectResult = false; },
         "Ошибка открытия СОМ-порта.", true},
    };
    sg.setRowCount(4);
    sg.setCell(3, 1, "previous run");
    for (const auto& c : cases) {
        core::TRunRequest r = request;
        lib = FakeLibrary();
        c.setUp(r, lib);
        host = FakeHost();
        run.Run(r);
        EXPECT_EQ(host.messages, std::vector<QString>{c.message});
        EXPECT_EQ(!lib.calls.empty(), c.connectTried) << c.message.toStdString();
        EXPECT_FALSE(host.exportVisible);
        EXPECT_TRUE(host.states.empty());
        EXPECT_EQ(sg.cell(3, 1), "previous run");
    }
}

// Archive numbers travel by their low 8 bits; record indexes a request cannot carry get a message
// instead of being cut to 16 bits; a run asks for at most the 65,536 record positions there are;
// counts are 64-bit.
TEST_F(ReadingRunTest, AbsurdNumbers) {
    using SetUp = std::function<void(TJournalInfo&, core::TRunRequest&, FakeLibrary&)>;
    const auto limit = [](core::TRunRequest& r, const char* start, const char* count) {
        r.limit = true;
        r.startText = start;
        r.countText = count;
    };
    const struct {
        const char* what;
        SetUp setUp;
        std::int64_t maxRec; // -1: refused before connecting
        std::size_t records;
        int first, last, archive; // indexes and archive number of the requests
        QString message;
    } cases[] = {
        {"archive number 257",
         [](TJournalInfo& j, core::TRunRequest&, FakeLibrary&) { j.Num = 257; }, 3, 3, 0, 2, 1, ""},
        {"archive number -2", [](TJournalInfo& j, core::TRunRequest&, FakeLibrary&) { j.Num = -2; },
         3, 3, 0, 2, 254, ""},
        {"archive number not given",
         [](TJournalInfo& j, core::TRunRequest&, FakeLibrary&) { j.Num = -1; }, 3, 3, 0, 2, 255,
         ""},
        {"ring of 2147483647 records",
         [](TJournalInfo& j, core::TRunRequest&, FakeLibrary&) {
             j.Cycle = true;
             j.CountRec = 2147483647;
             j.Reg = 300001;
             j.RegOverflow = 300002;
         },
         -1, 0, 0, 0, 0,
         "Кольцевой журнал «Ж» на 2147483647 записей: запрос адресует не больше 65536 записей."},
        {"ring of 65536 records overflowed 65535 times",
         [](TJournalInfo& j, core::TRunRequest&, FakeLibrary& l) {
             j.Cycle = true;
             j.CountRec = 65536;
             j.Reg = 300001;
             j.RegOverflow = 300002;
             l.inputRegs[0] = 10;
             l.inputRegs[1] = 65535;
         },
         65536LL * 65535 + 10, 65536, 10, 9, 5, ""},
        {"catalogue count beyond 65536",
         [](TJournalInfo& j, core::TRunRequest&, FakeLibrary&) { j.CountRec = 100000; }, 100000,
         65536, 0, 65535, 5,
         "Записи с номерами больше 65535 не могут быть запрошены: читаются записи с 0 по 65535."},
        {"start 65530 of 70000",
         [&](TJournalInfo& j, core::TRunRequest& r, FakeLibrary&) {
             j.CountRec = 70000;
             limit(r, "65530", "10");
         },
         70000, 6, 65530, 65535, 5,
         "Записи с номерами больше 65535 не могут быть запрошены: читаются записи с 65530 по "
         "65535."},
        {"start -2147483647, count 2147483647 of 14",
         [&](TJournalInfo& j, core::TRunRequest& r, FakeLibrary& l) {
             j.Reg = 300001;
             l.inputRegs[0] = 14;
             limit(r, "-2147483647", "2147483647");
         },
         14, 0, 0, 0, 0,
         "Запись -2147483647 не может быть запрошена: номера записей — от 0 до 65535."},
        {"count register at the lowest reference",
         [](TJournalInfo& j, core::TRunRequest&, FakeLibrary&) { j.Reg = -2147483647 - 1; }, 0, 0,
         0, 0, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        lib = FakeLibrary();
        host = FakeHost();
        journal() = TJournalInfo();
        journal().Name = "Ж";
        journal().Num = 5;
        journal().CountRec = 3;
        core::TRunRequest r = request;
        c.setUp(journal(), r, lib);
        run.Run(r);
        EXPECT_EQ(host.messages,
                  c.message.isEmpty() ? std::vector<QString>{} : std::vector<QString>{c.message});
        if (c.maxRec < 0) {
            EXPECT_TRUE(lib.calls.empty());
            continue;
        }
        EXPECT_EQ(run.Result().MaxRec, c.maxRec);
        ASSERT_EQ(lib.requestedIndices.size(), c.records);
        if (c.records > 0) {
            EXPECT_EQ(lib.requestedIndices.front(), c.first);
            EXPECT_EQ(lib.requestedIndices.back(), c.last);
            EXPECT_EQ(lib.requestedArchives.front(), c.archive);
        }
        EXPECT_FALSE(lib.connected);
    }
}

TEST_F(ReadingRunTest, FailedRecordsGiveErrorRowsAndTheRunGoesOn) {
    journal().CountRec = 4;
    lib.failingRecords[1] = 1;
    lib.failingRecords[2] = 42;
    run.Run(request);
    EXPECT_EQ(lib.requestedIndices, Range(0, 3));
    EXPECT_EQ(sg.cell(2, 0), "1");
    EXPECT_EQ(sg.cell(2, 1), "Ошибка (Прибор не отвечает)");
    EXPECT_EQ(sg.cell(3, 1), "Ошибка (42)");
    EXPECT_EQ(decoder.fixedRequestIndices, (std::vector<int>{0, 3}));
    EXPECT_EQ(decoder.scrolls, 2); // after each error row
    // The error rows are marked as such; the run lists the failed records.
    for (int row = 1; row <= 4; ++row)
        EXPECT_EQ(sg.rowError(row), row == 2 || row == 3) << row;
    EXPECT_EQ(run.Result().failedRecords, (std::vector<std::int64_t>{1, 2}));
    // Each request is traced as its record's; the count read and after the run as no record's.
    EXPECT_EQ(lib.tracedRecords, (std::vector<std::int64_t>{0, 1, 2, 3}));
    EXPECT_EQ(lib.traceRecord, -1);
    EXPECT_EQ(host.recordProgress,
              (std::vector<std::pair<int, int>>{{0, 4}, {1, 4}, {2, 4}, {3, 4}, {4, 4}}));
    // A new run clears the marks with the rows.
    lib.failingRecords.clear();
    run.Run(request);
    EXPECT_FALSE(sg.rowError(2));
    EXPECT_TRUE(run.Result().failedRecords.empty());
}

TEST_F(ReadingRunTest, FailedCountReadEndsTheRun) {
    journal().Reg = 300001;
    lib.failingRegisters.insert(0);
    run.Run(request);
    EXPECT_EQ(host.countText, "Ошибка (Прибор не отвечает)");
    EXPECT_TRUE(lib.requestedIndices.empty());
    EXPECT_FALSE(lib.connected);
    EXPECT_FALSE(host.exportVisible);
    EXPECT_EQ(host.states.back(), core::TRunState::Idle);
    EXPECT_EQ(decoder.builds, 1);

    lib = FakeLibrary();
    journal().Cycle = true;
    journal().CountRec = 10;
    journal().RegOverflow = 300009;
    lib.failingRegisters.insert(8);
    run.Run(request);
    EXPECT_EQ(host.countText, "Ошибка (Прибор не отвечает)");
    EXPECT_FALSE(lib.connected);
}

TEST_F(ReadingRunTest, LoopByLayoutAndJournal) {
    device.Journal[1] = device.Journal[0];
    for (auto* j : {&device.Journal[0], &device.Journal[1]}) {
        j->CountRec = 3;
        j->typedev = tdMarlo;
    }
    run.Run(request);
    EXPECT_EQ(decoder.textRecords, 3);
    request.journalIndex = 1;
    run.Run(request);
    EXPECT_EQ(decoder.modeRecords, 3);
    EXPECT_EQ(sg.cell(3, 0), "2");

    // A layout the program does not know: the count is read, no record is requested.
    lib = FakeLibrary();
    device.Journal[1].typedev = static_cast<TTypeDev>(6);
    run.Run(request);
    EXPECT_TRUE(lib.requestedIndices.empty());
    EXPECT_EQ(host.countText, "Количество записей: 3");
    EXPECT_TRUE(host.exportVisible);
}

TEST_F(ReadingRunTest, StopAfterTheThirdRecord) {
    journal().CountRec = 100;
    lib.onRecord = [this](int idx) {
        if (idx == 2)
            run.Stop();
    };
    run.Run(request);
    EXPECT_EQ(lib.requestedIndices, Range(0, 2));
    EXPECT_EQ(sg.rowCount(), 4);
    EXPECT_FALSE(lib.connected);
    EXPECT_TRUE(run.GetArch());
    EXPECT_EQ(host.states.back(), core::TRunState::Idle);
    EXPECT_FALSE(run.IsActive());
}

// A run with requests in flight gives the rows, failures, stop and counts of one request at a
// time, and the link goes back to one request at a time after it; a gateway's fallback is told in
// the status line.
TEST_F(ReadingRunTest, WindowedRunsGiveTheRowsOfOneAtATime) {
    struct WindowLibrary : FakeLibrary {
        int window = 1, fallback = 0;
        std::vector<int> windows; // of each ReadRecords of records
        void SetRecordWindow(int w, int) override { window = w; }
        std::pair<int, int> RecordWindowReached() const override {
            return {window == 1 ? 0 : 4, fallback};
        }
        void ReadRecords(int addr, std::span<const core::TRecordAsk> asks,
                         const core::TRecordSink& sink) override {
            windows.push_back(window);
            IModbusLink::ReadRecords(addr, asks, sink);
        }
    };
    const auto rows = [](const core::TStringGrid& grid) {
        QStringList cells;
        for (int r = 0; r < grid.rowCount(); ++r)
            for (int c = 0; c < 5; ++c)
                cells << grid.cell(r, c);
        return cells;
    };
    const struct {
        const char* name;
        int stopAt, fallback;
        const char* status; // the last status text
    } cases[] = {
        {"failures", -1, 0, "6 (6)"},
        {"stop", 2, 0, "3 (6)"},
        {"fallback", -1, 1, "Шлюз отвечает только на один запрос за раз: чтение по одному запросу"},
    };
    journal().CountRec = 6;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<QStringList> grids;
        std::vector<core::TRunResult> results;
        for (const int window : {1, 0}) {
            WindowLibrary windowed;
            windowed.failingRecords = {{1, 1}, {4, 42}};
            windowed.fallback = c.fallback;
            core::TStringGrid grid{2, 5};
            decoder.sg = &grid;
            FakeHost windowHost;
            core::TReadingRun windowRun(windowed, decoder, grid, windowHost);
            windowed.onRecord = [&](int idx) {
                if (idx == c.stopAt)
                    windowRun.Stop();
            };
            request.tcpWindow = window;
            results.push_back(windowRun.Run(request));
            grids.push_back(rows(grid));
            EXPECT_EQ(windowed.windows, std::vector<int>{window});
            EXPECT_EQ(windowed.window, 1);
            if (window == 0) {
                EXPECT_EQ(windowHost.statusTexts.back(), QString::fromUtf8(c.status));
            }
        }
        EXPECT_EQ(grids[1], grids[0]);
        EXPECT_EQ(results[1].end, results[0].end);
        EXPECT_EQ(results[1].failedRecords, results[0].failedRecords);
        EXPECT_EQ(results[1].recordsRead, results[0].recordsRead);
        EXPECT_EQ(results[1].windowFallback, c.fallback);
        EXPECT_EQ(results[1].windowReached, 4);
    }
}

TEST_F(ReadingRunTest, SelectorChangesDuringTheRunDoNotReachIt) {
    journal().CountRec = 5;
    int passes = 0;
    host.onProcessEvents = [&] {
        // The user picks another journal layout and count while the run reads.
        journal().CountRec = 1;
        journal().typedev = tdMarlo;
        journal().Num = 9;
        ++passes;
    };
    run.Run(request);
    EXPECT_EQ(lib.requestedIndices, Range(0, 4));
    EXPECT_EQ(decoder.fixedRequestIndices.size(), 5u);
    EXPECT_EQ(lib.requestedArchives.back(), 5);
}

// How each kind of run ends, as its result tells it.
TEST_F(ReadingRunTest, ResultSaysHowTheRunEnded) {
    const struct {
        const char* what;
        std::function<void()> setUp;
        core::TRunEnd end;
        int read, failed, startrec, countRec, maxRec;
        QString message;
    } cases[] = {
        {"finished", [this] { lib.failingRecords[2] = 42; }, core::TRunEnd::Finished, 4, 1, 0, 5, 5,
         ""},
        {"stopped",
         [this] {
             lib.onRecord = [this](int idx) {
                 if (idx == 1)
                     run.Stop();
             };
         },
         core::TRunEnd::Stopped, 2, 0, 0, 5, 5, ""},
        {"refused", [this] { request.device = nullptr; }, core::TRunEnd::Refused, 0, 0, 0, 0, 0,
         "Не выбран тип прибора."},
        {"connect", [this] { lib.connectResult = false; }, core::TRunEnd::ConnectFailed, 0, 0, 0, 0,
         0, "Ошибка открытия СОМ-порта."},
        {"count",
         [this] {
             journal().Reg = 300001;
             lib.failingRegisters.insert(0);
         },
         core::TRunEnd::CountReadFailed, 0, 0, 0, 0, 0, "Ошибка (Прибор не отвечает)"},
        {"overflow",
         [this] {
             journal().Cycle = true;
             journal().RegOverflow = 300002;
             lib.failingRegisters.insert(1);
         },
         core::TRunEnd::OverflowReadFailed, 0, 0, 0, 0, 5, "Ошибка (Прибор не отвечает)"},
        {"start",
         [this] {
             request.limit = true;
             request.startText = "6";
             request.countText = "1";
         },
         core::TRunEnd::StartOutOfRange, 0, 0, 6, 5, 5,
         "Стартовый индекс больше количества записей"},
        {"limited",
         [this] {
             request.limit = true;
             request.startText = "1";
             request.countText = "2";
         },
         core::TRunEnd::Finished, 2, 0, 1, 2, 5, ""},
    };
    const core::TRunRequest base = request;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        lib = FakeLibrary();
        request = base;
        journal() = TJournalInfo();
        journal().Num = 1;
        journal().CountRec = 5;
        c.setUp();
        const core::TRunResult r = run.Run(request);
        EXPECT_EQ(r.end, c.end);
        EXPECT_EQ(r.message, c.message);
        EXPECT_EQ(r.recordsRead, c.read);
        EXPECT_EQ(r.recordsFailed, c.failed);
        EXPECT_EQ(r.startrec, c.startrec);
        EXPECT_EQ(r.CountRec, c.countRec);
        EXPECT_EQ(r.MaxRec, c.maxRec);
        EXPECT_EQ(r.offersExport(),
                  c.end == core::TRunEnd::Finished || c.end == core::TRunEnd::Stopped);
        EXPECT_EQ(host.exportVisible, r.offersExport());
        EXPECT_EQ(run.Result().end, r.end);
    }
}

// A run of journal 1 of `device` through the real decoder, into `sg` and `sgGr`.
core::TRunResult RunWithDecoder(const TDevInfo& device, FakeLibrary& lib, FakeHost& host,
                                core::TStringGrid& sg, core::TStringGrid& sgGr) {
    core::TJournalDecoder journalDecoder(sg);
    core::TRunDecoder decoder(journalDecoder, sgGr);
    core::TReadingRun run(lib, decoder, sg, host);
    core::TRunRequest request;
    request.device = &device;
    request.journalIndex = 0;
    request.portNumber = 1;
    request.devAddr = 7;
    return run.Run(request);
}

// A device of one journal of `records` records of the type "Уставка" (a float).
TDevInfo SetpointDevice(int archiveNumber, int records) {
    TDevInfo device;
    device.CountJournals = 1;
    device.Journal[0].CountRec = records;
    device.Journal[0].Num = archiveNumber;
    device.ListRecType.push_back({1, dtFloat, "Уставка", {}, std::nullopt});
    return device;
}

const std::uint8_t kSetpointRecord[] = {0, 1, 0x5F, 0xCD, 0, 1, 0x3F, 0xC0, 0, 0};

TEST(ReadingRunWithDecoder, RowsAndGroupsOfARealDecoder) {
    FakeLibrary lib;
    core::TStringGrid sg(2, 5), sgGr(2, 1);
    FakeHost host;
    lib.fillReply = [](int idx, std::uint8_t* p) {
        std::copy(std::begin(kSetpointRecord), std::end(kSetpointRecord), p + 2);
        if (idx == 2)
            p[7] = 9; // an ID without record type
    };
    RunWithDecoder(SetpointDevice(1, 3), lib, host, sg, sgGr);

    EXPECT_EQ(sg.rowCount(), 4);
    const QStringList row1 = {sg.cell(1, 0), sg.cell(1, 1), sg.cell(1, 2), sg.cell(1, 3),
                              sg.cell(1, 4)};
    EXPECT_EQ(row1, (QStringList{"0", "0.00.01 01:01:01", "Уставка", "", "1.5000000"}));
    EXPECT_EQ(sg.cell(3, 2), "9");
    EXPECT_EQ(sgGr.rowCount(), 3); // two groups
    EXPECT_EQ(sgGr.columnCount(), 3);
    EXPECT_EQ(sgGr.cell(1, 0), "Уставка");
    EXPECT_EQ(sgGr.cell(2, 0), "9");
    EXPECT_EQ(sgGr.cell(1, 2), "0.00.01 01:01:01\r1.5000000");
}

// Device files in the field give archive numbers above 255 (or negative) and expect their low 8
// bits to travel: the run reads such a journal without a word, with the requests and rows of the
// number that travels.
TEST(ReadingRunWithDecoder, ArchiveNumbersTravelByTheirLowEightBits) {
    const auto read = [](int archiveNumber) {
        FakeLibrary lib;
        core::TStringGrid sg(2, 5), sgGr(2, 1);
        FakeHost host;
        // The instrument's record holds the archive asked for as its value.
        lib.fillReply = [&lib](int, std::uint8_t* p) {
            std::copy(std::begin(kSetpointRecord), std::end(kSetpointRecord), p + 2);
            p[11] = std::uint8_t(lib.requestedArchives.back());
        };
        const core::TRunResult r =
            RunWithDecoder(SetpointDevice(archiveNumber, 2), lib, host, sg, sgGr);
        EXPECT_EQ(r.end, core::TRunEnd::Finished) << archiveNumber;
        EXPECT_TRUE(host.messages.empty()) << archiveNumber;
        QStringList cells;
        for (int row = 1; row < sg.rowCount(); ++row)
            for (int column = 0; column < 5; ++column)
                cells << sg.cell(row, column);
        return std::make_pair(lib.requests, cells);
    };
    const std::pair<int, int> cases[] = {{0x10A, 10}, {-1, 255}, {-2, 254}};
    for (const auto& [given, sent] : cases) {
        SCOPED_TRACE(given);
        const auto travelled = read(given);
        EXPECT_EQ(travelled, read(sent));
        ASSERT_EQ(travelled.first.size(), 2u);
        EXPECT_EQ(travelled.first[0],
                  QByteArray::fromHex("00") + char(sent) + QByteArray::fromHex("0001000000"));
    }
}

TEST(ReadingRunHelpers, RecordRequest) {
    EXPECT_EQ(core::RecordRequest(0x1FF, 0x12345),
              (std::array<std::uint8_t, 7>{0, 0xFF, 0, 1, 0, 0x23, 0x45}));
}

TEST_F(ReadingRunTest, DecoderNoticeIsShownOnceAfterTheRun) {
    journal().CountRec = 3;
    decoder.notice = "3 records without time";
    run.Run(request);
    EXPECT_EQ(host.messages, std::vector<QString>{"3 records without time"});
    EXPECT_FALSE(lib.connected);
}

} // namespace
