// SPDX-License-Identifier: MIT
#pragma once

#include "archive/archivelocation.h"

#include <QString>

class QSqlError;

namespace archive {

// What went wrong with the archive, in a Russian sentence for the user (archive file damaged,
// not an archive, no such database, disk full, no access, server unreachable, ...), followed by
// the driver's own text in parentheses. The driver's text is one line.
QString DatabaseErrorText(const QSqlError& error, TArchiveEngine engine);

} // namespace archive
