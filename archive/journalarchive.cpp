// SPDX-License-Identifier: MIT
#include "archive/journalarchive.h"

#include "archive/abortableconnections.h"
#include "archive/archiveerrors.h"
#include "archive/archiveschema.h"
#include "archive/incrementalplan.h"

#include <QAtomicInteger>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QThread>
#include <QUrl>

#include <libpq-fe.h>

#include <algorithm>

namespace archive {

namespace {

// Serialises the write transactions of the programs sharing a PostgreSQL archive, as SQLite's
// are anyway: a schema change, a merge of series or a deletion never meets another writer's
// half-done work.
constexpr qint64 kPostgresLockKey = 0x6A726E6C;

// The columns of a series and of its last reading; an archive of version 1 knows no stopped
// reading.
QString SeriesColumns(bool readingEnds) {
    return QStringLiteral(
               "SELECT s.id, s.device_name, s.device_file, s.journal_number, s.journal_name,"
               " s.layout,"
               " (SELECT MIN(number) FROM records r WHERE r.series_id = s.id),"
               " (SELECT MAX(number) FROM records r WHERE r.series_id = s.id),"
               " (SELECT MAX(number) FROM records r WHERE r.series_id = s.id AND r.code = 0),"
               " (SELECT COUNT(*) FROM records r WHERE r.series_id = s.id),"
               " (SELECT COUNT(*) FROM records r WHERE r.series_id = s.id AND r.code <> 0),"
               " l.started, l.port, l.address, l.finished, %1"
               " FROM series s LEFT JOIN readings l"
               " ON l.id = (SELECT MAX(x.id) FROM readings x WHERE x.series_id = s.id) ")
        .arg(readingEnds ? QStringLiteral("l.stopped") : QStringLiteral("0"));
}

TReadingEnd ReadingEnd(const QVariant& finished, const QVariant& stopped) {
    if (finished.isNull())
        return TReadingEnd::Unfinished;
    return stopped.toInt() != 0 ? TReadingEnd::Stopped : TReadingEnd::Finished;
}

const QString kJournalMatch = QStringLiteral(
    "WHERE s.device_name = ? AND s.device_file = ? AND s.journal_number = ? AND s.layout = ? ");

QAtomicInteger<quint64> g_connectionCounter;

std::optional<qint64> NumberOrNull(const QVariant& value) {
    return value.isNull() ? std::nullopt : std::optional<qint64>(value.toLongLong());
}

QDateTime TimeFromMs(const QVariant& value) {
    return value.isNull() ? QDateTime() : QDateTime::fromMSecsSinceEpoch(value.toLongLong());
}

QVariantList JournalValues(const TJournalKey& journal) {
    return {journal.deviceName, journal.deviceFile, journal.journalNumber, journal.layout};
}

// The libpq connection of a QPSQL connection; nullptr for another driver or a closed one.
PGconn* PostgresConnection(const QSqlDatabase& db) {
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "PGconn*") != 0)
        return nullptr;
    return *static_cast<PGconn* const*>(handle.constData());
}

// libpq's options of every connection: a server that does not answer the connection within the
// time-out, or a host or network that goes away (keepalives unanswered for about 25 s, data
// unacknowledged for 30 s), ends the wait with an error instead of leaving it without limit.
QString PostgresConnectOptions(int busyTimeoutMs) {
    return QStringLiteral("connect_timeout=%1;keepalives=1;keepalives_idle=10;"
                          "keepalives_interval=5;keepalives_count=3;tcp_user_timeout=30000")
        .arg(std::max(1, (busyTimeoutMs + 999) / 1000));
}

} // namespace

TJournalArchive::TJournalArchive()
    : m_connection(QStringLiteral("journal-archive-%1").arg(++g_connectionCounter)) {}

TJournalArchive::~TJournalArchive() {
    Close();
}

void TJournalArchive::Close() {
    DropConnection();
    m_upserts.clear();
}

// Closes the connection before its prepared statements go: with the driver gone they are not
// freed one by one on the server (the connection's end frees them), so a connection that failed
// leaves no driver warnings about statements it could not free.
void TJournalArchive::DropConnection() {
    UnregisterConnectionSocket(m_abortHandle);
    m_abortHandle = 0;
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
    m_open = false;
    m_inTransaction = false;
}

