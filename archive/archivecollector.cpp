// SPDX-License-Identifier: MIT
// The collectors' side of TJournalArchive: leases on instruments and the state of each instrument.
#include "archive/journalarchive.h"

#include <QSqlQuery>

namespace archive {

namespace {

QVariant MsOrNull(const QDateTime& time) {
    return time.isValid() ? QVariant(time.toMSecsSinceEpoch())
                          : QVariant(QMetaType::fromType<qint64>());
}

// A text column is NOT NULL: an empty text (no error, say) is stored as '', never as NULL, which a
// default-constructed QString would bind to.
QString Text(const QString& text) {
    return text.isNull() ? QStringLiteral("") : text;
}

QDateTime TimeOrInvalid(const QVariant& value) {
    return value.isNull() ? QDateTime() : QDateTime::fromMSecsSinceEpoch(value.toLongLong());
}

QString JournalsText(const QList<int>& journals) {
    QStringList numbers;
    for (const int j : journals)
        numbers << QString::number(j);
    return numbers.join(u',');
}

QList<int> JournalsFromText(const QString& text) {
    QList<int> journals;
    for (const QString& item : text.split(u',', Qt::SkipEmptyParts))
        journals << item.toInt();
    return journals;
}

} // namespace

QString TJournalArchive::NowMs() const {
    return isPostgres() ? QStringLiteral("CAST(EXTRACT(EPOCH FROM clock_timestamp()) * 1000 AS "
                                         "BIGINT)")
                        : QStringLiteral("CAST((julianday('now') - 2440587.5) * 86400000 AS "
                                         "INTEGER)");
}

std::optional<bool> TJournalArchive::TakeLease(const QString& instrument, const QString& holder,
                                               int ttlMs) {
    QSqlQuery query = NewQuery();
    // The row is there before anybody locks it; a second taker's insert does nothing.
    if (!Ready() ||
        !Exec(query,
              QStringLiteral("INSERT INTO collector_leases (instrument, holder, expires)"
                             " VALUES (?, '', 0) ON CONFLICT (instrument) DO NOTHING"),
              {instrument}))
        return std::nullopt;
    std::optional<bool> taken;
    // Only the row is locked: a lease does not wait behind another program's reading.
    const bool done = InTransaction(
        [&] {
            taken = TakeFreeLease(instrument, holder, ttlMs);
            return taken.has_value();
        },
        false);
    return done ? taken : std::nullopt;
}

// Inside the lease's transaction. On PostgreSQL a row another taker has locked is passed by: it is
// being taken at this moment, so it is not free.
std::optional<bool> TJournalArchive::TakeFreeLease(const QString& instrument, const QString& holder,
                                                   int ttlMs) {
    QSqlQuery query = NewQuery();
    if (!Exec(
            query,
            QStringLiteral("SELECT holder, expires, %1 FROM collector_leases WHERE instrument = ?")
                    .arg(NowMs()) +
                (isPostgres() ? QStringLiteral(" FOR UPDATE SKIP LOCKED") : QString()),
            {instrument}))
        return std::nullopt;
    if (!query.next())
        return false;
    const QString current = query.value(0).toString();
    const bool held = !current.isEmpty() && current != holder &&
                      query.value(1).toLongLong() > query.value(2).toLongLong();
    query.finish();
    if (held)
        return false;
    if (!Exec(query,
              QStringLiteral("UPDATE collector_leases SET holder = ?, expires = %1 + ?"
                             " WHERE instrument = ?")
                  .arg(NowMs()),
              {holder, ttlMs, instrument}))
        return std::nullopt;
    return true;
}

std::optional<bool> TJournalArchive::RenewLease(const QString& instrument, const QString& holder,
                                                int ttlMs) {
    QSqlQuery query = NewQuery();
    if (!Ready() || !Exec(query,
                          QStringLiteral("UPDATE collector_leases SET expires = %1 + ?"
                                         " WHERE instrument = ? AND holder = ?")
                              .arg(NowMs()),
                          {ttlMs, instrument, holder}))
        return std::nullopt;
    return query.numRowsAffected() == 1;
}

bool TJournalArchive::ReleaseLease(const QString& instrument, const QString& holder) {
    QSqlQuery query = NewQuery();
    return Ready() && Exec(query,
                           QStringLiteral("UPDATE collector_leases SET holder = '', expires = 0"
                                          " WHERE instrument = ? AND holder = ?"),
                           {instrument, holder});
}

std::optional<QString> TJournalArchive::LeaseHolder(const QString& instrument) {
    QSqlQuery query = NewQuery();
    if (!Ready())
        return std::nullopt;
    if (!knowsCollectors())
        return QString();
    if (!Exec(query,
              QStringLiteral("SELECT holder FROM collector_leases WHERE instrument = ? AND"
                             " expires > %1")
                  .arg(NowMs()),
              {instrument}))
        return std::nullopt;
    return query.next() ? query.value(0).toString() : QString();
}

bool TJournalArchive::StoreInstrumentState(const TInstrumentState& s) {
    QSqlQuery query = NewQuery();
    return Ready() &&
           Exec(query,
                QStringLiteral(
                    "INSERT INTO collector_state (instrument, line, port, address, device_name,"
                    " journals, last_reading, new_records, failed_records, state, failing_since,"
                    " error, next_reading, collector)"
                    " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
                    " ON CONFLICT (instrument) DO UPDATE SET line = excluded.line,"
                    " port = excluded.port, address = excluded.address,"
                    " device_name = excluded.device_name, journals = excluded.journals,"
                    " last_reading = excluded.last_reading, new_records = excluded.new_records,"
                    " failed_records = excluded.failed_records, state = excluded.state,"
                    " failing_since = excluded.failing_since, error = excluded.error,"
                    " next_reading = excluded.next_reading, collector = excluded.collector"),
                {Text(s.instrument), Text(s.line), Text(s.port), s.address, Text(s.deviceName),
                 Text(JournalsText(s.journals)), MsOrNull(s.lastReading), s.newRecords,
                 s.failedRecords, int(s.state), MsOrNull(s.failingSince), Text(s.error),
                 MsOrNull(s.nextReading), Text(s.collector)});
}

std::optional<std::vector<TInstrumentState>> TJournalArchive::InstrumentStates() {
    QSqlQuery query = NewQuery();
    if (!Ready())
        return std::nullopt;
    std::vector<TInstrumentState> states;
    if (!knowsCollectors())
        return states;
    if (!Exec(query, QStringLiteral("SELECT instrument, line, port, address, device_name, journals,"
                                    " last_reading, new_records, failed_records, state,"
                                    " failing_since, error, next_reading, collector"
                                    " FROM collector_state ORDER BY line, instrument")))
        return std::nullopt;
    while (query.next()) {
        TInstrumentState s;
        s.instrument = query.value(0).toString();
        s.line = query.value(1).toString();
        s.port = query.value(2).toString();
        s.address = query.value(3).toInt();
        s.deviceName = query.value(4).toString();
        s.journals = JournalsFromText(query.value(5).toString());
        s.lastReading = TimeOrInvalid(query.value(6));
        s.newRecords = query.value(7).toLongLong();
        s.failedRecords = query.value(8).toLongLong();
        const int state = query.value(9).toInt();
        s.state = state >= 0 && state <= 2 ? TCollectState(state) : TCollectState::Failing;
        s.failingSince = TimeOrInvalid(query.value(10));
        s.error = query.value(11).toString();
        s.nextReading = TimeOrInvalid(query.value(12));
        s.collector = query.value(13).toString();
        states.push_back(std::move(s));
    }
    return states;
}

std::optional<std::vector<std::pair<int, qint64>>>
TJournalArchive::InstrumentSeries(const TInstrumentState& state) {
    QSqlQuery query = NewQuery();
    if (!Ready())
        return std::nullopt;
    std::vector<std::pair<int, qint64>> series;
    for (const int journal : state.journals) {
        if (!Exec(query,
                  QStringLiteral("SELECT series_id FROM readings WHERE port = ? AND address = ?"
                                 " AND device_name = ? AND journal_number = ?"
                                 " ORDER BY id DESC LIMIT 1"),
                  {state.port, state.address, state.deviceName, journal}))
            return std::nullopt;
        if (query.next())
            series.emplace_back(journal, query.value(0).toLongLong());
    }
    return series;
}

} // namespace archive
