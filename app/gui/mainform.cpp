// SPDX-License-Identifier: MIT
#include "app/gui/mainform.h"

#include "app/core/archiverecorder.h"
#include "app/core/catalogue.h"
#include "app/core/windowplacement.h"
#include "app/core/windowtexts.h"
#include "app/gui/connectionsettings.h"
#include "app/gui/exchangetab.h"
#include "app/gui/listexport.h"
#include "app/gui/messageboxsink.h"
#include "app/gui/runview.h"
#include "app/gui/savefilechooser.h"
#include "app/gui/serverpathview.h"
#include "app/models/stringtablemodel.h"
#include "comm/comtransport.h"
#include "comm/modbusmaster.h"
#include "comm/widgets/dlgmanager.h"
#include "platform/inifile.h"
#include "platform/portlist.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QScreen>
#include <QTimer>

using gui::SaveLinearList;
using gui::TArchiveController;
using gui::TExchangeChoices;
using gui::TExchangeController;
using gui::TFileDialogChooser;
using gui::TForm1Options;
using gui::TMessageBoxSink;
using gui::TReadingChoices;
using gui::TReadingController;
using gui::TRecordAnswerEvent;
using gui::TServerPathController;
using gui::TServerPathEvents;

namespace {

// The window's fonts: 8 points at 96 dpi are 11 pixels (a size Designer files cannot give).
QFont windowFont(const QString& family) {
    QFont f(family);
    f.setPixelSize(11);
    return f;
}

} // namespace

