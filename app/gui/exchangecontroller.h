// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldata.h"
#include "app/core/selectors.h"

#include <QObject>

#include <functional>

namespace platform {
class IMessageSink;
} // namespace platform
namespace core {
class IModbusLink;
} // namespace core
namespace Ui {
class TForm1;
}

namespace gui {

class TExchangeTab;
class TReadingController;

// What the "Обмен" tab's search and "Применить" take from the window and give back to it.
struct TExchangeChoices {
    // The port number and baud rate of the selectors, or why they give none.
    std::function<core::TLinkChoice()> link;
    std::function<const TJournalInfo*()> journal;
    // The answer time (ms) and retries of the readings, and setting them from now on.
    std::function<std::pair<int, int>()> times;
    std::function<void(int answerMs, int retries)> applyTimes;
};

// The "Обмен" tab in the window: the line trace of the readings reaching its frame list, the
// search for the instrument on the engine's thread, and the window's boxes following what the
// search found or the diagnosis advises.
class TExchangeController : public QObject {
    Q_OBJECT
public:
    TExchangeController(Ui::TForm1& ui, platform::IMessageSink& messages,
                        core::IModbusLink& library, TReadingController& reading,
                        TExchangeChoices choices);

    TExchangeTab* tab() const { return m_tab; }
    // True while "Найти прибор" holds the line.
    bool searching() const;
    void StopSearch();
    // The library's frames reach the tab: they come from the engine's thread and are handed on
    // on the window's.
    void FollowTrace();
    // The library no longer tells the tab (it goes with the window's children).
    void StopFollowingTrace();

signals:
    // A search started (true) or ended.
    void searchingChanged(bool searching);

private:
    void searchStateChanged(bool searching);

    Ui::TForm1& ui;
    core::IModbusLink& m_library;
    TReadingController& m_reading;
    TExchangeTab* m_tab = nullptr; // a child of the tab widget
};

} // namespace gui
