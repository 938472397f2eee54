// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldecoder.h"
#include "app/core/readingrun.h"
#include "app/core/runengine.h"
#include "app/core/selectors.h"
#include "app/core/tcpwindow.h"

#include <QObject>

#include <functional>
#include <memory>

namespace platform {
class IMessageSink;
} // namespace platform
namespace core {
class TAccessLibraryBinding;
} // namespace core

namespace Ui {
class TForm1;
}

namespace gui {

class TRunView;

// What the reading controller takes from the window's selectors and state when a reading starts.
struct TReadingChoices {
    // The port number and baud rate of the selectors, or why they give none.
    std::function<core::TLinkChoice()> link;
    std::function<TDevInfo*()> device;
    // The answer time (ms) and retries of the readings.
    std::function<std::pair<int, int>()> times;
    // Another user of the line (the instrument search) holds it: no reading starts.
    std::function<bool()> lineBusy;
    QString mainIniPath;
};

// The window's readings through the access library: "Считать", "Дочитать", "Остановить" and the
// hidden buttons that connect the library by hand. It owns the decoder with its bridge to the
// grouped grid, the run's view and the engine whose thread runs the readings.
class TReadingController : public QObject {
    Q_OBJECT
public:
    TReadingController(Ui::TForm1& ui, platform::IMessageSink& messages,
                       core::TAccessLibraryBinding& library, TReadingChoices choices,
                       int eventIntervalMs);
    // Stops a run in progress and joins the engine's thread.
    ~TReadingController() override;

    core::TJournalDecoder& decoder() { return *m_decoder; }
    core::TRunDecoder& runDecoder() { return *m_runDecoder; }
    TRunView& view() { return *m_view; }
    core::TRunEngine& engine() { return *m_engine; }
    // From the start of a reading until the window shows all of it.
    bool active() const { return m_engine->IsActive(); }
    // "Остановить" was clicked during the run in progress.
    bool stopClicked() const { return m_stopClicked; }
    const core::TRunResult& result() const { return m_engine->Result(); }

    // A reading with the window's choices, only the records the archive lacks when
    // `incremental`. Refused while a reading runs or the line is busy.
    void Start(bool incremental);
    // Ends the record loop of the run in progress; false when none runs.
    bool Stop();
    // The run ends and its thread is joined; nothing starts after.
    void Shutdown();

    // The hidden buttons: the device's name into `Label6`, connecting and disconnecting the
    // library by hand. Refused during a run: its thread holds the connection.
    void ShowDeviceName(std::int32_t address);
    void ConnectByHand();
    void DisconnectByHand();

signals:
    // A reading starts (after its request was built, before the engine takes it).
    void started();
    // The reading has ended and the window shows all of it.
    void finished(const core::TRunResult& result);

private:
    // Connects the library with the selected port, speed and link type; false (with a message
    // when the selection names no port or speed) when it does not.
    [[nodiscard]] bool connectLibrary();
    core::TRunRequest requestFor(bool incremental);
    void runEnded(const core::TRunResult& result);

    Ui::TForm1& ui;
    platform::IMessageSink& m_messages;
    core::TAccessLibraryBinding& m_library;
    TReadingChoices m_choices;
    std::unique_ptr<core::TJournalDecoder> m_decoder;
    std::unique_ptr<core::TRunDecoder> m_runDecoder;
    std::unique_ptr<TRunView> m_view;
    // After the view: the engine's queued calls reach the view while the engine lives.
    std::unique_ptr<core::TRunEngine> m_engine;
    bool m_stopClicked = false;       // "Остановить" during the run in progress
    core::TTcpWindowPlan m_tcpWindow; // of the run in progress, remembered when it ends
};

} // namespace gui
