// SPDX-License-Identifier: MIT
#include "app/core/archivebrowser.h"

#include "app/core/archiverecorder.h"
#include "app/core/timeformats.h"

namespace core {

namespace {

// Record counts are "Записей" everywhere; the numbers a series or a reading covers are "Номера".
const QStringList kSeriesHeadings = {QStringLiteral("№"),
                                     QStringLiteral("Прибор"),
                                     QStringLiteral("Журнал"),
                                     QStringLiteral("Номера"),
                                     QStringLiteral("Записей"),
                                     QStringLiteral("Сбойных"),
                                     QStringLiteral("Последнее чтение"),
                                     QStringLiteral("Порт"),
                                     QStringLiteral("Адрес")};

const QStringList kReadingHeadings = {
    QStringLiteral("Время"),   QStringLiteral("Чтение"),   QStringLiteral("Порт"),
    QStringLiteral("Адрес"),   QStringLiteral("Скорость"), QStringLiteral("Номера"),
    QStringLiteral("Записей"), QStringLiteral("Сбойных"),  QStringLiteral("Итог")};

// A time of the archive as the list shows record times ("13.09.20 12:26:40"): the local wall
// clock.
QString TimeText(const QDateTime& time) {
    if (!time.isValid())
        return {};
    const QDateTime local = time.toLocalTime();
    return FormatRecordTime(QDateTimeToDateTime(QDateTime(local.date(), local.time(), Qt::UTC)),
                            nullptr);
}

QString RangeText(const std::optional<qint64>& first, const std::optional<qint64>& last) {
    return first && last ? QStringLiteral("%1–%2").arg(*first).arg(*last) : QString();
}

// The numbers a reading was asked to read; for a reading of an older archive, those it stored.
QString ReadingRangeText(const archive::TReadingSummary& r) {
    const auto& first = r.info.rangeFirst;
    const auto& count = r.info.rangeCount;
    if (first && count && *count > 0)
        return RangeText(first, *first + *count - 1);
    return RangeText(r.firstNumber, r.lastNumber);
}

// The records a reading stored: a stopped one says of how many it was asked for, an
// incremental one that it read only the new ones of its range (the rest came from the archive).
QString ReadingRecordsText(const archive::TReadingSummary& r) {
    if (!r.info.rangeCount)
        return QString::number(r.records);
    if (r.info.kind == archive::TReadingKind::Incremental)
        return QStringLiteral("%1 новых из %2").arg(r.records).arg(*r.info.rangeCount);
    if (r.end == archive::TReadingEnd::Stopped)
        return QStringLiteral("%1 из %2").arg(r.records).arg(*r.info.rangeCount);
    return QString::number(r.records);
}

} // namespace

QString ReadingEndText(archive::TReadingEnd end) {
    switch (end) {
    case archive::TReadingEnd::Stopped:
        return QStringLiteral("остановлено");
    case archive::TReadingEnd::Unfinished:
        return QStringLiteral("не завершено");
    default:
        return QStringLiteral("завершено");
    }
}

namespace {

void FillRows(IStringGrid& grid, const QStringList& headings,
              const std::vector<QStringList>& rows) {
    grid.setColumnCount(static_cast<int>(headings.size()));
    grid.setRowCount(std::max<int>(2, static_cast<int>(rows.size()) + 1));
    grid.clearCells(0);
    for (int c = 0; c < headings.size(); ++c)
        grid.setCell(0, c, headings[c]);
    for (std::size_t r = 0; r < rows.size(); ++r)
        for (int c = 0; c < rows[r].size(); ++c)
            grid.setCell(static_cast<int>(r) + 1, c, rows[r][c]);
}

} // namespace

TOpenRange ParseOpenRange(const QString& startText, const QString& countText) {
    TOpenRange range;
    const auto number = [](const QString& text, qint64 min) -> std::optional<qint64> {
        bool ok = false;
        const qint64 n = text.trimmed().toLongLong(&ok);
        return ok && n >= min ? std::optional<qint64>(n) : std::nullopt;
    };
    if (!startText.trimmed().isEmpty()) {
        range.start = number(startText, 0);
        if (!range.start)
            range.error = QStringLiteral("«%1» — не номер записи").arg(startText.trimmed());
    }
    if (range.error.isEmpty() && !countText.trimmed().isEmpty()) {
        range.count = number(countText, 1);
        if (!range.count)
            range.error = QStringLiteral("«%1» — не количество записей").arg(countText.trimmed());
    }
    return range;
}

archive::TJournalArchive* TArchiveBrowser::Archive() {
    m_missing = false;
    return OpenArchive(m_archive, m_url, m_error, archive::TOpenMode::ReadOnly, &m_missing);
}

QString TArchiveBrowser::stateText() const {
    const QString location = archive::HidePassword(m_url);
    return m_missing
               ? QStringLiteral("%1: архива пока нет, его создаст первое чтение").arg(location)
               : location;
}

bool TArchiveBrowser::Fail() {
    m_error = m_archive ? m_archive->error() : m_error;
    return false;
}

bool TArchiveBrowser::FillSeries(IStringGrid& grid) {
    m_series.clear();
    m_error.clear();
    m_unreachable = false;
    archive::TJournalArchive* a = Archive();
    const auto series = a ? a->ListSeries() : std::nullopt;
    if (series)
        m_series = *series;
    std::vector<QStringList> rows;
    for (const auto& s : m_series) {
        // The last reading's time, and how it ended when it did not read its whole range.
        QString last = TimeText(s.lastReadingTime);
        if (s.lastEnd != archive::TReadingEnd::Finished)
            last += QStringLiteral(", ") + ReadingEndText(s.lastEnd);
        rows.push_back(
            {QString::number(s.id), s.journal.deviceName,
             QStringLiteral("%1 %2").arg(s.journal.journalNumber).arg(s.journal.journalName),
             RangeText(s.firstNumber, s.lastNumber), QString::number(s.records),
             QString::number(s.failed), last, s.lastPort, QString::number(s.lastAddress)});
    }
    FillRows(grid, kSeriesHeadings, rows);
    return series || m_missing ? true : Fail();
}

std::optional<qint64> TArchiveBrowser::SeriesAt(int row) const {
    if (row < 1 || static_cast<std::size_t>(row) > m_series.size())
        return std::nullopt;
    return m_series[static_cast<std::size_t>(row - 1)].id;
}

bool TArchiveBrowser::FillReadings(qint64 seriesId, IStringGrid& grid) {
    archive::TJournalArchive* a = Archive();
    const auto readings = a ? a->Readings(seriesId) : std::nullopt;
    std::vector<QStringList> rows;
    for (const auto& r : readings.value_or(std::vector<archive::TReadingSummary>{}))
        rows.push_back({TimeText(r.info.time),
                        r.info.kind == archive::TReadingKind::Incremental
                            ? QStringLiteral("дочитывание")
                            : QStringLiteral("полное"),
                        r.info.port, QString::number(r.info.address),
                        r.info.speed > 0 ? QString::number(r.info.speed) : QString(),
                        ReadingRangeText(r), ReadingRecordsText(r),
                        r.failed ? QString::number(*r.failed) : QString(), ReadingEndText(r.end)});
    FillRows(grid, kReadingHeadings, rows);
    return readings ? true : Fail();
}

TShownSeries TArchiveBrowser::Open(qint64 seriesId, std::optional<qint64> start,
                                   std::optional<qint64> count, const TDevList& devices,
                                   IRecordDecoder& decoder, IStringGrid& sg) {
    archive::TJournalArchive* a = Archive();
    if (!a) {
        TShownSeries failed;
        failed.error = m_error;
        return failed;
    }
    return ShowSeries(*a, devices, seriesId, start, count, decoder, sg);
}

bool TArchiveBrowser::Delete(qint64 seriesId) {
    archive::TJournalArchive writable;
    if (writable.Open(m_url) && writable.DeleteSeries(seriesId))
        return true;
    m_error = writable.error();
    return false;
}

bool TArchiveBrowser::HasSeries(const TDevInfo& device, int journalIndex) {
    if (m_unreachable)
        return false;
    archive::TJournalArchive* a = Archive();
    m_unreachable = !a;
    const auto has = a ? a->HasSeries(JournalKeyOf(device, journalIndex)) : std::nullopt;
    return has.value_or(false);
}

QString TArchiveBrowser::DeleteQuestion(qint64 seriesId) const {
    for (const auto& s : m_series)
        if (s.id == seriesId)
            return QStringLiteral("Удалить из архива серию %1 (%2, журнал %3, записей: %4)?")
                .arg(s.id)
                .arg(s.journal.deviceName)
                .arg(s.journal.journalNumber)
                .arg(s.records);
    return QStringLiteral("Удалить из архива серию %1?").arg(seriesId);
}

} // namespace core
