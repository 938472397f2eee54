// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <vector>

namespace core {

// A table of texts addressed by (row, column), the form in which the window's grids hold their
// content. The decoder and the reading run write through this interface; the export and the
// tests read through it. TStringGrid is the plain storage; the item model in app/models wraps one
// for the views.
class IStringGrid {
public:
    virtual ~IStringGrid() = default;

    virtual int rowCount() const = 0;
    virtual int columnCount() const = 0;
    virtual void setRowCount(int rows) = 0;
    virtual void setColumnCount(int columns) = 0;
    // Text of a cell; empty outside the grid.
    virtual QString cell(int row, int column) const = 0;
    // Writes a cell inside the grid; writes outside it are ignored.
    virtual void setCell(int row, int column, const QString& text) = 0;
    // Empties every cell from row `fromRow` on, all columns, and clears their error marks; the
    // size stays.
    virtual void clearCells(int fromRow) = 0;
    // An error row: a record whose request failed (its error text in column 1). The views draw
    // such rows apart; the mark goes with the row's cells (clearCells, a smaller row count).
    virtual void setRowError(int row, bool error) = 0;
    virtual bool rowError(int row) const = 0;
};

// Sparse storage: a row keeps only the cells up to its last written one, so a grid of two rows
// and 65,537 columns costs what its texts cost.
class TStringGrid : public IStringGrid {
public:
    TStringGrid(int rows = 0, int columns = 0) : m_columns(columns) { setRowCount(rows); }

    int rowCount() const override { return static_cast<int>(m_rows.size()); }
    int columnCount() const override { return m_columns; }
    void setRowCount(int rows) override;
    void setColumnCount(int columns) override;
    QString cell(int row, int column) const override;
    void setCell(int row, int column, const QString& text) override;
    void clearCells(int fromRow) override;
    void setRowError(int row, bool error) override;
    bool rowError(int row) const override;

private:
    std::vector<std::vector<QString>> m_rows;
    std::vector<bool> m_errors; // as long as m_rows once a row was marked
    int m_columns = 0;
};

} // namespace core
