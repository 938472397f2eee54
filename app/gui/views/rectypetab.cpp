// SPDX-License-Identifier: MIT
#include "app/gui/views/rectypetab.h"

#include "app/core/journaldecoder.h"
#include "app/core/windowtexts.h"
#include "app/gui/views/journalviews.h"
#include "app/models/stringtablemodel.h"

namespace views {

TRecTypeTab::TRecTypeTab(QWidget* parent)
    : TGridTab(parent, "sgType", core::RecTypeGridHeadings()) {
    SetupRecTypeGrid(grid(), cells());
}

void TRecTypeTab::fill(const TDevInfo* device) {
    core::TJournalDecoder::FillRecTypeGrid(*cells(), device);
}

} // namespace views
