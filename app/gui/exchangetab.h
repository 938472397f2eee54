// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/instrumentsearch.h"
#include "app/core/linediagnosis.h"

#include <QWidget>

#include <atomic>
#include <functional>
#include <optional>

namespace core {
class IModbusLink;
struct TRunResult;
} // namespace core
namespace platform {
class IMessageSink;
} // namespace platform
class QLabel;
class QLayout;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTableView;

namespace gui {

class TFrameListModel;

// What the "Обмен" tab needs of the window.
struct TExchangeTabHooks {
    // The search over the window's port, speed, link and journal; nullopt when they name no
    // port or speed (the window has said why).
    std::function<std::optional<core::TSearchRequest>()> searchRequest;
    // "Применить": the address and speed found go into the window's boxes.
    std::function<void(int address, int speed)> apply;
    // The answer time and retries a reading uses, restored after a search.
    std::function<std::pair<int, int>()> readingTimes;
    // Whether a reading is running (no search then).
    std::function<bool()> busy;
    // Runs the search's `job` off the window's thread, then `done` back on it; `stop` ends the
    // job early. False when it cannot start. Empty: job and done at once, on this thread.
    std::function<bool(std::function<void()> job, std::function<void()> done,
                       std::function<void()> stop)>
        runOffThread;
    // "Применить" under advice that names a setting: the window takes its value.
    std::function<void(const core::TLineSetting& setting)> applySetting;
};

// The "Обмен" tab: the live frame list of the line trace, the diagnosis after a failed or partly
// failed reading (with "Применить" under advice that names a setting), copying and saving the
// list, and the search for the instrument, whose frames follow the reading's after a separator.
class TExchangeTab : public QWidget {
    Q_OBJECT
public:
    TExchangeTab(core::IModbusLink& library, platform::IMessageSink& messages,
                 TExchangeTabHooks hooks, QWidget* parent = nullptr);

    // The observer to install in the access library: the list and the diagnosis.
    core::ITraceObserver* observer() { return &m_fanOut; }
    TFrameListModel* model() const { return m_model; }
    const core::TSearchResult& lastSearch() const { return m_lastSearch; }
    // True while "Найти прибор" holds the line.
    bool searching() const { return m_searching; }

    // The save dialog of "Сохранить журнал обмена...": the file chosen, empty when cancelled
    // (the desktop's file dialog unless tests answer it).
    void setFileChooser(std::function<QString(QWidget*, const QString& proposed)> choose) {
        m_chooseFile = std::move(choose);
    }

    // A reading starts: the list and the diagnosis begin anew.
    void RunStarted();
    // A reading ended: the list is shown whole, and the diagnosis when records or the count
    // could not be read, with the failed records.
    void RunEnded(const core::TRunResult& result);
    // The "Применить" buttons under the diagnosis, one for each setting its advice names.
    QList<QPushButton*> adviceButtons() const;

signals:
    // A search started (true) or ended: the window's reading buttons wait for it.
    void searchingChanged(bool searching);

protected:
    // The meaning column follows its texts and the list's width.
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

public slots:
    void Copy();
    void Save();
    // "Найти прибор": returns when the search has ended.
    void Search();
    void StopSearch() { m_stopRequested = true; }
    void Apply();

public:
    QTableView* frameView = nullptr;
    QPlainTextEdit* diagnosisText = nullptr;
    QPushButton* btnCopy = nullptr;
    QPushButton* btnSave = nullptr;
    QPushButton* btnSearch = nullptr;
    QPushButton* btnStopSearch = nullptr;
    QPushButton* btnApply = nullptr;
    QProgressBar* searchProgress = nullptr;
    QLabel* lblSearchPosition = nullptr; // speed, address and time left of a running search
    QLabel* lblSearch = nullptr;         // the search's result
    QWidget* adviceBox = nullptr;        // under the diagnosis: the settings to apply

private:
    // Hands frames on while it is open: the diagnosis is of the reading, not of a search.
    class TGate : public core::ITraceObserver {
    public:
        explicit TGate(core::ITraceObserver& target) : m_target(target) {}
        void OnFrame(const core::TFrameEvent& event) override {
            if (open)
                m_target.OnFrame(event);
        }
        bool open = true;

    private:
        core::ITraceObserver& m_target;
    };

    void createControls();
    QLayout* createSearchControls();
    // On the search's thread: hands the progress on to the tab; true to stop.
    bool SearchProgress(const core::TSearchRequest& request, int done, int total);
    // The search has returned: its result shown, the buttons back.
    void SearchEnded(core::TSearchResult result);
    void ShowSearchResult();
    void ShowAdvice(const std::vector<core::TLineFinding>& findings);
    // The frames shown, then the diagnosis (what "Копировать" and the saved file hold).
    QString ExchangeText();

    core::IModbusLink& m_lib;
    platform::IMessageSink& m_messages;
    TExchangeTabHooks m_hooks;
    std::function<QString(QWidget*, const QString& proposed)> m_chooseFile;
    TFrameListModel* m_model = nullptr;
    core::TLineDiagnosis m_diagnosis;
    TGate m_diagnosisGate{m_diagnosis};
    core::TTraceFanOut m_fanOut;
    core::TSearchResult m_lastSearch;
    bool m_searching = false;
    std::atomic<bool> m_stopRequested = false; // read by the search's thread
    qint64 m_lastEvents = 0;
};

} // namespace gui
