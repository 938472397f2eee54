// SPDX-License-Identifier: MIT
#pragma once

#include "server/channel.h"
#include "server/modbustask.h"
#include "server/tcpadmission.h"

#include <QHash>
#include <QHostAddress>
#include <QIODevice>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>

#include <memory>

class QLocalServer;
class QTcpServer;
class QTcpSocket;

namespace server {

class ClientConnection;

// The exchange server: listens on the per-user local socket (and on TCP when asked), keeps the
// clients' objects and the open channels.
class ExchangeServer : public QObject {
    Q_OBJECT
public:
    explicit ExchangeServer(QObject* parent = nullptr);
    ~ExchangeServer() override;

    // Listens on the local socket; false (and why) when the folder is unsafe, another server
    // holds the socket, or listening fails.
    [[nodiscard]] bool listenLocal(const QString& socketPath, QString* why);
    // Listens on TCP; a token is required and every remote client must present it.
    [[nodiscard]] bool listenTcp(const QHostAddress& address, quint16 port, const QString& token,
                                 QString* why);
    quint16 tcpPort() const;

    // Quits the application once no client has been connected for idleMs.
    void setExitWhenIdle(int idleMs);

    void setLimits(const ConnectionLimits& limits) { m_admission.setLimits(limits); }
    const ConnectionLimits& limits() const { return m_admission.limits(); }
    // Who is let in over TCP, and when a token from an address may be checked.
    TcpAdmission& admission() { return m_admission; }
    // Logs a connection closed before its greeting (once an interval, the rest counted).
    void logRefused(const QString& peer, const QString& why);

    int clientCount() const { return int(m_clients.size()); }
    const QString& token() const { return m_token; }

    // Channels.
    Channel* channel(qint32 id) const { return m_channels.value(id); }
    [[nodiscard]] Channel* openChannel(ClientConnection* owner, quint32 transportObject,
                                       const TransportSettings& settings, QString* why);
    void closeChannel(qint32 id);
    quint64 newMasterKey() { return ++m_masterKeys; }
    void registerMaster(quint64 key, ClientConnection* owner, quint32 objectId);
    void unregisterMaster(quint64 key);
    // Drops waiting tasks of a master on every channel.
    void dropTasks(quint64 masterKey, const std::function<bool(const ChannelJob&)>& which);

    static constexpr int kStallTimeoutMs = 10000;

private:
    void accept(QIODevice* socket, const QString& peer, quint64 id);
    void acceptTcp(QTcpSocket* socket);
    void deliver(const ChannelJob& job, const QVariantList& answer);
    void updateIdle();

    QLocalServer* m_local = nullptr;
    QTcpServer* m_tcp = nullptr;
    int m_lockFd = -1;
    QString m_token;
    QSet<ClientConnection*> m_clients;
    QHash<qint32, Channel*> m_channels;
    qint32 m_nextChannel = 1;
    quint64 m_masterKeys = 0;
    struct MasterRef {
        QPointer<ClientConnection> owner;
        quint32 objectId = 0;
    };
    QHash<quint64, MasterRef> m_masterRefs;
    QHash<qint32, MasterRef> m_channelOwners; // channel id -> owning transport object
    QTimer m_idle;
    int m_idleMs = -1;

    TcpAdmission m_admission;
    quint64 m_nextConnection = 1;
    QTimer m_logTimer; // the interval of logged refusals
};

} // namespace server
