// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldata.h"
#include "app/core/stringgrid.h"

#include <QHash>
#include <QString>
#include <QVariant>

#include <cstdint>
#include <unordered_map>
#include <vector>

// The grouping data of a reading run: the events of the run grouped by record type
// (ListRecGroup, groups in the order their ID was first met, events in arrival order) and the
// table that gives texts an ID (ListStr). Lookups keep the first-match rule of a list search and
// use a hash index beside the lists, so a run of 65,536 distinct IDs stays linear.
namespace core {

class TGroupData {
public:
    const std::vector<TRecType>& ListRecGroup() const { return m_groups; }
    const std::vector<TRecStr>& ListStr() const { return m_strs; }

    // The entry for `text` (exact, case-sensitive), appended with ID = entry count + 1 when new.
    const TRecStr& FindOrAddRecStr(const QString& text);

    // Appends an event to the group of `id`; a new group takes `atype` and `name`, an existing
    // group keeps its own.
    void AddGroupEvent(std::int32_t id, std::int32_t atype, const QString& name, double dateTime,
                       const QVariant& value) {
        AddGroupEvent(id, atype, name, TRecEvent{dateTime, value, -1, {}, {}});
    }
    void AddGroupEvent(std::int32_t id, std::int32_t atype, const QString& name, TRecEvent event);

    // Empties both lists.
    void Clear();

    // Fills the grouped grid: one row per group below the heading row (at least one body row),
    // column 0 the group's name ("???" groups by their ID), one column per event with the event's
    // time text by `journal`'s flags, a CR and its value text by the group's data type.
    void BuildGroupView(IStringGrid& sgGr, const TJournalInfo* journal) const;

private:
    std::vector<TRecType> m_groups;
    std::vector<TRecStr> m_strs;
    std::unordered_map<std::int32_t, std::size_t> m_groupIndex;
    QHash<QString, std::size_t> m_strIndex;
};

// Empties the body of the grouped grid and sets it to 2 rows and 1 column; the heading cell
// (0, 0) stays.
void ClearGroupGrid(IStringGrid& sgGr);

} // namespace core
