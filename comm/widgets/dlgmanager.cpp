#include "comm/widgets/dlgmanager.h"

#include "comm/propsframes.h"
#include "comm/widgets/basepropsframe.h"
#include "comm/widgets/modbuspropsframe.h"
#include "comm/widgets/rspropsframe.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include <memory>
#include <stdexcept>

void installPropsFrameFactory() {
    comm::setPropsFrameFactory([](comm::PropsFrameKind kind) -> TBasePropsFrame* {
        switch (kind) {
        case comm::PropsFrameKind::RS232:
            return new TRSPropsFrame();
        case comm::PropsFrameKind::Modbus:
            return new TModbusPropsFrame();
        }
        return nullptr;
    });
}

// ---- TDlgManager ----

TDlgManager::TDlgManager(QObject* AOwner, bool ADesignTime)
    : comm::TDlgManagerBase(AOwner), FDesignTime(ADesignTime) {
    installPropsFrameFactory();
}

TDlgManager::~TDlgManager() = default;

bool TDlgManager::Execute() {
    auto form = std::make_unique<TDlgManagerForm>();
    return form->Execute(this);
}

void TDlgManager::Subscribe(comm::TAnyTransportCustom* ALink) {
    if (FDesignTime || !ALink || FList.contains(ALink))
        return;
    FList.append(ALink);
    connect(ALink, &QObject::destroyed, this, &TDlgManager::componentDestroyed,
            Qt::UniqueConnection);
}

void TDlgManager::UnSubscribe(comm::TAnyTransportCustom* ALink) {
    if (FDesignTime || !ALink)
        return;
    FList.removeAll(ALink);
    disconnect(ALink, &QObject::destroyed, this, &TDlgManager::componentDestroyed);
}

void TDlgManager::SetMaster(comm::TAnyMasterCustom* Value) {
    if (Value == FMaster)
        return;
    if (FMaster)
        disconnect(FMaster, &QObject::destroyed, this, &TDlgManager::componentDestroyed);
    FMaster = Value;
    if (FMaster)
        connect(FMaster, &QObject::destroyed, this, &TDlgManager::componentDestroyed,
                Qt::UniqueConnection);
}

void TDlgManager::componentDestroyed(QObject* AComponent) {
    // Only the identity is compared: the component's own parts are already gone, so its pointer
    // may not be cast to or from its type (QObject is the only base: the addresses are the same).
    const void* gone = AComponent;
    if (static_cast<const void*>(FMaster) == gone) {
        FMaster = nullptr;
        return;
    }
    FList.removeIf(
        [gone](comm::TAnyTransportCustom* t) { return static_cast<const void*>(t) == gone; });
}

// ---- TDlgManagerForm ----

namespace {
constexpr int kWidth = 466;
constexpr int kListHeight = 33;
constexpr int kButtonsHeight = 41;
} // namespace

