// SPDX-License-Identifier: MIT
#pragma once

#include "rtuframe.h"

#include <QModbusPdu>

namespace server {

// The instrument's journal function (65) and its data-size rules, shared with the access
// library: registerJournalFunction() must run in every process before the first frame.
using ombrel::kJournalFunction;
using ombrel::registerJournalFunction;

// Qt's RTU client drops a reply with a wrong CRC and tells only its log ("qt.modbus"); the
// request then ends as a timeout. watchCrcDiscards() installs a message handler that counts those
// drops (call it once from a program's main(), never from a library); crcDiscards() reads the
// count, so that a channel can tell a bad CRC from no answer.
void watchCrcDiscards();
quint64 crcDiscards();

} // namespace server
