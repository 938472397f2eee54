// SPDX-License-Identifier: MIT
#include "app/core/runengine.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

namespace {

// Each step changes the list; after each, the copy that got the batches must equal it.
TEST(BatchingGridTest, CopyFollowsTheList) {
    using Step = std::function<void(core::IStringGrid&)>;
    const struct {
        const char* what;
        std::vector<Step> steps;
    } cases[] = {
        {"rows appended",
         {[](core::IStringGrid& g) {
              g.setRowCount(4);
              g.setCell(2, 1, "a");
              g.setCell(3, 4, "b");
          },
          [](core::IStringGrid& g) {
              g.setRowCount(6);
              g.setCell(5, 0, "c");
              g.setRowError(4, true);
          }}},
        {"a new run: cleared, shrunk, grown again",
         {[](core::IStringGrid& g) {
              g.setRowCount(8);
              for (int r = 0; r < 8; ++r)
                  g.setCell(r, 2, QString::number(r));
              g.setRowError(6, true);
          },
          [](core::IStringGrid& g) {
              g.clearCells(1);
              g.setRowCount(2);
              g.setRowCount(5);
              g.setCell(4, 0, "x");
          }}},
        {"columns narrowed, an error mark taken back",
         {[](core::IStringGrid& g) {
              g.setRowCount(3);
              g.setCell(1, 4, "wide");
              g.setRowError(2, true);
          },
          [](core::IStringGrid& g) {
              g.setColumnCount(3);
              g.setRowError(2, false);
          }}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        core::TBatchingGrid list(2, 5);
        core::TStringGrid copy(2, 5);
        for (const Step& step : c.steps) {
            step(list);
            core::ApplyGridBatch(list.TakeBatch(), copy);
            ASSERT_EQ(copy.rowCount(), list.rowCount());
            ASSERT_EQ(copy.columnCount(), list.columnCount());
            for (int r = 0; r < list.rowCount(); ++r) {
                EXPECT_EQ(copy.rowError(r), list.rowError(r)) << r;
                for (int col = 0; col < list.columnCount(); ++col)
                    EXPECT_EQ(copy.cell(r, col), list.cell(r, col)) << r << "," << col;
            }
        }
        EXPECT_TRUE(list.TakeBatch().empty());
    }
}

// A journal of `records` fixed-layout records that answers each after `delay`; every call notes
// its thread.
class SlowLink : public core::IModbusLink {
public:
    std::chrono::milliseconds delay{0};
    std::set<std::thread::id> threads;
    std::atomic<int> records = 0;

    bool Connect(int, int, int) override { return Note(); }
    void Disconnect() override { Note(); }
    int GetDevName(int, std::uint8_t*, int) override { return Note() ? 0 : 1; }
    int ReadInputRegister(int, int, int, int, std::uint8_t* p) override {
        Note();
        p[0] = 50;
        p[1] = 0;
        return 0;
    }
    int ReadHoldingRegister(int a, int r, int c, int t, std::uint8_t* p) override {
        return ReadInputRegister(a, r, c, t, p);
    }
    int AnyFunction(int, int, int, std::uint8_t* p) override {
        Note();
        std::this_thread::sleep_for(delay);
        ++records;
        p[0] = 65;
        p[1] = 20;
        for (int i = 2; i < 22; ++i)
            p[i] = 0;
        return 0;
    }
    void Retries(int) override { Note(); }

private:
    bool Note() {
        const std::lock_guard lock(m_mutex);
        threads.insert(std::this_thread::get_id());
        return true;
    }
    std::mutex m_mutex;
};

// The window's side: what reached it, in order, and on which thread.
class RecordingHost : public core::IRunHost {
public:
    QStringList calls;
    bool mainThreadOnly = true;
    std::function<void()> onMessage;

    void ShowMessage(const QString& text, const QString&) override {
        Note("message " + text);
        if (onMessage)
            onMessage();
    }
    void SetExportVisible(bool v) override { Note(v ? "export" : "no export"); }
    void SetStatusText(const QString& t) override { status = t; }
    void SetCountText(const QString& t) override { Note(t); }
    void SetProgressMaximum(int m) override { maximum = m; }
    void SetProgressPosition(int p) override { position = p; }
    void SetRunState(core::TRunState s) override { Note(QString("state %1").arg(int(s))); }
    void BetweenCalls() override { ++updates; }
    QString status;
    int maximum = -1, position = -1, updates = 0;

private:
    void Note(const QString& call) {
        mainThreadOnly = mainThreadOnly && QThread::currentThread() == qApp->thread();
        calls.append(call);
    }
};

class RunEngineTest : public ::testing::Test {
protected:
    RunEngineTest() {
        device.Name = "Прибор";
        device.CountJournals = 1;
        device.Journal[0].Num = 5;
        device.Journal[0].typedev = tdPlain;
        device.Journal[0].CountRec = 40;
        request.device = &device;
        request.journalIndex = 0;
        request.portNumber = 3;
    }
    // Turns the event loop until the run has ended (at most 10 s).
    bool WaitForEnd(core::TRunEngine& engine) {
        QElapsedTimer clock;
        clock.start();
        while (engine.IsActive() && clock.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return !engine.IsActive();
    }

    SlowLink link;
    RecordingHost host;
    core::TStringGrid list{2, 5};
    TDevInfo device;
    core::TRunRequest request;
};

TEST_F(RunEngineTest, RunsOnItsThreadAndTheWindowGetsEverythingInOrder) {
    core::TRunEngine engine(link, host, list, 0);
    ASSERT_TRUE(engine.Start(request));
    EXPECT_FALSE(engine.Start(request)) << "one run at a time";
    ASSERT_TRUE(WaitForEnd(engine));
    EXPECT_EQ(engine.Result().end, core::TRunEnd::Finished);
    EXPECT_EQ(list.rowCount(), 41);
    EXPECT_EQ(list.cell(40, 0), "39");
    EXPECT_EQ(host.calls, (QStringList{"no export", "state 1", "state 2", "Количество записей: ...",
                                       "Количество записей: 40", "export", "state 0"}));
    EXPECT_EQ(host.status, "40 (40)");
    EXPECT_EQ(host.position, 40);
    EXPECT_EQ(host.maximum, 40);
    EXPECT_TRUE(host.mainThreadOnly);
    ASSERT_EQ(link.threads.size(), 1u);
    EXPECT_NE(*link.threads.begin(), std::this_thread::get_id());
}

TEST_F(RunEngineTest, StopAskedBeforeTheWorkerBeganStillStopsTheRun) {
    link.delay = std::chrono::milliseconds(5);
    core::TRunEngine engine(link, host, list, 0);
    ASSERT_TRUE(engine.Start(request));
    engine.Stop(); // before the worker has connected
    ASSERT_TRUE(WaitForEnd(engine));
    EXPECT_EQ(engine.Result().end, core::TRunEnd::Stopped);
    EXPECT_LE(link.records, 2);
    EXPECT_EQ(host.calls.last(), "state 0");
}

TEST_F(RunEngineTest, WhatTheRunDidAfterAMessageWaitsForTheMessageBox) {
    request.limit = true;
    request.startText = "100"; // after the last record
    request.countText = "5";
    core::TRunEngine engine(link, host, list, 0);
    int callsWhileShown = -1;
    host.onMessage = [&] { // a modal box turns an event loop of its own
        const qsizetype before = host.calls.size();
        QEventLoop loop;
        QTimer::singleShot(100, &loop, &QEventLoop::quit);
        loop.exec();
        callsWhileShown = int(host.calls.size() - before);
    };
    ASSERT_TRUE(engine.Start(request));
    ASSERT_TRUE(WaitForEnd(engine));
    EXPECT_EQ(callsWhileShown, 0);
    EXPECT_EQ(host.calls.last(), "state 0");
}

TEST_F(RunEngineTest, DestroyedDuringARunStopsAndJoins) {
    link.delay = std::chrono::milliseconds(20);
    QElapsedTimer clock;
    {
        core::TRunEngine engine(link, host, list, 40);
        ASSERT_TRUE(engine.Start(request));
        while (link.records < 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        clock.start();
    }
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_LT(link.records, 40);
}

} // namespace
