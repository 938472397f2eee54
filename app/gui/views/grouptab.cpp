// SPDX-License-Identifier: MIT
#include "app/gui/views/grouptab.h"

#include "app/core/windowtexts.h"
#include "app/gui/views/journalviews.h"

TGroupTab::TGroupTab(QWidget* parent) : TGridTab(parent, "sgGr", core::GroupGridHeadings()) {
    views::SetupGroupGrid(grid(), cells());
}