bool TJournalArchive::ConnectionLost() const {
    const PGconn* connection = PostgresConnection(QSqlDatabase::database(m_connection, false));
    return connection && PQstatus(connection) == CONNECTION_BAD;
}

QSqlQuery TJournalArchive::NewQuery() const {
    return QSqlQuery(QSqlDatabase::database(m_connection, false));
}

bool TJournalArchive::Ready() {
    return m_open || Fail(QStringLiteral("архив не открыт"));
}

bool TJournalArchive::Fail(const QString& text) {
    m_error = QStringLiteral("Архив журналов %1: %2").arg(m_location.displayName(), text);
    return false;
}

// A statement that failed inside a transaction on PostgreSQL has aborted it: it is rolled back at
// once, so that the statements still prepared can be freed. A connection that is gone is closed
// (while Open runs, which holds the connection, by Open).
bool TJournalArchive::Fail(const QSqlError& error) {
    Fail(DatabaseErrorText(error, m_location.engine));
    if (!isPostgres())
        return false;
    if (ConnectionLost()) {
        if (m_open)
            DropConnection();
    } else if (m_inTransaction) {
        m_inTransaction = false;
        QSqlQuery(QSqlDatabase::database(m_connection, false)).exec(QStringLiteral("ROLLBACK"));
    }
    return false;
}

bool TJournalArchive::Open(const QString& url, int busyTimeoutMs, TOpenMode mode) {
    Close();
    m_error.clear();
    m_notFound = false;
    const auto location = ParseArchiveUrl(url, &m_error);
    if (!location)
        return false;
    m_location = *location;
    if (!OpenDatabase(busyTimeoutMs, mode) ||
        !(mode == TOpenMode::Write ? Migrate() : CheckSchema())) {
        Close();
        return false;
    }
    m_open = true;
    return true;
}

bool TJournalArchive::OpenDatabase(int busyTimeoutMs, TOpenMode mode) {
    const QString driver = isPostgres() ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE");
    if (!QSqlDatabase::isDriverAvailable(driver))
        return Fail(QStringLiteral("нет драйвера Qt SQL %1").arg(driver));
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, m_connection);
    return isPostgres() ? OpenPostgres(db, busyTimeoutMs, mode)
                        : OpenSqlite(db, busyTimeoutMs, mode);
}

bool TJournalArchive::OpenPostgres(QSqlDatabase& db, int busyTimeoutMs, TOpenMode mode) {
    db.setHostName(m_location.host);
    if (m_location.port >= 0)
        db.setPort(m_location.port);
    db.setUserName(m_location.user);
    db.setPassword(m_location.password);
    db.setDatabaseName(m_location.database);
    db.setConnectOptions(PostgresConnectOptions(busyTimeoutMs));
    if (!db.open())
        return Fail(db.lastError());
    if (const PGconn* connection = PostgresConnection(db))
        m_abortHandle = RegisterConnectionSocket(PQsocket(connection));
    QSqlQuery query(db);
    return Exec(query, QStringLiteral("SET lock_timeout = %1").arg(busyTimeoutMs)) &&
           Exec(query, QStringLiteral("SET statement_timeout = %1").arg(kStatementTimeoutMs)) &&
           Exec(query, QStringLiteral("SET client_min_messages = warning")) &&
           (mode == TOpenMode::Write ||
            Exec(query, QStringLiteral("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY")));
}

