// SPDX-License-Identifier: MIT
#include "comm/widgets/dlgmanager.h"

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

namespace {

class WidgetPropsFrames : public comm::IPropsFrameFactory {
public:
    TBasePropsFrame* CreatePropsFrame(comm::PropsFrameKind kind) override {
        switch (kind) {
        case comm::PropsFrameKind::RS232:
            return new TRSPropsFrame();
        case comm::PropsFrameKind::Modbus:
            return new TModbusPropsFrame();
        }
        return nullptr;
    }
};

} // namespace

namespace commwidgets {

std::shared_ptr<comm::IPropsFrameFactory> widgetPropsFrameFactory() {
    return std::make_shared<WidgetPropsFrames>();
}

} // namespace commwidgets

// ---- TDlgManager ----

TDlgManager::TDlgManager(QObject* AOwner, bool ADesignTime)
    : comm::TDlgManagerBase(AOwner), FDesignTime(ADesignTime) {}

TDlgManager::~TDlgManager() = default;

bool TDlgManager::Execute() {
    auto form = std::make_unique<TDlgManagerForm>();
    return form->Execute(this);
}

void TDlgManager::Subscribe(comm::TAnyTransportCustom* ALink) {
    if (FDesignTime || !ALink || FList.contains(ALink))
        return;
    FList.append(ALink);
    ALink->SetPropsFrameFactory(FFrames);
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
    if (!FMaster)
        return;
    FMaster->SetPropsFrameFactory(FFrames);
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
    setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    connect(btnApply, &QPushButton::clicked, this, &TDlgManagerForm::btnApplyClick);
    connect(TransportListCB, &QComboBox::activated, this, &TDlgManagerForm::TransportListCBChange);
    setFixedSize(kWidth, kListHeight + kButtonsHeight);
}

TDlgManagerForm::~TDlgManagerForm() = default;

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

void TDlgManagerForm::placeFrame(TBasePropsFrame* frame, const QVariant& props) {
    if (!frame)
        return;
    frame->setParent(this);
    frame->show();
    frame->SetProps(props);
}

void TDlgManagerForm::ShowTransportFrame(int index) {
    FTransportFrame.reset();
    ShowMasterFrame();
    comm::TAnyTransportCustom* t = FDlgManager->Transports(index);
    if (!t)
        return;
    FTransportFrame.reset(t->CreatePropsFrame());
    placeFrame(FTransportFrame.get(), t->Props());
}

void TDlgManagerForm::ShowMasterFrame() {
    comm::TAnyMasterCustom* master = FDlgManager->Master();
    if (!master || !FDlgManager->ShowMasterProps())
        return;
    FMasterFrame.reset(master->CreatePropsFrame());
    placeFrame(FMasterFrame.get(), master->Props());
}

void TDlgManagerForm::TransportListCBChange() {
    ShowTransportFrame(TransportListCB->currentIndex());
    ArrangeFrames();
}

void TDlgManagerForm::ArrangeFrames() {
    int y = TransportListP->isHidden() ? 4 : TransportListP->geometry().bottom() + 1;
    for (TBasePropsFrame* frame : {TransportFrame(), MasterFrame()}) {
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
        messageSink().information(QString::fromStdString(e.what()));
    } catch (const comm::ServerError& e) {
        messageSink().error(e.message());
    }
}

platform::IMessageSink& TDlgManagerForm::messageSink() const {
    return FDlgManager ? FDlgManager->MessageSink() : comm::logMessageSink();
}
