// SPDX-License-Identifier: MIT
#include "app/gui/connectionsettings.h"

#include "platform/inifile.h"
#include "ui_mainform.h"

namespace gui::connectionsettings {

void Restore(Ui::TForm1& ui, const core::TConnectionSettings& s) {
    if (ui.cbxPort->count() > 0 && s.lastcomport) {
        const int i =
            ui.cbxPort->findText(*s.lastcomport, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (i >= 0)
            ui.cbxPort->setCurrentIndex(i);
    }
    ui.cbxSpeed->setCurrentIndex(s.lastcomspeed);
    ui.EdtAddr->setText(QString::number(s.lastaddr.value_or(1)));
    ui.rgrRsType->setItemIndex(s.lastlink);
}

void Store(const Ui::TForm1& ui, core::TConnectionSettings& s) {
    s.lastcomport = ui.cbxPort->currentIndex() >= 0
                        ? ui.cbxPort->itemText(ui.cbxPort->currentIndex())
                        : QString();
    s.lastcomspeed = ui.cbxSpeed->currentIndex();
    if (const auto addr = platform::parseIniInteger(ui.EdtAddr->text()))
        s.lastaddr = *addr;
    else
        s.lastaddr.reset();
    s.LastDev = ui.cbxDev->currentIndex();
    s.lastlink = ui.rgrRsType->itemIndex();
}

} // namespace gui::connectionsettings
