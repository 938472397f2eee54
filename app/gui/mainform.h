#pragma once

#include "app/core/accesslibrarybinding.h"
#include "app/core/journaldecoder.h"
#include "app/core/mainformlogic.h"
#include "app/core/model.h"
#include "app/core/readingrun.h"
#include "app/core/savedialogmemory.h"
#include "app/serverpath/serverreadingpath.h"
#include "platform/portlist.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QList>
#include <QMainWindow>
#include <QVariantList>

#include <functional>
#include <memory>
#include <vector>

class IMessageSink;
class ISaveFileChooser;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTableView;
class TDlgManager;
class TExchangeTab;
class TRadioGroup;
class TStringTableModel;

struct TForm1Options {
    // Where main.ini, the device files and the access library are looked up.
    QString programDirectory;
    // main.ini and the base folder of the device files when they are not in programDirectory
    // (an installed program: the user's configuration folder and the installed catalogue);
    // empty: programDirectory.
    QString mainIniPath;
    QString deviceDirectory;
    // Receives the message boxes; nullptr: modal message boxes over the window.
    IMessageSink* messages = nullptr;
    // The serial ports to list; nullptr: the system's ports with the mappings of main.ini and
    // JOURNAL_PORTS.
    std::function<QList<platform::SerialPortEntry>()> ports;
    // Ends the application once start-up has finished; nullptr: QCoreApplication::exit(0),
    // queued, so that the event loop ends as soon as it starts.
    std::function<void()> terminate;
    // The export's save dialog; nullptr: the desktop's file dialog.
    ISaveFileChooser* saveDialog = nullptr;
    // Handles pending window events during a reading run; nullptr:
    // QCoreApplication::processEvents().
    std::function<void()> processEvents;
    // During a run, pending events are handled after a record only when this many milliseconds
    // have passed since they were last handled (0: after every record). Each turn repaints the
    // list, the progress bar and the status line, which costs more than a record from a fast
    // line; a click waits at most this long.
    int eventIntervalMs = 40;
};

// The main window: the connection and device controls, the three views and the state of a
// reading run. The decisions live in app/core; this class wires them to the controls.
class TForm1 : public QMainWindow, private IRunHost, private IServerPathHost {
    Q_OBJECT
public:
    explicit TForm1(TForm1Options options, QWidget* parent = nullptr);
    // Writes the connection settings and the window position to main.ini (FormDestroy).
    ~TForm1() override;

    // Start-up steps and operations.
    bool LoadAccessLibrary();
    void FillPortList();
    void LoadCatalogue();
    void SaveSettings();
    void FillRecTypeGrid();
    // Baud rate of the speed selector; 0 when it holds none.
    int SelectedSpeed() const;
    // Port number of the port selector, or a message when it names no usable port.
    core::TPortChoice SelectedPort() const;

    IAccessLibrary& library() { return FLibrary; }
    IMessageSink& messages() { return *m_messages; }
    const QString& programDirectory() const { return m_options.programDirectory; }
    QString mainIniPath() const;
    bool terminationRequested() const { return m_terminationRequested; }
    // Proposed file name of the export dialog (the selected device's name).
    const QString& exportFileName() const { return m_exportFileName; }

    TStringTableModel* sgCells() const { return m_sgCells; }
    TStringTableModel* sgGrCells() const { return m_sgGrCells; }
    TStringTableModel* sgTypeCells() const { return m_sgTypeCells; }
    core::TJournalDecoder& decoder() { return *m_decoder; }
    bool runActive() const { return m_run && m_run->IsActive(); }

public slots:
    void EdtAddrChange();
    void chbLimitClick();
    void cbxDevChange();
    void Button6Click();
    void BtnConnect2Click();
    void BtnDisconnect2Click();
    // "Считать": a reading run through the access library; returns when the run has ended.
    void btnRead2Click();
    // "Остановить" (and the server path's "Остановить (srv)").
    void btnStopClick();
    // "Сохранить...": the linear list to a text file or a workbook.
    void BtnExcelClick();
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

public:
    // The window's private "record answer" message (w, l), delivered synchronously.
    static constexpr QEvent::Type kRecordAnswerEvent = QEvent::Type(QEvent::User + 1);
    TServerReadingPath& serverPath() { return *m_serverPath; }

signals:
    // The address box holds a new valid address (the master component follows it).
    void devAdrChanged(int address);

public:
    // Controls, named as in the layout.
    QWidget* Panel3 = nullptr;
    QLabel* lblPort = nullptr;
    QComboBox* cbxPort = nullptr;
    QLabel* lblSpeed = nullptr;
    QComboBox* cbxSpeed = nullptr;
    TRadioGroup* rgrRsType = nullptr;
    QLabel* lblAddress = nullptr;
    QLineEdit* EdtAddr = nullptr;
    QLabel* lblTypeOfDevice = nullptr;
    QComboBox* cbxDev = nullptr;
    QCheckBox* chbLimit = nullptr;
    QWidget* Panel1 = nullptr;
    QLabel* LblStart = nullptr;
    QLineEdit* EdtStart = nullptr;
    QLabel* lblCount = nullptr;
    QLineEdit* EdtCount = nullptr;
    QPushButton* btnRead2 = nullptr;
    QPushButton* btnStop2 = nullptr;
    TRadioGroup* rgTypeJ = nullptr;
    QProgressBar* PBar = nullptr;
    QLabel* lblStat = nullptr;
    QLabel* lblMaxRec = nullptr;
    QPushButton* BtnExcel = nullptr;
    QLabel* VerPO = nullptr;
    QPushButton* btnConnect = nullptr;
    QPushButton* btnRead = nullptr;
    QPushButton* btnStop = nullptr;
    QPushButton* BtnDisconnect = nullptr;
    QPushButton* Button6 = nullptr;
    QLabel* Label6 = nullptr;
    QPushButton* BtnConnect2 = nullptr;
    QPushButton* BtnDisconnect2 = nullptr;
    QTabWidget* PageControl1 = nullptr;
    QWidget* tsData = nullptr;
    QWidget* tsGroup = nullptr;
    QWidget* tsSet = nullptr;
    QTableView* sg = nullptr;
    QTableView* sgGr = nullptr;
    QTableView* sgType = nullptr;
    TExchangeTab* tsExchange = nullptr; // "Обмен"

