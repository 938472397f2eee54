// SPDX-License-Identifier: MIT
#include "app/gui/exchangecontroller.h"

#include "app/core/modbuslink.h"
#include "app/gui/exchangetab.h"
#include "app/gui/readingcontroller.h"
#include "app/gui/runview.h"
#include "platform/messagesink.h"
#include "ui_mainform.h"

namespace gui {

TExchangeController::TExchangeController(Ui::TForm1& ui, platform::IMessageSink& messages,
                                         core::IModbusLink& library, TReadingController& reading,
                                         TExchangeChoices choices)
    : ui(ui), m_library(library), m_reading(reading) {
    TExchangeTabHooks hooks;
    hooks.searchRequest = [&ui, &messages, choices]() -> std::optional<core::TSearchRequest> {
        const core::TLinkChoice link = choices.link();
        if (!link.ok())
            messages.warning(link.error);
        return link.ok() ? std::optional(core::SearchRequestFor(
                               link.port, ui.rgrRsType->itemIndex(), link.speed, choices.journal()))
                         : std::nullopt;
    };
    hooks.apply = [&ui](int address, int speed) {
        ui.EdtAddr->setText(QString::number(address));
        ui.cbxSpeed->setCurrentIndex(ui.cbxSpeed->findText(QString::number(speed)));
    };
    hooks.readingTimes = choices.times;
    hooks.busy = [&reading] { return reading.active(); };
    hooks.runOffThread = [&reading](std::function<void()> job, std::function<void()> done,
                                    std::function<void()> stop) {
        return reading.engine().RunJob(std::move(job), std::move(done), std::move(stop));
    };
    hooks.applySetting = [&ui, choices](const core::TLineSetting& setting) {
        if (setting.kind == core::TLineSetting::AnswerTime)
            choices.applyTimes(setting.value, choices.times().second);
        else if (setting.kind == core::TLineSetting::Address)
            ui.EdtAddr->setText(QString::number(setting.value));
    };
    m_tab = new TExchangeTab(library, messages, std::move(hooks));
    ui.PageControl1->addTab(m_tab, QStringLiteral("Обмен"));
    reading.view().setExchangeTab(m_tab);
    connect(m_tab, &TExchangeTab::searchingChanged, this, &TExchangeController::searchStateChanged);
}

bool TExchangeController::searching() const {
    return m_tab->searching();
}

void TExchangeController::StopSearch() {
    m_tab->StopSearch();
}

void TExchangeController::FollowTrace() {
    m_library.SetTraceObserver(new core::TQueuedTraceObserver(*m_tab->observer(), this));
}

void TExchangeController::StopFollowingTrace() {
    m_library.SetTraceObserver(nullptr);
}

void TExchangeController::searchStateChanged(bool searching) {
    // "Считать" waits for the search: a click would do nothing until it ends.
    ui.btnRead2->setEnabled(!searching && !m_reading.active());
    emit searchingChanged(searching);
}

} // namespace gui