bool TJournalArchive::OpenSqlite(QSqlDatabase& db, int busyTimeoutMs, TOpenMode mode) {
    const QFileInfo file(m_location.path);
    const QString busy = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs);
    if (mode == TOpenMode::ReadOnly) {
        if (file.exists() && !file.isFile())
            return Fail(QStringLiteral("%1 — не файл").arg(file.absoluteFilePath()));
        if (!file.exists()) {
            // A part of the path that is a file: no reading could make the archive there.
            QFileInfo above(file.absolutePath());
            while (!above.exists() && !above.isRoot())
                above.setFile(above.absolutePath());
            if (!above.isDir())
                return Fail(QStringLiteral("%1 — не папка").arg(above.absoluteFilePath()));
            m_notFound = true;
            return Fail(QStringLiteral("архива по этому адресу нет"));
        }
        db.setDatabaseName(m_location.path);
        db.setConnectOptions(busy + QStringLiteral(";QSQLITE_OPEN_READONLY"));
        if (!db.open())
            return Fail(db.lastError());
        return ReadableSqlite(db, busy);
    }
    if (!QDir().mkpath(file.absolutePath()))
        return Fail(QStringLiteral("не удалось создать папку %1").arg(file.absolutePath()));
    db.setDatabaseName(m_location.path);
    db.setConnectOptions(busy);
    if (!db.open())
        return Fail(db.lastError());
    QSqlQuery query(db);
    // A full synchronisation at every commit: a pulled plug loses only what was not committed.
    return SwitchToWal(query, busyTimeoutMs) &&
           Exec(query, QStringLiteral("PRAGMA synchronous = FULL"));
}

// A reader of an archive in WAL mode needs its shared-memory file, which it makes when it is
// missing; in a folder it may not write (a read-only mount) it cannot, and no writer can be at
// work there either: the file is then read as it stands.
bool TJournalArchive::ReadableSqlite(QSqlDatabase& db, const QString& busyOption) {
    QSqlQuery probe(db);
    if (probe.exec(QStringLiteral("SELECT COUNT(*) FROM sqlite_master")))
        return true;
    const int code = probe.lastError().nativeErrorCode().toInt() & 0xFF;
    if (code != 8 && code != 14) // SQLITE_READONLY, SQLITE_CANTOPEN
        return Fail(probe.lastError());
    probe = QSqlQuery();
    db.close();
    db.setDatabaseName(QUrl::fromLocalFile(QFileInfo(m_location.path).absoluteFilePath())
                           .toString(QUrl::FullyEncoded) +
                       QStringLiteral("?immutable=1"));
    db.setConnectOptions(busyOption + QStringLiteral(";QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI"));
    if (!db.open())
        return Fail(db.lastError());
    return true;
}

// An archive opened only to read must be there at the latest schema: a file or database without
// the schema's table holds no archive (a reading would make one there).
bool TJournalArchive::CheckSchema() {
    QSqlQuery query = NewQuery();
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT MAX(version) FROM archive_schema"))) {
        const QSqlError error = query.lastError();
        const bool noTable = isPostgres()
                                 ? error.nativeErrorCode() == QLatin1String("42P01")
                                 : error.databaseText().startsWith(QLatin1String("no such table"));
        if (!noTable)
            return Fail(error);
        m_notFound = true;
        return Fail(QStringLiteral("по этому адресу нет архива журналов"));
    }
    const int version = query.next() ? query.value(0).toInt() : 0;
    query.finish();
    if (version > LatestSchemaVersion())
        return Fail(
            QStringLiteral("архив создан более новой версией программы (схема %1)").arg(version));
    if (version < OldestReadableSchemaVersion())
        return Fail(QStringLiteral("схема архива устарела (версия %1), её обновит следующее чтение")
                        .arg(version));
    m_schemaVersion = version;
    return true;
}

// Switching a new file to WAL needs it to itself, and SQLite answers "database is locked" at
// once, without its busy handler, while another connection is creating the same file (two
// programs, or the writer thread and the window, opening a new archive together). Retried within
// the busy time-out; a file that is already in WAL mode passes at the first try.
bool TJournalArchive::SwitchToWal(QSqlQuery& query, int busyTimeoutMs) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        query.finish();
        if (query.exec(QStringLiteral("PRAGMA journal_mode = WAL")))
            return true;
        const QSqlError error = query.lastError();
        const bool busy = error.nativeErrorCode() == QLatin1String("5") ||
                          error.nativeErrorCode() == QLatin1String("6");
        if (!busy || clock.elapsed() >= busyTimeoutMs)
            return Fail(error);
        QThread::msleep(10);
    }
}

