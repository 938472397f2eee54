// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <optional>

namespace archive {

// The instrument journal a series keeps: the device type (its name in the catalogue and its
// description file), the journal's number and name, and its record layout (TTypeDev). A series
// is continued only by readings of the same device name, device file, journal number and layout.
struct TJournalKey {
    QString deviceName;
    QString deviceFile;
    int journalNumber = 0;
    QString journalName;
    int layout = 0;
};

enum class TReadingKind { Full = 0, Incremental = 1 };

// How a reading ended: it read its whole range, it was stopped before the end of its range (by
// the user or a signal), or it never finished (the program was killed or the archive cut off).
enum class TReadingEnd { Finished, Stopped, Unfinished };

// What a reading records about itself when it begins.
struct TReadingInfo {
    QDateTime time;  // when the reading began
    QString port;    // COMn name, device path or network endpoint
    int address = 1; // Modbus address of the instrument
    int speed = 0;   // baud; 0 for network endpoints
    TJournalKey journal;
    TReadingKind kind = TReadingKind::Full;
    // The record range it was asked to read (after the count and the limit): an incremental
    // reading stores only the records it read anew, a stopped one only those before the stop.
    std::optional<qint64> rangeFirst;
    std::optional<qint64> rangeCount;
};

// One stored record: the meaningful part of the function-65 reply buffer (byte 0 the function
// code, byte 1 the byte count N, then N data bytes: N + 2 bytes), or the result code of the
// failed request with no bytes.
struct TArchivedRecord {
    qint64 number = 0; // absolute record number, as the list shows it
    int code = 0;      // 0: answered; otherwise the access library's result code
    QByteArray bytes;
    qint64 readingId = 0;

    bool ok() const { return code == 0; }
};

// The bytes of a reply worth keeping: bytes 0 to N + 1 of the 256-byte reply buffer.
inline QByteArray MeaningfulReply(const std::uint8_t* reply, int bufferSize = 256) {
    const int length = std::min(bufferSize, 2 + static_cast<int>(reply[1]));
    return QByteArray(reinterpret_cast<const char*>(reply), length);
}

struct TSeriesSummary {
    qint64 id = 0;
    TJournalKey journal;
    std::optional<qint64> firstNumber; // nullopt for a series without records
    std::optional<qint64> lastNumber;
    std::optional<qint64> lastAnswered; // the highest number stored with an answer
    qint64 records = 0;                 // stored records, failed ones included
    qint64 failed = 0;
    QDateTime lastReadingTime;
    QString lastPort;
    int lastAddress = 0;
    TReadingEnd lastEnd = TReadingEnd::Finished; // of the last reading
};

struct TReadingSummary {
    qint64 id = 0;
    qint64 seriesId = 0;
    TReadingInfo info;
    QDateTime finished; // invalid when the reading never finished (stopped by a crash)
    TReadingEnd end = TReadingEnd::Finished;
    std::optional<qint64> firstNumber; // the record range the reading covered
    std::optional<qint64> lastNumber;
    qint64 records = 0;
    std::optional<qint64> failed; // of its records; nullopt in an archive that did not count them
};

// How a collector's instrument fares: its last reading went well, its readings fail (since the
// first failure in a row), or its last reading was stopped before the end (the collector ended).
enum class TCollectState { Ok = 0, Failing = 1, Stopped = 2 };

// What the status of any collector shows of an instrument of the list, as the collector that read
// it last left it.
struct TInstrumentState {
    QString instrument; // the list's name
    QString line;       // the line it is on (device path or endpoint)
    QString port;       // as the list writes it; its readings are stored with it
    int address = 1;
    QString deviceName;
    QList<int> journals;
    QDateTime lastReading; // when the last reading began; invalid before the first
    qint64 newRecords = 0; // stored anew by the last reading
    qint64 failedRecords = 0;
    TCollectState state = TCollectState::Ok;
    QDateTime failingSince; // Failing: the first failed reading in a row
    QString error;          // Failing: why the last reading failed
    QDateTime nextReading;  // invalid: none planned
    QString collector;      // the collector that read it last
};

} // namespace archive
