// SPDX-License-Identifier: MIT
#pragma once

#include "archive/archivetypes.h"
#include "archive/journalarchive.h"

#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace archive {

// The writer's thread may wait longer than a query for another program's lock (a merge of a
// long reading, say): the reading never waits for it, only Finish does.
inline constexpr int kWriterBusyTimeoutMs = 10000;

struct TWriterOptions {
    int busyTimeoutMs = kWriterBusyTimeoutMs;
    // A commit at least this often: a killed program or a pulled plug loses at most this much.
    int commitRecords = 500;
    int commitIntervalMs = 1000;
};

struct TWriterOutcome {
    std::optional<qint64> seriesId; // where the reading's records are
    std::optional<qint64> readingId;
    bool continued = false; // a full reading continued an older series
    qint64 stored = 0;      // records committed
    bool failed = false;    // the archive failed; error() says why
};

// Stores one reading while it runs, without slowing it down: the reading's thread only queues
// records; a thread of the writer opens the archive and commits them in batches. When the
// archive fails (cannot be opened, locked past the busy timeout, disk full, read-only, server
// gone), the writer reports one error and stores nothing more; the reading goes on.
//
// The writer is used from one thread: Begin, Append..., Finish.
class TArchiveWriter {
public:
    explicit TArchiveWriter(QString url, TWriterOptions options = {});
    ~TArchiveWriter();
    TArchiveWriter(const TArchiveWriter&) = delete;
    TArchiveWriter& operator=(const TArchiveWriter&) = delete;

    // Starts the reading: into `intoSeries` (an incremental reading), or into a series of its own
    // that Finish may merge into the one the reading continues (a full reading).
    void Begin(const TReadingInfo& info, std::optional<qint64> intoSeries = std::nullopt);
    // An answered record: the 256-byte reply buffer of function 65.
    void AppendAnswer(qint64 number, const std::uint8_t* reply);
    void AppendRecord(qint64 number, int code, QByteArray bytes);
    void AppendFailed(qint64 number, int code) { AppendRecord(number, code, {}); }
    // Commits what is queued, finishes the reading and waits for the writer's thread.
    TWriterOutcome Finish();
    // The same without waiting: a window may ask, go on handling events until Finished(), then
    // call Finish, which returns at once.
    void RequestFinish();
    bool Finished() const;

    // The archive's error the first time it is asked after a failure; nullopt otherwise.
    std::optional<QString> TakeError();
    bool failed() const;

private:
    void Work(TReadingInfo info, std::optional<qint64> intoSeries);
    bool WaitForBatch(std::vector<TArchivedRecord>& batch);
    void SetFailed(const QString& error);

    const QString m_url;
    const TWriterOptions m_options;
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<TArchivedRecord> m_queue;
    std::chrono::steady_clock::time_point m_firstQueued;
    bool m_finishing = false;
    bool m_done = false; // the writer's thread has ended
    bool m_failed = false;
    bool m_errorTaken = false;
    QString m_error;
    TWriterOutcome m_outcome;
};

} // namespace archive
