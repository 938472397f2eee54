// SPDX-License-Identifier: MIT
#pragma once

#include "comm/serverobjects.h"

#include <QList>
#include <QVariantList>

#include <functional>
#include <memory>
#include <vector>

// Server objects that live in the test: they record every call and let the test raise events.
namespace fakes {

struct TransportLog {
    QList<QVariant> props;
    QList<bool> connected;
    comm::ITransportEvents* events = nullptr;
    QList<qint32> attached, detached;
};

class FakeTransport : public comm::IAnyTransport, public comm::IClientProcess {
public:
    explicit FakeTransport(std::shared_ptr<TransportLog> log) : m_log(std::move(log)) {}
    void SetProps(const QVariant& p) override { m_log->props.append(p); }
    void SetConnected(bool v) override { m_log->connected.append(v); }
    bool GetConnected() override { return false; }
    void GetID(qint32& id) override { id = -1; }
    void AddTask(const QVariant&) override {}
    void Advise(comm::ITransportEvents* e) override { m_log->events = e; }
    comm::IClientProcess* ClientProcess() override { return this; }
    void AttachClient(qint32 pid) override { m_log->attached.append(pid); }
    void DetachClient(qint32 pid) override { m_log->detached.append(pid); }

private:
    std::shared_ptr<TransportLog> m_log;
};

struct MasterLog {
    QList<QVariant> props;
    QList<QVariant> tasks;
    QList<QVariant> inplaceTasks;
    QList<qint32> transportIds;
    QList<qint32> freed;
    int freeAll = 0;
    QVariant inplaceAnswer;
    comm::IMasterEvents* events = nullptr;
    int alive = 0;
    bool serverGone = false; // AddTask fails as with a server that has died
};

class FakeMaster : public comm::IAnyMaster {
public:
    explicit FakeMaster(std::shared_ptr<MasterLog> log) : m_log(std::move(log)) { ++m_log->alive; }
    ~FakeMaster() override { --m_log->alive; }
    void AddTask(const QVariant& t) override {
        if (m_log->serverGone)
            throw comm::ServerError(QStringLiteral("server gone"));
        m_log->tasks.append(t);
    }
    void AddInplaceTask(const QVariant& t, QVariant& ret, qint32) override {
        m_log->inplaceTasks.append(t);
        ret = m_log->inplaceAnswer;
    }
    void SetProps(const QVariant& p) override { m_log->props.append(p); }
    void SetTransportID(qint32 id) override { m_log->transportIds.append(id); }
    void FreeTask(qint32 q) override { m_log->freed.append(q); }
    void FreeAllTasks() override { ++m_log->freeAll; }
    void Advise(comm::IMasterEvents* e) override { m_log->events = e; }

private:
    std::shared_ptr<MasterLog> m_log;
};

// Creates fakes; all masters share one log, as do all transports. reachable = false makes every
// creation fail like an unreachable server. A transport given it (and its masters) use it.
class FakeFactory : public comm::IServerObjectFactory {
public:
    comm::IAnyTransportPtr CreateTransport(comm::TConnectKind, const QString&) override {
        if (!reachable)
            throw comm::ServerError(QStringLiteral("unreachable"));
        ++transportsCreated;
        return std::make_shared<FakeTransport>(transportLog);
    }
    comm::IAnyMasterPtr CreateMaster(comm::TConnectKind, const QString&) override {
        if (!reachable)
            throw comm::ServerError(QStringLiteral("unreachable"));
        ++mastersCreated;
        return std::make_shared<FakeMaster>(masterLog);
    }

    bool reachable = true;
    int transportsCreated = 0;
    int mastersCreated = 0;
    std::shared_ptr<TransportLog> transportLog = std::make_shared<TransportLog>();
    std::shared_ptr<MasterLog> masterLog = std::make_shared<MasterLog>();
};

} // namespace fakes
