// SPDX-License-Identifier: MIT
#pragma once

#include "comm/commtypes.h"
#include "comm/propsframefactory.h"
#include "comm/serverobjects.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QRecursiveMutex>
#include <QVariant>

#include <functional>
#include <memory>
#include <vector>

namespace comm {

class TAnyMasterCustom;
class TAnyTransportCustom;

// The connection-settings manager a transport is listed by (the dialog library implements it).
class TDlgManagerBase : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual void Subscribe(TAnyTransportCustom* ATransport) = 0;
    virtual void UnSubscribe(TAnyTransportCustom* ATransport) = 0;
};

// Base of the transport components: one channel of the exchange server.
class TAnyTransportCustom : public QObject {
    Q_OBJECT
public:
    // ADesignTime: the component is being designed (no subscriptions, no server traffic).
    explicit TAnyTransportCustom(QObject* AOwner = nullptr, bool ADesignTime = false);
    ~TAnyTransportCustom() override;

    void Subscribe(TAnyMasterCustom* ALink);
    void UnSubscribe(TAnyMasterCustom* ALink);

    virtual void ServerStateChanged(QObject* ASender, qint32 AOldState, qint32 ANewState,
                                    qint32 AID);
    virtual void TransportIDChanged(QObject* ASender, qint32 AID);
    virtual void SendProps() = 0;
    virtual QVariant GetProps() = 0;
    virtual void SetProps(const QVariant& Value) = 0;
    virtual void SetLiveChannel(bool Value);
    virtual QString GetStateMsg(qint32 AState);
    [[nodiscard]] virtual bool Connect();
    virtual TBasePropsFrame* CreatePropsFrame() = 0;

    void Disconnect();
    void BeginUpdate();
    void EndUpdate();
    void CancelLastAction() {}

    bool LiveChannel() const { return FLiveChannel; }
    bool UseDCOM() const { return FUseDCOM; }
    void SetUseDCOM(bool Value);
    QString RemoteMachineName() const { return FRemoteMachineName; }
    void SetRemoteMachineName(const QString& Value);
    TDlgManagerBase* DlgManager() const { return FDlgManager; }
    void SetDlgManager(TDlgManagerBase* Value);
    QString DisplayName() const { return FDisplayName; }
    void SetDisplayName(const QString& Value) { FDisplayName = Value; }
    bool KeepAliveOnDisconnect() const { return FKeepAliveOnDisconnect; }
    void SetKeepAliveOnDisconnect(bool Value) { FKeepAliveOnDisconnect = Value; }
    TTransportType TransportType() const { return FTransportType; }
    QVariant Props() { return GetProps(); }
    void SetPropsValue(const QVariant& Value) { SetProps(Value); }

    // Where this transport and its masters get their server objects: the exchange server unless
    // set (tests give a fake). The factory must outlive the components that use it.
    IServerObjectFactory& ServerObjectFactory() const { return *FServerObjectFactory; }
    void SetServerObjectFactory(IServerObjectFactory& AFactory) {
        FServerObjectFactory = &AFactory;
    }
    // Where messages of this transport go (a wrong port name); the Qt log unless set. The sink
    // must outlive the transport or be replaced first.
    platform::IMessageSink& MessageSink() const { return *FMessageSink; }
    void SetMessageSink(platform::IMessageSink* ASink) {
        FMessageSink = ASink ? ASink : &logMessageSink();
    }
    void SetPropsFrameFactory(std::shared_ptr<IPropsFrameFactory> AFactory) {
        FPropsFrameFactory = std::move(AFactory);
    }

    TCustomOnStateChanged OnStateChanged;
    TCustomOnChangeConnected OnChangeConnected;

    // Inspection.
    qint32 TransportID() const { return FTransportID; }
    TConnectKind ConnectKind() const { return FConnectKind; }
    bool DesignTime() const { return FDesignTime; }
    bool Updating() const { return FUpdating; }
    const QList<TAnyMasterCustom*>& Masters() const { return FList; }
    TAnyTransport* ServerObject() const { return FAT.get(); }

protected:
    bool FLiveChannel = false;
    QString FRemoteMachineName;
    TConnectKind FConnectKind = TConnectKind::ckLocal;
    TDlgManagerBase* FDlgManager = nullptr;
    QString FDisplayName;
    bool FUseDCOM = false;
    bool FKeepAliveOnDisconnect = false;
    bool FDesignTime = false;
    QList<TAnyMasterCustom*> FList;
    std::unique_ptr<TAnyTransport> FAT;
    qint32 FTransportID = -1;
    bool FUpdating = false;
    TTransportType FTransportType = ttRS232;

