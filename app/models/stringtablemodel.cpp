// SPDX-License-Identifier: MIT
#include "app/models/stringtablemodel.h"

#include <QBrush>
#include <QColor>

#include <algorithm>

namespace models {

TStringTableModel::TStringTableModel(int rows, int columns, QObject* parent)
    : QAbstractTableModel(parent), m_grid(rows, columns) {}

void TStringTableModel::setRowCount(int rows) {
    rows = std::max(rows, 0);
    const int oldBody = std::max(m_grid.rowCount() - 1, 0);
    const int newBody = std::max(rows - 1, 0);
    if (newBody > oldBody) {
        beginInsertRows({}, oldBody, newBody - 1);
        m_grid.setRowCount(rows);
        endInsertRows();
    } else if (newBody < oldBody) {
        beginRemoveRows({}, newBody, oldBody - 1);
        m_grid.setRowCount(rows);
        endRemoveRows();
    } else {
        m_grid.setRowCount(rows);
    }
}

void TStringTableModel::setColumnCount(int columns) {
    columns = std::max(columns, 0);
    const int old = m_grid.columnCount();
    if (columns > old) {
        beginInsertColumns({}, old, columns - 1);
        m_grid.setColumnCount(columns);
        endInsertColumns();
    } else if (columns < old) {
        beginRemoveColumns({}, columns, old - 1);
        m_grid.setColumnCount(columns);
        endRemoveColumns();
    }
}

void TStringTableModel::setCell(int row, int column, const QString& text) {
    m_grid.setCell(row, column, text);
    if (row == 0) {
        emit headerDataChanged(Qt::Horizontal, column, column);
    } else if (row > 0 && row < m_grid.rowCount() && column >= 0 && column < m_grid.columnCount()) {
        const QModelIndex i = index(row - 1, column);
        emit dataChanged(i, i, {Qt::DisplayRole});
    }
}

void TStringTableModel::assign(const core::TStringGrid& grid) {
    beginResetModel();
    m_grid = grid;
    endResetModel();
    emit headerDataChanged(Qt::Horizontal, 0, std::max(m_grid.columnCount() - 1, 0));
}

void TStringTableModel::clearCells(int fromRow) {
    m_grid.clearCells(fromRow);
    if (m_grid.rowCount() > 1 && m_grid.columnCount() > 0) {
        const int first = std::max(fromRow, 1) - 1;
        if (first < m_grid.rowCount() - 1)
            emit dataChanged(index(first, 0),
                             index(m_grid.rowCount() - 2, m_grid.columnCount() - 1));
    }
    if (fromRow <= 0)
        emit headerDataChanged(Qt::Horizontal, 0, std::max(m_grid.columnCount() - 1, 0));
}

void TStringTableModel::setRowError(int row, bool error) {
    if (m_grid.rowError(row) == error)
        return;
    m_grid.setRowError(row, error);
    if (row > 0 && row < m_grid.rowCount() && m_grid.columnCount() > 0)
        emit dataChanged(index(row - 1, 0), index(row - 1, m_grid.columnCount() - 1),
                         {Qt::BackgroundRole, Qt::ToolTipRole});
}

QColor TStringTableModel::errorColour() {
    return QColor(255, 221, 221);
}

int TStringTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : std::max(m_grid.rowCount() - 1, 0);
}

int TStringTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_grid.columnCount();
}

QVariant TStringTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    const int row = index.row() + 1;
    if (role == Qt::DisplayRole)
        return m_grid.cell(row, index.column());
    if (role == Qt::BackgroundRole)
        return m_grid.rowError(row) ? QVariant(QBrush(errorColour())) : QVariant();
    if (role == Qt::ToolTipRole) {
        if (m_grid.rowError(row))
            return m_grid.cell(row, 1);
        if (!m_toolTip.isEmpty())
            return m_toolTip;
    }
    return {};
}

QVariant TStringTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Horizontal)
        return m_grid.cell(0, section);
    return {};
}

Qt::ItemFlags TStringTableModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

} // namespace models
