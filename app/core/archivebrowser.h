// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/readingrun.h"
#include "app/core/storedseries.h"
#include "app/core/stringgrid.h"
#include "archive/journalarchive.h"

#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace core {

// The record range of "Открыть" from its two boxes: both empty — the whole series; else the first
// record number and, when given, how many records from it. `error` says what is wrong.
struct TOpenRange {
    std::optional<qint64> start;
    std::optional<qint64> count;
    QString error;
};
TOpenRange ParseOpenRange(const QString& startText, const QString& countText);

// How a reading ended, as the archive's lists say it: "завершено", "остановлено", "не завершено".
QString ReadingEndText(archive::TReadingEnd end);

// The "Архив" tab without widgets: the archive's series and a series' readings as rows of text,
// opening a series into the list and the grouped view, deleting one. It opens the archive only
// to read (a read-only archive is listed and opened; a missing one is not made): only a
// deletion writes. Every failure is kept in error() for one message; nothing throws.
class TArchiveBrowser {
public:
    explicit TArchiveBrowser(QString url) : m_url(std::move(url)) {}

    const QString& url() const { return m_url; }
    const QString& error() const { return m_error; }
    // Where the archive is, as the tab says it after FillSeries: its location (a password as
    // "***"), and that there is no archive there yet.
    QString stateText() const;

    // Reloads the series into `grid`: a heading row, then one row per series (number, device,
    // journal, record numbers, records, failed records, the last reading's time (and how it ended
    // when it did not read its whole range), its port and address). False when the
    // archive fails (the grid then holds the heading row only); an archive that is not there
    // holds no series.
    bool FillSeries(IStringGrid& grid);
    // The series of a row of the series grid (row 1 is the first); nullopt outside the list.
    std::optional<qint64> SeriesAt(int row) const;
    // The readings of a series into `grid`: heading row, then time, kind, port, address, speed,
    // the record numbers it was asked to read, the records it stored (of how many, when stopped
    // or incremental),
    // failed records, how it ended. Times read as the list's record times.
    bool FillReadings(qint64 seriesId, IStringGrid& grid);
    // Shows the series (or start..start+count-1 of it) as a reading of that range shows it.
    TShownSeries Open(qint64 seriesId, std::optional<qint64> start, std::optional<qint64> count,
                      const TDevList& devices, IRecordDecoder& decoder, IStringGrid& sg);
    bool Delete(qint64 seriesId);
    // Whether the archive holds a series of the device's journal. After the archive could not be
    // opened this answers false at once until FillSeries tries again: a server that is down
    // must not hold up the window at every change of the device.
    bool HasSeries(const TDevInfo& device, int journalIndex);
    // HasSeries tries to open the archive again (a reading has just written to it).
    void RetryOpening() { m_unreachable = false; }
    // A question for "Удалить": names the series.
    QString DeleteQuestion(qint64 seriesId) const;

private:
    archive::TJournalArchive* Archive();
    bool Fail();

    const QString m_url;
    std::unique_ptr<archive::TJournalArchive> m_archive;
    std::vector<archive::TSeriesSummary> m_series;
    QString m_error;
    bool m_unreachable = false; // the last opening for HasSeries failed
    bool m_missing = false;     // FillSeries found no archive at the URL
};

} // namespace core