    // A new settings frame of the kind from the factory given; nullptr without one.
    TBasePropsFrame* newPropsFrame(PropsFrameKind kind) const {
        return FPropsFrameFactory ? FPropsFrameFactory->CreatePropsFrame(kind) : nullptr;
    }

private:
    IServerObjectFactory* FServerObjectFactory = &exchangeServerFactory();
    platform::IMessageSink* FMessageSink = &logMessageSink();
    std::shared_ptr<IPropsFrameFactory> FPropsFrameFactory;

    void componentDestroyed(QObject* AComponent);
    void applyTransportID(qint32 AID);
};

// Base of the master components: one protocol engine of the exchange server.
class TAnyMasterCustom : public QObject {
    Q_OBJECT
public:
    explicit TAnyMasterCustom(QObject* AOwner = nullptr, bool ADesignTime = false);
    ~TAnyMasterCustom() override;

    virtual TQueryType GetQueryType() = 0;
    virtual void SetQueryType(TQueryType Value) = 0;
    virtual QVariant GetProps() = 0;
    virtual void SetProps(const QVariant& Value) = 0;
    virtual void SendProps() = 0;
    virtual void ServerExchange(QObject* ASender, const QVariant& AExchValue) = 0;
    virtual void Connect();
    virtual void Disconnect();
    virtual TBasePropsFrame* CreatePropsFrame() = 0;

    TAnyTransportCustom* Transport() const { return FTransport; }
    void SetTransport(TAnyTransportCustom* Value);
    void ChangeTransportID(qint32 AID);
    void BeginUpdate();
    void EndUpdate();

    [[nodiscard]] qint32 RequestQID(const IMasterCallBackPtr& AFace);
    void ReleaseQID(const IMasterCallBackPtr& AFace);
    void ReleaseQID(qint32 AQID);
    void NotifyCallBack(QObject* Sender, qint32 QID, qint32 MBAddr, qint32 FunNumber,
                        const QVariant& Value, qint32 Result);

    void FreeTask(qint32 QID);
    void FreeAllTasks();

    // Processed flags, one per QID slot. Nothing in the library adds slots; AddQIDSlots lets a
    // caller that wants to wait for its answers make them.
    void AddQIDSlots(qint32 ACount);
    void SetQID(qint32 AQID);
    void ResetQID(qint32 AQID);
    // Handles pending events until flag AQID is set; false at once for a QID outside the list
    // and false when ATimeout (milliseconds; negative = no limit) passes first.
    [[nodiscard]] bool WaitForQID(qint32 AQID, qint32 ATimeout);
    [[nodiscard]] bool WaitForAnyQID(qint32& AQID, qint32 ATimeout);

    void Lock() { FLock.lock(); }
    void Unlock() { FLock.unlock(); }

    qint32 LastErr() const { return FLastErr; }
    void SetLastErr(qint32 Value) { FLastErr = Value; }
    TIntType IntType() const { return FIntType; }
    TQueryType QueryType() { return GetQueryType(); }
    QVariant Props() { return GetProps(); }
    void SetPropsValue(const QVariant& Value) { SetProps(Value); }
    void SetPropsFrameFactory(std::shared_ptr<IPropsFrameFactory> AFactory) {
        FPropsFrameFactory = std::move(AFactory);
    }

    // Inspection.
    qint32 TransportID() const { return FTransportID; }
    TConnectKind ConnectKind() const { return FConnectKind; }
    QString RemoteMachineName() const { return FRemoteMachineName; }
    bool DesignTime() const { return FDesignTime; }
    bool Updating() const { return FUpdating; }
    TAnyMaster* ServerObject() const { return FAM.get(); }
    qint32 NilCount() const;
    qint32 CallBackCount() const;

protected:
    friend class TAnyTransportCustom;

    qint32 FLastErr = 0;
    std::unique_ptr<TAnyMaster> FAM;
    bool FDesignTime = false;
    TAnyTransportCustom* FTransport = nullptr;
    std::vector<IMasterCallBackPtr> FListQID; // guarded by FListLock
    QList<quint8> FProcessedQIDList;
    qint32 FNilCnt = 0;
    TQueryType FQueryType = qtNormal;
    QString FRemoteMachineName;
    TConnectKind FConnectKind = TConnectKind::ckLocal;
    TIntType FIntType = itMB;
    bool FUpdating = false;
    qint32 FTransportID = -1;
    QRecursiveMutex FLock;

    // As TAnyTransportCustom::newPropsFrame.
    TBasePropsFrame* newPropsFrame(PropsFrameKind kind) const {
        return FPropsFrameFactory ? FPropsFrameFactory->CreatePropsFrame(kind) : nullptr;
    }

private:
    void transportDestroyed(QObject* ATransport);
    std::shared_ptr<IPropsFrameFactory> FPropsFrameFactory;
    mutable QMutex FListLock;
    QMetaObject::Connection FTransportWatch;
};

} // namespace comm
