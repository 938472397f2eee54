// SPDX-License-Identifier: MIT
#pragma once

#include "comm/basecomponents.h"
#include "ui_dlgmanagerform.h"

#include <QDialog>
#include <QList>

#include <memory>

class TBasePropsFrame;

namespace commwidgets {

// The settings frames of this library (TRSPropsFrame, TModbusPropsFrame) for the components.
std::shared_ptr<comm::IPropsFrameFactory> widgetPropsFrameFactory();

} // namespace commwidgets

// Lists the transports a master may use and opens the connection dialog for them. The components
// it lists create their settings frames through this library.
class TDlgManager : public comm::TDlgManagerBase {
    Q_OBJECT
public:
    explicit TDlgManager(QObject* AOwner = nullptr, bool ADesignTime = false);
    ~TDlgManager() override;

    // Runs the dialog modally; true when it was closed with OK (after applying).
    bool Execute();

    void Subscribe(comm::TAnyTransportCustom* ALink) override;
    void UnSubscribe(comm::TAnyTransportCustom* ALink) override;

    comm::TAnyMasterCustom* Master() const { return FMaster; }
    void SetMaster(comm::TAnyMasterCustom* Value);
    bool ShowMasterProps() const { return FShowMasterProps; }
    void SetShowMasterProps(bool Value) { FShowMasterProps = Value; }
    comm::TAnyTransportCustom* Transports(int index) const { return FList.value(index); }
    comm::TAnyTransportCustom* GetTransport(int index) const { return Transports(index); }
    int TransportsCount() const { return int(FList.size()); }
    void GetTransportList(QList<comm::TAnyTransportCustom*>& AList) const { AList = FList; }

    // Where the dialog shows a failed Apply; the Qt log unless set. The sink must outlive the
    // manager or be replaced first.
    platform::IMessageSink& MessageSink() const { return *FMessageSink; }
    void SetMessageSink(platform::IMessageSink* ASink) {
        FMessageSink = ASink ? ASink : &comm::logMessageSink();
    }

private:
    void componentDestroyed(QObject* AComponent);

    std::shared_ptr<comm::IPropsFrameFactory> FFrames = commwidgets::widgetPropsFrameFactory();
    platform::IMessageSink* FMessageSink = &comm::logMessageSink();

    comm::TAnyMasterCustom* FMaster = nullptr;
    QList<comm::TAnyTransportCustom*> FList;
    bool FDesignTime = false;
    bool FShowMasterProps = false;
};

// The connection dialog: transport selector, the selected transport's frame, the master's frame
// on request, and OK / Применить / Отмена. The selector and the buttons (TransportListP,
// TransportListCB, ButtonsP, btnOk, ...) come from dlgmanagerform.ui.
class TDlgManagerForm : public QDialog, public Ui::DlgManagerForm {
    Q_OBJECT
public:
    explicit TDlgManagerForm(QWidget* parent = nullptr);
    ~TDlgManagerForm() override;

    // Fills and arranges the dialog, runs it modally and applies on OK. Throws
    // std::invalid_argument without a manager, and lets a conversion error of the apply after OK
    // through (comm::EConvertError).
    bool Execute(TDlgManager* ADlgManager);
    // The part of Execute before the dialog runs: selector, frames, arrangement.
    void Prepare(TDlgManager* ADlgManager);
    // Apply; a conversion error stops it and is shown through the components' message sink.
    void btnApplyClick();
    // Apply; a conversion error reaches the caller.
    void Apply();

    void FillTransportList();
    int CurrentTransportIndex() const;
    void ShowTransportFrame(int index);
    void ShowMasterFrame();
    void ArrangeFrames();
    void TransportListCBChange();

    TBasePropsFrame* MasterFrame() const { return FMasterFrame.get(); }
    TBasePropsFrame* TransportFrame() const { return FTransportFrame.get(); }

private:
    platform::IMessageSink& messageSink() const;
    // Shows a frame the component created (the form owns it) with the component's props.
    void placeFrame(TBasePropsFrame* frame, const QVariant& props);

    TDlgManager* FDlgManager = nullptr;
    std::unique_ptr<TBasePropsFrame> FMasterFrame;
    std::unique_ptr<TBasePropsFrame> FTransportFrame;
};
