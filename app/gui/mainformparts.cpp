// SPDX-License-Identifier: MIT
// The main window's parts that join it to other pieces: the components of the server-based
// reading path and the chart tab's links to the decoder and the other tabs.
#include "app/gui/mainform.h"
#include "app/gui/serverpathview.h"
#include "app/models/stringtablemodel.h"
#include "app/serverpath/serverreadingpath.h"
#include "comm/comtransport.h"
#include "comm/modbusmaster.h"
#include "comm/widgets/dlgmanager.h"

void TForm1::createComponents() {
    m_dlgManager = new TDlgManager(this);
    m_dlgManager->setObjectName(QStringLiteral("DlgManager1"));
    // The components' messages ("Неверно задан параметр!") go to the window's message boxes.
    m_dlgManager->SetMessageSink(m_messages);
    m_rs232 = new comm::TRS232Transport(this);
    m_rs232->setObjectName(QStringLiteral("RS232"));
    m_rs232->SetMessageSink(m_messages);
    m_rs232->SetPort(QStringLiteral("COM2"));
    m_rs232->SetAnswerDelay(500);
    m_rs232->SetDisplayName(QStringLiteral("RS232"));
    m_rs232->SetDlgManager(m_dlgManager);
    m_rs232->OnChangeConnected = [this](QObject* s, bool c) { RS232ChangeConnected(s, c); };
    m_mbm = new comm::TModbusMaster(this);
    m_mbm->setObjectName(QStringLiteral("MBM"));
    m_mbm->SetTransport(m_rs232);
    m_mbm->SetQueryType(comm::qtNormal);
    m_mbm->OnExchange = [this](QObject* s, qint32 q, qint32 a, qint32 f, const QVariant& v,
                               qint32 r) { MBMExchange(s, q, a, f, v, r); };
    m_dlgManager->SetMaster(m_mbm);
    connect(this, &TForm1::devAdrChanged, m_mbm, &comm::TModbusMaster::SetDeviceAddress);
    m_serverPathView =
        std::make_unique<TServerPathView>(ui, *m_messages, *this, [this] { return m_curDev; });
    m_serverPath = std::make_unique<serverpath::TServerReadingPath>(
        *m_rs232, *m_mbm, *sgCells(), *sgGrCells(), *m_decoder, *m_serverPathView);
}

void TForm1::connectChart() {
    ui.tsChart->setDecoder(m_decoder.get());
    ui.tsChart->setMessages(m_messages);
    ui.tsChart->followGroupGrid(sgGr());
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
