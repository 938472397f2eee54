// SPDX-License-Identifier: MIT
#pragma once

#include "accesslib/frames/rtuframe.h"

#include <QModbusPdu>

// The instrument's journal function (65) in Qt SerialBus terms.
namespace server {

constexpr quint8 kJournalFunction = 65;
// Length of the journal request data (archive number, count, record index).
constexpr int kJournalRequestSize = 7;

// Registers the data-size calculators of function 65 for requests and responses (the framing
// library's, which a master in the same process uses too). Must run in every process before the
// first frame; calling it again does nothing.
using ombrel::registerJournalFunction;

} // namespace server
