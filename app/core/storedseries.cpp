// SPDX-License-Identifier: MIT
#include "app/core/storedseries.h"

#include <algorithm>

namespace core {

const TDevInfo* DeviceOfSeries(const TDevList& devices, const archive::TJournalKey& journal) {
    const TDevInfo* sameName = nullptr;
    for (const auto& device : devices) {
        if (device->Name != journal.deviceName)
            continue;
        if (device->FileName == journal.deviceFile)
            return device.get();
        if (!sameName)
            sameName = device.get();
    }
    return sameName;
}

TShownSeries ShowSeries(archive::TJournalArchive& archive, const TDevList& devices, qint64 seriesId,
                        std::optional<qint64> start, std::optional<qint64> count,
                        IRecordDecoder& decoder, IStringGrid& sg) {
    TShownSeries shown;
    const auto series = archive.Series(seriesId);
    if (!series) {
        shown.error = archive.error();
        return shown;
    }
    const archive::TJournalKey& key = series->journal;
    shown.device = DeviceOfSeries(devices, key);
    shown.journalIndex = key.journalNumber - 1;
    if (!shown.device) {
        shown.error = QStringLiteral("Прибора «%1» нет в каталоге").arg(key.deviceName);
        return shown;
    }
    if (!shown.device->journalAt(shown.journalIndex)) {
        shown.error = QStringLiteral("У прибора «%1» нет журнала %2")
                          .arg(shown.device->Name)
                          .arg(key.journalNumber);
        return shown;
    }
    if (!series->firstNumber || !series->lastNumber) {
        shown.error = QStringLiteral("Серия %1 пуста").arg(seriesId);
        return shown;
    }
    const qint64 first = start.value_or(*series->firstNumber);
    const qint64 last = *series->lastNumber;
    if (first < *series->firstNumber) {
        shown.error = QStringLiteral("Стартовый индекс %1 младше первой записи %2")
                          .arg(first)
                          .arg(*series->firstNumber);
        return shown;
    }
    if (first > last + 1) {
        shown.error = QStringLiteral("Стартовый индекс больше количества записей");
        return shown;
    }
    const qint64 wanted = count.value_or(last - first + 1);
    const qint64 n = std::max<qint64>(0, std::min(wanted, last - first + 1));
    const auto records = archive.Records(seriesId, first, first + n - 1);
    if (!records) {
        shown.error = archive.error();
        return shown;
    }
    std::vector<TStoredRecord> stored;
    stored.reserve(records->size());
    int answered = 0;
    for (const auto& r : *records) {
        stored.push_back({r.number, r.code, r.bytes});
        answered += r.ok() ? 1 : 0;
    }
    shown.startrec = first;
    shown.count = static_cast<int>(n);
    shown.failed = shown.count - answered;
    ShowStoredRecords(decoder, sg, *shown.device, shown.journalIndex, shown.startrec, shown.count,
                      stored);
    return shown;
}

} // namespace core
