// SPDX-License-Identifier: MIT
#pragma once

#include "archive/archivetypes.h"
#include "archive/journalarchive.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <thread>

namespace archive {

// The writer's thread may wait longer than a query for another program's lock (a merge of a
// long reading, say): the reading never waits for it, only Finish does.
inline constexpr int kWriterBusyTimeoutMs = 10000;
// Once the reading has ended, the writer has this long to commit the rest and finish the reading.
// An archive that has not confirmed it by then (a server that stopped answering, a lock held
// by another program) costs those records, never the reading: Finish ends the writer's
// connection and says that the archive did not confirm the last records.
inline constexpr int kWriterFinishDeadlineMs = 5000;
// A stop asked for while Finish waits (a signal to journal-read) leaves the writer this long.
inline constexpr int kWriterStopGraceMs = 1000;

struct TWriterOptions {
    int busyTimeoutMs = kWriterBusyTimeoutMs;
    // A commit at least this often: a killed program or a pulled plug loses at most this much.
    int commitRecords = 500;
    int commitIntervalMs = 1000;
    int finishDeadlineMs = kWriterFinishDeadlineMs;
};

struct TWriterOutcome {
    std::optional<qint64> seriesId; // where the reading's records are
    std::optional<qint64> readingId;
    bool continued = false;   // a full reading continued an older series
    qint64 stored = 0;        // records committed
    bool failed = false;      // the archive failed; error() says why
    bool unconfirmed = false; // ... by not confirming the last records within the deadline
};

// Stores one reading while it runs, without slowing it down: the reading's thread only queues
// records; a thread of the writer opens the archive and commits them in batches. When the
// archive fails (cannot be opened, locked past the busy timeout, disk full, read-only, server
// gone), the writer reports one error and stores nothing more; the reading goes on.
//
// The writer is used from one thread: Begin, Append..., Finish. No call waits longer than the
// finish deadline: a writer's thread that has not ended by then (and does not end at once when
// its connection is cut) is left to end on its own, holding only what it shares with nobody.
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
    // The reading was stopped before the end of its range: it is finished as stopped. Called
    // before Finish or RequestFinish.
    void SetStopped();
    // Commits what is queued, finishes the reading and waits for the writer's thread, at most
    // until the finish deadline (counted from the first RequestFinish); when `stopRequested`
    // turns true meanwhile, at most kWriterStopGraceMs more.
    TWriterOutcome Finish(const std::function<bool()>& stopRequested = {});
    // The same without waiting: a window may ask, go on handling events until Finished(), then
    // call Finish, which returns at once.
    void RequestFinish();
    // The writer's thread has ended, or the finish deadline has passed.
    bool Finished() const;

    // The archive's error the first time it is asked after a failure; nullopt otherwise.
    std::optional<QString> TakeError();
    bool failed() const;

    // Writers' threads left to end on their own that are still running. A program that ends
    // while there are some ends without its static destructors (std::_Exit), which such a
    // thread, still inside the database driver, could meet.
    static int Abandoned();

private:
    struct TState;
    static void Work(const std::shared_ptr<TState>& state, const TReadingInfo& info,
                     std::optional<qint64> intoSeries);
    static void Store(TState& state, TJournalArchive& archive, TReadingHandle& reading);

    std::shared_ptr<TState> m_state;
    std::thread m_thread;
};

} // namespace archive
