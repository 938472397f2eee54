// SPDX-License-Identifier: MIT
#include "comm/basecomponents.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <exception>

namespace comm {

namespace {

// Makes the server-object wrapper of a component into `wrapper`, lets `subscribe` connect its
// event, obtains the server object and announces this process to it. When the server cannot be
// reached or refuses, the wrapper is released again and the result is false.
template <typename Wrapper, typename Subscribe>
bool connectWrapper(std::unique_ptr<Wrapper>& wrapper, IServerObjectFactory& factory,
                    TConnectKind kind, const QString& machine, Subscribe subscribe) {
    wrapper = std::make_unique<Wrapper>(factory);
    wrapper->ConnectKind = kind;
    wrapper->RemoteMachineName = kind == TConnectKind::ckRemote ? machine : QString();
    subscribe(*wrapper);
    try {
        wrapper->Connect();
        if (IClientProcess* cp = wrapper->ClientProcess())
            cp->AttachClient(currentProcessId());
    } catch (const std::exception&) {
        wrapper.reset();
        return false;
    }
    return true;
}

// Releases the wrapper (also when the server refuses the detach) after telling the server this
// process has gone.
template <typename Wrapper> void disconnectWrapper(std::unique_ptr<Wrapper>& wrapper) {
    const std::unique_ptr<Wrapper> gone = std::move(wrapper);
    if (gone)
        if (IClientProcess* cp = gone->ClientProcess())
            cp->DetachClient(currentProcessId());
}

} // namespace

// ---- TAnyTransportCustom ----

TAnyTransportCustom::TAnyTransportCustom(QObject* AOwner, bool ADesignTime)
    : QObject(AOwner), FDesignTime(ADesignTime) {}

TAnyTransportCustom::~TAnyTransportCustom() {
    // The masters drop this transport through the destroyed() notification that follows.
    FList.clear();
    try {
        Disconnect();
    } catch (const std::exception&) {
        // The server may be gone; nothing else to release.
    }
}

void TAnyTransportCustom::Subscribe(TAnyMasterCustom* ALink) {
    if (FDesignTime || !ALink)
        return;
    FList.append(ALink);
    connect(ALink, &QObject::destroyed, this, &TAnyTransportCustom::componentDestroyed,
            Qt::UniqueConnection);
    ALink->FRemoteMachineName = FRemoteMachineName;
    ALink->FConnectKind = FConnectKind;
    ALink->ChangeTransportID(FTransportID);
}

void TAnyTransportCustom::UnSubscribe(TAnyMasterCustom* ALink) {
    if (!ALink)
        return;
    FList.removeAll(ALink);
    ALink->ChangeTransportID(FTransportID);
}

void TAnyTransportCustom::componentDestroyed(QObject* AComponent) {
    if (AComponent == FDlgManager) {
        FDlgManager = nullptr;
        return;
    }
    // Only the identity is used: the master's own parts are already gone, so the pointer may
    // not be cast to the master type (QObject is its only base: the addresses are the same).
    const void* gone = AComponent;
    FList.removeIf([gone](TAnyMasterCustom* m) { return static_cast<const void*>(m) == gone; });
}

void TAnyTransportCustom::applyTransportID(qint32 AID) {
    FTransportID = AID;
    const QList<TAnyMasterCustom*> masters = FList;
    for (TAnyMasterCustom* m : masters) {
        m->Lock();
        try {
            m->ChangeTransportID(AID);
        } catch (...) {
            m->Unlock();
            throw;
        }
        m->Unlock();
    }
    FLiveChannel = AID != -1;
    if (!FLiveChannel && !FKeepAliveOnDisconnect)
        Disconnect();
    const auto handler = OnChangeConnected;
    if (handler)
        handler(this, FLiveChannel);
}

void TAnyTransportCustom::ServerStateChanged(QObject* /*ASender*/, qint32 AOldState,
                                             qint32 ANewState, qint32 AID) {
    if (ANewState == tsClosed || ANewState == tsOpen)
        applyTransportID(AID);
    const auto handler = OnStateChanged;
    if (handler)
        handler(this, AOldState, ANewState, GetStateMsg(ANewState));
}

void TAnyTransportCustom::TransportIDChanged(QObject* /*ASender*/, qint32 AID) {
    applyTransportID(AID);
}

void TAnyTransportCustom::SetLiveChannel(bool Value) {
    if (Value == FLiveChannel || FDesignTime)
        return;
    if (!Connect()) {
        FLiveChannel = false;
        return;
    }
    if (Value)
        SendProps();
    FAT->SetConnected(Value);
}

QString TAnyTransportCustom::GetStateMsg(qint32 /*AState*/) {
    return QString();
}

bool TAnyTransportCustom::Connect() {
    return FAT || connectWrapper(FAT, *FServerObjectFactory, FConnectKind, FRemoteMachineName,
                                 [this](TAnyTransport& at) {
                                     at.OnStateChanged = [this](QObject* ASender, qint32 AOld,
                                                                qint32 ANew, qint32 AID) {
                                         ServerStateChanged(ASender, AOld, ANew, AID);
                                     };
                                 });
}

void TAnyTransportCustom::Disconnect() {
    disconnectWrapper(FAT);
}

void TAnyTransportCustom::BeginUpdate() {
    FUpdating = true;
}

void TAnyTransportCustom::EndUpdate() {
    if (!FUpdating)
        return;
    FUpdating = false;
    SendProps();
}

void TAnyTransportCustom::SetUseDCOM(bool Value) {
    if (Value == FUseDCOM)
        return;
    FUseDCOM = Value;
    FConnectKind = Value ? TConnectKind::ckRemote : TConnectKind::ckLocal;
    for (TAnyMasterCustom* m : std::as_const(FList))
        m->FConnectKind = FConnectKind;
}

void TAnyTransportCustom::SetRemoteMachineName(const QString& Value) {
    if (Value == FRemoteMachineName)
        return;
    FRemoteMachineName = Value;
    for (TAnyMasterCustom* m : std::as_const(FList))
        m->FRemoteMachineName = Value;
}

void TAnyTransportCustom::SetDlgManager(TDlgManagerBase* Value) {
    if (Value == FDlgManager)
        return;
    if (FDlgManager) {
        disconnect(FDlgManager, &QObject::destroyed, this,
                   &TAnyTransportCustom::componentDestroyed);
        FDlgManager->UnSubscribe(this);
    }
    FDlgManager = Value;
    if (FDlgManager) {
        connect(FDlgManager, &QObject::destroyed, this, &TAnyTransportCustom::componentDestroyed,
                Qt::UniqueConnection);
        FDlgManager->Subscribe(this);
    }
}

// ---- TAnyMasterCustom ----

TAnyMasterCustom::TAnyMasterCustom(QObject* AOwner, bool ADesignTime)
    : QObject(AOwner), FDesignTime(ADesignTime) {}

TAnyMasterCustom::~TAnyMasterCustom() {
    try {
        Disconnect();
    } catch (const std::exception&) {
    }
}

void TAnyMasterCustom::SetTransport(TAnyTransportCustom* Value) {
    if (Value == FTransport)
        return;
    if (FTransport) {
        disconnect(FTransportWatch);
        FTransport->UnSubscribe(this);
    }
    FTransport = Value;
    if (FTransport) {
        FTransportWatch =
            connect(FTransport, &QObject::destroyed, this, &TAnyMasterCustom::transportDestroyed);
        FTransport->Subscribe(this);
    }
}

void TAnyMasterCustom::transportDestroyed(QObject* ATransport) {
    if (ATransport != FTransport)
        return;
    FTransport = nullptr;
    try {
        ChangeTransportID(-1);
    } catch (const std::exception&) {
        // Runs from a destructor: a server failure cannot go anywhere.
    }
}

void TAnyMasterCustom::ChangeTransportID(qint32 AID) {
    if (AID == FTransportID)
        return;
    FTransportID = AID;
    if (AID != -1)
        Connect();
    if (FAM)
        FAM->SetTransportID(AID);
    if (AID == -1)
        Disconnect();
}

void TAnyMasterCustom::Connect() {
    if (FAM)
        return;
    // The server of the transport, where the channel is.
    connectWrapper(FAM, FTransport ? FTransport->ServerObjectFactory() : exchangeServerFactory(),
                   FConnectKind, FRemoteMachineName, [this](TAnyMaster& am) {
                       am.OnExchange = [this](QObject* ASender, const QVariant& AExchValue) {
                           ServerExchange(ASender, AExchValue);
                       };
                   });
    SendProps();
}

void TAnyMasterCustom::Disconnect() {
    disconnectWrapper(FAM);
}

void TAnyMasterCustom::BeginUpdate() {
    FUpdating = true;
}

void TAnyMasterCustom::EndUpdate() {
    FUpdating = false;
    SendProps();
}

qint32 TAnyMasterCustom::RequestQID(const IMasterCallBackPtr& AFace) {
    QMutexLocker lock(&FListLock);
    if (FListQID.empty() || FNilCnt == 0) {
        FListQID.push_back(AFace);
        return qint32(FListQID.size() - 1);
    }
    for (size_t i = 0; i < FListQID.size(); ++i) {
        if (!FListQID[i]) {
            FListQID[i] = AFace;
            --FNilCnt;
            return qint32(i);
        }
    }
    return -1;
}

void TAnyMasterCustom::ReleaseQID(const IMasterCallBackPtr& AFace) {
    QMutexLocker lock(&FListLock);
    if (FListQID.empty())
        return;
    for (size_t i = FListQID.size(); i-- > 0;) {
        if (FListQID[i] && FListQID[i] == AFace) {
            FListQID[i].reset();
            ++FNilCnt;
        }
    }
    while (!FListQID.empty() && !FListQID.back()) {
        FListQID.pop_back();
        --FNilCnt;
    }
}

void TAnyMasterCustom::ReleaseQID(qint32 AQID) {
    QMutexLocker lock(&FListLock);
    if (AQID >= 0 && size_t(AQID) < FListQID.size()) {
        FListQID[AQID].reset();
        ++FNilCnt;
    }
}

void TAnyMasterCustom::NotifyCallBack(QObject* Sender, qint32 QID, qint32 MBAddr, qint32 FunNumber,
                                      const QVariant& Value, qint32 Result) {
    IMasterCallBackPtr face;
    {
        QMutexLocker lock(&FListLock);
        if (QID < 0 || size_t(QID) >= FListQID.size())
            return;
        face = FListQID[QID];
    }
    if (!face)
        return;
    try {
        face->ExchangeResult(Sender, QID, MBAddr, FunNumber, Value, Result);
    } catch (...) {
        // A failing call-back must not stop the delivery of other answers.
    }
}

qint32 TAnyMasterCustom::NilCount() const {
    QMutexLocker lock(&FListLock);
    return FNilCnt;
}

qint32 TAnyMasterCustom::CallBackCount() const {
    QMutexLocker lock(&FListLock);
    return qint32(FListQID.size());
}

void TAnyMasterCustom::FreeTask(qint32 QID) {
    if (FAM)
        FAM->FreeTask(QID);
}

void TAnyMasterCustom::FreeAllTasks() {
    if (FAM)
        FAM->FreeAllTasks();
}

void TAnyMasterCustom::AddQIDSlots(qint32 ACount) {
    for (qint32 i = 0; i < ACount; ++i)
        FProcessedQIDList.append(0);
}

void TAnyMasterCustom::SetQID(qint32 AQID) {
    if (AQID >= 0 && AQID < FProcessedQIDList.size())
        FProcessedQIDList[AQID] = 1;
}

void TAnyMasterCustom::ResetQID(qint32 AQID) {
    if (AQID >= 0 && AQID < FProcessedQIDList.size())
        FProcessedQIDList[AQID] = 0;
}

bool TAnyMasterCustom::WaitForQID(qint32 AQID, qint32 ATimeout) {
    if (AQID < 0 || AQID >= FProcessedQIDList.size())
        return false;
    QDeadlineTimer deadline(ATimeout < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(ATimeout));
    // A ticking timer wakes the wait so that the deadline is looked at.
    QTimer tick;
    tick.start(10);
    while (AQID < FProcessedQIDList.size() && FProcessedQIDList[AQID] != 1) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return AQID < FProcessedQIDList.size();
}

bool TAnyMasterCustom::WaitForAnyQID(qint32& /*AQID*/, qint32 /*ATimeout*/) {
    return false;
}

} // namespace comm
