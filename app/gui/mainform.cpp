#include "app/gui/mainform.h"

#include "app/core/catalogue.h"
#include "app/core/errortexts.h"
#include "app/core/journalexport.h"
#include "app/core/windowplacement.h"
#include "app/gui/exchangetab.h"
#include "app/gui/messageboxsink.h"
#include "app/gui/radiogroup.h"
#include "app/gui/savefilechooser.h"
#include "app/gui/views/journalviews.h"
#include "app/models/stringtablemodel.h"
#include "comm/widgets/dlgmanager.h"
#include "platform/codepage.h"
#include "platform/inifile.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

namespace {

// The window's fonts: 8 points at 96 dpi are 11 pixels.
QFont windowFont(const QString& family) {
    QFont f(family);
    f.setPixelSize(11);
    return f;
}

template <typename W> W* named(W* w, const char* name) {
    w->setObjectName(QString::fromLatin1(name));
    return w;
}

// The components' messages ("Неверно задан параметр!") go to the window's message boxes.
class TCommMessageAdapter : public comm::IMessageSink {
public:
    explicit TCommMessageAdapter(::IMessageSink& sink) : m_sink(sink) {}
    void showMessage(const QString& text) override { m_sink.information(text); }
    void showError(const QString& text) override { m_sink.error(text); }

private:
    ::IMessageSink& m_sink;
};

// The window's "record answer" message.
class TRecordAnswerEvent : public QEvent {
public:
    TRecordAnswerEvent(std::int32_t w, std::int32_t l)
        : QEvent(TForm1::kRecordAnswerEvent), W(w), L(l) {}
    std::int32_t W;
    std::int32_t L;
};

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
    m_commMessages = std::make_unique<TCommMessageAdapter>(*m_messages);
    createControls();
    createComponents();
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
    FLibrary.SetTraceObserver(nullptr); // the tab goes with the window's children
    SaveSettings();
    // The components go with the window's children; nothing of the window may hear them then.
    MBM->OnExchange = nullptr;
    RS232->OnChangeConnected = nullptr;
    delete MBM;
    delete RS232;
    delete DlgManager1;
}

void TForm1::createComponents() {
    DlgManager1 = new TDlgManager(this);
    DlgManager1->setObjectName(QStringLiteral("DlgManager1"));
    DlgManager1->SetMessageSink(m_commMessages.get());
    RS232 = new comm::TRS232Transport(this);
    RS232->setObjectName(QStringLiteral("RS232"));
    RS232->SetMessageSink(m_commMessages.get());
    RS232->SetPort(QStringLiteral("COM2"));
    RS232->SetAnswerDelay(500);
    RS232->SetDisplayName(QStringLiteral("RS232"));
    RS232->SetDlgManager(DlgManager1);
    RS232->OnChangeConnected = [this](QObject* s, bool c) { RS232ChangeConnected(s, c); };
    MBM = new comm::TModbusMaster(this);
    MBM->setObjectName(QStringLiteral("MBM"));
    MBM->SetTransport(RS232);
    MBM->SetQueryType(comm::qtNormal);
    MBM->OnExchange = [this](QObject* s, qint32 q, qint32 a, qint32 f, const QVariant& v,
                             qint32 r) { MBMExchange(s, q, a, f, v, r); };
    DlgManager1->SetMaster(MBM);
    connect(this, &TForm1::devAdrChanged, MBM, &comm::TModbusMaster::SetDeviceAddress);
    m_serverPath = std::make_unique<TServerReadingPath>(
        *RS232, *MBM, *m_sgCells, *m_sgGrCells, *m_decoder, static_cast<IServerPathHost&>(*this));
}

QString TForm1::mainIniPath() const {
    return m_options.mainIniPath.isEmpty()
               ? QDir(m_options.programDirectory).filePath(QStringLiteral("main.ini"))
               : m_options.mainIniPath;
}

