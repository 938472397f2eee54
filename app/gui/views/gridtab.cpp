// SPDX-License-Identifier: MIT
#include "app/gui/views/gridtab.h"

#include "app/models/stringtablemodel.h"

#include <QTableView>
#include <QVBoxLayout>

namespace views {

TGridTab::TGridTab(QWidget* parent, const char* gridName, const QStringList& headings)
    : QWidget(parent),
      m_cells(new models::TStringTableModel(2, static_cast<int>(headings.size()), this)),
      m_grid(new QTableView(this)) {
    m_grid->setObjectName(QString::fromLatin1(gridName));
    for (int c = 0; c < headings.size(); ++c)
        m_cells->setCell(0, c, headings[c]);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_grid);
}

} // namespace views
