// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldata.h"

#include <QVariant>

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {
class IMessageSink;
} // namespace platform
class QWidget;
class TDlgManager;
namespace serverpath {
class TServerReadingPath;
} // namespace serverpath
namespace comm {
class TModbusMaster;
class TRS232Transport;
} // namespace comm
namespace core {
class TJournalDecoder;
}
namespace Ui {
class TForm1;
}

namespace gui {

class TServerPathView;

// The components' events, which the window handles under its own names.
struct TServerPathEvents {
    std::function<void(QObject* sender, bool connected)> changeConnected;
    std::function<void(QObject* sender, std::int32_t qid, std::int32_t address,
                       std::int32_t function, const QVariant& value, std::int32_t result)>
        exchange;
};

// The server-based reading path of the window: its three components (`RS232`, `MBM`,
// `DlgManager1`, children of the window), the path's view of the window's controls and the path
// itself, which reads into the window's list through the window's decoder.
class TServerPathController {
public:
    TServerPathController(QWidget& window, Ui::TForm1& ui, platform::IMessageSink& messages,
                          core::TJournalDecoder& decoder, std::function<TDevInfo*()> device,
                          TServerPathEvents events);
    // The components go first: nothing of the window may hear their events after.
    ~TServerPathController();
    TServerPathController(const TServerPathController&) = delete;
    TServerPathController& operator=(const TServerPathController&) = delete;

    serverpath::TServerReadingPath& path() { return *m_path; }
    comm::TRS232Transport& rs232() { return *m_rs232; }
    comm::TModbusMaster& mbm() { return *m_mbm; }
    TDlgManager& dlgManager() { return *m_dlgManager; }

private:
    comm::TRS232Transport* m_rs232 = nullptr;
    comm::TModbusMaster* m_mbm = nullptr;
    TDlgManager* m_dlgManager = nullptr;
    std::unique_ptr<TServerPathView> m_view;
    std::unique_ptr<serverpath::TServerReadingPath> m_path;
};

} // namespace gui
