// SPDX-License-Identifier: MIT
#include "comm/serverobjects.h"

#include "comm/ipc/protocol.h"
#include "comm/serversession.h"

namespace comm {

using namespace comm::ipc;

namespace {

// A server object living in the exchange server process.
class RemoteObject : public IServerEventReceiver, public IClientProcess {
public:
    RemoteObject(const ServerLocation& location, ObjectKind kind)
        : m_session(ServerSession::obtain(location)) {
        m_id = m_session->call(mkCreateObject, 0, {quint8(kind)}).toUInt();
        m_session->subscribe(m_id, this);
    }
    ~RemoteObject() override {
        m_session->unsubscribe(m_id);
        if (m_session->isAlive()) {
            try {
                m_session->call(mkReleaseObject, m_id);
            } catch (const ServerError&) {
                // The server has gone meanwhile: nothing left to release.
            }
        }
    }
    void AttachClient(qint32 pid) override { call(mkAttachClient, {pid}); }
    void DetachClient(qint32 pid) override {
        // A server that has gone has forgotten this client already.
        if (m_session->isAlive())
            call(mkDetachClient, {pid});
    }

protected:
    QVariant call(quint8 kind, const QVariantList& args = {},
                  int timeoutMs = ServerSession::kDefaultCallTimeoutMs) {
        return m_session->call(kind, m_id, args, timeoutMs);
    }
    std::shared_ptr<ServerSession> m_session;
    quint32 m_id = 0;
};

class RemoteTransport : public RemoteObject, public IAnyTransport {
public:
    explicit RemoteTransport(const ServerLocation& location)
        : RemoteObject(location, okTransport) {}

    void SetProps(const QVariant& AProps) override { call(mkTransportSetProps, {AProps}); }
    void SetConnected(bool AValue) override { call(mkTransportSetConnected, {AValue}); }
    bool GetConnected() override { return call(mkTransportGetConnected).toBool(); }
    void GetID(qint32& AID) override { AID = call(mkTransportGetID).toInt(); }
    void AddTask(const QVariant& ATask) override { call(mkTransportAddTask, {ATask}); }
    void Advise(ITransportEvents* AEvents) override { m_events = AEvents; }
    IClientProcess* ClientProcess() override { return this; }

    void serverEvent(quint8 kind, const QVariantList& args) override {
        if (kind != ekStateChanged || !m_events)
            return;
        m_state = args.value(1).toInt();
        m_events->StateChangedEvent(args.value(0).toInt(), m_state, args.value(2).toInt());
    }
    void serverLost() override {
        // The server process has gone and its channel with it.
        const qint32 old = m_state;
        m_state = tsClosed;
        if (m_events)
            m_events->StateChangedEvent(old, tsClosed, -1);
    }

private:
    ITransportEvents* m_events = nullptr;
    qint32 m_state = tsClosed;
};

class RemoteMaster : public RemoteObject, public IAnyMaster {
public:
    explicit RemoteMaster(const ServerLocation& location) : RemoteObject(location, okMaster) {}

    void AddTask(const QVariant& ATaskProps) override { call(mkMasterAddTask, {ATaskProps}); }
    void AddInplaceTask(const QVariant& ATaskProps, QVariant& ARetValue, qint32 ATimeout) override {
        ARetValue =
            call(mkMasterAddInplaceTask, {ATaskProps, ATimeout}, ATimeout < 0 ? -1 : ATimeout);
    }
    void SetProps(const QVariant& AProps) override { call(mkMasterSetProps, {AProps}); }
    void SetTransportID(qint32 AID) override {
        // Unbinding from a server that has gone needs no call.
        if (AID != -1 || m_session->isAlive())
            call(mkMasterSetTransportID, {AID});
    }
    void FreeTask(qint32 AQID) override { call(mkMasterFreeTask, {AQID}); }
    void FreeAllTasks() override { call(mkMasterFreeAllTasks); }
    void Advise(IMasterEvents* AEvents) override { m_events = AEvents; }
    IClientProcess* ClientProcess() override { return this; }

    void serverEvent(quint8 kind, const QVariantList& args) override {
        if (kind == ekExchange && m_events)
            m_events->ExchangeEvent(args.value(0));
    }
    void serverLost() override {}

private:
    IMasterEvents* m_events = nullptr;
};

class ExchangeServerFactory : public IServerObjectFactory {
public:
    IAnyTransportPtr CreateTransport(TConnectKind AKind, const QString& AMachine) override {
        return std::make_shared<RemoteTransport>(serverLocationFor(AKind, AMachine));
    }
    IAnyMasterPtr CreateMaster(TConnectKind AKind, const QString& AMachine) override {
        return std::make_shared<RemoteMaster>(serverLocationFor(AKind, AMachine));
    }
};

} // namespace

IServerObjectFactory& exchangeServerFactory() {
    static ExchangeServerFactory factory;
    return factory;
}

QString defaultInterfaceNullText() {
    return QStringLiteral("DefaultInterface is NULL. Компонент не подключен к Серверу. Вы должны "
                          "вызвать 'Connect' или 'ConnectTo' перед этой операцией");
}

// ---- TAnyTransport ----

TAnyTransport::TAnyTransport(QObject* AOwner) : TAnyTransport(exchangeServerFactory(), AOwner) {}

TAnyTransport::TAnyTransport(IServerObjectFactory& factory, QObject* AOwner)
    : TServerObjectWrapper(factory, &IServerObjectFactory::CreateTransport, this, AOwner) {}

void TAnyTransport::StateChangedEvent(qint32 AOldState, qint32 ANewState, qint32 AID) {
    // A copy: the handler may free this wrapper.
    const auto handler = OnStateChanged;
    if (handler)
        handler(this, AOldState, ANewState, AID);
}

// ---- TAnyMaster ----

TAnyMaster::TAnyMaster(QObject* AOwner) : TAnyMaster(exchangeServerFactory(), AOwner) {}

TAnyMaster::TAnyMaster(IServerObjectFactory& factory, QObject* AOwner)
    : TServerObjectWrapper(factory, &IServerObjectFactory::CreateMaster, this, AOwner) {}

void TAnyMaster::ExchangeEvent(const QVariant& AExchValue) {
    const auto handler = OnExchange;
    if (handler)
        handler(this, AExchValue);
}

} // namespace comm
