#include "app/gui/views/linearlisttab.h"

#include "app/core/windowtexts.h"
#include "app/gui/views/journalviews.h"

TLinearListTab::TLinearListTab(QWidget* parent)
    : TGridTab(parent, "sg", core::LinearListHeadings()) {
    views::SetupLinearList(grid(), cells());
}

void TLinearListTab::applyDeviceView(bool valueBeforeVisible) {
    views::ApplyLinearListLayout(grid(), valueBeforeVisible);
}

void TLinearListTab::scrollToLastRow() {
    views::ScrollToLastRow(grid());
}
