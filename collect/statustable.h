// SPDX-License-Identifier: MIT
#pragma once

#include "archive/archivetypes.h"

#include <QString>
#include <QStringList>

#include <vector>

// The instruments' state as --status and the status page show it: one row per instrument with
// its line, last reading, new and failed records of that reading, state and next reading.
namespace collect {

// The headings of the table.
QStringList StatusHeadings();

// "в порядке", "сбой с 2024-05-01 12:00:00 (Прибор не отвечает)", "остановлено".
QString StateText(const archive::TInstrumentState& state);

// A time as the table shows it (local time, "yyyy-MM-dd HH:mm:ss"); "—" for none.
QString StatusTime(const QDateTime& time);

// The row of an instrument, in the order of the headings.
QStringList StatusRow(const archive::TInstrumentState& state);

// The rows as text: the headings, then a line per instrument, the columns aligned.
QString StatusTableText(const std::vector<archive::TInstrumentState>& states);

} // namespace collect