void TForm1::createControls() {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QApplication::applicationDisplayName());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(windowFont(QStringLiteral("MS Sans Serif")));
    const QFont tahoma = windowFont(QStringLiteral("Tahoma"));
    // Client area 734 x 564; the minimum of 750 x 550 is the outer size with a desktop frame.
    resize(734, 564);
    setMinimumSize(734, 512);
    move(769, 204);

    auto* central = new QWidget(this);
    auto* root = new QVBoxLayout(central);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);
    setCentralWidget(central);

    // Top panel with the connection, device and run controls.
    Panel3 = named(new QWidget(central), "Panel3");
    Panel3->setFixedHeight(179);
    root->addWidget(Panel3);
    auto* panel = new QGridLayout(Panel3);
    panel->setContentsMargins(8, 6, 8, 6);
    panel->setHorizontalSpacing(8);
    panel->setVerticalSpacing(2);

    auto* conn = new QGridLayout();
    conn->setHorizontalSpacing(6);
    conn->setVerticalSpacing(2);
    lblPort = named(new QLabel(QStringLiteral("Порт"), Panel3), "lblPort");
    cbxPort = named(new QComboBox(Panel3), "cbxPort");
    cbxPort->setEditable(true);
    cbxPort->setInsertPolicy(QComboBox::NoInsert);
    cbxPort->setMinimumWidth(90);
    lblSpeed = named(new QLabel(QStringLiteral("Скорость"), Panel3), "lblSpeed");
    cbxSpeed = named(new QComboBox(Panel3), "cbxSpeed");
    cbxSpeed->setEditable(true);
    cbxSpeed->setInsertPolicy(QComboBox::NoInsert);
    for (const int s : core::kSpeeds)
        cbxSpeed->addItem(QString::number(s));
    cbxSpeed->setCurrentIndex(4); // "19200"
    cbxSpeed->setMinimumWidth(80);
    lblAddress = named(new QLabel(QStringLiteral("Адрес:"), Panel3), "lblAddress");
    EdtAddr = named(new QLineEdit(QStringLiteral("1"), Panel3), "EdtAddr");
    EdtAddr->setFixedWidth(50);
    rgrRsType = named(new TRadioGroup(QStringLiteral("Тип связи"), Panel3), "rgrRsType");
    rgrRsType->setColumns(2);
    rgrRsType->setItems({QStringLiteral("232"), QStringLiteral("485")});
    rgrRsType->setItemIndex(0);
    conn->addWidget(lblPort, 0, 0);
    conn->addWidget(cbxPort, 1, 0);
    conn->addWidget(lblSpeed, 0, 1);
    conn->addWidget(cbxSpeed, 1, 1);
    conn->addWidget(lblAddress, 0, 2);
    conn->addWidget(EdtAddr, 1, 2);
    conn->addWidget(rgrRsType, 0, 3, 2, 1);

    lblTypeOfDevice = named(new QLabel(QStringLiteral("Тип прибора:"), Panel3), "lblTypeOfDevice");
    cbxDev = named(new QComboBox(Panel3), "cbxDev");
    cbxDev->setEditable(false);
    cbxDev->setFont(tahoma);
    conn->addWidget(lblTypeOfDevice, 2, 0, 1, 4);
    conn->addWidget(cbxDev, 3, 0, 1, 4);

    chbLimit = named(new QCheckBox(QStringLiteral("Ограничение:"), Panel3), "chbLimit");
    Panel1 = named(new QWidget(Panel3), "Panel1");
    auto* range = new QHBoxLayout(Panel1);
    range->setContentsMargins(0, 0, 0, 0);
    range->setSpacing(4);
    LblStart = named(new QLabel(QStringLiteral("Начать с"), Panel1), "LblStart");
    EdtStart = named(new QLineEdit(QStringLiteral("0"), Panel1), "EdtStart");
    lblCount = named(new QLabel(QStringLiteral("Количество"), Panel1), "lblCount");
    EdtCount = named(new QLineEdit(QStringLiteral("0"), Panel1), "EdtCount");
    EdtStart->setFixedWidth(60);
    EdtCount->setFixedWidth(60);
    range->addWidget(LblStart);
    range->addWidget(EdtStart);
    range->addSpacing(6);
    range->addWidget(lblCount);
    range->addWidget(EdtCount);
    range->addStretch(1);
    for (QWidget* w : {static_cast<QWidget*>(LblStart), static_cast<QWidget*>(EdtStart),
                       static_cast<QWidget*>(lblCount), static_cast<QWidget*>(EdtCount)})
        w->setEnabled(false);
    conn->addWidget(chbLimit, 4, 0);
    conn->addWidget(Panel1, 4, 1, 1, 3);
    panel->addLayout(conn, 0, 0);

    rgTypeJ = named(new TRadioGroup(QStringLiteral("Тип архива"), Panel3), "rgTypeJ");
    rgTypeJ->setFont(tahoma);
    rgTypeJ->setItems(
        {QStringLiteral("Калибровочный журнал (...)"), QStringLiteral("Сервисный журнал (...)")});
    rgTypeJ->setItemIndex(0);
    rgTypeJ->setMinimumWidth(220);
    rgTypeJ->hide();
    panel->addWidget(rgTypeJ, 0, 1);

    auto* buttons = new QVBoxLayout();
    buttons->setSpacing(4);
    btnRead2 = named(new QPushButton(QStringLiteral("Считать"), Panel3), "btnRead2");
    btnStop2 = named(new QPushButton(QStringLiteral("Остановить"), Panel3), "btnStop2");
    btnStop2->setEnabled(false);
    BtnExcel = named(new QPushButton(QStringLiteral("Сохранить..."), Panel3), "BtnExcel");
    BtnExcel->hide();
    buttons->addWidget(btnRead2);
    buttons->addWidget(btnStop2);
    buttons->addWidget(BtnExcel);

    // The buttons of the server path and of the manual library connection are never shown.
    btnConnect = named(new QPushButton(QStringLiteral("Подключиться (srv)"), Panel3), "btnConnect");
    btnRead = named(new QPushButton(QStringLiteral("Считать (srv)"), Panel3), "btnRead");
    btnStop = named(new QPushButton(QStringLiteral("Остановить (srv)"), Panel3), "btnStop");
    BtnDisconnect =
        named(new QPushButton(QStringLiteral("Отключиться (srv)"), Panel3), "BtnDisconnect");
    Button6 = named(new QPushButton(QStringLiteral("Считать версию"), Panel3), "Button6");
    Label6 = named(new QLabel(QStringLiteral("..."), Panel3), "Label6");
    BtnConnect2 = named(new QPushButton(QStringLiteral("Подключиться"), Panel3), "BtnConnect2");
    BtnDisconnect2 =
        named(new QPushButton(QStringLiteral("Отключиться"), Panel3), "BtnDisconnect2");
    btnRead->setEnabled(false);
    btnStop->setEnabled(false);
    BtnDisconnect->setEnabled(false);
    BtnDisconnect2->setEnabled(false);
    for (QWidget* w : {static_cast<QWidget*>(btnConnect), static_cast<QWidget*>(btnRead),
                       static_cast<QWidget*>(btnStop), static_cast<QWidget*>(BtnDisconnect),
                       static_cast<QWidget*>(Button6), static_cast<QWidget*>(Label6),
                       static_cast<QWidget*>(BtnConnect2), static_cast<QWidget*>(BtnDisconnect2)}) {
        w->hide();
        buttons->addWidget(w);
    }
    buttons->addStretch(1);
    panel->addLayout(buttons, 0, 2);

    auto* status = new QHBoxLayout();
    status->setSpacing(12);
    PBar = named(new QProgressBar(Panel3), "PBar");
    PBar->setTextVisible(false);
    PBar->setFixedHeight(16);
    PBar->setValue(0);
    lblStat = named(new QLabel(QStringLiteral("..."), Panel3), "lblStat");
    lblMaxRec = named(new QLabel(QStringLiteral("..."), Panel3), "lblMaxRec");
    VerPO = named(new QLabel(QStringLiteral("..."), Panel3), "VerPO");
    status->addWidget(lblStat);
    status->addWidget(lblMaxRec);
    status->addStretch(1);
    status->addWidget(VerPO);
    panel->addWidget(PBar, 1, 0, 1, 3);
    panel->addLayout(status, 2, 0, 1, 3);
    panel->setColumnStretch(1, 1);
    panel->setRowStretch(0, 1);

    // The three views.
    PageControl1 = named(new QTabWidget(central), "PageControl1");
    root->addWidget(PageControl1, 1);
    tsData = named(new QWidget(), "tsData");
    tsGroup = named(new QWidget(), "tsGroup");
    tsSet = named(new QWidget(), "tsSet");
    PageControl1->addTab(tsData, QStringLiteral("Линейный список"));
    PageControl1->addTab(tsGroup, QStringLiteral("Группировка по типам"));
    PageControl1->addTab(tsSet, QStringLiteral("Типы записей"));
    createExchangeTab();

    m_sgCells = new TStringTableModel(2, 5, this);
    sg = named(new QTableView(tsData), "sg");
    views::SetupLinearList(sg, m_sgCells);
    m_sgGrCells = new TStringTableModel(2, 1, this);
    sgGr = named(new QTableView(tsGroup), "sgGr");
    views::SetupGroupGrid(sgGr, m_sgGrCells);
    m_sgTypeCells = new TStringTableModel(2, 4, this);
    sgType = named(new QTableView(tsSet), "sgType");
    views::SetupRecTypeGrid(sgType, m_sgTypeCells);

    m_decoder = std::make_unique<core::TJournalDecoder>(*m_sgCells);
    m_decoder->setScrollHook([this] { views::ScrollToLastRow(sg); });
    m_runDecoder = std::make_unique<TRunDecoder>(*m_decoder, *m_sgGrCells);
    m_run = std::make_unique<TReadingRun>(FLibrary, *m_runDecoder, *m_sgCells,
                                          static_cast<IRunHost&>(*this));

    for (auto [page, grid] :
         {std::pair{tsData, sg}, std::pair{tsGroup, sgGr}, std::pair{tsSet, sgType}}) {
        auto* l = new QVBoxLayout(page);
        l->setContentsMargins(0, 0, 0, 0);
        l->addWidget(grid);
    }

    connect(EdtAddr, &QLineEdit::textChanged, this, &TForm1::EdtAddrChange);
    connect(chbLimit, &QCheckBox::clicked, this, &TForm1::chbLimitClick);
    connect(cbxDev, &QComboBox::currentIndexChanged, this, &TForm1::cbxDevChange);
    connect(Button6, &QPushButton::clicked, this, &TForm1::Button6Click);
    connect(BtnConnect2, &QPushButton::clicked, this, &TForm1::BtnConnect2Click);
    connect(BtnDisconnect2, &QPushButton::clicked, this, &TForm1::BtnDisconnect2Click);
    connect(btnRead2, &QPushButton::clicked, this, &TForm1::btnRead2Click);
    connect(btnStop2, &QPushButton::clicked, this, &TForm1::btnStopClick);
    connect(btnStop, &QPushButton::clicked, this, &TForm1::btnStopClick);
    connect(btnConnect, &QPushButton::clicked, this, &TForm1::btnConnectClick);
    connect(btnRead, &QPushButton::clicked, this, &TForm1::btnReadClick);
    connect(BtnDisconnect, &QPushButton::clicked, this, &TForm1::BtnDisconnectClick2);
    connect(BtnExcel, &QPushButton::clicked, this, &TForm1::BtnExcelClick);
}

