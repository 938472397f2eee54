// SPDX-License-Identifier: MIT
#include "app/core/stringgrid.h"

#include <algorithm>

namespace core {

void TStringGrid::setRowCount(int rows) {
    m_rows.resize(static_cast<std::size_t>(std::max(rows, 0)));
    if (m_errors.size() > m_rows.size())
        m_errors.resize(m_rows.size());
}

void TStringGrid::setColumnCount(int columns) {
    m_columns = std::max(columns, 0);
    for (auto& row : m_rows)
        if (row.size() > static_cast<std::size_t>(m_columns))
            row.resize(static_cast<std::size_t>(m_columns));
}

QString TStringGrid::cell(int row, int column) const {
    if (row < 0 || row >= rowCount() || column < 0)
        return {};
    const auto& r = m_rows[static_cast<std::size_t>(row)];
    return static_cast<std::size_t>(column) < r.size() ? r[static_cast<std::size_t>(column)]
                                                       : QString();
}

void TStringGrid::setCell(int row, int column, const QString& text) {
    if (row < 0 || row >= rowCount() || column < 0 || column >= m_columns)
        return;
    auto& r = m_rows[static_cast<std::size_t>(row)];
    if (static_cast<std::size_t>(column) >= r.size()) {
        if (text.isEmpty())
            return;
        r.resize(static_cast<std::size_t>(column) + 1);
    }
    r[static_cast<std::size_t>(column)] = text;
}

void TStringGrid::clearCells(int fromRow) {
    const auto first = static_cast<std::size_t>(std::max(fromRow, 0));
    for (std::size_t i = first; i < m_rows.size(); ++i)
        std::vector<QString>().swap(m_rows[i]);
    if (first < m_errors.size())
        m_errors.resize(first);
}

void TStringGrid::setRowError(int row, bool error) {
    if (row < 0 || row >= rowCount())
        return;
    const auto r = static_cast<std::size_t>(row);
    if (r >= m_errors.size()) {
        if (!error)
            return;
        m_errors.resize(m_rows.size());
    }
    m_errors[r] = error;
}

bool TStringGrid::rowError(int row) const {
    return row >= 0 && static_cast<std::size_t>(row) < m_errors.size() &&
           m_errors[static_cast<std::size_t>(row)];
}

} // namespace core
