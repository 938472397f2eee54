// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/instrumentsearch.h"
#include "app/core/linediagnosis.h"

#include <QWidget>

#include <functional>
#include <optional>

class IAccessLibrary;
class IMessageSink;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTableView;
class TFrameListModel;
struct TRunResult;

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
    // Handles pending events during a search; nullptr: QCoreApplication::processEvents().
    std::function<void()> processEvents;
};

// The "Обмен" tab: the live frame list of the line trace, the diagnosis after a failed or partly
// failed reading, copying and saving the list, and the search for the instrument.
class TExchangeTab : public QWidget {
    Q_OBJECT
public:
    TExchangeTab(IAccessLibrary& library, IMessageSink& messages, TExchangeTabHooks hooks,
                 QWidget* parent = nullptr);

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
    // could not be read.
    void RunEnded(const TRunResult& result);

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
    QLabel* lblSearch = nullptr;

private:
    void createControls();
    bool SearchProgress(int done, int total);
    // The frames shown, then the diagnosis (what "Копировать" and the saved file hold).
    QString ExchangeText();

    IAccessLibrary& m_lib;
    IMessageSink& m_messages;
    TExchangeTabHooks m_hooks;
    std::function<QString(QWidget*, const QString& proposed)> m_chooseFile;
    TFrameListModel* m_model = nullptr;
    core::TLineDiagnosis m_diagnosis;
    core::TTraceFanOut m_fanOut;
    core::TSearchResult m_lastSearch;
    bool m_searching = false;
    bool m_stopRequested = false;
    qint64 m_lastEvents = 0;
};