void TForm1::FormCreate() {
    if (!LoadAccessLibrary()) {
        messages().error(QStringLiteral("Проблемы при подключении к библиотеке\r"
                                        "Дальнейшая работа невозможна"));
        requestTermination();
    }
    if (!FLibrary.FHandle)
        requestTermination();
    FillPortList();
    EdtAddrChange();
    ListDev.clear();
    CurDev = nullptr;
    LoadCatalogue();
    StructV = TServerReadingPath::RecordStructure();
    m_serverPath->SetStructV(StructV);

    const QString sgHeads[] = {QStringLiteral("№"), QStringLiteral("Время"),
                               QStringLiteral("Параметр"), QStringLiteral("Значение до"),
                               QStringLiteral("Значение новое")};
    for (int c = 0; c < 5; ++c)
        m_sgCells->setCell(0, c, sgHeads[c]);
    const QString typeHeads[] = {QStringLiteral("№"), QStringLiteral("Название"),
                                 QStringLiteral("ID"), QStringLiteral("Тип данных")};
    for (int c = 0; c < 4; ++c)
        m_sgTypeCells->setCell(0, c, typeHeads[c]);
    m_sgGrCells->setCell(0, 0, QStringLiteral("Название"));

    VerPO->setText(QStringLiteral("Версия ПО ") + core::ProgramVersionText());
    FillRecTypeGrid();
    m_decoder->ClearGroupData();
}

