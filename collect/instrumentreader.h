// SPDX-License-Identifier: MIT
#pragma once

#include "archive/archivetypes.h"
#include "collect/instrumentlist.h"

#include <QDateTime>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// What the scheduler of lines asks of a line: read one of its instruments. Each line has a reader
// of its own, made on the line's thread and used only there; it holds the line's link to the
// instruments (one direct master per line) and the connection between readings when the
// instrument keeps it.
namespace collect {

class TCollectorMetrics;

// What one reading of an instrument did.
struct TReadingOutcome {
    // Every journal was read to its end (records that failed included); false when the link,
    // the count or the archive failed, or the reading was stopped.
    bool ok = false;
    bool stopped = false; // the collector was ending: the reading stopped like "Остановить"
    qint64 newRecords = 0;    // records stored anew, over all journals
    qint64 failedRecords = 0; // of those, records whose request failed
    QString error;            // !ok && !stopped: why, as the window or journal-read says it
};

class ILineReader {
public:
    virtual ~ILineReader() = default;
    // Reads every journal of `instrument` as "Дочитать" does (only what the archive lacks, a
    // cleared or replaced journal into a new series) and stores it in the archive. Asks
    // `stopRequested` between requests; once it is true the reading stops and what was read is
    // stored. Counts its exchanges in the metrics under the instrument's line.
    virtual TReadingOutcome Read(const TInstrument& instrument,
                                 const std::function<bool()>& stopRequested) = 0;
    // Closes a connection the last reading kept open (KeepConnection=1); the collector is ending
    // or the line has nothing to read for a while.
    virtual void Close() = 0;
};

// Makes the reader of a line (called on the line's thread).
using TLineReaderFactory =
    std::function<std::unique_ptr<ILineReader>(const TLine& line, TCollectorMetrics& metrics)>;

// The collector's name in leases and in the status: host and process ("host:1234").
QString CollectorName();

// The state the status shows after a reading that began at `began`: the previous state's
// failure time carries on while the readings keep failing.
archive::TInstrumentState StateAfterReading(const TInstrument& instrument, const TLine& line,
                                            const std::optional<archive::TInstrumentState>& before,
                                            const TReadingOutcome& outcome, const QDateTime& began,
                                            const QDateTime& next, const QString& collector);

} // namespace collect