TDlgManagerForm::TDlgManagerForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("DlgManagerForm"));
    setWindowTitle(QStringLiteral("Настройка связи"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);

    TransportListP = new QWidget(this);
    TransportListP->setObjectName(QStringLiteral("TransportListP"));
    TransportListP->setGeometry(0, 0, kWidth, kListHeight);
    lbChoiceTransport = new QLabel(QStringLiteral("Выбор транспорта:"), TransportListP);
    lbChoiceTransport->setObjectName(QStringLiteral("lbChoiceTransport"));
    lbChoiceTransport->setGeometry(8, 8, 120, 16);
    TransportListCB = new QComboBox(TransportListP);
    TransportListCB->setObjectName(QStringLiteral("TransportListCB"));
    TransportListCB->setEditable(false);
    TransportListCB->setGeometry(133, 5, 200, 21);

    ButtonsP = new QWidget(this);
    ButtonsP->setObjectName(QStringLiteral("ButtonsP"));
    ButtonsP->setGeometry(0, kListHeight, kWidth, kButtonsHeight);
    const auto button = [this](const QString& text, const char* name, int left) {
        auto* b = new QPushButton(text, ButtonsP);
        b->setObjectName(QString::fromLatin1(name));
        b->setGeometry(left, 8, 83, 25);
        b->setAutoDefault(false);
        return b;
    };
    btnOk = button(QStringLiteral("OK"), "btnOk", 183);
    btnApply = button(QStringLiteral("Применить"), "btnApply", 272);
    btnCancel = button(QStringLiteral("Отмена"), "btnCancel", 360);
    connect(btnOk, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(btnApply, &QPushButton::clicked, this, &TDlgManagerForm::btnApplyClick);
    connect(TransportListCB, &QComboBox::activated, this, &TDlgManagerForm::TransportListCBChange);
    setFixedSize(kWidth, kListHeight + kButtonsHeight);
}

TDlgManagerForm::~TDlgManagerForm() {
    delete FMasterFrame;
    delete FTransportFrame;
}

void TDlgManagerForm::Prepare(TDlgManager* ADlgManager) {
    if (!ADlgManager)
        throw std::invalid_argument("ADlgManager не может быть nil");
    FDlgManager = ADlgManager;
    FillTransportList();
    if (TransportListCB->count() > 0) {
        const int index = CurrentTransportIndex();
        TransportListCB->setCurrentIndex(index);
        ShowTransportFrame(index);
    }
    ArrangeFrames();
}

bool TDlgManagerForm::Execute(TDlgManager* ADlgManager) {
    Prepare(ADlgManager);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    if (exec() != QDialog::Accepted)
        return false;
    Apply();
    return true;
}

void TDlgManagerForm::FillTransportList() {
    TransportListCB->clear();
    for (int i = 0; i < FDlgManager->TransportsCount(); ++i) {
        const comm::TAnyTransportCustom* t = FDlgManager->Transports(i);
        TransportListCB->addItem(t->DisplayName().isEmpty() ? t->objectName() : t->DisplayName());
    }
    if (TransportListCB->count() < 2)
        TransportListP->hide();
    else
        TransportListCB->setCurrentIndex(0);
}

int TDlgManagerForm::CurrentTransportIndex() const {
    const comm::TAnyMasterCustom* master = FDlgManager ? FDlgManager->Master() : nullptr;
    if (!master)
        return 0;
    for (int i = 0; i < FDlgManager->TransportsCount(); ++i)
        if (FDlgManager->Transports(i) == master->Transport())
            return i;
    return 0;
}

void TDlgManagerForm::placeFrame(TBasePropsFrame* frame) {
    if (!frame)
        return;
    frame->setParent(this);
    frame->show();
}

void TDlgManagerForm::ShowTransportFrame(int index) {
    delete FTransportFrame;
    FTransportFrame = nullptr;
    ShowMasterFrame();
    comm::TAnyTransportCustom* t = FDlgManager->Transports(index);
    if (!t)
        return;
    FTransportFrame = t->CreatePropsFrame();
    placeFrame(FTransportFrame);
    if (FTransportFrame)
        FTransportFrame->SetProps(t->Props());
}

void TDlgManagerForm::ShowMasterFrame() {
    comm::TAnyMasterCustom* master = FDlgManager->Master();
    if (!master || !FDlgManager->ShowMasterProps())
        return;
    delete FMasterFrame;
    FMasterFrame = master->CreatePropsFrame();
    placeFrame(FMasterFrame);
    if (FMasterFrame)
        FMasterFrame->SetProps(master->Props());
}

void TDlgManagerForm::TransportListCBChange() {
    ShowTransportFrame(TransportListCB->currentIndex());
    ArrangeFrames();
}

void TDlgManagerForm::ArrangeFrames() {
    int y = TransportListP->isHidden() ? 4 : TransportListP->geometry().bottom() + 1;
    for (TBasePropsFrame* frame : {FTransportFrame, FMasterFrame}) {
        if (!frame)
            continue;
        frame->move(8, y);
        y += frame->height();
    }
    ButtonsP->move(0, y);
    setFixedSize(kWidth, y + kButtonsHeight);
}

void TDlgManagerForm::Apply() {
    comm::TAnyMasterCustom* master = FDlgManager ? FDlgManager->Master() : nullptr;
    if (master) {
        if (TransportListCB->count() > 0)
            master->SetTransport(FDlgManager->Transports(TransportListCB->currentIndex()));
        if (FMasterFrame && FDlgManager->ShowMasterProps())
            master->SetPropsValue(FMasterFrame->Props());
    }
    if (FTransportFrame) {
        if (comm::TAnyTransportCustom* t = FDlgManager->Transports(TransportListCB->currentIndex()))
            t->SetPropsValue(FTransportFrame->Props());
    }
}

void TDlgManagerForm::btnApplyClick() {
    try {
        Apply();
    } catch (const comm::EConvertError& e) {
        comm::messageSink()->information(QString::fromStdString(e.what()));
    } catch (const comm::ServerError& e) {
        comm::messageSink()->information(e.message());
    }
}
