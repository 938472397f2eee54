// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldata.h"
#include "app/core/readingrun.h"
#include "archive/journalarchive.h"

#include <QString>

#include <optional>

namespace core {

// The device of a stored series in today's catalogue: the one of the same name and description
// file, else the first of the same name; nullptr when there is none.
const TDevInfo* DeviceOfSeries(const TDevList& devices, const archive::TJournalKey& journal);

// What ShowSeries showed.
struct TShownSeries {
    const TDevInfo* device = nullptr;
    int journalIndex = 0;
    qint64 startrec = 0; // the range shown
    int count = 0;
    int failed = 0; // rows of failed or missing records
    QString error;  // why nothing was shown (the views are left as they were)
    bool ok() const { return error.isEmpty(); }
};

// Shows a stored series in the list and the grouped view as a reading of the same range would
// have shown them, decoded with the catalogue's current description: the whole series, or
// records start..start+count-1 of it (limited like a reading's "Начать с:" and "Количество").
TShownSeries ShowSeries(archive::TJournalArchive& archive, const TDevList& devices, qint64 seriesId,
                        std::optional<qint64> start, std::optional<qint64> count,
                        IRecordDecoder& decoder, IStringGrid& sg);

} // namespace core
