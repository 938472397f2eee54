// SPDX-License-Identifier: MIT
// The window's side of the "Обмен" tab: what the tab's search and "Применить" take from the
// window's selectors and give back to them, and the reading buttons during a search.
#include "app/gui/exchangetab.h"
#include "app/gui/mainform.h"

void TForm1::createExchangeTab() {
    TExchangeTabHooks hooks;
    hooks.searchRequest = [this]() -> std::optional<core::TSearchRequest> {
        const core::TLinkChoice link = SelectedLink();
        if (!link.ok())
            messages().warning(link.error);
        return link.ok() ? std::optional(core::SearchRequestFor(
                               link.port, ui.rgrRsType->itemIndex(), link.speed, selectedJournal()))
                         : std::nullopt;
    };
    hooks.apply = [this](int address, int speed) {
        ui.EdtAddr->setText(QString::number(address));
        ui.cbxSpeed->setCurrentIndex(ui.cbxSpeed->findText(QString::number(speed)));
    };
    hooks.readingTimes = [this] { return std::pair{m_answerTime, m_retries}; };
    hooks.busy = [this] { return runActive(); };
    hooks.runOffThread = [this](std::function<void()> job, std::function<void()> done,
                                std::function<void()> stop) {
        return m_engine->RunJob(std::move(job), std::move(done), std::move(stop));
    };
    hooks.applySetting = [this](const core::TLineSetting& setting) {
        if (setting.kind == core::TLineSetting::AnswerTime)
            ApplyLinkTimes(setting.value, m_retries);
        else if (setting.kind == core::TLineSetting::Address)
            ui.EdtAddr->setText(QString::number(setting.value));
    };
    m_exchangeTab = new TExchangeTab(m_library, *m_messages, std::move(hooks));
    ui.PageControl1->addTab(m_exchangeTab, QStringLiteral("Обмен"));
    m_runView->setExchangeTab(m_exchangeTab);
    connect(m_exchangeTab, &TExchangeTab::searchingChanged, this, &TForm1::searchStateChanged);
}

void TForm1::searchStateChanged(bool searching) {
    // "Считать" and "Дочитать" wait for the search: a click would do nothing until it ends.
    ui.btnRead2->setEnabled(!searching && !runActive());
    updateIncrementalButton();
    if (!searching && m_closeRequested)
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}
