// SPDX-License-Identifier: MIT
#pragma once

// A reading run as the window makes it, without the window: the real OmbrelDll.so bound with
// dlopen, the real decoder and grids, and a host that records what the window would show. The
// instrument is simulated on a pseudo-terminal that the library reaches as COM201.
#include "app/core/accesslibrarybinding.h"
#include "app/core/catalogue.h"
#include "app/core/journaldecoder.h"
#include "app/core/readingrun.h"
#include "app/core/stringgrid.h"
#include "tests/simulatorfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <chrono>
#include <dlfcn.h>
#include <functional>
#include <memory>
#include <vector>

class RecordingHost : public core::IRunHost {
public:
    using Clock = std::chrono::steady_clock;

    void ShowMessage(const QString& text, const QString&) override { messages << text; }
    void SetExportVisible(bool visible) override { exportVisible = visible; }
    void SetStatusText(const QString& text) override { status = text; }
    void SetCountText(const QString& text) override { countText = text; }
    void SetProgressMaximum(int maximum) override { progressMax = maximum; }
    void SetProgressPosition(int position) override { progress = position; }
    void SetRunState(core::TRunState state) override { states.push_back(state); }
    void BetweenCalls() override {
        const auto now = Clock::now();
        if (calls > 0)
            longestGap = std::max(longestGap, now - lastCall);
        lastCall = now;
        ++calls;
        QCoreApplication::processEvents();
        if (onEvents)
            onEvents(calls);
    }

    QStringList messages;
    bool exportVisible = false;
    QString status, countText;
    int progressMax = 0, progress = 0;
    std::vector<core::TRunState> states;
    // Called after pending events are handled, with the number of calls so far.
    std::function<void(int)> onEvents;
    // The longest time between two calls: the longest the window would stay unresponsive.
    Clock::duration longestGap{};
    Clock::time_point lastCall{};
    int calls = 0;
};

// Descriptors of this process open on a device path (the link keeps one of its own).
inline int OpenDescriptors(const QString& path) {
    int n = 0;
    const QString target = QFileInfo(path).canonicalFilePath();
    for (const QFileInfo& fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System))
        if (!target.isEmpty() && fd.symLinkTarget() == target)
            ++n;
    return n;
}

class ReadingRunFixture : public ::testing::Test {
protected:
    static constexpr int kCom = 201;
    // Raised through JOURNAL_TEST_ANSWER_MS for slow runs (valgrind).
    const int kAnswerMs = qEnvironmentVariableIsSet("JOURNAL_TEST_ANSWER_MS")
                              ? qEnvironmentVariableIntValue("JOURNAL_TEST_ANSWER_MS")
                              : 300;
    static constexpr int kCharMs = 20;
    static constexpr int kBaud = 115200;

    // The library is loaded once for the process, as the window does.
    static core::TAccessLibraryBinding& Library() {
        static core::TAccessLibraryBinding* binding = [] {
            auto* b = new core::TAccessLibraryBinding;
            // SetUp checks isComplete() and reports loadError().
            (void)b->LoadAccessLibrary(QStringLiteral(JOURNAL_BIN_DIR), nullptr);
            return b;
        }();
        return *binding;
    }

    void SetUp() override {
        ASSERT_TRUE(Library().isComplete()) << Library().loadError().toStdString();
        // Short answer times keep the matrix fast; the bounds below scale with them.
        using TSetTimeouts = std::int32_t (*)(std::int32_t, std::int32_t);
        const auto setTimeouts =
            reinterpret_cast<TSetTimeouts>(dlsym(Library().FHandle, "SetTimeouts"));
        ASSERT_NE(setTimeouts, nullptr);
        setTimeouts(kAnswerMs, kCharMs);
    }

    void StartInstrument(const sim::Instrument& instrument) {
        QString error;
        simulator = fixture::StartSimulator(instrument, {.com = kCom, .baud = kBaud}, &error);
        ASSERT_TRUE(simulator) << error.toStdString();
        request.portNumber = kCom;
        request.speed = kBaud;
        request.devAddr = instrument.address;
        request.answerTime = kAnswerMs;
    }

    // Runs with a fresh host and returns it.
    RecordingHost& Run(std::function<void(int)> onEvents = {}) {
        host = std::make_unique<RecordingHost>();
        host->onEvents = std::move(onEvents);
        sg = std::make_unique<core::TStringGrid>(2, 5);
        sgGr = std::make_unique<core::TStringGrid>(2, 1);
        decoder = std::make_unique<core::TJournalDecoder>(*sg);
        runDecoder = std::make_unique<core::TRunDecoder>(*decoder, *sgGr);
        run = std::make_unique<core::TReadingRun>(Library(), *runDecoder, *sg, *host);
        run->Run(request);
        return *host;
    }

    std::vector<QString> Row(int row) const {
        std::vector<QString> cells;
        for (int c = 0; c < 5; ++c)
            cells.push_back(sg->cell(row, c));
        return cells;
    }

    std::unique_ptr<sim::Simulator> simulator;
    core::TRunRequest request;
    std::unique_ptr<RecordingHost> host;
    std::unique_ptr<core::TStringGrid> sg, sgGr;
    std::unique_ptr<core::TJournalDecoder> decoder;
    std::unique_ptr<core::TRunDecoder> runDecoder;
    std::unique_ptr<core::TReadingRun> run;
};
