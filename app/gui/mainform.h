// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/accesslibrarybinding.h"
#include "app/core/journaldata.h"
#include "app/core/journaldecoder.h"
#include "app/core/readingrun.h"
#include "app/core/savedialogmemory.h"
#include "app/core/selectors.h"
#include "app/gui/archivecontroller.h"
#include "app/gui/exchangecontroller.h"
#include "app/gui/linksettingsdialog.h"
#include "app/gui/readingcontroller.h"
#include "app/gui/serverpathcontroller.h"
#include "app/serverpath/serverreadingpath.h"
#include "archive/archivelocation.h"
#include "platform/portlist.h"
#include "ui_mainform.h"

#include <QEvent>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QVariantList>

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace platform {
class IMessageSink;
} // namespace platform
class TDlgManager;
namespace models {
class TStringTableModel;
} // namespace models
namespace core {
struct TConnectionSettings;
} // namespace core

namespace gui {

class ISaveFileChooser;

struct TForm1Options {
    // Where main.ini, the device files and the access library are looked up.
    QString programDirectory;
    // main.ini and the base folder of the device files when they are not in programDirectory
    // (an installed program: the user's configuration folder and the installed catalogue);
    // empty: programDirectory.
    QString mainIniPath;
    QString deviceDirectory;
    // Receives the message boxes; nullptr: modal message boxes over the window.
    platform::IMessageSink* messages = nullptr;
    // The serial ports to list; nullptr: the system's ports with the mappings of main.ini and
    // JOURNAL_PORTS.
    std::function<QList<platform::SerialPortEntry>()> ports;
    // Ends the application once start-up has finished; nullptr: QCoreApplication::exit(0),
    // queued, so that the event loop ends as soon as it starts.
    std::function<void()> terminate;
    // The export's save dialog; nullptr: the desktop's file dialog.
    ISaveFileChooser* saveDialog = nullptr;
    // During a run, the window gets the run's rows, progress and status at most this often
    // (0: after every record). Each update repaints the list, the progress bar and the status
    // line, which costs more than a record from a fast line.
    int eventIntervalMs = 40;
};

} // namespace gui

// The main window: the connection and device controls (mainform.ui), the tabs of the views
// (classes of app/gui/views), the catalogue and the settings of main.ini. Four controllers do
// its work: the readings through the access library, the "Обмен" tab with the search, the
// journal archive and the server-based path; the window wires them to its controls and to each
// other. The decisions live in app/core.
class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    explicit TForm1(gui::TForm1Options options, QWidget* parent = nullptr);
    // Writes the connection settings and the window position to main.ini (FormDestroy).
    ~TForm1() override;

    // Start-up steps and operations.
    [[nodiscard]] bool LoadAccessLibrary();
    void FillPortList();
    void LoadCatalogue();
    void SaveSettings();
    void FillRecTypeGrid();
    // Baud rate of the speed selector; 0 when it holds none.
    int SelectedSpeed() const;
    // Port number of the port selector, or a message when it names no usable port.
    core::TPortChoice SelectedPort() const;

    core::IModbusLink& library() { return m_library; }
    const core::TAccessLibraryBinding& FLibrary() const { return m_library; }
    platform::IMessageSink& messages() { return *m_messages; }
    const QString& programDirectory() const { return m_options.programDirectory; }
    QString mainIniPath() const;
    bool terminationRequested() const { return m_terminationRequested; }
    // Proposed file name of the export dialog (the selected device's name).
    const QString& exportFileName() const { return m_exportFileName; }

    core::TJournalDecoder& decoder() { return m_reading->decoder(); }
    // From "Считать" until the run has ended and the window shows all of it.
    bool runActive() const { return m_reading->active(); }
    // The last run's archive writer has not finished committing.
    bool archiveWriting() const { return m_archive->writing(); }
    serverpath::TServerReadingPath& serverPath() { return m_serverPath->path(); }

    // State of the window (DevAdr follows the address box; FRetries and FAnswerTime, in ms, come
    // from main.ini).
    std::int32_t DevAdr() const { return m_devAdr; }
    std::int32_t FRetries() const { return m_retries; }
    std::int32_t FAnswerTime() const { return m_answerTime; }
    void SetAnswerTime(std::int32_t ms) { m_answerTime = ms; }
    void SetRetries(std::int32_t retries) { m_retries = retries; }
    const core::TDevList& ListDev() const { return m_listDev; }
    TDevInfo* CurDev() const { return m_curDev; }
    const std::vector<int>& ComPortsArray() const { return m_comPorts; }
    const QVariantList& StructV() const { return m_structV; }
    // The record range of the last reading run that ended, and the keep-reading flag.
    const core::TRunResult& runResult() const { return m_reading->result(); }
    std::int64_t startrec() const { return runResult().startrec; }
    std::int64_t CountRec() const { return runResult().CountRec; }
    std::int64_t MaxRec() const { return runResult().MaxRec; }
    bool GetArch() const { return !m_reading->stopClicked(); }
    // Grouping data of the last run (owned by the decoder).
    const std::vector<TRecType>& ListRecGroup() const {
        return m_reading->decoder().ListRecGroup();
    }
    const std::vector<TRecStr>& ListStr() const { return m_reading->decoder().ListStr(); }

