// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldata.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace core {

// What a reading run tells the journal archive and asks of it. The run works without one; the
// archive library's side is TArchiveRecorder (app/core/archiverecorder.h).

// The run as the archive keeps it: what was read, where, and the record range (after the count
// and the limit).
struct TArchiveRunInfo {
    const TDevInfo* device = nullptr;
    int journalIndex = 0; // item index of the journal selector
    QString port;         // COMn name, device path or endpoint, as the user named it
    int address = 1;
    int speed = 0;
    bool incremental = false; // the reading continues the series it identified
    qint64 startrec = 0;      // the run's first record number
    qint64 countRec = 0;      // records of the run
    qint64 maxRec = 0;        // one past the newest record of the journal
    int ringSize = 0;         // the requests wrap at this index (a ring journal); 0: they do not
};

// A stored record of a series: the answer bytes (function code, byte count, data), or the
// result code of a failed request.
struct TStoredRecord {
    qint64 number = 0;
    int code = 0;
    QByteArray bytes;
};

// A stored answer to compare with the instrument's record at the same number.
struct TArchiveCheck {
    qint64 seriesId = 0;
    qint64 number = 0;
    int requestIndex = 0; // the index to send
    QByteArray bytes;
};

class IRunArchive {
public:
    virtual ~IRunArchive() = default;

    // An incremental reading: the stored answers to compare with the instrument, in order (the
    // first that agrees names the series to continue). Empty when there is nothing to compare.
    virtual std::vector<TArchiveCheck> Comparisons(const TArchiveRunInfo& run) = 0;
    // The last Comparisons could not consult the archive (it could not be opened or failed):
    // nothing was compared.
    virtual bool ComparisonsFailed() const { return false; }
    // The series' answers within the run's range, in number order.
    virtual std::vector<TStoredRecord> StoredAnswers(qint64 seriesId,
                                                     const TArchiveRunInfo& run) = 0;
    // Stores the run's records from now on: into `series` (an incremental reading that
    // identified it) or as a full reading.
    virtual void Begin(const TArchiveRunInfo& run, std::optional<qint64> series) = 0;
    // A record of the run: the access library's 256-byte reply buffer, or a failed request.
    virtual void Answered(qint64 number, const std::uint8_t* reply) = 0;
    virtual void Failed(qint64 number, int code) = 0;
    // The run has ended, `stopped` before the end of its range; what is left is committed
    // without the run waiting for it.
    virtual void End(bool stopped) = 0;
};

} // namespace core
