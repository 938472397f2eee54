// SPDX-License-Identifier: MIT
#include "app/gui/views/linearlisttab.h"

#include "app/core/windowtexts.h"
#include "app/gui/views/journalviews.h"
#include "app/models/stringtablemodel.h"

#include <QTableView>

namespace views {

TLinearListTab::TLinearListTab(QWidget* parent)
    : TGridTab(parent, "sg", core::LinearListHeadings()) {
    SetupLinearList(grid(), cells());
}

void TLinearListTab::applyDeviceView(bool valueBeforeVisible) {
    ApplyLinearListLayout(grid(), valueBeforeVisible);
}

void TLinearListTab::scrollToLastRow() {
    ScrollToLastRow(grid());
}

void TLinearListTab::showRecord(std::int32_t index) {
    const int row = index + 1;
    grid()->selectRow(row);
    grid()->scrollTo(cells()->index(row, 0), QAbstractItemView::PositionAtCenter);
}

} // namespace views
