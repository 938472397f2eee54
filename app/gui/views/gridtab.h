// SPDX-License-Identifier: MIT
#pragma once

#include <QStringList>
#include <QWidget>

class QTableView;
namespace models {
class TStringTableModel;
} // namespace models

namespace views {

// A tab of the window's page control that shows one string grid: a table view named like the
// grid, filling the tab, over a string-table model of two rows whose row 0 holds the headings.
// Each tab of the window derives from it and sets its view up.
class TGridTab : public QWidget {
    Q_OBJECT
public:
    QTableView* grid() const { return m_grid; }
    models::TStringTableModel* cells() const { return m_cells; }

protected:
    TGridTab(QWidget* parent, const char* gridName, const QStringList& headings);

private:
    models::TStringTableModel* m_cells;
    QTableView* m_grid;
};

} // namespace views
