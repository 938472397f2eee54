// SPDX-License-Identifier: MIT
#pragma once

#include "archive/archivelocation.h"
#include "archive/archivetypes.h"

#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <optional>
#include <vector>

class QSqlDatabase;
class QSqlError;

namespace archive {

// How long a statement waits for another program's lock before it fails.
inline constexpr int kDefaultBusyTimeoutMs = 3000;

// The longest a statement may run on a PostgreSQL server before the server cancels it.
inline constexpr int kStatementTimeoutMs = 30000;

enum class TOpenMode {
    Write,    // creates a missing archive and brings its schema up to date
    ReadOnly, // only an archive that exists, never written (a file of mode 0444, a read-only mount)
};

// A reading being written: its ids and what it has stored so far.
struct TReadingHandle {
    TReadingInfo info;
    qint64 readingId = 0; // 0 until the first records are stored
    qint64 seriesId = 0;  // of its own series: 0 until the first records are stored
    // The reading made its own series at its start; when it finishes, the series is merged into
    // an older one of the same journal whose records it agrees with (see FinishReading).
    bool ownSeries = true;
    std::optional<qint64> firstNumber;
    std::optional<qint64> lastNumber;
    qint64 records = 0;
    qint64 failed = 0; // of `records`
};

struct TFinishOutcome {
    std::optional<qint64> seriesId; // nullopt: the reading stored no record and left nothing
    std::optional<qint64> readingId;
    bool continued = false; // a full reading continued an older series
};

// One connection to a journal archive. Every method reports a failure by its return value and
// error() (a Russian text); none throws. A connection belongs to the thread that opened it.
//
// Every value reaches the database as a bound value; the SQL texts are constants.
class TJournalArchive {
public:
    TJournalArchive();
    ~TJournalArchive();
    TJournalArchive(const TJournalArchive&) = delete;
    TJournalArchive& operator=(const TJournalArchive&) = delete;

    // Opens the archive. Write: an SQLite file and its folder are created when missing (WAL
    // journal), and the schema is brought up to date. ReadOnly: only an archive that is there;
    // notFound() then tells that there is none at that URL.
    bool Open(const QString& url, int busyTimeoutMs = kDefaultBusyTimeoutMs,
              TOpenMode mode = TOpenMode::Write);
    void Close();
    bool isOpen() const { return m_open; }
    bool isPostgres() const { return m_location.engine == TArchiveEngine::PostgreSQL; }
    const QString& error() const { return m_error; }
    // The last Open found no archive at its URL (ReadOnly only).
    bool notFound() const { return m_notFound; }
    // The connection in abortable connections (PostgreSQL): another thread may end a wait on a
    // server that does not answer. 0 for none.
    int abortHandle() const { return m_abortHandle; }

    // --- Queries -----------------------------------------------------------------------------
    // Every series, oldest first.
    std::optional<std::vector<TSeriesSummary>> ListSeries();
    std::optional<TSeriesSummary> Series(qint64 seriesId);
    // The series of a journal, most recently read first, at most `limit`; with `port`, only those
    // whose last reading was made at that port and `address` (one instrument's, where many of a
    // type share the archive).
    std::optional<std::vector<TSeriesSummary>> Candidates(const TJournalKey& journal, int limit = 3,
                                                          const QString& port = {},
                                                          int address = 0);
    // Whether the archive holds a series of the journal: one indexed lookup, where Candidates
    // counts each series' records (the window asks this after every reading and device change).
    std::optional<bool> HasSeries(const TJournalKey& journal);
    // The readings of a series, oldest first.
    std::optional<std::vector<TReadingSummary>> Readings(qint64 seriesId);
    // The stored records numbered first..last, in number order.
    std::optional<std::vector<TArchivedRecord>> Records(qint64 seriesId, qint64 first, qint64 last);
    // The numbers of first..last that the series holds answers for, in order.
    std::optional<std::vector<qint64>> AnsweredNumbers(qint64 seriesId, qint64 first, qint64 last);
    // The numbers of first..last that the series lacks or holds only as failed, in order.
    std::optional<std::vector<qint64>> MissingOrFailed(qint64 seriesId, qint64 first, qint64 last);
    bool DeleteSeries(qint64 seriesId);
    // Problems of the stored data (records outside their reading's series or range, records
    // without series, answers without bytes); empty when there is none.
    std::optional<QStringList> CheckConsistency();

