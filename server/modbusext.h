// SPDX-License-Identifier: MIT
#pragma once

#include <QModbusPdu>

// The instrument's journal function (65) in Qt SerialBus terms.
namespace server {

constexpr quint8 kJournalFunction = 65;
// Length of the journal request data (archive number, count, record index).
constexpr int kJournalRequestSize = 7;

// Registers the data-size calculators of function 65 for requests and responses. Must run in
// every process before the first frame; calling it again does nothing.
void registerJournalFunction();

// Qt's RTU client drops a reply with a wrong CRC and tells only its log ("qt.modbus"); the
// request then ends as a timeout. watchCrcDiscards() installs a message handler that counts those
// drops (call it once from a program's main(), never from a library); crcDiscards() reads the
// count, so that a channel can tell a bad CRC from no answer.
void watchCrcDiscards();
quint64 crcDiscards();

} // namespace server