bool TForm1::LoadAccessLibrary() {
    const bool loaded = FLibrary.LoadAccessLibrary(m_options.programDirectory, m_messages);
    if (loaded)
        FLibrary.SetTraceObserver(tsExchange->observer());
    return loaded;
}

void TForm1::createExchangeTab() {
    TExchangeTabHooks hooks;
    hooks.searchRequest = [this]() -> std::optional<core::TSearchRequest> {
        const core::TPortChoice port = SelectedPort();
        const int speed = SelectedSpeed();
        if (!port.ok() || speed <= 0) {
            m_messages->error(port.ok() ? core::BadSpeedMessage(cbxSpeed->currentText())
                                        : port.error);
            return std::nullopt;
        }
        core::TSearchRequest request;
        request.port = port.number;
        request.linkType = rgrRsType->itemIndex();
        request.speeds = core::SearchSpeeds(speed);
        const TJournalInfo* journal = selectedJournal();
        request.countRegister = journal && journal->Reg > 300000 ? journal->Reg : 0;
        return request;
    };
    hooks.apply = [this](int address, int speed) {
        EdtAddr->setText(QString::number(address));
        const auto item = std::find(core::kSpeeds.begin(), core::kSpeeds.end(), speed);
        if (item != core::kSpeeds.end())
            cbxSpeed->setCurrentIndex(int(item - core::kSpeeds.begin()));
    };
    hooks.readingTimes = [this] { return std::pair{FAnswerTime, FRetries}; };
    hooks.busy = [this] { return runActive(); };
    hooks.processEvents = m_options.processEvents;
    tsExchange = new TExchangeTab(FLibrary, *m_messages, std::move(hooks));
    PageControl1->addTab(tsExchange, QStringLiteral("Обмен"));
}

