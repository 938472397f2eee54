// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/grouping.h"
#include "app/core/journaldata.h"
#include "app/core/recordformat.h"
#include "app/core/stringgrid.h"
#include "app/core/timeformats.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <unordered_map>

namespace core {

// An error row of the linear list: row `index` + 1 (the list grows to hold it) shows `number` and
// `text`, its other cells are emptied, and it is marked as an error row.
void WriteErrorRow(IStringGrid& sg, std::int32_t index, std::int64_t number, const QString& text);

// Decodes journal records into rows of the linear list `sg` and events of the run's groups.
//
// The decoder knows the current device (the window's CurDev), the item index of the journal
// being read (the journal selector's index; item 0 is the device's first journal) and the start
// index of the run (`startrec`). It owns the grouping data of the run. After each record it calls
// the scroll hook, through which the view shows the list's last row.
//
// The catalogue a device comes from is never changed after loading; the decoder keeps an index of
// the device's record types by ID (first entry of an ID wins, as a list search would).
class TJournalDecoder {
public:
    explicit TJournalDecoder(IStringGrid& sg) : m_sg(sg) {}

    void setDevice(const TDevInfo* device);
    const TDevInfo* device() const { return m_device; }
    void setJournalIndex(int itemIndex) { m_journalIndex = itemIndex; }
    int journalIndex() const { return m_journalIndex; }
    // The journal being read; nullptr without device or when the index names no journal.
    const TJournalInfo* journal() const;
    void setStartRec(std::int64_t startrec) { m_startrec = startrec; }
    std::int64_t startrec() const { return m_startrec; }
    void setScrollHook(std::function<void()> hook) { m_scrollHook = std::move(hook); }
    // Calls the scroll hook (also for rows the reading run writes itself, such as error rows).
    void ScrollToLastRow() const;

    // One fixed-layout record into row Index + 1; Error != 0 gives an "Error" row and no event.
    void DecodeRecord(std::int32_t Index, std::uint32_t Time, std::uint16_t ID, std::int32_t Error,
                      std::uint32_t Before, std::uint32_t New);
    // A fixed-layout reply by the journal's layout; `requestIndex` is the index sent in the
    // request (after the ring wrap-around).
    void DecodeFixedReply(std::int32_t Index, TReplyView reply, int requestIndex);
    // One text record (tdMarlo or tdQuint, first journal). Returns false when its time text did
    // not convert: the row shows the text as received and the event is kept without a time
    // (kNoDateTime); UnparsedTimeCount() counts such records for one notice after the run.
    bool DecodeTextRecord(std::int32_t Index, TReplyView reply);
    // One mode-change record (tdMarlo or tdQuint, other journals).
    void DecodeModeRecord(std::int32_t Index, TReplyView reply);

    // The time cell text by the flags of the journal being read.
    QString FormatRecordTime(double dateTime) const {
        return core::FormatRecordTime(dateTime, journal());
    }

    // Grouping data of the run.
    const std::vector<TRecType>& ListRecGroup() const { return m_groups.ListRecGroup(); }
    const std::vector<TRecStr>& ListStr() const { return m_groups.ListStr(); }
    const TRecStr& FindOrAddRecStr(const QString& text) { return m_groups.FindOrAddRecStr(text); }
    void AddGroupEvent(std::int32_t ID, std::int32_t AType, const QString& Name, double DateTime,
                       const QVariant& Value) {
        m_groups.AddGroupEvent(ID, AType, Name, DateTime, Value);
    }
    // Takes the device, journal, start record, grouping data and unread time texts of the run
    // that `run` decoded (the window's decoder after a run on the engine's thread).
    void AdoptRun(const TJournalDecoder& run);

    // Empties the grouping data and the count of unread time texts.
    void ClearGroupData();
    // The same, and empties the grouped grid (2 rows, 1 column).
    void ClearGroupData(IStringGrid& sgGr);
    // Fills the grouped grid with the time texts of the journal selected now.
    void BuildGroupView(IStringGrid& sgGr) const { m_groups.BuildGroupView(sgGr, journal()); }

    // Fills the record-type grid from the current device.
    void FillRecTypeGrid(IStringGrid& sgType) const { FillRecTypeGrid(sgType, m_device); }
    // No device: nothing happens. No record types: 2 rows with row 1 emptied. Otherwise one row
    // per record type: position, name, ID, type name.
    static void FillRecTypeGrid(IStringGrid& sgType, const TDevInfo* device);

    // The first record type of the current device with this ID.
    const TRecType* FindRecType(std::int32_t id) const;

    // Text records of this run whose time text did not convert, and the first such text.
    int UnparsedTimeCount() const { return m_unparsedTimes; }
    const QString& FirstUnparsedTime() const { return m_firstUnparsedTime; }
    // One notice for all of them; empty when there is none.
    QString UnparsedTimeMessage() const;

private:
    void EnsureRow(std::int32_t Index);
    void IndexRecordTypes() const;

    IStringGrid& m_sg;
    const TDevInfo* m_device = nullptr;
    int m_journalIndex = 0;
    std::int64_t m_startrec = 0;
    std::function<void()> m_scrollHook;
    TGroupData m_groups;
    int m_unparsedTimes = 0;
    QString m_firstUnparsedTime;

    mutable std::unordered_map<std::int32_t, std::size_t> m_typeIndex;
    mutable const TRecType* m_indexedData = nullptr;
    mutable std::size_t m_indexedSize = 0;
};

} // namespace core