bool TJournalArchive::Migrate() {
    QSqlQuery query = NewQuery();
    // An archive at the latest schema opens with a read only: opening it to look (the window's
    // archive tab, --archive-list) does not wait behind a reading that is being stored.
    m_schemaVersion = LatestSchemaVersion();
    if (CurrentSchemaVersion(query) == LatestSchemaVersion())
        return true;
    return InTransaction([&] {
        if (!Exec(query, QStringLiteral("CREATE TABLE IF NOT EXISTS archive_schema"
                                        " (version INTEGER NOT NULL)")) ||
            !Exec(query, QStringLiteral("SELECT MAX(version) FROM archive_schema")))
            return false;
        int version = query.next() ? query.value(0).toInt() : 0;
        query.finish();
        if (version > LatestSchemaVersion())
            return Fail(QStringLiteral("архив создан более новой версией программы (схема %1)")
                            .arg(version));
        const int initial = version;
        for (; version < LatestSchemaVersion(); ++version) {
            for (const QString& sql : MigrationStatements(version, isPostgres())) {
                if (!Exec(query, sql))
                    return false;
            }
        }
        if (version == initial)
            return true;
        return Exec(query, QStringLiteral("DELETE FROM archive_schema")) &&
               Exec(query, QStringLiteral("INSERT INTO archive_schema (version) VALUES (?)"),
                    {version});
    });
}

// The schema version, or -1 when it cannot be read without writing (a new or older archive).
int TJournalArchive::CurrentSchemaVersion(QSqlQuery& query) {
    query.finish();
    query.setForwardOnly(true);
    const bool read = query.exec(QStringLiteral("SELECT MAX(version) FROM archive_schema"));
    const int version = read && query.next() ? query.value(0).toInt() : -1;
    query.finish();
    // A failed read leaves PostgreSQL's transaction state clean (no transaction is open) and
    // sets no error of ours: the write path below reports what it finds.
    return version;
}

bool TJournalArchive::Exec(QSqlQuery& query, const QString& sql, const QVariantList& values) {
    query.finish();
    query.setForwardOnly(true);
    // A statement without values runs as it is (PostgreSQL prepares no BEGIN, SET or CREATE).
    if (values.isEmpty())
        return query.exec(sql) || Fail(query.lastError());
    if (!query.prepare(sql))
        return Fail(query.lastError());
    return ExecPrepared(query, values);
}

bool TJournalArchive::ExecPrepared(QSqlQuery& query, const QVariantList& values) {
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, values[i]);
    if (!query.exec())
        return Fail(query.lastError());
    return true;
}

bool TJournalArchive::BeginWrite(bool serialised) {
    QSqlQuery query = NewQuery();
    if (!isPostgres())
        return Exec(query, QStringLiteral("BEGIN IMMEDIATE"));
    if (!Exec(query, QStringLiteral("BEGIN")))
        return false;
    m_inTransaction = true;
    return !serialised ||
           Exec(query, QStringLiteral("SELECT pg_advisory_xact_lock(?)"), {kPostgresLockKey});
}

bool TJournalArchive::Commit() {
    QSqlQuery query = NewQuery();
    const bool committed = Exec(query, QStringLiteral("COMMIT"));
    m_inTransaction = false;
    return committed;
}

void TJournalArchive::Rollback() {
    // On PostgreSQL a failed statement has rolled the transaction back already (see Fail).
    if (isPostgres() && !m_inTransaction)
        return;
    m_inTransaction = false;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (db.isOpen())
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
}

bool TJournalArchive::InTransaction(const std::function<bool()>& body, bool serialised) {
    if (!BeginWrite(serialised))
        return false;
    if (body() && Commit())
        return true;
    const QString error = m_error;
    Rollback();
    m_error = error;
    return false;
}

