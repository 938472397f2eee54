// SPDX-License-Identifier: MIT
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
    [[nodiscard]] virtual bool GetConnected() = 0;
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

// Makes server objects. The wrappers get one when they are made; unit tests give theirs.
class IServerObjectFactory {
public:
    virtual ~IServerObjectFactory() = default;
    [[nodiscard]] virtual IAnyTransportPtr CreateTransport(TConnectKind AKind,
                                                           const QString& AMachine) = 0;
    [[nodiscard]] virtual IAnyMasterPtr CreateMaster(TConnectKind AKind,
                                                     const QString& AMachine) = 0;
};

// The factory whose objects live in the exchange server process (started when none runs).
IServerObjectFactory& exchangeServerFactory();

// Text of the error of an operation on a wrapper that holds no server object.
[[nodiscard]] QString defaultInterfaceNullText();

// A client wrapper: holds one server object, subscribed to the wrapper's events while held. The
// object comes from the factory the wrapper was made with (the exchange server's by default),
// which must outlive it.
template <typename Intf, typename Events> class TServerObjectWrapper : public QObject {
public:
    using Ptr = std::shared_ptr<Intf>;
    using Create = Ptr (IServerObjectFactory::*)(TConnectKind, const QString&);

    TConnectKind ConnectKind = TConnectKind::ckLocal;
    QString RemoteMachineName;

    // Obtains a server object (throws ServerError when none can be had) and subscribes to it.
    void Connect() {
        if (!m_intf)
            ConnectTo((m_factory.*m_create)(ConnectKind, RemoteMachineName));
    }
    void ConnectTo(Ptr intf) {
        Disconnect();
        m_intf = std::move(intf);
        if (m_intf)
            m_intf->Advise(m_events);
    }
    void Disconnect() {
        if (!m_intf)
            return;
        Ptr intf = std::move(m_intf);
        m_intf.reset();
        intf->Advise(nullptr);
    }
    // The server object; connects first. Throws the "DefaultInterface is NULL" error without one.
    Intf* DefaultInterface() {
        if (!m_intf) {
            try {
                Connect();
            } catch (const ServerError&) {
            }
        }
        if (!m_intf)
            throw ServerError(defaultInterfaceNullText());
        return m_intf.get();
    }
    bool HasServerObject() const { return bool(m_intf); }
    IClientProcess* ClientProcess() const { return m_intf ? m_intf->ClientProcess() : nullptr; }

protected:
    TServerObjectWrapper(IServerObjectFactory& factory, Create create, Events* events,
                         QObject* owner)
        : QObject(owner), m_factory(factory), m_create(create), m_events(events) {}
    ~TServerObjectWrapper() override { Disconnect(); }

private:
    IServerObjectFactory& m_factory;
    Create m_create;
    Events* m_events;
    Ptr m_intf;
};

// Client wrapper of a server transport object.
class TAnyTransport : public TServerObjectWrapper<IAnyTransport, ITransportEvents>,
                      private ITransportEvents {
    Q_OBJECT
public:
    explicit TAnyTransport(QObject* AOwner = nullptr);
    explicit TAnyTransport(IServerObjectFactory& factory, QObject* AOwner = nullptr);

    // (ASender = this wrapper, AOldState, ANewState, AID)
    std::function<void(QObject*, qint32, qint32, qint32)> OnStateChanged;

    void SetProps(const QVariant& AProps) { DefaultInterface()->SetProps(AProps); }
    void SetConnected(bool AValue) { DefaultInterface()->SetConnected(AValue); }
    bool GetConnected() { return DefaultInterface()->GetConnected(); }
    void GetID(qint32& AID) { DefaultInterface()->GetID(AID); }
    void AddTask(const QVariant& ATask) { DefaultInterface()->AddTask(ATask); }

private:
    void StateChangedEvent(qint32 AOldState, qint32 ANewState, qint32 AID) override;
};

// Client wrapper of a server master object.
class TAnyMaster : public TServerObjectWrapper<IAnyMaster, IMasterEvents>, private IMasterEvents {
    Q_OBJECT
public:
    explicit TAnyMaster(QObject* AOwner = nullptr);
    explicit TAnyMaster(IServerObjectFactory& factory, QObject* AOwner = nullptr);

    // (ASender = this wrapper, AExchValue)
    std::function<void(QObject*, const QVariant&)> OnExchange;

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
};

} // namespace comm