    // State of the window and of the current reading run.
    std::int32_t DevAdr = 1;
    // The record range of the current or last reading run.
    std::int64_t startrec() const { return m_run->Result().startrec; }
    std::int64_t CountRec() const { return m_run->Result().CountRec; }
    std::int64_t MaxRec() const { return m_run->Result().MaxRec; }
    const TRunResult& runResult() const { return m_run->Result(); }
    std::int32_t FRetries = 5;
    std::int32_t FAnswerTime = 500; // ms, main.ini AnswerTime
    TDevList ListDev;
    TDevInfo* CurDev = nullptr;
    std::vector<int> ComPortsArray;
    // The keep-reading flag of both reading paths; it lives in the run.
    bool GetArch() const { return m_run->GetArch(); }
    // Grouping data of the last run (owned by the decoder).
    const std::vector<TRecType>& ListRecGroup() const { return m_decoder->ListRecGroup(); }
    const std::vector<TRecStr>& ListStr() const { return m_decoder->ListStr(); }
    QVariantList StructV;
    TAccessLibraryBinding FLibrary;
    // Components of the server path, created with the window.
    comm::TRS232Transport* RS232 = nullptr;
    comm::TModbusMaster* MBM = nullptr;
    TDlgManager* DlgManager1 = nullptr;

private:
    void createControls();
    void FormCreate();
    void requestTermination() { m_terminationRequested = true; }
    // Connects the access library with the selected port, speed and link type; false (with a
    // message when the selection names no port or speed) when it does not.
    bool connectLibrary();
    const TJournalInfo* selectedJournal() const;
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;
    // At the first show: the whole window on the available screen (core::PlaceWindow).
    void showEvent(QShowEvent* event) override;
    void createComponents();
    // The "Обмен" tab and what it needs of the window.
    void createExchangeTab();

    // IRunHost: the reading run's view of the window.
    void ShowMessage(const QString& text, const QString& detail) override;
    void SetExportVisible(bool visible) override;
    void SetStatusText(const QString& text) override;
    void SetCountText(const QString& text) override;
    void SetProgressMaximum(int maximum) override;
    void SetProgressPosition(int position) override;
    void SetRunState(TRunState state) override;
    void ProcessEvents() override;

    // IServerPathHost: the server path's view of the window.
    const TDevInfo* CurrentDevice() const override { return CurDev; }
    int JournalItemIndex() const override;
    bool ReadingFlag() const override { return m_run->GetArch(); }
    void SetReadingFlag(bool on) override { on ? m_run->KeepReading() : m_run->Stop(); }
    void SetControlEnabled(IServerPathHost::Control control, bool enabled) override;
    void ShowMessageBox(const QString& text) override;
    void ShowErrorBox(const QString& text) override;
    void SendRecordAnswer(std::int32_t w, std::int32_t result) override;

    TForm1Options m_options;
    std::unique_ptr<IMessageSink> m_ownMessages;
    IMessageSink* m_messages = nullptr;
    bool m_terminationRequested = false;
    bool m_settingsSaved = false;
    QString m_exportFileName;
    core::TSaveDialogMemory m_saveDialogMemory;
    bool m_placedOnScreen = false;
    TStringTableModel* m_sgCells = nullptr;
    TStringTableModel* m_sgGrCells = nullptr;
    TStringTableModel* m_sgTypeCells = nullptr;
    std::unique_ptr<ISaveFileChooser> m_ownSaveDialog;
    // Decoder, its bridge to the grouped grid and the run; made with the grids' models.
    std::unique_ptr<core::TJournalDecoder> m_decoder;
    std::unique_ptr<TRunDecoder> m_runDecoder;
    std::unique_ptr<TReadingRun> m_run;
    bool m_closeRequested = false;
    std::unique_ptr<TServerReadingPath> m_serverPath;
    std::unique_ptr<comm::IMessageSink> m_commMessages;
    QElapsedTimer m_sinceEvents; // since pending events were last handled during a run
};
