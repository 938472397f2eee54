// SPDX-License-Identifier: MIT
#include "app/gui/serverpathcontroller.h"

#include "app/gui/serverpathview.h"
#include "app/models/stringtablemodel.h"
#include "app/serverpath/serverreadingpath.h"
#include "comm/comtransport.h"
#include "comm/modbusmaster.h"
#include "comm/widgets/dlgmanager.h"
#include "ui_mainform.h"

namespace gui {

TServerPathController::TServerPathController(QWidget& window, Ui::TForm1& ui,
                                             platform::IMessageSink& messages,
                                             core::TJournalDecoder& decoder,
                                             std::function<TDevInfo*()> device,
                                             TServerPathEvents events) {
    m_dlgManager = new TDlgManager(&window);
    m_dlgManager->setObjectName(QStringLiteral("DlgManager1"));
    // The components' messages ("Неверно задан параметр!") go to the window's message boxes.
    m_dlgManager->SetMessageSink(&messages);
    m_rs232 = new comm::TRS232Transport(&window);
    m_rs232->setObjectName(QStringLiteral("RS232"));
    m_rs232->SetMessageSink(&messages);
    m_rs232->SetPort(QStringLiteral("COM2"));
    m_rs232->SetAnswerDelay(500);
    m_rs232->SetDisplayName(QStringLiteral("RS232"));
    m_rs232->SetDlgManager(m_dlgManager);
    m_rs232->OnChangeConnected = std::move(events.changeConnected);
    m_mbm = new comm::TModbusMaster(&window);
    m_mbm->setObjectName(QStringLiteral("MBM"));
    m_mbm->SetTransport(m_rs232);
    m_mbm->SetQueryType(comm::qtNormal);
    m_mbm->OnExchange = std::move(events.exchange);
    m_dlgManager->SetMaster(m_mbm);
    m_view = std::make_unique<TServerPathView>(
        ui, messages, window,
        [device = std::move(device)]() -> const TDevInfo* { return device(); });
    m_path = std::make_unique<serverpath::TServerReadingPath>(
        *m_rs232, *m_mbm, *ui.tsData->cells(), *ui.tsGroup->cells(), decoder, *m_view);
}

TServerPathController::~TServerPathController() {
    m_mbm->OnExchange = nullptr;
    m_rs232->OnChangeConnected = nullptr;
    m_path.reset();
    delete m_mbm;
    delete m_rs232;
    delete m_dlgManager;
}

} // namespace gui
