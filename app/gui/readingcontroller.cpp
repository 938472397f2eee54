// SPDX-License-Identifier: MIT
#include "app/gui/readingcontroller.h"

#include "app/core/accesslibrarybinding.h"
#include "app/core/catalogue.h"
#include "app/core/windowtexts.h"
#include "app/gui/connectionsettings.h"
#include "app/gui/runview.h"
#include "app/models/stringtablemodel.h"
#include "platform/messagesink.h"
#include "platform/portlist.h"
#include "ui_mainform.h"

namespace gui {

TReadingController::TReadingController(Ui::TForm1& ui, platform::IMessageSink& messages,
                                       core::TAccessLibraryBinding& library,
                                       TReadingChoices choices, int eventIntervalMs)
    : ui(ui), m_messages(messages), m_library(library), m_choices(std::move(choices)) {
    models::TStringTableModel& list = *ui.tsData->cells();
    m_decoder = std::make_unique<core::TJournalDecoder>(list);
    m_decoder->setScrollHook([&ui] { ui.tsData->scrollToLastRow(); });
    m_runDecoder = std::make_unique<core::TRunDecoder>(*m_decoder, *ui.tsGroup->cells());
    m_view = std::make_unique<TRunView>(ui, messages);
    m_engine = std::make_unique<core::TRunEngine>(library, *m_view, list, eventIntervalMs);
    connect(m_engine.get(), &core::TRunEngine::rowsShown, this,
            [&ui] { ui.tsData->scrollToLastRow(); });
    connect(m_engine.get(), &core::TRunEngine::finished, this, &TReadingController::runEnded);
}

TReadingController::~TReadingController() {
    Shutdown();
}

void TReadingController::Shutdown() {
    m_engine->Shutdown();
}

core::TRunRequest TReadingController::requestFor(bool incremental) {
    core::TConnectionSettings line;
    connectionsettings::Store(ui, line);
    std::tie(line.AnswerTime, line.Retries) = m_choices.times();
    const core::TLinkChoice link = m_choices.link();
    core::TRunRequest request = core::RunRequestFor(m_choices.device(), ui.rgTypeJ->itemIndex(),
                                                    link, ui.cbxPort->currentText(), line);
    request.limit = ui.chbLimit->isChecked();
    request.startText = ui.EdtStart->text();
    request.countText = ui.EdtCount->text();
    request.incremental = incremental;
    QString windowError;
    m_tcpWindow = core::PlanTcpWindow(
        m_choices.mainIniPath,
        link.ok() ? platform::PortList::devicePathFor(link.port, m_choices.mainIniPath) : QString(),
        std::nullopt, &windowError);
    request.tcpWindow = m_tcpWindow.window;
    request.startWindow = m_tcpWindow.startWindow;
    if (!windowError.isEmpty())
        m_messages.warning(windowError);
    return request;
}

void TReadingController::Start(bool incremental) {
    // One run at a time: a second start is refused while a reading runs, and while the search
    // holds the line with its own tries and time-outs.
    if (active() || m_choices.lineBusy())
        return;
    const core::TRunRequest request = requestFor(incremental);
    emit started();
    m_view->ShowRunStart();
    m_stopClicked = false;
    m_engine->Start(request);
}

bool TReadingController::Stop() {
    if (!active())
        return false;
    m_stopClicked = true;
    m_engine->Stop();
    return true;
}

void TReadingController::runEnded(const core::TRunResult& result) {
    m_stopClicked = false;
    m_decoder->AdoptRun(m_engine->decoder());
    ui.tsGroup->cells()->assign(m_engine->groupGrid());
    QString message;
    if (result.windowReached > 0 &&
        !core::RememberTcpWindow(m_choices.mainIniPath, m_tcpWindow, result.windowReached,
                                 result.windowFallback != 0, &message))
        m_messages.error(message);
    emit finished(result);
}

bool TReadingController::connectLibrary() {
    const core::TLinkChoice link = m_choices.link();
    if (!link.ok()) {
        m_messages.warning(link.error);
        return false;
    }
    return m_library.Connect(link.port, link.speed, ui.rgrRsType->itemIndex());
}

void TReadingController::ShowDeviceName(std::int32_t address) {
    if (active() || !connectLibrary())
        return;
    ui.Label6->setText(core::ReadDeviceName(m_library, address));
    m_library.Disconnect();
}

void TReadingController::ConnectByHand() {
    if (active() || !connectLibrary())
        return;
    ui.BtnDisconnect2->setEnabled(true);
    ui.btnRead2->setEnabled(true);
    ui.BtnConnect2->setEnabled(false);
}

void TReadingController::DisconnectByHand() {
    if (active()) // the connection is the run's thread's to close
        m_engine->Disconnect();
    else
        m_library.Disconnect();
    ui.btnRead2->setEnabled(false);
    ui.BtnDisconnect2->setEnabled(false);
    ui.BtnConnect2->setEnabled(true);
}

} // namespace gui
