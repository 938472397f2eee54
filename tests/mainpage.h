// SPDX-License-Identifier: MIT
#pragma once

// The main window as the tests and the benchmarks reach it: its controls, grids, tabs and
// components looked up by their object names. A name the window does not carry (a control
// renamed or gone) throws at once, naming what was looked for; the test then fails with that
// message instead of crashing on a null pointer later.
#include "app/gui/archivetab.h"
#include "app/gui/exchangetab.h"
#include "app/gui/linksettingsdialog.h"
#include "app/gui/views/charttab.h"
#include "app/gui/views/grouptab.h"
#include "app/gui/views/linearlisttab.h"
#include "app/gui/views/rectypetab.h"
#include "app/models/stringtablemodel.h"
#include "comm/comtransport.h"
#include "comm/modbusmaster.h"
#include "comm/widgets/dlgmanager.h"
#include "platform/widgets/radiogroup.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QWidget>

#include <stdexcept>
#include <string>

class TMainPage {
public:
    explicit TMainPage(QWidget& window) : m_window(&window) {}

    // The window's descendant of type T named `name`; throws std::logic_error when none is.
    template <class T> T* find(const QString& name) const {
        if (T* found = m_window->findChild<T*>(name))
            return found;
        throw std::logic_error("the window has no " + std::string(T::staticMetaObject.className()) +
                               " named \"" + name.toStdString() + "\"");
    }

    // Controls of the layout.
    QComboBox* cbxPort() const { return find<QComboBox>("cbxPort"); }
    QComboBox* cbxSpeed() const { return find<QComboBox>("cbxSpeed"); }
    platform::TRadioGroup* rgrRsType() const { return find<platform::TRadioGroup>("rgrRsType"); }
    QLineEdit* EdtAddr() const { return find<QLineEdit>("EdtAddr"); }
    QComboBox* cbxDev() const { return find<QComboBox>("cbxDev"); }
    QCheckBox* chbLimit() const { return find<QCheckBox>("chbLimit"); }
    QLabel* LblStart() const { return find<QLabel>("LblStart"); }
    QLineEdit* EdtStart() const { return find<QLineEdit>("EdtStart"); }
    QLabel* lblCount() const { return find<QLabel>("lblCount"); }
    QLineEdit* EdtCount() const { return find<QLineEdit>("EdtCount"); }
    QPushButton* btnRead2() const { return find<QPushButton>("btnRead2"); }
    QPushButton* btnStop2() const { return find<QPushButton>("btnStop2"); }
    platform::TRadioGroup* rgTypeJ() const { return find<platform::TRadioGroup>("rgTypeJ"); }
    QProgressBar* PBar() const { return find<QProgressBar>("PBar"); }
    QLabel* lblStat() const { return find<QLabel>("lblStat"); }
    QLabel* lblMaxRec() const { return find<QLabel>("lblMaxRec"); }
    QPushButton* BtnExcel() const { return find<QPushButton>("BtnExcel"); }
    QPushButton* btnIncremental() const { return find<QPushButton>("btnIncremental"); }
    QPushButton* btnLinkSettings() const { return find<QPushButton>("btnLinkSettings"); }
    QLabel* lblFailed() const { return find<QLabel>("lblFailed"); }
    QLabel* lblProgress() const { return find<QLabel>("lblProgress"); }
    QLabel* lnkExchange() const { return find<QLabel>("lnkExchange"); }
    QLabel* VerPO() const { return find<QLabel>("VerPO"); }
    // The hidden buttons of the server path.
    QPushButton* btnConnect() const { return find<QPushButton>("btnConnect"); }
    QPushButton* btnRead() const { return find<QPushButton>("btnRead"); }
    QPushButton* btnStop() const { return find<QPushButton>("btnStop"); }
    QPushButton* BtnDisconnect() const { return find<QPushButton>("BtnDisconnect"); }
    QPushButton* Button6() const { return find<QPushButton>("Button6"); }
    QLabel* Label6() const { return find<QLabel>("Label6"); }
    QPushButton* BtnConnect2() const { return find<QPushButton>("BtnConnect2"); }
    QPushButton* BtnDisconnect2() const { return find<QPushButton>("BtnDisconnect2"); }

    // The tabs and their grids; the ...Cells() are the string tables the grids show.
    QTabWidget* PageControl1() const { return find<QTabWidget>("PageControl1"); }
    views::TLinearListTab* tsData() const { return find<views::TLinearListTab>("tsData"); }
    views::TGroupTab* tsGroup() const { return find<views::TGroupTab>("tsGroup"); }
    views::TRecTypeTab* tsSet() const { return find<views::TRecTypeTab>("tsSet"); }
    views::TChartTab* tsChart() const { return find<views::TChartTab>("tsChart"); }
    gui::TArchiveTab* tsArchive() const { return find<gui::TArchiveTab>("tsArchive"); }
    gui::TExchangeTab* tsExchange() const { return find<gui::TExchangeTab>("tsExchange"); }
    QTableView* sg() const { return find<QTableView>("sg"); }
    QTableView* sgGr() const { return find<QTableView>("sgGr"); }
    QTableView* sgType() const { return find<QTableView>("sgType"); }
    models::TStringTableModel* sgCells() const { return cellsOf(sg()); }
    models::TStringTableModel* sgGrCells() const { return cellsOf(sgGr()); }
    models::TStringTableModel* sgTypeCells() const { return cellsOf(sgType()); }

    // The open "Параметры связи" dialog.
    gui::TLinkSettingsDialog* linkSettingsDialog() const {
        return find<gui::TLinkSettingsDialog>("dlgLinkSettings");
    }
    // The keyboard actions of "Считать", "Остановить", "Сохранить..." and "Найти прибор".
    QList<QAction*> keyActions() const {
        QList<QAction*> actions;
        for (const char* button : {"btnRead2", "btnStop2", "BtnExcel", "btnSearch"})
            actions.append(find<QAction>(QLatin1String(button) + QLatin1String("Action")));
        return actions;
    }

    // Components of the server path.
    comm::TRS232Transport* RS232() const { return find<comm::TRS232Transport>("RS232"); }
    comm::TModbusMaster* MBM() const { return find<comm::TModbusMaster>("MBM"); }
    TDlgManager* DlgManager1() const { return find<TDlgManager>("DlgManager1"); }

private:
    static models::TStringTableModel* cellsOf(QTableView* grid) {
        if (auto* cells = qobject_cast<models::TStringTableModel*>(grid->model()))
            return cells;
        throw std::logic_error("the grid \"" + grid->objectName().toStdString() +
                               "\" shows no string table");
    }

    QWidget* m_window;
};
