// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QVariant>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

// The journal data model: the device catalogue (devices, journals, record types) and the
// grouping data of a reading run.

// Record layout of a journal. Stored as 8 bits; values above tdQuint can occur in a catalogue
// and read no records.
enum TTypeDev : std::uint8_t {
    tdPlain = 0,
    tdMarlo = 1,
    tdPlain2 = 2,
    tdPlain3 = 3,
    tdPlain4 = 4,
    tdQuint = 5,
};

// Data type codes of TRecType::atype.
enum TDataType : std::int32_t {
    dtSWord = 2,
    dtSLongWord = 3,
    dtFloat = 4,
    dtDateTime = 7,
    dtSByte = 16,
    dtUByte = 17,
    dtUWord = 18,
    dtLongWord = 19,
    dtList = 256,
};

struct TValueStr {
    std::int32_t ID = 0;
    QString Value;
};

struct TRecEvent {
    double datetime = 0; // days since 1899-12-30, fraction = time of day
    QVariant Value;      // integer, double, date-time or text
    // The record the event came from, for views that lead back to it (the chart): its index in
    // the run (row Index + 1 of the linear list; -1 when not known) and, for a fixed-layout
    // record, its raw 32-bit New value and, in the layouts that carry one, its raw Before value.
    std::int32_t Index = -1;
    std::optional<std::uint32_t> RawNew;
    std::optional<std::uint32_t> RawBefore;
};

struct TRecType {
    std::int32_t addr = 0;
    std::int32_t atype = 0;
    QString Name;
    std::vector<TRecEvent> Events;
    std::optional<std::vector<TValueStr>> Strs; // only for value lists (atype 256)
};

struct TJournalInfo {
    std::int32_t CountRec = -1;
    std::int32_t Reg = -1;
    std::int32_t Num = -1;
    QString Name;
    bool Cycle = false;
    std::int32_t RegOverflow = -1;
    bool DTIsWorkTime = false;
    bool StartTime = false;
    TTypeDev typedev = tdPlain;
};

namespace core {

inline constexpr int kMaxJournals = 6;

// A record request carries the archive number in 8 bits and the record index in 16 bits: a
// journal is addressed in at most 65,536 record positions.
inline constexpr std::int64_t kRecordPositions = 65536;
// A record request carries the low 8 bits of the archive number: 0x10A asks for archive 10, and
// -1 (the catalogue's "not given") for 255. Device files rely on that.
inline constexpr std::uint8_t ArchiveOnWire(std::int32_t num) {
    return static_cast<std::uint8_t>(num & 0xFF);
}
// Whether the number is the one that travels (else a note may say which one does).
inline constexpr bool ArchiveNumberSentAsIs(std::int32_t num) {
    return num >= 0 && num <= 255;
}

} // namespace core

struct TDevInfo {
    QString Name;
    QString FileName; // the description file as main.ini names it
    std::int32_t v1 = 0, v2 = 0, v3 = 0, v4 = 0;
    std::int32_t CountJournals = 0;
    // Journal[0] is journal 1 (item 0 of the journal selector).
    std::array<TJournalInfo, core::kMaxJournals> Journal;
    std::vector<TRecType> ListRecType;

    // Journal at a selector item index; nullptr when the index names no described journal.
    const TJournalInfo* journalAt(int itemIndex) const {
        return itemIndex >= 0 && itemIndex < CountJournals && itemIndex < core::kMaxJournals
                   ? &Journal[static_cast<std::size_t>(itemIndex)]
                   : nullptr;
    }
};

using PDevInfo = TDevInfo*;

struct TRecStr {
    QString str;
    std::int32_t ID = 0;
};

namespace core {

// The device catalogue in catalogue order; pointers to its devices stay valid while it lives.
using TDevList = std::vector<std::unique_ptr<TDevInfo>>;

} // namespace core
