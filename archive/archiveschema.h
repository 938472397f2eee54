// SPDX-License-Identifier: MIT
#pragma once

#include <QStringList>

namespace archive {

// The archive's schema, one for SQLite and PostgreSQL: the table `archive_schema` holds the
// version; migration k (counted from 0) brings version k to k + 1. Only the spelling of an
// identity column and of a byte string differs between the engines.
//
//   series    one instrument journal's history (TJournalKey)
//   readings  one reading: when, where, what, into which series, the record range it covered,
//             the range it was asked to read, its failed records, whether it was stopped
//   records   (series_id, number) -> answer bytes or failed result code, and the reading that
//             stored it
//   collector_leases  instrument -> the collector that reads it and until when (version 3)
//   collector_state   instrument -> its last reading, state and next reading (version 3)
int LatestSchemaVersion();
// The oldest version an archive opened only to read may have: its queries read what that version
// holds (an older program's archive is listed before a reading brings it up to date).
int OldestReadableSchemaVersion();

// The statements of migration `fromVersion` for the engine.
QStringList MigrationStatements(int fromVersion, bool postgres);

} // namespace archive
