// SPDX-License-Identifier: MIT
// The writing side of TJournalArchive: readings, their records, and the series a full reading
// continues.
#include "archive/journalarchive.h"

#include <QSqlDatabase>
#include <QSqlError>

#include <algorithm>

namespace archive {

namespace {

// Rows per multi-row insert; a batch is stored in chunks of these sizes.
constexpr int kUpsertChunks[] = {100, 10, 1};

// An answer replaces a failed record of the same number; nothing replaces an answer.
const QString kUpsertTail = QStringLiteral(
    " ON CONFLICT (series_id, number) DO UPDATE SET reading_id = excluded.reading_id,"
    " code = excluded.code, bytes = excluded.bytes WHERE records.code <> 0");

QVariant OptionalNumber(const std::optional<qint64>& value) {
    return value ? QVariant(*value) : QVariant(QMetaType::fromType<qint64>());
}

// Keeps one record per number: an answer before a failure, otherwise the later one.
void KeepOnePerNumber(std::vector<TArchivedRecord>& records) {
    std::stable_sort(records.begin(), records.end(),
                     [](const auto& a, const auto& b) { return a.number < b.number; });
    std::vector<TArchivedRecord> kept;
    kept.reserve(records.size());
    for (auto& record : records) {
        if (!kept.empty() && kept.back().number == record.number) {
            if (record.ok() || !kept.back().ok())
                kept.back() = std::move(record);
        } else {
            kept.push_back(std::move(record));
        }
    }
    records = std::move(kept);
}

} // namespace

std::optional<TReadingHandle> TJournalArchive::BeginReading(const TReadingInfo& info,
                                                            std::optional<qint64> intoSeries) {
    if (!Ready())
        return std::nullopt;
    TReadingHandle reading;
    reading.info = info;
    if (intoSeries) {
        QSqlQuery query = NewQuery();
        if (!Exec(query, QStringLiteral("SELECT id FROM series WHERE id = ?"), {*intoSeries}))
            return std::nullopt;
        if (!query.next()) {
            Fail(QStringLiteral("нет серии %1").arg(*intoSeries));
            return std::nullopt;
        }
        reading.seriesId = *intoSeries;
        reading.ownSeries = false;
    }
    return reading;
}

// The rows of the reading (and of its own series), made with its first records so that a
// reading stopped before any record leaves nothing behind.
bool TJournalArchive::InsertReading(TReadingHandle& reading) {
    const TJournalKey& j = reading.info.journal;
    const qint64 started = reading.info.time.toMSecsSinceEpoch();
    QSqlQuery query = NewQuery();
    if (reading.ownSeries) {
        if (!Exec(query,
                  QStringLiteral("INSERT INTO series (device_name, device_file, journal_number,"
                                 " journal_name, layout, created) VALUES (?, ?, ?, ?, ?, ?)"
                                 " RETURNING id"),
                  {j.deviceName, j.deviceFile, j.journalNumber, j.journalName, j.layout, started}))
            return false;
        if (!query.next())
            return Fail(query.lastError());
        reading.seriesId = query.value(0).toLongLong();
    } else {
        if (!Exec(query, QStringLiteral("SELECT id FROM series WHERE id = ?"), {reading.seriesId}))
            return false;
        if (!query.next())
            return Fail(QStringLiteral("серия удалена во время чтения"));
    }
    if (!Exec(query,
              QStringLiteral("INSERT INTO readings (series_id, kind, started, port, address,"
                             " speed, device_name, device_file, journal_number, journal_name,"
                             " layout, failed, range_first, range_count)"
                             " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0, ?, ?) RETURNING id"),
              {reading.seriesId, static_cast<int>(reading.info.kind), started, reading.info.port,
               reading.info.address, reading.info.speed, j.deviceName, j.deviceFile,
               j.journalNumber, j.journalName, j.layout, OptionalNumber(reading.info.rangeFirst),
               OptionalNumber(reading.info.rangeCount)}))
        return false;
    if (!query.next())
        return Fail(query.lastError());
    reading.readingId = query.value(0).toLongLong();
    query.finish();
    return true;
}

bool TJournalArchive::StoreRecords(TReadingHandle& reading, std::vector<TArchivedRecord> records) {
    if (!Ready())
        return false;
    if (records.empty())
        return true;
    KeepOnePerNumber(records);
    TReadingHandle after = reading;
    const qint64 low = records.front().number;
    const qint64 high = records.back().number;
    after.firstNumber = after.firstNumber ? std::min(*after.firstNumber, low) : low;
    after.lastNumber = after.lastNumber ? std::max(*after.lastNumber, high) : high;
    after.records += static_cast<qint64>(records.size());
    after.failed += std::count_if(records.begin(), records.end(),
                                  [](const TArchivedRecord& r) { return !r.ok(); });
    const bool done = InTransaction([&] {
        if (after.readingId == 0 && !InsertReading(after))
            return false;
        return UpdateReading(
                   after,
                   QStringLiteral("first_number = ?, last_number = ?, records = ?, failed = ?"),
                   {OptionalNumber(after.firstNumber), OptionalNumber(after.lastNumber),
                    after.records, after.failed}) &&
               UpsertRecords(after, records);
    });
    if (done)
        reading = after;
    return done;
}

// The prepared insert of `rows` records; nullptr when it cannot be prepared.
QSqlQuery* TJournalArchive::UpsertQuery(int rows) {
    auto it = m_upserts.find(rows);
    if (it != m_upserts.end())
        return &it->second;
    QString sql =
        QStringLiteral("INSERT INTO records (series_id, number, reading_id, code, bytes) VALUES ");
    for (int i = 0; i < rows; ++i)
        sql += i == 0 ? QStringLiteral("(?, ?, ?, ?, ?)") : QStringLiteral(", (?, ?, ?, ?, ?)");
    QSqlQuery query = NewQuery();
    if (!query.prepare(sql + kUpsertTail)) {
        Fail(query.lastError());
        return nullptr;
    }
    return &m_upserts.emplace(rows, std::move(query)).first->second;
}

bool TJournalArchive::UpsertRecords(const TReadingHandle& reading,
                                    const std::vector<TArchivedRecord>& rows) {
    const QVariant noBytes(QMetaType::fromType<QByteArray>());
    std::size_t next = 0;
    for (const int chunk : kUpsertChunks) {
        while (rows.size() - next >= static_cast<std::size_t>(chunk)) {
            QSqlQuery* query = UpsertQuery(chunk);
            if (!query)
                return false;
            QVariantList values;
            values.reserve(chunk * 5);
            for (int i = 0; i < chunk; ++i, ++next) {
                const TArchivedRecord& r = rows[next];
                values << reading.seriesId << r.number << reading.readingId << r.code
                       << (r.ok() ? QVariant(r.bytes) : noBytes);
            }
            if (!ExecPrepared(*query, values))
                return false;
            query->finish();
        }
    }
    return true;
}

std::optional<TFinishOutcome> TJournalArchive::FinishReading(const TReadingHandle& handle,
                                                             bool stopped) {
    if (!Ready())
        return std::nullopt;
    TFinishOutcome outcome;
    TReadingHandle reading = handle;
    // A full reading that stored nothing leaves nothing; an incremental one that found nothing new
    // is still a visit of its series.
    if (reading.readingId == 0 && reading.ownSeries)
        return outcome;
    const bool done = InTransaction([&] {
        if ((reading.readingId == 0 && !InsertReading(reading)) ||
            !UpdateReading(reading, QStringLiteral("finished = ?, stopped = ?"),
                           {QDateTime::currentMSecsSinceEpoch(), stopped ? 1 : 0}))
            return false;
        outcome.seriesId = reading.seriesId;
        outcome.readingId = reading.readingId;
        if (!reading.ownSeries)
            return true;
        const auto agreeing = AgreeingSeries(reading.seriesId);
        if (!agreeing)
            return false;
        if (agreeing->empty())
            return true;
        // The reading joins the most recent series it agrees with; the others it agrees with are
        // the same instrument's history too and join as well when they agree with the result.
        const qint64 target = agreeing->front();
        outcome.seriesId = target;
        outcome.continued = true;
        if (!MergeSeries(reading.seriesId, target))
            return false;
        for (std::size_t i = 1; i < agreeing->size(); ++i) {
            const auto agree = Agree((*agreeing)[i], target);
            if (!agree || (*agree && !MergeSeries((*agreeing)[i], target)))
                return false;
        }
        return true;
    });
    if (!done)
        return std::nullopt;
    return outcome;
}

// Sets columns of the reading's row (one "column = ?" text, the values after it) and takes the
// series the reading belongs to now: a reading that finished meanwhile may have merged this
// reading's own series into its own.
bool TJournalArchive::UpdateReading(TReadingHandle& reading, const QString& assignments,
                                    QVariantList values) {
    QSqlQuery query = NewQuery();
    values << reading.readingId;
    if (!Exec(query,
              QStringLiteral("UPDATE readings SET %1 WHERE id = ? RETURNING series_id")
                  .arg(assignments),
              values))
        return false;
    if (!query.next())
        return Fail(QStringLiteral("серия удалена во время чтения"));
    reading.seriesId = query.value(0).toLongLong();
    query.finish();
    return true;
}

// Whether two series share answered numbers and agree byte for byte at every one of them.
std::optional<bool> TJournalArchive::Agree(qint64 a, qint64 b) {
    QSqlQuery query = NewQuery();
    if (!Exec(query,
              QStringLiteral("SELECT COUNT(*), SUM(CASE WHEN a.bytes = b.bytes THEN 1 ELSE 0 END)"
                             " FROM records a JOIN records b ON b.series_id = ?"
                             " AND b.number = a.number"
                             " WHERE a.series_id = ? AND a.code = 0 AND b.code = 0"),
              {b, a}) ||
        !query.next())
        return std::nullopt;
    const qint64 shared = query.value(0).toLongLong();
    return shared > 0 && query.value(1).toLongLong() == shared;
}

// Of the three most recently read other series of the same journal, those that agree with the
// series, most recent first. nullopt on failure.
std::optional<std::vector<qint64>> TJournalArchive::AgreeingSeries(qint64 seriesId) {
    const auto candidates =
        Numbers(QStringLiteral("SELECT o.id FROM series o JOIN series s ON s.id = ?"
                               " WHERE o.id <> s.id AND o.device_name = s.device_name"
                               " AND o.device_file = s.device_file"
                               " AND o.journal_number = s.journal_number AND o.layout = s.layout"
                               " ORDER BY (SELECT MAX(x.id) FROM readings x"
                               " WHERE x.series_id = o.id) DESC LIMIT 3"),
                {seriesId});
    if (!candidates)
        return std::nullopt;
    std::vector<qint64> agreeing;
    for (const qint64 candidate : *candidates) {
        const auto agree = Agree(seriesId, candidate);
        if (!agree)
            return std::nullopt;
        if (*agree)
            agreeing.push_back(candidate);
    }
    return agreeing;
}

// Moves the records and readings of series `from` into `into`: an answer of `from` replaces a
// failed record of `into`; numbers `into` already holds otherwise keep its record.
bool TJournalArchive::MergeSeries(qint64 from, qint64 into) {
    QSqlQuery query = NewQuery();
    return Exec(query,
                QStringLiteral("DELETE FROM records WHERE series_id = ? AND code <> 0 AND number"
                               " IN (SELECT number FROM records WHERE series_id = ? AND"
                               " code = 0)"),
                {into, from}) &&
           Exec(query,
                QStringLiteral("DELETE FROM records WHERE series_id = ? AND number IN"
                               " (SELECT number FROM records WHERE series_id = ?)"),
                {from, into}) &&
           Exec(query, QStringLiteral("UPDATE records SET series_id = ? WHERE series_id = ?"),
                {into, from}) &&
           Exec(query, QStringLiteral("UPDATE readings SET series_id = ? WHERE series_id = ?"),
                {into, from}) &&
           Exec(query, QStringLiteral("DELETE FROM series WHERE id = ?"), {from});
}

} // namespace archive