std::optional<std::vector<TSeriesSummary>>
TJournalArchive::QuerySeries(const QString& tail, const QVariantList& values) {
    QSqlQuery query = NewQuery();
    if (!Ready() || !Exec(query, SeriesColumns(knowsReadingEnds()) + tail, values))
        return std::nullopt;
    std::vector<TSeriesSummary> list;
    while (query.next()) {
        TSeriesSummary s;
        s.id = query.value(0).toLongLong();
        s.journal = {query.value(1).toString(), query.value(2).toString(), query.value(3).toInt(),
                     query.value(4).toString(), query.value(5).toInt()};
        s.firstNumber = NumberOrNull(query.value(6));
        s.lastNumber = NumberOrNull(query.value(7));
        s.lastAnswered = NumberOrNull(query.value(8));
        s.records = query.value(9).toLongLong();
        s.failed = query.value(10).toLongLong();
        s.lastReadingTime = TimeFromMs(query.value(11));
        s.lastPort = query.value(12).toString();
        s.lastAddress = query.value(13).toInt();
        if (!query.value(11).isNull())
            s.lastEnd = ReadingEnd(query.value(14), query.value(15));
        list.push_back(std::move(s));
    }
    return list;
}

std::optional<std::vector<TSeriesSummary>> TJournalArchive::ListSeries() {
    return QuerySeries(QStringLiteral("ORDER BY s.id"), {});
}

std::optional<TSeriesSummary> TJournalArchive::Series(qint64 seriesId) {
    auto list = QuerySeries(QStringLiteral("WHERE s.id = ?"), {seriesId});
    if (list && list->empty())
        Fail(QStringLiteral("нет серии %1").arg(seriesId));
    if (!list || list->empty())
        return std::nullopt;
    return list->front();
}

std::optional<std::vector<TSeriesSummary>> TJournalArchive::Candidates(const TJournalKey& journal,
                                                                       int limit,
                                                                       const QString& port,
                                                                       int address) {
    QVariantList values = JournalValues(journal);
    QString where = kJournalMatch;
    if (!port.isEmpty()) {
        where += QStringLiteral("AND l.port = ? AND l.address = ? ");
        values << port << address;
    }
    values << limit;
    return QuerySeries(where + QStringLiteral("ORDER BY l.id DESC LIMIT ?"), values);
}

std::optional<bool> TJournalArchive::HasSeries(const TJournalKey& journal) {
    QSqlQuery query = NewQuery();
    if (!Ready() ||
        !Exec(query, QStringLiteral("SELECT s.id FROM series s ") + kJournalMatch + "LIMIT 1",
              JournalValues(journal)))
        return std::nullopt;
    return query.next();
}

std::optional<std::vector<TReadingSummary>> TJournalArchive::Readings(qint64 seriesId) {
    QSqlQuery query = NewQuery();
    if (!Ready() ||
        !Exec(query,
              QStringLiteral("SELECT id, series_id, kind, started, finished, port, address, speed,"
                             " device_name, device_file, journal_number, journal_name, layout,"
                             " first_number, last_number, records, %1 FROM readings"
                             " WHERE series_id = ? ORDER BY id")
                  .arg(knowsReadingEnds()
                           ? QStringLiteral("stopped, failed, range_first, range_count")
                           : QStringLiteral("0, NULL, NULL, NULL")),
              {seriesId}))
        return std::nullopt;
    std::vector<TReadingSummary> list;
    while (query.next()) {
        TReadingSummary r;
        r.id = query.value(0).toLongLong();
        r.seriesId = query.value(1).toLongLong();
        r.info.kind = static_cast<TReadingKind>(query.value(2).toInt());
        r.info.time = TimeFromMs(query.value(3));
        r.finished = TimeFromMs(query.value(4));
        r.info.port = query.value(5).toString();
        r.info.address = query.value(6).toInt();
        r.info.speed = query.value(7).toInt();
        r.info.journal = {query.value(8).toString(), query.value(9).toString(),
                          query.value(10).toInt(), query.value(11).toString(),
                          query.value(12).toInt()};
        r.firstNumber = NumberOrNull(query.value(13));
        r.lastNumber = NumberOrNull(query.value(14));
        r.records = query.value(15).toLongLong();
        r.end = ReadingEnd(query.value(4), query.value(16));
        r.failed = NumberOrNull(query.value(17));
        r.info.rangeFirst = NumberOrNull(query.value(18));
        r.info.rangeCount = NumberOrNull(query.value(19));
        list.push_back(std::move(r));
    }
    return list;
}

