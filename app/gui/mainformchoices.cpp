// SPDX-License-Identifier: MIT
// The main window's habits: the keyboard actions of its buttons, "Параметры связи...", the
// choices it remembers in main.ini (its size, each device's journal and charted types) and the
// chart tab's ways to the decoder and the other tabs.
#include "app/core/catalogue.h"
#include "app/gui/exchangetab.h"
#include "app/gui/linksettingsdialog.h"
#include "app/gui/mainform.h"
#include "comm/comtransport.h"

#include <QAction>

using gui::TExchangeTab;
using gui::TLinkSettingsDialog;
using views::TChartTab;

void TForm1::createActions() {
    const auto add = [this](QAbstractButton* button, QKeySequence key,
                            std::function<void()> alsoWhenDisabled = {}) {
        // The action's text is the button's caption; the key shows in the button's tooltip.
        auto* action = new QAction(button->text(), this);
        action->setObjectName(button->objectName() + QStringLiteral("Action"));
        action->setShortcut(key);
        action->setShortcutContext(Qt::WindowShortcut);
        connect(action, &QAction::triggered, this, [button, alsoWhenDisabled] {
            if (!button->isHidden() && button->isEnabled())
                button->click();
            else if (alsoWhenDisabled)
                alsoWhenDisabled();
        });
        addAction(action);
        button->setToolTip(key.toString(QKeySequence::NativeText));
    };
    add(ui.btnRead2, QKeySequence(Qt::Key_F5));
    // Esc also stops a search for the instrument.
    add(ui.btnStop2, QKeySequence(Qt::Key_Escape), [this] {
        if (m_exchange->searching())
            m_exchange->StopSearch();
    });
    add(ui.BtnExcel, QKeySequence(Qt::CTRL | Qt::Key_S));
    TExchangeTab* exchange = m_exchange->tab();
    add(exchange->btnSearch, QKeySequence(Qt::CTRL | Qt::Key_F));
    // "Найти прибор" is on the "Обмен" tab: the tab is shown with it.
    connect(exchange->btnSearch, &QPushButton::pressed, this,
            [this, exchange] { ui.PageControl1->setCurrentWidget(exchange); });
}

void TForm1::btnLinkSettingsClick() {
    if (m_linkSettingsDialog) {
        m_linkSettingsDialog->raise();
        return;
    }
    // A window-modal dialog that does not block the handler: the answer comes as a signal.
    m_linkSettingsDialog = new TLinkSettingsDialog(m_answerTime, m_retries, this);
    m_linkSettingsDialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_linkSettingsDialog, &QDialog::accepted, this, [this] {
        ApplyLinkTimes(m_linkSettingsDialog->answerMs(), m_linkSettingsDialog->retries());
    });
    m_linkSettingsDialog->open();
}

void TForm1::ApplyLinkTimes(int answerMs, int retries) {
    m_answerTime = answerMs;
    m_retries = retries;
    m_serverPath->rs232().SetAnswerDelay(m_answerTime); // the server path waits as long
    QString message;
    if (!core::SaveLinkTimes(mainIniPath(), m_answerTime, m_retries, &message))
        messages().error(message);
}

int TForm1::deviceIndex(const TDevInfo* device) const {
    for (std::size_t i = 0; i < m_listDev.size(); ++i)
        if (m_listDev[i].get() == device)
            return static_cast<int>(i);
    return -1;
}

void TForm1::deviceSelected() {
    rememberJournal(); // of the device left
    cbxDevChange();
    restoreJournal();
}

void TForm1::rememberJournal() {
    const int device = deviceIndex(m_curDev);
    if (device >= 0 && ui.rgTypeJ->itemIndex() >= 0)
        m_journalMemory[device] = ui.rgTypeJ->itemIndex();
}

void TForm1::restoreJournal() {
    const auto it = m_journalMemory.find(deviceIndex(m_curDev));
    if (it == m_journalMemory.end() || !m_curDev || !m_curDev->journalAt(it->second))
        return;
    ui.rgTypeJ->setItemIndex(it->second);
    m_archive->UpdateIncrementalButton();
}

void TForm1::restoreChoices(const core::TConnectionSettings& s) {
    if (s.Width && s.Height)
        resize(QSize(*s.Width, *s.Height).expandedTo(minimumSize()));
    m_maximizeOnShow = s.Maximized.value_or(false);
    m_journalMemory = s.journals;
    m_chartMemory = s.chartTypes;
}

void TForm1::storeChoices(core::TConnectionSettings& s) {
    const QSize size = isMaximized() ? normalGeometry().size() : this->size();
    if (size.isValid()) {
        s.Width = size.width();
        s.Height = size.height();
    }
    s.Maximized = isMaximized();
    rememberJournal();
    s.journals = m_journalMemory;
    s.chartTypes = m_chartMemory;
}

void TForm1::connectChart() {
    ui.tsChart->setDecoder(&m_reading->decoder());
    ui.tsChart->setMessages(m_messages);
    ui.tsChart->followGroupGrid(ui.tsGroup->grid());
    // Each device's charted types are remembered (main.ini [Chart]).
    ui.tsChart->setRememberedTypes([this](const TDevInfo* device) {
        const auto it = m_chartMemory.find(deviceIndex(device));
        return it != m_chartMemory.end() ? it->second : std::vector<std::int32_t>{};
    });
    connect(ui.tsChart, &TChartTab::typesTicked, this,
            [this](const TDevInfo* device, const std::vector<std::int32_t>& ids) {
                if (const int index = deviceIndex(device); index >= 0)
                    m_chartMemory[index] = ids;
            });
    connect(ui.tsChart, &TChartTab::groupOpened, this,
            [this] { ui.PageControl1->setCurrentWidget(ui.tsChart); });
    connect(ui.tsChart, &TChartTab::recordClicked, this, [this](std::int32_t index) {
        ui.PageControl1->setCurrentWidget(ui.tsData);
        ui.tsData->showRecord(index);
    });
}