TForm1::TForm1(TForm1Options options, QWidget* parent)
    : QMainWindow(parent), m_options(std::move(options)) {
    if (m_options.messages) {
        m_messages = m_options.messages;
    } else {
        m_ownMessages = std::make_unique<TMessageBoxSink>(this);
        m_messages = m_ownMessages.get();
    }
    if (!m_options.saveDialog) {
        m_ownSaveDialog = std::make_unique<TFileDialogChooser>();
        m_options.saveDialog = m_ownSaveDialog.get();
    }
    setupForm();
    createControllers();
    connectControls();
    createActions();
    connectChart();
    FormCreate();
    if (m_terminationRequested) {
        if (m_options.terminate)
            m_options.terminate();
        else
            QMetaObject::invokeMethod(
                qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    }
}

TForm1::~TForm1() {
    // The run ends first: its thread uses the library and the archive.
    m_reading->Shutdown();
    m_exchange->StopFollowingTrace(); // the tab goes with the window's children
    SaveSettings();
    // The components go before the window's children; nothing of the window may hear them then.
    m_serverPath.reset();
}

void TForm1::setupForm() {
    ui.setupUi(this);
    setWindowTitle(QApplication::applicationDisplayName());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(windowFont(QStringLiteral("MS Sans Serif")));
    ui.cbxDev->setFont(windowFont(QStringLiteral("Tahoma")));
    ui.rgTypeJ->setFont(windowFont(QStringLiteral("Tahoma")));
    // Client area 734 x 564 (the form's size); the minimum of 750 x 550 is the outer size with a
    // desktop frame.
    move(769, 204);
    for (const int s : core::kSpeeds)
        ui.cbxSpeed->addItem(QString::number(s));
    ui.cbxSpeed->setCurrentIndex(comm::kDefaultSpeed);
}

void TForm1::createControllers() {
    const auto device = [this] { return m_curDev; };
    const auto link = [this] { return SelectedLink(); };
    const auto times = [this] { return std::pair{m_answerTime, m_retries}; };
    const auto searching = [this] { return m_exchange->searching(); };
    m_reading = std::make_unique<TReadingController>(
        ui, *m_messages, m_library, TReadingChoices{link, device, times, searching, mainIniPath()},
        m_options.eventIntervalMs);
    m_exchange = std::make_unique<TExchangeController>(
        ui, *m_messages, m_library, *m_reading,
        TExchangeChoices{link, [this] { return selectedJournal(); }, times,
                         [this](int answerMs, int retries) { ApplyLinkTimes(answerMs, retries); }});
    TServerPathEvents events;
    events.changeConnected = [this](QObject* s, bool c) { RS232ChangeConnected(s, c); };
    events.exchange = [this](QObject* s, qint32 q, qint32 a, qint32 f, const QVariant& v,
                             qint32 r) { MBMExchange(s, q, a, f, v, r); };
    m_serverPath = std::make_unique<TServerPathController>(
        *this, ui, *m_messages, m_reading->decoder(), device, std::move(events));
    connect(this, &TForm1::devAdrChanged, &m_serverPath->mbm(),
            &comm::TModbusMaster::SetDeviceAddress);
    m_archive = std::make_unique<TArchiveController>(ui, *m_messages, *m_reading, m_listDev, device,
                                                     searching);
    connect(m_reading.get(), &TReadingController::started, this, &TForm1::readingStarted);
    connect(m_reading.get(), &TReadingController::finished, this, &TForm1::readingFinished);
    connect(m_exchange.get(), &TExchangeController::searchingChanged, this,
            &TForm1::searchStateChanged);
}

void TForm1::connectControls() {
    connect(ui.EdtAddr, &QLineEdit::textChanged, this, &TForm1::EdtAddrChange);
    connect(ui.chbLimit, &QCheckBox::clicked, this, &TForm1::chbLimitClick);
    connect(ui.cbxDev, &QComboBox::currentIndexChanged, this, &TForm1::deviceSelected);
    connect(ui.Button6, &QPushButton::clicked, this, &TForm1::Button6Click);
    connect(ui.BtnConnect2, &QPushButton::clicked, this, &TForm1::BtnConnect2Click);
    connect(ui.BtnDisconnect2, &QPushButton::clicked, this, &TForm1::BtnDisconnect2Click);
    connect(ui.btnRead2, &QPushButton::clicked, this, &TForm1::btnRead2Click);
    connect(ui.btnStop2, &QPushButton::clicked, this, &TForm1::btnStopClick);
    connect(ui.btnStop, &QPushButton::clicked, this, &TForm1::btnStopClick);
    connect(ui.btnConnect, &QPushButton::clicked, this, &TForm1::btnConnectClick);
    connect(ui.btnRead, &QPushButton::clicked, this, &TForm1::btnReadClick);
    connect(ui.BtnDisconnect, &QPushButton::clicked, this, &TForm1::BtnDisconnectClick2);
    connect(ui.BtnExcel, &QPushButton::clicked, this, &TForm1::BtnExcelClick);
    connect(ui.btnIncremental, &QPushButton::clicked, this, &TForm1::btnIncrementalClick);
    connect(ui.rgTypeJ, &platform::TRadioGroup::itemClicked, m_archive.get(),
            &TArchiveController::UpdateIncrementalButton);
    connect(ui.btnLinkSettings, &QPushButton::clicked, this, &TForm1::btnLinkSettingsClick);
    connect(ui.lnkExchange, &QLabel::linkActivated, this,
            [this] { ui.PageControl1->setCurrentWidget(m_exchange->tab()); });
}

QString TForm1::mainIniPath() const {
    return m_options.mainIniPath.isEmpty()
               ? QDir(m_options.programDirectory).filePath(QStringLiteral("main.ini"))
               : m_options.mainIniPath;
}

void TForm1::FormCreate() {
    if (!LoadAccessLibrary()) {
        messages().error(QStringLiteral("Проблемы при подключении к библиотеке\r"
                                        "Дальнейшая работа невозможна"));
        requestTermination();
    }
    if (!m_library.FHandle)
        requestTermination();
    FillPortList();
    EdtAddrChange();
    m_listDev.clear();
    m_curDev = nullptr;
    LoadCatalogue();
    m_archive->Setup(m_archiveSetting, m_serverPath->path());
    m_structV = serverpath::TServerReadingPath::RecordStructure();
    m_serverPath->path().SetStructV(m_structV);
    // The grids' heading rows come with their tabs.
    ui.VerPO->setText(QStringLiteral("Версия ПО ") + core::ProgramVersionText());
    FillRecTypeGrid();
    m_reading->decoder().ClearGroupData();
}

bool TForm1::LoadAccessLibrary() {
    const bool loaded = m_library.LoadAccessLibrary(m_options.programDirectory, m_messages);
    if (loaded)
        m_exchange->FollowTrace();
    return loaded;
}

void TForm1::FillPortList() {
    ui.cbxPort->clear();
    const QList<platform::SerialPortEntry> ports =
        m_options.ports ? m_options.ports() : platform::PortList::available(mainIniPath());
    const std::vector<core::TPortItem> items = core::BuildPortItems(ports);
    m_comPorts.clear();
    for (const core::TPortItem& item : items) {
        m_comPorts.push_back(item.number);
        ui.cbxPort->addItem(item.name);
        ui.cbxPort->setItemData(ui.cbxPort->count() - 1, item.toolTip, Qt::ToolTipRole);
    }
    ui.cbxPort->setCurrentIndex(items.empty() ? -1 : 0);
}

core::TPortChoice TForm1::SelectedPort() const {
    QStringList items;
    for (int i = 0; i < ui.cbxPort->count(); ++i)
        items.append(ui.cbxPort->itemText(i));
    return core::ResolvePortChoice(items, m_comPorts, ui.cbxPort->currentIndex(),
                                   ui.cbxPort->currentText(), mainIniPath());
}

int TForm1::SelectedSpeed() const {
    return core::SelectedSpeedFor(ui.cbxSpeed->currentIndex(), ui.cbxSpeed->currentText());
}

void TForm1::LoadCatalogue() {
    core::TCatalogue catalogue;
    catalogue.Load(mainIniPath(), m_options.deviceDirectory.isEmpty() ? m_options.programDirectory
                                                                      : m_options.deviceDirectory);
    const core::TConnectionSettings& s = catalogue.Settings;
    m_archiveSetting = core::ArchiveSettingFor(s);

    gui::connectionsettings::Restore(ui, s);
    m_retries = s.Retries;
    m_answerTime = s.AnswerTime;
    m_serverPath->rs232().SetAnswerDelay(m_answerTime); // the server path waits as long

    restoreChoices(s);
    {
        const QSignalBlocker block(ui.cbxDev);
        ui.cbxDev->clear();
        m_listDev = std::move(catalogue.ListDev);
        for (const auto& dev : m_listDev)
            ui.cbxDev->addItem(dev->Name);
        if (ui.cbxDev->count() > 0)
            ui.cbxDev->setCurrentIndex(s.LastDev >= 0 && s.LastDev < ui.cbxDev->count() ? s.LastDev
                                                                                        : -1);
    }
    cbxDevChange();
    restoreJournal();

    if (s.Top || s.Left)
        move(s.Left.value_or(x()), s.Top.value_or(y()));
    m_saveDialogMemory = core::TSaveDialogMemory::FromSettings(s.saveFolder, s.saveFilter);

    if (!catalogue.Errors.isEmpty())
        messages().error(catalogue.Errors.join(u'\n'));
}

void TForm1::SaveSettings() {
    if (m_settingsSaved)
        return;
    m_settingsSaved = true;
    core::TConnectionSettings s;
    gui::connectionsettings::Store(ui, s);
    s.Retries = m_retries;
    s.AnswerTime = m_answerTime;
    s.Top = y();
    s.Left = x();
    storeChoices(s);
    if (!m_saveDialogMemory.folder.isEmpty()) {
        s.saveFolder = m_saveDialogMemory.folder;
        s.saveFilter = m_saveDialogMemory.filterIndex;
    }
    QString message;
    if (!core::SaveSettings(mainIniPath(), s, &message))
        messages().error(message);
}

void TForm1::FillRecTypeGrid() {
    ui.tsSet->fill(m_curDev);
}

void TForm1::EdtAddrChange() {
    QPalette pal = ui.EdtAddr->palette();
    if (const auto addr = platform::parseIniInteger(ui.EdtAddr->text())) {
        m_devAdr = *addr;
        pal.setColor(QPalette::Text, Qt::black);
        ui.EdtAddr->setPalette(pal);
        emit devAdrChanged(m_devAdr);
    } else {
        m_devAdr = 1;
        pal.setColor(QPalette::Text, QColor(255, 0, 0));
        ui.EdtAddr->setPalette(pal);
    }
}

void TForm1::chbLimitClick() {
    const bool on = ui.chbLimit->isChecked();
    ui.LblStart->setEnabled(on);
    ui.lblCount->setEnabled(on);
    ui.EdtStart->setEnabled(on);
    ui.EdtCount->setEnabled(on);
}

void TForm1::cbxDevChange() {
    ui.BtnExcel->hide();
    const int index = ui.cbxDev->currentIndex();
    if (index < 0 || static_cast<std::size_t>(index) >= m_listDev.size())
        return;
    m_curDev = m_listDev[static_cast<std::size_t>(index)].get();

    const core::TDeviceView view = core::DeviceViewFor(*m_curDev);
    ui.PageControl1->setTabVisible(ui.PageControl1->indexOf(ui.tsSet), view.recTypeTabVisible);
    ui.tsData->applyDeviceView(view.valueBeforeVisible);
    m_exportFileName = m_curDev->Name;

    ui.rgTypeJ->show();
    const QStringList journals = core::JournalItems(*m_curDev);
    ui.rgTypeJ->setItems(journals);
    if (!journals.isEmpty())
        ui.rgTypeJ->setItemIndex(0);
    FillRecTypeGrid();
    m_archive->UpdateIncrementalButton();
}

core::TLinkChoice TForm1::SelectedLink() const {
    return core::ChooseLink(SelectedPort(), ui.cbxSpeed->currentIndex(),
                            ui.cbxSpeed->currentText());
}

void TForm1::Button6Click() {
    m_reading->ShowDeviceName(m_devAdr);
}

void TForm1::BtnConnect2Click() {
    m_reading->ConnectByHand();
}

void TForm1::BtnDisconnect2Click() {
    m_reading->DisconnectByHand();
}

const TJournalInfo* TForm1::selectedJournal() const {
    return m_curDev ? m_curDev->journalAt(ui.rgTypeJ->itemIndex()) : nullptr;
}

void TForm1::btnRead2Click() {
    m_reading->Start(false);
}

void TForm1::btnIncrementalClick() {
    m_reading->Start(true);
}

void TForm1::readingStarted() {
    m_archive->ReadingStarted();
    m_exchange->tab()->RunStarted();
}

void TForm1::readingFinished(const core::TRunResult& result) {
    m_exchange->tab()->RunEnded(result);
    m_reading->view().ShowRunEnd(result);
    m_archive->ReadingEnded();
    if (m_closeRequested)
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void TForm1::searchStateChanged(bool searching) {
    m_archive->UpdateIncrementalButton();
    if (!searching && m_closeRequested)
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void TForm1::btnStopClick() {
    ui.btnStop->setEnabled(false);
    m_serverPath->path().Stop();
    ui.btnRead->setEnabled(true);
    ui.rgTypeJ->setEnabled(true);
    if (!m_reading->Stop()) // a run's end brings its grouped view
        BuildGroupView();
}

void TForm1::BuildGroupView() {
    m_reading->decoder().BuildGroupView(*ui.tsGroup->cells());
}

void TForm1::ClearGroupData() {
    m_reading->decoder().ClearGroupData(*ui.tsGroup->cells());
}

void TForm1::BtnExcelClick() {
    const TJournalInfo* journal = selectedJournal();
    SaveLinearList({this, *m_options.saveDialog, m_saveDialogMemory, messages()},
                   *ui.tsData->cells(), ui.cbxDev->currentText(),
                   journal ? journal->typedev : tdPlain, m_exportFileName);
}

void TForm1::closeEvent(QCloseEvent* event) {
    // Closing during a run or a search stops it first; the window closes once it has finished
    // (port closed, archive ended).
    if (runActive() || m_exchange->searching()) {
        m_closeRequested = true;
        m_reading->Stop();
        m_exchange->StopSearch();
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (m_placedOnScreen)
        return;
    m_placedOnScreen = true;
    QList<QRect> areas; // the primary screen first
    for (const QScreen* screen : QGuiApplication::screens())
        areas.append(screen->availableGeometry());
    // A saved size larger than the screen shrinks to it.
    if (const QScreen* at = screen()) {
        const QSize room = at->availableGeometry().size() - (frameGeometry().size() - size());
        if (size() != size().boundedTo(room))
            resize(size().boundedTo(room));
    }
    move(core::PlaceWindow(frameGeometry(), areas));
    if (m_maximizeOnShow)
        setWindowState(windowState() | Qt::WindowMaximized);
}

// ---- server path ----

void TForm1::btnConnectClick() {
    m_serverPath->path().btnConnectClick(ui.cbxSpeed->currentIndex(), ui.cbxSpeed->currentText(),
                                         ui.cbxPort->currentText());
}

void TForm1::btnReadClick() {
    m_serverPath->path().btnReadClick();
}

void TForm1::BtnDisconnectClick2() {
    m_serverPath->path().BtnDisconnectClick2();
}

void TForm1::RS232ChangeConnected(QObject* ASender, bool AConnected) {
    m_serverPath->path().RS232ChangeConnected(ASender, AConnected);
}

void TForm1::MBMExchange(QObject* Sender, std::int32_t QID, std::int32_t MBAddr,
                         std::int32_t FunNumber, const QVariant& Value, std::int32_t Result) {
    m_serverPath->path().MBMExchange(Sender, QID, MBAddr, FunNumber, Value, Result);
}

void TForm1::WMRecordAnswer(std::int32_t w, std::int32_t l) {
    m_serverPath->path().WMRecordAnswer(w, l);
}

bool TForm1::event(QEvent* event) {
    if (event->type() == TRecordAnswerEvent::kType) {
        const auto* e = static_cast<TRecordAnswerEvent*>(event);
        WMRecordAnswer(e->W, e->L);
        return true;
    }
    return QMainWindow::event(event);
}
