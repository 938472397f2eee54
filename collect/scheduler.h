// SPDX-License-Identifier: MIT
#pragma once

#include "archive/archivetypes.h"
#include "collect/instrumentlist.h"
#include "collect/instrumentreader.h"

#include <QDateTime>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// The scheduler of lines: a thread per line with the line's reader, the instruments of a line
// read one after another, the lines in parallel up to a number of jobs. Each instrument is read
// every `Every`; one that fails is tried again after a pause that doubles up to an hour. With an
// archive the readings take a lease on their instrument (a PostgreSQL archive shared by several
// collectors: one reads it, the others see it read and wait for its next reading) and keep the
// instrument's state there.
namespace collect {

// The pause before the n-th try after n failed readings in a row: `first`, doubling, at most
// `longest`.
struct TBackoff {
    std::chrono::milliseconds first{std::chrono::seconds(30)};
    std::chrono::milliseconds longest{std::chrono::hours(1)};
    std::chrono::milliseconds After(int failures) const;
};

struct TSchedulerOptions {
    int jobs = 0;      // lines read at once; 0: all of them
    bool once = false; // every instrument once, then the lines end
    // The archive the instruments' state and leases are kept in; empty: none (they are read on
    // their schedule alone).
    QString archiveUrl;
    QString collector; // this collector's name in leases and states
    std::chrono::milliseconds lease{std::chrono::minutes(2)};
    TBackoff backoff;
};

// An instrument that --once did not read, and why.
struct TOnceFailure {
    QString instrument;
    QString line;
    QString error;
};

class TScheduler {
public:
    // `log` takes one line per reading; it is called from the lines' threads, one at a time.
    TScheduler(TInstrumentList list, TLineReaderFactory readers, TCollectorMetrics& metrics,
               TSchedulerOptions options, std::function<void(const QString&)> log);
    // Stops the lines and waits for them.
    ~TScheduler();
    TScheduler(const TScheduler&) = delete;
    TScheduler& operator=(const TScheduler&) = delete;

    void Start();
    // Asks every line to end: readings stop between two requests and store what they read.
    void Stop();
    // Waits until every line's thread has ended.
    void Wait();
    // Every line has ended (--once: every instrument was read or failed).
    bool Finished() const { return m_running == 0; }
    // --once: the instruments not read, in list order (after Wait).
    std::vector<TOnceFailure> Failures() const;

private:
    struct TPlanned;
    class TLineArchive;
    void RunLine(std::size_t line);
    // Reads the instrument of `slot` (or sees another collector read it); plans its next reading.
    void Attend(TPlanned& slot, ILineReader& reader, TLineArchive& archive, const TLine& line);
    void Record(TPlanned& slot, const TLine& line, const TReadingOutcome& outcome,
                const std::optional<archive::TInstrumentState>& before, const QDateTime& began,
                double seconds, TLineArchive& archive);
    bool TakeJob();
    void GiveJob();
    // Sleeps until `until` or until Stop; false when stopped.
    bool SleepUntil(const QDateTime& until);

    const TInstrumentList m_list;
    const TLineReaderFactory m_readers;
    TCollectorMetrics& m_metrics;
    const TSchedulerOptions m_options;
    const std::function<void(const QString&)> m_log;
    const QDateTime m_started = QDateTime::currentDateTimeUtc();

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::atomic<bool> m_stop = false;
    std::atomic<int> m_running = 0;
    int m_freeJobs = 0;
    std::vector<std::thread> m_threads;
    std::vector<TOnceFailure> m_failures; // by instrument index; instrument empty: read
    std::mutex m_logMutex;
};

} // namespace collect