    // --- Collectors: leases and the state of their instruments ---------------------------------
    // A lease gives one collector (`holder`, a name unique to it) an instrument for `ttlMs` from
    // now by the database's clock, so that collectors on machines whose clocks differ agree.
    // TakeLease: true when it is the holder's now (it was free, expired, or the holder's own,
    // which is then renewed); false when another holder has it unexpired or is taking it at this
    // moment (PostgreSQL: the row is locked, SELECT ... FOR UPDATE SKIP LOCKED passes it by);
    // nullopt when the archive failed (error()).
    std::optional<bool> TakeLease(const QString& instrument, const QString& holder, int ttlMs);
    // Extends the holder's lease; false when it is no longer the holder's (it expired and another
    // took it).
    std::optional<bool> RenewLease(const QString& instrument, const QString& holder, int ttlMs);
    // Gives the lease up at once, when it is still the holder's.
    bool ReleaseLease(const QString& instrument, const QString& holder);
    // The holder of an instrument's unexpired lease; empty when none holds it.
    std::optional<QString> LeaseHolder(const QString& instrument);
    // Keeps the state of an instrument (replacing what was kept of it).
    bool StoreInstrumentState(const TInstrumentState& state);
    // Every instrument's state, by line and name; none in an archive older than the collector.
    std::optional<std::vector<TInstrumentState>> InstrumentStates();
    // The series each journal of the instrument's latest reading went into (journal number,
    // series), of its readings stored with its port, address and device.
    std::optional<std::vector<std::pair<int, qint64>>>
    InstrumentSeries(const TInstrumentState& state);

    // --- Writing (the archive writer uses these; one reading at a time) ----------------------
    // Begins a reading: into `intoSeries` (an incremental reading that identified its series),
    // or into a new series of its own (a full reading). Its rows are made with its first
    // records, in the same transaction.
    std::optional<TReadingHandle> BeginReading(const TReadingInfo& info,
                                               std::optional<qint64> intoSeries);
    // Stores records in one transaction. An answer replaces a failed record of the same number;
    // a failed request never replaces an answer.
    bool StoreRecords(TReadingHandle& reading, std::vector<TArchivedRecord> records);
    // Marks the reading finished, or stopped before the end of its range. A full reading continues
    // the most recent series of its journal (of the three most recent) with which it shares at
    // least one answered record number and whose answers at all shared numbers agree byte for byte:
    // its records move there (and the other series of those three it agrees with, when they agree
    // with the result). Otherwise its own series stays. A full reading without records leaves
    // nothing.
    std::optional<TFinishOutcome> FinishReading(const TReadingHandle& reading,
                                                bool stopped = false);

private:
    QSqlQuery NewQuery() const;
    bool Ready();
    bool OpenDatabase(int busyTimeoutMs, TOpenMode mode);
    bool OpenPostgres(QSqlDatabase& db, int busyTimeoutMs, TOpenMode mode);
    bool OpenSqlite(QSqlDatabase& db, int busyTimeoutMs, TOpenMode mode);
    bool ReadableSqlite(QSqlDatabase& db, const QString& busyOption);
    bool SwitchToWal(QSqlQuery& query, int busyTimeoutMs);
    int CurrentSchemaVersion(QSqlQuery& query);
    bool Migrate();
    bool CheckSchema();
    bool ConnectionLost() const;
    void DropConnection();
    bool Fail(const QSqlError& error);
    bool Fail(const QString& text);
    bool Exec(QSqlQuery& query, const QString& sql, const QVariantList& values = {});
    bool ExecPrepared(QSqlQuery& query, const QVariantList& values);
    // `serialised`: behind the other writers of a PostgreSQL archive (leases need only their row).
    bool BeginWrite(bool serialised = true);
    bool Commit();
    void Rollback();
    bool InTransaction(const std::function<bool()>& body, bool serialised = true);
    // The archive's schema has the collectors' tables (version 3 on).
    bool knowsCollectors() const { return m_schemaVersion >= 3; }
    // The database's clock, in milliseconds since 1970, as an SQL expression.
    QString NowMs() const;
    std::optional<bool> TakeFreeLease(const QString& instrument, const QString& holder, int ttlMs);
    // The first column of every row, as numbers.
    std::optional<std::vector<qint64>> Numbers(const QString& sql, const QVariantList& values);
    std::optional<std::vector<TSeriesSummary>> QuerySeries(const QString& where,
                                                           const QVariantList& values);
    // The archive's schema has the columns of how a reading ended (version 2 on).
    bool knowsReadingEnds() const { return m_schemaVersion >= 2; }
    bool InsertReading(TReadingHandle& reading);
    bool UpsertRecords(const TReadingHandle& reading, const std::vector<TArchivedRecord>& rows);
    QSqlQuery* UpsertQuery(int rows);
    bool UpdateReading(TReadingHandle& reading, const QString& assignments, QVariantList values);
    std::optional<bool> Agree(qint64 a, qint64 b);
    std::optional<std::vector<qint64>> AgreeingSeries(qint64 seriesId);
    bool MergeSeries(qint64 from, qint64 into);
    bool DeleteSeriesRows(qint64 seriesId);

    QString m_connection;
    TArchiveLocation m_location;
    bool m_open = false;
    bool m_notFound = false;
    bool m_inTransaction = false;
    int m_abortHandle = 0;
    int m_schemaVersion = 0; // of the open archive
    QString m_error;
    std::map<int, QSqlQuery> m_upserts;
};

} // namespace archive