public slots:
    void EdtAddrChange();
    void chbLimitClick();
    void cbxDevChange();
    void Button6Click();
    void BtnConnect2Click();
    void BtnDisconnect2Click();
    // "Считать": a reading run through the access library, on the engine's thread.
    void btnRead2Click();
    // "Дочитать": a reading of only the records the archive lacks.
    void btnIncrementalClick();
    // "Остановить" (and the server path's "Остановить (srv)").
    void btnStopClick();
    // "Сохранить...": the linear list to a text file or a workbook.
    void BtnExcelClick();
    // "Параметры связи...": the answer time and retries of the readings.
    void btnLinkSettingsClick();
    // The answer time (ms) and retries of the readings from now on, kept in main.ini at once.
    void ApplyLinkTimes(int answerMs, int retries);
    void BuildGroupView();
    void ClearGroupData();
    // The server path (hidden buttons and the components' events).
    void btnConnectClick();
    void btnReadClick();
    void BtnDisconnectClick2();
    void RS232ChangeConnected(QObject* ASender, bool AConnected);
    void MBMExchange(QObject* Sender, std::int32_t QID, std::int32_t MBAddr, std::int32_t FunNumber,
                     const QVariant& Value, std::int32_t Result);
    void WMRecordAnswer(std::int32_t w, std::int32_t l);

signals:
    // The address box holds a new valid address (the master component follows it).
    void devAdrChanged(int address);

private:
    void setupForm();
    void connectControls();
    // The keyboard actions of the buttons.
    void createActions();
    // A device was chosen in the selector: its journal as last chosen (after cbxDevChange).
    void deviceSelected();
    void rememberJournal();
    void restoreJournal();
    // Index of a device of the catalogue; -1 when it is none of them.
    int deviceIndex(const TDevInfo* device) const;
    // The remembered choices of main.ini: window size, journals, chart types.
    void restoreChoices(const core::TConnectionSettings& settings);
    void storeChoices(core::TConnectionSettings& settings);
    // The controllers, and their ways to each other.
    void createControllers();
    // The chart's data and its ways to the grouped grid and the linear list.
    void connectChart();
    void FormCreate();
    void requestTermination() { m_terminationRequested = true; }
    // The port number and baud rate of the selectors, or why they give none.
    core::TLinkChoice SelectedLink() const;
    const TJournalInfo* selectedJournal() const;
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;
    // At the first show: the whole window on the available screen (core::PlaceWindow).
    void showEvent(QShowEvent* event) override;
    // A reading starts or has ended: the tabs and buttons that follow it.
    void readingStarted();
    void readingFinished(const core::TRunResult& result);
    // The readings' buttons follow a search of the "Обмен" tab.
    void searchStateChanged(bool searching);

    gui::TForm1Options m_options;
    Ui::TForm1 ui;
    std::unique_ptr<platform::IMessageSink> m_ownMessages;
    platform::IMessageSink* m_messages = nullptr;
    bool m_terminationRequested = false;
    bool m_settingsSaved = false;
    QString m_exportFileName;
    core::TSaveDialogMemory m_saveDialogMemory;
    bool m_placedOnScreen = false;
    std::unique_ptr<gui::ISaveFileChooser> m_ownSaveDialog;

    std::int32_t m_devAdr = 1;             // DevAdr
    std::int32_t m_retries = 5;            // FRetries
    std::int32_t m_answerTime = 500;       // FAnswerTime
    core::TDevList m_listDev;              // ListDev
    TDevInfo* m_curDev = nullptr;          // CurDev
    std::vector<int> m_comPorts;           // ComPortsArray
    QVariantList m_structV;                // StructV
    core::TAccessLibraryBinding m_library; // FLibrary

    // The controllers, made with the tabs' models; each uses those made before it.
    std::unique_ptr<gui::TReadingController> m_reading;
    std::unique_ptr<gui::TExchangeController> m_exchange;
    std::unique_ptr<gui::TServerPathController> m_serverPath;
    std::unique_ptr<gui::TArchiveController> m_archive;
    bool m_closeRequested = false;

    QPointer<gui::TLinkSettingsDialog> m_linkSettingsDialog;
    std::map<int, int> m_journalMemory;                     // device index -> journal item
    std::map<int, std::vector<std::int32_t>> m_chartMemory; // device index -> ticked types
    bool m_maximizeOnShow = false;

    archive::TArchiveSetting m_archiveSetting;
};