void TForm1::FillPortList() {
    cbxPort->clear();
    const QList<platform::SerialPortEntry> ports =
        m_options.ports ? m_options.ports() : platform::PortList::available(mainIniPath());
    const std::vector<core::TPortItem> items = core::BuildPortItems(ports);
    ComPortsArray.clear();
    for (const core::TPortItem& item : items) {
        ComPortsArray.push_back(item.number);
        cbxPort->addItem(item.name);
        cbxPort->setItemData(cbxPort->count() - 1, item.toolTip, Qt::ToolTipRole);
    }
    cbxPort->setCurrentIndex(items.empty() ? -1 : 0);
}

core::TPortChoice TForm1::SelectedPort() const {
    QStringList items;
    for (int i = 0; i < cbxPort->count(); ++i)
        items.append(cbxPort->itemText(i));
    return core::ResolvePortChoice(items, ComPortsArray, cbxPort->currentIndex(),
                                   cbxPort->currentText(), mainIniPath());
}

int TForm1::SelectedSpeed() const {
    return core::SelectedSpeedFor(cbxSpeed->currentIndex(), cbxSpeed->currentText());
}

void TForm1::LoadCatalogue() {
    core::TCatalogue catalogue;
    catalogue.Load(mainIniPath(), m_options.deviceDirectory.isEmpty() ? m_options.programDirectory
                                                                      : m_options.deviceDirectory);
    const core::TConnectionSettings& s = catalogue.Settings;

    if (cbxPort->count() > 0 && s.lastcomport) {
        const int i = cbxPort->findText(*s.lastcomport, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (i >= 0)
            cbxPort->setCurrentIndex(i);
    }
    cbxSpeed->setCurrentIndex(s.lastcomspeed);
    EdtAddr->setText(QString::number(s.lastaddr.value_or(1)));
    FRetries = s.Retries;
    FAnswerTime = s.AnswerTime;
    RS232->SetAnswerDelay(FAnswerTime); // the server path waits as long
    rgrRsType->setItemIndex(s.lastlink);

    {
        const QSignalBlocker block(cbxDev);
        cbxDev->clear();
        ListDev = std::move(catalogue.ListDev);
        for (const auto& dev : ListDev)
            cbxDev->addItem(dev->Name);
        if (cbxDev->count() > 0)
            cbxDev->setCurrentIndex(s.LastDev >= 0 && s.LastDev < cbxDev->count() ? s.LastDev : -1);
    }
    cbxDevChange();

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
    s.lastcomport =
        cbxPort->currentIndex() >= 0 ? cbxPort->itemText(cbxPort->currentIndex()) : QString();
    s.lastcomspeed = cbxSpeed->currentIndex();
    if (const auto addr = platform::parseIniInteger(EdtAddr->text()))
        s.lastaddr = *addr;
    else
        s.lastaddr.reset();
    s.Retries = FRetries;
    s.AnswerTime = FAnswerTime;
    s.LastDev = cbxDev->currentIndex();
    s.lastlink = rgrRsType->itemIndex();
    s.Top = y();
    s.Left = x();
    if (!m_saveDialogMemory.folder.isEmpty()) {
        s.saveFolder = m_saveDialogMemory.folder;
        s.saveFilter = m_saveDialogMemory.filterIndex;
    }
    QString message;
    if (!core::SaveSettings(mainIniPath(), s, &message))
        messages().error(message);
}

void TForm1::FillRecTypeGrid() {
    core::TJournalDecoder::FillRecTypeGrid(*m_sgTypeCells, CurDev);
}

void TForm1::EdtAddrChange() {
    QPalette pal = EdtAddr->palette();
    if (const auto addr = platform::parseIniInteger(EdtAddr->text())) {
        DevAdr = *addr;
        pal.setColor(QPalette::Text, Qt::black);
        EdtAddr->setPalette(pal);
        emit devAdrChanged(DevAdr);
    } else {
        DevAdr = 1;
        pal.setColor(QPalette::Text, QColor(255, 0, 0));
        EdtAddr->setPalette(pal);
    }
}

void TForm1::chbLimitClick() {
    const bool on = chbLimit->isChecked();
    LblStart->setEnabled(on);
    lblCount->setEnabled(on);
    EdtStart->setEnabled(on);
    EdtCount->setEnabled(on);
}

void TForm1::cbxDevChange() {
    BtnExcel->hide();
    const int index = cbxDev->currentIndex();
    if (index < 0 || static_cast<std::size_t>(index) >= ListDev.size())
        return;
    CurDev = ListDev[static_cast<std::size_t>(index)].get();

    const core::TDeviceView view = core::DeviceViewFor(*CurDev);
    PageControl1->setTabVisible(PageControl1->indexOf(tsSet), view.recTypeTabVisible);
    views::ApplyLinearListLayout(sg, view.valueBeforeVisible);
    m_exportFileName = CurDev->Name;

    rgTypeJ->show();
    const QStringList journals = core::JournalItems(*CurDev);
    rgTypeJ->setItems(journals);
    if (!journals.isEmpty())
        rgTypeJ->setItemIndex(0);
    FillRecTypeGrid();
}

bool TForm1::connectLibrary() {
    const core::TPortChoice port = SelectedPort();
    if (!port.ok()) {
        messages().warning(port.error);
        return false;
    }
    const int speed = SelectedSpeed();
    if (speed <= 0) {
        messages().warning(core::BadSpeedMessage(cbxSpeed->currentText()));
        return false;
    }
    return FLibrary.Connect(port.number, speed, rgrRsType->itemIndex());
}

void TForm1::Button6Click() {
    if (!connectLibrary())
        return;
    std::uint8_t buffer[256] = {};
    const int result = FLibrary.GetDevName(DevAdr, buffer, 255);
    if (result == 0)
        Label6->setText(platform::fromCp1251(
            QByteArrayView(reinterpret_cast<const char*>(buffer + 1), buffer[0])));
    else
        Label6->setText(core::ErrorMessage(result));
    FLibrary.Disconnect();
}

void TForm1::BtnConnect2Click() {
    if (!connectLibrary())
        return;
    BtnDisconnect2->setEnabled(true);
    btnRead2->setEnabled(true);
    BtnConnect2->setEnabled(false);
}

void TForm1::BtnDisconnect2Click() {
    FLibrary.Disconnect();
    btnRead2->setEnabled(false);
    BtnDisconnect2->setEnabled(false);
    BtnConnect2->setEnabled(true);
}

const TJournalInfo* TForm1::selectedJournal() const {
    return CurDev ? CurDev->journalAt(rgTypeJ->itemIndex()) : nullptr;
}

void TForm1::btnRead2Click() {
    TRunRequest request;
    request.device = CurDev;
    request.journalIndex = rgTypeJ->itemIndex();
    const core::TPortChoice port = SelectedPort();
    const int speed = SelectedSpeed();
    if (!port.ok())
        request.portError = port.error;
    else if (speed <= 0)
        request.portError = core::BadSpeedMessage(cbxSpeed->currentText());
    else
        request.portNumber = port.number;
    request.speed = speed;
    request.linkType = rgrRsType->itemIndex();
    request.devAddr = DevAdr;
    request.retries = FRetries;
    request.answerTime = FAnswerTime;
    request.limit = chbLimit->isChecked();
    request.startText = EdtStart->text();
    request.countText = EdtCount->text();

    tsExchange->RunStarted();
    m_run->Run(request);
    tsExchange->RunEnded(m_run->Result());
    if (m_closeRequested)
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void TForm1::btnStopClick() {
    btnStop->setEnabled(false);
    m_run->Stop();
    btnRead->setEnabled(true);
    rgTypeJ->setEnabled(true);
    BuildGroupView();
}

void TForm1::BuildGroupView() {
    m_decoder->BuildGroupView(*m_sgGrCells);
}

void TForm1::ClearGroupData() {
    m_decoder->ClearGroupData(*m_sgGrCells);
}

void TForm1::BtnExcelClick() {
    const auto choice = m_options.saveDialog->choose(
        this, {m_saveDialogMemory.ProposedPath(m_exportFileName), m_saveDialogMemory.filterIndex});
    if (!choice)
        return;
    m_saveDialogMemory.Remember(choice->fileName, choice->filterIndex);
    const TJournalInfo* journal = selectedJournal();
    const TTypeDev layout = journal ? journal->typedev : tdPlain;
    const QString question =
        choice->filterIndex == 2 ? core::WorkbookReplaceQuestion(choice->fileName) : QString();
    if (!question.isEmpty() && !messages().question(question))
        return;
    const core::ExportResult result =
        choice->filterIndex == 2
            ? core::ExportSpreadsheet(*m_sgCells, cbxDev->currentText(), layout, choice->fileName)
            : core::ExportText(*m_sgCells, cbxDev->currentText(), layout, choice->fileName);
    if (!result.ok)
        messages().error(result.error);
    else if (!result.notice.isEmpty() && question.isEmpty())
        messages().information(result.notice);
}

void TForm1::closeEvent(QCloseEvent* event) {
    // A run handles window events while it reads: closing then stops it first; the window closes
    // once the run has finished (port closed, grouped view built).
    if (runActive()) {
        m_closeRequested = true;
        m_run->Stop();
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
    move(core::PlaceWindow(frameGeometry(), areas));
}

void TForm1::ShowMessage(const QString& text, const QString& detail) {
    messages().information(text, detail);
}

void TForm1::SetExportVisible(bool visible) {
    BtnExcel->setVisible(visible);
}

void TForm1::SetStatusText(const QString& text) {
    lblStat->setText(text);
}

void TForm1::SetCountText(const QString& text) {
    lblMaxRec->setText(text);
}

void TForm1::SetProgressMaximum(int maximum) {
    PBar->setMaximum(std::max(maximum, 0));
}

void TForm1::SetProgressPosition(int position) {
    PBar->setValue(std::clamp(position, PBar->minimum(), PBar->maximum()));
}

void TForm1::SetRunState(TRunState state) {
    switch (state) {
    case TRunState::Connected:
        btnRead2->setEnabled(false);
        btnStop->setEnabled(true);
        BtnDisconnect2->setEnabled(true);
        BtnConnect2->setEnabled(false);
        break;
    case TRunState::Reading:
        rgTypeJ->setEnabled(false);
        btnStop2->setEnabled(true);
        break;
    case TRunState::Idle:
        rgTypeJ->setEnabled(true);
        btnStop2->setEnabled(false);
        btnRead2->setEnabled(true);
        BtnConnect2->setEnabled(true);
        BtnDisconnect2->setEnabled(false);
        break;
    }
}

void TForm1::ProcessEvents() {
    if (m_options.eventIntervalMs > 0 && m_sinceEvents.isValid() &&
        m_sinceEvents.elapsed() < m_options.eventIntervalMs)
        return;
    m_sinceEvents.start();
    if (m_options.processEvents)
        m_options.processEvents();
    else
        QCoreApplication::processEvents();
}

// ---- server path ----

void TForm1::btnConnectClick() {
    m_serverPath->btnConnectClick(cbxSpeed->currentIndex(), cbxSpeed->currentText(),
                                  cbxPort->currentText());
}

void TForm1::btnReadClick() {
    m_serverPath->btnReadClick();
}

void TForm1::BtnDisconnectClick2() {
    m_serverPath->BtnDisconnectClick2();
}

void TForm1::RS232ChangeConnected(QObject* ASender, bool AConnected) {
    m_serverPath->RS232ChangeConnected(ASender, AConnected);
}

void TForm1::MBMExchange(QObject* Sender, std::int32_t QID, std::int32_t MBAddr,
                         std::int32_t FunNumber, const QVariant& Value, std::int32_t Result) {
    m_serverPath->MBMExchange(Sender, QID, MBAddr, FunNumber, Value, Result);
}

void TForm1::WMRecordAnswer(std::int32_t w, std::int32_t l) {
    m_serverPath->WMRecordAnswer(w, l);
}

bool TForm1::event(QEvent* event) {
    if (event->type() == kRecordAnswerEvent) {
        const auto* e = static_cast<TRecordAnswerEvent*>(event);
        WMRecordAnswer(e->W, e->L);
        return true;
    }
    return QMainWindow::event(event);
}

int TForm1::JournalItemIndex() const {
    return rgTypeJ->itemIndex();
}

void TForm1::SetControlEnabled(IServerPathHost::Control control, bool enabled) {
    switch (control) {
    case IServerPathHost::Control::Connect:
        btnConnect->setEnabled(enabled);
        break;
    case IServerPathHost::Control::Read:
        btnRead->setEnabled(enabled);
        break;
    case IServerPathHost::Control::Stop:
        btnStop->setEnabled(enabled);
        break;
    case IServerPathHost::Control::Disconnect:
        BtnDisconnect->setEnabled(enabled);
        break;
    case IServerPathHost::Control::JournalSelector:
        rgTypeJ->setEnabled(enabled);
        break;
    }
}

void TForm1::ShowMessageBox(const QString& text) {
    messages().information(text);
}

void TForm1::ShowErrorBox(const QString& text) {
    messages().error(text);
}

void TForm1::SendRecordAnswer(std::int32_t w, std::int32_t result) {
    TRecordAnswerEvent e(w, result);
    QCoreApplication::sendEvent(this, &e);
}
