// SPDX-License-Identifier: MIT
#include "app/gui/views/grouptab.h"

#include "app/core/windowtexts.h"
#include "app/gui/views/journalviews.h"
#include "app/models/stringtablemodel.h"

#include <QLabel>
#include <QVBoxLayout>

namespace views {

TGroupTab::TGroupTab(QWidget* parent)
    : TGridTab(parent, "sgGr", core::GroupGridHeadings()), m_note(new QLabel(this)) {
    SetupGroupGrid(grid(), cells());
    m_note->setObjectName(QStringLiteral("lblGroupNote"));
    m_note->setWordWrap(true);
    m_note->setContentsMargins(4, 3, 4, 3);
    m_note->setAutoFillBackground(true);
    m_note->hide();
    static_cast<QVBoxLayout*>(layout())->insertWidget(0, m_note);
}

void TGroupTab::setNote(const QString& text, bool error) {
    m_note->setText(text);
    QPalette palette = this->palette();
    if (error)
        palette.setColor(QPalette::Window, models::TStringTableModel::errorColour());
    m_note->setPalette(palette);
    m_note->setVisible(!text.isEmpty());
}

} // namespace views
