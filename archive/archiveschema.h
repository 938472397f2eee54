// SPDX-License-Identifier: MIT
#pragma once

#include <QStringList>

namespace archive {

// The archive's schema, one for SQLite and PostgreSQL: the table `archive_schema` holds the
// version; migration k (counted from 0) brings version k to k + 1. Only the spelling of an
// identity column and of a byte string differs between the engines.
//
//   series    one instrument journal's history (TJournalKey)
//   readings  one reading: when, where, what, into which series, the record range it covered
//   records   (series_id, number) -> answer bytes or failed result code, and the reading that
//             stored it
int LatestSchemaVersion();

// The statements of migration `fromVersion` for the engine.
QStringList MigrationStatements(int fromVersion, bool postgres);

} // namespace archive
