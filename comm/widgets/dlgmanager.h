#pragma once

#include "comm/basecomponents.h"

#include <QDialog>
#include <QList>
#include <QPointer>

class QComboBox;
class QLabel;
class QPushButton;
class QWidget;
class TBasePropsFrame;

// Installs the frame factory through which the components create their settings frames. The
// dialog manager does it on creation; idempotent.
void installPropsFrameFactory();

// Lists the transports a master may use and opens the connection dialog for them.
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

private:
    void componentDestroyed(QObject* AComponent);

    comm::TAnyMasterCustom* FMaster = nullptr;
    QList<comm::TAnyTransportCustom*> FList;
    bool FDesignTime = false;
    bool FShowMasterProps = false;
};

// The connection dialog: transport selector, the selected transport's frame, the master's frame
// on request, and OK / Применить / Отмена.
class TDlgManagerForm : public QDialog {
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

    TBasePropsFrame* MasterFrame() const { return FMasterFrame; }
    TBasePropsFrame* TransportFrame() const { return FTransportFrame; }

    QWidget* TransportListP = nullptr;
    QLabel* lbChoiceTransport = nullptr;
    QComboBox* TransportListCB = nullptr;
    QWidget* ButtonsP = nullptr;
    QPushButton* btnOk = nullptr;
    QPushButton* btnApply = nullptr;
    QPushButton* btnCancel = nullptr;

private:
    void placeFrame(TBasePropsFrame* frame);

    TDlgManager* FDlgManager = nullptr;
    TBasePropsFrame* FMasterFrame = nullptr;
    TBasePropsFrame* FTransportFrame = nullptr;
};
