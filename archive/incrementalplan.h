// SPDX-License-Identifier: MIT
#pragma once

#include <QtGlobal>

#include <optional>
#include <vector>

// The plan of an incremental reading ("Дочитать", journal-read --incremental), without I/O.
//
// A reading run first reads the count and overflow registers and applies the limit, as a full
// reading does. The instrument then holds records heldFirst..maxRec-1 and the run covers
// startrec..startrec+countRec-1. An incremental reading identifies the instrument by content:
// for each candidate series of the device type and journal (most recently read first, at most
// three) whose highest answered number the instrument still holds, it reads that record from
// the instrument and compares it byte for byte with the series' record. The first candidate that
// agrees is the series to continue: the run asks only for the numbers of its range the series
// lacks or holds as failed, and takes the rest from the archive. When no candidate agrees (the
// journal was cleared, another instrument of the type answers on that port and address, a record
// changed in place), the run reads everything into a new series.
namespace archive {

struct TInstrumentRange {
    qint64 heldFirst = 0; // first record the instrument holds (startrec before the limit)
    qint64 maxRec = 0;    // MaxRec: one past the newest record
    qint64 startrec = 0;  // the run's first record (after the limit)
    qint64 countRec = 0;  // the run's record count (after the limit)
    int ringSize = 0;     // records of a ring journal (wraps at this size); 0 for a linear one
};

// The range from the reading run's figures (TRunResult's startrec, CountRec and MaxRec, after
// the limit) and the journal's ring size (its CountRec when it is a ring, else 0): a ring holds
// its last ringSize records.
TInstrumentRange RunRange(qint64 startrec, qint64 countRec, qint64 maxRec, int ringSize);

struct TPlanCandidate {
    qint64 seriesId = 0;
    std::optional<qint64> highestAnswered; // the series' highest number stored with an answer
};

struct TComparison {
    qint64 seriesId = 0;
    qint64 number = 0;    // absolute record number
    int requestIndex = 0; // the index to send (after the ring wrap-around)
};

// The index sent for an absolute record number.
int RequestIndex(qint64 number, int ringSize);

// The comparisons to make, in order (the first that agrees wins): one per candidate whose
// highest answered number the instrument still holds; at most three candidates are considered.
std::vector<TComparison> PlanComparisons(const TInstrumentRange& range,
                                         const std::vector<TPlanCandidate>& candidates);

// After a match: the numbers of the run's range the series does not hold answers for, in order.
// `answered` are the series' answered numbers (sorted; those outside the range are ignored).
std::vector<qint64> NumbersToRead(const TInstrumentRange& range,
                                  const std::vector<qint64>& answered);

// The numbers first..last missing from the sorted list `present`.
std::vector<qint64> NumbersNotIn(qint64 first, qint64 last, const std::vector<qint64>& present);

} // namespace archive