std::optional<std::vector<TArchivedRecord>> TJournalArchive::Records(qint64 seriesId, qint64 first,
                                                                     qint64 last) {
    QSqlQuery query = NewQuery();
    if (!Ready() || !Exec(query,
                          QStringLiteral("SELECT number, code, bytes, reading_id FROM records"
                                         " WHERE series_id = ? AND number BETWEEN ? AND ?"
                                         " ORDER BY number"),
                          {seriesId, first, last}))
        return std::nullopt;
    std::vector<TArchivedRecord> records;
    while (query.next()) {
        records.push_back({query.value(0).toLongLong(), query.value(1).toInt(),
                           query.value(2).toByteArray(), query.value(3).toLongLong()});
    }
    return records;
}

std::optional<std::vector<qint64>> TJournalArchive::Numbers(const QString& sql,
                                                            const QVariantList& values) {
    QSqlQuery query = NewQuery();
    if (!Ready() || !Exec(query, sql, values))
        return std::nullopt;
    std::vector<qint64> numbers;
    while (query.next())
        numbers.push_back(query.value(0).toLongLong());
    return numbers;
}

std::optional<std::vector<qint64>> TJournalArchive::AnsweredNumbers(qint64 seriesId, qint64 first,
                                                                    qint64 last) {
    return Numbers(QStringLiteral("SELECT number FROM records WHERE series_id = ? AND"
                                  " number BETWEEN ? AND ? AND code = 0 ORDER BY number"),
                   {seriesId, first, last});
}

std::optional<std::vector<qint64>> TJournalArchive::MissingOrFailed(qint64 seriesId, qint64 first,
                                                                    qint64 last) {
    const auto answered = AnsweredNumbers(seriesId, first, last);
    if (!answered)
        return std::nullopt;
    return NumbersNotIn(first, last, *answered);
}

bool TJournalArchive::DeleteSeriesRows(qint64 seriesId) {
    QSqlQuery query = NewQuery();
    return Exec(query, QStringLiteral("DELETE FROM records WHERE series_id = ?"), {seriesId}) &&
           Exec(query, QStringLiteral("DELETE FROM readings WHERE series_id = ?"), {seriesId}) &&
           Exec(query, QStringLiteral("DELETE FROM series WHERE id = ?"), {seriesId});
}

bool TJournalArchive::DeleteSeries(qint64 seriesId) {
    if (!Ready())
        return false;
    return InTransaction([&] {
        QSqlQuery query = NewQuery();
        if (!Exec(query, QStringLiteral("SELECT id FROM series WHERE id = ?"), {seriesId}))
            return false;
        if (!query.next())
            return Fail(QStringLiteral("нет серии %1").arg(seriesId));
        query.finish();
        return DeleteSeriesRows(seriesId);
    });
}

std::optional<QStringList> TJournalArchive::CheckConsistency() {
    static const std::pair<const char*, const char*> kChecks[] = {
        {"SELECT COUNT(*) FROM records r LEFT JOIN readings g ON g.id = r.reading_id"
         " WHERE g.id IS NULL OR g.series_id <> r.series_id",
         "записи вне чтения своей серии"},
        {"SELECT COUNT(*) FROM records r JOIN readings g ON g.id = r.reading_id"
         " WHERE r.number < g.first_number OR r.number > g.last_number",
         "записи вне диапазона своего чтения"},
        {"SELECT COUNT(*) FROM readings g LEFT JOIN series s ON s.id = g.series_id"
         " WHERE s.id IS NULL",
         "чтения без серии"},
        {"SELECT COUNT(*) FROM records WHERE (code = 0 AND bytes IS NULL)"
         " OR (code <> 0 AND bytes IS NOT NULL)",
         "записи с ответом без байтов или с кодом ошибки и байтами"},
    };
    QSqlQuery query = NewQuery();
    if (!Ready())
        return std::nullopt;
    QStringList problems;
    for (const auto& [sql, what] : kChecks) {
        if (!Exec(query, QString::fromLatin1(sql)) || !query.next())
            return std::nullopt;
        if (const qint64 n = query.value(0).toLongLong(); n > 0)
            problems << QStringLiteral("%1: %2").arg(QString::fromUtf8(what)).arg(n);
    }
    return problems;
}

} // namespace archive
