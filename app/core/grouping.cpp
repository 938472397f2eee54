// SPDX-License-Identifier: MIT
#include "app/core/grouping.h"

#include "app/core/recordformat.h"
#include "app/core/timeformats.h"

#include <algorithm>

namespace core {

const TRecStr& TGroupData::FindOrAddRecStr(const QString& text) {
    const auto it = m_strIndex.constFind(text);
    if (it != m_strIndex.constEnd())
        return m_strs[*it];
    m_strs.push_back(TRecStr{text, static_cast<std::int32_t>(m_strs.size() + 1)});
    m_strIndex.insert(text, m_strs.size() - 1);
    return m_strs.back();
}

void TGroupData::AddGroupEvent(std::int32_t id, std::int32_t atype, const QString& name,
                               TRecEvent event) {
    auto [it, inserted] = m_groupIndex.try_emplace(id, m_groups.size());
    if (inserted) {
        TRecType group;
        group.addr = id;
        group.atype = atype;
        group.Name = name;
        m_groups.push_back(std::move(group));
    }
    m_groups[it->second].Events.push_back(std::move(event));
}

void TGroupData::Clear() {
    std::vector<TRecType>().swap(m_groups);
    std::vector<TRecStr>().swap(m_strs);
    m_groupIndex.clear();
    m_strIndex.clear();
}

void TGroupData::BuildGroupView(IStringGrid& sgGr, const TJournalInfo* journal) const {
    sgGr.setColumnCount(1);
    sgGr.setRowCount(m_groups.empty() ? 2 : static_cast<int>(m_groups.size()) + 1);
    std::size_t widest = 0;
    for (const auto& g : m_groups)
        widest = std::max(widest, g.Events.size());
    // The grid is widened once to the widest group instead of group by group: the same final
    // size without repeated column insertions.
    if (widest + 1 > static_cast<std::size_t>(sgGr.columnCount()))
        sgGr.setColumnCount(static_cast<int>(widest + 1));
    for (std::size_t p = 0; p < m_groups.size(); ++p) {
        const TRecType& g = m_groups[p];
        const int row = static_cast<int>(p) + 1;
        sgGr.setCell(row, 0, g.Name == QLatin1String("???") ? QString::number(g.addr) : g.Name);
        for (std::size_t k = 0; k < g.Events.size(); ++k) {
            const TRecEvent& e = g.Events[k];
            sgGr.setCell(row, static_cast<int>(k) + 1,
                         FormatRecordTime(e.datetime, journal) + QLatin1Char('\r') +
                             GroupValueText(g.atype, e.Value));
        }
    }
}

void ClearGroupGrid(IStringGrid& sgGr) {
    sgGr.clearCells(1);
    sgGr.setRowCount(2);
    sgGr.setColumnCount(1);
}

} // namespace core
