// SPDX-License-Identifier: MIT
// The scheduler of lines with readers that only take time: which readings overlap, and when a
// failing instrument is tried again.
#include "collect/metrics.h"
#include "collect/scheduler.h"
#include "qstringprinter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <thread>

using namespace collect;
using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

namespace {

struct TReadingSpan {
    QString instrument;
    int line;
    TClock::time_point begin, end;
    bool overlaps(const TReadingSpan& b) const { return begin < b.end && b.begin < end; }
};

// Every reading takes 200 ms; an instrument named "сбой…" fails at once.
struct TTimedReader : ILineReader {
    int line;
    std::mutex& mutex;
    std::vector<TReadingSpan>& spans;
    TTimedReader(int l, std::mutex& m, std::vector<TReadingSpan>& s)
        : line(l), mutex(m), spans(s) {}
    TReadingOutcome Read(const TInstrument& i, const std::function<bool()>&) override {
        const bool fails = i.name.startsWith(QStringLiteral("сбой"));
        TReadingSpan span{i.name, line, TClock::now(), {}};
        std::this_thread::sleep_for(fails ? 0ms : 200ms);
        span.end = TClock::now();
        std::lock_guard lock(mutex);
        spans.push_back(span);
        return {!fails, false, 1, 0, fails ? QStringLiteral("нет ответа") : QString()};
    }
    void Close() override {}
};

// `lines` lines with the instruments named in each.
TInstrumentList ListOf(const std::vector<std::vector<const char*>>& lines) {
    TInstrumentList list;
    for (std::size_t l = 0; l < lines.size(); ++l) {
        TLine line;
        line.key = QStringLiteral("line%1").arg(l);
        for (const char* name : lines[l]) {
            TInstrument i;
            i.name = QString::fromUtf8(name);
            i.line = int(l);
            i.every = 1s;
            line.instruments << int(list.instruments.size());
            list.instruments.push_back(i);
        }
        list.lines.push_back(line);
    }
    return list;
}

struct TRun {
    std::vector<TReadingSpan> spans;
    std::vector<TOnceFailure> failures;
};

// Runs the lines of `list` with readers of 200 ms, to their end or for `runFor`.
TRun RunScheduler(const TInstrumentList& list, TSchedulerOptions options,
                  std::chrono::milliseconds runFor = 0ms) {
    std::mutex mutex;
    TRun run;
    TCollectorMetrics metrics;
    TScheduler scheduler(
        list,
        [&](const TLine& line, TCollectorMetrics&) {
            return std::make_unique<TTimedReader>(line.key.mid(4).toInt(), mutex, run.spans);
        },
        metrics, options, [](const QString&) {});
    scheduler.Start();
    if (runFor > 0ms) {
        std::this_thread::sleep_for(runFor);
        const auto stopAsked = TClock::now();
        scheduler.Stop();
        scheduler.Wait();
        EXPECT_LT(TClock::now() - stopAsked, 500ms); // a reading of 200 ms at most, then it ends
    }
    scheduler.Wait();
    run.failures = scheduler.Failures();
    return run;
}

} // namespace

TEST(Scheduler, LinesRunInParallelUpToTheJobsAndALinesInstrumentsInTurn) {
    const TInstrumentList list = ListOf({{"a1", "a2", "a3"}, {"b1", "b2"}, {"c1", "сбой c2"}});
    // The jobs and the most readings at once: one per line at most, never two of one line.
    for (const auto& [jobs, most] : {std::pair{0, 3}, std::pair{2, 2}, std::pair{1, 1}}) {
        SCOPED_TRACE(jobs);
        TSchedulerOptions options;
        options.once = true;
        options.jobs = jobs;
        const TRun run = RunScheduler(list, options);
        ASSERT_EQ(run.spans.size(), list.instruments.size());
        int atOnceMost = 0;
        for (const TReadingSpan& a : run.spans) {
            int atOnce = 0;
            for (const TReadingSpan& b : run.spans) {
                atOnce += a.begin >= b.begin && a.begin < b.end ? 1 : 0;
                EXPECT_TRUE(&a == &b || a.line != b.line || !a.overlaps(b))
                    << a.instrument.toStdString() << " " << b.instrument.toStdString();
            }
            atOnceMost = std::max(atOnceMost, atOnce);
        }
        EXPECT_EQ(atOnceMost, most);
        ASSERT_EQ(run.failures.size(), 1u);
        EXPECT_EQ(run.failures[0].instrument, QStringLiteral("сбой c2"));
        EXPECT_EQ(run.failures[0].error, QStringLiteral("нет ответа"));
    }
}

TEST(Scheduler, AFailingInstrumentBacksOffWithoutHoldingUpItsLine) {
    TSchedulerOptions options;
    options.backoff = {100ms, 400ms};
    const TInstrumentList list = ListOf({{"сбой", "a2"}, {"b1"}});
    const TRun run = RunScheduler(list, options, 2500ms);

    std::map<QString, std::vector<TClock::time_point>> begins;
    for (const TReadingSpan& s : run.spans)
        begins[s.instrument].push_back(s.begin);
    // The instruments that answer are read every second, the failing one's neighbour too.
    EXPECT_EQ(begins["a2"].size(), 3u);
    EXPECT_EQ(begins["b1"].size(), 3u);
    // The failing one again after 100, 200, 400, 400 ... ms (a reading of its neighbour may
    // delay a try by its 200 ms).
    const auto& tries = begins["сбой"];
    ASSERT_GE(tries.size(), 5u);
    const std::chrono::milliseconds expected[] = {100ms, 200ms, 400ms, 400ms};
    for (std::size_t k = 0; k < std::size(expected); ++k) {
        const auto gap =
            std::chrono::duration_cast<std::chrono::milliseconds>(tries[k + 1] - tries[k]);
        EXPECT_GE(gap, expected[k] - 10ms) << k;
        EXPECT_LE(gap, expected[k] + 260ms) << k;
    }
}
