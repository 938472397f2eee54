// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/stringgrid.h"

#include <QAbstractTableModel>

namespace models {

// Item model over a TStringGrid for the window's table views. Row 0 of the grid is the heading
// row: views show it as their horizontal header and the body from grid row 1 on, so model row i
// is grid row i + 1. Cells are read-only; the tooltip role returns `toolTip()` when set. An error
// row (IStringGrid::setRowError) is drawn on the error colour, and its tooltip is its error text
// (column 1) whole, which the narrow time column cuts.
class TStringTableModel : public QAbstractTableModel, public core::IStringGrid {
    Q_OBJECT
public:
    explicit TStringTableModel(int rows = 2, int columns = 1, QObject* parent = nullptr);

    // IStringGrid
    int rowCount() const override { return m_grid.rowCount(); }
    int columnCount() const override { return m_grid.columnCount(); }
    void setRowCount(int rows) override;
    void setColumnCount(int columns) override;
    QString cell(int row, int column) const override { return m_grid.cell(row, column); }
    void setCell(int row, int column, const QString& text) override;
    void clearCells(int fromRow) override;
    void setRowError(int row, bool error) override;
    bool rowError(int row) const override { return m_grid.rowError(row); }

    const core::TStringGrid& grid() const { return m_grid; }
    // Takes every cell of `grid` at once (the views start over), rather than cell by cell.
    void assign(const core::TStringGrid& grid);
    // The background of error rows (and of faults in the other lists of the window).
    static QColor errorColour();

    void setToolTip(const QString& text) { m_toolTip = text; }
    const QString& toolTip() const { return m_toolTip; }

    // QAbstractTableModel
    int rowCount(const QModelIndex& parent) const override;
    int columnCount(const QModelIndex& parent) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    core::TStringGrid m_grid;
    QString m_toolTip;
};

} // namespace models
