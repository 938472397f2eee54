#pragma once

#include "comm/commtypes.h"

#include <QObject>
#include <QVariant>

#include <functional>
#include <memory>

// The server objects (a transport = one channel, a master = one protocol engine) and the two
// client wrappers that hold one server object each and forward its event.
namespace comm {

// Optional interface of a server object: the client announces its process.
class IClientProcess {
public:
    virtual ~IClientProcess() = default;
    virtual void AttachClient(qint32 AProcessID) = 0;
    virtual void DetachClient(qint32 AProcessID) = 0;
};

class ITransportEvents {
public:
    virtual ~ITransportEvents() = default;
    virtual void StateChangedEvent(qint32 AOldState, qint32 ANewState, qint32 AID) = 0;
};

class IMasterEvents {
public:
    virtual ~IMasterEvents() = default;
    virtual void ExchangeEvent(const QVariant& AExchValue) = 0;
};

// A transport object of the server. Every call throws ServerError when it fails.
class IAnyTransport {
public:
    virtual ~IAnyTransport() = default;
    virtual void SetProps(const QVariant& AProps) = 0;
    virtual void SetConnected(bool AValue) = 0;
    virtual bool GetConnected() = 0;
    virtual void GetID(qint32& AID) = 0;
    virtual void AddTask(const QVariant& ATask) = 0;
    // Subscribes the receiver to the object's events (nullptr unsubscribes).
    virtual void Advise(ITransportEvents* AEvents) = 0;
    virtual IClientProcess* ClientProcess() { return nullptr; }
};

// A master object of the server. Every call throws ServerError when it fails.
class IAnyMaster {
public:
    virtual ~IAnyMaster() = default;
    virtual void AddTask(const QVariant& ATaskProps) = 0;
    virtual void AddInplaceTask(const QVariant& ATaskProps, QVariant& ARetValue,
                                qint32 ATimeout) = 0;
    virtual void SetProps(const QVariant& AProps) = 0;
    virtual void SetTransportID(qint32 AID) = 0;
    virtual void FreeTask(qint32 AQID) = 0;
    virtual void FreeAllTasks() = 0;
    virtual void Advise(IMasterEvents* AEvents) = 0;
    virtual IClientProcess* ClientProcess() { return nullptr; }
};

using IAnyTransportPtr = std::shared_ptr<IAnyTransport>;
using IAnyMasterPtr = std::shared_ptr<IAnyMaster>;

// Makes server objects. The default one talks to the exchange server process; unit tests
// install their own.
class IServerObjectFactory {
public:
    virtual ~IServerObjectFactory() = default;
    virtual IAnyTransportPtr CreateTransport(TConnectKind AKind, const QString& AMachine) = 0;
    virtual IAnyMasterPtr CreateMaster(TConnectKind AKind, const QString& AMachine) = 0;
};

// Installs the factory for this process (nullptr restores the exchange-server one); returns the
// previous one.
IServerObjectFactory* setServerObjectFactory(IServerObjectFactory* factory);
IServerObjectFactory* serverObjectFactory();

// Text of the error of an operation on a wrapper that holds no server object.
QString defaultInterfaceNullText();

// The server object a client wrapper holds: subscribed to the wrapper's events while held,
// obtained on demand by DefaultInterface, released by Disconnect.
template <typename Intf, typename Events> class TServerObjectSlot {
public:
    using Ptr = std::shared_ptr<Intf>;

    void ConnectTo(Ptr intf, Events* events) {
        Disconnect();
        m_intf = std::move(intf);
        if (m_intf)
            m_intf->Advise(events);
    }
    void Disconnect() {
        if (!m_intf)
            return;
        Ptr intf = std::move(m_intf);
        m_intf.reset();
        intf->Advise(nullptr);
    }
    // The object; `connect` is tried first without one. Throws the "DefaultInterface is NULL"
    // error when there is still none.
    template <typename Connect> Intf* DefaultInterface(Connect connect) {
        if (!m_intf) {
            try {
                connect();
            } catch (const ServerError&) {
            }
        }
        if (!m_intf)
            throw ServerError(defaultInterfaceNullText());
        return m_intf.get();
    }
    bool held() const { return bool(m_intf); }
    IClientProcess* ClientProcess() const { return m_intf ? m_intf->ClientProcess() : nullptr; }

private:
    Ptr m_intf;
};

// Client wrapper of a server transport object.
class TAnyTransport : public QObject, private ITransportEvents {
    Q_OBJECT
public:
    explicit TAnyTransport(QObject* AOwner = nullptr);
    ~TAnyTransport() override;

    TConnectKind ConnectKind = TConnectKind::ckLocal;
    QString RemoteMachineName;
    // (ASender = this wrapper, AOldState, ANewState, AID)
    std::function<void(QObject*, qint32, qint32, qint32)> OnStateChanged;

    // Obtains a server object (throws ServerError when none can be had) and subscribes to it.
    void Connect();
    void ConnectTo(IAnyTransportPtr svrIntf);
    void Disconnect();
    // The server object; connects first. Throws the "DefaultInterface is NULL" error without one.
    IAnyTransport* DefaultInterface();
    bool HasServerObject() const { return m_slot.held(); }
    IClientProcess* ClientProcess() { return m_slot.ClientProcess(); }

    void SetProps(const QVariant& AProps) { DefaultInterface()->SetProps(AProps); }
    void SetConnected(bool AValue) { DefaultInterface()->SetConnected(AValue); }
    bool GetConnected() { return DefaultInterface()->GetConnected(); }
    void GetID(qint32& AID) { DefaultInterface()->GetID(AID); }
    void AddTask(const QVariant& ATask) { DefaultInterface()->AddTask(ATask); }

private:
    void StateChangedEvent(qint32 AOldState, qint32 ANewState, qint32 AID) override;
    TServerObjectSlot<IAnyTransport, ITransportEvents> m_slot;
};

// Client wrapper of a server master object.
class TAnyMaster : public QObject, private IMasterEvents {
    Q_OBJECT
public:
    explicit TAnyMaster(QObject* AOwner = nullptr);
    ~TAnyMaster() override;

    TConnectKind ConnectKind = TConnectKind::ckLocal;
    QString RemoteMachineName;
    // (ASender = this wrapper, AExchValue)
    std::function<void(QObject*, const QVariant&)> OnExchange;

    void Connect();
    void ConnectTo(IAnyMasterPtr svrIntf);
    void Disconnect();
    IAnyMaster* DefaultInterface();
    bool HasServerObject() const { return m_slot.held(); }
    IClientProcess* ClientProcess() { return m_slot.ClientProcess(); }

    void AddTask(const QVariant& ATaskProps) { DefaultInterface()->AddTask(ATaskProps); }
    void AddInplaceTask(const QVariant& ATaskProps, QVariant& ARetValue, qint32 ATimeout) {
        DefaultInterface()->AddInplaceTask(ATaskProps, ARetValue, ATimeout);
    }
    void SetProps(const QVariant& AProps) { DefaultInterface()->SetProps(AProps); }
    void SetTransportID(qint32 AID) { DefaultInterface()->SetTransportID(AID); }
    void FreeTask(qint32 AQID) { DefaultInterface()->FreeTask(AQID); }
    void FreeAllTasks() { DefaultInterface()->FreeAllTasks(); }

private:
    void ExchangeEvent(const QVariant& AExchValue) override;
    TServerObjectSlot<IAnyMaster, IMasterEvents> m_slot;
};

} // namespace comm
